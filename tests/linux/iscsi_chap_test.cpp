// CHAP for the target's login: MD5 against RFC 1321's test suite, the binary
// values of the text keys, and whole login exchanges with a target that
// requires CHAP (the right answer, and every way to get it wrong).
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "sim/iscsi/chap.h"
#include "sim/iscsi/iscsi_login.h"

namespace kx20::iscsi {
namespace {

std::string Hex(std::span<const std::uint8_t> bytes) { return HexValue(bytes).substr(2); }

std::vector<std::uint8_t> Pattern(std::size_t n) {
  std::vector<std::uint8_t> v(n);
  for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<std::uint8_t>(i * 31 + 7);
  return v;
}

TEST(IscsiChap, Md5MatchesTheReferenceSuite) {
  struct Case {
    std::string input;
    const char* digest;
  };
  const Case cases[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"a", "0cc175b9c0f1b6a831c399e269772661"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f"},
      {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
       "57edf4a22be3c955ac49da2e2107b67a"},
      {std::string(1000000, 'a'), "7707d6ae4e027c70eea2a935c2296f21"},
  };
  for (const Case& c : cases) {
    const std::vector<std::uint8_t> bytes(c.input.begin(), c.input.end());
    EXPECT_EQ(Hex(Md5(bytes)), c.digest) << c.input.substr(0, 40);
  }
  // Lengths around the padding's block boundary (values from another MD5).
  const std::pair<std::size_t, const char*> edges[] = {
      {55, "c9e512626618c9980ef21a96597af94c"}, {56, "ecde7caa08e9f5657c863df107cac60a"},
      {63, "2f0301069e1c40af7f6c8f843b1b13f2"}, {64, "b6bf87c24b1bc334e2541387a92b981b"},
      {65, "f168246f08b6134d66bd2a10343fa9f1"}, {1000, "2b1e78d5765de9e10495a01412a1cf22"},
  };
  for (const auto& [n, digest] : edges) EXPECT_EQ(Hex(Md5(Pattern(n))), digest) << n << " bytes";
}

TEST(IscsiChap, ResponseIsTheDigestOfIdentifierSecretAndChallenge) {
  std::vector<std::uint8_t> c(16);
  for (int i = 0; i < 16; ++i) c[i] = static_cast<std::uint8_t>(i);
  EXPECT_EQ(Hex(ChapResponse(0x2A, "lab-secret-0123", c)), "735a334ea92358bf59b8473e324385e1");
}

TEST(IscsiChap, BinaryValues) {
  using Bytes = std::vector<std::uint8_t>;
  struct Case {
    const char* text;
    std::optional<Bytes> value;
  };
  const Case cases[] = {
      {"0x0a1B", Bytes{0x0A, 0x1B}},
      {"0X123", Bytes{0x01, 0x23}},  // odd count: a leading zero implied
      {"0bAQID", Bytes{1, 2, 3}},
      {"0BAQI=", Bytes{1, 2}},
      {"0bAQ==", Bytes{1}},
      {"0x", std::nullopt},
      {"0xZZ", std::nullopt},
      {"1234", std::nullopt},
      {"0bAQ=A", std::nullopt},  // data after padding
      {"0bAQI", std::nullopt},   // not a multiple of four
      {"0b=AAA", std::nullopt},
      {"0y12", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(ParseBinaryValue(c.text), c.value) << c.text;
}

// --- Logins against a target that requires CHAP -------------------------

Bhs LoginHeader(bool transit, std::uint8_t csg, std::uint8_t nsg) {
  Bhs h;
  h.b[0] = 0x43;
  h.b[1] = static_cast<std::uint8_t>((transit ? 0x80 : 0) | (csg << 2) | nsg);
  return h;
}

std::vector<std::uint8_t> Keys(std::initializer_list<std::string> entries) {
  std::vector<std::uint8_t> out;
  for (const auto& e : entries) {
    out.insert(out.end(), e.begin(), e.end());
    out.push_back(0);
  }
  return out;
}

std::string Value(const LoginReply& r, const std::string& key) {
  std::vector<KeyValue> keys;
  std::string problem;
  if (!ParseTextKeys(r.text, keys, problem)) return "<" + problem + ">";
  for (const auto& [k, v] : keys) {
    if (k == key) return v;
  }
  return "";
}

// An initiator's side of the exchange, against a negotiator that requires
// CHAP and draws its "random" bytes from a counter.
struct ChapPeer {
  ChapPeer() : login_([](const std::string&) { return TargetState::Present; }, 1) {
    login_.RequireChap(&account_, [this](std::uint8_t* out, std::size_t n) {
      for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<std::uint8_t>(next_++);
    });
  }
  // The first request: names and the methods offered, no transit.
  LoginReply Offer(const std::string& methods = "CHAP,None") {
    return login_.Step(LoginHeader(false, 0, 0), Keys({"InitiatorName=iqn.x:i", "SessionType=Normal",
                                                         "TargetName=iqn.2026-12.kx20.sim:e",
                                                         "AuthMethod=" + methods}));
  }
  // CHAP_A=5; remembers the identifier and challenge of the reply.
  LoginReply Algorithm(const std::string& list = "5") {
    LoginReply r = login_.Step(LoginHeader(false, 0, 0), Keys({"CHAP_A=" + list}));
    if (!r.failed) {
      id_ = static_cast<std::uint8_t>(std::stoi(Value(r, "CHAP_I")));
      challenge_ = *ParseBinaryValue(Value(r, "CHAP_C"));
    }
    return r;
  }
  std::string Response(const std::string& secret) { return HexValue(ChapResponse(id_, secret, challenge_)); }

  ChapSecret account_{"labuser", "lab-secret-0123"};
  int next_ = 0x40;
  LoginNegotiator login_;
  std::uint8_t id_ = 0;
  std::vector<std::uint8_t> challenge_;
};

TEST(ChapLogin, TheRightResponseLeadsToTheFullFeaturePhase) {
  ChapPeer t;
  LoginReply r = t.Offer();
  ASSERT_FALSE(r.failed) << r.problem;
  EXPECT_EQ(Value(r, "AuthMethod"), "CHAP");
  r = t.Algorithm("7,5");
  ASSERT_FALSE(r.failed) << r.problem;
  EXPECT_EQ(Value(r, "CHAP_A"), "5");
  EXPECT_EQ(t.challenge_.size(), 16u);
  EXPECT_EQ(t.id_, 0x40);  // from the random source, as the challenge after it
  EXPECT_EQ(t.challenge_[0], 0x41);
  // Asking to move on before answering: the target stays in the stage.
  r = t.login_.Step(LoginHeader(true, 0, 1), {});
  ASSERT_FALSE(r.failed) << r.problem;
  EXPECT_FALSE(r.transit);
  r = t.login_.Step(LoginHeader(true, 0, 1), Keys({"CHAP_N=labuser", "CHAP_R=" + t.Response("lab-secret-0123")}));
  ASSERT_FALSE(r.failed) << r.problem;
  EXPECT_TRUE(r.transit);
  r = t.login_.Step(LoginHeader(true, 1, 3), Keys({"MaxRecvDataSegmentLength=65536"}));
  ASSERT_FALSE(r.failed) << r.problem;
  EXPECT_TRUE(r.complete);
}

TEST(ChapLogin, ABase64ResponseCountsToo) {
  ChapPeer t;
  ASSERT_FALSE(t.Offer().failed);
  ASSERT_FALSE(t.Algorithm().failed);
  const Md5Digest d = ChapResponse(t.id_, "lab-secret-0123", t.challenge_);
  // Base64 of the 16 bytes, written out by hand from the digest.
  static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string b64 = "0b";
  for (std::size_t i = 0; i < 16; i += 3) {
    const std::uint32_t g = (std::uint32_t{d[i]} << 16) | (i + 1 < 16 ? std::uint32_t{d[i + 1]} << 8 : 0) |
                            (i + 2 < 16 ? d[i + 2] : 0);
    b64 += kAlphabet[g >> 18];
    b64 += kAlphabet[(g >> 12) & 63];
    b64 += i + 1 < 16 ? kAlphabet[(g >> 6) & 63] : '=';
    b64 += i + 2 < 16 ? kAlphabet[g & 63] : '=';
  }
  const LoginReply r = t.login_.Step(LoginHeader(true, 0, 3), Keys({"CHAP_N=labuser", "CHAP_R=" + b64}));
  EXPECT_FALSE(r.failed) << r.problem;
  EXPECT_TRUE(r.complete);
}

TEST(ChapLogin, EveryWayToFailIsRefused) {
  struct Case {
    const char* what;
    std::function<LoginReply(ChapPeer&)> run;
    std::uint16_t status;
  };
  const Case cases[] = {
      {"wrong secret",
       [](ChapPeer& t) {
         t.Offer();
         t.Algorithm();
         return t.login_.Step(LoginHeader(true, 0, 1),
                              Keys({"CHAP_N=labuser", "CHAP_R=" + t.Response("lab-secret-0124")}));
       },
       kLoginAuthFailure},
      {"wrong user",
       [](ChapPeer& t) {
         t.Offer();
         t.Algorithm();
         return t.login_.Step(LoginHeader(true, 0, 1),
                              Keys({"CHAP_N=other", "CHAP_R=" + t.Response("lab-secret-0123")}));
       },
       kLoginAuthFailure},
      {"response without a name",
       [](ChapPeer& t) {
         t.Offer();
         t.Algorithm();
         return t.login_.Step(LoginHeader(true, 0, 1), Keys({"CHAP_R=" + t.Response("lab-secret-0123")}));
       },
       kLoginAuthFailure},
      {"a response of the wrong length",
       [](ChapPeer& t) {
         t.Offer();
         t.Algorithm();
         return t.login_.Step(LoginHeader(true, 0, 1),
                              Keys({"CHAP_N=labuser", "CHAP_R=" + t.Response("lab-secret-0123") + "00"}));
       },
       kLoginAuthFailure},
      {"no CHAP offered", [](ChapPeer& t) { return t.Offer("None"); }, kLoginAuthFailure},
      {"no MD5 offered",
       [](ChapPeer& t) {
         t.Offer();
         return t.Algorithm("7");
       },
       kLoginAuthFailure},
      {"the security stage skipped",
       [](ChapPeer& t) {
         return t.login_.Step(LoginHeader(true, 1, 3),
                              Keys({"InitiatorName=iqn.x:i", "TargetName=iqn.2026-12.kx20.sim:e"}));
       },
       kLoginAuthFailure},
      {"transit without offering a method",
       [](ChapPeer& t) {
         return t.login_.Step(LoginHeader(true, 0, 1),
                              Keys({"InitiatorName=iqn.x:i", "TargetName=iqn.2026-12.kx20.sim:e"}));
       },
       kLoginAuthFailure},
      {"mutual CHAP asked for",
       [](ChapPeer& t) {
         t.Offer();
         t.Algorithm();
         return t.login_.Step(LoginHeader(true, 0, 1),
                              Keys({"CHAP_N=labuser", "CHAP_R=" + t.Response("lab-secret-0123"), "CHAP_I=1",
                                    "CHAP_C=0x0102030405060708"}));
       },
       kLoginAuthFailure},
      {"a response before any challenge",
       [](ChapPeer& t) {
         t.Offer();
         return t.login_.Step(LoginHeader(true, 0, 1), Keys({"CHAP_N=labuser", "CHAP_R=0x00"}));
       },
       kLoginInitiatorError},
      {"CHAP keys before the method is agreed",
       [](ChapPeer& t) {
         return t.login_.Step(LoginHeader(false, 0, 0), Keys({"InitiatorName=iqn.x:i", "CHAP_A=5"}));
       },
       kLoginInitiatorError},
  };
  for (const Case& c : cases) {
    ChapPeer t;
    const LoginReply r = c.run(t);
    EXPECT_TRUE(r.failed) << c.what;
    EXPECT_EQ(r.status, c.status) << c.what << ": " << r.problem;
    EXPECT_FALSE(r.complete) << c.what;
  }
}

}  // namespace
}  // namespace kx20::iscsi
