#include <httplib.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>

#include <atomic>
#include <iostream>
#include <set>
#include <thread>

#include "ctl/exit_codes.h"
#include "ctl/line/stop_request.h"
#include "ctl/serve/page_files.h"
#include "ctl/serve/summary_server.h"

namespace qx17::ctl {

namespace {

using namespace std::chrono_literals;

// A comment on an idle stream this often, before a proxy closes it.
constexpr auto kStreamComment = 15s;
// What a browser waits before it opens a broken stream again.
constexpr int kStreamRetryMs = 3000;
// The threads beside the streams, for the page, the metrics and the summary.
constexpr int kThreadsBesideStreams = 16;

constexpr int kSendBuffer = 64 * 1024;
// What a browser sends is far below these.
constexpr std::size_t kMostHeaders = 100;
constexpr std::size_t kMostHeaderBytes = 32 * 1024;

const std::set<std::string> kApiPaths = {"/metrics", "/api/summary", "/api/stream"};

void CommonHeaders(httplib::Response& res) {
    res.set_header("Content-Security-Policy",
                   "default-src 'self'; img-src 'self' data:; frame-ancestors 'none'");
    res.set_header("X-Content-Type-Options", "nosniff");
    res.set_header("Referrer-Policy", "no-referrer");
}

void Plain(httplib::Response& res, int status, const std::string& text) {
    res.status = status;
    res.set_content(text + "\n", "text/plain; charset=utf-8");
}

// One viewer's stream: the summary at once, then each new one, and a
// comment when there was none for a while. Ends when the viewer goes (a
// write fails or times out: a viewer that stops reading holds only its own
// thread) or the server stops.
class Stream {
  public:
    Stream(SummaryFeed& feed, std::atomic<int>& viewers) : feed_(feed), viewers_(viewers) {}
    ~Stream() { --viewers_; }

    bool Next(httplib::DataSink& sink) {
        std::string out;
        if (!started_) {
            started_ = true;
            out = "retry: " + std::to_string(kStreamRetryMs) + "\n\n";
        }
        std::shared_ptr<const Snapshot> snapshot =
            out.empty() ? feed_.Newer(sent_, kStreamComment) : feed_.Latest();
        if (feed_.Stopped()) {
            sink.done();
            return true;
        }
        if (snapshot && snapshot->id > sent_) {
            sent_ = snapshot->id;
            out += "event: summary\nid: " + std::to_string(snapshot->id) +
                   "\ndata: " + snapshot->json + "\n\n";
        } else if (out.empty()) {
            out = ": still here\n\n";
        }
        return sink.write(out.data(), out.size());
    }

