// One iSCSI connection of the simulated farm's target: the login phase, then
// the full feature phase (SCSI commands with Data-In, R2T and Data-Out, text
// requests with SendTargets, NOP, task management, logout) at error recovery
// level 0. Every SCSI command goes to the target's SimDisk, the same
// simulated controller the station's --sim drives.
//
// A connection reads and writes through a PduStream, so it runs over a TCP
// socket in kx20-simd and over memory in tests and fuzzers. It keeps no
// state outside its object; several connections may serve the same disk at
// once (SimDisk locks itself).
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "sim/iscsi/iscsi_login.h"
#include "sim/iscsi/iscsi_pdu.h"
#include "sim/iscsi/scsi_bridge.h"
#include "sim/sim_disk.h"

namespace kx20::iscsi {

// The byte stream under a connection.
class PduStream {
 public:
  using Deadline = std::chrono::steady_clock::time_point;
  virtual ~PduStream() = default;
  // Waits until bytes (or the end of the stream) can be read, at most until
  // `deadline`; false when it passed first. Streams without timing (memory)
  // are always ready.
  virtual bool WaitReadable(Deadline deadline) {
    (void)deadline;
    return true;
  }
  // The Reads that follow fail once `deadline` has passed; TimedOut() then
  // tells that from the end of the stream.
  virtual void SetReadDeadline(Deadline deadline) { (void)deadline; }
  virtual bool TimedOut() const { return false; }
  // Reads exactly `size` bytes; false at the end of the stream or on error.
  virtual bool Read(std::uint8_t* data, std::size_t size) = 0;
  // Writes a header, a data segment and its zero padding to a multiple of 4;
  // false on error.
  virtual bool Write(std::span<const std::uint8_t> header, std::span<const std::uint8_t> data) = 0;
};

// The targets a server offers: one per simulated disk. Fixed once built, so
// any number of connections may read it at once.
class TargetSet {
 public:
  // "iqn.2026-12.kx20.sim:" and the lower-case drive letter.
  static std::string NameOf(char letter);
  void Add(SimDisk* disk);
  TargetState State(const std::string& name) const;
  SimDisk* Find(const std::string& name) const;
  // The targets whose disk is still plugged in, in letter order.
  std::vector<std::string> PresentNames() const;

 private:
  std::vector<std::pair<std::string, SimDisk*>> targets_;
};

struct ConnectionConfig {
  std::string peer;     // for log lines ("127.0.0.1:51234")
  std::string portal;   // TargetAddress handed out by SendTargets ("127.0.0.1:3260")
  std::uint16_t tsih = 1;
  bool trace = false;   // log every SCSI command and its outcome
  // From the connection's start to the full feature phase, the whole login
  // must take at most this long (0: no limit).
  std::chrono::milliseconds loginTimeout{0};
  // A session silent this long gets a NOP-In ping; one silent as long again
  // is dropped. A PDU once begun must be complete within this time too.
  // (0: no limit.)
  std::chrono::milliseconds idleTimeout{0};
  // When set, every login must pass CHAP with this account (kept by the
  // caller for the connection's life).
  const ChapSecret* chap = nullptr;
};

// The largest data transfer one command may ask for (READ(10) of 65535
// sectors fits).
inline constexpr std::uint32_t kMaxTransfer = 32u * 1024 * 1024;
// How many commands, and how many bytes of their immediate data, may wait
// behind a write that is collecting its data.
inline constexpr std::size_t kMaxQueued = 64;
inline constexpr std::size_t kMaxQueuedBytes = 8u * 1024 * 1024;
// A read buffer larger than this is given back after its command.
inline constexpr std::size_t kKeptReadBuffer = 1024 * 1024;
// The CmdSN window we grant.
inline constexpr std::uint32_t kCmdWindow = 32;

class Connection {
 public:
  Connection(PduStream& stream, const TargetSet& targets, LogSink log, ConnectionConfig config);

  // Serves the connection until the initiator logs out, the stream ends, a
  // protocol error closes it or a timeout runs out. Returns a short reason
  // for the log.
  std::string Serve();

