#include "line/line_schema.h"

#include <cstdlib>

#include "line/lease_journal.h"
#include "line/line_link.h"

namespace kx20 {
namespace {

// Taken by every init and release so that two at once do not both create or
// migrate the schema.
constexpr const char* kInitLock = "SELECT pg_advisory_xact_lock(7382011)";

// Version 1 as it was first installed; a new line is made by creating it and
// migrating it, so the migration is the one path every line takes.
constexpr const char* kCreateV1 = R"sql(
CREATE SCHEMA IF NOT EXISTS kx20;
CREATE TABLE kx20.schema_version (
  version      integer     NOT NULL,
  installed_at timestamptz NOT NULL DEFAULT now()
);
CREATE TABLE kx20.serial_counter (
  id          integer PRIMARY KEY CHECK (id = 1),
  next_serial bigint  NOT NULL CHECK (next_serial BETWEEN 1 AND 99999999)
);
CREATE TABLE kx20.serial_takes (
  take_id      bigserial   PRIMARY KEY,
  first_serial bigint      NOT NULL,
  count        integer     NOT NULL CHECK (count >= 1),
  station      text        NOT NULL,
  slot         integer,
  drive_letter text,
  taken_at     timestamptz NOT NULL DEFAULT now()
);
CREATE TABLE kx20.verdicts (
  record_key   text        PRIMARY KEY,
  station      text        NOT NULL,
  slot         integer     NOT NULL,
  drive_letter text        NOT NULL,
  serial       bigint,
  capacity     bigint      NOT NULL,
  result       text        NOT NULL,
  error_code   text,
  started_at   timestamptz NOT NULL,
  finished_at  timestamptz NOT NULL
);
CREATE INDEX verdicts_finished_at ON kx20.verdicts (finished_at);
INSERT INTO kx20.schema_version (version) VALUES (1);
)sql";

// Version 1 -> 2. Adds tables, columns, functions and a view; changes no row.
constexpr const char* kMigrateV1ToV2 = R"sql(
CREATE TABLE kx20.line_identity (
  id         integer     PRIMARY KEY CHECK (id = 1),
  line_id    text        NOT NULL,
  created_at timestamptz NOT NULL DEFAULT now()
);
CREATE TABLE kx20.counter_changes (
  change_id   bigserial   PRIMARY KEY,
  changed_at  timestamptz NOT NULL DEFAULT now(),
  changed_by  text        NOT NULL,
  db_user     text        NOT NULL DEFAULT session_user,
  from_serial bigint,
  to_serial   bigint      NOT NULL,
  reason      text        NOT NULL
);
CREATE TABLE kx20.station_instances (
  instance_id   text        PRIMARY KEY,
  station       text        NOT NULL,
  host          text        NOT NULL,
  work_dir      text        NOT NULL,
  start_token   text        NOT NULL,
  registered_at timestamptz NOT NULL DEFAULT now(),
  started_at    timestamptz NOT NULL DEFAULT now(),
  released_at   timestamptz,
  released_by   text
);
CREATE UNIQUE INDEX station_instances_holder ON kx20.station_instances (station)
  WHERE released_at IS NULL;
ALTER TABLE kx20.serial_takes
  ADD COLUMN instance_id    text,
  ADD COLUMN written_off_at timestamptz;
CREATE INDEX serial_takes_station ON kx20.serial_takes (station, first_serial);
CREATE INDEX serial_takes_instance ON kx20.serial_takes (instance_id);
CREATE TABLE kx20.serial_handouts (
  record_key    text        PRIMARY KEY,
  serial        bigint      NOT NULL,
  take_id       bigint      NOT NULL,
  station       text        NOT NULL,
  instance_id   text        NOT NULL,
  slot          integer     NOT NULL,
  drive_letter  text        NOT NULL,
  handed_out_at timestamptz NOT NULL
);
CREATE INDEX serial_handouts_take ON kx20.serial_handouts (take_id, serial);
CREATE TABLE kx20.serial_gaps (
  gap_id       bigserial   PRIMARY KEY,
  first_serial bigint      NOT NULL,
  count        integer     NOT NULL CHECK (count >= 1),
  station      text        NOT NULL,
  instance_id  text,
  take_id      bigint,
  reason       text        NOT NULL,
  recorded_at  timestamptz NOT NULL DEFAULT now(),
  recorded_by  text
);
ALTER TABLE kx20.verdicts
  ADD COLUMN issued_serial bigint,
  ADD COLUMN cut_off       boolean NOT NULL DEFAULT false,
  ADD COLUMN instance_id   text;
CREATE INDEX verdicts_serial ON kx20.verdicts (serial);
CREATE INDEX verdicts_issued_serial ON kx20.verdicts (issued_serial);

-- Every change of the counter but a take (kx20.serial_takes records those)
-- is recorded, whoever makes it: kx20ctl says who and why, a change by hand
-- is recorded under the database user.
CREATE FUNCTION kx20.record_counter_change() RETURNS trigger LANGUAGE plpgsql AS $$
BEGIN
  IF TG_OP = 'UPDATE' AND NEW.next_serial = OLD.next_serial THEN
    RETURN NULL;
  END IF;
  IF coalesce(current_setting('kx20.take', true), '') = 'on' THEN
    RETURN NULL;
  END IF;
  INSERT INTO kx20.counter_changes (changed_by, from_serial, to_serial, reason)
  VALUES (coalesce(nullif(current_setting('kx20.who', true), ''), session_user::text),
          CASE WHEN TG_OP = 'UPDATE' THEN OLD.next_serial END, NEW.next_serial,
          coalesce(nullif(current_setting('kx20.reason', true), ''), 'changed by hand'));
  RETURN NULL;
END
$$;
CREATE TRIGGER serial_counter_changes AFTER INSERT OR UPDATE ON kx20.serial_counter
  FOR EACH ROW EXECUTE FUNCTION kx20.record_counter_change();

-- A station of version 1 calls this; it must not take numbers unchecked.
CREATE OR REPLACE FUNCTION kx20.take_serials(p_station text, p_slot integer, p_letter text,
                                             p_count integer)
RETURNS bigint LANGUAGE plpgsql AS $$
BEGIN
  RAISE EXCEPTION 'the line''s database has schema version 2 and this station is older: install the newer station';
END
$$;

CREATE FUNCTION kx20.take_serials(p_line text, p_instance text, p_token text, p_station text,
                                  p_slot integer, p_letter text, p_count integer)
RETURNS TABLE (o_first bigint, o_take bigint) LANGUAGE plpgsql AS $$
DECLARE
  v_first bigint;
  v_take bigint;
BEGIN
  IF p_count IS NULL OR p_count < 1 OR p_count > 1000000 THEN
    RAISE EXCEPTION 'a take of % numbers is out of range', p_count;
  END IF;
  IF NOT EXISTS (SELECT 1 FROM kx20.line_identity WHERE line_id = p_line) THEN
    RAISE EXCEPTION 'check of the line failed: this database is not line % (no number is handed out)', p_line;
  END IF;
  PERFORM 1 FROM kx20.station_instances
    WHERE instance_id = p_instance AND station = p_station AND released_at IS NULL
      AND start_token = p_token;
  IF NOT FOUND THEN
    RAISE EXCEPTION 'check of the station''s instance failed: station % is not held by this journal''s latest start (released, or another copy of the journal started since): no number is handed out; start the station again to see why', p_station;
  END IF;
  SELECT next_serial INTO v_first FROM kx20.serial_counter WHERE id = 1 FOR UPDATE;
  IF NOT FOUND THEN
    RAISE EXCEPTION 'the line has no serial counter (kx20ctl line init)';
  END IF;
  PERFORM set_config('kx20.take', 'on', true);
  UPDATE kx20.serial_counter SET next_serial = (v_first - 1 + p_count) % 99999999 + 1 WHERE id = 1;
  PERFORM set_config('kx20.take', 'off', true);
  INSERT INTO kx20.serial_takes (first_serial, count, station, slot, drive_letter, instance_id)
    VALUES (v_first, p_count, p_station, p_slot, p_letter, p_instance)
    RETURNING take_id INTO v_take;
  o_first := v_first;
  o_take := v_take;
  RETURN NEXT;
END
$$;

-- One row per run of numbers written off (none: one row with NULL run).
CREATE FUNCTION kx20.release_station(p_station text, p_who text)
RETURNS TABLE (o_instance text, o_host text, o_work_dir text, o_first bigint, o_count integer)
LANGUAGE plpgsql AS $$
DECLARE
  inst kx20.station_instances%ROWTYPE;
  t record;
  g record;
  any_gap boolean := false;
BEGIN
  SELECT * INTO inst FROM kx20.station_instances
    WHERE station = p_station AND released_at IS NULL FOR UPDATE;
  IF NOT FOUND THEN
    RAISE EXCEPTION 'station % holds no journal on the line: nothing to release', p_station;
  END IF;
  o_instance := inst.instance_id;
  o_host := inst.host;
  o_work_dir := inst.work_dir;
  FOR t IN SELECT * FROM kx20.serial_takes
             WHERE instance_id = inst.instance_id AND slot IS NULL AND written_off_at IS NULL
             ORDER BY take_id FOR UPDATE LOOP
    FOR g IN
      WITH unused AS (
        SELECT i FROM generate_series(0, t.count - 1) AS i
        WHERE NOT EXISTS (
          SELECT 1 FROM kx20.serial_handouts h
          WHERE h.take_id = t.take_id AND h.serial = (t.first_serial - 1 + i) % 99999999 + 1)
      ), runs AS (
        SELECT i, i - row_number() OVER (ORDER BY i) AS run FROM unused
      )
      SELECT min(i) AS lo, count(*)::integer AS n FROM runs GROUP BY run ORDER BY 1
    LOOP
      o_first := (t.first_serial - 1 + g.lo) % 99999999 + 1;
      o_count := g.n;
      INSERT INTO kx20.serial_gaps (first_serial, count, station, instance_id, take_id, reason,
                                    recorded_by)
        VALUES (o_first, o_count, p_station, inst.instance_id, t.take_id,
                'released: leased, never handed out', p_who);
      any_gap := true;
      RETURN NEXT;
    END LOOP;
    UPDATE kx20.serial_takes SET written_off_at = now() WHERE take_id = t.take_id;
  END LOOP;
  UPDATE kx20.station_instances SET released_at = now(), released_by = p_who
    WHERE instance_id = inst.instance_id;
  IF NOT any_gap THEN
    o_first := NULL;
    o_count := NULL;
    RETURN NEXT;
  END IF;
END
$$;

-- Each number handed out (a take for one disk, or a leased number's
-- hand-out) with where it went and the verdict of its disk: Pass, FAIL with
-- its error code, or cut off; no verdict (yet) when none has arrived.
CREATE VIEW kx20.serial_fates AS
SELECT n.serial, n.station, n.slot, n.drive_letter, n.handed_out_at, n.take_id,
       v.result, v.error_code, coalesce(v.cut_off, false) AS cut_off,
       v.serial AS table_serial, v.record_key AS verdict_key
FROM (
  SELECT t.first_serial AS serial, t.station, t.slot, t.drive_letter,
         t.taken_at AS handed_out_at, t.take_id
  FROM kx20.serial_takes t WHERE t.slot IS NOT NULL
  UNION ALL
  SELECT h.serial, h.station, h.slot, h.drive_letter, h.handed_out_at, h.take_id
  FROM kx20.serial_handouts h
) n
LEFT JOIN LATERAL (
  SELECT v.result, v.error_code, v.cut_off, v.serial, v.record_key
  FROM kx20.verdicts v
  WHERE v.station = n.station
    AND (v.issued_serial = n.serial OR (v.issued_serial IS NULL AND v.serial = n.serial))
  ORDER BY v.finished_at
  LIMIT 1
) v ON true;

INSERT INTO kx20.schema_version (version) VALUES (2);
)sql";

