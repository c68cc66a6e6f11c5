#include "ctl/record/record_errors.h"

#include <cctype>

#include "ctl/record/odbc.h"

namespace qx17::ctl {

namespace {

// The name after `marker` in `text` ("permission denied for table trackers"
// gives "trackers"), without quotes.
std::string NameAfter(const std::string& text, const std::string& marker) {
    const std::size_t at = text.find(marker);
    if (at == std::string::npos) {
        return "";
    }
    std::size_t begin = at + marker.size();
    while (begin < text.size() && text[begin] == '"') {
        ++begin;
    }
    std::size_t end = begin;
    while (end < text.size() && (std::isalnum(static_cast<unsigned char>(text[end])) != 0 ||
                                 text[end] == '_' || text[end] == '.')) {
        ++end;
    }
    return text.substr(begin, end - begin);
}

std::string MissingGrant(const std::string& message, RecordUse use, const std::string& role) {
    const std::string to = " TO " + (role.empty() ? std::string("<the role>") : role);
    const char* rights = use == RecordUse::kList ? "SELECT" : "SELECT, INSERT, UPDATE";
    if (const std::string table = NameAfter(message, "permission denied for table ");
        !table.empty()) {
        return "; the role needs: GRANT " + std::string(rights) + " ON " + table + to +
               " (record-setup.md grants it every table of the record, also those of later "
               "versions, with ALTER DEFAULT PRIVILEGES)";
    }
    if (const std::string sequence = NameAfter(message, "permission denied for sequence ");
        !sequence.empty()) {
        return "; the role needs: GRANT USAGE ON SEQUENCE " + sequence + to;
    }
    if (const std::string database = NameAfter(message, "permission denied for database ");
        !database.empty()) {
        return "; the role needs: GRANT CONNECT ON DATABASE " + database + to;
    }
    if (message.find("for schema") != std::string::npos) {
        return "; the tables are made by the role that owns the record: run `qx17ctl record "
               "CONNECTION` once as that role";
    }
    if (message.find("pg_terminate_backend") != std::string::npos ||
        message.find("terminate") != std::string::npos) {
        return "; a station ends its own stale sessions, which PostgreSQL allows to the "
               "same role: run every station as one role";
    }
    return "; record-setup.md lists the grants each role needs";
}

}  // namespace

std::string OneLine(const std::string& text) {
    std::string out;
    bool blank = false;
    for (char c : text) {
        if (c == '\n' || c == '\r' || c == '\t' || c == ' ') {
            blank = true;
            continue;
        }
        if (blank && !out.empty() && c != ';' && c != ',' && c != '.') {
            out += ' ';
        }
        blank = false;
        out += c;
    }
    return out;
}

std::string DescribeRecordError(const odbc::Error& error, RecordUse use, const std::string& role,
                                RecordFailure& failure) {
    const std::string& state = error.State();
    const std::string message = OneLine(error.what());
    if (state == "IM002" || state == "IM003" || state == "IM007") {
        // No such data source or driver: how this computer is set up.
        failure = RecordFailure::kUsage;
        return "the record is not set up here: " + message;
    }
    // The server answered a connection and turned it away (a password, no
    // such database, no CONNECT): the driver says "FATAL" for what the
    // server said, whatever its SQLSTATE.
    if (state == "28000" || state == "28P01" ||
        (state.rfind("08", 0) == 0 && message.find("FATAL") != std::string::npos)) {
        failure = RecordFailure::kRefused;
        return "the server refused the connection: " + message +
               (message.find("permission denied") != std::string::npos
                    ? MissingGrant(message, use, role)
                    : "");
    }
    if (state == "42501") {
        failure = RecordFailure::kRefused;
        return "the server refused: " + message + MissingGrant(message, use, role);
    }
    if (error.ConnectionLost()) {
        failure = RecordFailure::kUnreachable;
        return "the record cannot be reached: " + message;
    }
    failure = RecordFailure::kRefused;
    return "the server refused: " + message;
}

}  // namespace qx17::ctl
