#include "line/line_schema.h"

#include <cstdlib>
#include <string>

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

// Version 2 -> 3. What makes a verdict traceable (nullable: rows recorded
// before keep NULLs), the indexes a report's windows and groupings use, and
// the functions through which a station reads and writes, so that its role
// needs no right on any table. Changes no row.
constexpr const char* kMigrateV2ToV3 = R"sql(
ALTER TABLE kx20.verdicts
  ADD COLUMN lot              text,
  ADD COLUMN operator         text,
  ADD COLUMN software_version text,
  ADD COLUMN recipe_id        text,
  ADD COLUMN previous_serial  bigint,
  ADD COLUMN failed_step      text,
  ADD COLUMN steps            jsonb,
  ADD COLUMN rw_write_mbps    real,
  ADD COLUMN rw_read_mbps     real,
  ADD COLUMN image_write_mbps real,
  ADD COLUMN host             text;
CREATE INDEX verdicts_station_finished_at ON kx20.verdicts (station, finished_at);
CREATE INDEX verdicts_lot ON kx20.verdicts (lot, finished_at);

CREATE OR REPLACE FUNCTION kx20.take_serials(p_station text, p_slot integer, p_letter text,
                                             p_count integer)
RETURNS bigint LANGUAGE plpgsql AS $$
BEGIN
  RAISE EXCEPTION 'the line''s database has schema version 3 and this station is older: install the newer station';
END
$$;

CREATE FUNCTION kx20.line_state(OUT o_line text, OUT o_next bigint) LANGUAGE sql STABLE AS $$
  SELECT (SELECT line_id FROM kx20.line_identity WHERE id = 1),
         (SELECT next_serial FROM kx20.serial_counter WHERE id = 1)
$$;

-- The instance of a journal, and whichever instance holds the station's name.
CREATE FUNCTION kx20.station_instances_of(p_instance text, p_station text)
RETURNS TABLE (o_instance text, o_station text, o_host text, o_work_dir text, o_token text,
               o_started text, o_released text, o_released_by text)
LANGUAGE sql STABLE AS $$
  SELECT instance_id, station, host, work_dir, start_token,
         to_char(started_at AT TIME ZONE 'UTC', 'YYYY-MM-DD HH24:MI:SS "UTC"'),
         coalesce(to_char(released_at AT TIME ZONE 'UTC', 'YYYY-MM-DD HH24:MI:SS "UTC"'), ''),
         coalesce(released_by, '')
  FROM kx20.station_instances
  WHERE instance_id = p_instance OR (station = p_station AND released_at IS NULL)
$$;

-- Takes by id; and a station's unclaimed lease takes of the given first
-- numbers and sizes (the leases of a journal of the first format).
CREATE FUNCTION kx20.takes_of(p_ids bigint[], p_station text, p_firsts bigint[],
                              p_counts integer[])
RETURNS TABLE (o_take bigint, o_station text, o_first bigint, o_count integer,
               o_instance text, o_written_off boolean)
LANGUAGE sql STABLE AS $$
  SELECT take_id, station, first_serial, count, coalesce(instance_id, ''),
         written_off_at IS NOT NULL
  FROM kx20.serial_takes
  WHERE take_id = ANY (p_ids)
     OR (station = p_station AND slot IS NULL AND instance_id IS NULL AND
         (first_serial, count) IN (SELECT * FROM unnest(p_firsts, p_counts)))
$$;

CREATE FUNCTION kx20.register_instance(p_instance text, p_station text, p_host text,
                                       p_work_dir text, p_token text)
RETURNS void LANGUAGE sql AS $$
  INSERT INTO kx20.station_instances (instance_id, station, host, work_dir, start_token)
  VALUES (p_instance, p_station, p_host, p_work_dir, p_token)
$$;

-- A start of the instance that holds the token: the new token, host and
-- directory. Returns 1, or 0 when another start (or a release) came first.
CREATE FUNCTION kx20.renew_instance(p_instance text, p_from_token text, p_token text,
                                    p_host text, p_work_dir text)
