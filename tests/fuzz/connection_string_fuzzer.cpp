// What --record takes, under any text with a password planted in it: as a
// PostgreSQL URI's user information (typed as it is, '@', ':', '/', '?' or
// '#' included) or as the Pwd of an ODBC connection string. It checks:
// - nothing crashes or reads outside a buffer (AddressSanitizer);
// - no piece of the password (4 bytes in a row) reaches an error message or
//   a masked text: the same input is run again with another password of the
//   same shape (each letter and digit changed for another of its kind, so
//   that the parser takes the same way and says the same), and a piece
//   found only with the planted password came from it;
// - a URI's password reaches the driver's connection string exactly.
//
// The input: a byte choosing the form, a byte giving the password's length,
// the password, then the text before it and the text after it, split at the
// first NUL.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ctl/record/connection_string.h"

namespace {

using qx17::ctl::AttributeValue;
using qx17::ctl::MaskedConnection;
using qx17::ctl::OdbcConnectionString;

[[noreturn]] void Broken(const char* what, const std::string& connection) {
    std::fprintf(stderr, "connection_string_fuzzer: %s\nconnection: ", what);
    for (const char c : connection) {
        const auto byte = static_cast<unsigned char>(c);
        std::fprintf(stderr, byte >= ' ' && byte < 0x7F ? "%c" : "\\x%02X", byte);
    }
    std::fprintf(stderr, "\n");
    std::abort();
}

enum class Form { kUriWithUser, kUriWithoutUser, kOdbcPwd, kOdbcPassword };

std::string Braced(std::string_view value) {
    std::string out = "{";
    for (char c : value) {
        out += c;
        if (c == '}') {
            out += '}';
        }
    }
    return out + "}";
}

std::string Planted(Form form, std::string_view before, std::string_view password,
                    std::string_view after) {
    switch (form) {
        case Form::kUriWithUser:
            return "postgresql://" + std::string(before) + ":" + std::string(password) + "@" +
                   std::string(after);
        case Form::kUriWithoutUser:
            return "postgres://:" + std::string(password) + "@" + std::string(after);
        case Form::kOdbcPwd:
            return "DSN=f;" + std::string(before) + ";Pwd=" + Braced(password) + ";" +
                   std::string(after);
        case Form::kOdbcPassword:
            return "Driver={PostgreSQL Unicode};" + std::string(before) +
                   "; PASSWORD =" + Braced(password) + ";" + std::string(after);
    }
    return "";
}

// Everything a message or a log could show of `connection`.
std::string Shown(const std::string& connection) {
    std::string shown = MaskedConnection(connection) + '\n';
    std::string error;
    const std::optional<std::string> odbc =
        OdbcConnectionString(connection, {"PostgreSQL ANSI", "PostgreSQL Unicode"}, error);
    shown += error + '\n';
    if (odbc) {
        shown += MaskedConnection(*odbc) + '\n';
        // What the message of a data source that is not set up names.
        shown += AttributeValue(*odbc, "DSN").value_or("") + '\n';
        shown += AttributeValue(*odbc, "Driver").value_or("") + '\n';
    } else if (error.empty()) {
        Broken("refused without a reason", connection);
    }
    return shown;
}

// `text` with each letter and digit changed for the next of its kind
// (hex digits among hex digits), every other byte kept.
std::string Shifted(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        for (const char* kind :
             {"0123456789", "abcdef", "ABCDEF", "ghijklmnopqrstuvwxyz", "GHIJKLMNOPQRSTUVWXYZ"}) {
            const std::string_view letters(kind);
            if (const std::size_t at = letters.find(c); at != std::string_view::npos) {
                c = letters[(at + 1) % letters.size()];
                break;
            }
        }
    }
    return out;
}

bool HasLetterOrDigit(std::string_view text) {
    return std::any_of(text.begin(), text.end(), [](char c) {
        return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) {
        return 0;
    }
    const auto form = static_cast<Form>(data[0] % 4);
    const std::size_t length = std::min<std::size_t>(4 + data[1] % 40, size - 2);
    const std::string_view input(reinterpret_cast<const char*>(data) + 2, size - 2);
    const std::string_view password = input.substr(0, length);
    const std::string_view rest = input.substr(length);
    const std::size_t split = std::min(rest.find('\0'), rest.size());
    const std::string_view before = rest.substr(0, split);
    const std::string_view after = rest.substr(std::min(split + 1, rest.size()));

    const std::string connection = Planted(form, before, password, after);
    const std::string shown = Shown(connection);
    const std::string shown_other = Shown(Planted(form, before, Shifted(password), after));
    for (std::size_t i = 0; i + 4 <= password.size(); ++i) {
        // A piece of only punctuation is the same in the other password.
        const std::string_view piece = password.substr(i, 4);
        if (HasLetterOrDigit(piece) && shown.find(piece) != std::string::npos &&
            shown_other.find(piece) == std::string::npos) {
            Broken("a piece of the password is shown", connection);
        }
    }

    // A URI's password as typed, with nothing in it to decode, is the
    // driver's password exactly.
    const bool plain =
        password.find('%') == std::string_view::npos && after.find('@') == std::string_view::npos &&
        (form == Form::kUriWithoutUser || before.find(':') == std::string_view::npos);
    if ((form == Form::kUriWithUser || form == Form::kUriWithoutUser) && plain) {
        std::string error;
        const std::optional<std::string> odbc =
            OdbcConnectionString(connection, {"PostgreSQL Unicode"}, error);
        if (odbc && AttributeValue(*odbc, "Pwd") != std::string(password)) {
            Broken("the password does not reach the driver as typed", connection);
        }
    }
    return 0;
}
