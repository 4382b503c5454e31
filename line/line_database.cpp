#include "line/line_database.h"

#include <cstdlib>
#include <variant>

namespace kx20 {
namespace {

std::string Text(const std::vector<std::optional<std::string>>& row, std::size_t col) {
  return col < row.size() && row[col] ? *row[col] : std::string();
}

std::uint64_t Number(const std::vector<std::optional<std::string>>& row, std::size_t col) {
  return std::strtoull(Text(row, col).c_str(), nullptr, 10);
}

// A PostgreSQL array literal of numbers: {1,2,3}.
template <typename T>
std::string ArrayText(const std::vector<T>& values) {
  std::string s = "{";
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (i > 0) s += ',';
    s += std::to_string(values[i]);
  }
  return s + "}";
}

// Ends a failed transaction when the connection still stands; returns false.
bool RollBack(LineLink& link) {
  std::string ignored;
  if (link.Connected()) link.Exec("ROLLBACK", {}, nullptr, ignored);
  return false;
}

constexpr const char* kTime = "'YYYY-MM-DD HH24:MI:SS \"UTC\"'";

}  // namespace

bool ReadLineFacts(LineLink& link, const LeaseState& journal, LineFacts& facts, std::string& error) {
  facts = LineFacts{};
  if (!link.Exec("BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY", {}, nullptr, error)) {
    return false;
  }
  PgResult version;
  if (!link.Exec("SELECT CASE WHEN to_regclass('kx20.schema_version') IS NULL THEN 0 ELSE "
                 "(SELECT coalesce(max(version), 0) FROM kx20.schema_version) END",
                 {}, &version, error) ||
      version.rows.empty()) {
    return RollBack(link);
  }
  facts.schemaVersion = static_cast<int>(Number(version.rows[0], 0));
  if (facts.schemaVersion != kLineSchemaVersion) return link.Exec("COMMIT", {}, nullptr, error);

  PgResult line;
  if (!link.Exec("SELECT (SELECT line_id FROM kx20.line_identity WHERE id = 1), "
                 "(SELECT next_serial FROM kx20.serial_counter WHERE id = 1)",
                 {}, &line, error) ||
      line.rows.empty()) {
    return RollBack(link);
  }
  facts.lineId = Text(line.rows[0], 0);
  facts.nextSerial = static_cast<std::uint32_t>(Number(line.rows[0], 1));

  PgResult instances;
  if (!link.Exec(std::string("SELECT instance_id, station, host, work_dir, start_token, "
                             "to_char(started_at AT TIME ZONE 'UTC', ") + kTime + "), "
                 "coalesce(to_char(released_at AT TIME ZONE 'UTC', " + kTime + "), ''), "
                 "coalesce(released_by, '') FROM kx20.station_instances "
                 "WHERE instance_id = $1 OR (station = $2 AND released_at IS NULL)",
                 {journal.instanceId, journal.station}, &instances, error)) {
    return RollBack(link);
  }
  for (const auto& row : instances.rows) {
    InstanceRecord r{Text(row, 0), Text(row, 1), Text(row, 2), Text(row, 3),
                     Text(row, 4), Text(row, 5), Text(row, 6), Text(row, 7)};
    if (r.instanceId == journal.instanceId) {
      facts.ours = r;
    } else {
      facts.holder = r;
    }
  }

  // The journal's takes by id; for leases without one (a journal of format
  // 1), this station's unclaimed lease takes of the same first number and size.
  std::vector<std::uint64_t> ids;
  std::vector<std::uint32_t> firsts, counts;
  for (const Lease& l : journal.leases) {
    if (l.takeId != 0) {
      ids.push_back(l.takeId);
    } else {
      firsts.push_back(l.first);
      counts.push_back(l.count);
    }
  }
  if (!ids.empty() || !firsts.empty()) {
    PgResult takes;
    if (!link.Exec("SELECT take_id, station, first_serial, count, coalesce(instance_id, ''), "
                   "written_off_at IS NOT NULL FROM kx20.serial_takes "
                   "WHERE take_id = ANY($1::bigint[]) OR (station = $2 AND slot IS NULL AND "
                   "instance_id IS NULL AND (first_serial, count) IN "
                   "(SELECT * FROM unnest($3::bigint[], $4::integer[])))",
                   {ArrayText(ids), journal.station, ArrayText(firsts), ArrayText(counts)},
                   &takes, error)) {
      return RollBack(link);
    }
    for (const auto& row : takes.rows) {
      TakeRecord t;
      t.takeId = Number(row, 0);
      t.station = Text(row, 1);
      t.first = static_cast<std::uint32_t>(Number(row, 2));
      t.count = static_cast<std::uint32_t>(Number(row, 3));
      t.instanceId = Text(row, 4);
      t.writtenOff = Text(row, 5) == "t";
      facts.takes.push_back(t);
    }
  }
  return link.Exec("COMMIT", {}, nullptr, error) || RollBack(link);
}

