#include "sim/iscsi/iscsi_connection.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>

namespace kx20::iscsi {
namespace {

// Before the full feature phase the initiator may send at most 8192 bytes.
constexpr std::uint32_t kLoginMaxDataSegment = 8192;
constexpr std::size_t kMaxTextRequest = 65536;

bool SerialLess(std::uint32_t a, std::uint32_t b) { return static_cast<std::int32_t>(a - b) < 0; }

std::string Hex2(std::uint8_t v) {
  char t[3];
  std::snprintf(t, sizeof t, "%02X", v);
  return t;
}

// "15 s", "0.5 s".
std::string Seconds(std::chrono::milliseconds ms) {
  char t[32];
  std::snprintf(t, sizeof t, "%g s", static_cast<double>(ms.count()) / 1000.0);
  return t;
}

}  // namespace

// --- TargetSet ----------------------------------------------------------------

std::string TargetSet::NameOf(char letter) {
  const char lower = (letter >= 'A' && letter <= 'Z') ? static_cast<char>(letter - 'A' + 'a') : letter;
  return std::string("iqn.2026-12.kx20.sim:") + lower;
}

void TargetSet::Add(SimDisk* disk) { targets_.emplace_back(NameOf(disk->Letter()), disk); }

SimDisk* TargetSet::Find(const std::string& name) const {
  for (const auto& [n, disk] : targets_) {
    if (n == name) return disk;
  }
  return nullptr;
}

TargetState TargetSet::State(const std::string& name) const {
  SimDisk* disk = Find(name);
  if (!disk) return TargetState::Unknown;
  if (disk->Unplugged()) return TargetState::Removed;
  if (!disk->CanOpen()) return TargetState::Unavailable;
  return TargetState::Present;
}

std::vector<std::string> TargetSet::PresentNames() const {
  std::vector<std::string> out;
  for (const auto& [n, disk] : targets_) {
    if (!disk->Unplugged()) out.push_back(n);
  }
  return out;
}

// --- Connection ---------------------------------------------------------------

Connection::Connection(PduStream& stream, const TargetSet& targets, LogSink log, ConnectionConfig config)
    : stream_(stream),
      targets_(targets),
      log_(std::move(log)),
      config_(std::move(config)),
      login_([&targets](const std::string& name) { return targets.State(name); }, config_.tsih) {
  if (config_.chap) login_.RequireChap(config_.chap);
}

void Connection::Log(const std::string& line) {
  if (log_) log_(line);
}

void Connection::LogClose(const std::string& why) {
  closeLogged_ = true;
  Log("closing " + config_.peer + ": " + why);
}

bool Connection::ReadPdu(Pdu& pdu, std::string& problem) {
  std::uint8_t header[kBhsSize];
  if (!stream_.Read(header, sizeof header)) {
    problem = stream_.TimedOut() ? "a PDU not complete in time" : "connection closed by the initiator";
    return false;
  }
  const std::uint32_t limit = loggedIn_ ? params_.targetMaxRecvDataSegment : kLoginMaxDataSegment;
  if (!ParseBhs(header, limit, pdu.bhs, problem)) return false;
  // Additional header segments: read and set aside (no AHS is needed here).
  const std::uint32_t ahs = pdu.bhs.TotalAhsLength();
  if (ahs > 0) {
    std::uint8_t skip[1024];
    if (!stream_.Read(skip, ahs)) {
      problem = stream_.TimedOut() ? "a PDU not complete in time" : "connection closed inside an additional header";
      return false;
    }
  }
  const std::uint32_t length = pdu.bhs.DataSegmentLength();
  pdu.data.resize(PaddedLength(length));
  if (!pdu.data.empty() && !stream_.Read(pdu.data.data(), pdu.data.size())) {
    problem = stream_.TimedOut() ? "a PDU not complete in time" : "connection closed inside a data segment";
    return false;
  }
  pdu.data.resize(length);
  return true;
}

bool Connection::Send(Bhs& header, std::span<const std::uint8_t> data) {
  header.SetDataSegmentLength(static_cast<std::uint32_t>(data.size()));
  return stream_.Write(header.b, data);
}

std::string Connection::Serve() {
  using SteadyClock = std::chrono::steady_clock;
  constexpr PduStream::Deadline kNever = PduStream::Deadline::max();
  const bool idleLimit = config_.idleTimeout.count() > 0;
  const PduStream::Deadline loginDeadline =
      config_.loginTimeout.count() > 0 ? SteadyClock::now() + config_.loginTimeout : kNever;
  auto timedOut = [this](const std::string& why) {
    LogClose(why);
    return why;
  };
  std::string reason;
  Pdu pdu;
  bool pinged = false;
  for (;;) {
    // The login has one deadline for all of it; a session in the full
    // feature phase may be silent for the idle time, then it is pinged.
    if (!loggedIn_) {
      if (!stream_.WaitReadable(loginDeadline)) {
        return timedOut("login not completed within " + Seconds(config_.loginTimeout));
      }
      stream_.SetReadDeadline(loginDeadline);
    } else if (idleLimit) {
      if (!stream_.WaitReadable(SteadyClock::now() + config_.idleTimeout)) {
        if (pinged) return timedOut("no answer to NOP-In within " + Seconds(config_.idleTimeout));
        if (!SendPing()) return "connection lost";
        pinged = true;
        continue;
      }
      stream_.SetReadDeadline(SteadyClock::now() + config_.idleTimeout);
    } else {
      stream_.SetReadDeadline(kNever);
    }
    std::string problem;
    if (!ReadPdu(pdu, problem)) {
      if (stream_.TimedOut()) {
        return timedOut(loggedIn_ ? "a PDU not complete within " + Seconds(config_.idleTimeout)
                                  : "login not completed within " + Seconds(config_.loginTimeout));
      }
      if (problem != "connection closed by the initiator") {
        LogClose("malformed PDU: " + problem);
      }
      return problem;
    }
    pinged = false;
    if (!loggedIn_) {
      if (!HandleLogin(pdu, reason)) return reason;
      continue;
    }
    if (!Dispatch(pdu, reason)) return reason;
  }
}

bool Connection::HandleLogin(const Pdu& pdu, std::string& reason) {
  if (pdu.bhs.Opcode() != kOpLoginRequest) {
    reason = "PDU opcode 0x" + Hex2(pdu.bhs.Opcode()) + " before login";
    LogClose(reason);
    return false;
  }
  if (firstLogin_) {
    statSN_ = pdu.bhs.Get32(28);  // the initiator's ExpStatSN starts our count
    expCmdSN_ = pdu.bhs.Get32(24);
    firstLogin_ = false;
  }
  LoginReply reply = login_.Step(pdu.bhs, pdu.data);
  Bhs h = LoginResponseHeader(pdu.bhs, reply, statSN_++, expCmdSN_, MaxCmdSN());
  if (!Send(h, reply.text)) {
    reason = "connection lost during login";
    return false;
  }
  if (reply.failed) {
    reason = "login refused: " + reply.problem;
    Log("login refused " + config_.peer + " (" + login_.InitiatorName() + "): " + reply.problem);
    return false;
  }
  if (reply.complete) {
    loggedIn_ = true;
    params_ = login_.Params();
    if (!login_.Discovery()) {
      target_ = login_.TargetName();
      disk_ = targets_.Find(target_);
    }
    Log("login " + config_.peer + " " + login_.InitiatorName() + " -> " +
        (login_.Discovery() ? std::string("discovery") : target_));
  }
  return true;
}

bool Connection::Accept(const Bhs& h) {
  const std::uint8_t op = h.Opcode();
  if (h.Immediate() || op == kOpDataOut || op == kOpSnackRequest) return true;
  // A numbered command outside [ExpCmdSN, MaxCmdSN] is silently ignored.
  const std::uint32_t sn = h.Get32(24);
  if (SerialLess(sn, expCmdSN_) || SerialLess(MaxCmdSN(), sn)) {
    Log("ignoring " + config_.peer + ": CmdSN " + std::to_string(sn) + " outside the window " +
        std::to_string(expCmdSN_) + "-" + std::to_string(MaxCmdSN()));
    return false;
  }
  expCmdSN_ = sn + 1;
  return true;
}

bool Connection::Dispatch(Pdu& pdu, std::string& reason) {
  if (!Accept(pdu.bhs)) return true;
  switch (pdu.bhs.Opcode()) {
    case kOpNopOut:
      if (!HandleNopOut(pdu)) break;
      return true;
    case kOpScsiCommand:
      if (login_.Discovery()) {
        if (!SendReject(pdu.bhs, kRejectProtocolError)) break;
        return true;
      }
      if (write_) {
        if (queue_.size() >= kMaxQueued) {
          reason = "more than " + std::to_string(kMaxQueued) + " commands queued behind a write";
          LogClose(reason);
          return false;
        }
        if (queuedBytes_ + pdu.data.size() > kMaxQueuedBytes) {
          reason = "more than " + std::to_string(kMaxQueuedBytes) + " bytes of immediate data queued behind a write";
          LogClose(reason);
          return false;
        }
        queuedBytes_ += pdu.data.size();
        queue_.emplace_back(pdu.bhs, std::move(pdu.data));
        pdu.data = {};
        return true;
      }
      return StartCommand(pdu.bhs, std::move(pdu.data), reason);
    case kOpTaskMgmtRequest:
      if (!HandleTaskManagement(pdu)) break;
      return DrainQueue(reason);
    case kOpTextRequest:
      return HandleText(pdu, reason);
    case kOpDataOut:
      return HandleDataOut(pdu, reason);
    case kOpLogoutRequest:
      HandleLogout(pdu);
      reason = "logout";
      return false;
    case kOpSnackRequest:
      // Error recovery level 0 has no SNACK.
      if (!SendReject(pdu.bhs, kRejectCommandNotSupported)) break;
      return true;
    case kOpLoginRequest:
    default:
      reason = "PDU opcode 0x" + Hex2(pdu.bhs.Opcode()) + " in full feature phase";
      LogClose(reason);
      return false;
  }
  reason = "connection lost";
  return false;
}

bool Connection::HandleNopOut(const Pdu& pdu) {
  const std::uint32_t itt = pdu.bhs.InitiatorTaskTag();
  if (itt == kReservedTag) return true;  // a ping that wants no answer, or a reply to ours
  Bhs h;
  h.b[0] = kOpNopIn;
  h.b[1] = 0x80;
  std::memcpy(&h.b[8], &pdu.bhs.b[8], 8);
  h.Put32(16, itt);
  h.Put32(20, kReservedTag);
  h.Put32(24, statSN_++);
  h.Put32(28, expCmdSN_);
  h.Put32(32, MaxCmdSN());
  const std::size_t n = std::min<std::size_t>(pdu.data.size(), params_.initiatorMaxRecvDataSegment);
  return Send(h, std::span<const std::uint8_t>(pdu.data.data(), n));
}

bool Connection::SendPing() {
  Bhs h;
  h.b[0] = kOpNopIn;
  h.b[1] = 0x80;
  // LUN 0 (all zero), as a ping with a valid transfer tag must carry one.
  h.Put32(16, kReservedTag);
  h.Put32(20, nextTtt_++);
  if (nextTtt_ == kReservedTag) nextTtt_ = 1;
  h.Put32(24, statSN_);  // not advanced: the ping carries no status
  h.Put32(28, expCmdSN_);
  h.Put32(32, MaxCmdSN());
  return Send(h);
}

bool Connection::HandleText(const Pdu& pdu, std::string& reason) {
  const bool cont = (pdu.bhs.b[1] & 0x40) != 0;
  const std::uint32_t ttt = pdu.bhs.Get32(20);
  auto respond = [&](std::span<const std::uint8_t> text, bool more) {
    Bhs h;
    h.b[0] = kOpTextResponse;
    h.b[1] = more ? 0x40 : 0x80;
    std::memcpy(&h.b[8], &pdu.bhs.b[8], 8);
    h.Put32(16, pdu.bhs.InitiatorTaskTag());
    if (more) {
      textTtt_ = nextTtt_++;
      if (nextTtt_ == kReservedTag) nextTtt_ = 1;
    } else {
      textTtt_ = kReservedTag;
    }
    h.Put32(20, textTtt_);
    h.Put32(24, statSN_++);
    h.Put32(28, expCmdSN_);
    h.Put32(32, MaxCmdSN());
    return Send(h, text);
  };
  auto sendPart = [&]() {
    const std::size_t n = std::min<std::size_t>(textOut_.size(), params_.initiatorMaxRecvDataSegment);
    const std::vector<std::uint8_t> part(textOut_.begin(), textOut_.begin() + static_cast<std::ptrdiff_t>(n));
    textOut_.erase(textOut_.begin(), textOut_.begin() + static_cast<std::ptrdiff_t>(n));
    return respond(part, !textOut_.empty());
  };

  if (ttt != kReservedTag) {
    if (ttt != textTtt_) {
      reason = "text request continues an unknown exchange";
      LogClose(reason);
      return false;
    }
    if (!textOut_.empty()) {
      if (!pdu.data.empty()) {
        reason = "text request with keys while a response is continued";
        LogClose(reason);
        return false;
      }
      return sendPart() || (reason = "connection lost", false);
    }
  } else {
    textOut_.clear();
    if (textTtt_ != kReservedTag && textIn_.empty()) textTtt_ = kReservedTag;
  }
  if (textIn_.size() + pdu.data.size() > kMaxTextRequest) {
    reason = "text request longer than " + std::to_string(kMaxTextRequest) + " bytes";
    LogClose(reason);
    return false;
  }
  textIn_.insert(textIn_.end(), pdu.data.begin(), pdu.data.end());
  if (cont) return respond({}, true) || (reason = "connection lost", false);

  std::vector<KeyValue> keys;
  std::string problem;
  const bool ok = ParseTextKeys(textIn_, keys, problem);
  textIn_.clear();
  if (!ok) {
    reason = "text request: " + problem;
    LogClose(reason);
    return false;
  }
  std::vector<KeyValue> reply;
  for (const auto& [key, value] : keys) {
    if (key == "SendTargets") {
      std::vector<std::string> names;
      if (value == "All") {
        names = targets_.PresentNames();
      } else if (value.empty()) {
        if (!target_.empty() && targets_.State(target_) == TargetState::Present) names.push_back(target_);
      } else if (targets_.State(value) == TargetState::Present) {
        names.push_back(value);
      }
      for (const std::string& n : names) {
        reply.emplace_back("TargetName", n);
        reply.emplace_back("TargetAddress", config_.portal + ",1");
      }
    } else if (key == "MaxRecvDataSegmentLength") {
      std::uint64_t n = 0;
      if (ParseKeyNumber(value, 16777215, n) && n >= 512) {
        params_.initiatorMaxRecvDataSegment = static_cast<std::uint32_t>(n);
      } else {
        reply.emplace_back(key, "Reject");
      }
    } else {
      reply.emplace_back(key, "NotUnderstood");
    }
  }
  textOut_ = FormatTextKeys(reply);
  return sendPart() || (reason = "connection lost", false);
}

bool Connection::HandleTaskManagement(const Pdu& pdu) {
  const std::uint8_t function = pdu.bhs.b[1] & 0x7F;
  const std::uint32_t ref = pdu.bhs.Get32(20);
  const std::uint32_t refCmdSN = pdu.bhs.Get32(32);
  std::uint8_t response = 0;  // function complete
  auto abortAll = [&]() {
    if (write_) aborted_.push_back(write_->cmd.InitiatorTaskTag());
    write_.reset();
    queue_.clear();
    queuedBytes_ = 0;
  };
  switch (function) {
    case 1: {  // ABORT TASK
      if (write_ && write_->cmd.InitiatorTaskTag() == ref) {
        aborted_.push_back(ref);
        write_.reset();
      } else {
        auto it = std::find_if(queue_.begin(), queue_.end(),
                               [&](const auto& q) { return q.first.InitiatorTaskTag() == ref; });
        if (it != queue_.end()) {
          queuedBytes_ -= it->second.size();
          queue_.erase(it);
        } else {
          // Not here: it has finished already (the task no longer exists),
          // or it never arrived (nothing left to abort: complete).
          response = SerialLess(refCmdSN, expCmdSN_) ? 1 : 0;
        }
      }
      break;
    }
    case 2:  // ABORT TASK SET
    case 4:  // CLEAR TASK SET
    case 6:  // TARGET WARM RESET
      abortAll();
      break;
    case 5:  // LOGICAL UNIT RESET
      if (!pdu.bhs.LunIsZero()) {
        response = 2;  // LUN does not exist
      } else {
        abortAll();
      }
      break;
    case 8:  // TASK REASSIGN: no connection recovery at level 0
      response = 4;
      break;
    case 3:  // CLEAR ACA
    case 7:  // TARGET COLD RESET
      response = 5;  // not supported
      break;
    default:
      response = 255;
      break;
  }
  while (aborted_.size() > 16) aborted_.pop_front();
  Log("task management " + config_.peer + " " + target_ + ": function " + std::to_string(function) +
      " -> response " + std::to_string(response));
  Bhs h;
  h.b[0] = kOpTaskMgmtResponse;
  h.b[1] = 0x80;
  h.b[2] = response;
  h.Put32(16, pdu.bhs.InitiatorTaskTag());
  h.Put32(24, statSN_++);
  h.Put32(28, expCmdSN_);
  h.Put32(32, MaxCmdSN());
  return Send(h);
}

bool Connection::HandleLogout(const Pdu& pdu) {
  const std::uint8_t reasonCode = pdu.bhs.b[1] & 0x7F;
  Bhs h;
  h.b[0] = kOpLogoutResponse;
  h.b[1] = 0x80;
  h.b[2] = reasonCode == 2 ? 2 : 0;  // connection recovery is not supported at level 0
  h.Put32(16, pdu.bhs.InitiatorTaskTag());
  h.Put32(24, statSN_++);
  h.Put32(28, expCmdSN_);
  h.Put32(32, MaxCmdSN());
  const bool sent = Send(h);
  Log("logout " + config_.peer + " " + (target_.empty() ? std::string("discovery") : target_));
  return sent;
}

bool Connection::StartCommand(const Bhs& cmd, std::vector<std::uint8_t> immediate, std::string& reason) {
  const bool read = (cmd.b[1] & 0x40) != 0;
  const bool write = (cmd.b[1] & 0x20) != 0;
  const std::uint32_t edtl = cmd.Get32(20);
  if ((read && write) || edtl > kMaxTransfer) {
    // Bidirectional commands or outsize transfers: refuse without moving data.
    return SendResult(cmd, CheckCondition(kSenseInvalidField)) || (reason = "connection lost", false);
  }
  if (!write && !immediate.empty()) {
    reason = "immediate data on a command that writes nothing";
    LogClose(reason);
    return false;
  }
  if (!write) {
    std::vector<std::uint8_t> none;
    return RunCommand(cmd, none) || (reason = "connection lost", false);
  }
  if (immediate.size() > edtl || immediate.size() > params_.firstBurstLength ||
      (!immediate.empty() && !params_.immediateData)) {
    reason = "immediate data beyond what the command or session allows";
    LogClose(reason);
    return false;
  }
  // The buffer holds what has come, never more than the burst under way: a
  // command that announces 32 MB costs nothing until its data arrives.
  PendingWrite w;
  w.cmd = cmd;
  w.expected = edtl;
  w.buffer = std::move(immediate);
  w.received = static_cast<std::uint32_t>(w.buffer.size());
  if (w.received == edtl) {
    return RunCommand(cmd, w.buffer) || (reason = "connection lost", false);
  }
  write_ = std::move(w);
  return SendR2T() || (reason = "connection lost", false);
}

bool Connection::SendR2T() {
  PendingWrite& w = *write_;
  w.r2tOffset = w.received;
  w.r2tLength = std::min(w.expected - w.received, params_.maxBurstLength);
  w.ttt = nextTtt_++;
  if (nextTtt_ == kReservedTag) nextTtt_ = 1;
  w.dataSN = 0;
  Bhs h;
  h.b[0] = kOpR2T;
  h.b[1] = 0x80;
  std::memcpy(&h.b[8], &w.cmd.b[8], 8);
  h.Put32(16, w.cmd.InitiatorTaskTag());
  h.Put32(20, w.ttt);
  h.Put32(24, statSN_);
  h.Put32(28, expCmdSN_);
  h.Put32(32, MaxCmdSN());
  h.Put32(36, w.r2tSN++);
  h.Put32(40, w.r2tOffset);
  h.Put32(44, w.r2tLength);
  return Send(h);
}

bool Connection::HandleDataOut(const Pdu& pdu, std::string& reason) {
  const std::uint32_t itt = pdu.bhs.InitiatorTaskTag();
  if (!write_ || write_->cmd.InitiatorTaskTag() != itt) {
    if (std::find(aborted_.begin(), aborted_.end(), itt) != aborted_.end()) return true;
    reason = "Data-Out for no outstanding R2T";
    LogClose(reason);
    return false;
  }
  PendingWrite& w = *write_;
  const std::uint32_t offset = pdu.bhs.Get32(40);
  const auto length = static_cast<std::uint32_t>(pdu.data.size());
  if (pdu.bhs.Get32(20) != w.ttt || pdu.bhs.Get32(36) != w.dataSN || offset != w.received ||
      std::uint64_t{offset} + length > std::uint64_t{w.r2tOffset} + w.r2tLength) {
    reason = "Data-Out out of order or beyond its R2T";
    LogClose(reason);
    return false;
  }
  if (length > 0) {
    // Room for this burst, growing by at least half again so a long write
    // is not copied once per burst; never beyond the expected length.
    const std::size_t burstEnd = std::size_t{w.r2tOffset} + w.r2tLength;
    if (w.buffer.capacity() < burstEnd) {
      w.buffer.reserve(std::min<std::size_t>(w.expected, std::max(burstEnd, w.buffer.capacity() * 3 / 2)));
    }
    w.buffer.insert(w.buffer.end(), pdu.data.begin(), pdu.data.end());
  }
  w.received += length;
  ++w.dataSN;
  if (!pdu.bhs.Final()) return true;
  if (w.received != w.r2tOffset + w.r2tLength) {
    reason = "Data-Out sequence ended short of its R2T";
    LogClose(reason);
    return false;
  }
  if (w.received < w.expected) return SendR2T() || (reason = "connection lost", false);
  PendingWrite done = std::move(*write_);
  write_.reset();
  if (!RunCommand(done.cmd, done.buffer)) {
    reason = "connection lost";
    return false;
  }
  return DrainQueue(reason);
}

bool Connection::DrainQueue(std::string& reason) {
  while (!write_ && !queue_.empty()) {
    auto next = std::move(queue_.front());
    queue_.pop_front();
    queuedBytes_ -= next.second.size();
    if (!StartCommand(next.first, std::move(next.second), reason)) return false;
  }
  return true;
}

bool Connection::RunCommand(const Bhs& cmd, std::vector<std::uint8_t>& buffer) {
  ScsiCommand c;
  std::memcpy(c.cdb.data(), &cmd.b[32], c.cdb.size());
  c.read = (cmd.b[1] & 0x40) != 0;
  c.write = (cmd.b[1] & 0x20) != 0;
  c.expectedLength = cmd.Get32(20);
  c.lunZero = cmd.LunIsZero();
  if (!bridge_) bridge_.emplace(disk_, log_, config_.trace);
  const ScsiResult result = bridge_->Run(c, buffer);
  const bool sent = SendResult(cmd, result);
  bridge_->Trim(kKeptReadBuffer);
  return sent;
}

bool Connection::SendResult(const Bhs& cmd, const ScsiResult& result) {
  if (result.response != kResponseCompleted || result.status != 0 || result.dataIn.empty()) {
    return SendStatus(cmd, result.status, result.sense ? &*result.sense : nullptr, result.response,
                      result.residualFlags, result.residual, 0);
  }
  // Data-In PDUs, the last one carrying the status (GOOD) and the residual.
  const std::uint8_t* data = result.dataIn.data();
  const auto moved = static_cast<std::uint32_t>(result.dataIn.size());
  const std::uint32_t segment = std::max<std::uint32_t>(
      512, std::min(params_.initiatorMaxRecvDataSegment, params_.maxBurstLength));
  std::uint32_t sent = 0;
  std::uint32_t dataSN = 0;
  while (sent < moved) {
    const std::uint32_t n = std::min(segment, moved - sent);
    const bool last = sent + n == moved;
    Bhs h;
    h.b[0] = kOpDataIn;
    const bool burstEnd = last || ((sent + n) % params_.maxBurstLength) == 0;
    h.b[1] = static_cast<std::uint8_t>((burstEnd ? 0x80 : 0) | (last ? (0x01 | result.residualFlags) : 0));
    std::memcpy(&h.b[8], &cmd.b[8], 8);
    h.Put32(16, cmd.InitiatorTaskTag());
    h.Put32(20, kReservedTag);
    if (last) {
      h.Put32(24, statSN_++);
      h.Put32(44, result.residual);
    }
    h.Put32(28, expCmdSN_);
    h.Put32(32, MaxCmdSN());
    h.Put32(36, dataSN++);
    h.Put32(40, sent);
    if (!Send(h, std::span<const std::uint8_t>(data + sent, n))) return false;
    sent += n;
  }
  return true;
}

bool Connection::SendStatus(const Bhs& cmd, std::uint8_t status, const SimSense* sense, std::uint8_t response,
                            std::uint8_t residualFlags, std::uint32_t residual, std::uint32_t expDataSN) {
  Bhs h;
  h.b[0] = kOpScsiResponse;
  h.b[1] = static_cast<std::uint8_t>(0x80 | residualFlags);
  h.b[2] = response;
  h.b[3] = status;
  h.Put32(16, cmd.InitiatorTaskTag());
  h.Put32(24, statSN_++);
  h.Put32(28, expCmdSN_);
  h.Put32(32, MaxCmdSN());
  h.Put32(36, expDataSN);
  if (residualFlags) h.Put32(44, residual);
  if (!sense) return Send(h);
  std::uint8_t data[2 + 18] = {};
  data[1] = 18;  // SenseLength
  std::uint8_t* s = data + 2;
  s[0] = 0x70;  // current error, fixed format
  s[2] = sense->key & 0x0F;
  s[7] = 10;
  s[12] = sense->asc;
  s[13] = sense->ascq;
  return Send(h, data);
}

bool Connection::SendReject(const Bhs& rejected, std::uint8_t reason) {
  Bhs h;
  h.b[0] = kOpReject;
  h.b[1] = 0x80;
  h.b[2] = reason;
  h.Put32(16, kReservedTag);
  h.Put32(24, statSN_++);
  h.Put32(28, expCmdSN_);
  h.Put32(32, MaxCmdSN());
  return Send(h, rejected.b);
}

// --- In-memory run ------------------------------------------------------------

namespace {

class MemoryStream final : public PduStream {
 public:
  explicit MemoryStream(std::span<const std::uint8_t> in) : in_(in) {}
  bool Read(std::uint8_t* data, std::size_t size) override {
    if (in_.size() - at_ < size) return false;
    std::memcpy(data, in_.data() + at_, size);
    at_ += size;
    return true;
  }
  bool Write(std::span<const std::uint8_t> header, std::span<const std::uint8_t> data) override {
    out.insert(out.end(), header.begin(), header.end());
    out.insert(out.end(), data.begin(), data.end());
    out.resize(out.size() + (PaddedLength(static_cast<std::uint32_t>(data.size())) - data.size()), 0);
    return true;
  }
  std::vector<std::uint8_t> out;

 private:
  std::span<const std::uint8_t> in_;
  std::size_t at_ = 0;
};

}  // namespace

std::vector<std::uint8_t> ServeBytes(std::span<const std::uint8_t> input, const TargetSet& targets,
                                     std::string* reason, std::vector<std::string>* logLines) {
  MemoryStream stream(input);
  ConnectionConfig config;
  config.peer = "memory";
  config.portal = "127.0.0.1:3260";
  Connection connection(stream, targets, [logLines](const std::string& line) {
    if (logLines) logLines->push_back(line);
  }, config);
  const std::string why = connection.Serve();
  if (reason) *reason = why;
  return std::move(stream.out);
}

}  // namespace kx20::iscsi
