// The live page of qx17ctl record serve in a real browser: Chromium,
// headless, driven through ChromeDriver's WebDriver HTTP interface, on a
// role that may only read the record, through a relay that can cut the
// record away.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <httplib.h>

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <thread>

#include "tests/ctl/record_serve_fixture.h"
#include "tools/tcp_relay/tcp_relay.h"

namespace qx17::ctl {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using testing::HasSubstr;

constexpr const char* kChromium = "/usr/bin/chromium";
constexpr const char* kChromeDriver = "/usr/bin/chromedriver";

std::string DecodeBase64(const std::string& text) {
    std::string bytes;
    unsigned int bits = 0;
    int count = 0;
    for (const char c : text) {
        const char* digits = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
        const char* at = c == '\0' ? nullptr : std::strchr(digits, c);
        if (at == nullptr) {
            continue;  // padding and line ends
        }
        bits = (bits << 6) | static_cast<unsigned int>(at - digits);
        if ((count += 6) >= 8) {
            count -= 8;
            bytes += static_cast<char>((bits >> count) & 0xFF);
        }
    }
    return bytes;
}

// ChromeDriver on a free port, in a process group of its own, and one
// Chromium session through it; the session, the driver and whatever else
// is left in its group are ended with the guard, whatever the test's outcome.
class Browser {
  public:
    explicit Browser(const std::filesystem::path& log) : log_(log) {}
    ~Browser() {
        if (!session_.empty()) {
            client_->Delete("/session/" + session_);  // Chromium quits
        }
    }

    // The driver ready and a session open; else false, and Why() holds the
    // driver's or the browser's own words.
    bool Start() {
        const int port = FreePort();
        driver_ = std::make_unique<SideProgram>(
            std::vector<std::string>{kChromeDriver, "--port=" + std::to_string(port)}, log_);
        if (!driver_->Started()) {
            why_ = "cannot start chromedriver: " + driver_->Why();
            return false;
        }
        client_ = std::make_unique<httplib::Client>("127.0.0.1", port);
        client_->set_read_timeout(60s);
        bool ready = false;
        for (int i = 0; i < 200 && !ready; ++i) {
            if (driver_->Ended()) {
                why_ = "chromedriver ended: " + test::Slurp(log_);
                return false;
            }
            const auto reply = client_->Get("/status");
            ready = reply && json::parse(reply->body, nullptr, false)["value"]["ready"] == true;
            if (!ready) {
                std::this_thread::sleep_for(100ms);
            }
        }
        if (!ready) {
            why_ = "chromedriver not ready within 20 s: " + test::Slurp(log_);
            return false;
        }
        const json options = {
            {"binary", kChromium},
            {"args",
             {"--headless=new", "--no-sandbox", "--disable-gpu", "--window-size=1400,1700"}}};
        const json opened =
            Call("POST", "/session",
                 {{"capabilities", {{"alwaysMatch", {{"goog:chromeOptions", options}}}}}});
        if (!opened.contains("sessionId")) {
            why_ = "no Chromium session: " + opened.value("message", opened.dump());
            return false;
        }
        session_ = opened["sessionId"];
        return true;
    }
    const std::string& Why() const { return why_; }

    // The "value" of a command of the session, or of the driver when `path`
    // starts with a slash; {"error": ...} when there is no answer.
    json Call(const std::string& method, const std::string& path,
              const json& body = json::object()) {
        const std::string at = path.front() == '/' ? path : "/session/" + session_ + "/" + path;
        const auto reply =
            method == "GET" ? client_->Get(at) : client_->Post(at, body.dump(), "application/json");
        if (!reply) {
            return {{"error", "no answer to " + at + ": " + httplib::to_string(reply.error())}};
        }
        const json parsed = json::parse(reply->body, nullptr, false);
        return parsed.is_object() && parsed.contains("value") ? parsed["value"]
                                                              : json{{"error", reply->body}};
    }
    json Run(const std::string& script) {
        return Call("POST", "execute/sync", {{"script", script}, {"args", json::array()}});
    }

