// Line mode of a station: serial numbers from the line's database and every
// verdict into it (schema in line_schema.h).
//
// Identity: the station keeps a journal (lease_journal.h) in its work
// directory in every line mode; it names the line, the journal's instance and
// where it was made. At start, and before the first number of each lease is
// used, the journal is checked against the line (line_check.h): the database
// must be that line, of a schema version this station knows, the station's
// name must belong to this journal (and to its latest start), each lease must
// be recorded as this station's take, and the counter must lie beyond every
// number the journal has seen. A check that fails refuses every number with
// a message that says which check failed and what to do; at start it stops
// the station. When the line cannot be reached at start, the station starts
// but hands out no number until the check has passed. The work directory is
// marked as a line's (config/serial_number.h, kLineMarkerFileName) before
// any number is handed out.
//
// Serial numbers: without a lease, each serial-number step takes one number
// in one transaction (kx20.take_serials: checks the line and the instance,
// row lock on the counter, recorded with station, slot, drive letter and
// time); the journal then records it as seen. With a lease of N, the station
// takes N numbers in one such transaction, records them in its journal before
// using any, and hands them out one by one, each marked used in the journal
// with its hand-out (slot, letter, time) before the disk is programmed; the
// hand-out goes to the line through the outbox. When half a lease is left it
// takes the next one ahead of time (if the line answers). A database that
// cannot be reached, or any error, refuses the number: the disk is not
// programmed and the reason goes to the operator; there is no fallback to
// config.txt's counter. During an outage the station goes on with the leases
// it has checked.
//
// Verdicts: each goes first into the durable outbox (verdict_outbox.h) with
// the number in the disk's table, the number handed out for the disk,
// whether the disk was cut off, and what makes the disk traceable (lot,
// operator, software, recipe, previous serial, failed step, step timings,
// rates, host); a sender thread drains it a batch at a time after each
// record, every few seconds and at start, each record once by its key, and
// only to the journal's own line. A record the database refuses for its
// data is set aside (verdicts.refused) with the reason and reported.
//
// Threads: TakeSerial from the serial-number step (under the run's setup
// lock, one at a time); RecordVerdict from any worker; the sender on its own
// thread. Each of the two uses its own connection, so a slow send never
// holds up a serial-number step. Every wait is bounded (connect timeout,
// query deadline).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

#include "storage/durable_file.h"
#include "config/serial_number.h"
#include "line/lease_journal.h"
#include "line/line_check.h"
#include "line/line_link.h"
#include "line/verdict_outbox.h"
#include "production/verdict_event.h"

namespace kx20 {

struct LineOptions {
  std::string conninfo;
  std::string station;
  std::string workDir = ".";  // where the journal and the outbox live (beside config.txt)
  std::uint32_t lease = 0;    // 0: one number per transaction
  Durability durability = Durability::kDurable;
  int connectTimeoutSeconds = 3;
  int queryTimeoutMs = 5000;
  int sendIntervalMs = 5000;
  std::size_t sendBatch = 200;  // records per transaction
  // With a positive interval the sender also asks the database (SELECT 1)
  // when it has heard nothing from it for that long, so State() stays
  // current while the station is idle (the window shows it). 0: never.
  int lookIntervalMs = 0;
  // Where this station runs; empty fields: this host's name and the work
  // directory's absolute path.
  JournalHome home;
  // Messages about the line (verdicts waiting, sent again, a check deferred).
  // Any thread.
  std::function<void(const std::string&)> notify;
};

// A station name: 1 to 64 of letters, digits, '-', '_' and '.'.
bool IsValidStationName(const std::string& name);

// This host's name and the directory's absolute path.
JournalHome HomeOf(const std::string& workDir);

class LineStation {
 public:
  // Reads (or creates) the journal and reads the outbox, marks the work
  // directory, checks the journal against the line when the line answers,
  // and starts the sender. Null with `error` when a file is damaged or cannot
  // be written, when the journal is a copy, or when the line answered and a
  // check failed.
  static std::unique_ptr<LineStation> Open(LineOptions options, std::string& error);
  ~LineStation();
  LineStation(const LineStation&) = delete;
  LineStation& operator=(const LineStation&) = delete;

