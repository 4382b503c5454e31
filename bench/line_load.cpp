// The line under load: many stations at once against one line's database,
// each a real LineStation (its journal, its outbox, its two connections, its
// sender thread) driven by a thread of its own. Every station takes a number
// in a serial-number step every interval (2 s by default, at a random phase,
// on a real-time schedule) and records a verdict for it straight after; the
// verdict is timed until it is committed in the line (RecordVerdict, then
// Flush until the outbox is empty). A benchmark, not a test: it runs for tens
// of seconds on the real clock. bench/line_load.sh starts a server and runs
// the cases.
//
// At the end it checks over the whole line that no number was handed out
// twice (every number of every take, every verdict's number, every leased
// number's hand-out: count against count distinct) and that every verdict
// this run recorded is in the database.
//
// usage: kx20_line_load --line CONNINFO --stations N [--seconds S]
//                       [--interval-ms MS] [--lease N] [--tag NAME]
//                       [--work DIR] [--durable] [--watch]
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <latch>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <semaphore>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "common/clock.h"
#include "line/line_link.h"
#include "line/line_station.h"
#include "production/verdict_event.h"

namespace kx20 {
namespace {

using Steady = std::chrono::steady_clock;

struct Options {
  std::string conninfo;
  int stations = 0;
  int seconds = 40;
  int intervalMs = 2000;
  std::uint32_t lease = 0;
  std::string tag = "load";
  std::string work;
  bool durable = false;
  bool watch = false;
};

void Usage() {
  std::fprintf(stderr,
               "usage: kx20_line_load --line CONNINFO --stations N [--seconds S] [--interval-ms MS]\n"
               "                      [--lease N] [--tag NAME] [--work DIR] [--durable] [--watch]\n"
               "  --stations N     simulated stations, each a LineStation with its own connections\n"
               "  --seconds S      measured time (default 40), after every station has started\n"
               "  --interval-ms MS one number and one verdict per station per MS (default 2000)\n"
               "  --lease N        stations take N numbers per transaction (default: one per disk)\n"
               "  --tag NAME       prefix of the station names (default load); unique per run\n"
               "  --work DIR       where the stations' work directories go (default: a temporary one)\n"
               "  --durable        journals and outboxes flushed to the disk (default: left in the\n"
               "                   OS cache: here every station shares one disk, a real one has its own)\n"
               "  --watch          sample what the server's backends wait on (pg_stat_activity)\n");
}

bool ParseOptions(int argc, char** argv, Options& o) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
    const char* v = nullptr;
    if (a == "--durable") {
      o.durable = true;
    } else if (a == "--watch") {
      o.watch = true;
    } else if ((a == "--line" || a == "--tag" || a == "--work") && (v = value())) {
      (a == "--line" ? o.conninfo : a == "--tag" ? o.tag : o.work) = v;
    } else if ((a == "--stations" || a == "--seconds" || a == "--interval-ms" || a == "--lease") &&
               (v = value())) {
      const long n = std::strtol(v, nullptr, 10);
      if (n < (a == "--lease" ? 0 : 1) || n > 100000) return false;
      if (a == "--stations") o.stations = static_cast<int>(n);
      if (a == "--seconds") o.seconds = static_cast<int>(n);
      if (a == "--interval-ms") o.intervalMs = static_cast<int>(n);
      if (a == "--lease") o.lease = static_cast<std::uint32_t>(n);
    } else {
      return false;
    }
  }
  return !o.conninfo.empty() && o.stations > 0;
}

