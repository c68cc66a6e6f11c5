// `qx17ctl record serve`: the live page, the metrics, the JSON summary and
// the page's stream of summaries over HTTP, read from the record by one
// SummaryFeed, until Ctrl-C or SIGTERM. Only GET and HEAD on the paths it
// knows; nothing a request says reaches a file or the SQL. Built on
// cpp-httplib where it is available (Linux); elsewhere the command says it
// is not.
#pragma once

#include <functional>
#include <string>

#include "ctl/serve/summary_feed.h"

namespace qx17::ctl {

struct ServeOptions {
    FeedOptions feed;
    std::string host = "127.0.0.1";
    int port = 8017;  // 0: any free port (the tests)
    int max_viewers = 64;
    // Called once the server listens, with its port.
    std::function<void(int port)> listening;
};

// Whether this program can serve; `why` says why not.
bool CanServe(std::string& why);

// Serves until a stop is requested (StopLevel), then ends cleanly. The exit
// code: 0, or kExitUsage when the address cannot be bound or the command is
// not available here (with a message on stderr).
int ServeRecord(const ServeOptions& options);

}  // namespace qx17::ctl
