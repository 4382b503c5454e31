-- A line's database as the version 2 tools made and used it (pg_dump of schema
-- kx20): line 65cf6f27..., station st1 (instance 1b3c651d...) took 1, 2 and 3
-- for three disks (slot 3 failed), then leased 4-8 and handed out 4, 5 and 6;
-- six verdicts, three hand-outs; the counter stands at 9. The station's work
-- directory as it was left then, with three verdicts and a hand-out still in
-- its outbox, is made by tests/line/line_e2e.sh (case upgrade).

\restrict 08KNC8mrkgQCFr4kx8J1jeTOkZOGj6dykZ2fkvJ91eAKKODe3L9pDlumgt0gMtc

SET statement_timeout = 0;
SET lock_timeout = 0;
SET idle_in_transaction_session_timeout = 0;
SET client_encoding = 'UTF8';
SET standard_conforming_strings = on;
SELECT pg_catalog.set_config('search_path', '', false);
SET check_function_bodies = false;
SET xmloption = content;
SET client_min_messages = warning;
SET row_security = off;

CREATE SCHEMA kx20;

CREATE FUNCTION kx20.record_counter_change() RETURNS trigger
    LANGUAGE plpgsql
    AS $$
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

CREATE FUNCTION kx20.release_station(p_station text, p_who text) RETURNS TABLE(o_instance text, o_host text, o_work_dir text, o_first bigint, o_count integer)
    LANGUAGE plpgsql
    AS $$
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

CREATE FUNCTION kx20.take_serials(p_station text, p_slot integer, p_letter text, p_count integer) RETURNS bigint
    LANGUAGE plpgsql
    AS $$
BEGIN
  RAISE EXCEPTION 'the line''s database has schema version 2 and this station is older: install the newer station';
END
$$;

CREATE FUNCTION kx20.take_serials(p_line text, p_instance text, p_token text, p_station text, p_slot integer, p_letter text, p_count integer) RETURNS TABLE(o_first bigint, o_take bigint)
    LANGUAGE plpgsql
    AS $$
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

SET default_tablespace = '';

SET default_table_access_method = heap;

CREATE TABLE kx20.counter_changes (
    change_id bigint NOT NULL,
    changed_at timestamp with time zone DEFAULT now() NOT NULL,
    changed_by text NOT NULL,
    db_user text DEFAULT SESSION_USER NOT NULL,
    from_serial bigint,
    to_serial bigint NOT NULL,
    reason text NOT NULL
);

CREATE SEQUENCE kx20.counter_changes_change_id_seq
    START WITH 1
    INCREMENT BY 1
    NO MINVALUE
    NO MAXVALUE
    CACHE 1;

ALTER SEQUENCE kx20.counter_changes_change_id_seq OWNED BY kx20.counter_changes.change_id;

CREATE TABLE kx20.line_identity (
    id integer NOT NULL,
    line_id text NOT NULL,
    created_at timestamp with time zone DEFAULT now() NOT NULL,
    CONSTRAINT line_identity_id_check CHECK ((id = 1))
);

CREATE TABLE kx20.schema_version (
    version integer NOT NULL,
    installed_at timestamp with time zone DEFAULT now() NOT NULL
);

CREATE TABLE kx20.serial_counter (
    id integer NOT NULL,
    next_serial bigint NOT NULL,
    CONSTRAINT serial_counter_id_check CHECK ((id = 1)),
    CONSTRAINT serial_counter_next_serial_check CHECK (((next_serial >= 1) AND (next_serial <= 99999999)))
);

CREATE TABLE kx20.serial_handouts (
    record_key text NOT NULL,
    serial bigint NOT NULL,
    take_id bigint NOT NULL,
    station text NOT NULL,
    instance_id text NOT NULL,
    slot integer NOT NULL,
    drive_letter text NOT NULL,
    handed_out_at timestamp with time zone NOT NULL
);

