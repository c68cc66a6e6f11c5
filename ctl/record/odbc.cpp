#include "ctl/record/odbc.h"

#include <algorithm>
#include <mutex>

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#endif
#include <sql.h>
#include <sqlext.h>

#include "ctl/record/connection_string.h"
#include "params/ansi_text.h"

namespace qx17::ctl::odbc {

namespace {

// Texts cross in UTF-16 (SQL_C_WCHAR), converted here, so that what the
// server stores is exactly the UTF-8 given, whatever the driver manager
// would make of narrow strings.
std::u16string Utf16(std::string_view utf8) {
    std::u16string out;
    for (std::size_t i = 0; i < utf8.size();) {
        char32_t cp = 0;
        if (!NextUtf8(utf8, i, cp)) {
            cp = 0xFFFD;  // not UTF-8: the replacement character
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
    }
    return out;
}

std::string Utf8(const std::u16string& utf16) {
    std::string out;
    for (std::size_t i = 0; i < utf16.size(); ++i) {
        char32_t cp = utf16[i];
        if (cp >= 0xD800 && cp < 0xDC00 && i + 1 < utf16.size()) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (utf16[++i] - 0xDC00);
        }
        AppendUtf8(out, cp);
    }
    return out;
}

// The diagnostics of `handle` as one message, and the first SQLSTATE.
Error Diagnostics(SQLSMALLINT type, SQLHANDLE handle, const std::string& what) {
    std::string message;
    std::string first_state;
    for (SQLSMALLINT record = 1; record <= 5; ++record) {
        SQLCHAR state[6] = {};
        SQLINTEGER native = 0;
        SQLCHAR text[1024] = {};
        SQLSMALLINT length = 0;
        const SQLRETURN r = SQLGetDiagRec(type, handle, record, state, &native, text,
                                          static_cast<SQLSMALLINT>(sizeof text), &length);
        if (!SQL_SUCCEEDED(r)) {
            break;
        }
        if (first_state.empty()) {
            first_state = reinterpret_cast<const char*>(state);
        }
        message += (message.empty() ? "" : "; ") + std::string(reinterpret_cast<char*>(text));
    }
    while (!message.empty() && (message.back() == '\n' || message.back() == ' ')) {
        message.pop_back();
    }
    return Error(what + (message.empty() ? "" : ": " + message), first_state);
}

void Check(SQLRETURN r, SQLSMALLINT type, SQLHANDLE handle, const char* what) {
    if (!SQL_SUCCEEDED(r)) {
        throw Diagnostics(type, handle, what);
    }
}

// Names listed for a message: all of them up to a dozen, then how many more.
std::string Listed(const std::vector<std::string>& names, const char* none) {
    if (names.empty()) {
        return none;
    }
    constexpr std::size_t kMost = 12;
    std::string out;
    for (std::size_t i = 0; i < names.size() && i < kMost; ++i) {
        out += (i == 0 ? "" : ", ") + names[i];
    }
    if (names.size() > kMost) {
        out += " and " + std::to_string(names.size() - kMost) + " more";
    }
    return out;
}

#ifndef _WIN32
// The user's and the system's odbc.ini as unixODBC itself resolves them
// (ODBCINI, ODBCSYSINI, the home folder; what `odbcinst -j` shows), from
// its configuration library. The driver manager does not export these, so
// the library is loaded here; an empty list when it is not installed.
std::vector<std::string> DataSourceFiles() {
    using IniPath = int (*)(char*, int);
    void* library = dlopen("libodbcinst.so.2", RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        return {};
    }
    std::vector<std::string> files;
    for (const char* name : {"_odbcinst_UserINI", "_odbcinst_SystemINI"}) {
        const auto path = reinterpret_cast<IniPath>(dlsym(library, name));
        char file[8192] = {};  // the library's own limit is FILENAME_MAX
        if (path != nullptr && path(file, 0) && file[0] != '\0') {
            files.emplace_back(file);
        }
    }
    dlclose(library);
    return files;
}
#endif

// Why a connection string found neither its data source nor its driver
// (SQLSTATE IM002): the data source or driver it names, where the driver
// manager looked and what it knows instead. The connection string is not
// shown: it may hold a password.
Error NotFound(const std::string& connection_string) {
    const std::optional<std::string> dsn = AttributeValue(connection_string, "DSN");
    const std::optional<std::string> driver = AttributeValue(connection_string, "Driver");
    const std::optional<std::string> file = AttributeValue(connection_string, "FILEDSN");
    if (file && !dsn) {
        return Error("cannot connect: the data source file '" + *file +
                         "' cannot be read or names no driver",
                     "IM002");
    }
    if (driver && !dsn) {
        return Error("cannot connect: no ODBC driver is installed as '" + *driver +
                         "'; the drivers installed: " + Listed(InstalledDrivers(), "none"),
                     "IM002");
    }
    std::string message = "cannot connect: there is no ODBC data source '" +
                          (dsn ? *dsn : std::string("DEFAULT")) + "'";
#ifdef _WIN32
    message +=
        " (data sources are set up in Windows' ODBC Data Sources administrator, "
        "odbcad32.exe, for the user or the whole system; a 64-bit program sees only those of "
        "the 64-bit administrator)";
#else
    const std::vector<std::string> files = DataSourceFiles();
    if (files.size() == 2) {
        message +=
            " (unixODBC looked in the user's " + files[0] + " and the system's " + files[1] + ")";
    } else {
        message += " (unixODBC looked in its odbc.ini files: odbcinst -j names them)";
    }
#endif
    message += "; the data sources there: " + Listed(DataSources(), "none") +
               ". Set it up, or give a driver's connection string (Driver={PostgreSQL "
               "Unicode};Server=...) or a postgresql:// URI";
    return Error(message, "IM002");
}

}  // namespace

bool Error::ConnectionLost() const {
    // Class 08 (connection exception), 57P (operator intervention: the
    // server shut down), and the driver's "communication link failure".
    return state_.rfind("08", 0) == 0 || state_.rfind("57P", 0) == 0 || state_ == "HYT00" ||
           state_ == "HYT01" || state_.empty();
}

bool Error::Retryable() const {
    return state_ == "40001" || state_ == "40P01";
}

namespace {

// The PostgreSQL driver sets the process's locale while it connects, which
// is not safe beside another connect: one at a time in this process.
std::mutex& ConnectMutex() {
    static std::mutex mutex;
    return mutex;
}

}  // namespace

Connection::Connection(const std::string& connection_string, bool autocommit) {
    const std::lock_guard one_at_a_time(ConnectMutex());
    SQLHANDLE env = SQL_NULL_HANDLE;
    if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env))) {
        throw Error("no ODBC environment (is the driver manager installed?)", "");
    }
    env_ = env;
    SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
    SQLHANDLE dbc = SQL_NULL_HANDLE;
    if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_DBC, env, &dbc))) {
        SQLFreeHandle(SQL_HANDLE_ENV, env);
        throw Error("no ODBC connection handle", "");
    }
    dbc_ = dbc;
    // A lost server must not hang a claim for minutes.
    SQLSetConnectAttr(dbc, SQL_ATTR_LOGIN_TIMEOUT, reinterpret_cast<SQLPOINTER>(10), 0);
    std::string text = connection_string;
    const SQLRETURN r = SQLDriverConnect(dbc, nullptr, reinterpret_cast<SQLCHAR*>(text.data()),
                                         SQL_NTS, nullptr, 0, nullptr, SQL_DRIVER_NOPROMPT);
    if (!SQL_SUCCEEDED(r)) {
        Error error = Diagnostics(SQL_HANDLE_DBC, dbc, "cannot connect");
        SQLFreeHandle(SQL_HANDLE_DBC, dbc);
        SQLFreeHandle(SQL_HANDLE_ENV, env);
        if (error.State() == "IM002") {
            // The driver manager's own words name neither the data source
            // nor where it was looked for.
            throw NotFound(connection_string);
        }
        throw error;
    }
    const SQLRETURN a = SQLSetConnectAttr(
        dbc, SQL_ATTR_AUTOCOMMIT,
        reinterpret_cast<SQLPOINTER>(autocommit ? SQL_AUTOCOMMIT_ON : SQL_AUTOCOMMIT_OFF), 0);
    if (!SQL_SUCCEEDED(a)) {
        Error error = Diagnostics(SQL_HANDLE_DBC, dbc, "cannot take transactions in hand");
        SQLDisconnect(dbc);
        SQLFreeHandle(SQL_HANDLE_DBC, dbc);
        SQLFreeHandle(SQL_HANDLE_ENV, env);
        throw error;
    }
}

