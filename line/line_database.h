// The statements a line station sends to the line's database (schema in
// line_schema.h), each through LineLink::Exec with text parameters. Every
// function reports failure as false with `error` (the server's words); when
// it failed because the database could not be reached, the link is no longer
// connected afterwards.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "line/lease_journal.h"
#include "line/line_check.h"
#include "line/line_link.h"
#include "line/verdict_outbox.h"

namespace kx20 {

// Reads what the checks of `journal` need, in one read-only transaction. A
// schema of another version than this station knows stops the reading there
// (facts.schemaVersion says which).
bool ReadLineFacts(LineLink& link, const LeaseState& journal, LineFacts& facts, std::string& error);

// Carries out a passed start check in one transaction: registers the
// journal's instance (outcome.registerInstance, with the journal's start
// token), records the takes of a format 1 journal's leases as this instance's
// (outcome.adopt), and otherwise renews the start token from `fromToken` to
// `journal.startToken` (host and directory too). False when the database
// refused (another instance registered, or another copy renewed the token,
// meanwhile) or could not be reached.
bool ClaimInstance(LineLink& link, const LeaseState& journal, const CheckOutcome& outcome,
                   const std::string& fromToken, std::string& error);

struct TakenSerials {
  std::uint32_t first = 0;
  std::uint64_t takeId = 0;
};

// Takes `count` numbers for the journal's instance (kx20.take_serials): for
// one disk (`slot` and `letter` given) or a lease (neither).
bool TakeSerials(LineLink& link, const LeaseState& journal, std::optional<int> slot,
                 std::optional<char> letter, std::uint32_t count, TakenSerials& taken,
                 std::string& error);

// Inserts the records in one transaction, each once (ON CONFLICT DO NOTHING
// on its key), after checking that the database is line `lineId`.
bool SendRecords(LineLink& link, const std::string& lineId, const std::vector<OutboxRecord>& records,
                 std::string& error);

}  // namespace kx20
