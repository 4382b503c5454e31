#include "app/console_loops.h"

#include <algorithm>
#include <deque>
#include <filesystem>
#include <iostream>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace kx20 {

RowReporter::RowReporter(MemoryConsoleView& view, Clock& clock, const std::string& traceFile,
                         std::FILE* out)
    : view_(view), clock_(clock), start_(clock.MonotonicMs()), out_(out) {
  if (!traceFile.empty()) trace_.open(traceFile, std::ios::app);
}

void RowReporter::Report() {
  const std::uint64_t elapsed = clock_.MonotonicMs() - start_;
  for (const RowChangeTracker::Change& c : tracker_.Update(view_.Rows())) {
    const std::string line = FormatRowLine(elapsed, c.row, c.image, c.text);
    std::fprintf(out_, "%s\n", line.c_str());
    if (trace_.is_open()) trace_ << line << '\n' << std::flush;
  }
  const std::vector<std::string> boxes = view_.MessageBoxes();
  for (; shownBoxes_ < boxes.size(); ++shownBoxes_) {
    std::fprintf(out_, "message: %s\n", boxes[shownBoxes_].c_str());
  }
  std::fflush(out_);
}

namespace {

// The longest the console loop waits before it looks at the stop signal again.
constexpr unsigned kSignalPollMs = 100;

// The console loop: ticks once a second, applies worker messages as they
// arrive. `step` runs after each tick with its result; returning false ends
// the loop. A stop signal ends it too.
template <typename TickStep, typename Idle>
void RunConsoleLoop(const ConsoleLoopContext& context, TickStep step, Idle idle) {
  Station& station = context.station;
  Clock& clock = context.clock;
  RowReporter& reporter = context.reporter;
  std::uint64_t nextTick = clock.MonotonicMs() + 1000;
  for (;;) {
    if (context.stopSignal != 0) return;
    const std::uint64_t now = clock.MonotonicMs();
    if (now >= nextTick) {
      // Every queued message first, each shown as its own row change.
      while (auto message = station.Queue().TryTake()) {
        station.ApplyStatus(*message);
        reporter.Report();
      }
      const bool ended = station.Tick();
      for (const std::string& notice : station.TakeNotices()) {
        std::fprintf(stderr, "kx20-station: %s\n", notice.c_str());
      }
      std::fflush(stderr);
      nextTick += 1000;
      if (nextTick <= now) nextTick = now + 1000;  // the loop fell behind
      reporter.Report();
      if (!step(ended)) return;
      continue;
    }
    const unsigned wait = static_cast<unsigned>(std::min<std::uint64_t>(nextTick - now, kSignalPollMs));
    if (auto message = station.Queue().WaitTake(wait)) {
      station.ApplyStatus(*message);
      reporter.Report();
    }
    if (!idle()) return;
  }
}

void PrintFinalRows(const Station& station, std::FILE* out) {
  const std::vector<RowModel>& rows = station.Model().rows;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    std::fprintf(out, "%2d %d %s\n", static_cast<int>(i), rows[i].image, rows[i].text.c_str());
  }
}

}  // namespace