Connection::~Connection() {
    const std::lock_guard one_at_a_time(ConnectMutex());
    prepared_.clear();  // before the connection they belong to
    Rollback();
    SQLDisconnect(dbc_);
    SQLFreeHandle(SQL_HANDLE_DBC, dbc_);
    SQLFreeHandle(SQL_HANDLE_ENV, env_);
}

void Connection::Commit() {
    Check(SQLEndTran(SQL_HANDLE_DBC, dbc_, SQL_COMMIT), SQL_HANDLE_DBC, dbc_, "commit");
}

void Connection::Rollback() {
    (void)SQLEndTran(SQL_HANDLE_DBC, dbc_, SQL_ROLLBACK);
}

Statement& Connection::Prepared(std::string_view sql) {
    const auto found = prepared_.find(sql);
    if (found != prepared_.end()) {
        return *found->second;
    }
    auto statement = std::make_unique<Statement>(*this, sql);
    Statement& kept = *statement;
    prepared_.emplace(std::string(sql), std::move(statement));
    return kept;
}

bool Connection::Dead() {
    SQLUINTEGER dead = SQL_CD_FALSE;
    const SQLRETURN r = SQLGetConnectAttr(dbc_, SQL_ATTR_CONNECTION_DEAD, &dead, 0, nullptr);
    return SQL_SUCCEEDED(r) && dead == SQL_CD_TRUE;
}

