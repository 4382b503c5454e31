-- A line's database as the version 1 tools made and used it: the schema as
-- `kx20ctl line init` created it then, with some history. Station st1 took
-- 1, 2 and 3 for three disks (the third failed), the counter was then set to
-- 11, and st9 leased 11-20; the counter stands at 21.
CREATE SCHEMA kx20;
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
CREATE FUNCTION kx20.take_serials(p_station text, p_slot integer, p_letter text, p_count integer)
RETURNS bigint LANGUAGE plpgsql AS $$
DECLARE
  first bigint;
BEGIN
  IF p_count IS NULL OR p_count < 1 OR p_count > 1000000 THEN
    RAISE EXCEPTION 'a take of % numbers is out of range', p_count;
  END IF;
  SELECT next_serial INTO first FROM kx20.serial_counter WHERE id = 1 FOR UPDATE;
  IF NOT FOUND THEN
    RAISE EXCEPTION 'the line has no serial counter (kx20ctl line init)';
  END IF;
  UPDATE kx20.serial_counter SET next_serial = (first - 1 + p_count) % 99999999 + 1 WHERE id = 1;
  INSERT INTO kx20.serial_takes (first_serial, count, station, slot, drive_letter)
    VALUES (first, p_count, p_station, p_slot, p_letter);
  RETURN first;
END
$$;

INSERT INTO kx20.schema_version (version, installed_at) VALUES (1, '2026-11-30 08:00:00+00');
INSERT INTO kx20.serial_counter (id, next_serial) VALUES (1, 21);
INSERT INTO kx20.serial_takes (first_serial, count, station, slot, drive_letter, taken_at) VALUES
  (1, 1, 'st1', 1, 'E', '2026-12-01 09:00:00+00'),
  (2, 1, 'st1', 2, 'F', '2026-12-01 09:00:01+00'),
  (3, 1, 'st1', 3, 'G', '2026-12-01 09:00:02+00'),
  (11, 10, 'st9', NULL, NULL, '2026-12-02 10:00:00+00');
INSERT INTO kx20.verdicts VALUES
  ('st1-a', 'st1', 1, 'E', 1, 262144, 'Pass', NULL, '2026-12-01 09:00:00+00', '2026-12-01 09:00:09+00'),
  ('st1-b', 'st1', 2, 'F', 2, 262144, 'Pass', NULL, '2026-12-01 09:00:01+00', '2026-12-01 09:00:10+00'),
  ('st1-c', 'st1', 3, 'G', NULL, 0, 'FAIL', 'USBErr_Capacity', '2026-12-01 09:00:02+00', '2026-12-01 09:00:04+00');