RETURNS integer LANGUAGE plpgsql AS $$
DECLARE
  n integer;
BEGIN
  UPDATE kx20.station_instances
    SET start_token = p_token, host = p_host, work_dir = p_work_dir, started_at = now()
    WHERE instance_id = p_instance AND start_token = p_from_token AND released_at IS NULL;
  GET DIAGNOSTICS n = ROW_COUNT;
  RETURN n;
END
$$;

-- A lease take of a journal of the first format becomes the instance's.
-- Returns 1, or 0 when another journal claimed it first.
CREATE FUNCTION kx20.adopt_take(p_instance text, p_take bigint, p_station text)
RETURNS integer LANGUAGE plpgsql AS $$
DECLARE
  n integer;
BEGIN
  UPDATE kx20.serial_takes SET instance_id = p_instance
    WHERE take_id = p_take AND station = p_station AND instance_id IS NULL;
  GET DIAGNOSTICS n = ROW_COUNT;
  RETURN n;
END
$$;

-- A verdict, once (a record sent again is ignored by its key).
CREATE FUNCTION kx20.record_verdict(
    p_record_key text, p_station text, p_slot integer, p_letter text, p_serial bigint,
    p_capacity bigint, p_result text, p_error_code text, p_started timestamptz,
    p_finished timestamptz, p_issued_serial bigint, p_cut_off boolean, p_instance text,
    p_lot text, p_operator text, p_software_version text, p_recipe_id text,
    p_previous_serial bigint, p_failed_step text, p_steps jsonb, p_rw_write_mbps real,
    p_rw_read_mbps real, p_image_write_mbps real, p_host text)
RETURNS void LANGUAGE sql AS $$
  INSERT INTO kx20.verdicts (record_key, station, slot, drive_letter, serial, capacity, result,
                             error_code, started_at, finished_at, issued_serial, cut_off,
                             instance_id, lot, operator, software_version, recipe_id,
                             previous_serial, failed_step, steps, rw_write_mbps, rw_read_mbps,
                             image_write_mbps, host)
  VALUES (p_record_key, p_station, p_slot, p_letter, p_serial, p_capacity, p_result,
          p_error_code, p_started, p_finished, p_issued_serial, coalesce(p_cut_off, false),
          p_instance, p_lot, p_operator, p_software_version, p_recipe_id, p_previous_serial,
          p_failed_step, p_steps, p_rw_write_mbps, p_rw_read_mbps, p_image_write_mbps, p_host)
  ON CONFLICT (record_key) DO NOTHING
$$;

-- A leased number's hand-out, once.
CREATE FUNCTION kx20.record_handout(p_record_key text, p_serial bigint, p_take bigint,
                                    p_station text, p_instance text, p_slot integer,
                                    p_letter text, p_at timestamptz)
RETURNS void LANGUAGE sql AS $$
  INSERT INTO kx20.serial_handouts (record_key, serial, take_id, station, instance_id, slot,
                                    drive_letter, handed_out_at)
  VALUES (p_record_key, p_serial, p_take, p_station, p_instance, p_slot, p_letter, p_at)
  ON CONFLICT (record_key) DO NOTHING
$$;

INSERT INTO kx20.schema_version (version) VALUES (3);
)sql";

// A verdict's UTC hour, whatever the session's time zone.
constexpr const char* kUtcHour = "(date_trunc('hour', finished_at AT TIME ZONE 'UTC') AT TIME ZONE 'UTC')";

