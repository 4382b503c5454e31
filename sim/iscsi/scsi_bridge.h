// The SCSI side of the simulated target: what one SCSI command does to the
// logical unit behind a session, and how it ends (status, sense, residual,
// the data that goes back). No PDU, no socket: the connection hands it a
// command with the data the initiator sent, and sends what it returns.
//
// Some commands reach the controller in another form, or never, as behind a
// USB bridge or a target device: READ/WRITE(16) go on as READ/WRITE(10)
// (the controller knows only the 10-byte forms), READ CAPACITY(16) is
// answered from READ CAPACITY(10), REPORT LUNS and REQUEST SENSE are the
// target's own, and a LUN other than 0 or a pulled disk is a logical unit
// that is not there.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "sim/sim_disk.h"

namespace kx20::iscsi {

// Thread-safe sink for the server's log lines.
using LogSink = std::function<void(const std::string& line)>;

// Residual flags of a SCSI Response or a final Data-In (byte 1).
inline constexpr std::uint8_t kResidualOverflow = 0x04;
inline constexpr std::uint8_t kResidualUnderflow = 0x02;

// iSCSI response codes of a SCSI Response (byte 2).
inline constexpr std::uint8_t kResponseCompleted = 0x00;
inline constexpr std::uint8_t kResponseTargetFailure = 0x01;

// One SCSI command as the initiator sent it.
struct ScsiCommand {
  std::array<std::uint8_t, 16> cdb{};
  bool read = false;             // the R flag: data goes to the initiator
  bool write = false;            // the W flag: data comes from the initiator
  std::uint32_t expectedLength = 0;  // expected data transfer length
  bool lunZero = true;
};

// How a command ended. When the status is GOOD and `dataIn` is not empty,
// the data goes back in Data-In PDUs with the status on the last one;
// otherwise one SCSI Response carries it.
struct ScsiResult {
  std::uint8_t response = kResponseCompleted;
  std::uint8_t status = 0;                // SCSI status: 0 GOOD, 2 CHECK CONDITION
  std::optional<SimSense> sense;          // with CHECK CONDITION
  std::uint8_t residualFlags = 0;         // kResidualOverflow or kResidualUnderflow
  std::uint32_t residual = 0;
  std::span<const std::uint8_t> dataIn;   // never longer than the expected length;
                                          // valid until the next Run
};

class ScsiBridge {
 public:
  // `disk` is the session's logical unit (null: a session without one).
  // `log` gets a line for every fault that fires, and with `trace` one for
  // every command the controller receives.
  ScsiBridge(SimDisk* disk, LogSink log, bool trace);

  // Runs `cmd`. `dataOut` holds what the initiator sent for a write (whole,
  // `cmd.expectedLength` bytes); the controller may read it in place.
  ScsiResult Run(const ScsiCommand& cmd, std::vector<std::uint8_t>& dataOut);

  // Drops the read buffer when a command needed more than `keep` bytes, so an
  // idle session does not hold the largest transfer it ever made.
  void Trim(std::size_t keep);

 private:
  ScsiResult Reply(const ScsiCommand& cmd, std::span<const std::uint8_t> data, std::uint32_t n);
  ScsiResult Execute(const ScsiCommand& cmd, const std::uint8_t* cdb, std::vector<std::uint8_t>& dataOut);
  void NoteFault(const std::uint8_t* cdb, const SimOutcome& outcome);
  void Log(const std::string& line) const;

  SimDisk* disk_;
  LogSink log_;
  bool trace_;
  bool unplugLogged_ = false;
  std::vector<std::uint8_t> io_;          // read buffer, reused
  std::array<std::uint8_t, 36> reply_{};  // the target's own short answers
};

// The result of a command that fails before it reaches the logical unit.
ScsiResult CheckCondition(const SimSense& sense, std::uint8_t residualFlags = 0, std::uint32_t residual = 0);

}  // namespace kx20::iscsi