// The highest number ever taken (a take across the wrap reaches 99999999),
// or recorded on a disk: 0 when none.
constexpr const char* kHighestTaken = R"sql(
SELECT greatest(
  (SELECT coalesce(max(CASE WHEN first_serial + count - 1 > 99999999 THEN 99999999
                            ELSE first_serial + count - 1 END), 0)
   FROM kx20.serial_takes),
  (SELECT coalesce(max(greatest(serial, issued_serial)), 0) FROM kx20.verdicts))
)sql";

std::string Text(const PgResult& r, std::size_t row = 0, std::size_t col = 0) {
  if (r.rows.size() <= row || r.rows[row].size() <= col || !r.rows[row][col]) return "";
  return *r.rows[row][col];
}

std::uint64_t Number(const PgResult& r, std::size_t row = 0, std::size_t col = 0) {
  return std::strtoull(Text(r, row, col).c_str(), nullptr, 10);
}

}  // namespace

bool InitLineSchema(LineLink& link, const LineInitOptions& options, std::string& message) {
  const std::optional<std::uint32_t>& next = options.next;
  if (next && (*next < 1 || *next > kLargestSerial)) {
    message = "the next serial number must be 1 to 99999999";
    return false;
  }
  std::string error;
  const auto failed = [&](const std::string& what) {
    std::string ignored;
    link.Exec("ROLLBACK", {}, nullptr, ignored);
    message = what + (error.empty() ? "" : ": " + error);
    return false;
  };
  if (!link.Exec("BEGIN", {}, nullptr, error)) {
    message = "cannot reach the line's database: " + error;
    return false;
  }
  if (!link.Exec(kInitLock, {}, nullptr, error)) return failed("cannot lock the schema");
  const std::string who = options.who.empty() ? "kx20ctl" : options.who;
  if (!link.Exec("SELECT set_config('kx20.who', $1, true)", {who}, nullptr, error)) {
    return failed("cannot name who changes the line");
  }
  PgResult present;
  if (!link.Exec("SELECT to_regclass('kx20.schema_version') IS NOT NULL", {}, &present, error)) {
    return failed("cannot look for the schema");
  }

  std::string done;  // what was done, for the message
  if (Text(present) != "t") {
    const std::string first = std::to_string(next.value_or(1));
    if (!link.Exec(kCreateV1, {}, nullptr, error) ||
        !link.Exec(kMigrateV1ToV2, {}, nullptr, error)) {
      return failed("cannot create the schema");
    }
    const std::string lineId = NewRandomId();
    if (!link.Exec("INSERT INTO kx20.line_identity (id, line_id) VALUES (1, $1)", {lineId},
                   nullptr, error) ||
        !link.Exec("SELECT set_config('kx20.reason', 'line created', true)", {}, nullptr,
                   error) ||
        !link.Exec("INSERT INTO kx20.serial_counter (id, next_serial) VALUES (1, $1)", {first},
                   nullptr, error)) {
      return failed("cannot fill the schema");
    }
    if (!link.Exec("COMMIT", {}, nullptr, error)) return failed("cannot commit");
    message = "schema kx20 version " + std::to_string(kLineSchemaVersion) + " created for line " +
              lineId + "; next serial number " + first;
    return true;
  }

  PgResult version;
  if (!link.Exec("SELECT coalesce(max(version), 0) FROM kx20.schema_version", {}, &version,
                 error)) {
    return failed("cannot read the schema version");
  }
  const int installed = static_cast<int>(Number(version));
  if (installed > kLineSchemaVersion || installed < 1) {
    error = "schema version " + std::to_string(installed) + " is installed, this program knows " +
            "versions 1 and " + std::to_string(kLineSchemaVersion);
    return failed("refused");
  }
  if (installed == 1) {
    PgResult counts;
    if (!link.Exec("SELECT (SELECT count(*) FROM kx20.serial_takes), "
                   "(SELECT count(*) FROM kx20.verdicts)",
                   {}, &counts, error)) {
      return failed("cannot read the version 1 schema");
    }
    const std::string lineId = NewRandomId();
    if (!link.Exec(kMigrateV1ToV2, {}, nullptr, error) ||
        !link.Exec("INSERT INTO kx20.line_identity (id, line_id) VALUES (1, $1)", {lineId},
                   nullptr, error)) {
      return failed("cannot migrate the schema from version 1 (nothing was changed)");
    }
    done = "schema kx20 migrated from version 1 to " + std::to_string(kLineSchemaVersion) +
           " (every row kept: " + Text(counts, 0, 0) + " take(s), " + Text(counts, 0, 1) +
           " verdict(s)); line id " + lineId;
  } else {
    PgResult line;
    if (!link.Exec("SELECT line_id FROM kx20.line_identity WHERE id = 1", {}, &line, error)) {
      return failed("cannot read the line's id");
    }
    done = "schema kx20 version " + std::to_string(kLineSchemaVersion) + " present (line " +
           Text(line) + ")";
  }

  PgResult counter;
  if (!link.Exec("SELECT next_serial FROM kx20.serial_counter WHERE id = 1 FOR UPDATE", {},
                 &counter, error) ||
      counter.rows.empty()) {
    if (error.empty()) error = "the line has no counter row";
    return failed("cannot read the serial counter");
  }
  const std::uint64_t current = Number(counter);
  if (!next) {
    if (!link.Exec("COMMIT", {}, nullptr, error)) return failed("cannot commit");
    message = done + "; nothing else changed (next serial number " + std::to_string(current) + ")";
    return true;
  }
  if (*next == current) {
    if (!link.Exec("COMMIT", {}, nullptr, error)) return failed("cannot commit");
    message = done + "; the next serial number is " + std::to_string(current) + " already";
    return true;
  }
  PgResult highest;
  if (!link.Exec(kHighestTaken, {}, &highest, error)) {
    return failed("cannot find the highest number taken");
  }
  const std::uint64_t top = Number(highest);
  const bool back = *next <= top;
  if (back && !options.force) {
    // Commit what was migrated; the counter stays.
    if (!link.Exec("COMMIT", {}, nullptr, error)) return failed("cannot commit");
    message = done + "; refused to set the next serial number to " + std::to_string(*next) +
              ": it is at or below " + std::to_string(top) +
              ", the highest number the line has handed out, so numbers would repeat. The next "
              "number stays " + std::to_string(current) + ". Choose a number above " +
              std::to_string(top) + ", or add --force if every number from " +
              std::to_string(*next) + " on is known to be unused (e.g. a new range after the " +
              "wrap from 99999999 to 1)";
    return false;
  }
  const std::string reason =
      back ? "kx20ctl line init --next " + std::to_string(*next) +
                 " --force: at or below the highest number taken (" + std::to_string(top) + ")"
           : "kx20ctl line init --next " + std::to_string(*next);
  if (!link.Exec("SELECT set_config('kx20.reason', $1, true)", {reason}, nullptr, error) ||
      !link.Exec("UPDATE kx20.serial_counter SET next_serial = $1 WHERE id = 1",
                 {std::to_string(*next)}, nullptr, error)) {
    return failed("cannot set the next serial number");
  }
  if (!link.Exec("COMMIT", {}, nullptr, error)) return failed("cannot commit");
  message = done + "; next serial number moved from " + std::to_string(current) + " to " +
            std::to_string(*next) +
            (back ? " (forced: at or below the highest number taken, " + std::to_string(top) + ")"
                  : "") +
            "; the change is recorded in kx20.counter_changes";
  return true;
}