Statement::Statement(Connection& connection, std::string_view sql) {
    SQLHANDLE stmt = SQL_NULL_HANDLE;
    const auto dbc = static_cast<SQLHANDLE>(connection.Handle());
    Check(SQLAllocHandle(SQL_HANDLE_STMT, dbc, &stmt), SQL_HANDLE_DBC, dbc, "statement");
    stmt_ = stmt;
    std::string text(sql);
    const SQLRETURN r = SQLPrepare(stmt, reinterpret_cast<SQLCHAR*>(text.data()),
                                   static_cast<SQLINTEGER>(text.size()));
    if (!SQL_SUCCEEDED(r)) {
        Error error = Diagnostics(SQL_HANDLE_STMT, stmt, "prepare");
        SQLFreeHandle(SQL_HANDLE_STMT, stmt);
        throw error;
    }
}

Statement::~Statement() {
    SQLFreeHandle(SQL_HANDLE_STMT, stmt_);
}

void Statement::Execute(const std::vector<Value>& values) {
    if (open_cursor_) {
        SQLCloseCursor(stmt_);
        open_cursor_ = false;
    }
    SQLFreeStmt(stmt_, SQL_RESET_PARAMS);
    // The buffers stay put until the statement has run.
    std::vector<std::u16string> texts(values.size());
    std::vector<SQLLEN> lengths(values.size());
    for (std::size_t i = 0; i < values.size(); ++i) {
        const Value& v = values[i];
        const auto number = static_cast<SQLUSMALLINT>(i + 1);
        SQLRETURN r;
        if (v.kind == Value::Kind::kBytes) {
            lengths[i] = static_cast<SQLLEN>(v.data.size());
            r = SQLBindParameter(stmt_, number, SQL_PARAM_INPUT, SQL_C_BINARY, SQL_LONGVARBINARY,
                                 std::max<SQLULEN>(v.data.size(), 1), 0,
                                 const_cast<char*>(v.data.data()), lengths[i], &lengths[i]);
        } else {
            texts[i] = Utf16(v.data);
            lengths[i] = v.kind == Value::Kind::kNull
                             ? SQL_NULL_DATA
                             : static_cast<SQLLEN>(texts[i].size() * sizeof(char16_t));
            r = SQLBindParameter(stmt_, number, SQL_PARAM_INPUT, SQL_C_WCHAR, SQL_WVARCHAR,
                                 std::max<SQLULEN>(texts[i].size(), 1), 0, texts[i].data(),
                                 static_cast<SQLLEN>(texts[i].size() * sizeof(char16_t)),
                                 &lengths[i]);
        }
        Check(r, SQL_HANDLE_STMT, stmt_, "bind");
    }
    const SQLRETURN r = SQLExecute(stmt_);
    if (r != SQL_NO_DATA) {
        Check(r, SQL_HANDLE_STMT, stmt_, "statement");
    }
    open_cursor_ = true;
}

