// The verdict outbox: every verdict the station gives in line mode, and every
// hand-out of a leased number to a disk, waits here, in a durable file beside
// config.txt, until the line's database has it.
//
// Each record carries a key made when it is added (station name and 128
// random bits), so sending is idempotent: the sender inserts a batch with
// ON CONFLICT DO NOTHING and only then removes it from the outbox. A crash
// between the database's commit and the removal sends the batch again, which
// the database ignores; a crash before the record's write returned loses
// only a record that was never acknowledged (its produce.log record stands).
// Every change replaces the whole file atomically and durably.
//
// Thread safety: one mutex guards the records and the file; Add may come
// from any worker while the sender takes and removes batches.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "storage/durable_file.h"

namespace kx20 {

inline constexpr const char* kVerdictOutboxFileName = "verdicts.outbox";
// Beside the outbox: the records the line's database refused for their data
// (each under a line "# <when>: <reason>"), kept for a person to look at;
// never sent again by the station.
inline constexpr const char* kRefusedVerdictsFileName = "verdicts.refused";

// One row of kx20.verdicts, as texts ready for the database.
struct VerdictRow {
  std::string recordKey;
  std::string station;
  int slot = 0;
  char driveLetter = '?';
  // The number in the table written to the disk: a pass, or a failure after
  // the table step; none when no table with a number was written.
  std::optional<std::uint32_t> serial;
  std::uint64_t capacity = 0;           // sectors (last LBA + 1), 0 when unknown
  std::string result;                   // "Pass" or "FAIL"
  std::string errorCode;                // empty on a pass
  std::string startedAt;                // "YYYY-MM-DD HH:MM:SS.mmm+00"
  std::string finishedAt;
  // The number the line handed out for this disk (none: none was).
  std::optional<std::uint32_t> issuedSerial;
  bool cutOff = false;     // the station was closed during the disk's run
  std::string instanceId;  // the journal that recorded it; empty in old outboxes

  // What makes the disk traceable (empty or none: not known, and in records
  // of the older formats); sent as NULL then.
  std::string lot;
  std::string operatorName;
  std::string softwareVersion;
  std::string recipeId;
  std::optional<std::uint32_t> previousSerial;
  std::string failedStep;
  std::string steps;  // JSON array [{"step", "start", "ms"}, ...]; empty: none
  std::optional<double> rwWriteMBps;
  std::optional<double> rwReadMBps;
  std::optional<double> imageWriteMBps;
  std::string host;  // the station's host

  bool operator==(const VerdictRow&) const = default;
};

// One row of kx20.serial_handouts: a leased number handed to a disk.
struct HandOutRow {
  std::string recordKey;  // made from the instance, the take and the number
  std::string station;
  std::string instanceId;
  std::uint64_t takeId = 0;
  std::uint32_t serial = 0;
  int slot = 0;
  char driveLetter = '?';
  std::string at;  // "YYYY-MM-DD HH:MM:SS.mmm+00"

  bool operator==(const HandOutRow&) const = default;
};

using OutboxRecord = std::variant<VerdictRow, HandOutRow>;

const std::string& RecordKeyOf(const OutboxRecord& record);

// A fresh record key: "<station>-<32 hex digits>" from a random source.
std::string NewRecordKey(const std::string& station);

// The key of a hand-out: the same for the same number of the same take of
// the same journal, so that adding it twice (after a crash) stores it once.
std::string HandOutKey(const std::string& station, const std::string& instanceId,
                       std::uint64_t takeId, std::uint32_t serial);

// The outbox file's text, and back. Parse reads this format (3) and the
// formats before it (2: verdicts without what makes a disk traceable, and
// hand-outs; 1: verdicts only), so an upgraded station sends what an older
// one left; it refuses damage (a torn or foreign file) with `error` rather
// than dropping records silently.
std::string FormatOutbox(const std::vector<OutboxRecord>& records);
std::optional<std::vector<OutboxRecord>> ParseOutbox(const std::string& text, std::string& error);

// One record as a line of the outbox (with its line break), as the file of
// refused records keeps it.
std::string FormatOutboxRecord(const OutboxRecord& record);

class VerdictOutbox {
 public:
  VerdictOutbox(FileSystem& files, std::string path, Durability durability = Durability::kDurable)
      : files_(files), path_(std::move(path)), durability_(durability) {}

  // Reads what an earlier run left. A damaged file is kept as it is (renamed
  // aside is the operator's call) and the outbox refuses to start: false.
  bool Load(std::string& error);

  // Adds a record durably. False when the file could not be written; the
  // record is then kept in memory only and the next successful write (Add or
  // Remove) stores it too.
  bool Add(const OutboxRecord& record, std::string& error);

  // True when a record with this key waits.
  bool Contains(const std::string& key) const;

  // Up to `limit` records, oldest first, for sending.
  std::vector<OutboxRecord> Peek(std::size_t limit) const;

  // Removes the records with these keys (after the database has them).
  bool Remove(const std::vector<std::string>& keys, std::string& error);

  // Moves the record with this key to the file of refused records beside the
  // outbox (kRefusedVerdictsFileName), under a line with `note` (when and
  // why), and takes it out of the outbox: first written there, then removed
  // here, so a crash between keeps it in both (never in neither).
  bool SetAside(const std::string& key, const std::string& note, std::string& error);

  // The file of refused records.
  std::string RefusedPath() const;

  std::size_t Size() const;

 private:
  bool WriteLocked(const std::vector<OutboxRecord>& rows, std::string& error);

  FileSystem& files_;
  std::string path_;
  Durability durability_;
  mutable std::mutex mutex_;
  std::vector<OutboxRecord> rows_;
};

}  // namespace kx20
