#include "line/line_schema.h"

#include "line/line_link.h"

namespace kx20 {
namespace {

// Taken by every init so that two at once do not both create the schema.
constexpr const char* kInitLock = "SELECT pg_advisory_xact_lock(7382011)";

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
)sql";

}  // namespace

bool InitLineSchema(LineLink& link, std::optional<std::uint32_t> next, std::string& message) {
  if (next && (*next < 1 || *next > 99999999)) {
    message = "the next serial number must be 1 to 99999999";
    return false;
  }
  std::string error;
  const auto failed = [&](const std::string& what) {
    std::string ignored;
    link.Exec("ROLLBACK", {}, nullptr, ignored);
    message = what + ": " + error;
    return false;
  };
  if (!link.Exec("BEGIN", {}, nullptr, error)) {
    message = "cannot reach the line's database: " + error;
    return false;
  }
  if (!link.Exec(kInitLock, {}, nullptr, error)) return failed("cannot lock the schema");
  PgResult present;
  if (!link.Exec("SELECT to_regclass('kx20.schema_version') IS NOT NULL", {}, &present, error)) {
    return failed("cannot look for the schema");
  }
  const std::string nextText = std::to_string(next.value_or(1));
  if (present.rows.at(0).at(0).value_or("f") == "t") {
    PgResult version;
    if (!link.Exec("SELECT max(version) FROM kx20.schema_version", {}, &version, error)) {
      return failed("cannot read the schema version");
    }
    const std::string installed = version.rows.at(0).at(0).value_or("0");
    if (installed != std::to_string(kLineSchemaVersion)) {
      error = "schema version " + installed + " is installed, this program knows version " +
              std::to_string(kLineSchemaVersion);
      return failed("refused");
    }
    if (next) {
      if (!link.Exec("UPDATE kx20.serial_counter SET next_serial = $1 WHERE id = 1", {nextText},
                     nullptr, error)) {
        return failed("cannot set the next serial number");
      }
    }
    PgResult counter;
    if (!link.Exec("SELECT next_serial FROM kx20.serial_counter WHERE id = 1", {}, &counter,
                   error) ||
        counter.rows.empty()) {
      return failed("cannot read the serial counter");
    }
    if (!link.Exec("COMMIT", {}, nullptr, error)) return failed("cannot commit");
    message = next ? "schema kx20 version " + std::to_string(kLineSchemaVersion) +
                         " already present; next serial number set to " + nextText
                   : "schema kx20 version " + std::to_string(kLineSchemaVersion) +
                         " already present: nothing changed (next serial number " +
                         counter.rows[0][0].value_or("?") + ")";
    return true;
  }
  if (!link.Exec(kCreateV1, {}, nullptr, error)) return failed("cannot create the schema");
  if (!link.Exec("INSERT INTO kx20.schema_version (version) VALUES ($1)",
                 {std::to_string(kLineSchemaVersion)}, nullptr, error) ||
      !link.Exec("INSERT INTO kx20.serial_counter (id, next_serial) VALUES (1, $1)", {nextText},
                 nullptr, error)) {
    return failed("cannot fill the schema");
  }
  if (!link.Exec("COMMIT", {}, nullptr, error)) return failed("cannot commit");
  message = "schema kx20 version " + std::to_string(kLineSchemaVersion) +
            " created; next serial number " + nextText;
  return true;
}

}  // namespace kx20