// The verdicts of ROWS (a table or subquery) added to the hourly counts (in
// the order of the hours, so that a window's counts lie together on disk
// also when a migration counts a year at once).
std::string CountHoursSql(const std::string& rows) {
  return std::string(R"sql(
  INSERT INTO kx20.verdict_hours AS h
  SELECT )sql") + kUtcHour + R"sql(, station, slot, result, coalesce(error_code, ''),
         coalesce(lot, ''), coalesce(operator, ''), count(*), min(started_at), max(finished_at)
  FROM )sql" + rows + R"sql( WHERE previous_serial IS NULL GROUP BY 1, 2, 3, 4, 5, 6, 7
  ORDER BY 1
  ON CONFLICT (hour, station, slot, result, error_code, lot, operator) DO UPDATE
    SET verdicts = h.verdicts + excluded.verdicts,
        first_start = least(h.first_start, excluded.first_start),
        last_finish = greatest(h.last_finish, excluded.last_finish);
  INSERT INTO kx20.pass_time_hours AS h
  SELECT )sql" + kUtcHour + R"sql(, station, slot,
         floor(extract(epoch FROM finished_at - started_at)::float8)::bigint, count(*)
  FROM )sql" + rows + R"sql( WHERE result = 'Pass' AND slot > 0 GROUP BY 1, 2, 3, 4
  ORDER BY 1
  ON CONFLICT (hour, station, slot, seconds) DO UPDATE SET passes = h.passes + excluded.passes;
)sql";
}

// ... and their passes to the count of passes per serial number.
std::string CountSerialsSql(const std::string& rows) {
  return R"sql(
  INSERT INTO kx20.pass_serials AS p
  SELECT serial, count(*) FROM )sql" + rows + R"sql( WHERE result = 'Pass' AND serial > 0 GROUP BY 1
  ON CONFLICT (serial) DO UPDATE SET passes = p.passes + excluded.passes;
)sql";
}

std::string CountRowsSql(const std::string& rows) { return CountHoursSql(rows) + CountSerialsSql(rows); }