bool ClaimInstance(LineLink& link, const LeaseState& journal, const CheckOutcome& outcome,
                   const std::string& fromToken, std::string& error) {
  if (!link.Exec("BEGIN", {}, nullptr, error)) return false;
  if (outcome.registerInstance) {
    if (!link.Exec("INSERT INTO kx20.station_instances (instance_id, station, host, work_dir, "
                   "start_token) VALUES ($1, $2, $3, $4, $5)",
                   {journal.instanceId, journal.station, journal.home.host,
                    journal.home.directory, journal.startToken},
                   nullptr, error)) {
      if (link.Connected()) {
        error = "station \"" + journal.station +
                "\" was registered on the line by another journal at the same time (" + error +
                "); start the station again to see which";
      }
      return RollBack(link);
    }
  } else {
    PgResult renewed;
    if (!link.Exec("UPDATE kx20.station_instances SET start_token = $1, host = $2, "
                   "work_dir = $3, started_at = now() "
                   "WHERE instance_id = $4 AND start_token = $5 AND released_at IS NULL",
                   {journal.startToken, journal.home.host, journal.home.directory,
                    journal.instanceId, fromToken},
                   &renewed, error)) {
      return RollBack(link);
    }
    if (renewed.commandTag != "UPDATE 1") {
      error = "another copy of station \"" + journal.station +
              "\"'s journal started at the same time, or the station was released meanwhile; "
              "start the station again to see which";
      return RollBack(link);
    }
  }
  for (const auto& [index, takeId] : outcome.adopt) {
    PgResult adopted;
    if (!link.Exec("UPDATE kx20.serial_takes SET instance_id = $1 "
                   "WHERE take_id = $2 AND station = $3 AND instance_id IS NULL",
                   {journal.instanceId, std::to_string(takeId), journal.station}, &adopted,
                   error)) {
      return RollBack(link);
    }
    if (adopted.commandTag != "UPDATE 1") {
      error = "the take " + std::to_string(takeId) + " of the lease from " +
              std::to_string(journal.leases.at(index).first) +
              " was claimed by another journal meanwhile";
      return RollBack(link);
    }
  }
  return link.Exec("COMMIT", {}, nullptr, error) || RollBack(link);
}

bool TakeSerials(LineLink& link, const LeaseState& journal, std::optional<int> slot,
                 std::optional<char> letter, std::uint32_t count, TakenSerials& taken,
                 std::string& error) {
  PgResult result;
  if (!link.Exec("SELECT o_first, o_take FROM kx20.take_serials($1, $2, $3, $4, $5, $6, $7)",
                 {journal.lineId, journal.instanceId, journal.startToken, journal.station,
                  slot ? std::optional<std::string>(std::to_string(*slot)) : std::nullopt,
                  letter ? std::optional<std::string>(std::string(1, *letter)) : std::nullopt,
                  std::to_string(count)},
                 &result, error)) {
    return false;
  }
  const std::uint64_t first = result.rows.size() == 1 ? Number(result.rows[0], 0) : 0;
  const std::uint64_t take = result.rows.size() == 1 ? Number(result.rows[0], 1) : 0;
  if (first < 1 || first > kLargestSerial || take == 0) {
    error = "the line's database gave no valid serial number";
    return false;
  }
  taken.first = static_cast<std::uint32_t>(first);
  taken.takeId = take;
  return true;
}

bool SendRecords(LineLink& link, const std::string& lineId, const std::vector<OutboxRecord>& records,
                 std::string& error) {
  if (!link.Exec("BEGIN", {}, nullptr, error)) return RollBack(link);
  PgResult line;
  if (!link.Exec("SELECT line_id FROM kx20.line_identity WHERE id = 1", {}, &line, error)) {
    return RollBack(link);
  }
  if (line.rows.empty() || Text(line.rows[0], 0) != lineId) {
    error = "the database is not this station's line " + lineId + " (it is " +
            (line.rows.empty() ? std::string("none") : Text(line.rows[0], 0)) +
            "): nothing is sent to it";
    return RollBack(link);
  }
  const auto number = [](const std::optional<std::uint32_t>& n) {
    return n ? std::optional<std::string>(std::to_string(*n)) : std::nullopt;
  };
  const auto orNull = [](const std::string& s) {
    return s.empty() ? std::nullopt : std::optional<std::string>(s);
  };
  for (const OutboxRecord& record : records) {
    bool ok = false;
    if (const auto* r = std::get_if<VerdictRow>(&record)) {
      ok = link.Exec(
          "INSERT INTO kx20.verdicts (record_key, station, slot, drive_letter, serial, "
          "capacity, result, error_code, started_at, finished_at, issued_serial, cut_off, "
          "instance_id) VALUES ($1, $2, $3, $4, $5, $6, $7, $8, $9, $10, $11, $12, $13) "
          "ON CONFLICT (record_key) DO NOTHING",
          {r->recordKey, r->station, std::to_string(r->slot), std::string(1, r->driveLetter),
           number(r->serial), std::to_string(r->capacity), r->result, orNull(r->errorCode),
           r->startedAt, r->finishedAt, number(r->issuedSerial), r->cutOff ? "true" : "false",
           orNull(r->instanceId)},
          nullptr, error);
    } else {
      const HandOutRow& h = std::get<HandOutRow>(record);
      ok = link.Exec(
          "INSERT INTO kx20.serial_handouts (record_key, serial, take_id, station, instance_id, "
          "slot, drive_letter, handed_out_at) VALUES ($1, $2, $3, $4, $5, $6, $7, $8) "
          "ON CONFLICT (record_key) DO NOTHING",
          {h.recordKey, std::to_string(h.serial), std::to_string(h.takeId), h.station,
           h.instanceId, std::to_string(h.slot), std::string(1, h.driveLetter), h.at},
          nullptr, error);
    }
    if (!ok) return RollBack(link);
  }
  return link.Exec("COMMIT", {}, nullptr, error) || RollBack(link);
}

}  // namespace kx20
