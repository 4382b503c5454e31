// The line's database schema (PostgreSQL schema "kx20"), version 4:
//
//   kx20.schema_version (version, installed_at)
//                                        one row per version installed; the
//                                        highest is the schema's version
//   kx20.line_identity (id = 1, line_id, created_at)
//                                        the line's random id: a station's
//                                        journal names the line it belongs to
//   kx20.serial_counter (id = 1, next_serial)
//                                        the next number the line hands out
//   kx20.counter_changes (change_id, changed_at, changed_by, db_user,
//                         from_serial, to_serial, reason)
//                                        every change of the counter other
//                                        than a take (a trigger records it,
//                                        whoever makes it)
//   kx20.station_instances (instance_id, station, host, work_dir, start_token,
//                           registered_at, started_at, released_at,
//                           released_by)
//                                        which journal holds a station's name
//                                        (one unreleased row per name)
//   kx20.serial_takes (take_id, first_serial, count, station, slot,
//                      drive_letter, taken_at, instance_id, written_off_at)
//                                        who took which numbers: one number
//                                        for a disk (with slot and letter), or
//                                        a lease (no slot); written_off_at when
//                                        a release wrote its unused numbers off
//   kx20.serial_handouts (record_key, serial, take_id, station, instance_id,
//                         slot, drive_letter, handed_out_at)
//                                        each leased number's hand-out to a
//                                        disk, sent through the outbox
//   kx20.serial_gaps (gap_id, first_serial, count, station, instance_id,
//                     take_id, reason, recorded_at, recorded_by)
//                                        numbers taken but never to be handed
//                                        out (a released instance's unused
//                                        leased numbers)
//   kx20.verdicts (record_key, station, slot, drive_letter, serial, capacity,
//                  result, error_code, started_at, finished_at,
//                  issued_serial, cut_off, instance_id,
//                  lot, operator, software_version, recipe_id,
//                  previous_serial, failed_step, steps, rw_write_mbps,
//                  rw_read_mbps, image_write_mbps, host)
//                                        every verdict of every station:
//                                        serial = the number in the table
//                                        written (a pass, or a failure after
//                                        the table step), issued_serial = the
//                                        number the line handed out for the
//                                        disk, cut_off = the station was closed
//                                        during the disk's run; the columns of
//                                        the last two lines (version 3) are
//                                        NULL when not known, and in rows
//                                        recorded before version 3
//   kx20.verdict_hours (hour, station, slot, result, error_code, lot,
//                       operator, verdicts, first_start, last_finish)
//   kx20.pass_time_hours (hour, station, slot, seconds, passes)
//   kx20.pass_serials (serial, passes)
//                                        kept by triggers on kx20.verdicts
//                                        whatever inserts (version 4): per UTC
//                                        hour the verdicts without a previous
//                                        serial ("" for a NULL text), the
//                                        passes of slots > 0 by disk time in
//                                        whole seconds (cut down), and the
//                                        passes per serial number; a change or
//                                        deletion by hand counts the hours and
//                                        numbers it touched again
//   kx20.serial_fates (view)             each number handed out with where it
//                                        went and its verdict
//   kx20.take_serials(line, instance, token, station, slot, letter, count)
//     -> (o_first, o_take)               the one transaction that takes
//                                        numbers: checks the line and that the
//                                        station's name belongs to this journal
//                                        (and its latest start), row lock on
//                                        the counter, advance with the wrap
//                                        from 99999999 to 1, record the take
//   kx20.release_station(station, who)   writes a station's unused leased
//                                        numbers off as gaps and frees its name
//   kx20.line_state(), station_instances_of(...), takes_of(...),
//   register_instance(...), renew_instance(...), adopt_take(...),
//   record_verdict(...), record_handout(...)
//                                        what a station reads and writes
//                                        besides take_serials: a station's
//                                        role may do nothing but call these
//
// Rights: every function of the schema runs as its owner (SECURITY DEFINER)
// with a fixed search_path, and PUBLIC may call none. Two group roles (no
// login; the DBA makes login roles members): the station role may call the
// station's functions and read kx20.schema_version (so a station of any
// version can tell which schema it found), nothing else; the report role may
// read every table and view, nothing else.
//
// Version 1 had schema_version, serial_counter, serial_takes and verdicts
// without the columns and tables added above; version 2 had everything but
// the verdicts' version 3 columns and the station's functions other than
// take_serials; version 3 had everything but the counts of version 4 and
// their triggers and indexes. `kx20ctl line init` migrates any of them in
// one transaction, keeping every row (and counting the verdicts there).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace kx20 {

class LineLink;

inline constexpr int kLineSchemaVersion = 4;

struct LineInitOptions {
  // Set the next number the line hands out (creation: default 1).
  std::optional<std::uint32_t> next;
  // Accept a next number at or below the highest number ever taken.
  bool force = false;
  // Who asks (e.g. "user@host"), recorded with a change of the counter.
  std::string who;
  // The group roles that get the station's and the report's rights (made
  // when missing, which needs CREATEROLE).
  std::string stationRole = "kx20_station";
  std::string reportRole = "kx20_report";
};

// A role name init accepts: 1-63 lower-case letters, digits and '_', not
// starting with a digit (so it needs no quoting and cannot inject SQL).
bool IsValidRoleName(const std::string& name);

// The SQL a DBA runs to make the two roles (when missing) and give them
// their rights, on a line whose schema exists: what init does itself when
// its user may create roles.
std::string LineRolesSql(const std::string& stationRole, const std::string& reportRole);

// Creates the schema when absent, migrates a version 1 or 2 schema to this
// version in one transaction (keeping every row: the counts of takes and
// verdicts are compared before the commit), and on a schema of this version
// changes nothing unless `next` is given. A newer schema is refused. Every
// run sets the functions' rights and the roles' grants again; roles that are
// missing are made when the user may, else the schema is committed and the
// call fails with a message naming the SQL a DBA runs (LineRolesSql).
// A next number at or below the highest number ever taken is refused unless
// `force`; every change of the counter is recorded (kx20.counter_changes).
// `message` says what was done (or why nothing was).
bool InitLineSchema(LineLink& link, const LineInitOptions& options, std::string& message);

struct ReleaseResult {
  std::string instanceId;
  std::string host;
  std::string directory;
  // The numbers written off as gaps: first number and count of each run.
  std::vector<std::pair<std::uint32_t, std::uint32_t>> gaps;
  std::uint64_t numbersWrittenOff = 0;
};

// Frees a station's name from the journal that holds it: that journal's
// unused leased numbers (those without a hand-out on the line) are written off
// as gaps, its leases marked written off, and its instance marked released,
// in one transaction. False with `error` when the station holds no journal
// or the database refuses.
bool ReleaseStation(LineLink& link, const std::string& station, const std::string& who,
                    ReleaseResult& result, std::string& error);

}  // namespace kx20
