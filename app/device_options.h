// Where the station and kx20ctl find their disks: the host's real devices
// (the default), the built-in simulated farm, or a farm file.
//
//   --sim             the default simulated farm (ten disks on E: to N:)
//   --sim=FARM        the simulated farm described by the file FARM
//   --drive L=DEV     real devices: drive letter L is the host device DEV
//                     (repeatable; without it the host's own letters)
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "common/clock.h"
#include "device/host_port.h"
#include "device/pass_through_port.h"

namespace kx20 {

struct DeviceOptions {
  enum class Source { Host, SimDefault, SimFile };
  Source source = Source::Host;
  std::string farmFile;              // Source::SimFile
  std::vector<DriveMapping> drives;  // Source::Host; empty: the platform default
};

// The synopsis of the options, for usage texts.
inline constexpr const char* kDeviceOptionsUsage = "[--sim | --sim=FARM | --drive L=DEV ...]";

// Takes the device options out of `args` (leaving every other argument in
// order) and stores them in `options`. Returns false with a one-line `error`
// on bad input: --sim given twice, --sim with --drive, a malformed mapping,
// a letter mapped twice, a missing value.
bool ParseDeviceOptions(std::vector<std::string>& args, DeviceOptions& options, std::string& error);

// Takes the station programs' file options out of `args` (leaving every other
// argument in order): "--workdir DIR" / "--workdir=DIR" into `workDir` and
// "--trace-rows FILE" / "--trace-rows=FILE" into `traceFile`. Returns false
// with `error` when a value is missing.
bool ParseStationFileOptions(std::vector<std::string>& args, std::string& workDir,
                             std::string& traceFile, std::string& error);

// The station programs' output options.
struct StationOutputOptions {
  std::string eventsFile;  // "--events FILE": the event stream; "-": standard output
  bool quiet = false;      // "--quiet": no sound at the end of a run
};

// Takes "--events FILE" / "--events=FILE" and "--quiet" out of `args`
// (leaving every other argument in order). Returns false with `error` when
// a value is missing.
bool ParseStationOutputOptions(std::vector<std::string>& args, StationOutputOptions& options,
                               std::string& error);

// What every verdict's record names about the run: "--lot TEXT" and
// "--operator TEXT" (or "--lot=TEXT", "--operator=TEXT"). Empty: not given.
struct RecordOptions {
  std::string lot;
  std::string operatorName;
};

// The longest lot or operator text, in characters.
inline constexpr std::size_t kRecordTextMaxChars = 64;

// Whether `text` may name a lot or an operator: UTF-8, at most
// kRecordTextMaxChars characters (a UTF-8 sequence counts as one) and no
// control character (00h-1Fh, 7Fh, nor U+0080-U+009F). False with `problem`
// in words.
bool CheckRecordText(const std::string& text, std::string& problem);

// A text from the command line as UTF-8. On Windows, text that is not UTF-8
// is read in the system's ANSI code page (as Windows passes it); elsewhere,
// and where it cannot be read, it is returned as it is.
std::string CommandLineTextAsUtf8(const std::string& text);

// Takes --lot and --operator out of `args` (leaving every other argument in
// order). Returns false with `error` when a value is missing or empty, given
// twice, or refused by CheckRecordText.
bool ParseRecordOptions(std::vector<std::string>& args, RecordOptions& options, std::string& error);

// Builds the chosen port. `clock` paces the simulated farm's speed model and
// must outlive the port. Returns null with `error` set when the farm file is
// unreadable or invalid ("FILE:LINE: problem"), a backing file cannot be set
// up, or the host's devices cannot be used.
std::unique_ptr<PassThroughPort> OpenDevicePort(const DeviceOptions& options, Clock& clock,
                                                std::string& error);

}  // namespace kx20
