// What closing the station must know of every production worker of the
// process: the step each one is in, the serial number its disk carries, and
// whether it has reached its verdict. Closing (Station::Shutdown) gives each
// disk cut off without a verdict its record: a FAIL record with the error
// text of the step it was cut off in, and a verdict event marked cut off
// with the serial number it carries.
//
// Threads: each entry is written by its worker and read by the closing
// console thread; everything goes under the entry's own lock.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/clock.h"
#include "production/production_log.h"
#include "production/status_message.h"
#include "production/verdict_event.h"

namespace kx20 {

class WorkerLedger {
 public:
  // One worker's page.
  class Entry {
   public:
    Entry(char letter, int slot, const char* stepText);

    // --- The worker's side -------------------------------------------------
    // The step under way: the error text a cut-off disk is recorded with.
    void SetStep(const char* errorText);
    // The disk's table was written and read back carrying this number.
    void SetSerial(std::uint32_t serialNumber);
    void SetStarted(const CalendarTime& startedUtc);
    void SetCapacity(std::uint64_t sectors);
    // What the disk's record holds so far (lot, operator, version, recipe,
    // previous serial, the steps done) and the step under way (a kStep...
    // name, with its start): a cut-off disk is recorded with them, the step
    // under way as the step it failed in, timed up to the close.
    void SetRecord(const VerdictEvent& draft, const char* stepName,
                   const CalendarTime& stepStartedUtc);
    // The worker has reached its verdict and is about to record it: `record`
    // and `event` are what it will write. False when the station was closed
    // first and cut the disk off: the worker then tells the disk nothing
    // more and writes nothing (the close recorded it).
    bool Finish(const LogRecord& record, const VerdictEvent& event);
    // The verdict is in the log and the sink.
    void Recorded();
    // The worker ends without a verdict (the disk did not open, did not
    // answer the probe, or is in use by another station).
    void NoVerdict();

   private:
    friend class WorkerLedger;
    enum class State { kRunning, kFinishing, kRecorded, kNoVerdict, kCutOff };
    std::mutex mutex_;
    State state_ = State::kRunning;
    bool taken_ = false;  // its worker has taken it (Begin)
    const char letter_;
    const int slot_;
    const char* stepText_;
    std::uint32_t serial_ = 0;
    CalendarTime startedUtc_{};
    std::uint64_t capacitySectors_ = 0;
    VerdictEvent draft_{};
    const char* stepName_ = nullptr;
    CalendarTime stepStartedUtc_{};
    LogRecord record_{};
    VerdictEvent event_{};
  };

  // A record the close must write for a worker: a cut-off disk's, or the
  // verdict of one that reached it but has not recorded it yet.
  struct Unrecorded {
    LogRecord record;
    VerdictEvent event;
  };

  // The console opens a worker's page as it starts the worker (so a close
  // that comes before the worker has run a line still records its disk);
  // null once the ledger is closed: no worker may start then.
  std::shared_ptr<Entry> Open(char letter, int slot);
  // The worker takes its page: the one the console opened for its letter
  // and slot, or a new one (a worker started without a console). Null once
  // the ledger is closed: the worker then ends at once, touching nothing.
  // Any thread.
  std::shared_ptr<Entry> Begin(char letter, int slot);

  // Closes the ledger and returns what is left unrecorded, in start order:
  // every worker still running is cut off (its record: FAIL with the text of
  // its step; its event: cutOff, finished at `nowUtc`), and every one that
  // reached its verdict without recording it hands its own record over. A
  // cut-off event carries what the worker's last SetRecord said. The
  // caller holds the run's log lock, so no worker records anything after
  // this. Later calls return nothing.
  std::vector<Unrecorded> Close(const CalendarTime& nowUtc);

 private:
  std::mutex mutex_;
  bool closed_ = false;
  std::vector<std::shared_ptr<Entry>> entries_;
};

}  // namespace kx20