  private:
    SummaryFeed& feed_;
    std::atomic<int>& viewers_;
    bool started_ = false;
    std::uint64_t sent_ = 0;
};

}  // namespace

bool CanServe(std::string&) {
    return true;
}

int ServeRecord(const ServeOptions& options) {
    SummaryFeed feed(options.feed);
    std::atomic<int> viewers{0};
    httplib::Server server;
    const auto threads = static_cast<std::size_t>(options.max_viewers + kThreadsBesideStreams);
    server.new_task_queue = [threads] { return new httplib::ThreadPool(threads); };
    server.set_read_timeout(5s);
    server.set_write_timeout(5s);
    server.set_keep_alive_timeout(5);
    server.set_payload_max_length(0);
    // What a viewer has not read yet is bounded by its socket's buffer (the
    // accepted sockets take the listening one's): a viewer that stops
    // reading blocks its own stream's write, which times out and ends it.
    socket_t listening = INVALID_SOCKET;
    server.set_socket_options([&listening](socket_t sock) {
        httplib::default_socket_options(sock);
        const int bytes = kSendBuffer;
        ::setsockopt(sock, SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes);
        listening = sock;
    });

    server.set_pre_routing_handler([](const httplib::Request& req, httplib::Response& res) {
        CommonHeaders(res);
        // The library bounds each line (the request line, each header);
        // their number and their whole are bounded here.
        std::size_t header_bytes = 0;
        for (const auto& [name, value] : req.headers) {
            header_bytes += name.size() + value.size() + 4;
        }
        if (req.headers.size() > kMostHeaders || header_bytes > kMostHeaderBytes) {
            res.set_header("Connection", "close");
            Plain(res, 431, "The request's headers are too many or too long.");
            return httplib::Server::HandlerResponse::Handled;
        }
        if (req.method != "GET" && req.method != "HEAD") {
            res.set_header("Allow", "GET, HEAD");
            Plain(res, 405, "Only GET and HEAD are served here.");
            return httplib::Server::HandlerResponse::Handled;
        }
        if (!FindPageFile(req.path) && kApiPaths.count(req.path) == 0) {
            Plain(res, 404, "Nothing is served at this path.");
            return httplib::Server::HandlerResponse::Handled;
        }
        return httplib::Server::HandlerResponse::Unhandled;
    });
    server.set_error_handler([](const httplib::Request&, httplib::Response& res) {
        if (!res.has_header("Content-Security-Policy")) {
            CommonHeaders(res);
        }
        if (res.status == 414) {  // a request line past its bound, told as a bad request
            Plain(res, 400, "The request line is too long.");
        } else if (res.body.empty()) {
            Plain(res, res.status,
                  res.status == 431 ? "The request's headers are too long."
                                    : "The request cannot be read.");
        }
    });
    server.set_exception_handler(
        [](const httplib::Request&, httplib::Response& res, std::exception_ptr) {
            Plain(res, 500, "The server failed to answer this request.");
        });

    server.Get("/metrics", [&](const httplib::Request&, httplib::Response& res) {
        res.set_header("Cache-Control", "no-store");
        res.set_content(feed.Latest()->metrics, "text/plain; version=0.0.4; charset=utf-8");
    });
    server.Get("/api/summary", [&](const httplib::Request&, httplib::Response& res) {
        res.set_header("Cache-Control", "no-store");
        res.set_content(feed.Latest()->json, "application/json");
    });
    server.Get("/api/stream", [&](const httplib::Request& req, httplib::Response& res) {
        if (++viewers > options.max_viewers) {
            --viewers;
            res.set_header("Retry-After", "10");
            Plain(res, 503, "Too many viewers at once; try again later.");
            return;
        }
        res.set_header("Cache-Control", "no-store");
        res.set_header("X-Accel-Buffering", "no");
        if (req.method == "HEAD") {
            --viewers;
            res.set_content("", "text/event-stream");
            return;
        }
        auto stream = std::make_shared<Stream>(feed, viewers);
        res.set_chunked_content_provider(
            "text/event-stream",
            [stream](std::size_t, httplib::DataSink& sink) { return stream->Next(sink); });
    });
    server.Get(R"(/|/page\.css|/page\.js|/chart\.js)", [](const httplib::Request& req,
                                                          httplib::Response& res) {
        const PageFile* file = FindPageFile(req.path);
        res.set_header("Cache-Control", "no-cache");
        res.set_content(file->body.data(), file->body.size(), std::string(file->content_type));
    });

    const int port = options.port == 0
                         ? server.bind_to_any_port(options.host)
                         : (server.bind_to_port(options.host, options.port) ? options.port : -1);
    if (port <= 0) {
        std::cerr << "qx17ctl: cannot listen on " << options.host << ":" << options.port
                  << " (in use, or not an address of this computer)\n";
        return kExitUsage;
    }
    // The library listens with a queue of 5 connections; a page opened on
    // many screens at once (or a browser's six connections) would wait for
    // the kernel to try their connects again. Linux takes a new length.
    if (listening != INVALID_SOCKET) {
        ::listen(listening, SOMAXCONN);
    }
    const std::string shown =
        options.host.find(':') != std::string::npos ? "[" + options.host + "]" : options.host;
    std::cerr << "qx17ctl: serving the record on http://" << shown << ":" << port
              << "/ (the page), /metrics and /api/summary; Ctrl-C ends it\n";
    if (options.listening) {
        options.listening(port);
    }
    // The server listens on a thread of its own, the stop signals blocked
    // there and in the workers it starts: Ctrl-C and SIGTERM reach this
    // thread, which takes them at once, never a thread that waits in
    // accept() (where a sanitizer's runtime would hold the handler back).
    std::atomic<bool> listened{false};
    std::thread listener([&] {
        sigset_t stops;
        sigemptyset(&stops);
        for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
            sigaddset(&stops, signal);
        }
        pthread_sigmask(SIG_BLOCK, &stops, nullptr);
        server.listen_after_bind();
        listened = true;
    });
    while (!listened && CurrentStopLevel() == StopLevel::kNone) {
        std::this_thread::sleep_for(100ms);
    }
    feed.Stop();
    server.stop();
    listener.join();
    std::cerr << "qx17ctl: stopped serving\n";
    return kExitDone;
}

}  // namespace qx17::ctl