bool ReleaseStation(LineLink& link, const std::string& station, const std::string& who,
                    ReleaseResult& result, std::string& error) {
  result = ReleaseResult{};
  const auto failed = [&] {
    std::string ignored;
    if (link.Connected()) link.Exec("ROLLBACK", {}, nullptr, ignored);
    return false;
  };
  if (!link.Exec("BEGIN", {}, nullptr, error)) return false;
  PgResult version;
  if (!link.Exec(kInitLock, {}, nullptr, error) ||
      !link.Exec("SELECT CASE WHEN to_regclass('kx20.schema_version') IS NULL THEN 0 ELSE "
                 "(SELECT coalesce(max(version), 0) FROM kx20.schema_version) END",
                 {}, &version, error)) {
    return failed();
  }
  if (Number(version) != static_cast<std::uint64_t>(kLineSchemaVersion)) {
    error = Number(version) == 0 ? "the database has no kx20 schema (kx20ctl line init)"
                                 : "the database has schema version " + Text(version) +
                                       "; run kx20ctl line init first (it migrates it)";
    return failed();
  }
  PgResult rows;
  if (!link.Exec("SELECT o_instance, o_host, o_work_dir, o_first, o_count "
                 "FROM kx20.release_station($1, $2)",
                 {station, who}, &rows, error)) {
    return failed();
  }
  for (std::size_t i = 0; i < rows.rows.size(); ++i) {
    result.instanceId = Text(rows, i, 0);
    result.host = Text(rows, i, 1);
    result.directory = Text(rows, i, 2);
    if (!Text(rows, i, 3).empty()) {
      const auto first = static_cast<std::uint32_t>(Number(rows, i, 3));
      const auto count = static_cast<std::uint32_t>(Number(rows, i, 4));
      result.gaps.emplace_back(first, count);
      result.numbersWrittenOff += count;
    }
  }
  if (!link.Exec("COMMIT", {}, nullptr, error)) return failed();
  return true;
}

}  // namespace kx20
