// The line's database schema (PostgreSQL schema "kx20"), version 1:
//
//   kx20.schema_version (version)        one row: the version installed
//   kx20.serial_counter (id = 1, next_serial)
//                                        the next number the line hands out
//   kx20.serial_takes  (take_id, first_serial, count, station, slot,
//                       drive_letter, taken_at)
//                                        who took which numbers: count 1 for
//                                        one disk, more for a station's lease
//   kx20.verdicts (record_key PRIMARY KEY, station, slot, drive_letter,
//                  serial, capacity, result, error_code, started_at,
//                  finished_at)          every verdict of every station
//   kx20.take_serials(station, slot, letter, count) -> first number
//                                        the one transaction that takes
//                                        numbers: row lock on the counter,
//                                        advance with the wrap from 99999999
//                                        to 1, record the take
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace kx20 {

class LineLink;

inline constexpr int kLineSchemaVersion = 1;

// Creates the schema when absent (next number `next`, default 1). On a
// schema of this version it changes nothing, except the next number when
// `next` is given. A newer schema is refused. `message` says what was done.
bool InitLineSchema(LineLink& link, std::optional<std::uint32_t> next, std::string& message);

}  // namespace kx20
