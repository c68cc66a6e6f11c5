// The outbox's reader under any text: lines of this version (10 fields),
// of earlier ones (8 fields, no key), CR, LF and CRLF, quoted fields, torn
// tails. It checks:
// - every whole line is a row or named as unreadable, with its text; a torn
//   last line is neither, and cutting it off (as opening the outbox does)
//   changes nothing else;
// - a row's key is never empty;
// - a row as the line makes it, written with OutboxLine, reads back the
//   same: claim, time to the second, port, IDs, outcome, differences,
//   seconds (as written), key and profile; appended after what the outbox
//   holds, it is the last row and the rows before it stay as they were;
// - nothing crashes, overflows or reads outside a buffer (sanitizers).
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "ctl/files/csv.h"
#include "ctl/record/outbox.h"

namespace {

using qx17::ctl::OutboxContent;
using qx17::ctl::WaitingRow;

[[noreturn]] void Broken(const char* what) {
    std::fprintf(stderr, "outbox_fuzzer: %s\n", what);
    std::abort();
}

std::string Trimmed(const std::string& text) {
    const std::size_t begin = text.find_first_not_of(" \t");
    if (begin == std::string::npos) {
        return "";
    }
    return text.substr(begin, text.find_last_not_of(" \t") + 1 - begin);
}

// The row as the line would have made it: no blanks around a field (the
// reader ignores them), no empty name among the differences, a key.
WaitingRow AsTheLineMakesIt(WaitingRow waiting) {
    qx17::ctl::LogRow& row = waiting.row;
    for (std::string* text : {&waiting.claim, &row.port, &row.id_before, &row.id_written,
                              &row.outcome, &waiting.key, &waiting.profile}) {
        *text = Trimmed(*text);
    }
    std::vector<std::string> names;
    for (const std::string& name : row.differences) {
        if (!Trimmed(name).empty()) {
            names.push_back(Trimmed(name));
        }
    }
    row.differences = names;
    if (waiting.key.empty()) {
        waiting.key = "0123456789abcdef0123456789abcdef";
    }
    return waiting;
}

std::string SecondsText(const WaitingRow& waiting) {
    return waiting.row.seconds ? std::to_string(*waiting.row.seconds) : "none";
}

bool Same(const WaitingRow& a, const WaitingRow& b) {
    return a.claim == b.claim && a.row.time == b.row.time && a.row.port == b.row.port &&
           a.row.id_before == b.row.id_before && a.row.id_written == b.row.id_written &&
           a.row.outcome == b.row.outcome && a.row.differences == b.row.differences &&
           SecondsText(a) == SecondsText(b) && a.key == b.key && a.profile == b.profile;
}

bool Same(const OutboxContent& a, const OutboxContent& b, std::size_t rows) {
    if (a.unreadable != b.unreadable || a.unreadable_text != b.unreadable_text ||
        a.rows.size() < rows || b.rows.size() < rows) {
        return false;
    }
    for (std::size_t i = 0; i < rows; ++i) {
        if (!Same(a.rows[i], b.rows[i])) {
            return false;
        }
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view content(reinterpret_cast<const char*>(data), size);
    const OutboxContent read = qx17::ctl::ParseOutbox(content);
    if (read.unreadable.size() != read.unreadable_text.size()) {
        Broken("an unreadable line without its text");
    }
    for (const WaitingRow& row : read.rows) {
        if (row.key.empty()) {
            Broken("a row without a key");
        }
    }

    // Every whole line is either; a torn one is cut off.
    const std::vector<qx17::ctl::CsvRecord> records = qx17::ctl::ParseCsv(content);
    const bool torn = !records.empty() && !records.back().ended;
    if (read.rows.size() + read.unreadable.size() != records.size() - (torn ? 1 : 0)) {
        Broken("a whole line is neither a row nor unreadable, or a torn one is");
    }
    const std::string kept(content.substr(0, torn ? records.back().begin : content.size()));
    const OutboxContent cut = torn ? qx17::ctl::ParseOutbox(kept) : read;
    if (cut.rows.size() != read.rows.size() || !Same(read, cut, read.rows.size())) {
        Broken("cutting off a torn line changed what is read");
    }

    std::string lines;
    std::vector<WaitingRow> written;
    for (const WaitingRow& parsed : read.rows) {
        written.push_back(AsTheLineMakesIt(parsed));
        const std::string line = qx17::ctl::OutboxLine(written.back());
        const OutboxContent again = qx17::ctl::ParseOutbox(line);
        if (again.rows.size() != 1 || !again.unreadable.empty() ||
            !Same(again.rows[0], written.back())) {
            Broken("a row does not read back as written");
        }
        lines += line;
    }
    // Added to the outbox as it is left, after the rows before them.
    const OutboxContent added = qx17::ctl::ParseOutbox(kept + lines);
    if (added.rows.size() != cut.rows.size() + written.size() ||
        !Same(added, cut, cut.rows.size())) {
        Broken("rows added to the outbox change the rows before them");
    }
    for (std::size_t i = 0; i < written.size(); ++i) {
        if (!Same(added.rows[cut.rows.size() + i], written[i])) {
            Broken("a row added to the outbox is not read back");
        }
    }
    return 0;
}
