// The qx17ctl program on a fresh database of the tests' record server: the
// line's arguments, statements as the server's superuser, other roles.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "ctl/record/odbc.h"
#include "tests/ctl/program_fixture.h"
#include "tests/ctl/record_server.h"

namespace qx17::ctl {

class RecordProgram : public test::ProgramTest {
  protected:
    void SetUp() override {
        if (test::RecordServerFolder().empty()) {
            GTEST_SKIP() << "no record server (QX17_RECORD_SERVER)";
        }
        connection_ = test::FreshRecordDatabase();
    }
    std::vector<std::string> Line(const sim::VirtualTracker& tracker) {
        return {"line",       tracker.SlavePath(),
                "--profile",  profile_,
                "--record",   connection_,
                "--station",  "A",
                "--id-start", "0700",
                "--count",    "1"};
    }
    // Statements run in the test's database by the server's superuser.
    void AsAdmin(const std::vector<std::string>& statements) {
        const std::string database = Database();
        std::string admin = test::RecordServerFile("admin");
        admin.replace(admin.find("Database=qx17"), 13, "Database=" + database);
        odbc::Connection db(admin, true);
        for (const std::string& sql : statements) {
            odbc::Statement(db, sql).Execute();
        }
    }
    std::string Database() const {
        const std::size_t at = connection_.find("Database=") + 9;
        return connection_.substr(at, connection_.find(';', at) - at);
    }
    // The test's database as `role`, whose password is `role` too.
    std::string As(const std::string& role) const {
        std::string connection = connection_;
        connection.replace(connection.find("Uid=line"), 8, "Uid=" + role + ";Pwd=" + role);
        return connection;
    }
    // The first value `sql` finds; empty before the line made the tables.
    std::string Count(const std::string& sql) {
        try {
            odbc::Connection db(connection_);
            const auto found = odbc::Query(db, sql);
            return found.empty() ? "" : found[0].value_or("");
        } catch (const odbc::Error&) {
            return "";
        }
    }
    // The outcome and ID of each row of `tracker`'s port.
    std::vector<std::pair<std::string, std::string>> RowsOf(const sim::VirtualTracker& tracker) {
        odbc::Connection db(connection_);
        odbc::Statement select(db,
                               "SELECT outcome, id_written FROM trackers WHERE port = ? "
                               "ORDER BY row_id");
        select.Execute({odbc::Value::Text(tracker.SlavePath())});
        std::vector<std::pair<std::string, std::string>> rows;
        while (select.Fetch()) {
            rows.emplace_back(select.Column(1).value_or(""), select.Column(2).value_or(""));
        }
        return rows;
    }

    std::string connection_;
    std::string profile_ = Profile(test::TestProfile()).string();
};

}  // namespace qx17::ctl