  // The serial-number source (config/serial_number.h).
  bool TakeSerial(const SerialRequest& request, std::uint32_t& number, std::string& reason);

  // The verdict sink (production/verdict_event.h).
  // True when the verdict is in the outbox on disk; false when the outbox
  // could not be written (the verdict then waits in memory only, and the
  // station must not show the disk as passed).
  bool RecordVerdict(const VerdictEvent& event);

  // Sends what waits until the outbox is empty or `timeoutMs` has passed
  // (checked before each batch; at least one batch is tried); returns how
  // many records still wait.
  std::size_t Flush(int timeoutMs);

  std::size_t Waiting() const { return outbox_.Size(); }

  // Records the line's database refused for their data in this process:
  // each is set aside in verdicts.refused beside the outbox (with the
  // reason), reported through `notify`, and no longer holds up the others.
  std::size_t Refused() const { return refusedCount_.load(); }

  // True once the journal has been checked against the line in this process.
  bool Checked() const;

  // Whether the line's database answered when it was last asked (the start
  // check, a serial number, a send of verdicts, or a look of the sender's
  // own), and how many verdicts wait in the outbox. Any thread.
  struct DatabaseState {
    bool asked = false;      // false until the database was first asked
    bool answering = false;  // it answered (a refusal is an answer too)
    std::size_t waiting = 0;
  };
  DatabaseState State() const;

 private:
  enum class Reach { kPassed, kRefused, kUnreachable };

  explicit LineStation(LineOptions options);
  // The start check, and what a passed one asks for. serialMutex_ held.
  Reach StartCheck(std::string& message);
  // The check before the first number of a lease. serialMutex_ held.
  Reach LeaseCheck(std::string& message);
  // Why a statement failed, for the operator.
  std::string DatabaseReason(const std::string& error) const;
  bool WriteMarker(std::string& error);
  // Takes a lease from the line and journals it; false (and a gap) on any
  // failure, with `reason`.
  bool TakeLease(std::string& reason);
  void RememberIssued(const SerialRequest& request, std::uint32_t number);
  // One send of up to a batch; false when the database did not take it.
  bool SendOnce(std::string& error);
  void SenderLoop();
  void Notify(const std::string& text) {
    if (options_.notify) options_.notify(text);
  }
  // Records whether the database answered just now.
  void Heard(bool answered);

  LineOptions options_;
  std::string markerPath_;
  std::mutex serialMutex_;
  // Each link is owned here and used through its reference.
  std::unique_ptr<LineLink> serialLinkHeld_;
  LineLink& serialLink_;
  LeaseJournal journal_;
  std::string instanceId_;  // fixed once opened
  bool checked_ = false;    // serialMutex_
  // No contact with the line is tried for a lease or its check before this
  // (after a failed try).
  std::chrono::steady_clock::time_point nextContact_{};
  VerdictOutbox outbox_;

  // The line the sender may send to: set once the start check passed.
  mutable std::mutex lineMutex_;
  std::string checkedLineId_;

  // The number handed out for the disk in each (letter, slot) whose verdict
  // has not come yet.
  std::mutex issuedMutex_;
  std::map<std::pair<char, int>, std::uint32_t> issued_;

  std::mutex sendMutex_;  // the send link and the outage state
  std::unique_ptr<LineLink> sendLinkHeld_;
  LineLink& sendLink_;
  bool sendFailing_ = false;
  // Flushes under way: the sender thread leaves the sending to them (a mutex
  // is not fair; a sender that took it back batch after batch would hold a
  // flush past its deadline until the whole backlog was sent).
  std::atomic<int> flushing_{0};

  // -1 not asked yet, 0 silent, 1 answering; when it was last heard from.
  std::atomic<int> answering_{-1};
  std::atomic<std::size_t> refusedCount_{0};
  std::atomic<std::int64_t> lastAskedMs_{0};

  std::mutex wakeMutex_;
  std::condition_variable wake_;
  bool wakePending_ = false;
  bool stop_ = false;
  std::thread sender_;
};

}  // namespace kx20