bool Statement::Fetch() {
    const SQLRETURN r = SQLFetch(stmt_);
    if (r == SQL_NO_DATA) {
        return false;
    }
    Check(r, SQL_HANDLE_STMT, stmt_, "fetch");
    return true;
}

std::optional<std::string> Statement::Column(int column) {
    std::u16string text;
    for (;;) {
        char16_t buffer[512];
        SQLLEN length = 0;
        const SQLRETURN r = SQLGetData(stmt_, static_cast<SQLUSMALLINT>(column), SQL_C_WCHAR,
                                       buffer, sizeof buffer, &length);
        if (r == SQL_NO_DATA) {
            break;
        }
        Check(r, SQL_HANDLE_STMT, stmt_, "read a column");
        if (length == SQL_NULL_DATA) {
            return std::nullopt;
        }
        const std::size_t units = sizeof buffer / sizeof(char16_t) - 1;  // less its NUL
        const bool more =
            length == SQL_NO_TOTAL || static_cast<std::size_t>(length) / sizeof(char16_t) > units;
        text.append(buffer, more ? units : static_cast<std::size_t>(length) / sizeof(char16_t));
        if (!more) {
            break;
        }
    }
    return Utf8(text);
}

std::int64_t Statement::RowsChanged() {
    SQLLEN rows = 0;
    Check(SQLRowCount(stmt_, &rows), SQL_HANDLE_STMT, stmt_, "row count");
    return rows;
}

std::vector<std::string> InstalledDrivers() {
    std::vector<std::string> names;
    SQLHANDLE env = SQL_NULL_HANDLE;
    if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env))) {
        return names;
    }
    SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
    SQLUSMALLINT direction = SQL_FETCH_FIRST;
    for (;;) {
        SQLCHAR name[256] = {};
        SQLCHAR attributes[1024] = {};
        SQLSMALLINT name_length = 0;
        SQLSMALLINT attributes_length = 0;
        if (!SQL_SUCCEEDED(SQLDrivers(env, direction, name, sizeof name, &name_length, attributes,
                                      sizeof attributes, &attributes_length))) {
            break;
        }
        names.emplace_back(reinterpret_cast<char*>(name));
        direction = SQL_FETCH_NEXT;
    }
    SQLFreeHandle(SQL_HANDLE_ENV, env);
    return names;
}

std::vector<std::string> DataSources() {
    std::vector<std::string> names;
    SQLHANDLE env = SQL_NULL_HANDLE;
    if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env))) {
        return names;
    }
    SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
    SQLUSMALLINT direction = SQL_FETCH_FIRST;
    for (;;) {
        SQLCHAR name[256] = {};
        SQLCHAR description[1024] = {};
        SQLSMALLINT name_length = 0;
        SQLSMALLINT description_length = 0;
        if (!SQL_SUCCEEDED(SQLDataSources(env, direction, name, sizeof name, &name_length,
                                          description, sizeof description, &description_length))) {
            break;
        }
        names.emplace_back(reinterpret_cast<char*>(name));
        direction = SQL_FETCH_NEXT;
    }
    SQLFreeHandle(SQL_HANDLE_ENV, env);
    return names;
}

std::vector<std::optional<std::string>> Query(Connection& connection, std::string_view sql,
                                              const std::vector<Value>& values) {
    Statement& statement = connection.Prepared(sql);
    statement.Execute(values);
    std::vector<std::optional<std::string>> column;
    while (statement.Fetch()) {
        column.push_back(statement.Column(1));
    }
    return column;
}

}  // namespace qx17::ctl::odbc
