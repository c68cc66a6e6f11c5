// What `--record` takes: an ODBC connection string as it stands ("DSN=factory",
// "Driver={PostgreSQL Unicode};Server=db1;..."), or for convenience a
// PostgreSQL URI ("postgresql://line@db1:5432/qx17"), turned into the
// connection string of the PostgreSQL ODBC driver installed here, whose name
// differs by platform and installer.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace qx17::ctl {

// The connection string for `connection`; nothing, with `error` set, for a
// URI that cannot be read or when no PostgreSQL driver is among `drivers`.
std::optional<std::string> OdbcConnectionString(const std::string& connection,
                                                const std::vector<std::string>& drivers,
                                                std::string& error);

// The PostgreSQL driver to use among `drivers`: the Unicode one first
// ("PostgreSQL Unicode", "PostgreSQL Unicode(x64)"), then any other.
std::optional<std::string> PostgresDriver(const std::vector<std::string>& drivers);

// `connection` with every password replaced by "***", for messages.
std::string MaskedConnection(const std::string& connection);

}  // namespace qx17::ctl
