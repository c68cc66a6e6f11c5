// qx17ctl record serve as a supervisor's browser, a monitoring system and
// an unfriendly client meet it, on a role that may only read the record,
// through a relay that can cut the record away; and qx17ctl record summary.
#include <signal.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <thread>

#include "ctl/line/line_log.h"
#include "ctl/record/record_summary.h"
#include "tests/ctl/record_serve_fixture.h"
#include "tools/tcp_relay/tcp_relay.h"

namespace qx17::ctl {
namespace {

using namespace std::chrono_literals;
using testing::HasSubstr;

// Only GET and HEAD on the paths it knows; everything else answered with a
// status and never a file or an error of the database.
TEST_F(RecordServe, AnswersOnlyWhatItServes) {
    AddRows("A", 3, "ok");
    const int port = Serve(viewer_);
    ASSERT_NE(port, 0) << test::Slurp(folder_ / "err");
    std::string headers;
    for (int i = 0; i < 200; ++i) {
        headers += "X-Header-" + std::to_string(i) + ": a\r\n";
    }
    const struct {
        std::string request;
        int status;
        std::string in_head;
        std::string in_body;
    } cases[] = {
        {"GET / HTTP/1.1\r\nHost: l\r\nConnection: close\r\n\r\n", 200, "Content-Type: text/html",
         "<html"},
        {"HEAD / HTTP/1.1\r\nHost: l\r\nConnection: close\r\n\r\n", 200, "Content-Security-Policy",
         ""},
        {"GET /chart.js HTTP/1.1\r\nHost: l\r\nConnection: close\r\n\r\n", 200, "text/javascript",
         "Chart"},
        {"GET /page.js?x=1 HTTP/1.1\r\nHost: l\r\nConnection: close\r\n\r\n", 200,
         "text/javascript", "EventSource"},
        {"GET /metrics HTTP/1.1\r\nHost: l\r\nConnection: close\r\n\r\n", 200,
         "Content-Type: text/plain; version=0.0.4",
         "qx17_trackers_total{station=\"A\",outcome=\"ok\"} 3"},
        {"GET /api/summary?station=A';DROP%20TABLE%20trackers;-- HTTP/1.1\r\nHost: l\r\n"
         "Connection: close\r\n\r\n",
         200, "application/json", "\"today\":3"},
        {"POST /api/summary HTTP/1.1\r\nHost: l\r\nContent-Length: 2\r\nConnection: "
         "close\r\n\r\n{}",
         405, "Allow: GET, HEAD", ""},
        {"DELETE / HTTP/1.1\r\nHost: l\r\nConnection: close\r\n\r\n", 405, "Allow: GET, HEAD", ""},
        {"BREW / HTTP/1.1\r\nHost: l\r\nConnection: close\r\n\r\n", 400, "", ""},
        {"GET /nothing HTTP/1.1\r\nHost: l\r\nConnection: close\r\n\r\n", 404, "", ""},
        {"GET /../../etc/passwd HTTP/1.1\r\nHost: l\r\nConnection: close\r\n\r\n", 404, "", ""},
        {"GET /%2e%2e/%2e%2e/etc/passwd HTTP/1.1\r\nHost: l\r\nConnection: close\r\n\r\n", 404, "",
         ""},
        {"GET /" + std::string(10000, 'a') + " HTTP/1.1\r\nHost: l\r\nConnection: close\r\n\r\n",
         400, "", ""},
        {"GET / HTTP/1.1\r\nHost: l\r\nConnection: close\r\nX: " + std::string(10000, 'a') +
             "\r\n\r\n",
         400, "", ""},
        {"GET / HTTP/1.1\r\nHost: l\r\nConnection: close\r\n" + headers + "\r\n", 431, "", ""},
        {"nonsense\r\n\r\n", 400, "", ""},
    };
    for (const auto& c : cases) {
        const Reply reply = Request(port, c.request);
        const std::string name = c.request.substr(0, 40);
        EXPECT_EQ(reply.status, c.status) << name;
        EXPECT_THAT(reply.head, HasSubstr(c.in_head)) << name;
        EXPECT_THAT(reply.body, HasSubstr(c.in_body)) << name;
        EXPECT_THAT(reply.body, testing::Not(HasSubstr("root:"))) << name;
    }
    EXPECT_TRUE(Get(port, "/", "HEAD").body.empty()) << "HEAD has no body";
    EXPECT_EQ(Summary(port)["stations"][0]["today"], 3) << "the table is still there";

    // 200 connections at once, each answered.
    std::vector<std::unique_ptr<Client>> clients;
    for (int i = 0; i < 200; ++i) {
        clients.push_back(std::make_unique<Client>(port));
        clients.back()->Send("GET /api/summary HTTP/1.1\r\nHost: l\r\nConnection: close\r\n\r\n");
    }
    int answered = 0;
    for (auto& client : clients) {
        answered +=
            Parse(client->ReadUntil([](const std::string& s) { return Whole(s, false); })).status ==
                    200
                ? 1
                : 0;
    }
    EXPECT_EQ(answered, 200);

    const test::Outcome stopped = Stop();
    EXPECT_EQ(stopped.exit_code, 0) << stopped.err;
    EXPECT_THAT(stopped.err, HasSubstr("stopped serving"));
}

// The metrics as Prometheus reads them: the format checked by promtool, each
// station's counts those of the record, its series there from its first row.
TEST_F(RecordServe, MetricsAreTheRecordsCountsInTheTextFormat) {
    AddRows("A", 5, "ok");
    AddRows("A", 2, "timeout");
    AddRows("B \"quoted\"\\", 1, "verify-failed");
    const int port = Serve(viewer_);
    const std::string metrics = Get(port, "/metrics").body;
    const struct {
        std::string series;
        std::string value;
    } cases[] = {
        {"qx17_trackers_total{station=\"A\",outcome=\"ok\"}", "5"},
        {"qx17_trackers_total{station=\"A\",outcome=\"timeout\"}", "2"},
        {"qx17_trackers_total{station=\"A\",outcome=\"refused\"}", "0"},
        {"qx17_trackers_total{station=\"B \\\"quoted\\\"\\\\\",outcome=\"verify-failed\"}", "1"},
        {"qx17_claims_interrupted_total{station=\"A\"}", "0"},
        {"qx17_record_up", "1"},
        {"qx17_build_info{version=\"" QX17_VERSION "\"}", "1"},
    };
    for (const auto& c : cases) {
        EXPECT_THAT(metrics, HasSubstr("\n" + c.series + " " + c.value + "\n")) << c.series;
    }
    EXPECT_THAT(metrics, HasSubstr("qx17_station_last_tracker_timestamp_seconds{station=\"A\"} "));
    EXPECT_THAT(metrics, testing::Not(HasSubstr("3571300"))) << "never a tracker's ID";
    const std::string file = (folder_ / "metrics.txt").string();
    std::ofstream(file) << metrics;
    const std::string check = "promtool check metrics < " + file + " > " + file + ".out 2>&1";
    EXPECT_EQ(std::system(check.c_str()), 0) << test::Slurp(file + ".out");
    Stop();
}

// A real Prometheus, on 127.0.0.1 for a bounded run, scrapes the server
// and answers a query for a station's ok count with the record's number.
TEST_F(RecordServe, PrometheusScrapesItAndAnswersWithTheRecordsCount) {
    if (::access("/usr/bin/prometheus", X_OK) != 0) {
        GTEST_SKIP() << "needs /usr/bin/prometheus (Debian's prometheus)";
    }
    AddRows("A", 6, "ok");
    AddRows("A", 1, "refused");
    const int port = Serve(viewer_);
    const std::filesystem::path config = folder_ / "prometheus.yml";
    std::ofstream(config) << "global:\n  scrape_interval: 1s\nscrape_configs:\n"
                             "  - job_name: qx17\n    static_configs:\n"
                             "      - targets: ['127.0.0.1:"
                          << port << "']\n";
    const int web = FreePort();
    SideProgram prometheus(
        {"/usr/bin/timeout", "120", "/usr/bin/prometheus", "--config.file=" + config.string(),
         "--storage.tsdb.path=" + (folder_ / "tsdb").string(),
         "--web.listen-address=127.0.0.1:" + std::to_string(web)},
        folder_ / "prometheus.log");
    ASSERT_TRUE(prometheus.Started()) << prometheus.Why();
    const std::string query =
        "/api/v1/query?query=qx17_trackers_total%7Bstation%3D%22A%22%2Coutcome%3D%22ok%22%7D";
    std::string answer;
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    while (answer.find("\"6\"]") == std::string::npos &&
           std::chrono::steady_clock::now() < deadline && !prometheus.Ended()) {
        std::this_thread::sleep_for(250ms);
        answer = Get(web, query).body;
    }
    EXPECT_THAT(answer, HasSubstr("\"job\":\"qx17\"")) << answer << "\n"
                                                       << test::Slurp(folder_ / "prometheus.log");
    EXPECT_THAT(answer, HasSubstr(",\"6\"]")) << "the record's count of A's ok trackers";
    Stop();
}

// The page's stream: a summary at once, a new row within two seconds, at most
// --max-viewers streams (the next one told to come back later), and a viewer
// that stops reading holds up no other.
TEST_F(RecordServe, TheStreamBringsNewRowsToEveryViewerThatReads) {
    AddRows("A", 1, "ok");
    for (int i = 0; i < 40; ++i) {  // summaries of some size, to fill a stalled viewer's buffers
        AddRows("station " + std::to_string(i) + std::string(100, 'x'), 1, "ok");
    }
    const int port = Serve(viewer_, {"--max-viewers", "3"});
    const std::string stream = "GET /api/stream HTTP/1.1\r\nHost: l\r\n\r\n";
    Client stalled(port, 4096);  // reads nothing from here on
    stalled.Send(stream);
    Client first(port);
    Client second(port);
    first.Send(stream);
    second.Send(stream);
    for (Client* viewer : {&first, &second}) {
        const std::string& got =
            viewer->ReadUntil([](const std::string& s) { return s.find("\"today\":1") != s.npos; });
        EXPECT_THAT(got, HasSubstr("Content-Type: text/event-stream"));
        EXPECT_THAT(got, HasSubstr("retry: 3000\n"));
        EXPECT_THAT(got, HasSubstr("event: summary\nid: "));
        EXPECT_THAT(got, HasSubstr("\"today\":1"));
    }
    const Reply over = Get(port, "/api/stream");
    EXPECT_EQ(over.status, 503);
    EXPECT_THAT(over.head, HasSubstr("Retry-After: "));

    std::this_thread::sleep_for(6s);  // the stalled viewer's buffers fill meanwhile
    AddRows("A", 1, "ok");
    const auto added = std::chrono::steady_clock::now();
    for (Client* viewer : {&first, &second}) {
        const std::string& got = viewer->ReadUntil(
            [](const std::string& s) { return s.find("\"today\":2") != s.npos; }, 5s);
        EXPECT_THAT(got, HasSubstr("\"today\":2"));
    }
    const double took =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - added).count();
    EXPECT_LT(took, 2.5) << "a new row reaches a reading viewer within about two seconds";
    std::cerr << "the new row reached both viewers after " << took << " s\n";
    // The stalled viewer's stream was ended by the server (its write timed
    // out), which frees its place for another viewer.
    EXPECT_TRUE(Until([&] { return Get(port, "/api/stream", "HEAD").status == 200; }));
    const test::Outcome stopped = Stop();
    EXPECT_EQ(stopped.exit_code, 0) << stopped.err;
}

// The record cut away: the summary and the metrics say so and keep the last
// figures, and all comes back by itself. A database without tables yet is
// told as such.
TEST_F(RecordServe, ARecordAwayIsToldAndComesBackByItself) {
    AddRows("A", 4, "ok");
    tools::TcpRelay relay("127.0.0.1", std::stoi(test::RecordServerFile("port")));
    const int port = Serve(tools::RelayedConnection(viewer_, relay.Port()));
    EXPECT_EQ(Summary(port)["record"]["up"], true);
    relay.Cut();
    nlohmann::json away;
    EXPECT_TRUE(Until([&] { return (away = Summary(port))["record"]["up"] == false; }));
    EXPECT_NE(away["record"]["why"], "");
    EXPECT_EQ(Station(away, "A")["today"], 4) << "the last figures stay";
    EXPECT_THAT(Get(port, "/metrics").body, HasSubstr("\nqx17_record_up 0\n"));
    relay.Pass();
    AddRows("A", 1, "ok");
    EXPECT_TRUE(Until([&] { return Station(Summary(port), "A")["today"] == 5; }));
    EXPECT_EQ(Summary(port)["record"]["up"], true);
    Stop();

    const std::string empty = test::FreshRecordDatabase();
    const int bare = Serve(empty);
    const nlohmann::json none = Summary(bare);
    EXPECT_EQ(none["record"]["no_tables"], true);
    EXPECT_EQ(none["stations"].size(), 0u);
    Stop();
}

// record summary: the same figures on a terminal's table, as CSV and JSON.
TEST_F(RecordServe, TheSummaryCommandPrintsEachStationsFigures) {
    AddRows("A", 3, "ok");
    AddRows("A", 1, "refused");
    const test::Outcome csv = Qx17ctl({"record", "summary", viewer_});
    EXPECT_EQ(csv.exit_code, 0) << csv.err;
    EXPECT_THAT(csv.out, HasSubstr("station,this_hour,last_hour,today,ok,failed,yield"));
    EXPECT_THAT(csv.out, HasSubstr("\nA,4,"));
    EXPECT_THAT(csv.out, HasSubstr(",4,3,1,0.7500,0,"));
    EXPECT_THAT(csv.out, HasSubstr("refused 1"));
    const test::Outcome json = Qx17ctl({"record", "summary", viewer_, "--json"});
    const auto summary = nlohmann::json::parse(json.out);
    EXPECT_EQ(summary["stations"][0]["failures_today"]["refused"], 1);
    const test::Outcome bad = Qx17ctl({"record", "summary", viewer_, "--since", "yesterday-ish"});
    EXPECT_EQ(bad.exit_code, 2);
    EXPECT_THAT(bad.err, HasSubstr("--since yesterday-ish: not a time"));
}

// Where a day begins, in the server's own time zone: the last --day-start at
// or before the present, also across a change to summer time.
TEST(DayStart, IsTheLastStartOfADayInTheLocalZone) {
    const char* zone = std::getenv("TZ");
    const std::string kept = zone ? zone : "";
    ::setenv("TZ", "Europe/Berlin", 1);
    ::tzset();
    const auto at = [](std::int64_t epoch) {
        return std::chrono::system_clock::time_point(std::chrono::seconds(epoch));
    };
    const struct {
        const char* now;  // UTC
        int hour, minute;
        const char* start;  // UTC
    } cases[] = {
        {"2026-12-11T13:00:00Z", 0, 0, "2026-12-10T23:00:00Z"},   // CET: local midnight
        {"2026-12-11T04:59:59Z", 6, 0, "2026-12-10T05:00:00Z"},   // before 06:00: yesterday's
        {"2026-12-11T05:00:00Z", 6, 0, "2026-12-11T05:00:00Z"},   // at 06:00: today's
        {"2026-12-11T05:29:00Z", 6, 30, "2026-12-10T05:30:00Z"},  // a shift at 06:30
        {"2026-03-29T12:00:00Z", 0, 0, "2026-03-28T23:00:00Z"},   // the day summer time begins
        {"2026-03-29T12:00:00Z", 6, 0, "2026-03-29T04:00:00Z"},   // 06:00 CEST
    };
    for (const auto& c : cases) {
        std::tm utc{};
        ::strptime(c.now, "%Y-%m-%dT%H:%M:%SZ", &utc);
        const auto start = DayStart(at(::timegm(&utc)), c.hour, c.minute);
        EXPECT_EQ(UtcTimestamp(start), c.start) << c.now << " " << c.hour << ":" << c.minute;
    }
    kept.empty() ? ::unsetenv("TZ") : ::setenv("TZ", kept.c_str(), 1);
    ::tzset();
}

}  // namespace
}  // namespace qx17::ctl
