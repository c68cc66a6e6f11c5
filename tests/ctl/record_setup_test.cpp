// docs/record-setup.md followed to the letter on a PostgreSQL server of the
// test's own: its SQL as the superuser runs it, the first start as the
// record's owner, a station as the line's role through the sample data
// source, reports as the read-only role, and the driver's logs kept off.
#include <sys/stat.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <sstream>

#include "tests/ctl/program_fixture.h"

namespace qx17::ctl {
namespace {

namespace fs = std::filesystem;

constexpr const char* kHeader =
    "station,port,started,finished,id_before,id_written,outcome,differences,seconds,"
    "profile_sha256\n";

// The fenced block that follows `marker` in `guide`, without its fences;
// empty when there is none.
std::string BlockAfter(const std::string& guide, const std::string& marker) {
    const std::size_t at = guide.find(marker);
    const std::size_t open = guide.find("```", at);
    if (at == std::string::npos || open == std::string::npos) {
        return "";
    }
    const std::size_t body = guide.find('\n', open) + 1;
    const std::size_t close = guide.find("\n```", body);
    return close == std::string::npos ? "" : guide.substr(body, close + 1 - body);
}

std::string Replaced(std::string text, const std::string& from, const std::string& to) {
    for (std::size_t at = text.find(from); at != std::string::npos;
         at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
    return text;
}

std::string Random() {
    std::random_device random;
    return std::to_string(random()) + std::to_string(random());
}

// `ini` with `key` set to `value`.
std::string WithValue(const std::string& ini, const std::string& key, const std::string& value) {
    std::istringstream lines(ini);
    std::string out;
    for (std::string line; std::getline(lines, line);) {
        const bool match = line.compare(0, line.find_first_of(" ="), key) == 0;
        out += (match ? key + " = " + value : line) + "\n";
    }
    return out;
}

int Shell(const std::string& command) {
    return std::system(command.c_str());
}

// A server of the test's own (scripts/record_server.sh): roles belong to the
// whole server, so the guide's roles and database need one that no other
// test uses. Its superuser's password file is in its folder.
class OwnServer {
  public:
    OwnServer() : folder_("/tmp/qx17-setup-" + Random()) { started_ = Run("start") == 0; }
    ~OwnServer() { Run("stop"); }
    bool Started() const { return started_; }
    std::string Port() const {
        const std::string port = test::Slurp(folder_ / "port");
        return port.substr(0, port.find('\n'));
    }
    // psql as the superuser runs `script`, connected to "postgres": its
    // exit status, and what it said in `said`.
    int Psql(const fs::path& script, const fs::path& said) const {
        return Shell("PGPASSFILE='" + (folder_ / "pgpass").string() +
                     "' psql -X -v ON_ERROR_STOP=1 -d 'host=127.0.0.1 port=" + Port() +
                     " dbname=postgres user=qx17admin' <'" + script.string() + "' >'" +
                     said.string() + "' 2>&1");
    }

  private:
    int Run(const std::string& action) const {
        return Shell(std::string(QX17_RECORD_SERVER_SCRIPT) + " " + action + " '" +
                     folder_.string() + "' >/dev/null");
    }
    fs::path folder_;
    bool started_ = false;
};

class RecordSetup : public test::ProgramTest {
  protected:
    RecordSetup() {
        // A user's home of the test's own. unixODBC takes ~/.odbc.ini from
        // the account's home, not from HOME: ODBCINI names it.
        for (const char* name : {"HOME", "PGPASSFILE", "ODBCINI", "ODBCSYSINI"}) {
            if (const char* value = std::getenv(name)) {
                saved_.emplace_back(name, value);
            }
            ::unsetenv(name);
        }
        fs::create_directory(home_);
        ::setenv("HOME", home_.c_str(), 1);
        ::setenv("ODBCINI", (home_ / ".odbc.ini").c_str(), 1);
    }
    ~RecordSetup() override {
        ::unsetenv("HOME");
        ::unsetenv("ODBCINI");
        for (const auto& [name, value] : saved_) {
            ::setenv(name.c_str(), value.c_str(), 1);
        }
    }
    // The superuser runs `sql`; the test stops with what psql said if it
    // fails.
    void AsSuperuser(const std::string& sql) {
        std::ofstream(folder_ / "script.sql", std::ios::binary) << sql;
        ASSERT_EQ(server_.Psql(folder_ / "script.sql", folder_ / "psql.out"), 0)
            << sql << "\n"
            << test::Slurp(folder_ / "psql.out");
    }
    // The guide's example values as a user fills them in: this server's
    // address and port, and the password.
    std::string Filled(const std::string& text, const std::string& password = "") {
        return Replaced(Replaced(Replaced(text, "db1", "127.0.0.1"), "5432", server_.Port()),
                        "PASSWORD", password);
    }
    // qx17ctl run with `args`; in `driver_log` the driver's log of the run
    // (/tmp/psqlodbc_..._USERPID.log), removed here.
    test::Outcome Run(const std::vector<std::string>& args,
                      std::optional<std::string>& driver_log) {
        const pid_t pid = Spawn(args);
        const test::Outcome run = Wait(pid);
        const std::string tail = std::to_string(pid) + ".log";
        driver_log.reset();
        for (const auto& entry : fs::directory_iterator("/tmp")) {
            const std::string name = entry.path().filename().string();
            if (name.starts_with("psqlodbc_") && name.ends_with(tail) &&
                std::isdigit(static_cast<unsigned char>(name[name.size() - tail.size() - 1])) ==
                    0) {
                driver_log = test::Slurp(entry.path());
                fs::remove(entry.path());
            }
        }
        return run;
    }

    OwnServer server_;
    fs::path home_ = folder_ / "home";
    std::vector<std::pair<std::string, std::string>> saved_;
};

// What the driver logged of a run.
enum class Logged {
    kNothing,       // no file
    kNoStatement,   // no file, or one without the connection's statements
    kItsStatements  // the connection's statements: the log is looked for where it is
};

bool Matches(const std::optional<std::string>& log, Logged expected) {
    const bool statements = log && log->find("qx17_schema") != std::string::npos;
    switch (expected) {
        case Logged::kNothing:
            return !log;
        case Logged::kNoStatement:
            return !statements;
        case Logged::kItsStatements:
            return statements;
    }
    return false;
}

TEST_F(RecordSetup, TheGuideWorksAsWrittenOnAFreshServer) {
    ASSERT_TRUE(server_.Started());
    const std::string guide = test::Slurp(QX17_RECORD_SETUP_GUIDE);
    const std::string recipe = BlockAfter(guide, "<!-- record-setup.sql -->");
    const std::string odbc_ini = BlockAfter(guide, "<!-- odbc.ini -->");
    const std::string pgpass = BlockAfter(guide, "<!-- pgpass -->");
    const std::string driver_off = BlockAfter(guide, "<!-- odbcinst.ini -->");
    ASSERT_THAT(recipe, testing::HasSubstr("CREATE DATABASE qx17"));
    ASSERT_THAT(odbc_ini, testing::HasSubstr("[factory]"));
    ASSERT_THAT(pgpass, testing::HasSubstr("qx17_line"));
    ASSERT_THAT(driver_off, testing::HasSubstr("/etc/odbcinst.ini"));

    // The server as it comes, without what the script makes for the others.
    AsSuperuser("DROP DATABASE qx17;\nDROP ROLE line;\n");
    AsSuperuser(recipe);
    // What \password does, without a terminal; each role's line in the
    // password file.
    std::string passwords;
    std::string password_file;
    for (const char* role : {"qx17_owner", "qx17_line", "qx17_reader"}) {
        const std::string password = "pw" + Random();
        passwords += "ALTER ROLE " + std::string(role) + " PASSWORD '" + password + "';\n";
        password_file += Filled(Replaced(pgpass, "qx17_line", role), password);
    }
    AsSuperuser(passwords);
    std::ofstream(home_ / ".pgpass", std::ios::binary) << password_file;
    ASSERT_EQ(chmod((home_ / ".pgpass").c_str(), 0600), 0);
    // The guide's data source, and the same with the driver's log on.
    std::ofstream(home_ / ".odbc.ini", std::ios::binary)
        << Filled(odbc_ini) << "\n"
        << WithValue(Replaced(Filled(odbc_ini), "[factory]", "[factory-logged]"), "CommLog", "1");
    // The driver's own settings as the guide leaves them, in a copy of the
    // system's (ODBCSYSINI).
    const fs::path system = folder_ / "system";
    fs::create_directory(system);
    fs::copy_file("/etc/odbcinst.ini", system / "odbcinst.ini");
    ASSERT_EQ(Shell(Replaced(Replaced(driver_off, "sudo ", ""), "/etc/odbcinst.ini",
                             (system / "odbcinst.ini").string())),
              0);
    const auto uri = [this](const std::string& role) {
        return "postgresql://" + role + "@127.0.0.1:" + server_.Port() + "/qx17";
    };
    std::optional<std::string> driver_log;

    const test::Outcome first = Run({"record", uri("qx17_owner"), "--csv"}, driver_log);
    ASSERT_EQ(first.exit_code, 0) << first.err;
    EXPECT_EQ(first.out, kHeader);

    sim::VirtualTracker& tracker = AddTracker();
    const test::Outcome line =
        Run({"line", tracker.SlavePath(), "--profile", Profile(test::TestProfile()).string(),
             "--record", "DSN=factory", "--station", "A", "--id-start", "0700", "--count", "1"},
            driver_log);
    ASSERT_EQ(line.exit_code, 0) << line.err;
    EXPECT_TRUE(Matches(driver_log, Logged::kNoStatement)) << driver_log.value_or("");
    const std::string written = ImageToFields(MemoryOf(tracker)).ID + "\n";

    const std::string log = (folder_ / "station.csv").string();
    std::ofstream(log, std::ios::binary)
        << "time,port,id_before,id_written,outcome,differences,seconds\n"
           "2026-12-08T10:00:00Z,COM1,35712001234567,35712000000100,ok,,0.9\n";
    const struct {
        const char* what;
        std::vector<std::string> args;
        std::string system_ini;  // ODBCSYSINI
        int exit_code;
        std::string out;
        std::string err;  // a part of stderr
        std::optional<Logged> logged;
    } steps[] = {
        {"the reader lists", {"record", uri("qx17_reader"), "--ids"}, "", 0, written, "", {}},
        {"the reader imports",
         {"record", "import", uri("qx17_reader"), log},
         "",
         6,
         "",
         "permission denied",
         {}},
        {"the data source",
         {"record", "DSN=factory", "--ids"},
         "",
         0,
         written,
         "",
         Logged::kNoStatement},
        {"its log on",
         {"record", "DSN=factory-logged", "--ids"},
         "",
         0,
         written,
         "",
         Logged::kItsStatements},
        {"the data source and the driver's log off",
         {"record", "DSN=factory", "--ids"},
         system.string(),
         0,
         written,
         "",
         Logged::kNothing},
    };
    for (const auto& step : steps) {
        if (!step.system_ini.empty()) {
            ::setenv("ODBCSYSINI", step.system_ini.c_str(), 1);
        }
        const test::Outcome run = Run(step.args, driver_log);
        ::unsetenv("ODBCSYSINI");
        EXPECT_EQ(run.exit_code, step.exit_code) << step.what << "\n" << run.err;
        EXPECT_EQ(run.out, step.out) << step.what;
        EXPECT_THAT(run.err, testing::HasSubstr(step.err)) << step.what;
        if (step.logged) {
            EXPECT_TRUE(Matches(driver_log, *step.logged))
                << step.what << ": " << driver_log.value_or("no log");
        }
    }
}

}  // namespace
}  // namespace qx17::ctl