  bool LoggedIn() const { return loggedIn_; }
  // Whether Serve's end was logged already ("closing PEER: why").
  bool CloseLogged() const { return closeLogged_; }

 private:
  struct Pdu {
    Bhs bhs;
    std::vector<std::uint8_t> data;  // data segment without padding
  };
  struct PendingWrite {
    Bhs cmd;
    std::uint32_t expected = 0;        // the command's expected data transfer length
    std::vector<std::uint8_t> buffer;  // the data received so far
    std::uint32_t received = 0;
    std::uint32_t r2tOffset = 0;
    std::uint32_t r2tLength = 0;
    std::uint32_t ttt = 0;
    std::uint32_t r2tSN = 0;
    std::uint32_t dataSN = 0;  // expected in the next Data-Out of this R2T
  };

  bool ReadPdu(Pdu& pdu, std::string& problem);
  bool Send(Bhs& header, std::span<const std::uint8_t> data = {});
  bool HandleLogin(const Pdu& pdu, std::string& reason);
  // Full feature phase; false ends the connection with `reason`.
  bool Dispatch(Pdu& pdu, std::string& reason);
  bool HandleNopOut(const Pdu& pdu);
  // A NOP-In that asks the initiator to answer (RFC 7143 11.19).
  bool SendPing();
  bool HandleText(const Pdu& pdu, std::string& reason);
  bool HandleTaskManagement(const Pdu& pdu);
  bool HandleDataOut(const Pdu& pdu, std::string& reason);
  bool HandleLogout(const Pdu& pdu);
  bool StartCommand(const Bhs& cmd, std::vector<std::uint8_t> immediate, std::string& reason);
  bool SendR2T();
  bool RunCommand(const Bhs& cmd, std::vector<std::uint8_t>& buffer);
  bool SendResult(const Bhs& cmd, const ScsiResult& result);
  bool DrainQueue(std::string& reason);
  bool SendStatus(const Bhs& cmd, std::uint8_t status, const SimSense* sense, std::uint8_t response,
                  std::uint8_t residualFlags, std::uint32_t residual, std::uint32_t expDataSN);
  bool SendReject(const Bhs& rejected, std::uint8_t reason);
  // CmdSN bookkeeping for a PDU of the full feature phase; false: ignore it.
  bool Accept(const Bhs& h);
  std::uint32_t MaxCmdSN() const { return expCmdSN_ + kCmdWindow - 1; }
  void Log(const std::string& line);
  void LogClose(const std::string& why);

  PduStream& stream_;
  const TargetSet& targets_;
  LogSink log_;
  ConnectionConfig config_;
  LoginNegotiator login_;
  bool loggedIn_ = false;
  bool closeLogged_ = false;
  bool firstLogin_ = true;
  SessionParams params_;
  SimDisk* disk_ = nullptr;
  std::string target_;
  std::uint32_t statSN_ = 0;
  std::uint32_t expCmdSN_ = 0;
  std::uint32_t nextTtt_ = 1;
  std::optional<PendingWrite> write_;
  std::deque<std::pair<Bhs, std::vector<std::uint8_t>>> queue_;
  std::size_t queuedBytes_ = 0;        // immediate data held in queue_
  std::deque<std::uint32_t> aborted_;  // tags of aborted writes: their Data-Out is dropped
  std::vector<std::uint8_t> textIn_;   // a text request continued over several PDUs
  std::vector<std::uint8_t> textOut_;  // the rest of a long text response
  std::uint32_t textTtt_ = kReservedTag;
  std::optional<ScsiBridge> bridge_;   // the SCSI side, once a normal session has its disk
};

// Runs a connection over `input` bytes (what an initiator sent) and returns
// what the target wrote back, for tests and fuzzers.
std::vector<std::uint8_t> ServeBytes(std::span<const std::uint8_t> input, const TargetSet& targets,
                                     std::string* reason = nullptr,
                                     std::vector<std::string>* logLines = nullptr);

}  // namespace kx20::iscsi