// Version 3 -> 4. Counts kept at insert time, so that a report over a month
// reads hours instead of rows: per UTC hour, station, slot, result, error
// code, lot and operator the number of verdicts and their first start and
// last finish (verdicts with a previous serial number are left out: whether
// one is a rework depends on earlier verdicts, which may arrive later, so a
// report tells them from the verdicts themselves), and per UTC hour, station
// and slot the passes' disk times in whole seconds (start to verdict, cut
// down to the second). Statement triggers keep both, whichever way a row
// comes in; a change or deletion of verdicts counts the hours it touches
// again. Indexes for the reworks and their earlier verdicts. Changes no
// verdict; the counts of the rows already there are made here.
std::string MigrateV3ToV4() {
  return R"sql(
CREATE TABLE kx20.verdict_hours (
  hour        timestamptz NOT NULL,
  station     text        NOT NULL,
  slot        integer     NOT NULL,
  result      text        NOT NULL,
  error_code  text        NOT NULL,
  lot         text        NOT NULL,
  operator    text        NOT NULL,
  verdicts    bigint      NOT NULL,
  first_start timestamptz NOT NULL,
  last_finish timestamptz NOT NULL,
  PRIMARY KEY (hour, station, slot, result, error_code, lot, operator)
);
CREATE TABLE kx20.pass_time_hours (
  hour    timestamptz NOT NULL,
  station text        NOT NULL,
  slot    integer     NOT NULL,
  seconds bigint      NOT NULL,
  passes  bigint      NOT NULL,
  PRIMARY KEY (hour, station, slot, seconds)
);
-- How many passes gave each serial number: more than one is a number on two
-- disks (kept here so that a report need not group a month of verdicts by
-- number to find the few).
CREATE TABLE kx20.pass_serials (
  serial bigint PRIMARY KEY,
  passes bigint NOT NULL
);
CREATE INDEX pass_serials_repeated ON kx20.pass_serials (serial) WHERE passes > 1;
CREATE INDEX verdicts_reworks ON kx20.verdicts (finished_at)
  INCLUDE (previous_serial, station, slot, result, error_code, lot, operator, started_at)
  WHERE previous_serial IS NOT NULL;
CREATE INDEX verdicts_serial_history ON kx20.verdicts (serial, finished_at)
  INCLUDE (result, record_key) WHERE serial > 0;

CREATE FUNCTION kx20.count_new_verdicts() RETURNS trigger LANGUAGE plpgsql AS $$
BEGIN
)sql" + CountRowsSql("new_verdicts") + R"sql(
  RETURN NULL;
END
$$;

-- The hours a change or deletion touched, counted again from the verdicts.
-- (The line only ever adds verdicts; this keeps the counts right after a
-- change by hand.) The lock keeps inserts out meanwhile.
CREATE FUNCTION kx20.recount_changed_hours() RETURNS trigger LANGUAGE plpgsql AS $$
BEGIN
  LOCK TABLE kx20.verdict_hours, kx20.pass_time_hours, kx20.pass_serials
    IN SHARE ROW EXCLUSIVE MODE;
  DELETE FROM kx20.verdict_hours WHERE hour IN (SELECT )sql" + kUtcHour + R"sql( FROM old_verdicts
    UNION SELECT )sql" + kUtcHour + R"sql( FROM new_verdicts);
  DELETE FROM kx20.pass_time_hours WHERE hour IN (SELECT )sql" + kUtcHour + R"sql( FROM old_verdicts
    UNION SELECT )sql" + kUtcHour + R"sql( FROM new_verdicts);
  DELETE FROM kx20.pass_serials WHERE serial IN (SELECT serial FROM old_verdicts
    UNION SELECT serial FROM new_verdicts);
)sql" + CountSerialsSql("(SELECT v.* FROM kx20.verdicts v WHERE v.serial IN (SELECT serial FROM "
                        "old_verdicts UNION SELECT serial FROM new_verdicts)) AS r") +
      CountHoursSql(std::string("(SELECT v.* FROM kx20.verdicts v JOIN (SELECT ") + kUtcHour +
                     " AS hour FROM old_verdicts UNION SELECT " + kUtcHour +
                     " FROM new_verdicts) AS t ON v.finished_at >= t.hour AND v.finished_at < "
                     "t.hour + interval '1 hour') AS r") + R"sql(
  RETURN NULL;
END
$$;
CREATE FUNCTION kx20.recount_deleted_hours() RETURNS trigger LANGUAGE plpgsql AS $$
BEGIN
  LOCK TABLE kx20.verdict_hours, kx20.pass_time_hours, kx20.pass_serials
    IN SHARE ROW EXCLUSIVE MODE;
  DELETE FROM kx20.verdict_hours WHERE hour IN (SELECT )sql" + kUtcHour + R"sql( FROM old_verdicts);
  DELETE FROM kx20.pass_time_hours WHERE hour IN (SELECT )sql" + kUtcHour + R"sql( FROM old_verdicts);
  DELETE FROM kx20.pass_serials WHERE serial IN (SELECT serial FROM old_verdicts);
)sql" + CountSerialsSql("(SELECT v.* FROM kx20.verdicts v WHERE v.serial IN (SELECT serial FROM "
                        "old_verdicts)) AS r") +
      CountHoursSql(std::string("(SELECT v.* FROM kx20.verdicts v JOIN (SELECT DISTINCT ") +
                     kUtcHour + " AS hour FROM old_verdicts) AS t ON v.finished_at >= t.hour AND "
                     "v.finished_at < t.hour + interval '1 hour') AS r") + R"sql(
  RETURN NULL;
END
$$;
CREATE FUNCTION kx20.recount_truncated() RETURNS trigger LANGUAGE plpgsql AS $$
BEGIN
  TRUNCATE kx20.verdict_hours, kx20.pass_time_hours, kx20.pass_serials;
  RETURN NULL;
END
$$;

CREATE TRIGGER verdicts_counted AFTER INSERT ON kx20.verdicts
  REFERENCING NEW TABLE AS new_verdicts
  FOR EACH STATEMENT EXECUTE FUNCTION kx20.count_new_verdicts();
CREATE TRIGGER verdicts_recounted_update AFTER UPDATE ON kx20.verdicts
  REFERENCING OLD TABLE AS old_verdicts NEW TABLE AS new_verdicts
  FOR EACH STATEMENT EXECUTE FUNCTION kx20.recount_changed_hours();
CREATE TRIGGER verdicts_recounted_delete AFTER DELETE ON kx20.verdicts
  REFERENCING OLD TABLE AS old_verdicts
  FOR EACH STATEMENT EXECUTE FUNCTION kx20.recount_deleted_hours();
CREATE TRIGGER verdicts_recounted_truncate AFTER TRUNCATE ON kx20.verdicts
  FOR EACH STATEMENT EXECUTE FUNCTION kx20.recount_truncated();

-- The verdicts already there (the triggers' lock on the table keeps inserts
-- out until the migration commits).
)sql" + CountRowsSql("kx20.verdicts") + R"sql(
CREATE OR REPLACE FUNCTION kx20.take_serials(p_station text, p_slot integer, p_letter text,
                                             p_count integer)
RETURNS bigint LANGUAGE plpgsql AS $$
BEGIN
  RAISE EXCEPTION 'the line''s database has schema version 4 and this station is older: install the newer station';
END
$$;

INSERT INTO kx20.schema_version (version) VALUES (4);
)sql";
}

