// Login phase of one iSCSI connection: stages, transitions, authentication
// (none, or CHAP with MD5 when the target has an account) and the text
// negotiation of the operational keys, at error recovery level 0.
//
// LoginNegotiator is plain logic over bytes: it takes each Login Request
// (header and data segment) and returns what the Login Response must say.
// It never touches a socket, so tests and fuzzers drive it directly.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "sim/iscsi/iscsi_pdu.h"

namespace kx20::iscsi {

// What a connection may do once the login has ended: the values both sides
// agreed on (or the RFC defaults where nothing was said).
struct SessionParams {
  std::uint32_t initiatorMaxRecvDataSegment = 8192;  // the most we may send in one PDU
  std::uint32_t targetMaxRecvDataSegment = 262144;   // the most the initiator may send us
  std::uint32_t maxBurstLength = 262144;
  std::uint32_t firstBurstLength = 65536;
  bool initialR2T = true;
  bool immediateData = true;
  std::uint32_t maxOutstandingR2T = 1;
  std::uint32_t errorRecoveryLevel = 0;
  std::uint32_t defaultTime2Wait = 2;
  std::uint32_t defaultTime2Retain = 20;
};

// The account an initiator must log in with when the target asks for CHAP.
// One-way: the target does not prove itself to the initiator.
struct ChapSecret {
  std::string user;
  std::string secret;
};

// Fills a buffer with unpredictable bytes (CHAP challenges).
using RandomSource = std::function<void(std::uint8_t* out, std::size_t size)>;
// The system's random source (getrandom).
void SystemRandom(std::uint8_t* out, std::size_t size);

// What the target says about a target name.
enum class TargetState { Unknown, Present, Removed, Unavailable };
using TargetLookup = std::function<TargetState(const std::string& name)>;

// Login status classes and details (status class << 8 | detail).
inline constexpr std::uint16_t kLoginSuccess = 0x0000;
inline constexpr std::uint16_t kLoginInitiatorError = 0x0200;
inline constexpr std::uint16_t kLoginAuthFailure = 0x0201;
inline constexpr std::uint16_t kLoginNotFound = 0x0203;
inline constexpr std::uint16_t kLoginTargetRemoved = 0x0204;
inline constexpr std::uint16_t kLoginUnsupportedVersion = 0x0205;
inline constexpr std::uint16_t kLoginMissingParameter = 0x0207;
inline constexpr std::uint16_t kLoginSessionTypeUnsupported = 0x0209;
inline constexpr std::uint16_t kLoginSessionDoesNotExist = 0x020A;
inline constexpr std::uint16_t kLoginServiceUnavailable = 0x0301;

inline constexpr std::uint8_t kStageSecurity = 0;
inline constexpr std::uint8_t kStageOperational = 1;
inline constexpr std::uint8_t kStageFullFeature = 3;

// The reply to one Login Request.
struct LoginReply {
  bool transit = false;
  bool more = false;        // the reply text continues (never used: replies are short)
  std::uint8_t csg = 0;
  std::uint8_t nsg = 0;
  std::uint16_t status = kLoginSuccess;
  std::uint16_t tsih = 0;   // non-zero in the final reply
  std::vector<std::uint8_t> text;
  bool complete = false;    // full feature phase reached
  bool failed = false;      // status is not success: close after sending
  std::string problem;      // why it failed, for the log
};

class LoginNegotiator {
 public:
  // `lookup` answers for TargetName; `tsih` is the session handle handed out
  // on success; `targetMaxRecv` our own MaxRecvDataSegmentLength.
  LoginNegotiator(TargetLookup lookup, std::uint16_t tsih, std::uint32_t targetMaxRecv = 262144);

  // From now on the login must pass CHAP with `chap` (kept by the caller)
  // before it leaves the security stage; `random` makes the challenges.
  void RequireChap(const ChapSecret* chap, RandomSource random = SystemRandom);

  // Handles one Login Request. `request` must hold a login opcode.
  LoginReply Step(const Bhs& request, std::span<const std::uint8_t> data);

  bool Complete() const { return stage_ == kStageFullFeature; }
  bool Discovery() const { return discovery_; }
  const std::string& InitiatorName() const { return initiatorName_; }
  const std::string& TargetName() const { return targetName_; }
  const SessionParams& Params() const { return params_; }

 private:
  LoginReply Fail(std::uint16_t status, std::string problem);
  // Answers one key; false ends the login with `failStatus_`.
  bool Negotiate(const std::string& key, const std::string& value, std::vector<KeyValue>& reply);
  bool NegotiateChap(const std::string& key, const std::string& value, std::vector<KeyValue>& reply);
  // Checks CHAP_N and CHAP_R once a request has brought both.
  bool CheckChapResponse();
  bool Authenticated() const { return chap_ ? chapPassed_ : true; }

  TargetLookup lookup_;
  std::uint16_t tsih_;
  std::uint8_t stage_ = kStageSecurity;
  bool first_ = true;
  bool discovery_ = false;
  bool sessionTypeSeen_ = false;
  bool authNone_ = false;
  bool authOffered_ = false;
  bool declaredMaxRecv_ = false;
  bool sentPortalGroup_ = false;
  std::string initiatorName_;
  std::string targetName_;
  std::set<std::string> seenKeys_;
  std::vector<std::uint8_t> pending_;  // request text continued over several PDUs
  SessionParams params_;
  std::uint16_t failStatus_ = kLoginInitiatorError;
  std::string failProblem_;
  // CHAP, when required.
  const ChapSecret* chap_ = nullptr;
  RandomSource random_;
  bool chapChosen_ = false;      // AuthMethod=CHAP agreed
  bool challengeSent_ = false;
  bool chapPassed_ = false;
  std::uint8_t chapId_ = 0;
  std::vector<std::uint8_t> challenge_;
  std::optional<std::string> chapName_;
  std::optional<std::string> chapResponse_;
};

// Builds the Login Response header for `reply` to `request`.
Bhs LoginResponseHeader(const Bhs& request, const LoginReply& reply, std::uint32_t statSN,
                        std::uint32_t expCmdSN, std::uint32_t maxCmdSN);

}  // namespace kx20::iscsi
