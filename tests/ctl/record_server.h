// The tests' own PostgreSQL server (scripts/record_server.sh, started by the
// CTest fixture "record_server"): its connection strings, and the password
// file the driver reads.
#pragma once

#include <string>

namespace qx17::ctl::test {

// The folder of the running server (QX17_RECORD_SERVER); empty when the
// tests run without one.
std::string RecordServerFolder();

// The ODBC connection string of the role "line" on the database "qx17",
// without a password (the driver takes it from the password file, whose
// place this sets in PGPASSFILE where it is not set yet). Empty without a
// server.
std::string RecordConnection();

// A new, empty database of the role "line" on the server, for one test
// alone: its connection string.
std::string FreshRecordDatabase();

// A file of the server's folder, as text without its last line end.
std::string RecordServerFile(const std::string& name);

}  // namespace qx17::ctl::test
