#include "ctl/record/connection_string.h"

#include <algorithm>
#include <cctype>
#include <initializer_list>
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

bool EqualsNoCase(std::string_view text, std::string_view other) {
    return text.size() == other.size() && StartsWithNoCase(text, other);
}

std::string_view Trimmed(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
        text.remove_prefix(1);
    }
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) {
        text.remove_suffix(1);
    }
    return text;
}

// What follows "postgresql://" or "postgres://"; nothing when `connection`
// is not such a URI.
std::optional<std::string_view> UriBody(std::string_view connection) {
    for (std::string_view scheme : {"postgresql://", "postgres://"}) {
        if (StartsWithNoCase(connection, scheme)) {
            return connection.substr(scheme.size());
        }
    }
    return std::nullopt;
}

// The user information of a URI's body ("line:secret" of
// "line:secret@db1/qx17") and what follows it. It runs to the last '@':
// a password is often typed as it is, with '@', ':', '/', '?' or '#' in
// it, while a server's name never holds '@' (a database name or a value
// that does must write it as %40).
struct UriParts {
    bool has_user_info = false;
    std::string_view user_info;
    std::string_view rest;
};

UriParts SplitUserInfo(std::string_view body) {
    const std::size_t at = body.rfind('@');
    if (at == std::string_view::npos) {
        return {false, {}, body};
    }
    return {true, body.substr(0, at), body.substr(at + 1)};
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
// it or a space or control character a reader might trim, with '}' doubled.
std::string Attribute(const std::string& key, const std::string& value) {
    if (std::none_of(value.begin(), value.end(), [](char c) {
            return c == ';' || c == '{' || c == '}' || c == '=' ||
                   static_cast<unsigned char>(c) <= ' ';
        })) {
        return key + "=" + value + ";";
    }
    std::string braced = "{";
    for (char c : value) {
        braced += c == '}' ? std::string("}}") : std::string(1, c);
    }
    return key + "=" + braced + "};";
}

// One piece of an ODBC connection string, as the driver manager splits it:
// a key, '=', and a value that runs to the next ';' or, when it starts with
// '{', to its closing brace ("}}" being a brace inside it) and then to the
// next ';'. A piece without '=' has no value.
struct Piece {
    std::string_view key;
    bool has_value = false;
    std::string_view value;
    bool ends_with_semicolon = false;
};

std::vector<Piece> Pieces(std::string_view text) {
    std::vector<Piece> pieces;
    std::size_t i = 0;
    while (i < text.size()) {
        const std::size_t stop = std::min(text.find_first_of("=;", i), text.size());
        if (stop == text.size() || text[stop] == ';') {
            pieces.push_back({text.substr(i, stop - i), false, {}, stop < text.size()});
            i = stop + 1;
            continue;
        }
        std::size_t end = stop + 1;
        if (end < text.size() && text[end] == '{') {
            ++end;
            while (end < text.size()) {
                if (text[end] == '}' && end + 1 < text.size() && text[end + 1] == '}') {
                    end += 2;
                } else if (text[end] == '}') {
                    ++end;
                    break;
                } else {
                    ++end;
                }
            }
        }
        end = std::min(text.find(';', end), text.size());
        pieces.push_back({text.substr(i, stop - i), true, text.substr(stop + 1, end - stop - 1),
                          end < text.size()});
        i = end + 1;
    }
    return pieces;
}

bool ContainsNoCase(std::string_view text, std::string_view part) {
    for (std::size_t i = 0; i + part.size() <= text.size(); ++i) {
        if (StartsWithNoCase(text.substr(i), part)) {
            return true;
        }
    }
    return false;
}

// A piece whose value may hold a password: the password itself, the
// PostgreSQL driver's options passed on to the server's library, and any
// value that names one (a brace left open swallows the pieces after it).
bool Secret(const Piece& piece) {
    const std::string_view key = Trimmed(piece.key);
    return StartsWithNoCase(key, "pwd") || StartsWithNoCase(key, "password") ||
           EqualsNoCase(key, "pqopt") || ContainsNoCase(piece.value, "pwd") ||
           ContainsNoCase(piece.value, "password");
}

// A parameter's name fit to be quoted in a message: short and printable.
bool Quotable(std::string_view name) {
    return !name.empty() && name.size() <= 40 &&
           std::all_of(name.begin(), name.end(), [](char c) { return c > ' ' && c < 0x7F; });
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
    const std::optional<std::string_view> body = UriBody(connection);
    if (!body) {
        if (Trimmed(connection).empty()) {
            error = "an empty connection string";
            return std::nullopt;
        }
        // Without a data source or a driver the driver manager would only
        // say that no data source was found and no default driver given.
        const std::vector<Piece> pieces = Pieces(connection);
        if (std::none_of(pieces.begin(), pieces.end(), [](const Piece& piece) {
                const std::string_view key = Trimmed(piece.key);
                return piece.has_value &&
                       (EqualsNoCase(key, "DSN") || EqualsNoCase(key, "Driver") ||
                        EqualsNoCase(key, "FILEDSN"));
            })) {
            error =
                "the connection string names no data source (DSN=NAME), driver "
                "(Driver={PostgreSQL Unicode};Server=...) or data source file (FILEDSN=FILE); "
                "or give a PostgreSQL URI, postgresql://USER@HOST:PORT/DATABASE";
            return std::nullopt;
        }
        return connection;
    }
    const auto bad = [&error](const std::string& why) {
        error = "the PostgreSQL URI cannot be read: " + why;
        return std::nullopt;
    };
    const UriParts parts = SplitUserInfo(*body);
    std::string_view rest = parts.rest;
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
    // The user name runs to the first ':', the password is all the rest.
    std::string_view user_info = parts.user_info;
    std::string_view password;
    bool has_password = false;
    if (const std::size_t colon = user_info.find(':'); colon != std::string_view::npos) {
        password = user_info.substr(colon + 1);
        user_info = user_info.substr(0, colon);
        has_password = true;
    }
    const std::optional<std::string> user = Decoded(user_info);
    const std::optional<std::string> secret = Decoded(password);
    if (!user || !secret) {
        // Not shown: it is the user name and password.
        return bad("a broken %-escape before the '@' (write a '%' in a password as %25)");
    }
    const std::optional<std::string> database = Decoded(path);
    const std::optional<std::string> server = Decoded(host);
    if (!database || !server) {
        return bad("a broken %-escape in the server or database name");
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
        if (key != "sslmode") {
            return bad("only the parameter sslmode is understood, not " +
                       (Quotable(key) ? "'" + std::string(key) + "'" : std::string("this one")));
        }
        const std::optional<std::string> value =
            Decoded(eq == std::string_view::npos ? std::string_view() : pair.substr(eq + 1));
        if (!value) {
            return bad("a broken %-escape in sslmode's value");
        }
        out += Attribute("SSLmode", *value);
    }
    // Debian's driver is installed with its communication log on, which
    // would leave a log file in /tmp for every connection.
    out += "CommLog=0;Debug=0";
    return out;
}

std::optional<std::string> AttributeValue(const std::string& connection, std::string_view key) {
    for (const Piece& piece : Pieces(connection)) {
        if (!piece.has_value || !EqualsNoCase(Trimmed(piece.key), key)) {
            continue;
        }
        if (Secret(piece) && !StartsWithNoCase(key, "pwd") && !StartsWithNoCase(key, "password")) {
            return "***";  // it may hold a password, as in MaskedConnection
        }
        std::string_view value = piece.value;
        if (!value.starts_with('{')) {
            return std::string(Trimmed(value));
        }
        std::string out;
        for (std::size_t i = 1; i < value.size(); ++i) {
            if (value[i] == '}') {
                if (i + 1 < value.size() && value[i + 1] == '}') {
                    ++i;
                } else {
                    break;
                }
            }
            out += value[i];
        }
        return out;
    }
    return std::nullopt;
}

std::string MaskedConnection(const std::string& connection) {
    if (const std::optional<std::string_view> body = UriBody(connection)) {
        const UriParts parts = SplitUserInfo(*body);
        if (!parts.has_user_info) {
            return connection;
        }
        // Nothing of the user information: where the user name ends is
        // only a guess when a password holds ':'.
        return connection.substr(0, connection.size() - body->size()) + "***@" +
               std::string(parts.rest);
    }
    std::string out;
    for (const Piece& piece : Pieces(connection)) {
        out += piece.key;
        if (piece.has_value) {
            out += "=";
            out += Secret(piece) ? "***" : piece.value;
        }
        if (piece.ends_with_semicolon) {
            out += ";";
        }
    }
    return out;
}

std::string RecordPlace(const std::string& connection) {
    const auto first = [&connection](std::initializer_list<std::string_view> keys) {
        for (std::string_view key : keys) {
            if (const auto value = AttributeValue(connection, key); value && !value->empty()) {
                return *value;
            }
        }
        return std::string();
    };
    const std::string server = first({"Server", "Servername"});
    const std::string port = first({"Port"});
    const std::string database = first({"Database"});
    const std::string dsn = first({"DSN", "FILEDSN"});
    std::string place;
    if (!database.empty()) {
        place = "database " + database;
    }
    if (!server.empty()) {
        place += (place.empty() ? "server " : " on ") + server + (port.empty() ? "" : ":" + port);
    }
    if (!dsn.empty()) {
        place += place.empty() ? "data source " + dsn : " (data source " + dsn + ")";
    }
    return place.empty() ? "the record" : place;
}

}  // namespace qx17::ctl
