// The station's lease journal: serial numbers the line handed to this station
// in advance ("--lease N"), kept in a small file beside config.txt so that a
// short database outage does not stop the station, and so that a number is
// never handed out twice, not even across a crash or a power loss.
//
// The file holds the station's name and its leases (at most two: the one in
// use and the next, taken ahead of time while the line is reachable), each
// with its first number, its size and how many of its numbers have been
// handed out. Numbers run
// first, first + 1, ... and wrap from 99999999 to 1, as the line's counter
// does. Every change replaces the whole file atomically and durably
// (storage/durable_file.h), so after any crash the file holds the state before
// or after the change, never a mix:
//   - a lease is written before any of its numbers is used;
//   - a number counts as used from the moment the write that says so has
//     returned; only then is it handed out (and written to a disk).
// A crash between the database's commit of a lease and the journal's write
// leaves the lease's numbers unused for good: gaps, never repeats.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "storage/durable_file.h"

namespace kx20 {

inline constexpr const char* kLeaseJournalFileName = "serial_lease.journal";

struct Lease {
  std::uint32_t first = 0;  // 1..99999999
  std::uint32_t count = 0;  // numbers in the lease
  std::uint32_t used = 0;   // 0..count

  std::uint32_t Remaining() const { return count - used; }
  // The number at `index` within the lease (wrapping after 99999999).
  std::uint32_t NumberAt(std::uint32_t index) const;
  bool operator==(const Lease&) const = default;
};

inline constexpr std::size_t kMostLeases = 2;

struct LeaseState {
  std::string station;
  std::vector<Lease> leases;  // in the order they are used; none used up

  std::uint32_t Remaining() const;

  std::string Format() const;
  // Parses a journal's text. Any damage (unknown header, missing or
  // out-of-range field, used > count, too many leases) gives nullopt and
  // `error`: a station must then refuse to hand out leased numbers rather
  // than guess.
  static std::optional<LeaseState> Parse(const std::string& text, std::string& error);
};

class LeaseJournal {
 public:
  LeaseJournal(FileSystem& files, std::string path, std::string station,
               Durability durability = Durability::kDurable)
      : files_(files), path_(std::move(path)), station_(std::move(station)),
        durability_(durability) {}

  // Reads the journal. A missing file is an empty journal; a damaged one, or
  // one written for another station, fails with `error` and the journal
  // stays unusable (Take refuses) until the file is mended or removed.
  bool Load(std::string& error);

  // Numbers still to hand out from all leases.
  std::uint32_t Remaining() const { return state_ ? state_->Remaining() : 0; }

  // Takes the next leased number: the journal is first rewritten with one
  // more number used, then the number is returned. False (nothing handed
  // out) when the lease is empty, the journal unusable, or the write fails.
  bool Take(std::uint32_t& number, std::string& error);

  // Records a new lease of `count` numbers from `first`, after those the
  // journal holds (a lease is never dropped while it has numbers). Refused
  // when the journal holds kMostLeases leases with numbers already.
  bool AddLease(std::uint32_t first, std::uint32_t count, std::string& error);

  const std::string& Path() const { return path_; }

 private:
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
