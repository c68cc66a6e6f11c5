#include "tests/ctl/record_server.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <stdexcept>

#include "ctl/record/odbc.h"

namespace qx17::ctl::test {

std::string RecordServerFolder() {
    const char* folder = std::getenv("QX17_RECORD_SERVER");
    return folder != nullptr ? folder : "";
}

std::string RecordServerFile(const std::string& name) {
    std::ifstream in(RecordServerFolder() + "/" + name, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    std::string content = text.str();
    while (!content.empty() && (content.back() == '\n' || content.back() == '\r')) {
        content.pop_back();
    }
    return content;
}

std::string RecordConnection() {
    if (RecordServerFolder().empty()) {
        return "";
    }
#ifndef _WIN32
    // Under Wine the driver runs on the host and takes PGPASSFILE from the
    // test's environment as CTest sets it; here the test may set it itself.
    setenv("PGPASSFILE", (RecordServerFolder() + "/pgpass").c_str(), 0);
#endif
    return RecordServerFile("connection");
}

std::string FreshRecordDatabase() {
    const std::string line = RecordConnection();
    std::random_device random;
    const std::string name = "t" + std::to_string(random()) + std::to_string(random());
    {
        odbc::Connection admin(RecordServerFile("admin"), true);  // no transaction
        odbc::Statement(admin, "CREATE DATABASE " + name + " OWNER line").Execute();
    }
    const std::string database = "Database=qx17";
    std::string connection = line;
    connection.replace(connection.find(database), database.size(), "Database=" + name);
    return connection;
}

}  // namespace qx17::ctl::test