// Every function of the schema runs as its owner with a fixed search_path
// (pg_temp last, so no one's temporary objects stand in for the line's), and
// no one may call one unless granted. Run by every init: a function added
// by a later version is covered by the same statement.
constexpr const char* kFunctionRights = R"sql(
DO $$
DECLARE
  f regprocedure;
BEGIN
  FOR f IN SELECT p.oid::regprocedure FROM pg_catalog.pg_proc p
           WHERE p.pronamespace = 'kx20'::regnamespace AND p.prokind = 'f' LOOP
    EXECUTE format('ALTER FUNCTION %s SECURITY DEFINER SET search_path = pg_catalog, kx20, pg_temp',
                   f);
  END LOOP;
END
$$;
REVOKE ALL ON SCHEMA kx20 FROM PUBLIC;
REVOKE ALL ON ALL FUNCTIONS IN SCHEMA kx20 FROM PUBLIC;
)sql";

// What a station calls: taking numbers, registering and starting its
// journal's instance, reading what its checks need, recording verdicts and
// hand-outs. (The first take_serials is the older stations' one, which only
// refuses with a message.) Releasing a station is not among them: it writes
// numbers off and frees a name, which is the line's administrator's call.
constexpr const char* kStationFunctions[] = {
    "kx20.take_serials(text, text, text, text, integer, text, integer)",
    "kx20.take_serials(text, integer, text, integer)",
    "kx20.line_state()",
    "kx20.station_instances_of(text, text)",
    "kx20.takes_of(bigint[], text, bigint[], integer[])",
    "kx20.register_instance(text, text, text, text, text)",
    "kx20.renew_instance(text, text, text, text, text)",
    "kx20.adopt_take(text, bigint, text)",
    "kx20.record_verdict(text, text, integer, text, bigint, bigint, text, text, timestamptz, "
    "timestamptz, bigint, boolean, text, text, text, text, text, bigint, text, jsonb, real, real, "
    "real, text)",
    "kx20.record_handout(text, bigint, bigint, text, text, integer, text, timestamptz)",
};

// The two roles' rights, exactly: whatever else they held in the schema is
// taken back first.
std::string RoleGrantsSql(const std::string& station, const std::string& report) {
  std::string sql;
  for (const std::string& role : {station, report}) {
    sql += "REVOKE ALL ON ALL TABLES IN SCHEMA kx20 FROM " + role + ";\n";
    sql += "REVOKE ALL ON ALL SEQUENCES IN SCHEMA kx20 FROM " + role + ";\n";
    sql += "REVOKE ALL ON ALL FUNCTIONS IN SCHEMA kx20 FROM " + role + ";\n";
    sql += "GRANT USAGE ON SCHEMA kx20 TO " + role + ";\n";
  }
  sql += "GRANT SELECT ON kx20.schema_version TO " + station + ";\n";
  for (const char* function : kStationFunctions) {
    sql += "GRANT EXECUTE ON FUNCTION " + std::string(function) + " TO " + station + ";\n";
  }
  sql += "GRANT SELECT ON ALL TABLES IN SCHEMA kx20 TO " + report + ";\n";
  return sql;
}

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