CREATE TABLE kx20.serial_takes (
    take_id bigint NOT NULL,
    first_serial bigint NOT NULL,
    count integer NOT NULL,
    station text NOT NULL,
    slot integer,
    drive_letter text,
    taken_at timestamp with time zone DEFAULT now() NOT NULL,
    instance_id text,
    written_off_at timestamp with time zone,
    CONSTRAINT serial_takes_count_check CHECK ((count >= 1))
);

CREATE TABLE kx20.verdicts (
    record_key text NOT NULL,
    station text NOT NULL,
    slot integer NOT NULL,
    drive_letter text NOT NULL,
    serial bigint,
    capacity bigint NOT NULL,
    result text NOT NULL,
    error_code text,
    started_at timestamp with time zone NOT NULL,
    finished_at timestamp with time zone NOT NULL,
    issued_serial bigint,
    cut_off boolean DEFAULT false NOT NULL,
    instance_id text
);

CREATE VIEW kx20.serial_fates AS
 SELECT n.serial,
    n.station,
    n.slot,
    n.drive_letter,
    n.handed_out_at,
    n.take_id,
    v.result,
    v.error_code,
    COALESCE(v.cut_off, false) AS cut_off,
    v.serial AS table_serial,
    v.record_key AS verdict_key
   FROM (( SELECT t.first_serial AS serial,
            t.station,
            t.slot,
            t.drive_letter,
            t.taken_at AS handed_out_at,
            t.take_id
           FROM kx20.serial_takes t
          WHERE (t.slot IS NOT NULL)
        UNION ALL
         SELECT h.serial,
            h.station,
            h.slot,
            h.drive_letter,
            h.handed_out_at,
            h.take_id
           FROM kx20.serial_handouts h) n
     LEFT JOIN LATERAL ( SELECT v_1.result,
            v_1.error_code,
            v_1.cut_off,
            v_1.serial,
            v_1.record_key
           FROM kx20.verdicts v_1
          WHERE ((v_1.station = n.station) AND ((v_1.issued_serial = n.serial) OR ((v_1.issued_serial IS NULL) AND (v_1.serial = n.serial))))
          ORDER BY v_1.finished_at
         LIMIT 1) v ON (true));

CREATE TABLE kx20.serial_gaps (
    gap_id bigint NOT NULL,
    first_serial bigint NOT NULL,
    count integer NOT NULL,
    station text NOT NULL,
    instance_id text,
    take_id bigint,
    reason text NOT NULL,
    recorded_at timestamp with time zone DEFAULT now() NOT NULL,
    recorded_by text,
    CONSTRAINT serial_gaps_count_check CHECK ((count >= 1))
);

CREATE SEQUENCE kx20.serial_gaps_gap_id_seq
    START WITH 1
    INCREMENT BY 1
    NO MINVALUE
    NO MAXVALUE
    CACHE 1;

ALTER SEQUENCE kx20.serial_gaps_gap_id_seq OWNED BY kx20.serial_gaps.gap_id;

CREATE SEQUENCE kx20.serial_takes_take_id_seq
    START WITH 1
    INCREMENT BY 1
    NO MINVALUE
    NO MAXVALUE
    CACHE 1;

ALTER SEQUENCE kx20.serial_takes_take_id_seq OWNED BY kx20.serial_takes.take_id;

CREATE TABLE kx20.station_instances (
    instance_id text NOT NULL,
    station text NOT NULL,
    host text NOT NULL,
    work_dir text NOT NULL,
    start_token text NOT NULL,
    registered_at timestamp with time zone DEFAULT now() NOT NULL,
    started_at timestamp with time zone DEFAULT now() NOT NULL,
    released_at timestamp with time zone,
    released_by text
);

ALTER TABLE ONLY kx20.counter_changes ALTER COLUMN change_id SET DEFAULT nextval('kx20.counter_changes_change_id_seq'::regclass);

