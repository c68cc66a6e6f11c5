// record_bench: what the shared record costs the production line, on a
// PostgreSQL server of its own on this machine (scripts/record_server.sh).
//
// 1. One station: the time a claim plus its row add to each tracker (aim:
//    under 5 ms, against about 0.9 s per tracker on the wire).
// 2. A factory of 16 stations with 4 ports each: 64 claimers at once, each
//    with a connection of its own, claiming IDs from one sequence: claims
//    per second, the 99th percentile of a claim's latency, and IDs given
//    twice (must be 0).
// 3. A claim on a record that holds a million used IDs (--used), beside an
//    empty record, one station: (a) the used IDs are the series itself, in a
//    record without the series' frontier row (as an older qx17ctl left it),
//    with the history of claims and rows that gave them; (b) the used IDs
//    were brought in by imports and kept by trackers, scattered around and
//    above the series' start. Per record: a line's start (GiveIds), the
//    first claim, which may have to find the frontier, then the claims that
//    follow (aim: under 5 ms each) and HasFreeIds before each of them;
//    beside each claim a bare commit of one row tells what the disk gives a
//    commit at that moment, on a machine that others share.
#include <CLI/CLI.hpp>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <iostream>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "ctl/record/odbc.h"
#include "ctl/record/shared_record.h"
#include "tools/record_server/record_server.h"

