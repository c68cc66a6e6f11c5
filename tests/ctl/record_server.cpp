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

namespace {

void RunScript(const std::string& action, const std::string& folder) {
    const std::string command =
        std::string(QX17_RECORD_SERVER_SCRIPT) + " " + action + " '" + folder + "' >/dev/null";
    if (std::system(command.c_str()) != 0) {
        throw std::runtime_error("record_server.sh " + action + " failed");
    }
}

std::string FileText(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    while (!text.empty() && text.back() == '\n') {
        text.pop_back();
    }
    return text;
}

}  // namespace

OwnRecordServer::OwnRecordServer() {
    std::random_device random;
    folder_ = (std::filesystem::temp_directory_path() /
               ("qx17-record-" + std::to_string(random()) + std::to_string(random())))
                  .string();
    RunScript("start", folder_);
    connection_ =
        FileText(folder_ + "/connection") + ";Pwd=" + FileText(folder_ + "/line_password");
}

OwnRecordServer::~OwnRecordServer() {
    try {
        RunScript("stop", folder_);
    } catch (const std::exception&) {
    }
}

void OwnRecordServer::Halt() {
    RunScript("halt", folder_);
}

void OwnRecordServer::Resume() {
    RunScript("resume", folder_);
}

}  // namespace qx17::ctl::test
