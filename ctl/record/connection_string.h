// What `--record` takes: an ODBC connection string as it stands ("DSN=factory",
// "Driver={PostgreSQL Unicode};Server=db1;..."), or for convenience a
// PostgreSQL URI ("postgresql://line@db1:5432/qx17"), turned into the
// connection string of the PostgreSQL ODBC driver installed here, whose name
// differs by platform and installer.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qx17::ctl {

// The connection string for `connection`; nothing, with `error` set, for a
// URI that cannot be read, when no PostgreSQL driver is among `drivers`, or
// for a connection string that names no data source or driver (DSN=,
// Driver= or FILEDSN=). A URI's user information runs to its last '@', so
// that a password may hold '@', ':', '/', '?' or '#' as typed; `error`
// never holds any of it. The string made from a URI turns the driver's own
// log files off.
std::optional<std::string> OdbcConnectionString(const std::string& connection,
                                                const std::vector<std::string>& drivers,
                                                std::string& error);

// The PostgreSQL driver to use among `drivers`: the Unicode one first
// ("PostgreSQL Unicode", "PostgreSQL Unicode(x64)"), then any other.
std::optional<std::string> PostgresDriver(const std::vector<std::string>& drivers);

// `connection` with every password replaced by "***", for messages: a URI's
// whole user information, and each value of an attribute that may hold a
// password (Pwd, Password, the driver's pqopt, a value naming one).
std::string MaskedConnection(const std::string& connection);

// The value of `key` (matched without regard to case or surrounding spaces)
// in the ODBC connection string `connection`, without its braces; nothing
// when it is not there. "***" when it may hold a password and `key` does
// not ask for one (a value left in an open brace that names a password).
std::optional<std::string> AttributeValue(const std::string& connection, std::string_view key);

// Where the ODBC connection string `connection` leads, in words and never
// with a password: "database qx17 on db.example:5432", "data source Line".
std::string RecordPlace(const std::string& connection);

}  // namespace qx17::ctl