bool IsValidRoleName(const std::string& name) {
  if (name.empty() || name.size() > 63 || (name[0] >= '0' && name[0] <= '9')) return false;
  for (char c : name) {
    if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_')) return false;
  }
  return true;
}

std::string LineRolesSql(const std::string& stationRole, const std::string& reportRole) {
  std::string sql =
      "-- The kx20 line's roles: run as a user who may create roles, on the line's\n"
      "-- database after `kx20ctl line init` has made its schema. Both are group\n"
      "-- roles without login; make each station's and each reader's login a member:\n"
      "--   CREATE ROLE st1 LOGIN IN ROLE " + stationRole + ";   (and give it a password)\n"
      "--   CREATE ROLE quality LOGIN IN ROLE " + reportRole + ";\n"
      "BEGIN;\n";
  for (const std::string& role : {stationRole, reportRole}) {
    sql += "DO $$ BEGIN\n  IF NOT EXISTS (SELECT 1 FROM pg_catalog.pg_roles WHERE rolname = '" +
           role + "') THEN\n    CREATE ROLE " + role + " NOLOGIN;\n  END IF;\nEND $$;\n";
  }
  sql += kFunctionRights;
  sql += RoleGrantsSql(stationRole, reportRole);
  sql += "COMMIT;\n";
  return sql;
}

