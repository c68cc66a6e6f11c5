// A thin layer of our own over ODBC: the handles as RAII objects, one
// connection with explicit transactions, statements that are always
// prepared and whose values are always bound as parameters (no value ever
// becomes part of the SQL text), and the driver's diagnostics as messages.
// On Linux it runs on unixODBC, on Windows on the system's odbc32.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace qx17::ctl::odbc {

// What the driver or the server said, with its SQLSTATE. Never holds the
// connection string.
class Error : public std::runtime_error {
  public:
    Error(const std::string& message, std::string state)
        : std::runtime_error(message), state_(std::move(state)) {}
    const std::string& State() const { return state_; }
    // The connection is gone (the server restarted, the network went): a
    // new connection may succeed where this one cannot.
    bool ConnectionLost() const;
    // The same statement may succeed when run again (a serialization
    // failure, a deadlock).
    bool Retryable() const;
    // A unique constraint was violated.
    bool UniqueViolation() const { return state_ == "23505"; }

  private:
    std::string state_;
};

// A parameter's value: text, bytes, or NULL.
struct Value {
    enum class Kind { kNull, kText, kBytes };
    Kind kind = Kind::kNull;
    std::string data;

    static Value Null() { return {}; }
    static Value Text(std::string text) { return {Kind::kText, std::move(text)}; }
    static Value Bytes(std::string bytes) { return {Kind::kBytes, std::move(bytes)}; }
    static Value Integer(std::int64_t n) { return Text(std::to_string(n)); }
};

class Statement;

class Connection {
  public:
    // Connects with `connection_string` (never prompting), transactions
    // explicit unless `autocommit` (for what cannot run in a transaction,
    // such as CREATE DATABASE). Error with the driver's reason; for a data
    // source or driver that is not set up (SQLSTATE IM002) the message names
    // it, where the driver manager looked and what it knows instead.
    explicit Connection(const std::string& connection_string, bool autocommit = false);
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    void Commit();
    void Rollback();  // never throws: a lost connection has nothing to roll back
    // The driver knows the connection is gone (whatever SQLSTATE it gave the
    // statement that found out).
    bool Dead();

    void* Handle() const { return dbc_; }

    // `sql`, prepared once on this connection and kept while it lives: a
    // statement that runs for every tracker is not prepared every time.
    Statement& Prepared(std::string_view sql);

  private:
    void* env_ = nullptr;
    void* dbc_ = nullptr;
    std::map<std::string, std::unique_ptr<Statement>, std::less<>> prepared_;
};

class Statement {
  public:
    // Prepares `sql`, whose parameters are written as '?'.
    Statement(Connection& connection, std::string_view sql);
    ~Statement();
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    // Runs it with `values` bound to its parameters in order.
    void Execute(const std::vector<Value>& values = {});
    // The next row of the result; false when there is none.
    bool Fetch();
    // A column of the current row, counted from 1: nothing for NULL.
    std::optional<std::string> Column(int column);
    // The rows the last Execute changed.
    std::int64_t RowsChanged();

  private:
    void* stmt_ = nullptr;
    bool open_cursor_ = false;
};

// The names of the ODBC drivers installed here ("PostgreSQL Unicode" ...).
std::vector<std::string> InstalledDrivers();

// The names of the data sources set up here, the user's and the system's.
std::vector<std::string> DataSources();

// Runs `sql` once with `values` and returns its first column of every row.
std::vector<std::optional<std::string>> Query(Connection& connection, std::string_view sql,
                                              const std::vector<Value>& values = {});

}  // namespace qx17::ctl::odbc
