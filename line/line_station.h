// Line mode of a station: serial numbers from the line's database and every
// verdict into it (schema in line_schema.h).
//
// Serial numbers: without a lease, each serial-number step takes one number
// in one transaction (kx20.take_serials: row lock on the counter, recorded
// with station, slot, drive letter and time). With a lease of N, the station
// takes N numbers in one such transaction, records them in its lease journal
// (lease_journal.h) before using any, and hands them out one by one, each
// marked used in the journal before the disk is programmed. When half a
// lease is left it takes the next one ahead of time (if the line answers). A database that
// cannot be reached, or any error, refuses the number: the disk is not
// programmed and the reason goes to the operator; there is no fallback to
// config.txt's counter.
//
// Verdicts: each goes first into the durable outbox (verdict_outbox.h); a
// sender thread drains it after each record, every few seconds and at start,
// with ON CONFLICT DO NOTHING on the record key.
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
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "storage/durable_file.h"
#include "config/serial_number.h"
#include "line/lease_journal.h"
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
  // With a positive interval the sender also asks the database (SELECT 1)
  // when it has heard nothing from it for that long, so DatabaseState stays
  // current while the station is idle (the window shows it). 0: never.
  int lookIntervalMs = 0;
  // Messages about the outbox (verdicts waiting, sent again). Any thread.
  std::function<void(const std::string&)> notify;
};

// A station name: 1 to 64 of letters, digits, '-', '_' and '.'.
bool IsValidStationName(const std::string& name);

class LineStation {
 public:
  // Loads the lease journal and the outbox and starts the sender. Null with
  // `error` when either file is damaged.
  static std::unique_ptr<LineStation> Open(LineOptions options, std::string& error);
  ~LineStation();
  LineStation(const LineStation&) = delete;
  LineStation& operator=(const LineStation&) = delete;

  // The serial-number source (config/serial_number.h).
  bool TakeSerial(const SerialRequest& request, std::uint32_t& number, std::string& reason);

  // The verdict sink (production/verdict_event.h).
  void RecordVerdict(const VerdictEvent& event);

  // Sends what waits until the outbox is empty or `timeoutMs` has passed;
  // returns how many records still wait.
  std::size_t Flush(int timeoutMs);

  std::size_t Waiting() const { return outbox_.Size(); }

  // Whether the line's database answered when it was last asked (for a
  // serial number, a send of verdicts, or a look of the sender's own), and
  // how many verdicts wait in the outbox. Any thread.
  struct DatabaseState {
    bool asked = false;      // false until the database was first asked
    bool answering = false;  // it answered (a refusal is an answer too)
    std::size_t waiting = 0;
  };
  DatabaseState State() const;

 private:
  explicit LineStation(LineOptions options);
  bool TakeFromLine(const SerialRequest& request, std::uint32_t count, std::uint32_t& first,
                    std::string& reason);
  // Records a lease taken from the line; false (and a gap) when the journal
  // cannot be written.
  bool JournalLease(std::uint32_t first, std::string& reason);
  // One send of up to a batch; false when the database did not take it.
  bool SendOnce(std::string& error);
  void SenderLoop();
  void Notify(const std::string& text) {
    if (options_.notify) options_.notify(text);
  }
  // Records whether the database answered just now.
  void Heard(bool answered);

  LineOptions options_;
  std::mutex serialMutex_;
  // Each link is owned here and used through its reference.
  std::unique_ptr<LineLink> serialLinkHeld_;
  LineLink& serialLink_;
  LeaseJournal journal_;
  // No ahead-of-time lease is tried before this (after a failed try).
  std::chrono::steady_clock::time_point nextRefill_{};
  VerdictOutbox outbox_;

  std::mutex sendMutex_;  // the send link and the outage state
  std::unique_ptr<LineLink> sendLinkHeld_;
  LineLink& sendLink_;
  bool sendFailing_ = false;

  // -1 not asked yet, 0 silent, 1 answering; when it was last heard from.
  std::atomic<int> answering_{-1};
  std::atomic<std::int64_t> lastAskedMs_{0};

  std::mutex wakeMutex_;
  std::condition_variable wake_;
  bool wakePending_ = false;
  bool stop_ = false;
  std::thread sender_;
};

}  // namespace kx20
