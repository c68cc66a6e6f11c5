// The ODBC layer against a real PostgreSQL server: values go in as bound
// parameters and come back exactly, transactions are explicit, and the
// server's reasons reach the message without the connection string.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <unistd.h>
#endif

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "ctl/record/connection_string.h"
#include "ctl/record/odbc.h"
#include "tests/ctl/record_server.h"

namespace qx17::ctl {
namespace {

using odbc::Value;

class Odbc : public testing::Test {
  protected:
    void SetUp() override {
        connection_string_ = test::RecordConnection();
        if (connection_string_.empty()) {
            GTEST_SKIP() << "no record server (QX17_RECORD_SERVER)";
        }
    }
    std::string connection_string_;
};

// A PostgreSQL URI reaches the server through the driver installed here.
TEST_F(Odbc, AUriReachesTheServerThroughTheDriverInstalledHere) {
    std::string error;
    const std::optional<std::string> connection =
        OdbcConnectionString(test::RecordServerFile("uri"), odbc::InstalledDrivers(), error);
    ASSERT_TRUE(connection) << error;
    odbc::Connection db(*connection);
    EXPECT_EQ(odbc::Query(db, "SELECT 40 + 2"), std::vector<std::optional<std::string>>{"42"});
}

// A data source that is not set up: the driver manager's "not found" (its
// SQLSTATE, IM002, kept) becomes a message that names it, where the driver
// manager looked (the user's file here: ODBCINI) and the data sources it
// knows instead. The connection string's password is not in it.
TEST(OdbcDataSource, OneThatIsNotSetUpIsNamedWithWhereItWasLookedFor) {
    std::vector<std::string> expected = {"there is no ODBC data source 'factory'"};
#ifdef _WIN32
    expected.push_back("ODBC Data Sources administrator");
#else
    const std::filesystem::path folder =
        std::filesystem::temp_directory_path() / ("qx17-odbc-" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder);
    const std::filesystem::path ini = folder / "odbc.ini";
    std::ofstream(ini) << "[line-7-test]\nDriver=PostgreSQL Unicode\nServer=127.0.0.1\n";
    const char* before = std::getenv("ODBCINI");
    const std::string kept = before != nullptr ? before : "";
    ::setenv("ODBCINI", ini.c_str(), 1);
    expected.push_back("the user's " + ini.string() + " and the system's ");
    expected.push_back("line-7-test");
#endif
    std::string message;
    std::string state;
    try {
        odbc::Connection db("DSN=factory;Uid=line;Pwd=not-the-s3cret");
    } catch (const odbc::Error& e) {
        message = e.what();
        state = e.State();
    }
#ifndef _WIN32
    if (before != nullptr) {
        ::setenv("ODBCINI", kept.c_str(), 1);
    } else {
        ::unsetenv("ODBCINI");
    }
    std::filesystem::remove_all(folder);
#endif
    EXPECT_EQ(state, "IM002") << message;
    for (const std::string& part : expected) {
        EXPECT_NE(message.find(part), std::string::npos) << part << "\nin: " << message;
    }
    EXPECT_EQ(message.find("s3cret"), std::string::npos) << message;
}

TEST_F(Odbc, ValuesComeBackExactlyAsBound) {
    odbc::Connection db(connection_string_);
    odbc::Statement(db, "CREATE TEMP TABLE t (n serial, s text, b bytea)").Execute();
    const std::string texts[] = {"",
                                 "plain",
                                 "it's; DROP TABLE t; --",
                                 "back\\slash \"quoted\" 'single'",
                                 "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x93\xA1",
                                 std::string(5000, 'x')};
    const std::string bytes = std::string("\0\x01\xFF'\\;\r\n", 8) + std::string(3000, '\xAB');
    odbc::Statement insert(db, "INSERT INTO t (s, b) VALUES (?, ?)");
    for (const std::string& text : texts) {
        insert.Execute({Value::Text(text), Value::Bytes(bytes)});
        EXPECT_EQ(insert.RowsChanged(), 1);
    }
    insert.Execute({Value::Null(), Value::Null()});
    db.Commit();

    odbc::Statement select(db, "SELECT s, encode(b, 'hex'), b = ? FROM t ORDER BY n");
    select.Execute({Value::Bytes(bytes)});
    for (const std::string& text : texts) {
        ASSERT_TRUE(select.Fetch());
        EXPECT_EQ(select.Column(1), text);
        EXPECT_EQ(select.Column(3), "1") << "the bytes are stored exactly";
    }
    ASSERT_TRUE(select.Fetch());
    EXPECT_EQ(select.Column(1), std::nullopt);
    EXPECT_FALSE(select.Fetch());
}

TEST_F(Odbc, ARolledBackChangeIsGoneAndACommittedOneStays) {
    {
        odbc::Connection db(connection_string_);
        odbc::Statement(db, "CREATE TABLE IF NOT EXISTS kept (k text PRIMARY KEY)").Execute();
        odbc::Statement(db, "DELETE FROM kept").Execute();
        db.Commit();
        odbc::Statement insert(db, "INSERT INTO kept VALUES (?)");
        insert.Execute({Value::Text("rolled back")});
        db.Rollback();
        insert.Execute({Value::Text("committed")});
        db.Commit();
        try {
            insert.Execute({Value::Text("committed")});
            FAIL() << "a second row with the same key";
        } catch (const odbc::Error& e) {
            EXPECT_TRUE(e.UniqueViolation()) << e.State() << " " << e.what();
        }
    }
    odbc::Connection other(connection_string_);
    EXPECT_EQ(odbc::Query(other, "SELECT k FROM kept"),
              std::vector<std::optional<std::string>>{"committed"});
}

TEST_F(Odbc, TheServersReasonIsToldWithoutThePassword) {
    const std::string with_password = connection_string_ + ";Pwd=not-the-s3cret";
    try {
        odbc::Connection db(with_password);
        FAIL() << "connected with a wrong password";
    } catch (const odbc::Error& e) {
        const std::string message = e.what();
        EXPECT_NE(message.find("password authentication failed"), std::string::npos) << message;
        EXPECT_EQ(message.find("not-the-s3cret"), std::string::npos) << message;
        EXPECT_TRUE(e.State().rfind("08", 0) == 0) << e.State();
    }
    odbc::Connection db(connection_string_);
    try {
        odbc::Statement(db, "SELECT * FROM no_such_table").Execute();
        FAIL() << "a table that is not there";
    } catch (const odbc::Error& e) {
        EXPECT_EQ(e.State(), "42P01") << e.what();
        EXPECT_NE(std::string(e.what()).find("no_such_table"), std::string::npos);
    }
}

}  // namespace
}  // namespace qx17::ctl