ALTER TABLE ONLY kx20.serial_gaps ALTER COLUMN gap_id SET DEFAULT nextval('kx20.serial_gaps_gap_id_seq'::regclass);

ALTER TABLE ONLY kx20.serial_takes ALTER COLUMN take_id SET DEFAULT nextval('kx20.serial_takes_take_id_seq'::regclass);

INSERT INTO kx20.counter_changes VALUES (1, '2026-12-09 03:07:33.284118+00', 'kx20ctl root@vm', 'kx20pg', NULL, 1, 'line created');

INSERT INTO kx20.line_identity VALUES (1, '65cf6f2774c0a72e1958a0a00ee0d429', '2026-12-09 03:07:33.284118+00');

INSERT INTO kx20.schema_version VALUES (1, '2026-12-09 03:07:33.284118+00');
INSERT INTO kx20.schema_version VALUES (2, '2026-12-09 03:07:33.284118+00');

INSERT INTO kx20.serial_counter VALUES (1, 9);

INSERT INTO kx20.serial_handouts VALUES ('st1-1b3c651dcc85969243b5d15da72ae86d-4-4', 4, 4, 'st1', '1b3c651dcc85969243b5d15da72ae86d', 1, 'E', '2026-12-09 03:07:52.668+00');
INSERT INTO kx20.serial_handouts VALUES ('st1-1b3c651dcc85969243b5d15da72ae86d-4-5', 5, 4, 'st1', '1b3c651dcc85969243b5d15da72ae86d', 2, 'F', '2026-12-09 03:07:52.733+00');
INSERT INTO kx20.serial_handouts VALUES ('st1-1b3c651dcc85969243b5d15da72ae86d-4-6', 6, 4, 'st1', '1b3c651dcc85969243b5d15da72ae86d', 3, 'G', '2026-12-09 03:07:52.808+00');

INSERT INTO kx20.serial_takes VALUES (1, 1, 1, 'st1', 1, 'E', '2026-12-09 03:07:41.148785+00', '1b3c651dcc85969243b5d15da72ae86d', NULL);
INSERT INTO kx20.serial_takes VALUES (2, 2, 1, 'st1', 2, 'F', '2026-12-09 03:07:41.248596+00', '1b3c651dcc85969243b5d15da72ae86d', NULL);
INSERT INTO kx20.serial_takes VALUES (3, 3, 1, 'st1', 3, 'G', '2026-12-09 03:07:41.340047+00', '1b3c651dcc85969243b5d15da72ae86d', NULL);
INSERT INTO kx20.serial_takes VALUES (4, 4, 5, 'st1', NULL, NULL, '2026-12-09 03:07:52.588449+00', '1b3c651dcc85969243b5d15da72ae86d', NULL);

INSERT INTO kx20.station_instances VALUES ('1b3c651dcc85969243b5d15da72ae86d', 'st1', 'vm', '/tmp/l22fx/st1', 'b54ca7a643549a38e5b830d5935bb5e1', '2026-12-09 03:07:40.089815+00', '2026-12-09 03:07:51.524186+00', NULL, NULL);

