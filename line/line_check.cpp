#include "line/line_check.h"

namespace kx20 {
namespace {

CheckOutcome Refuse(LineCheck check, std::string message) {
  CheckOutcome out;
  out.failed = check;
  out.message = std::move(message);
  return out;
}

std::string Quoted(const std::string& s) { return "\"" + s + "\""; }

std::string Where(const InstanceRecord& r) {
  std::string s = "host " + (r.host.empty() ? std::string("?") : r.host) + ", work directory " +
                  (r.directory.empty() ? std::string("?") : r.directory);
  if (!r.startedAt.empty()) s += ", started " + r.startedAt;
  return s;
}

std::string LeaseText(const Lease& l) {
  std::string s = "the lease of " + std::to_string(l.count) + " number(s) from " +
                  std::to_string(l.first);
  if (l.takeId != 0) s += " (take " + std::to_string(l.takeId) + ")";
  return s;
}

// What to do when the database does not match the journal's numbers: it is
// the wrong one or one restored from an older backup.
std::string RestoredAdvice(const LeaseState& journal) {
  const std::uint32_t next = SerialAfter(journal.seen);
  return "If --line names the wrong database, point it at the line's current one. If this is "
         "the line's database, restored from an older backup or with its counter moved back, "
         "move the counter beyond every number handed out (at least `kx20ctl line init CONNINFO "
         "--next " + std::to_string(next) + "`, higher if other stations took numbers since the "
         "backup) and start again; a lease the database no longer knows is then given up by "
         "removing " + std::string(kLeaseJournalFileName) + " (its numbers become gaps).";
}

}  // namespace

CheckOutcome CheckJournalHome(const LeaseState& journal, const JournalHome& here) {
  if (journal.format == 1 || journal.home == here) return {};
  return Refuse(
      LineCheck::kHome,
      "check of the journal's home failed: " + std::string(kLeaseJournalFileName) +
          " of station " + Quoted(journal.station) + " was made on host " + journal.home.host +
          " in " + journal.home.directory + ", not here (host " + here.host + ", " +
          here.directory +
          "): a copied journal would hand out the same numbers as its original. Start the "
          "station where its journal was made. If the station has moved here for good, stop "
          "the old one, run `kx20ctl line release CONNINFO " + journal.station +
          "` (its unused leased numbers are written off as gaps) and remove " +
          kLeaseJournalFileName + " here.");
}

CheckOutcome CheckJournalAgainstLine(const LeaseState& journal, const LineFacts& facts,
                                     CheckWhen when) {
  const std::string& station = journal.station;

  // The schema.
  if (facts.schemaVersion == 0) {
    return Refuse(LineCheck::kSchema,
                  "check of the line's schema failed: the database has no kx20 schema; create "
                  "it with `kx20ctl line init CONNINFO`");
  }
  if (facts.schemaVersion < kLineSchemaVersion) {
    return Refuse(LineCheck::kSchema,
                  "check of the line's schema failed: the database has schema version " +
                      std::to_string(facts.schemaVersion) + ", this station needs version " +
                      std::to_string(kLineSchemaVersion) +
                      "; migrate it once with `kx20ctl line init CONNINFO` (every row is kept)");
  }
  if (facts.schemaVersion > kLineSchemaVersion) {
    return Refuse(LineCheck::kSchema,
                  "check of the line's schema failed: the database has schema version " +
                      std::to_string(facts.schemaVersion) + ", newer than this station knows (" +
                      std::to_string(kLineSchemaVersion) + "); install the newer station");
  }

  // The line.
  if (!journal.lineId.empty() && journal.lineId != facts.lineId) {
    return Refuse(
        LineCheck::kLine,
        "check of the line failed: this station's journal (" + std::string(kLeaseJournalFileName) +
            ") belongs to line " + journal.lineId + ", but the database named by --line is line " +
            facts.lineId +
            ": numbers of two lines would mix and repeat. Point --line at line " +
            journal.lineId + "'s database. If this station now belongs to line " + facts.lineId +
            " for good, run `kx20ctl line release CONNINFO " + station + "` on line " +
            journal.lineId + "'s database and remove " + kLeaseJournalFileName + ".");
  }

  CheckOutcome out;
  // The instance: the station's name belongs to this journal.
  if (facts.ours) {
    const InstanceRecord& ours = *facts.ours;
    if (ours.station != station) {
      return Refuse(LineCheck::kInstance,
                    "check of the station's instance failed: the line records this journal's "
                    "instance for station " + Quoted(ours.station) + ", not " + Quoted(station) +
                    "; restore the journal of this work directory or remove it");
    }
    if (!ours.releasedAt.empty()) {
      return Refuse(LineCheck::kInstance,
                    "check of the station's instance failed: this journal's instance of station " +
                        Quoted(station) + " was released on the line (" +
                        (ours.releasedBy.empty() ? std::string() : "by " + ours.releasedBy + " ") +
                        "at " + ours.releasedAt +
                        ") and its unused numbers written off as gaps; remove " +
                        kLeaseJournalFileName +
                        " from this work directory to start the station as a new instance");
    }
    const bool tokenOk =
        ours.startToken == journal.startToken ||
        (when == CheckWhen::kStart && !journal.previousToken.empty() &&
         ours.startToken == journal.previousToken);
    if (!tokenOk) {
      return Refuse(
          LineCheck::kInstance,
          "check of the station's instance failed: another copy of station " + Quoted(station) +
              "'s journal has started on the line since this one did (" + Where(ours) +
              "): two copies would hand out the same numbers. Run only one. To go on here, "
              "stop the other, run `kx20ctl line release CONNINFO " + station +
              "` and remove " + kLeaseJournalFileName + " here.");
    }
  } else if (facts.holder) {
    return Refuse(
        LineCheck::kInstance,
        "check of the station's name failed: station " + Quoted(station) +
            " belongs to another journal on the line (" + Where(*facts.holder) +
            "). Give this station another --station name, or, if that station is gone for "
            "good, run `kx20ctl line release CONNINFO " + station +
            "` (its unused leased numbers are written off as gaps) and start again.");
  } else if (!journal.lineId.empty() || when == CheckWhen::kLease) {
    return Refuse(LineCheck::kInstance,
                  "check of the station's instance failed: the line's database does not know "
                  "this journal's instance of station " + Quoted(station) +
                      " although the journal has been on this line: a database restored from a "
                      "backup older than the station's first start? " +
                      RestoredAdvice(journal));
  } else {
    out.registerInstance = true;
  }

  // The leases: each recorded as this station's take.
  for (std::size_t i = 0; i < journal.leases.size(); ++i) {
    const Lease& lease = journal.leases[i];
    if (lease.Remaining() == 0) continue;
    if (lease.takeId == 0) {
      // A format 1 journal: the take with this station, first number and size
      // that no instance holds yet.
      std::optional<std::uint64_t> match;
      int matches = 0;
      for (const TakeRecord& t : facts.takes) {
        if (t.station == station && t.first == lease.first && t.count == lease.count &&
            t.instanceId.empty() && !t.writtenOff) {
          match = t.takeId;
          ++matches;
        }
      }
      if (when != CheckWhen::kStart || matches != 1) {
        return Refuse(LineCheck::kLease,
                      "check of the lease failed: " + LeaseText(lease) +
                          " of this station's old-format journal is not recorded in the line's "
                          "database as a take of station " + Quoted(station) + ". " +
                          RestoredAdvice(journal));
      }
      out.adopt.emplace_back(i, *match);
      continue;
    }
    const TakeRecord* take = nullptr;
    for (const TakeRecord& t : facts.takes) {
      if (t.takeId == lease.takeId) take = &t;
    }
    std::string why;
    if (take == nullptr) {
      why = "the database has no such take";
    } else if (take->station != station) {
      why = "the take is station " + Quoted(take->station) + "'s";
    } else if (take->first != lease.first || take->count != lease.count) {
      why = "the take there is " + std::to_string(take->count) + " number(s) from " +
            std::to_string(take->first);
    } else if (take->instanceId != journal.instanceId) {
      why = "the take belongs to another instance of the station";
    } else if (take->writtenOff) {
      why = "its unused numbers were written off as gaps (kx20ctl line release)";
    }
    if (!why.empty()) {
      return Refuse(LineCheck::kLease, "check of the lease failed: " + LeaseText(lease) +
                                           " is not recorded in the line's database as this "
                                           "station's take (" + why + "). " +
                                           RestoredAdvice(journal));
    }
  }

  // The counter: beyond every number the journal has seen.
  if (journal.seen != 0 && !SerialIsBeyond(facts.nextSerial, journal.seen)) {
    return Refuse(LineCheck::kCounter,
                  "check of the counter failed: the line's next serial number " +
                      std::to_string(facts.nextSerial) + " is not beyond " +
                      std::to_string(journal.seen) +
                      ", the last number this station was given: numbers would repeat. " +
                      RestoredAdvice(journal));
  }
  return out;
}

}  // namespace kx20
