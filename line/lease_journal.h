// The station's journal: who this station is on its line, and the serial
// numbers the line handed to it in advance ("--lease N"), kept in a small file
// beside config.txt so that a short database outage does not stop the
// station, and so that a number is never handed out twice, not even across a
// crash or a power loss.
//
// The file holds:
//   - the station's name, the line's id (once the line has been checked), and
//     this journal's instance id: a random id made when the journal is
//     created, registered on the line, so that one station name belongs to one
//     journal at a time;
//   - where the journal was made (host and work directory): a journal found
//     elsewhere is a copy, and a copy would hand out its original's numbers;
//   - the start token: a random value renewed at every start and kept on the
//     line too, with the one before it, so that of two copies of one journal
//     only the one that started last goes on;
//   - the last number the line gave this journal ("seen"): the line's counter
//     must lie beyond it, or the database was restored or moved back;
//   - the leases (at most two: the one in use and the next, taken ahead of
//     time while the line is reachable), each with the line's take id, its
//     first number, its size and how many of its numbers have been handed out;
//   - the hand-outs not yet known to be in the verdict outbox (number, take,
//     slot, drive letter, time).
// Numbers run first, first + 1, ... and wrap from 99999999 to 1, as the line's
// counter does. Every change replaces the whole file atomically and durably
// (storage/durable_file.h), so after any crash the file holds the state before
// or after the change, never a mix:
//   - a lease is written before any of its numbers is used;
//   - a number counts as used from the moment the write that says so (with its
//     hand-out) has returned; only then is it handed out (and written to a
//     disk).
// A crash between the database's commit of a lease and the journal's write
// leaves the lease's numbers unused for good: gaps, never repeats.
//
// Format 1 journals (station and leases only, from before the line had ids)
// are read as such: their leases carry no take id and the station matches
// them to the line's takes once before using them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "storage/durable_file.h"

namespace kx20 {

inline constexpr const char* kLeaseJournalFileName = "serial_lease.journal";
inline constexpr std::uint32_t kLargestSerial = 99999999;

// The number after `n` on the line's counter: n + 1, or 1 after 99999999.
std::uint32_t SerialAfter(std::uint32_t n);

// True when `next` lies beyond `seen` on the counter, allowing for the wrap:
// it is 1 to half the counter's range ahead of it. A counter that stands at
// or behind a number already given out (a restored database, a counter moved
// back) is not beyond it.
bool SerialIsBeyond(std::uint32_t next, std::uint32_t seen);

// A fresh random id of 32 hexadecimal digits (128 bits).
std::string NewRandomId();

struct Lease {
  std::uint32_t first = 0;   // 1..99999999
  std::uint32_t count = 0;   // numbers in the lease
  std::uint32_t used = 0;    // 0..count
  std::uint64_t takeId = 0;  // the line's take; 0 in a format 1 journal

  std::uint32_t Remaining() const { return count - used; }
  // The number at `index` within the lease (wrapping after 99999999).
  std::uint32_t NumberAt(std::uint32_t index) const;
  std::uint32_t Last() const { return NumberAt(count - 1); }
  bool operator==(const Lease&) const = default;
};

// A number handed out from a lease, until the outbox has its record.
struct HandOut {
  std::uint32_t serial = 0;
  std::uint64_t takeId = 0;
  int slot = 0;
  char driveLetter = '?';
  std::string at;  // UTC, "YYYY-MM-DD HH:MM:SS.mmm+00"
  bool operator==(const HandOut&) const = default;
};

struct JournalHome {
  std::string host;
  std::string directory;  // absolute
  bool operator==(const JournalHome&) const = default;
};

inline constexpr std::size_t kMostLeases = 2;
inline constexpr int kLeaseJournalFormat = 2;

struct LeaseState {
  int format = kLeaseJournalFormat;  // 1: read from a journal of the old format
  std::string station;
  std::string lineId;      // empty until the line has been checked
  std::string instanceId;  // empty only in a format 1 journal
  JournalHome home;
  std::string startToken;
  std::string previousToken;  // empty when none
  std::uint32_t seen = 0;     // the last number the line gave this journal; 0: none
  std::vector<Lease> leases;  // in the order they are used; none used up
  std::vector<HandOut> handOuts;

  std::uint32_t Remaining() const;

  // The text of a format 2 journal (whatever `format` says).
  std::string Format() const;
  // Parses a journal's text (format 1 or 2). Any damage (unknown header,
  // missing or out-of-range field, used > count, too many leases) gives
  // nullopt and `error`: a station must then refuse to hand out leased
  // numbers rather than guess. A newer format is refused as such.
  static std::optional<LeaseState> Parse(const std::string& text, std::string& error);
};

class LeaseJournal {
 public:
  LeaseJournal(FileSystem& files, std::string path, std::string station,
               Durability durability = Durability::kDurable)
      : files_(files), path_(std::move(path)), station_(std::move(station)),
        durability_(durability) {}

  // Reads the journal. A missing file is no journal (Exists() false); one
  // that exists but cannot be read, a damaged one, or one written for another
  // station fails with `error`, and the journal stays unusable (Take refuses)
  // until the file is mended or removed.
  bool Load(std::string& error);

  // Makes a new journal for this station (a new instance, made at `home`)
  // and writes it. Only when none exists.
  bool Create(const JournalHome& home, std::string& error);

  bool Exists() const { return state_.has_value(); }
  // The journal as last read or written (Exists() must hold).
  const LeaseState& State() const { return *state_; }

  // Replaces the journal with `next` (identity changes: the line's id, the
  // start token, take ids found for a format 1 journal). The station name
  // and the instance cannot change.
  bool Update(const LeaseState& next, std::string& error);

  // Numbers still to hand out from all leases.
  std::uint32_t Remaining() const { return state_ ? state_->Remaining() : 0; }

  // The lease the next number comes from (nullopt when none is left).
  std::optional<Lease> NextLease() const;

  // Takes the next leased number for `handOut` (its slot, letter and time):
  // the journal is first rewritten with one more number used and the
  // hand-out, then the number is returned (and filled into `handOut` with
  // its take). False (nothing handed out) when the lease is empty, the
  // journal unusable, or the write fails.
  bool Take(HandOut& handOut, std::string& error);
  // For tests and callers without a hand-out to record.
  bool Take(std::uint32_t& number, std::string& error);

  // Records a new lease of `count` numbers from `first` (the line's take
  // `takeId`), after those the journal holds (a lease is never dropped while
  // it has numbers), and its last number as seen. Refused when the journal
  // holds kMostLeases leases with numbers already.
  bool AddLease(std::uint32_t first, std::uint32_t count, std::uint64_t takeId,
                std::string& error);

  // Records a number the line gave without a lease as seen (the next start
  // checks the line's counter against it).
  bool RecordSeen(std::uint32_t number, std::string& error);

  // The outbox has the record of this hand-out: the journal forgets it at its
  // next write (until then a restart adds it to the outbox again, which the
  // record's key makes harmless).
  void ForgetHandOut(std::uint32_t serial, std::uint64_t takeId);

  const std::string& Path() const { return path_; }

 private:
  bool Usable(std::string& error);
  bool Write(const LeaseState& next, std::string& error);

  FileSystem& files_;
  std::string path_;
  std::string station_;
  Durability durability_;
  bool loaded_ = false;
  bool broken_ = false;
  std::optional<LeaseState> state_;
};

}  // namespace kx20