double Ms(Steady::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// The value below which `p` of the sorted samples lie (nearest rank).
double Percentile(const std::vector<double>& sorted, double p) {
  if (sorted.empty()) return 0;
  const auto rank = static_cast<std::size_t>(std::ceil(p * static_cast<double>(sorted.size())));
  return sorted[std::min(sorted.size() - 1, rank == 0 ? 0 : rank - 1)];
}

struct StationResult {
  std::vector<double> takeMs, verdictMs;
  std::vector<double> outboxMs, sendMs;  // a verdict's two parts: into the outbox, then to the line
  std::vector<std::uint32_t> numbers;  // handed out in the measured time
  std::uint64_t verdicts = 0;          // recorded in all (warm-up too)
  std::uint64_t takeErrors = 0, verdictErrors = 0, late = 0;
  std::string firstError;
};

// One simulated station: opens its line, warms up (one take and one verdict,
// so that both connections stand), waits for the others, then runs the
// schedule until `end`.
class SimulatedStation {
 public:
  SimulatedStation(const Options& o, int index, std::filesystem::path dir, std::uint32_t skip)
      : options_(o), index_(index), dir_(std::move(dir)), skip_(skip), clock_(MakeSystemClock()) {}

  // `skip` more numbers are taken in the warm-up (no verdict): stations of
  // a real line started at different times, so their leases run out at
  // different times too.
  bool Open(std::string& error) {
    std::filesystem::create_directories(dir_);
    LineOptions line;
    line.conninfo = options_.conninfo;
    char name[80];
    std::snprintf(name, sizeof name, "%s-%04d", options_.tag.c_str(), index_);
    line.station = name;
    line.workDir = dir_.string();
    line.lease = options_.lease;
    line.durability = options_.durable ? Durability::kDurable : Durability::kRelaxed;
    line.notify = [this](const std::string& text) {
      std::lock_guard<std::mutex> lock(notifyMutex_);
      if (notices_++ == 0) firstNotice_ = text;
    };
    station_ = LineStation::Open(line, error);
    if (!station_) return false;
    std::uint32_t number = 0;
    if (!Take(number, error)) return false;
    if (!Verdict(number)) {
      error = "the warm-up verdict did not reach the line";
      return false;
    }
    for (std::uint32_t i = 0; i < skip_; ++i) {
      if (!Take(number, error)) return false;
    }
    // Their hand-outs go to the line now, not with the first measured verdict.
    if (station_->Flush(10000) != 0) {
      error = "the warm-up's hand-outs did not reach the line";
      return false;
    }
    measuring_ = true;
    return true;
  }

  // Messages the station gave about the line (a lease taken ahead of time
  // failed, verdicts wait in the outbox): how many, and the first.
  std::pair<int, std::string> Notices() {
    std::lock_guard<std::mutex> lock(notifyMutex_);
    return {notices_, firstNotice_};
  }

  void Run(Steady::time_point start, Steady::time_point end, Steady::duration phase) {
    const auto interval = std::chrono::milliseconds(options_.intervalMs);
    for (auto next = start + phase; next < end; next += interval) {
      std::this_thread::sleep_until(next);
      const auto t0 = Steady::now();
      std::uint32_t number = 0;
      std::string reason;
      if (!Take(number, reason)) {
        ++result.takeErrors;
        if (result.firstError.empty()) result.firstError = reason;
        continue;
      }
      const auto t1 = Steady::now();
      result.takeMs.push_back(Ms(t1 - t0));
      result.numbers.push_back(number);
      const bool recorded = Verdict(number);
      const auto t2 = Steady::now();
      if (recorded) {
        result.verdictMs.push_back(Ms(t2 - t1));
      } else {
        ++result.verdictErrors;
      }
      if (t2 > next + interval) ++result.late;
    }
  }

  // Whatever still waits in the outbox (after a failed send) goes now.
  std::size_t Drain() { return station_ ? station_->Flush(10000) : 0; }
  void Close() { station_.reset(); }

  StationResult result;

 private:
  bool Take(std::uint32_t& number, std::string& reason) {
    return station_->TakeSerial({'E', 1}, number, reason);
  }

  // The verdict of the disk that took `number`, until the line has it.
  bool Verdict(std::uint32_t number) {
    VerdictEvent event;
    event.driveLetter = 'E';
    event.slot = 1;
    event.passed = true;
    event.serialNumber = number;
    event.capacitySectors = 15728640;
    event.startedUtc = clock_->UtcNow();
    event.finishedUtc = event.startedUtc;
    const auto t0 = Steady::now();
    if (!station_->RecordVerdict(event)) return false;
    ++result.verdicts;
    const auto t1 = Steady::now();
    const bool sent = station_->Flush(5000) == 0;
    if (measuring_) {
      result.outboxMs.push_back(Ms(t1 - t0));
      result.sendMs.push_back(Ms(Steady::now() - t1));
    }
    return sent;
  }

  const Options& options_;
  int index_;
  std::filesystem::path dir_;
  std::uint32_t skip_;
  bool measuring_ = false;  // warmed up
  std::unique_ptr<Clock> clock_;
  std::mutex notifyMutex_;
  int notices_ = 0;
  std::string firstNotice_;
  std::unique_ptr<LineStation> station_;
};

// What the server's active backends wait on, sampled every 100 ms through a
// connection of its own.
class Watcher {
 public:
  explicit Watcher(const std::string& conninfo) : link_(OpenLineLink(conninfo, 3, 5000)) {}

  void Start() {
    thread_ = std::thread([this] {
      while (!stop_) {
        PgResult r;
        std::string error;
        if (link_->Exec("SELECT coalesce(wait_event_type || ':' || wait_event, 'running'), "
                        "count(*) FROM pg_stat_activity WHERE datname = current_database() "
                        "AND pid <> pg_backend_pid() AND state = 'active' GROUP BY 1",
                        {}, &r, error)) {
          std::lock_guard<std::mutex> lock(mutex_);
          ++samples_;
          for (const auto& row : r.rows) {
            counts_[row[0].value_or("?")] += std::strtoull(row[1].value_or("0").c_str(), nullptr, 10);
          }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
      }
    });
  }

  void Stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }

  void Print() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::printf("server backends busy, average per sample (%llu samples), by what they wait on:\n",
                static_cast<unsigned long long>(samples_));
    std::vector<std::pair<std::uint64_t, std::string>> order;
    for (const auto& [what, n] : counts_) order.push_back({n, what});
    std::sort(order.rbegin(), order.rend());
    for (const auto& [n, what] : order) {
      std::printf("  %-32s %7.2f\n", what.c_str(),
                  samples_ ? static_cast<double>(n) / static_cast<double>(samples_) : 0.0);
    }
  }

 private:
  std::unique_ptr<LineLink> link_;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::uint64_t samples_ = 0;
  std::map<std::string, std::uint64_t> counts_;
};

