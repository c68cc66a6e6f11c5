#include "ctl/files/csv.h"

namespace qx17::ctl {

namespace {

bool IsBlank(char ch) {
    return ch == ' ' || ch == '\t';
}

std::string Trimmed(const std::string& text) {
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end && IsBlank(text[begin])) {
        ++begin;
    }
    while (end > begin && IsBlank(text[end - 1])) {
        --end;
    }
    return text.substr(begin, end - begin);
}

}  // namespace

std::string CsvField(const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos) {
        return text;
    }
    std::string quoted = "\"";
    for (char ch : text) {
        quoted += ch;
        if (ch == '"') {
            quoted += '"';
        }
    }
    return quoted + "\"";
}

std::vector<CsvRecord> ParseCsv(std::string_view content, std::size_t first_line) {
    std::vector<CsvRecord> records;
    CsvRecord record;
    std::string field;
    bool quoted_field = false;  // the field began with a quote: its text is kept as it is
    bool in_quotes = false;
    bool started = false;
    std::size_t line = first_line;
    const auto end_field = [&] {
        record.fields.push_back(quoted_field ? field : Trimmed(field));
        field.clear();
        quoted_field = false;
    };
    const auto end_record = [&](bool ended) {
        const bool blank = record.fields.empty() && !quoted_field && Trimmed(field).empty();
        end_field();
        record.ended = ended && !in_quotes;
        if (!blank) {
            records.push_back(std::move(record));
        }
        record = CsvRecord{};
        started = false;
    };
    for (std::size_t i = 0; i < content.size(); ++i) {
        const char ch = content[i];
        if (!started) {
            record.line = line;
            record.begin = i;
            started = true;
        }
        if (in_quotes) {
            if (ch == '"' && i + 1 < content.size() && content[i + 1] == '"') {
                field += '"';
                ++i;
            } else if (ch == '"') {
                in_quotes = false;
            } else {
                field += ch;
                if (ch == '\n' ||
                    (ch == '\r' && (i + 1 >= content.size() || content[i + 1] != '\n'))) {
                    ++line;
                }
            }
        } else if (ch == '"' && Trimmed(field).empty()) {
            field.clear();
            in_quotes = true;
            quoted_field = true;
        } else if (ch == ',') {
            end_field();
        } else if (ch == '\r' || ch == '\n') {
            if (ch == '\r' && i + 1 < content.size() && content[i + 1] == '\n') {
                ++i;
            }
            ++line;
            end_record(true);
        } else if (!(quoted_field && IsBlank(ch))) {
            field += ch;
        }
    }
    if (started) {
        end_record(false);
    }
    return records;
}

std::string LineEndOf(std::string_view content) {
    const std::size_t at = content.find_first_of("\r\n");
    if (at == std::string_view::npos || content[at] == '\n') {
        return "\n";
    }
    return at + 1 < content.size() && content[at + 1] == '\n' ? "\r\n" : "\r";
}

}  // namespace qx17::ctl
