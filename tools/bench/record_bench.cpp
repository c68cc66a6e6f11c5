// record_bench: what the shared record costs the production line, on a
// PostgreSQL server of its own on this machine (scripts/record_server.sh).
//
// 1. One station: the time a claim plus its row add to each tracker (aim:
//    under 5 ms, against about 0.9 s per tracker on the wire).
// 2. A factory of 16 stations with 4 ports each: 64 claimers at once, each
//    with a connection of its own, claiming IDs from one sequence: claims
//    per second, the 99th percentile of a claim's latency, and IDs given
//    twice (must be 0).
#include <CLI/CLI.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "ctl/record/shared_record.h"
#include "tools/record_server/record_server.h"

namespace {

using Clock = std::chrono::steady_clock;
using qx17::ctl::LineRecord;
using qx17::ctl::LogRow;
using qx17::ctl::SharedRecord;

double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

double Percentile(std::vector<double> values, double p) {
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    const auto at = static_cast<std::size_t>(p * static_cast<double>(values.size() - 1));
    return values[at];
}

std::unique_ptr<SharedRecord> Open(const std::string& connection, const std::string& station) {
    std::string error;
    auto record = SharedRecord::Open(connection, station, "REGEDIT4\r\n", error);
    if (!record || !record->GiveIds("35712000000001", false, error)) {
        throw std::runtime_error("the record: " + error);
    }
    return record;
}

LogRow Row(const std::string& port) {
    LogRow row;
    row.time = std::chrono::system_clock::now();
    row.port = port;
    row.id_before = "35712001234567";
    return row;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"The shared record's cost per tracker and under 64 claimers at once.",
                 "record_bench"};
    app.set_version_flag("--version", std::string("record_bench ") + QX17_VERSION);
    int trackers = 500;
    int claimers = 64;
    int each = 40;
    app.add_option("--trackers", trackers, "trackers of the one station")
        ->check(CLI::PositiveNumber);
    app.add_option("--claimers", claimers, "claimers at once")->check(CLI::PositiveNumber);
    app.add_option("--each", each, "claims of each claimer")->check(CLI::PositiveNumber);
    CLI11_PARSE(app, argc, argv);

    try {
        qx17::tools::RecordServer server;

        // One station: a claim and a row per tracker.
        auto station = Open(server.Connection(), "bench");
        std::vector<double> per_tracker;
        std::vector<double> claims_only;
        for (int i = 0; i < trackers; ++i) {
            LogRow row = Row("COM1");
            std::string claim;
            std::string error;
            const Clock::time_point start = Clock::now();
            if (station->Claim(row, claim, error) != LineRecord::ClaimResult::kClaimed) {
                throw std::runtime_error("claim: " + error);
            }
            const Clock::time_point claimed = Clock::now();
            row.outcome = "ok";
            row.seconds = 0.9;
            if (!station->Append(row, claim, error)) {
                throw std::runtime_error("append: " + error);
            }
            per_tracker.push_back(Ms(Clock::now() - start));
            claims_only.push_back(Ms(claimed - start));
        }

        // The factory: claimers at once, each on a connection of its own.
        std::vector<std::unique_ptr<SharedRecord>> records;
        for (int i = 0; i < claimers; ++i) {
            records.push_back(Open(server.Connection(), "station " + std::to_string(i / 4)));
        }
        std::vector<std::vector<double>> latency(static_cast<std::size_t>(claimers));
        std::vector<std::vector<std::string>> ids(static_cast<std::size_t>(claimers));
        std::vector<std::string> failures(static_cast<std::size_t>(claimers));
        std::vector<std::thread> threads;
        const Clock::time_point begin = Clock::now();
        for (std::size_t i = 0; i < records.size(); ++i) {
            threads.emplace_back([&, i] {
                for (int n = 0; n < each; ++n) {
                    LogRow row = Row("COM" + std::to_string(i % 4 + 1));
                    std::string claim;
                    const Clock::time_point start = Clock::now();
                    if (records[i]->Claim(row, claim, failures[i]) !=
                        LineRecord::ClaimResult::kClaimed) {
                        return;
                    }
                    latency[i].push_back(Ms(Clock::now() - start));
                    ids[i].push_back(row.id_written);
                }
            });
        }
        for (std::thread& thread : threads) {
            thread.join();
        }
        const double seconds = std::chrono::duration<double>(Clock::now() - begin).count();
        std::vector<double> all;
        std::set<std::string> distinct;
        std::size_t claimed = 0;
        for (std::size_t i = 0; i < records.size(); ++i) {
            if (!failures[i].empty()) {
                throw std::runtime_error("a claimer failed: " + failures[i]);
            }
            all.insert(all.end(), latency[i].begin(), latency[i].end());
            distinct.insert(ids[i].begin(), ids[i].end());
            claimed += ids[i].size();
        }

        std::printf("record_bench: PostgreSQL on 127.0.0.1, through ODBC\n\n");
        std::printf("one station, %d trackers    | median    | p99       | aim\n", trackers);
        std::printf(
            "claim + row per tracker       | %6.2f ms | %6.2f ms | under 5 ms (the wire: ~900 "
            "ms)\n",
            Percentile(per_tracker, 0.5), Percentile(per_tracker, 0.99));
        std::printf("  of it the claim             | %6.2f ms | %6.2f ms |\n",
                    Percentile(claims_only, 0.5), Percentile(claims_only, 0.99));
        std::printf("\n%d claimers at once, %d claims each\n", claimers, each);
        std::printf("claims a second               | %8.0f\n",
                    static_cast<double>(claimed) / seconds);
        std::printf("claim latency, median / p99   | %6.2f ms / %6.2f ms\n", Percentile(all, 0.5),
                    Percentile(all, 0.99));
        std::printf("IDs given twice               | %zu (must be 0)\n", claimed - distinct.size());
        return claimed == distinct.size() ? 0 : 1;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "record_bench: %s\n", e.what());
        return 1;
    }
}