// Runs `sql` and returns its first row's values as numbers (empty on failure).
std::vector<double> QueryNumbers(LineLink& link, const std::string& sql,
                                 const std::vector<std::optional<std::string>>& params = {}) {
  PgResult r;
  std::string error;
  if (!link.Exec(sql, params, &r, error) || r.rows.empty()) {
    std::fprintf(stderr, "kx20_line_load: %s: %s\n", sql.c_str(), error.c_str());
    return {};
  }
  std::vector<double> out;
  for (const auto& v : r.rows[0]) out.push_back(v ? std::strtod(v->c_str(), nullptr) : 0.0);
  return out;
}

constexpr const char* kWalStats =
    "SELECT wal_sync, wal_sync_time, (SELECT xact_commit FROM pg_stat_database "
    "WHERE datname = current_database()) FROM pg_stat_wal";

int Main(int argc, char** argv) {
  Options o;
  if (!ParseOptions(argc, argv, o)) {
    Usage();
    return 2;
  }
  std::filesystem::path work = o.work;
  const bool ownWork = work.empty();
  if (ownWork) {
    work = std::filesystem::temp_directory_path() /
           ("kx20-line-load-" + o.tag + "-" + std::to_string(std::random_device{}()));
  }

  // Open the stations a few at a time: a real line's stations do not all
  // connect in the same millisecond, and a connection storm on a small
  // machine would run into the stations' 3 s connect timeout.
  std::mt19937 random(std::random_device{}());
  std::vector<std::unique_ptr<SimulatedStation>> stations;
  for (int i = 0; i < o.stations; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "st%04d", i);
    const std::uint32_t skip =
        o.lease > 1 ? std::uniform_int_distribution<std::uint32_t>(0, o.lease - 1)(random) : 0;
    stations.push_back(std::make_unique<SimulatedStation>(o, i, work / name, skip));
  }
  std::counting_semaphore<8> opening(8);
  std::atomic<int> openFailures{0};
  std::latch opened(o.stations);
  std::latch go(1);
  Steady::time_point start, end;
  std::vector<Steady::duration> phases;
  for (int i = 0; i < o.stations; ++i) {
    phases.push_back(std::chrono::microseconds(
        std::uniform_int_distribution<long>(0, o.intervalMs * 1000L - 1)(random)));
  }
  std::mutex errorMutex;
  std::string openError;
  const auto setupStart = Steady::now();
  std::vector<std::thread> threads;
  for (int i = 0; i < o.stations; ++i) {
    threads.emplace_back([&, i] {
      SimulatedStation& s = *stations[i];
      opening.acquire();
      std::string error;
      const bool ok = s.Open(error);
      opening.release();
      if (!ok) {
        ++openFailures;
        std::lock_guard<std::mutex> lock(errorMutex);
        if (openError.empty()) openError = error;
      }
      opened.count_down();
      go.wait();
      if (ok) s.Run(start, end, phases[i]);
    });
  }
  opened.wait();
  std::printf("%d stations opened in %.1f s (%d failed)%s%s\n", o.stations,
              Ms(Steady::now() - setupStart) / 1000.0, openFailures.load(),
              openError.empty() ? "" : ": ", openError.c_str());

  const std::unique_ptr<LineLink> stats = OpenLineLink(o.conninfo, 3, 30000);
  const std::vector<double> walBefore = QueryNumbers(*stats, kWalStats);
  Watcher watcher(o.conninfo);
  if (o.watch) watcher.Start();
  start = Steady::now() + std::chrono::milliseconds(100);
  end = start + std::chrono::seconds(o.seconds);
  go.count_down();
  for (std::thread& t : threads) t.join();
  const double measured = Ms(Steady::now() - start) / 1000.0;
  if (o.watch) watcher.Stop();
  const std::vector<double> walAfter = QueryNumbers(*stats, kWalStats);
  std::size_t waiting = 0;
  for (auto& s : stations) waiting += s->Drain();
  for (auto& s : stations) s->Close();
  int notices = 0;
  std::string firstNotice;
  for (auto& s : stations) {
    const auto [n, first] = s->Notices();
    if (notices == 0 && n > 0) firstNotice = first;
    notices += n;
  }

  StationResult all;
  for (auto& s : stations) {
    const StationResult& r = s->result;
    all.takeMs.insert(all.takeMs.end(), r.takeMs.begin(), r.takeMs.end());
    all.verdictMs.insert(all.verdictMs.end(), r.verdictMs.begin(), r.verdictMs.end());
    all.outboxMs.insert(all.outboxMs.end(), r.outboxMs.begin(), r.outboxMs.end());
    all.sendMs.insert(all.sendMs.end(), r.sendMs.begin(), r.sendMs.end());
    all.numbers.insert(all.numbers.end(), r.numbers.begin(), r.numbers.end());
    all.verdicts += r.verdicts;
    all.takeErrors += r.takeErrors;
    all.verdictErrors += r.verdictErrors;
    all.late += r.late;
    if (all.firstError.empty()) all.firstError = r.firstError;
  }
  std::sort(all.takeMs.begin(), all.takeMs.end());
  std::sort(all.verdictMs.begin(), all.verdictMs.end());
  std::sort(all.outboxMs.begin(), all.outboxMs.end());
  std::sort(all.sendMs.begin(), all.sendMs.end());
  const std::set<std::uint32_t> distinct(all.numbers.begin(), all.numbers.end());

  std::printf("stations %d, lease %u, interval %d ms, %s files, measured %.1f s\n", o.stations,
              o.lease, o.intervalMs, o.durable ? "durable" : "cached", measured);
  // Steps scheduled in the measured time that ran late still count, over
  // the time they took.
  const double takesPerSecond = static_cast<double>(all.takeMs.size()) / std::max<double>(measured, o.seconds);
  std::printf("serial step: %zu takes, %.1f per second, p50 %.2f ms, p99 %.2f ms, max %.2f ms, "
              "%llu refused%s%s\n",
              all.takeMs.size(), takesPerSecond,
              Percentile(all.takeMs, 0.5), Percentile(all.takeMs, 0.99),
              all.takeMs.empty() ? 0.0 : all.takeMs.back(),
              static_cast<unsigned long long>(all.takeErrors), all.firstError.empty() ? "" : ": ",
              all.firstError.c_str());
  std::printf("verdict to the line: %zu, p50 %.2f ms, p99 %.2f ms, max %.2f ms, %llu not sent in 5 s\n",
              all.verdictMs.size(), Percentile(all.verdictMs, 0.5), Percentile(all.verdictMs, 0.99),
              all.verdictMs.empty() ? 0.0 : all.verdictMs.back(),
              static_cast<unsigned long long>(all.verdictErrors));
  std::printf("  of which into the outbox: p50 %.2f ms, p99 %.2f ms; then until the line has it: "
              "p50 %.2f ms, p99 %.2f ms\n",
              Percentile(all.outboxMs, 0.5), Percentile(all.outboxMs, 0.99),
              Percentile(all.sendMs, 0.5), Percentile(all.sendMs, 0.99));
  std::printf("steps that overran their interval: %llu\n", static_cast<unsigned long long>(all.late));
  std::printf("stations' notices: %d%s%s\n", notices, firstNotice.empty() ? "" : ", the first: ",
              firstNotice.c_str());
  if (walBefore.size() == 3 && walAfter.size() == 3) {
    const double syncs = walAfter[0] - walBefore[0];
    const double commits = walAfter[2] - walBefore[2];
    std::printf("server: %.0f commits, %.0f WAL flushes (%.2f commits per flush), %.2f ms per flush\n",
                commits, syncs, syncs > 0 ? commits / syncs : 0.0,
                syncs > 0 ? (walAfter[1] - walBefore[1]) / syncs : 0.0);
  }
  if (o.watch) watcher.Print();

  // The line as a whole: no number twice, nothing lost.
  bool ok = openFailures == 0 && all.takeErrors == 0 && all.verdictErrors == 0 && waiting == 0 &&
            distinct.size() == all.numbers.size();
  const std::vector<double> taken = QueryNumbers(
      *stats,
      "SELECT count(*), count(DISTINCT n) FROM (SELECT (first_serial - 1 + i) % 99999999 + 1 AS n "
      "FROM kx20.serial_takes, generate_series(0, count - 1) AS i) AS numbers");
  const std::vector<double> verdicts =
      QueryNumbers(*stats, "SELECT count(serial), count(DISTINCT serial) FROM kx20.verdicts");
  const std::vector<double> handouts = QueryNumbers(
      *stats, "SELECT count(*), count(DISTINCT serial) FROM kx20.serial_handouts");
  const std::vector<double> ours = QueryNumbers(
      *stats, "SELECT count(*) FROM kx20.verdicts WHERE starts_with(station, $1)", {o.tag + "-"});
  if (taken.size() != 2 || verdicts.size() != 2 || handouts.size() != 2 || ours.size() != 1) {
    ok = false;
  } else {
    std::printf("line: numbers taken %.0f, distinct %.0f; verdicts' numbers %.0f, distinct %.0f; "
                "hand-outs %.0f, distinct %.0f; this run's verdicts in the line %.0f of %llu\n",
                taken[0], taken[1], verdicts[0], verdicts[1], handouts[0], handouts[1], ours[0],
                static_cast<unsigned long long>(all.verdicts));
    ok = ok && taken[0] == taken[1] && verdicts[0] == verdicts[1] && handouts[0] == handouts[1] &&
         ours[0] == static_cast<double>(all.verdicts);
  }
  std::printf("this run's numbers: %zu, distinct %zu\n", all.numbers.size(), distinct.size());
  std::printf("RESULT %s stations=%d lease=%u takes_per_s=%.1f refused=%llu take_p50_ms=%.2f "
              "take_p99_ms=%.2f verdict_p50_ms=%.2f verdict_p99_ms=%.2f\n",
              ok ? "ok" : "FAILED", o.stations, o.lease, takesPerSecond,
              static_cast<unsigned long long>(all.takeErrors), Percentile(all.takeMs, 0.5),
              Percentile(all.takeMs, 0.99), Percentile(all.verdictMs, 0.5),
              Percentile(all.verdictMs, 0.99));
  if (ownWork) {
    std::error_code ec;
    std::filesystem::remove_all(work, ec);
  }
  return ok ? 0 : 1;
}

}  // namespace
}  // namespace kx20

int main(int argc, char** argv) { return kx20::Main(argc, argv); }