bool InitLineSchema(LineLink& link, const LineInitOptions& options, std::string& message) {
  const std::optional<std::uint32_t>& next = options.next;
  if (next && (*next < 1 || *next > kLargestSerial)) {
    message = "the next serial number must be 1 to 99999999";
    return false;
  }
  for (const std::string* role : {&options.stationRole, &options.reportRole}) {
    if (!IsValidRoleName(*role)) {
      message = "the role name \"" + *role +
                "\" is not 1 to 63 lower-case letters, digits and '_' (not starting with a digit)";
      return false;
    }
  }
  if (options.stationRole == options.reportRole) {
    message = "the station role and the report role must differ";
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

  // The rights of the functions and the roles, set on every run; false with
  // `roleNote` when the roles are missing and cannot be made here (the rest
  // of the transaction stands).
  std::string roleNote;
  const auto setRights = [&]() {
    if (!link.Exec(kFunctionRights, {}, nullptr, error)) return false;
    PgResult roles;
    if (!link.Exec("SELECT rolsuper OR rolcreaterole FROM pg_catalog.pg_roles "
                   "WHERE rolname = current_user",
                   {}, &roles, error)) {
      return false;
    }
    std::vector<std::string> missing;
    for (const std::string& role : {options.stationRole, options.reportRole}) {
      PgResult found;
      if (!link.Exec("SELECT 1 FROM pg_catalog.pg_roles WHERE rolname = $1", {role}, &found,
                     error)) {
        return false;
      }
      if (found.rows.empty()) missing.push_back(role);
    }
    if (!missing.empty() && Text(roles) != "t") {
      roleNote = "the role(s) " + missing.front() + (missing.size() > 1 ? ", " + missing.back() : "") +
                 " do not exist and this database user may not create roles: have a DBA run the "
                 "SQL that `kx20ctl line init --print-sql" +
                 (options.stationRole != "kx20_station" ? " --station-role " + options.stationRole
                                                        : std::string()) +
                 (options.reportRole != "kx20_report" ? " --report-role " + options.reportRole
                                                      : std::string()) +
                 "` prints (it makes the roles and gives them their rights), or run init again "
                 "as a user with CREATEROLE";
      return true;
    }
    for (const std::string& role : missing) {
      if (!link.Exec("CREATE ROLE " + role + " NOLOGIN", {}, nullptr, error)) return false;
    }
    return link.Exec(RoleGrantsSql(options.stationRole, options.reportRole), {}, nullptr, error);
  };
  const std::string roleWords = " (roles: " + options.stationRole + " may call the station's "
                                "functions, " + options.reportRole + " may read)";

  std::string done;  // what was done, for the message
  if (Text(present) != "t") {
    const std::string first = std::to_string(next.value_or(1));
    if (!link.Exec(kCreateV1, {}, nullptr, error) ||
        !link.Exec(kMigrateV1ToV2, {}, nullptr, error) ||
        !link.Exec(kMigrateV2ToV3, {}, nullptr, error) ||
        !link.Exec(MigrateV3ToV4(), {}, nullptr, error)) {
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
    if (!setRights()) return failed("cannot set the rights");
    if (!link.Exec("COMMIT", {}, nullptr, error)) return failed("cannot commit");
    message = "schema kx20 version " + std::to_string(kLineSchemaVersion) + " created for line " +
              lineId + "; next serial number " + first +
              (roleNote.empty() ? roleWords : "; " + roleNote);
    return roleNote.empty();
  }

  PgResult version;
  if (!link.Exec("SELECT coalesce(max(version), 0) FROM kx20.schema_version", {}, &version,
                 error)) {
    return failed("cannot read the schema version");
  }
  const int installed = static_cast<int>(Number(version));
  if (installed > kLineSchemaVersion || installed < 1) {
    error = "schema version " + std::to_string(installed) + " is installed, this program knows " +
            "versions 1 to " + std::to_string(kLineSchemaVersion) +
            (installed > kLineSchemaVersion ? " (install the newer kx20ctl)" : "");
    return failed("refused");
  }
  if (installed < kLineSchemaVersion) {
    // Every row is kept: the counts before and after must agree.
    constexpr const char* kCounts =
        "SELECT (SELECT count(*) FROM kx20.serial_takes), (SELECT count(*) FROM kx20.verdicts), "
        "(SELECT count(*) FROM kx20.serial_counter)";
    PgResult before;
    if (!link.Exec(kCounts, {}, &before, error)) {
      return failed("cannot read the version " + std::to_string(installed) + " schema");
    }
    std::string lineId;
    const std::string migrating = "cannot migrate the schema from version " +
                                  std::to_string(installed) + " (nothing was changed)";
    if (installed == 1) {
      lineId = NewRandomId();
      if (!link.Exec(kMigrateV1ToV2, {}, nullptr, error) ||
          !link.Exec("INSERT INTO kx20.line_identity (id, line_id) VALUES (1, $1)", {lineId},
                     nullptr, error)) {
        return failed(migrating);
      }
    }
    if (installed <= 2 && !link.Exec(kMigrateV2ToV3, {}, nullptr, error)) return failed(migrating);
    if (!link.Exec(MigrateV3ToV4(), {}, nullptr, error)) return failed(migrating);
    PgResult after;
    if (!link.Exec(kCounts, {}, &after, error)) return failed(migrating);
    if (after.rows != before.rows) {
      error = "the counts of takes, verdicts and counter rows changed from " +
              Text(before, 0, 0) + ", " + Text(before, 0, 1) + ", " + Text(before, 0, 2) +
              " to " + Text(after, 0, 0) + ", " + Text(after, 0, 1) + ", " + Text(after, 0, 2);
      return failed(migrating);
    }
    done = "schema kx20 migrated from version " + std::to_string(installed) + " to " +
           std::to_string(kLineSchemaVersion) + " (every row kept: " + Text(before, 0, 0) +
           " take(s), " + Text(before, 0, 1) + " verdict(s))";
    if (!lineId.empty()) done += "; line id " + lineId;
  } else {
    PgResult line;
    if (!link.Exec("SELECT line_id FROM kx20.line_identity WHERE id = 1", {}, &line, error)) {
      return failed("cannot read the line's id");
    }
    done = "schema kx20 version " + std::to_string(kLineSchemaVersion) + " present (line " +
           Text(line) + ")";
  }
  if (!setRights()) return failed("cannot set the rights");
  done += roleNote.empty() ? roleWords : "; " + roleNote;

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
    return roleNote.empty();
  }
  if (*next == current) {
    if (!link.Exec("COMMIT", {}, nullptr, error)) return failed("cannot commit");
    message = done + "; the next serial number is " + std::to_string(current) + " already";
    return roleNote.empty();
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
  return roleNote.empty();
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
