// The iSCSI header parser, the text key lists and the login negotiation,
// fed well-formed and hostile input alike.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/iscsi/iscsi_login.h"
#include "sim/iscsi/iscsi_pdu.h"

namespace kx20::iscsi {
namespace {

std::vector<std::uint8_t> Bytes(const std::string& s) { return {s.begin(), s.end()}; }

std::string Text(const std::vector<std::uint8_t>& t) { return std::string(t.begin(), t.end()); }

TEST(IscsiBhs, AcceptsInitiatorOpcodesAndRefusesTheRest) {
  struct Case {
    std::uint8_t byte0;
    std::uint32_t dataLength;
    bool ok;
  };
  const Case cases[] = {
      {0x43, 100, true},      // login request, immediate
      {0x01, 0, true},        // SCSI command
      {0x05, 8192, true},     // Data-Out at the limit
      {0x05, 8193, false},    // one byte over the limit
      {0x21, 0, false},       // SCSI response: a target opcode
      {0x3F, 0, false},       // reject: a target opcode
      {0x1C, 0, false},       // unassigned
      {0x10, 0, true},        // SNACK
  };
  for (const Case& c : cases) {
    std::vector<std::uint8_t> raw(48, 0);
    raw[0] = c.byte0;
    raw[5] = static_cast<std::uint8_t>(c.dataLength >> 16);
    raw[6] = static_cast<std::uint8_t>(c.dataLength >> 8);
    raw[7] = static_cast<std::uint8_t>(c.dataLength);
    Bhs h;
    std::string problem;
    EXPECT_EQ(ParseBhs(raw, 8192, h, problem), c.ok) << std::hex << int{c.byte0} << " " << c.dataLength;
    if (!c.ok) {
      EXPECT_FALSE(problem.empty());
    }
  }
  Bhs h;
  std::string problem;
  EXPECT_FALSE(ParseBhs(std::vector<std::uint8_t>(47, 0), 8192, h, problem));
}

TEST(IscsiTextKeys, ParsesAndRefusesMalformedLists) {
  struct Case {
    std::string raw;
    bool ok;
    std::size_t count;
  };
  const std::string longKey(64, 'K');
  const Case cases[] = {
      {std::string("A=1\0B=two\0", 10), true, 2},
      {std::string("A=1\0\0\0", 6), true, 1},              // padding after the last entry
      {std::string("A=\0", 3), true, 1},                   // empty value is allowed
      {"", true, 0},
      {std::string("A=1", 3), false, 0},                   // no terminating zero
      {std::string("A1\0", 3), false, 0},                  // no '='
      {std::string("=1\0", 3), false, 0},                  // empty key
      {longKey + std::string("=1\0", 3), false, 0},        // key too long
      {std::string("A B=1\0", 6), false, 0},               // space in key
      {std::string("A=1\0\0B=2\0", 9), false, 0},          // empty entry in the middle
      {"A=" + std::string(8193, 'v') + std::string(1, '\0'), false, 0},  // value too long
  };
  for (const Case& c : cases) {
    std::vector<KeyValue> keys;
    std::string problem;
    EXPECT_EQ(ParseTextKeys(Bytes(c.raw), keys, problem), c.ok) << c.raw.substr(0, 20);
    if (c.ok) {
      EXPECT_EQ(keys.size(), c.count);
    }
  }
  std::string many;
  for (int i = 0; i <= static_cast<int>(kMaxKeys); ++i) many += "K" + std::to_string(i) + "=1" + std::string(1, '\0');
  std::vector<KeyValue> keys;
  std::string problem;
  EXPECT_FALSE(ParseTextKeys(Bytes(many), keys, problem));
}

TEST(IscsiTextKeys, Numbers) {
  std::uint64_t n = 0;
  EXPECT_TRUE(ParseKeyNumber("262144", 16777215, n));
  EXPECT_EQ(n, 262144u);
  EXPECT_TRUE(ParseKeyNumber("0x10", 100, n));
  EXPECT_EQ(n, 16u);
  EXPECT_FALSE(ParseKeyNumber("16777216", 16777215, n));
  EXPECT_FALSE(ParseKeyNumber("99999999999999999999999", ~0ull, n));
  EXPECT_FALSE(ParseKeyNumber("12a", 1000, n));
  EXPECT_FALSE(ParseKeyNumber("", 1000, n));
  EXPECT_FALSE(ParseKeyNumber("0x", 1000, n));
}

// --- Login ----------------------------------------------------------------

Bhs LoginHeader(bool transit, std::uint8_t csg, std::uint8_t nsg, bool cont = false) {
  Bhs h;
  h.b[0] = 0x43;
  h.b[1] = static_cast<std::uint8_t>((transit ? 0x80 : 0) | (cont ? 0x40 : 0) | (csg << 2) | nsg);
  return h;
}

TargetLookup Lookup() {
  return [](const std::string& name) {
    if (name == "iqn.2026-12.kx20.sim:e") return TargetState::Present;
    if (name == "iqn.2026-12.kx20.sim:f") return TargetState::Removed;
    return TargetState::Unknown;
  };
}

std::string Keys(std::initializer_list<std::string> entries) {
  std::string s;
  for (const auto& e : entries) s += e + std::string(1, '\0');
  return s;
}

TEST(IscsiLogin, NormalSessionThroughBothStages) {
  LoginNegotiator login(Lookup(), 7);
  LoginReply r = login.Step(LoginHeader(true, 0, 1),
                            Bytes(Keys({"InitiatorName=iqn.x:i", "TargetName=iqn.2026-12.kx20.sim:e",
                                        "SessionType=Normal", "AuthMethod=CHAP,None"})));
  ASSERT_FALSE(r.failed) << r.problem;
  EXPECT_TRUE(r.transit);
  EXPECT_EQ(r.nsg, 1);
  EXPECT_NE(Text(r.text).find("AuthMethod=None"), std::string::npos);
  EXPECT_NE(Text(r.text).find("TargetPortalGroupTag=1"), std::string::npos);
  EXPECT_FALSE(login.Complete());

  r = login.Step(LoginHeader(true, 1, 3),
                 Bytes(Keys({"HeaderDigest=CRC32C,None", "MaxRecvDataSegmentLength=65536", "MaxBurstLength=4096",
                             "FirstBurstLength=8192", "ImmediateData=No", "ErrorRecoveryLevel=2",
                             "X-com.example.Foo=1", "MaxConnections=4"})));
  ASSERT_FALSE(r.failed) << r.problem;
  EXPECT_TRUE(r.complete);
  EXPECT_EQ(r.tsih, 7);
  const std::string t = Text(r.text);
  for (const char* expected : {"HeaderDigest=None", "MaxRecvDataSegmentLength=262144", "MaxBurstLength=4096",
                               "ImmediateData=No", "ErrorRecoveryLevel=0", "X-com.example.Foo=NotUnderstood",
                               "MaxConnections=1"}) {
    EXPECT_NE(t.find(std::string(expected) + std::string(1, '\0')), std::string::npos) << expected;
  }
  EXPECT_EQ(login.Params().initiatorMaxRecvDataSegment, 65536u);
  // First burst never exceeds the burst.
  EXPECT_EQ(login.Params().firstBurstLength, 4096u);
  EXPECT_FALSE(login.Params().immediateData);
  EXPECT_TRUE(login.Complete());
  // No login after full feature phase.
  EXPECT_TRUE(login.Step(LoginHeader(true, 1, 3), {}).failed);
}

TEST(IscsiLogin, RefusalsCarryTheRightStatus) {
  struct Case {
    const char* what;
    Bhs header;
    std::string text;
    std::uint16_t status;
  };
  Bhs badVersion = LoginHeader(true, 0, 1);
  badVersion.b[3] = 1;  // version-min 1
  Bhs withTsih = LoginHeader(true, 0, 1);
  withTsih.Put16(14, 5);
  const std::string good = Keys({"InitiatorName=iqn.x:i", "TargetName=iqn.2026-12.kx20.sim:e"});
  const Case cases[] = {
      {"unknown target", LoginHeader(true, 0, 1), Keys({"InitiatorName=i", "TargetName=iqn.nope"}), kLoginNotFound},
      {"removed target", LoginHeader(true, 0, 1), Keys({"InitiatorName=i", "TargetName=iqn.2026-12.kx20.sim:f"}),
       kLoginTargetRemoved},
      {"no initiator name", LoginHeader(true, 0, 1), Keys({"TargetName=iqn.2026-12.kx20.sim:e"}),
       kLoginMissingParameter},
      {"no target name", LoginHeader(true, 0, 1), Keys({"InitiatorName=i"}), kLoginMissingParameter},
      {"CHAP only", LoginHeader(true, 0, 1), good + Keys({"AuthMethod=CHAP"}), kLoginAuthFailure},
      {"bad session type", LoginHeader(true, 0, 1), good + Keys({"SessionType=Weird"}),
       kLoginSessionTypeUnsupported},
      {"key twice", LoginHeader(true, 0, 1), good + Keys({"MaxBurstLength=512", "MaxBurstLength=512"}),
       kLoginInitiatorError},
      {"version", badVersion, good, kLoginUnsupportedVersion},
      {"existing session", withTsih, good, kLoginSessionDoesNotExist},
      {"T and C", LoginHeader(true, 0, 1, true), good, kLoginInitiatorError},
      {"start in full feature", LoginHeader(true, 3, 3), good, kLoginInitiatorError},
      {"transit to stage 2", LoginHeader(true, 0, 2), good, kLoginInitiatorError},
      {"transit backwards", LoginHeader(true, 1, 0), good, kLoginInitiatorError},
      {"malformed text", LoginHeader(true, 0, 1), std::string("InitiatorName", 13), kLoginInitiatorError},
  };
  for (const Case& c : cases) {
    LoginNegotiator login(Lookup(), 1);
    const LoginReply r = login.Step(c.header, Bytes(c.text));
    EXPECT_TRUE(r.failed) << c.what;
    EXPECT_EQ(r.status, c.status) << c.what;
    EXPECT_FALSE(r.problem.empty()) << c.what;
  }
}

TEST(IscsiLogin, DiscoveryNeedsNoTargetAndTextMayContinue) {
  LoginNegotiator login(Lookup(), 1);
  // The first request's text arrives in two pieces (C bit).
  const std::string all = Keys({"InitiatorName=iqn.x:i", "SessionType=Discovery"});
  LoginReply r = login.Step(LoginHeader(false, 0, 0, true), Bytes(all.substr(0, 10)));
  ASSERT_FALSE(r.failed);
  EXPECT_TRUE(r.text.empty());
  r = login.Step(LoginHeader(true, 0, 3), Bytes(all.substr(10)));
  ASSERT_FALSE(r.failed) << r.problem;
  EXPECT_TRUE(r.complete);
  EXPECT_TRUE(login.Discovery());
  EXPECT_EQ(Text(r.text).find("TargetPortalGroupTag"), std::string::npos);
}

TEST(IscsiLogin, EndlessContinuationIsRefused) {
  LoginNegotiator login(Lookup(), 1);
  const std::vector<std::uint8_t> chunk(8192, 'A');
  LoginReply r;
  int steps = 0;
  do {
    r = login.Step(LoginHeader(false, 0, 0, true), chunk);
  } while (!r.failed && ++steps < 100);
  EXPECT_TRUE(r.failed);
  EXPECT_LT(steps, 10);
}

TEST(IscsiLogin, ResponseHeaderEchoesTheRequest) {
  Bhs req = LoginHeader(true, 1, 3);
  for (int i = 8; i < 14; ++i) req.b[i] = static_cast<std::uint8_t>(i);  // ISID
  req.Put32(16, 0xABCD0001);
  LoginReply reply;
  reply.transit = true;
  reply.csg = 1;
  reply.nsg = 3;
  reply.tsih = 9;
  reply.status = kLoginNotFound;
  reply.text = {'a', '=', 'b', 0};
  const Bhs h = LoginResponseHeader(req, reply, 10, 20, 51);
  EXPECT_EQ(h.b[0], kOpLoginResponse);
  EXPECT_EQ(h.b[1], 0x87);
  for (int i = 8; i < 14; ++i) EXPECT_EQ(h.b[i], i);
  EXPECT_EQ(h.Get16(14), 9);
  EXPECT_EQ(h.InitiatorTaskTag(), 0xABCD0001u);
  EXPECT_EQ(h.DataSegmentLength(), 4u);
  EXPECT_EQ(h.Get32(24), 10u);
  EXPECT_EQ(h.Get32(28), 20u);
  EXPECT_EQ(h.Get32(32), 51u);
  EXPECT_EQ(h.b[36], 0x02);
  EXPECT_EQ(h.b[37], 0x03);
}

}  // namespace
}  // namespace kx20::iscsi
