// The verdict outbox: every verdict the station gives in line mode waits here,
// in a durable file beside config.txt, until the line's database has it.
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
#include <vector>

#include "storage/durable_file.h"

namespace kx20 {

inline constexpr const char* kVerdictOutboxFileName = "verdicts.outbox";

// One row of kx20.verdicts, as texts ready for the database.
struct VerdictRow {
  std::string recordKey;
  std::string station;
  int slot = 0;
  char driveLetter = '?';
  std::optional<std::uint32_t> serial;  // none for a failure
  std::uint64_t capacity = 0;           // sectors (last LBA + 1), 0 when unknown
  std::string result;                   // "Pass" or "FAIL"
  std::string errorCode;                // empty on a pass
  std::string startedAt;                // "YYYY-MM-DD HH:MM:SS.mmm+00"
  std::string finishedAt;

  bool operator==(const VerdictRow&) const = default;
};

// A fresh record key: "<station>-<32 hex digits>" from a random source.
std::string NewRecordKey(const std::string& station);

// The outbox file's text, and back. Parse refuses damage (a torn or foreign
// file) with `error` rather than dropping records silently.
std::string FormatOutbox(const std::vector<VerdictRow>& rows);
std::optional<std::vector<VerdictRow>> ParseOutbox(const std::string& text, std::string& error);

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
  bool Add(const VerdictRow& row, std::string& error);

  // Up to `limit` records, oldest first, for sending.
  std::vector<VerdictRow> Peek(std::size_t limit) const;

  // Removes the records with these keys (after the database has them).
  bool Remove(const std::vector<std::string>& keys, std::string& error);

  std::size_t Size() const;

 private:
  bool WriteLocked(const std::vector<VerdictRow>& rows, std::string& error);

  FileSystem& files_;
  std::string path_;
  Durability durability_;
  mutable std::mutex mutex_;
  std::vector<VerdictRow> rows_;
};

}  // namespace kx20