  private:
    std::filesystem::path log_;
    std::unique_ptr<SideProgram> driver_;  // ended, with its group, after the session
    std::unique_ptr<httplib::Client> client_;
    std::string session_;
    std::string why_;
};

// What a person sees: each station's figures, the rows of the last trackers,
// the notice (whether it shows, its text), whether the figures are greyed;
// and whether the page is still the one loaded (a mark the test left on it).
constexpr const char* kRead = R"(
const figures = {};
for (const card of document.querySelectorAll('article[data-station]')) {
  const f = (figures[card.dataset.station] = {});
  for (const node of card.querySelectorAll('[data-figure]')) f[node.dataset.figure] = node.textContent;
}
const notice = document.getElementById('notice');
const box = document.getElementById('figures');
return {
  figures,
  rows: document.querySelectorAll('#last-trackers tbody tr').length,
  shown: notice.getClientRects().length > 0,
  notice: notice.textContent,
  stale: box.classList.contains('stale'),
  opacity: getComputedStyle(box).opacity,
  kept: window.qx17Kept === true,
  from: document.body.dataset.summaryId || '',
};)";

class RecordPage : public RecordServe {
  protected:
    // What the page shows once `shown` holds for it, looked at every 100 ms
    // for up to `patience`; the last look otherwise.
    json Look(Browser& browser, const std::function<bool(const json&)>& shown,
              std::chrono::milliseconds patience = 5s) {
        const auto deadline = std::chrono::steady_clock::now() + patience;
        json page = browser.Run(kRead);
        while (!(page.contains("figures") && shown(page)) &&
               std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(100ms);
            page = browser.Run(kRead);
        }
        return page;
    }
    static std::string Figure(const json& page, const std::string& station,
                              const std::string& figure) {
        return page.value("figures", json::object())
            .value(station, json::object())
            .value(figure, "");
    }
};

TEST_F(RecordPage, ShowsTheRecordLiveAndTellsWhenItIsAway) {
    if (::access(kChromium, X_OK) != 0 || ::access(kChromeDriver, X_OK) != 0) {
        GTEST_SKIP() << "needs " << kChromium << " and " << kChromeDriver
                     << " (Debian's chromium and chromium-driver)";
    }
    AddRows("A", 5, "ok");
    AddRows("A", 2, "timeout");
    AddRows("B", 3, "ok");
    tools::TcpRelay relay("127.0.0.1", std::stoi(test::RecordServerFile("port")));
    const int port = Serve(tools::RelayedConnection(viewer_, relay.Port()));
    ASSERT_NE(port, 0) << test::Slurp(folder_ / "err");

    Browser browser(folder_ / "chromedriver.log");
    ASSERT_TRUE(browser.Start()) << browser.Why();
    const json went =
        browser.Call("POST", "url", {{"url", "http://127.0.0.1:" + std::to_string(port) + "/"}});
    ASSERT_TRUE(went.is_null()) << went.dump();

    // The record's figures, each station's as the record holds them.
    json page = Look(
        browser, [](const json& p) { return p["rows"] == 10; }, 10s);
    const struct {
        std::string station, figure, shows;
    } figures[] = {
        {"A", "today", "7"},       {"A", "failures", "timeout 2"},
        {"A", "yield", "71.4 %"},  {"A", "interrupted", "0"},
        {"B", "today", "3"},       {"B", "failures", "none"},
        {"B", "yield", "100.0 %"},
    };
    for (const auto& f : figures) {
        EXPECT_EQ(Figure(page, f.station, f.figure), f.shows) << f.station << " " << f.figure;
    }
    EXPECT_EQ(page["rows"], 10) << page.dump();
    EXPECT_EQ(page["shown"], false) << "all is well";
    EXPECT_EQ(page["opacity"], "1");

    // A new row, on the open page within five seconds, without a reload.
    browser.Run("window.qx17Kept = true;");
    AddRows("B", 1, "ok");
    const auto added = std::chrono::steady_clock::now();
    page = Look(browser, [](const json& p) { return Figure(p, "B", "today") == "4"; });
    const double took =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - added).count();
    EXPECT_EQ(Figure(page, "B", "today"), "4") << page.dump();
    EXPECT_EQ(page["rows"], 11);
    EXPECT_EQ(page["kept"], true) << "the page was loaded again";
    std::cerr << "the new row showed after " << took << " s\n";

    // What it looks like, for a person to check (and for the README).
    const json shot = browser.Call("GET", "screenshot");
    ASSERT_TRUE(shot.is_string()) << shot.dump();
    const std::string png = DecodeBase64(shot.get<std::string>());
    EXPECT_EQ(png.substr(0, 8), "\x89PNG\r\n\x1a\n");
    std::ofstream(std::filesystem::current_path() / "record_page.png", std::ios::binary) << png;
    if (const char* also = std::getenv("QX17_PAGE_SCREENSHOT"); also != nullptr && *also != '\0') {
        std::ofstream(also, std::ios::binary) << png;
    }

    // The record away: said in words, the figures greyed, and the page kept.
    relay.Cut();
    page = Look(
        browser, [](const json& p) { return p["shown"] == true && p["stale"] == true; }, 15s);
    EXPECT_EQ(page["shown"], true) << page.dump();
    EXPECT_THAT(page.value("notice", ""), HasSubstr("The record cannot be reached since"));
    EXPECT_EQ(page["stale"], true);
    EXPECT_NE(page["opacity"], "1") << "greyed";
    EXPECT_EQ(Figure(page, "B", "today"), "4") << "the last figures stay";

    // Back: the notice gone, the figures live again, and new rows on them.
    relay.Pass();
    AddRows("A", 1, "refused");
    page = Look(
        browser,
        [](const json& p) { return Figure(p, "A", "today") == "8" && p["stale"] == false; }, 15s);
    EXPECT_EQ(Figure(page, "A", "today"), "8") << page.dump();
    EXPECT_EQ(Figure(page, "A", "failures"), "timeout 2, refused 1");
    EXPECT_EQ(page["shown"], false);
    EXPECT_EQ(page["notice"], "") << "an empty notice when all is well";
    EXPECT_EQ(page["stale"], false);
    EXPECT_EQ(page["opacity"], "1");
    EXPECT_EQ(page["kept"], true) << "the page was loaded again";
    Stop();
}