INSERT INTO kx20.verdicts VALUES ('st1-2aef9bb784daedc1717bc37ac1b37804', 'st1', 3, 'G', 3, 0, 'FAIL', 'USBErr_Capacity', '2026-12-09 03:07:41.339+00', '2026-12-09 03:07:43.38+00', 3, false, '1b3c651dcc85969243b5d15da72ae86d');
INSERT INTO kx20.verdicts VALUES ('st1-bbab866af8c9b8a63e09360a22891d3d', 'st1', 1, 'E', 1, 262144, 'Pass', NULL, '2026-12-09 03:07:41.148+00', '2026-12-09 03:07:47.263+00', 1, false, '1b3c651dcc85969243b5d15da72ae86d');
INSERT INTO kx20.verdicts VALUES ('st1-c9d400fbe9e5912e6a354e2153619df7', 'st1', 2, 'F', 2, 262144, 'Pass', NULL, '2026-12-09 03:07:41.239+00', '2026-12-09 03:07:47.295+00', 2, false, '1b3c651dcc85969243b5d15da72ae86d');
INSERT INTO kx20.verdicts VALUES ('st1-2c500628fea2eb219b000f531ed2398f', 'st1', 3, 'G', 6, 0, 'FAIL', 'USBErr_Capacity', '2026-12-09 03:07:52.808+00', '2026-12-09 03:07:54.868+00', 6, false, '1b3c651dcc85969243b5d15da72ae86d');
INSERT INTO kx20.verdicts VALUES ('st1-a52867a586c93b1c78244b0bb3a5bd7d', 'st1', 1, 'E', 4, 262144, 'Pass', NULL, '2026-12-09 03:07:52.587+00', '2026-12-09 03:07:58.742+00', 4, false, '1b3c651dcc85969243b5d15da72ae86d');
INSERT INTO kx20.verdicts VALUES ('st1-e1e5bd83e7e9dc7b5c262ed02846da26', 'st1', 2, 'F', 5, 262144, 'Pass', NULL, '2026-12-09 03:07:52.696+00', '2026-12-09 03:07:58.812+00', 5, false, '1b3c651dcc85969243b5d15da72ae86d');

SELECT pg_catalog.setval('kx20.counter_changes_change_id_seq', 1, true);

SELECT pg_catalog.setval('kx20.serial_gaps_gap_id_seq', 1, false);

SELECT pg_catalog.setval('kx20.serial_takes_take_id_seq', 4, true);

ALTER TABLE ONLY kx20.counter_changes
    ADD CONSTRAINT counter_changes_pkey PRIMARY KEY (change_id);

ALTER TABLE ONLY kx20.line_identity
    ADD CONSTRAINT line_identity_pkey PRIMARY KEY (id);

ALTER TABLE ONLY kx20.serial_counter
    ADD CONSTRAINT serial_counter_pkey PRIMARY KEY (id);

ALTER TABLE ONLY kx20.serial_gaps
    ADD CONSTRAINT serial_gaps_pkey PRIMARY KEY (gap_id);

ALTER TABLE ONLY kx20.serial_handouts
    ADD CONSTRAINT serial_handouts_pkey PRIMARY KEY (record_key);

ALTER TABLE ONLY kx20.serial_takes
    ADD CONSTRAINT serial_takes_pkey PRIMARY KEY (take_id);

ALTER TABLE ONLY kx20.station_instances
    ADD CONSTRAINT station_instances_pkey PRIMARY KEY (instance_id);

ALTER TABLE ONLY kx20.verdicts
    ADD CONSTRAINT verdicts_pkey PRIMARY KEY (record_key);

CREATE INDEX serial_handouts_take ON kx20.serial_handouts USING btree (take_id, serial);

CREATE INDEX serial_takes_instance ON kx20.serial_takes USING btree (instance_id);

CREATE INDEX serial_takes_station ON kx20.serial_takes USING btree (station, first_serial);

CREATE UNIQUE INDEX station_instances_holder ON kx20.station_instances USING btree (station) WHERE (released_at IS NULL);

CREATE INDEX verdicts_finished_at ON kx20.verdicts USING btree (finished_at);

CREATE INDEX verdicts_issued_serial ON kx20.verdicts USING btree (issued_serial);

CREATE INDEX verdicts_serial ON kx20.verdicts USING btree (serial);

CREATE TRIGGER serial_counter_changes AFTER INSERT OR UPDATE ON kx20.serial_counter FOR EACH ROW EXECUTE FUNCTION kx20.record_counter_change();

\unrestrict 08KNC8mrkgQCFr4kx8J1jeTOkZOGj6dykZ2fkvJ91eAKKODe3L9pDlumgt0gMtc

