// The checks a station makes of its journal against the line's database, at
// start and before the first number of each lease is used: that the database
// is of a schema version this station knows and is the journal's line, that
// the station name belongs to this journal's instance (and that no other copy
// of the journal has started since), that every lease is recorded there as
// this station's take, and that the line's counter lies beyond every number
// the journal has seen. A journal found on another host or in another
// directory than where it was made is a copy: refused before the database is
// asked anything.
//
// The decisions are pure functions of the journal and of what the database
// said (LineFacts), so that each refusal and its message can be tested
// without a server; line_station.cpp gathers the facts and carries out what
// a passed start check asks for (registering a new instance, matching a
// format 1 journal's leases to their takes).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "line/lease_journal.h"
#include "line/line_schema.h"

namespace kx20 {

// A row of kx20.station_instances.
struct InstanceRecord {
  std::string instanceId;
  std::string station;
  std::string host;
  std::string directory;
  std::string startToken;
  std::string startedAt;   // as the database writes it
  std::string releasedAt;  // empty: not released
  std::string releasedBy;
};

// A row of kx20.serial_takes.
struct TakeRecord {
  std::uint64_t takeId = 0;
  std::string station;
  std::uint32_t first = 0;
  std::uint32_t count = 0;
  std::string instanceId;  // empty: a take from before the line had instances
  bool writtenOff = false;
};

// What the line's database says, as far as the checks need it.
struct LineFacts {
  int schemaVersion = 0;  // 0: no schema kx20
  std::string lineId;
  std::uint32_t nextSerial = 0;
  std::optional<InstanceRecord> ours;    // the journal's instance, when the line knows it
  std::optional<InstanceRecord> holder;  // another instance holding the station's name
  // The journal's takes by id; for a format 1 journal the takes of this
  // station that match a lease's first number and size.
  std::vector<TakeRecord> takes;
};

enum class LineCheck { kPassed, kSchema, kLine, kHome, kInstance, kLease, kCounter };

enum class CheckWhen {
  kStart,  // the station starts: a new instance may register, a previous
           // start token is still accepted (a start cut off before its
           // token reached the line)
  kLease,  // before the first number of a lease: nothing may change
};

struct CheckOutcome {
  LineCheck failed = LineCheck::kPassed;
  // Which check failed, why it matters and what the operator does about it.
  std::string message;
  // A passed start check: the instance is new to the line and registers.
  bool registerInstance = false;
  // A passed start check of a format 1 journal: lease index -> its take.
  std::vector<std::pair<std::size_t, std::uint64_t>> adopt;

  bool Passed() const { return failed == LineCheck::kPassed; }
};

// The journal was made at `here`, or it is a copy.
CheckOutcome CheckJournalHome(const LeaseState& journal, const JournalHome& here);

CheckOutcome CheckJournalAgainstLine(const LeaseState& journal, const LineFacts& facts,
                                     CheckWhen when);

}  // namespace kx20