// A page whose stream the server refuses (its viewers are many) polls the
// summary instead, and still shows each new row.
TEST_F(RecordPage, PollsWhereItsStreamIsRefused) {
    if (::access(kChromium, X_OK) != 0 || ::access(kChromeDriver, X_OK) != 0) {
        GTEST_SKIP() << "needs " << kChromium << " and " << kChromeDriver;
    }
    AddRows("A", 1, "ok");
    const int port = Serve(viewer_, {"--max-viewers", "1"});
    Client holder(port);  // the one stream there is
    holder.Send("GET /api/stream HTTP/1.1\r\nHost: l\r\n\r\n");
    holder.ReadUntil([](const std::string& got) { return got.find("event: summary") != got.npos; });
    Browser browser(folder_ / "chromedriver.log");
    ASSERT_TRUE(browser.Start()) << browser.Why();
    browser.Call("POST", "url", {{"url", "http://127.0.0.1:" + std::to_string(port) + "/"}});
    ASSERT_EQ(Figure(Look(browser, [](const json& p) { return Figure(p, "A", "today") == "1"; }),
                     "A", "today"),
              "1");
    AddRows("A", 1, "ok");
    const json page = Look(browser, [](const json& p) { return Figure(p, "A", "today") == "2"; });
    EXPECT_EQ(Figure(page, "A", "today"), "2") << page.dump();
    EXPECT_THAT(page.value("from", ""), testing::StartsWith("poll-")) << "not from the stream";

    // On a phone's width nothing runs off the page's side.
    browser.Call("POST", "window/rect", {{"width", 390}, {"height", 844}});
    const json narrow = browser.Run(
        "return {inner: window.innerWidth, page: document.documentElement.scrollWidth};");
    EXPECT_LT(narrow.value("inner", 0), 500) << narrow.dump();
    EXPECT_LE(narrow.value("page", 9999), narrow.value("inner", 0)) << narrow.dump();
    Stop();
}

}  // namespace
}  // namespace qx17::ctl