int RunBatchConsole(const ConsoleLoopContext& context, bool codeFlash) {
  Station& station = context.station;
  MemoryConsoleView& view = context.view;
  std::error_code error;
  if (!codeFlash && !std::filesystem::exists(station.ConfigPath(), error)) {
    std::fprintf(stderr, "kx20-station: no settings file %s: nothing to produce\n",
                 station.ConfigPath().c_str());
    return kExitNothingStarted;
  }
  enum class Phase { kWaitScan, kRunning, kDone };
  Phase phase = Phase::kWaitScan;
  int exitStatus = kExitNothingStarted;

  RunConsoleLoop(
      context,
      [&](bool ended) {
        if (phase == Phase::kWaitScan) {
          if (station.Model().RowCount() == 0) return true;  // no scan yet
          const std::size_t boxesBefore = view.MessageBoxes().size();
          if (codeFlash) {
            station.OnEmptyButton();
          } else {
            station.OnSpaceKeyDown(false);
          }
          context.reporter.Report();
          if (station.RunStarts().empty()) {
            if (view.MessageBoxes().size() > boxesBefore) {
              std::string box = view.MessageBoxes().back();
              for (char& c : box) c = c == '\n' ? ' ' : c;
              std::fprintf(stderr, "kx20-station: %s: nothing started\n", box.c_str());
            } else {
              std::fprintf(stderr,
                           "kx20-station: no target disk answered the controller probe: "
                           "nothing started\n");
            }
            return false;
          }
          phase = Phase::kRunning;
          return true;
        }
        if (phase == Phase::kRunning && ended) {
          std::fprintf(context.out, "final rows:\n");
          PrintFinalRows(station, context.out);
          const RunSummary summary =
              SummariseRun(station.RunStarts(), station.RowStatuses(), codeFlash);
          std::fprintf(context.out, "%d passed, %d failed\n", summary.passed, summary.failed);
          std::fprintf(context.out, "%s\n", RunEndLine(station.Model()).c_str());
          std::fflush(context.out);
          exitStatus = summary.failed == 0 ? kExitPassed : kExitFailed;
          phase = Phase::kDone;
          return false;
        }
        return true;
      },
      [] { return true; });
  return exitStatus;
}

namespace {

// Lines typed by the operator, read on a thread of their own.
class LineInput {
 public:
  explicit LineInput(StatusQueue& wake) : wake_(wake) {
    std::thread([this] {
      std::string line;
      while (std::getline(std::cin, line)) Push(line, false);
      Push("", true);
    }).detach();
  }

  // Takes the next line; `eof` is set once input has ended.
  bool Take(std::string& line, bool& eof) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (lines_.empty()) return false;
    line = lines_.front().first;
    eof = lines_.front().second;
    lines_.pop_front();
    return true;
  }

 private:
  void Push(const std::string& line, bool eof) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      lines_.emplace_back(line, eof);
    }
    wake_.Wake();
  }

  StatusQueue& wake_;
  std::mutex mutex_;
  std::deque<std::pair<std::string, bool>> lines_;
};

}  // namespace

int RunLineConsole(const ConsoleLoopContext& context) {
  Station& station = context.station;
  std::fprintf(context.out,
               "KX20 station. Enter (or Space, Enter) starts a run, e a code-flash run, "
               "q quits.\n");
  std::fflush(context.out);
  // The reader thread is never joined: the program ends with std::_Exit.
  auto* input = new LineInput(station.Queue());
  // "q" while disks are being produced asks first; a second "q" right after
  // quits anyway. The end of input quits once no disk is being produced.
  bool quitAsked = false;
  bool inputEnded = false;
  RunConsoleLoop(
      context,
      [&](bool ended) {
        if (ended) {
          std::fprintf(context.out, "run ended; unplug the disks to rescan\n");
          const std::string pull = RunEndLine(station.Model());
          if (!pull.empty()) std::fprintf(context.out, "%s\n", pull.c_str());
          std::fflush(context.out);
        }
        return !(inputEnded && station.RunningWorkerCount() == 0);
      },
      [&] {
        std::string line;
        bool eof = false;
        while (input->Take(line, eof)) {
          if (eof) {
            if (station.RunningWorkerCount() == 0) return false;
            inputEnded = true;
            std::printf("input ended: quitting when the run has ended\n");
            std::fflush(stdout);
            continue;
          }
          const bool quit = line == "q" || line == "Q";
          const int running = station.RunningWorkerCount();
          if (quit && (running == 0 || quitAsked)) return false;
          quitAsked = false;
          if (quit) {
            quitAsked = true;
            std::string question = QuitDuringRunQuestion(running);
            for (char& c : question) c = c == '\n' ? ' ' : c;
            std::printf("%s Type q again to quit anyway; anything else goes on.\n",
                        question.c_str());
            std::fflush(stdout);
            continue;
          }
          if (line.find_first_not_of(" \t\r") == std::string::npos) {
            station.OnSpaceKeyDown(false);
          } else if (line == "e" || line == "E") {
            station.OnEmptyButton();
          } else {
            std::fprintf(context.out, "commands: Enter starts a run, e a code-flash run, q quits\n");
          }
          context.reporter.Report();
        }
        return true;
      });
  return 0;
}

}  // namespace kx20
