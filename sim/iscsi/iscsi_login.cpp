#include "sim/iscsi/iscsi_login.h"

#include <sys/random.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "sim/iscsi/chap.h"

namespace kx20::iscsi {
namespace {

// The most accumulated login text we accept over continued PDUs.
constexpr std::size_t kMaxLoginText = 65536;
// CHAP challenges are this long (RFC 1994 leaves it open; 16 bytes matches
// the digest).
constexpr std::size_t kChapChallengeSize = 16;

bool InList(const std::string& list, const std::string& item) {
  std::size_t at = 0;
  while (at <= list.size()) {
    const auto comma = list.find(',', at);
    const std::string entry = list.substr(at, comma == std::string::npos ? std::string::npos : comma - at);
    if (entry == item) return true;
    if (comma == std::string::npos) break;
    at = comma + 1;
  }
  return false;
}

bool ParseBool(const std::string& v, bool& out) {
  if (v == "Yes") {
    out = true;
    return true;
  }
  if (v == "No") {
    out = false;
    return true;
  }
  return false;
}

}  // namespace

void SystemRandom(std::uint8_t* out, std::size_t size) {
  while (size > 0) {
    const ssize_t n = getrandom(out, size, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw std::runtime_error(std::string("getrandom: ") + std::strerror(errno));
    out += n;
    size -= static_cast<std::size_t>(n);
  }
}

void LoginNegotiator::RequireChap(const ChapSecret* chap, RandomSource random) {
  chap_ = chap;
  random_ = std::move(random);
}

LoginNegotiator::LoginNegotiator(TargetLookup lookup, std::uint16_t tsih, std::uint32_t targetMaxRecv)
    : lookup_(std::move(lookup)), tsih_(tsih == 0 ? 1 : tsih) {
  params_.targetMaxRecvDataSegment = targetMaxRecv;
}

LoginReply LoginNegotiator::Fail(std::uint16_t status, std::string problem) {
  LoginReply r;
  r.csg = stage_;
  r.status = status;
  r.failed = true;
  r.problem = std::move(problem);
  return r;
}

bool LoginNegotiator::Negotiate(const std::string& key, const std::string& value,
                                std::vector<KeyValue>& reply) {
  auto fail = [&](std::uint16_t status, std::string problem) {
    failStatus_ = status;
    failProblem_ = std::move(problem);
    return false;
  };
  auto number = [&](std::uint64_t lo, std::uint64_t hi, std::uint64_t& n) {
    return ParseKeyNumber(value, hi, n) && n >= lo;
  };

  if (key == "InitiatorName") {
    if (value.empty() || value.size() > 223) return fail(kLoginInitiatorError, "bad InitiatorName");
    initiatorName_ = value;
    return true;
  }
  if (key == "InitiatorAlias") return true;
  if (key == "SessionType") {
    if (value == "Discovery") {
      discovery_ = true;
    } else if (value == "Normal") {
      discovery_ = false;
    } else {
      return fail(kLoginSessionTypeUnsupported, "unsupported SessionType '" + value + "'");
    }
    sessionTypeSeen_ = true;
    return true;
  }
  if (key == "TargetName") {
    targetName_ = value;
    return true;
  }
  if (key == "AuthMethod") {
    authOffered_ = true;
    if (chap_) {
      if (InList(value, "CHAP")) {
        chapChosen_ = true;
        reply.emplace_back(key, "CHAP");
        return true;
      }
      reply.emplace_back(key, "Reject");
      return fail(kLoginAuthFailure, "the target requires CHAP; the initiator offers " + value);
    }
    if (InList(value, "None")) {
      authNone_ = true;
      reply.emplace_back(key, "None");
      return true;
    }
    reply.emplace_back(key, "Reject");
    return fail(kLoginAuthFailure, "initiator offers no AuthMethod None (" + value + ")");
  }
  if (chap_ && key.rfind("CHAP_", 0) == 0) return NegotiateChap(key, value, reply);
  if (key == "HeaderDigest" || key == "DataDigest") {
    reply.emplace_back(key, InList(value, "None") ? "None" : "Reject");
    return true;
  }
  std::uint64_t n = 0;
  if (key == "MaxRecvDataSegmentLength") {
    if (!number(512, 16777215, n)) {
      reply.emplace_back(key, "Reject");
      return true;
    }
    params_.initiatorMaxRecvDataSegment = static_cast<std::uint32_t>(n);
    if (!declaredMaxRecv_) {
      reply.emplace_back(key, std::to_string(params_.targetMaxRecvDataSegment));
      declaredMaxRecv_ = true;
    }
    return true;
  }
  if (key == "MaxBurstLength" || key == "FirstBurstLength") {
    if (!number(512, 16777215, n)) {
      reply.emplace_back(key, "Reject");
      return true;
    }
    const std::uint32_t ours = key == "MaxBurstLength" ? 1048576u : 262144u;
    const std::uint32_t v = std::min(static_cast<std::uint32_t>(n), ours);
    (key == "MaxBurstLength" ? params_.maxBurstLength : params_.firstBurstLength) = v;
    reply.emplace_back(key, std::to_string(v));
    return true;
  }
  if (key == "MaxConnections" || key == "MaxOutstandingR2T") {
    if (!number(1, 65535, n)) {
      reply.emplace_back(key, "Reject");
      return true;
    }
    reply.emplace_back(key, "1");
    return true;
  }
  if (key == "InitialR2T" || key == "DataPDUInOrder" || key == "DataSequenceInOrder") {
    bool b = false;
    reply.emplace_back(key, ParseBool(value, b) ? "Yes" : "Reject");  // result function OR
    return true;
  }
  if (key == "ImmediateData") {
    bool b = false;
    if (!ParseBool(value, b)) {
      reply.emplace_back(key, "Reject");
      return true;
    }
    params_.immediateData = b;  // result function AND, and we say Yes
    reply.emplace_back(key, b ? "Yes" : "No");
    return true;
  }
  if (key == "ErrorRecoveryLevel") {
    if (!number(0, 2, n)) {
      reply.emplace_back(key, "Reject");
      return true;
    }
    reply.emplace_back(key, "0");
    return true;
  }
  if (key == "DefaultTime2Wait" || key == "DefaultTime2Retain") {
    if (!number(0, 3600, n)) {
      reply.emplace_back(key, "Reject");
      return true;
    }
    // Wait: maximum of both (ours 0); Retain: minimum of both (ours 0).
    const std::uint32_t v = key == "DefaultTime2Wait" ? static_cast<std::uint32_t>(n) : 0u;
    (key == "DefaultTime2Wait" ? params_.defaultTime2Wait : params_.defaultTime2Retain) = v;
    reply.emplace_back(key, std::to_string(v));
    return true;
  }
  if (key == "IFMarker" || key == "OFMarker") {
    reply.emplace_back(key, "No");
    return true;
  }
  if (key == "iSCSIProtocolLevel") {
    if (!number(0, 31, n)) {
      reply.emplace_back(key, "Reject");
      return true;
    }
    reply.emplace_back(key, std::to_string(std::min<std::uint64_t>(n, 1)));
    return true;
  }
  if (key == "TargetAlias" || key == "TargetAddress" || key == "TargetPortalGroupTag") {
    reply.emplace_back(key, "Reject");  // the target's to declare, not the initiator's
    return true;
  }
  reply.emplace_back(key, "NotUnderstood");
  return true;
}

bool LoginNegotiator::NegotiateChap(const std::string& key, const std::string& value,
                                    std::vector<KeyValue>& reply) {
  auto fail = [&](std::uint16_t status, std::string problem) {
    failStatus_ = status;
    failProblem_ = std::move(problem);
    return false;
  };
  if (!chapChosen_) return fail(kLoginInitiatorError, key + " before AuthMethod=CHAP was agreed");
  if (key == "CHAP_A") {
    if (!InList(value, "5")) {
      reply.emplace_back(key, "Reject");
      return fail(kLoginAuthFailure, "no CHAP algorithm this target knows (MD5, 5) offered: " + value);
    }
    challenge_.assign(kChapChallengeSize, 0);
    random_(&chapId_, 1);
    random_(challenge_.data(), challenge_.size());
    reply.emplace_back("CHAP_A", "5");
    reply.emplace_back("CHAP_I", std::to_string(chapId_));
    reply.emplace_back("CHAP_C", HexValue(challenge_));
    challengeSent_ = true;
    return true;
  }
  if (key == "CHAP_N" || key == "CHAP_R") {
    if (!challengeSent_) return fail(kLoginInitiatorError, key + " before a CHAP challenge");
    (key == "CHAP_N" ? chapName_ : chapResponse_) = value;
    return true;
  }
  if (key == "CHAP_I" || key == "CHAP_C") {
    return fail(kLoginAuthFailure,
                "the initiator asks the target to authenticate itself (mutual CHAP), which it does not offer");
  }
  reply.emplace_back(key, "NotUnderstood");
  return true;
}

bool LoginNegotiator::CheckChapResponse() {
  failStatus_ = kLoginAuthFailure;
  if (!chapName_ || !chapResponse_) {
    failProblem_ = "CHAP_N and CHAP_R must come together";
    return false;
  }
  if (*chapName_ != chap_->user) {
    failProblem_ = "CHAP user '" + *chapName_ + "' is not the target's account";
    return false;
  }
  const auto response = ParseBinaryValue(*chapResponse_);
  const Md5Digest expected = ChapResponse(chapId_, chap_->secret, challenge_);
  // Compared in full whatever differs, so the time taken tells nothing.
  std::uint8_t differ = response && response->size() == expected.size() ? 0 : 1;
  for (std::size_t i = 0; response && i < std::min(response->size(), expected.size()); ++i) {
    differ |= static_cast<std::uint8_t>((*response)[i] ^ expected[i]);
  }
  challenge_.clear();  // one response per challenge
  if (differ != 0) {
    failProblem_ = "wrong CHAP response for user '" + *chapName_ + "'";
    return false;
  }
  chapPassed_ = true;
  return true;
}

LoginReply LoginNegotiator::Step(const Bhs& req, std::span<const std::uint8_t> data) {
  if (stage_ == kStageFullFeature) return Fail(kLoginInitiatorError, "login request in full feature phase");
  const bool transit = (req.b[1] & 0x80) != 0;
  const bool cont = (req.b[1] & 0x40) != 0;
  const std::uint8_t csg = (req.b[1] >> 2) & 3;
  const std::uint8_t nsg = req.b[1] & 3;
  const std::uint8_t versionMax = req.b[2];
  const std::uint8_t versionMin = req.b[3];
  const std::uint16_t tsih = req.Get16(14);

  if (transit && cont) return Fail(kLoginInitiatorError, "login request with both T and C set");
  if (versionMin > 0 || versionMax < versionMin) {
    return Fail(kLoginUnsupportedVersion, "unsupported version range " + std::to_string(versionMin) + "-" +
                                              std::to_string(versionMax));
  }
  if (tsih != 0) return Fail(kLoginSessionDoesNotExist, "TSIH " + std::to_string(tsih) + " names no session");
  if (csg == 2 || csg == kStageFullFeature || csg < stage_ || (first_ && csg > kStageOperational)) {
    return Fail(kLoginInitiatorError, "login request in stage " + std::to_string(csg));
  }
  if (!first_ && csg > stage_ && stage_ == kStageSecurity) {
    // Leaving the security stage must be asked for with T, not assumed.
    return Fail(kLoginInitiatorError, "stage skipped without transit");
  }
  stage_ = csg;

  if (pending_.size() + data.size() > kMaxLoginText) {
    return Fail(kLoginInitiatorError, "login text longer than " + std::to_string(kMaxLoginText) + " bytes");
  }
  pending_.insert(pending_.end(), data.begin(), data.end());
  if (cont) {
    // The text goes on in the next request: acknowledge with an empty reply.
    LoginReply r;
    r.csg = stage_;
    return r;
  }
  std::vector<KeyValue> keys;
  std::string problem;
  const bool parsed = ParseTextKeys(pending_, keys, problem);
  pending_.clear();
  if (!parsed) return Fail(kLoginInitiatorError, "login text: " + problem);

  std::vector<KeyValue> reply;
  for (const auto& [key, value] : keys) {
    if (!seenKeys_.insert(key).second) return Fail(kLoginInitiatorError, "key " + key + " negotiated twice");
    if (key == "AuthMethod" && stage_ != kStageSecurity) {
      return Fail(kLoginInitiatorError, "AuthMethod outside the security stage");
    }
    if (!Negotiate(key, value, reply)) {
      LoginReply r = Fail(failStatus_, failProblem_);
      r.text = FormatTextKeys(reply);
      return r;
    }
  }
  if ((chapName_ || chapResponse_) && !chapPassed_ && !CheckChapResponse()) {
    return Fail(failStatus_, failProblem_);
  }
  if (stage_ != kStageSecurity && !Authenticated()) {
    return Fail(kLoginAuthFailure, "the target requires CHAP; the login left the security stage without it");
  }

  if (first_) {
    first_ = false;
    if (initiatorName_.empty()) return Fail(kLoginMissingParameter, "first login request without InitiatorName");
    if (!discovery_) {
      if (targetName_.empty()) return Fail(kLoginMissingParameter, "normal session without TargetName");
    }
  }
  if (!discovery_) {
    if (!targetName_.empty()) {
      switch (lookup_ ? lookup_(targetName_) : TargetState::Unknown) {
        case TargetState::Present:
          break;
        case TargetState::Removed:
          return Fail(kLoginTargetRemoved, "target " + targetName_ + " has been removed");
        case TargetState::Unavailable:
          return Fail(kLoginServiceUnavailable, "target " + targetName_ + " does not open");
        case TargetState::Unknown:
          return Fail(kLoginNotFound, "no target named " + targetName_);
      }
    }
    if (!sentPortalGroup_) {
      reply.emplace_back("TargetPortalGroupTag", "1");
      sentPortalGroup_ = true;
    }
  }

  LoginReply r;
  r.csg = stage_;
  bool moveOn = transit;
  if (transit && stage_ == kStageSecurity && chap_ && !chapPassed_) {
    // The initiator may ask to move on while CHAP is still under way: the
    // target answers without transit until the response has come.
    if (!chapChosen_) return Fail(kLoginAuthFailure, "the target requires CHAP; the initiator did not offer it");
    moveOn = false;
  }
  if (moveOn) {
    if (nsg <= stage_ || nsg == 2) return Fail(kLoginInitiatorError, "transit to stage " + std::to_string(nsg));
    if (stage_ == kStageSecurity && !chap_ && authOffered_ && !authNone_) {
      return Fail(kLoginAuthFailure, "authentication required but not negotiated");
    }
    if (nsg == kStageFullFeature && !declaredMaxRecv_) {
      // Declarative: the initiator must learn our limit before full feature phase.
      reply.emplace_back("MaxRecvDataSegmentLength", std::to_string(params_.targetMaxRecvDataSegment));
      declaredMaxRecv_ = true;
    }
    r.transit = true;
    r.nsg = nsg;
    stage_ = nsg;
    if (nsg == kStageFullFeature) {
      if (params_.firstBurstLength > params_.maxBurstLength) params_.firstBurstLength = params_.maxBurstLength;
      r.complete = true;
      r.tsih = tsih_;
    }
  }
  r.text = FormatTextKeys(reply);
  return r;
}

Bhs LoginResponseHeader(const Bhs& request, const LoginReply& reply, std::uint32_t statSN,
                        std::uint32_t expCmdSN, std::uint32_t maxCmdSN) {
  Bhs h;
  h.b[0] = kOpLoginResponse;
  h.b[1] = static_cast<std::uint8_t>((reply.transit ? 0x80 : 0) | (reply.more ? 0x40 : 0) |
                                     ((reply.csg & 3) << 2) | (reply.transit ? (reply.nsg & 3) : 0));
  h.b[2] = 0;  // version max
  h.b[3] = 0;  // version active
  h.SetDataSegmentLength(static_cast<std::uint32_t>(reply.text.size()));
  std::memcpy(&h.b[8], &request.b[8], 6);  // ISID
  h.Put16(14, reply.tsih);
  h.Put32(16, request.InitiatorTaskTag());
  h.Put32(24, statSN);
  h.Put32(28, expCmdSN);
  h.Put32(32, maxCmdSN);
  h.Put16(36, reply.status);
  return h;
}

}  // namespace kx20::iscsi
