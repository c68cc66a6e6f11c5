#include "ctl/record/connection_string.h"

#include <algorithm>
#include <cctype>
#include <string_view>

namespace qx17::ctl {

namespace {

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() &&
           std::equal(prefix.begin(), prefix.end(), text.begin(), [](char a, char b) {
               return std::tolower(static_cast<unsigned char>(a)) ==
                      std::tolower(static_cast<unsigned char>(b));
           });
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

// %XX decoded; nothing for a broken escape.
std::optional<std::string> Decoded(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out.push_back(text[i]);
            continue;
        }
        if (i + 2 >= text.size()) {
            return std::nullopt;
        }
        const int hi = HexDigit(text[i + 1]);
        const int lo = HexDigit(text[i + 2]);
        if (hi < 0 || lo < 0) {
            return std::nullopt;
        }
        out.push_back(static_cast<char>(hi * 16 + lo));
        i += 2;
    }
    return out;
}

// A value in a connection string: in braces when it holds what would end
// it, with '}' doubled.
std::string Attribute(const std::string& key, const std::string& value) {
    if (value.find_first_of(";{}= ") == std::string::npos) {
        return key + "=" + value + ";";
    }
    std::string braced = "{";
    for (char c : value) {
        braced += c == '}' ? std::string("}}") : std::string(1, c);
    }
    return key + "=" + braced + "};";
}

}  // namespace

std::optional<std::string> PostgresDriver(const std::vector<std::string>& drivers) {
    for (const char* prefix : {"PostgreSQL Unicode", "PostgreSQL"}) {
        for (const std::string& name : drivers) {
            if (StartsWithNoCase(name, prefix)) {
                return name;
            }
        }
    }
    return std::nullopt;
}

std::optional<std::string> OdbcConnectionString(const std::string& connection,
                                                const std::vector<std::string>& drivers,
                                                std::string& error) {
    std::string_view rest(connection);
    bool uri = false;
    for (std::string_view scheme : {"postgresql://", "postgres://"}) {
        if (StartsWithNoCase(rest, scheme)) {
            rest.remove_prefix(scheme.size());
            uri = true;
            break;
        }
    }
    if (!uri) {
        if (connection.empty()) {
            error = "an empty connection string";
            return std::nullopt;
        }
        return connection;
    }
    const auto bad = [&error](const std::string& why) {
        error = "the PostgreSQL URI cannot be read: " + why;
        return std::nullopt;
    };
    std::string_view query;
    if (const std::size_t q = rest.find('?'); q != std::string_view::npos) {
        query = rest.substr(q + 1);
        rest = rest.substr(0, q);
    }
    std::string_view path;
    if (const std::size_t slash = rest.find('/'); slash != std::string_view::npos) {
        path = rest.substr(slash + 1);
        rest = rest.substr(0, slash);
    }
    std::string_view user_info;
    if (const std::size_t at = rest.rfind('@'); at != std::string_view::npos) {
        user_info = rest.substr(0, at);
        rest = rest.substr(at + 1);
    }
    std::string_view host = rest;
    std::string_view port;
    if (host.starts_with('[')) {  // [::1]:5432
        const std::size_t close = host.find(']');
        if (close == std::string_view::npos) {
            return bad("an IPv6 address without its ']'");
        }
        port = host.substr(close + 1);
        host = host.substr(1, close - 1);
        if (!port.empty() && !port.starts_with(':')) {
            return bad("something after the IPv6 address");
        }
        port = port.empty() ? port : port.substr(1);
    } else if (const std::size_t colon = host.rfind(':'); colon != std::string_view::npos) {
        port = host.substr(colon + 1);
        host = host.substr(0, colon);
    }
    if (!port.empty() && (port.size() > 5 || !std::all_of(port.begin(), port.end(), [](char c) {
                              return c >= '0' && c <= '9';
                          }))) {
        return bad("the port is not a number");
    }
    std::string_view password;
    bool has_password = false;
    if (const std::size_t colon = user_info.find(':'); colon != std::string_view::npos) {
        password = user_info.substr(colon + 1);
        user_info = user_info.substr(0, colon);
        has_password = true;
    }
    const std::optional<std::string> user = Decoded(user_info);
    const std::optional<std::string> secret = Decoded(password);
    const std::optional<std::string> database = Decoded(path);
    const std::optional<std::string> server = Decoded(host);
    if (!user || !secret || !database || !server) {
        return bad("a broken %-escape");
    }
    const std::optional<std::string> driver = PostgresDriver(drivers);
    if (!driver) {
        error =
            "no PostgreSQL ODBC driver is installed (on Debian the package odbc-postgresql; on "
            "Windows the PostgreSQL project's psqlODBC)";
        return std::nullopt;
    }
    std::string out = Attribute("Driver", *driver);
    out += Attribute("Server", server->empty() ? "localhost" : *server);
    out += Attribute("Port", port.empty() ? "5432" : std::string(port));
    if (!database->empty()) {
        out += Attribute("Database", *database);
    }
    if (!user->empty()) {
        out += Attribute("Uid", *user);
    }
    if (has_password) {
        out += Attribute("Pwd", *secret);
    }
    while (!query.empty()) {
        const std::size_t amp = query.find('&');
        const std::string_view pair = query.substr(0, amp);
        query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
        const std::size_t eq = pair.find('=');
        const std::string_view key = pair.substr(0, eq);
        const std::optional<std::string> value =
            Decoded(eq == std::string_view::npos ? std::string_view() : pair.substr(eq + 1));
        if (key != "sslmode" || !value) {
            return bad("only the parameter sslmode is understood, not '" + std::string(key) + "'");
        }
        out += Attribute("SSLmode", *value);
    }
    out.pop_back();  // the last ';'
    return out;
}

std::string MaskedConnection(const std::string& connection) {
    std::string_view text(connection);
    for (std::string_view scheme : {"postgresql://", "postgres://"}) {
        if (StartsWithNoCase(text, scheme)) {
            const std::size_t at = connection.find('@');
            const std::size_t colon = connection.find(':', scheme.size());
            if (at != std::string::npos && colon != std::string::npos && colon < at) {
                return connection.substr(0, colon + 1) + "***" + connection.substr(at);
            }
            return connection;
        }
    }
    // key=value; pairs, a value possibly in braces.
    std::string out;
    std::size_t i = 0;
    while (i < connection.size()) {
        const std::size_t eq = connection.find('=', i);
        if (eq == std::string::npos) {
            out += connection.substr(i);
            break;
        }
        std::string key = connection.substr(i, eq - i);
        std::size_t end = eq + 1;
        if (end < connection.size() && connection[end] == '{') {
            ++end;
            while (end < connection.size()) {
                if (connection[end] == '}' && end + 1 < connection.size() &&
                    connection[end + 1] == '}') {
                    end += 2;
                } else if (connection[end] == '}') {
                    ++end;
                    break;
                } else {
                    ++end;
                }
            }
        }
        end = std::min(connection.find(';', end), connection.size());
        std::string trimmed = key;
        trimmed.erase(0, trimmed.find_first_not_of(' '));
        const bool secret =
            StartsWithNoCase(trimmed, "pwd") || StartsWithNoCase(trimmed, "password");
        out += key + "=" + (secret ? "***" : connection.substr(eq + 1, end - eq - 1));
        if (end < connection.size()) {
            out += ";";
        }
        i = end + 1;
    }
    return out;
}

}  // namespace qx17::ctl