namespace {

using Clock = std::chrono::steady_clock;
using qx17::ctl::LineRecord;
using qx17::ctl::LogRow;
using qx17::ctl::SharedRecord;
namespace odbc = qx17::ctl::odbc;

// The series every part gives IDs from.
constexpr std::int64_t kStart = 35712000000001;
constexpr const char* kStartText = "35712000000001";

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
    if (!record || !record->GiveIds(kStartText, false, error)) {
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

// What a record holds before a new station claims IDs on it.
enum class Shape { kEmpty, kSeries, kScattered };

void Run(odbc::Connection& db, const std::string& sql,
         const std::vector<odbc::Value>& values = {}) {
    odbc::Statement(db, sql).Execute(values);
}

std::int64_t Count(odbc::Connection& db, const std::string& sql) {
    const auto found = odbc::Query(db, sql);
    return found.empty() || !found[0] ? 0 : std::stoll(*found[0]);
}

// Runs `fill` on the record's tables without their keys, indexes and
// references, then makes them again as they were (from the server's own
// definitions, whatever the record's version): a million rows go in within
// seconds, not minutes.
template <typename Fill>
void WithoutKeys(odbc::Connection& db, Fill&& fill) {
    struct Key {
        std::string drop;
        std::string make;
    };
    std::vector<Key> keys;  // primary and unique keys, then indexes, then references
    odbc::Statement found(
        db,
        "WITH t AS (SELECT unnest(ARRAY['used_ids', 'claims', 'trackers']::regclass[]) AS t) "
        "SELECT format('ALTER TABLE %s DROP CONSTRAINT %I', conrelid::regclass, conname), "
        "format('ALTER TABLE %s ADD CONSTRAINT %I %s', conrelid::regclass, conname, "
        "pg_get_constraintdef(oid)), CASE contype WHEN 'f' THEN 2 ELSE 0 END AS step "
        "FROM pg_constraint WHERE (conrelid IN (SELECT t FROM t) AND contype IN ('p', 'u', 'f')) "
        "OR (contype = 'f' AND confrelid IN (SELECT t FROM t)) "
        "UNION ALL SELECT format('DROP INDEX %s', indexrelid::regclass), "
        "pg_get_indexdef(indexrelid), 1 FROM pg_index WHERE indrelid IN (SELECT t FROM t) "
        "AND indexrelid NOT IN (SELECT conindid FROM pg_constraint) ORDER BY step");
    found.Execute();
    while (found.Fetch()) {
        keys.push_back({found.Column(1).value_or(""), found.Column(2).value_or("")});
    }
    for (auto key = keys.rbegin(); key != keys.rend(); ++key) {
        Run(db, key->drop);
    }
    fill();
    for (const Key& key : keys) {
        Run(db, key.make);
    }
}

// Empties the record, then fills it with `used` used IDs of `shape` and the
// rows that used them; the IDs it holds.
std::int64_t Fill(odbc::Connection& db, Shape shape, std::int64_t used) {
    Run(db, "TRUNCATE trackers, claims, used_ids, id_frontier RESTART IDENTITY");
    if (shape == Shape::kEmpty) {
        return 0;
    }
    Run(db,
        "INSERT INTO stations (name) SELECT 'floor ' || s FROM generate_series(1, 16) s "
        "ON CONFLICT DO NOTHING");
    // The 16 stations of the floor, 4 ports each.
    const std::string floor =
        "(SELECT array_agg(station_id ORDER BY station_id) AS ids FROM stations "
        "WHERE name LIKE 'floor %') f";
    const odbc::Value n = odbc::Value::Integer(used);
    const odbc::Value start = odbc::Value::Integer(kStart);
    WithoutKeys(db, [&] {
        if (shape == Shape::kSeries) {
            // The series from its start on, each ID claimed and written in
            // turn, one tracker every 30 s over the last year or so.
            Run(db,
                "INSERT INTO used_ids (id_number, id_text) SELECT n, lpad(n::text, 14, '0') "
                "FROM generate_series(?::bigint, ?::bigint + ?::bigint - 1) n",
                {start, start, n});
            Run(db,
                "INSERT INTO claims (claim_id, station_id, port, claimed_at, id_before, "
                "id_written, given, owner_key, profile_sha256, settled) SELECT i, "
                "f.ids[1 + i % 16], 'COM' || (1 + i / 16 % 4), "
                "now() - (?::bigint - i) * interval '30 seconds', '35712001234567', "
                "lpad((?::bigint + i - 1)::text, 14, '0'), true, 1 + i / 10000, "
                "(SELECT min(sha256) FROM profiles), true FROM generate_series(1, ?::bigint) i, " +
                    floor,
                {n, start, n});
            Run(db, "SELECT setval(pg_get_serial_sequence('claims', 'claim_id'), ?::bigint)", {n});
            Run(db,
                "INSERT INTO trackers (claim_id, station_id, port, started, finished, "
                "id_before, id_written, outcome, seconds, profile_sha256, row_key) SELECT "
                "claim_id, station_id, port, claimed_at, claimed_at + interval '0.9 seconds', "
                "id_before, id_written, 'ok', 0.9, profile_sha256, md5(claim_id::text) "
                "FROM claims");
        } else {
            // From a third of `used` below the start to `used` above it, in
            // stretches of 1000 numbers: a block that an old station gave
            // out, brought in by `record import`, then a stretch where about
            // every other number is an ID that a tracker kept (imported too).
            const std::int64_t span = used * 4 / 3;
            const odbc::Value low = odbc::Value::Integer(kStart - span / 4);
            Run(db, "SELECT setseed(0.17)");
            Run(db,
                "INSERT INTO used_ids (id_number, id_text) SELECT n, lpad(n::text, 14, '0') "
                "FROM generate_series(?::bigint, ?::bigint + ?::bigint - 1) n "
                "WHERE (n - ?::bigint) / 1000 % 2 = 0 OR random() < 0.5",
                {low, low, odbc::Value::Integer(span), low});
            Run(db,
                "INSERT INTO trackers (station_id, port, started, finished, id_before, "
                "id_written, outcome, seconds, import_key) SELECT s.station_id, s.port, "
                "s.started, s.started + interval '0.9 seconds', s.id_before, s.id_text, 'ok', "
                "0.9, concat_ws(E'\\n', s.station_id, s.started, s.port, s.id_before, s.id_text) "
                "FROM (SELECT f.ids[1 + (u.id_number % 16)::integer] AS station_id, "
                "'COM' || (1 + u.id_number / 16 % 4) AS port, "
                "now() - interval '3 years' + (u.id_number - ?::bigint) * interval '30 seconds' "
                "AS started, CASE WHEN (u.id_number - ?::bigint) / 1000 % 2 = 0 "
                "THEN '35712001234567' ELSE u.id_text END AS id_before, u.id_text "
                "FROM used_ids u, " +
                    floor + ") s",
                {low, low});
        }
    });
    // As the server's autovacuum leaves a record: the claim reads the used
    // IDs from their index alone.
    Run(db, "VACUUM ANALYZE used_ids");
    Run(db, "ANALYZE claims, trackers");
    return Count(db, "SELECT count(*) FROM used_ids");
}

struct Figures {
    std::int64_t used = 0;
    double fill_seconds = 0;
    double give_ms = 0;        // GiveIds at the line's start
    double first_ms = 0;       // the first claim
    double give_again_ms = 0;  // GiveIds once the claims have run
    std::vector<double> claims;
    std::vector<double> has_free;
    std::vector<double> commits;  // a bare commit of one row, beside each claim
    std::string first_id;
};

// A station new to the record starts a line on it and claims `count` IDs,
// each with its row, as the line does.
Figures Measure(const std::string& connection, odbc::Connection& owner, Shape shape,
                std::int64_t used, int count) {
    Figures figures;
    Clock::time_point start = Clock::now();
    figures.used = Fill(owner, shape, used);
    figures.fill_seconds = std::chrono::duration<double>(Clock::now() - start).count();

    std::string error;
    const std::string name = shape == Shape::kEmpty    ? "new on an empty record"
                             : shape == Shape::kSeries ? "new on the series"
                                                       : "new on imports";
    auto record = SharedRecord::Open(connection, name, "REGEDIT4\r\n", error);
    if (!record) {
        throw std::runtime_error("the record: " + error);
    }
    start = Clock::now();
    if (!record->GiveIds(kStartText, false, error)) {
        throw std::runtime_error("GiveIds: " + error);
    }
    figures.give_ms = Ms(Clock::now() - start);
    std::set<std::string> given;
    for (int i = 0; i <= count; ++i) {
        start = Clock::now();
        if (!record->HasFreeIds(4)) {
            throw std::runtime_error("HasFreeIds: no IDs left");
        }
        figures.has_free.push_back(Ms(Clock::now() - start));
        // What the disk gives a commit at this moment, for comparison.
        start = Clock::now();
        Run(owner, "INSERT INTO bench_commits DEFAULT VALUES");
        figures.commits.push_back(Ms(Clock::now() - start));
        LogRow row = Row("COM" + std::to_string(i % 4 + 1));
        std::string claim;
        start = Clock::now();
        if (record->Claim(row, claim, error) != LineRecord::ClaimResult::kClaimed) {
            throw std::runtime_error("claim: " + error);
        }
        const double took = Ms(Clock::now() - start);
        if (i == 0) {
            figures.first_ms = took;
            figures.first_id = row.id_written;
        } else {
            figures.claims.push_back(took);
        }
        if (!given.insert(row.id_written).second) {
            throw std::runtime_error("ID " + row.id_written + " given twice");
        }
        row.outcome = "ok";
        row.seconds = 0.9;
        if (!record->Append(row, claim, error)) {
            throw std::runtime_error("append: " + error);
        }
    }
    start = Clock::now();
    if (!record->GiveIds(kStartText, false, error)) {
        throw std::runtime_error("GiveIds: " + error);
    }
    figures.give_again_ms = Ms(Clock::now() - start);
    if (shape == Shape::kSeries && figures.first_id != std::to_string(kStart + used)) {
        throw std::runtime_error("the first claim on the series gave " + figures.first_id +
                                 ", not the first ID after it");
    }
    return figures;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{
        "The shared record's cost per tracker, under 64 claimers at once, and on a record "
        "of a million used IDs.",
        "record_bench"};
    app.set_version_flag("--version", std::string("record_bench ") + QX17_VERSION);
    int trackers = 500;
    int claimers = 64;
    int each = 40;
    app.add_option("--trackers", trackers, "trackers of the one station")
        ->check(CLI::PositiveNumber);
    app.add_option("--claimers", claimers, "claimers at once")->check(CLI::PositiveNumber);
    app.add_option("--each", each, "claims of each claimer")->check(CLI::PositiveNumber);
    std::int64_t used = 1000000;
    int claims = 300;
    app.add_option("--used", used, "used IDs in the full records")->check(CLI::Range(1, 10000000));
    app.add_option("--claims", claims,
                   "claims on each record of a million used IDs, and on the empty one")
        ->check(CLI::PositiveNumber);
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
        std::fflush(stdout);
        records.clear();
        station.reset();

        // A station new to each record: an empty one, the series, imports.
        odbc::Connection owner(server.Connection(), true);
        Run(owner, "CREATE TABLE bench_commits (at timestamptz DEFAULT now())");
        Run(owner, "SET maintenance_work_mem = '256MB'");  // the indexes made in memory
        const Figures empty = Measure(server.Connection(), owner, Shape::kEmpty, used, claims);
        const Figures series = Measure(server.Connection(), owner, Shape::kSeries, used, claims);
        const Figures imports =
            Measure(server.Connection(), owner, Shape::kScattered, used, claims);
        const Figures* all_three[] = {&empty, &series, &imports};
        const auto line = [&](const char* what, const auto& text) {
            std::printf("%-30s|", what);
            for (const Figures* figures : all_three) {
                std::printf(" %14s |", text(*figures).c_str());
            }
        };
        const auto ms = [](double value) {
            char text[32];
            std::snprintf(text, sizeof text, "%.2f ms", value);
            return std::string(text);
        };
        // A row of times, with the aim beside it when it has one.
        const auto times = [&](const char* what, const auto& figure, bool aim = false) {
            line(what, [&](const Figures& f) { return ms(figure(f)); });
            // On the full records; the empty one shows what the machine gives.
            const bool met = figure(series) < 5 && figure(imports) < 5;
            std::printf("%s\n", !aim ? "" : met ? " under 5 ms (met)" : " under 5 ms (missed)");
        };
        std::printf(
            "\none station new to each record: its line's start, then %d claims, each\n"
            "with its row, and HasFreeIds before each claim\n",
            claims);
        std::printf("%-30s| %14s | %14s | %14s | aim\n", "", "empty", "the series", "imports");
        line("used IDs", [](const Figures& f) { return std::to_string(f.used); });
        std::printf("\n");
        line("  filled in", [](const Figures& f) {
            char text[32];
            std::snprintf(text, sizeof text, "%.1f s", f.fill_seconds);
            return std::string(text);
        });
        std::printf("\n");
        times("a line's start (GiveIds)", [](const Figures& f) { return f.give_ms; });
        times(
            "first claim", [](const Figures& f) { return f.first_ms; }, true);
        times(
            "claim, median", [](const Figures& f) { return Percentile(f.claims, 0.5); }, true);
        times(
            "claim, p99", [](const Figures& f) { return Percentile(f.claims, 0.99); }, true);
        times("claim, worst", [](const Figures& f) { return Percentile(f.claims, 1); });
        times("HasFreeIds, median", [](const Figures& f) { return Percentile(f.has_free, 0.5); });
        times("HasFreeIds, p99", [](const Figures& f) { return Percentile(f.has_free, 0.99); });
        times("a bare commit, median", [](const Figures& f) { return Percentile(f.commits, 0.5); });
        times("a bare commit, p99", [](const Figures& f) { return Percentile(f.commits, 0.99); });
        times("the next line's start", [](const Figures& f) { return f.give_again_ms; });
        line("first ID given", [](const Figures& f) { return f.first_id; });
        std::printf("\n");
        return claimed == distinct.size() ? 0 : 1;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "record_bench: %s\n", e.what());
        return 1;
    }
}
