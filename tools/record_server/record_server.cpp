#include "tools/record_server/record_server.h"

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>

namespace qx17::tools {

namespace {

std::string FileText(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
        text.pop_back();
    }
    return text;
}

}  // namespace

RecordServer::RecordServer() {
    std::random_device random;
    folder_ = "/tmp/qx17-record-" + std::to_string(random()) + std::to_string(random());
    Run("start");
    connection_ =
        FileText(folder_ + "/connection") + ";Pwd=" + FileText(folder_ + "/line_password");
}

RecordServer::~RecordServer() {
    try {
        Run("stop");
    } catch (const std::exception&) {
    }
}

void RecordServer::Halt() {
    Run("halt");
}

void RecordServer::Resume() {
    Run("resume");
}

void RecordServer::Run(const std::string& action) {
    const std::string command =
        std::string(QX17_RECORD_SERVER_SCRIPT) + " " + action + " '" + folder_ + "' >/dev/null";
    if (std::system(command.c_str()) != 0) {
        throw std::runtime_error("record_server.sh " + action + " failed");
    }
}

}  // namespace qx17::tools
