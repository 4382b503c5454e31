// One iSCSI connection driven over memory: what a scripted initiator sends,
// what the target answers, and how hostile input ends only that connection.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "common/virtual_clock.h"
#include "sim/farm.h"
#include "sim/farm_file.h"
#include "sim/iscsi/iscsi_connection.h"

namespace kx20::iscsi {
namespace {

constexpr const char* kTargetE = "iqn.2026-12.kx20.sim:e";

// Builds the bytes an initiator sends.
class Script {
 public:
  Script& Pdu(Bhs h, const std::vector<std::uint8_t>& data = {}) {
    h.SetDataSegmentLength(static_cast<std::uint32_t>(data.size()));
    bytes.insert(bytes.end(), h.b.begin(), h.b.end());
    bytes.insert(bytes.end(), data.begin(), data.end());
    bytes.resize(bytes.size() + PaddedLength(static_cast<std::uint32_t>(data.size())) - data.size(), 0);
    return *this;
  }
  Script& Login(const std::string& target = kTargetE, const std::vector<std::string>& extra = {}) {
    Bhs h;
    h.b[0] = 0x43;
    h.b[1] = 0x80 | (1 << 2) | 3;  // operational stage straight to full feature
    h.Put32(24, cmdSN);
    std::string text = std::string("InitiatorName=iqn.test:i") + '\0';
    text += target.empty() ? std::string("SessionType=Discovery") + '\0' : "TargetName=" + target + '\0';
    text += std::string("MaxRecvDataSegmentLength=4096") + '\0';
    for (const std::string& key : extra) text += key + '\0';
    return Pdu(h, {text.begin(), text.end()});
  }
  Script& Command(std::uint32_t itt, std::vector<std::uint8_t> cdb, std::uint32_t edtl, bool read, bool write,
                  const std::vector<std::uint8_t>& immediate = {}) {
    Bhs h;
    h.b[0] = kOpScsiCommand;
    h.b[1] = static_cast<std::uint8_t>(0x80 | (read ? 0x40 : 0) | (write ? 0x20 : 0));
    h.Put32(16, itt);
    h.Put32(20, edtl);
    h.Put32(24, cmdSN++);
    std::memcpy(&h.b[32], cdb.data(), std::min<std::size_t>(16, cdb.size()));
    return Pdu(h, immediate);
  }
  Script& DataOut(std::uint32_t itt, std::uint32_t ttt, std::uint32_t dataSN, std::uint32_t offset,
                  const std::vector<std::uint8_t>& data, bool final) {
    Bhs h;
    h.b[0] = kOpDataOut;
    h.b[1] = final ? 0x80 : 0;
    h.Put32(16, itt);
    h.Put32(20, ttt);
    h.Put32(36, dataSN);
    h.Put32(40, offset);
    return Pdu(h, data);
  }
  Script& NopOut(std::uint32_t ttt) {  // the answer to a ping
    Bhs h;
    h.b[0] = 0x40 | kOpNopOut;
    h.b[1] = 0x80;
    h.Put32(16, kReservedTag);
    h.Put32(20, ttt);
    h.Put32(24, cmdSN);
    return Pdu(h);
  }
  Script& Logout() {
    Bhs h;
    h.b[0] = 0x46;
    h.b[1] = 0x80;
    h.Put32(16, 0x999);
    h.Put32(24, cmdSN);
    return Pdu(h);
  }
  std::vector<std::uint8_t> bytes;
  std::uint32_t cmdSN = 1;
};

struct Reply {
  Bhs bhs;
  std::vector<std::uint8_t> data;
};

std::vector<Reply> Split(const std::vector<std::uint8_t>& out) {
  std::vector<Reply> replies;
  std::size_t at = 0;
  while (at + kBhsSize <= out.size()) {
    Reply r;
    std::memcpy(r.bhs.b.data(), out.data() + at, kBhsSize);
    at += kBhsSize;
    const std::uint32_t n = r.bhs.DataSegmentLength();
    EXPECT_LE(at + n, out.size());
    r.data.assign(out.begin() + static_cast<std::ptrdiff_t>(at), out.begin() + static_cast<std::ptrdiff_t>(at + n));
    at += PaddedLength(n);
    replies.push_back(std::move(r));
  }
  EXPECT_EQ(at, out.size());
  return replies;
}

std::vector<std::uint8_t> Rw10(std::uint8_t op, std::uint32_t lba, std::uint16_t count) {
  return {op, 0, static_cast<std::uint8_t>(lba >> 24), static_cast<std::uint8_t>(lba >> 16),
          static_cast<std::uint8_t>(lba >> 8), static_cast<std::uint8_t>(lba), 0,
          static_cast<std::uint8_t>(count >> 8), static_cast<std::uint8_t>(count), 0};
}

class IscsiConnectionTest : public ::testing::Test {
 protected:
  void MakeFarm(const std::string& faultsE = "") {
    FarmLayout layout = DefaultFarmLayout();
    if (!faultsE.empty()) {
      std::string error;
      ASSERT_TRUE(ParseFaultList(faultsE, layout.disks[0].faults, error)) << error;
    }
    std::string error;
    farm_ = SimFarm::Create(layout, clock_, &error);
    ASSERT_TRUE(farm_) << error;
    for (char l : farm_->Letters()) targets_.Add(farm_->Disk(l));
  }
  std::vector<Reply> Run(const Script& s) {
    log_.clear();
    return Split(ServeBytes(s.bytes, targets_, &reason_, &log_));
  }
  bool Logged(const std::string& part) const {
    for (const auto& l : log_) {
      if (l.find(part) != std::string::npos) return true;
    }
    return false;
  }

  VirtualClock clock_;
  std::unique_ptr<SimFarm> farm_;
  TargetSet targets_;
  std::string reason_;
  std::vector<std::string> log_;
};

TEST_F(IscsiConnectionTest, WriteThroughR2TThenReadBack) {
  MakeFarm();
  std::vector<std::uint8_t> block(1024);
  for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<std::uint8_t>(i * 7);
  const std::vector<std::uint8_t> first(block.begin(), block.begin() + 512);
  const std::vector<std::uint8_t> second(block.begin() + 512, block.end());
  Script s;
  s.Login()
      .Command(0x10, Rw10(0x2A, 40, 2), 1024, false, true, first)  // immediate data, then one R2T
      .DataOut(0x10, 1, 0, 512, second, true)
      .Command(0x11, Rw10(0x28, 40, 2), 1024, true, false)
      .Logout();
  const auto r = Run(s);
  ASSERT_EQ(r.size(), 5u);
  EXPECT_EQ(r[0].bhs.Opcode(), kOpLoginResponse);
  EXPECT_EQ(r[0].bhs.b[36], 0);
  EXPECT_EQ(r[1].bhs.Opcode(), kOpR2T);
  EXPECT_EQ(r[1].bhs.Get32(40), 512u);  // buffer offset
  EXPECT_EQ(r[1].bhs.Get32(44), 512u);  // desired length
  EXPECT_EQ(r[2].bhs.Opcode(), kOpScsiResponse);
  EXPECT_EQ(r[2].bhs.b[3], 0);
  EXPECT_EQ(r[3].bhs.Opcode(), kOpDataIn);
  EXPECT_EQ(r[3].bhs.b[1] & 0x81, 0x81);  // final, with status
  EXPECT_EQ(r[3].data, block);
  EXPECT_EQ(r[4].bhs.Opcode(), kOpLogoutResponse);
  EXPECT_EQ(reason_, "logout");
  EXPECT_EQ(farm_->Disk('E')->ReadStored(40, 2), block);
  EXPECT_TRUE(Logged("login memory iqn.test:i -> iqn.2026-12.kx20.sim:e"));
  EXPECT_TRUE(Logged("logout memory"));
  // StatSN counts up by one per response that carries status.
  EXPECT_EQ(r[2].bhs.Get32(24) + 1, r[3].bhs.Get32(24));
}

TEST_F(IscsiConnectionTest, DataInIsSplitAtTheInitiatorsLimit) {
  MakeFarm();
  Script s;
  s.Login().Command(0x20, Rw10(0x28, 0, 20), 10240, true, false);  // 10 KB, initiator takes 4 KB
  const auto r = Run(s);
  ASSERT_EQ(r.size(), 4u);
  std::uint32_t offset = 0;
  for (std::size_t i = 1; i < 4; ++i) {
    EXPECT_EQ(r[i].bhs.Opcode(), kOpDataIn);
    EXPECT_EQ(r[i].bhs.Get32(36), i - 1);  // DataSN
    EXPECT_EQ(r[i].bhs.Get32(40), offset);
    offset += static_cast<std::uint32_t>(r[i].data.size());
    EXPECT_EQ((r[i].bhs.b[1] & 0x01) != 0, i == 3);  // status only on the last
  }
  EXPECT_EQ(offset, 10240u);
}

TEST_F(IscsiConnectionTest, FaultsReachTheInitiator) {
  struct Case {
    const char* faults;
    std::vector<std::uint8_t> cdb;
    std::uint32_t edtl;
    std::uint8_t response;  // iSCSI response byte
    std::uint8_t status;
    std::uint8_t senseKey, asc;
    const char* log;
  };
  const std::vector<std::uint8_t> probe = {0xF9, 0x6F, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 'V', 'Y'};
  const Case cases[] = {
      {"capacity", {0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 8, 0, 2, 0x04, 0x44, "fault E: capacity"},
      {"no-probe", probe, 0, 0, 2, 0x05, 0x20, "fault E: no-probe"},
      {"os-failure", probe, 0, 0x01, 0, 0, 0, "fault E: os-failure"},
      {"sense=00:2/3A/00", {0x00, 0, 0, 0, 0, 0}, 0, 0, 2, 0x02, 0x3A, "fault E: sense"},
  };
  for (const Case& c : cases) {
    targets_ = TargetSet();
    MakeFarm(c.faults);
    Script s;
    s.Login().Command(0x30, c.cdb, c.edtl, c.edtl > 0, false);
    const auto r = Run(s);
    ASSERT_EQ(r.size(), 2u) << c.faults;
    EXPECT_EQ(r[1].bhs.Opcode(), kOpScsiResponse) << c.faults;
    EXPECT_EQ(r[1].bhs.b[2], c.response) << c.faults;
    EXPECT_EQ(r[1].bhs.b[3], c.status) << c.faults;
    if (c.status == 2) {
      ASSERT_EQ(r[1].data.size(), 20u) << c.faults;
      EXPECT_EQ(r[1].data[1], 18);  // SenseLength
      EXPECT_EQ(r[1].data[2 + 2], c.senseKey) << c.faults;
      EXPECT_EQ(r[1].data[2 + 12], c.asc) << c.faults;
    }
    EXPECT_TRUE(Logged(c.log)) << c.faults;
  }
}

TEST_F(IscsiConnectionTest, UnpluggedDiskIsALogicalUnitThatIsGone) {
  MakeFarm("unplug-after=1");
  Script s;
  s.Login()
      .Command(0x40, {0x00, 0, 0, 0, 0, 0}, 0, false, false)             // the last command it answers
      .Command(0x41, {0x00, 0, 0, 0, 0, 0}, 0, false, false)             // gone
      .Command(0x42, {0x12, 0, 0, 0, 36, 0}, 36, true, false)            // INQUIRY: qualifier 3
      .Command(0x43, {0xA0, 0, 0, 0, 0, 0, 0, 0, 0, 16, 0, 0}, 16, true, false);  // REPORT LUNS: none
  const auto r = Run(s);
  ASSERT_EQ(r.size(), 5u);
  EXPECT_EQ(r[1].bhs.b[3], 0);
  EXPECT_EQ(r[2].bhs.b[3], 2);
  EXPECT_EQ(r[2].data[2 + 2], 0x05);
  EXPECT_EQ(r[2].data[2 + 12], 0x25);
  EXPECT_EQ(r[3].bhs.Opcode(), kOpDataIn);
  EXPECT_EQ(r[3].data.at(0), 0x7F);
  EXPECT_EQ(r[4].data.size(), 8u);
  EXPECT_EQ(r[4].data[3], 0);  // empty LUN list
  EXPECT_TRUE(Logged("fault E: unplug-after"));
  // It is no longer offered, and a new login is told it was removed.
  EXPECT_EQ(targets_.State(kTargetE), TargetState::Removed);
  const auto again = Run(Script().Login());
  ASSERT_EQ(again.size(), 1u);
  EXPECT_EQ(again[0].bhs.b[36], 0x02);
  EXPECT_EQ(again[0].bhs.b[37], 0x04);
}

TEST_F(IscsiConnectionTest, SendTargetsListsEveryPresentDisk) {
  MakeFarm();
  Script s;
  s.Login("");
  Bhs text;
  text.b[0] = kOpTextRequest;
  text.b[1] = 0x80;
  text.Put32(16, 0x50);
  text.Put32(20, kReservedTag);
  text.Put32(24, s.cmdSN++);
  const std::string q = std::string("SendTargets=All") + '\0';
  s.Pdu(text, {q.begin(), q.end()});
  s.Command(0x51, {0x00, 0, 0, 0, 0, 0}, 0, false, false);  // no SCSI in discovery
  const auto r = Run(s);
  ASSERT_EQ(r.size(), 3u);
  const std::string answer(r[1].data.begin(), r[1].data.end());
  for (char l = 'e'; l <= 'n'; ++l) {
    EXPECT_NE(answer.find(std::string("TargetName=iqn.2026-12.kx20.sim:") + l + '\0'), std::string::npos) << l;
  }
  EXPECT_NE(answer.find(std::string("TargetAddress=127.0.0.1:3260,1") + '\0'), std::string::npos);
  EXPECT_EQ(r[2].bhs.Opcode(), kOpReject);
}

TEST_F(IscsiConnectionTest, AbortTaskDropsAWriteWaitingForData) {
  MakeFarm();
  Script s;
  s.Login().Command(0x60, Rw10(0x2A, 8, 1), 512, false, true);
  Bhs tmf;
  tmf.b[0] = 0x40 | kOpTaskMgmtRequest;
  tmf.b[1] = 0x80 | 1;  // ABORT TASK
  tmf.Put32(16, 0x61);
  tmf.Put32(20, 0x60);
  tmf.Put32(24, s.cmdSN);
  tmf.Put32(32, s.cmdSN - 1);
  s.Pdu(tmf);
  s.DataOut(0x60, 1, 0, 0, std::vector<std::uint8_t>(512, 0xEE), true);  // late data: dropped
  tmf.Put32(16, 0x62);
  tmf.b[1] = 0x80 | 5;  // LUN RESET
  s.Pdu(tmf);
  const auto r = Run(s);
  ASSERT_EQ(r.size(), 4u);
  EXPECT_EQ(r[1].bhs.Opcode(), kOpR2T);
  EXPECT_EQ(r[2].bhs.Opcode(), kOpTaskMgmtResponse);
  EXPECT_EQ(r[2].bhs.b[2], 0);  // function complete
  EXPECT_EQ(r[3].bhs.b[2], 0);
  EXPECT_EQ(farm_->Disk('E')->ReadStored(8, 1), std::vector<std::uint8_t>(512, 0));
}

// Every hostile input ends the connection with a log line; nothing is read
// or written outside a buffer (the sanitizer builds run this too).
TEST_F(IscsiConnectionTest, HostileInputClosesTheConnection) {
  MakeFarm();
  auto header = [](std::uint8_t op, std::uint32_t dataLength) {
    Bhs h;
    h.b[0] = op;
    h.SetDataSegmentLength(dataLength);
    return h;
  };
  struct Case {
    const char* what;
    std::vector<std::uint8_t> bytes;
    const char* log;
  };
  std::vector<Case> cases;
  {
    Script s;
    s.Pdu(header(kOpScsiCommand, 0));
    cases.push_back({"command before login", s.bytes, "before login"});
  }
  {
    Script s;
    Bhs h = header(0x43, 0);
    h.SetDataSegmentLength(0xFFFFFF);
    s.bytes.assign(h.b.begin(), h.b.end());
    cases.push_back({"huge login data segment", s.bytes, "malformed PDU"});
  }
  {
    Script s;
    s.Login().Pdu(header(0x21, 0));
    cases.push_back({"target opcode from the initiator", s.bytes, "malformed PDU"});
  }
  {
    Script s;
    s.Login().DataOut(0x70, 5, 0, 0, std::vector<std::uint8_t>(512), true);
    cases.push_back({"Data-Out without R2T", s.bytes, "no outstanding R2T"});
  }
  {
    Script s;
    s.Login().Command(0x71, Rw10(0x2A, 0, 2), 1024, false, true).DataOut(0x71, 1, 0, 512, std::vector<std::uint8_t>(512), true);
    cases.push_back({"Data-Out at the wrong offset", s.bytes, "out of order"});
  }
  {
    Script s;
    s.Login().Command(0x72, Rw10(0x2A, 0, 1), 512, false, true).DataOut(0x72, 1, 0, 0, std::vector<std::uint8_t>(1024), true);
    cases.push_back({"Data-Out beyond its R2T", s.bytes, "beyond its R2T"});
  }
  {
    Script s;
    s.Login().Command(0x73, Rw10(0x28, 0, 1), 512, true, false, std::vector<std::uint8_t>(16));
    cases.push_back({"immediate data on a read", s.bytes, "writes nothing"});
  }
  {
    Script s;
    s.Login().Command(0x74, Rw10(0x2A, 0, 1), 16, false, true, std::vector<std::uint8_t>(512));
    cases.push_back({"immediate data beyond the transfer", s.bytes, "immediate data beyond"});
  }
  {
    Script s;
    s.Login();
    s.bytes.resize(s.bytes.size() + 20, 0x01);  // a torn header at the end
    cases.push_back({"torn header", s.bytes, ""});
  }
  {
    Script s;
    s.Login().Command(0x75, Rw10(0x2A, 0, 1), 512, false, true);
    for (int i = 0; i < 70; ++i) s.Command(0x100 + i, {0x00, 0, 0, 0, 0, 0}, 0, false, false);
    cases.push_back({"flood behind a write", s.bytes, "queued behind a write"});
  }
  for (const Case& c : cases) {
    std::string reason;
    std::vector<std::string> log;
    ServeBytes(c.bytes, targets_, &reason, &log);
    EXPECT_NE(reason, "logout") << c.what;
    if (c.log[0] != '\0') {
      bool found = false;
      for (const auto& l : log) found = found || l.find(c.log) != std::string::npos;
      EXPECT_TRUE(found) << c.what << ": " << reason;
    }
  }
}

TEST_F(IscsiConnectionTest, CommandsOutsideTheWindowAreIgnored) {
  MakeFarm();
  Script s;
  s.Login();
  s.cmdSN = 1000;  // far beyond MaxCmdSN
  s.Command(0x80, {0x00, 0, 0, 0, 0, 0}, 0, false, false);
  s.cmdSN = 1;
  s.Command(0x81, {0x00, 0, 0, 0, 0, 0}, 0, false, false);
  const auto r = Run(s);
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(r[1].bhs.InitiatorTaskTag(), 0x81u);
}

// A stream whose initiator falls silent between parts of its script: an
// empty part is a wait that runs out (WaitReadable false, or a Read inside a
// PDU that times out). No real time passes.
class SilencesStream final : public PduStream {
 public:
  explicit SilencesStream(std::vector<std::vector<std::uint8_t>> parts) : parts_(std::move(parts)) {}
  bool WaitReadable(Deadline) override {
    SkipDone();
    if (part_ < parts_.size() && parts_[part_].empty()) {
      ++part_;
      return false;
    }
    return true;
  }
  void SetReadDeadline(Deadline deadline) override {
    limited_ = deadline != Deadline::max();
    timedOut_ = false;
  }
  bool TimedOut() const override { return timedOut_; }
  bool Read(std::uint8_t* data, std::size_t size) override {
    while (size > 0) {
      SkipDone();
      if (part_ >= parts_.size()) return false;
      if (parts_[part_].empty()) {
        timedOut_ = limited_;
        ++part_;
        return false;
      }
      const std::size_t n = std::min(size, parts_[part_].size() - at_);
      std::memcpy(data, parts_[part_].data() + at_, n);
      at_ += n;
      data += n;
      size -= n;
    }
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
  void SkipDone() {
    while (part_ < parts_.size() && !parts_[part_].empty() && at_ == parts_[part_].size()) {
      ++part_;
      at_ = 0;
    }
  }
  std::vector<std::vector<std::uint8_t>> parts_;
  std::size_t part_ = 0;
  std::size_t at_ = 0;
  bool limited_ = false;
  bool timedOut_ = false;
};

class IscsiTimeoutTest : public IscsiConnectionTest {
 protected:
  std::vector<Reply> Serve(std::vector<std::vector<std::uint8_t>> parts) {
    SilencesStream stream(std::move(parts));
    ConnectionConfig config;
    config.peer = "memory";
    config.loginTimeout = std::chrono::milliseconds(2000);
    config.idleTimeout = std::chrono::milliseconds(1500);
    log_.clear();
    Connection connection(stream, targets_, [this](const std::string& l) { log_.push_back(l); }, config);
    reason_ = connection.Serve();
    return Split(stream.out);
  }
  static std::vector<std::uint8_t> Silence() { return {}; }
};

TEST_F(IscsiTimeoutTest, ALoginThatNeverCompletesIsClosed) {
  MakeFarm();
  Script valid;
  valid.Login();
  Bhs security;  // a valid first request that stays in the security stage
  security.b[0] = 0x43;
  const std::string keys = std::string("InitiatorName=iqn.test:i") + '\0' + "TargetName=" + kTargetE + '\0';
  Script stays;
  stays.Pdu(security, {keys.begin(), keys.end()});
  struct Case {
    const char* what;
    std::vector<std::vector<std::uint8_t>> parts;
    std::size_t replies;
  };
  const Case cases[] = {
      {"nothing at all", {Silence()}, 0},
      {"a torn header", {std::vector<std::uint8_t>(valid.bytes.begin(), valid.bytes.begin() + 20), Silence()}, 0},
      {"a request that does not move on", {stays.bytes, Silence()}, 1},
  };
  for (const Case& c : cases) {
    const auto r = Serve(c.parts);
    EXPECT_EQ(r.size(), c.replies) << c.what;
    EXPECT_EQ(reason_, "login not completed within 2 s") << c.what;
    EXPECT_TRUE(Logged("closing memory: login not completed within 2 s")) << c.what;
  }
}

TEST_F(IscsiTimeoutTest, ASilentSessionIsPingedThenDropped) {
  MakeFarm();
  Script s;
  s.Login();
  const auto r = Serve({s.bytes, Silence(), Silence()});
  ASSERT_EQ(r.size(), 2u);
  const Bhs& ping = r[1].bhs;
  EXPECT_EQ(ping.Opcode(), kOpNopIn);
  EXPECT_TRUE(ping.Final());
  EXPECT_EQ(ping.InitiatorTaskTag(), kReservedTag);
  EXPECT_NE(ping.Get32(20), kReservedTag);  // a transfer tag: the initiator must answer
  EXPECT_TRUE(ping.LunIsZero());
  EXPECT_EQ(ping.Get32(24), r[0].bhs.Get32(24) + 1);  // the next StatSN
  EXPECT_EQ(reason_, "no answer to NOP-In within 1.5 s");
  EXPECT_TRUE(Logged("closing memory: no answer to NOP-In within 1.5 s"));
}

TEST_F(IscsiTimeoutTest, AnAnsweredPingKeepsTheSessionAndTakesNoStatusNumber) {
  MakeFarm();
  Script login;
  login.Login();
  Script answer;
  answer.cmdSN = login.cmdSN;
  answer.NopOut(1);
  Script work;
  work.cmdSN = answer.cmdSN;
  work.Command(0x90, {0x00, 0, 0, 0, 0, 0}, 0, false, false).Logout();
  const auto r = Serve({login.bytes, Silence(), answer.bytes, Silence(), work.bytes});
  ASSERT_EQ(r.size(), 5u);
  EXPECT_EQ(r[1].bhs.Opcode(), kOpNopIn);
  EXPECT_EQ(r[2].bhs.Opcode(), kOpNopIn);
  EXPECT_NE(r[1].bhs.Get32(20), r[2].bhs.Get32(20));  // each ping its own tag
  EXPECT_EQ(r[3].bhs.Opcode(), kOpScsiResponse);
  EXPECT_EQ(r[3].bhs.b[3], 0);
  const std::uint32_t next = r[0].bhs.Get32(24) + 1;
  EXPECT_EQ(r[1].bhs.Get32(24), next);
  EXPECT_EQ(r[2].bhs.Get32(24), next);
  EXPECT_EQ(r[3].bhs.Get32(24), next);  // the pings took none
  EXPECT_EQ(reason_, "logout");
}

TEST_F(IscsiTimeoutTest, APduLeftHalfSentIsDropped) {
  MakeFarm();
  Script login;
  login.Login();
  Script write;
  write.cmdSN = login.cmdSN;
  write.Command(0x91, Rw10(0x2A, 0, 8), 4096, false, true);
  write.DataOut(0x91, 1, 0, 0, std::vector<std::uint8_t>(4096, 1), true);
  const std::vector<std::uint8_t> torn(write.bytes.begin(), write.bytes.end() - 1000);
  const auto r = Serve({login.bytes, torn, Silence()});
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(r[1].bhs.Opcode(), kOpR2T);
  EXPECT_EQ(reason_, "a PDU not complete within 1.5 s");
  EXPECT_EQ(farm_->Disk('E')->SectorsWritten(), 0u);
}

// A long write arrives burst by burst, each burst asked for with its own
// R2T, and lands whole.
TEST_F(IscsiConnectionTest, AWriteOfSeveralBurstsLandsWhole) {
  MakeFarm();
  constexpr std::uint32_t kBlocks = 2049;
  constexpr std::uint32_t kBurst = 262144;
  std::vector<std::uint8_t> data(kBlocks * 512);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 7 + i / 512);
  Script s;
  s.Login(kTargetE, {"MaxBurstLength=262144"});
  s.Command(0xA0, Rw10(0x2A, 100, kBlocks), kBlocks * 512, false, true,
            std::vector<std::uint8_t>(data.begin(), data.begin() + 512));
  std::uint32_t offset = 512;
  for (std::uint32_t ttt = 1; offset < data.size(); ++ttt) {
    const std::uint32_t end = std::min<std::uint32_t>(offset + kBurst, static_cast<std::uint32_t>(data.size()));
    std::uint32_t dataSN = 0;
    for (std::uint32_t at = offset; at < end; at += 65536) {
      const std::uint32_t n = std::min(65536u, end - at);
      s.DataOut(0xA0, ttt, dataSN++, at,
                std::vector<std::uint8_t>(data.begin() + at, data.begin() + at + n), at + n == end);
    }
    offset = end;
  }
  const auto r = Run(s);
  ASSERT_EQ(r.size(), 6u) << reason_;
  for (std::size_t i = 1; i <= 4; ++i) {
    EXPECT_EQ(r[i].bhs.Opcode(), kOpR2T);
    EXPECT_EQ(r[i].bhs.Get32(40), 512 + (i - 1) * kBurst);  // buffer offset
    EXPECT_EQ(r[i].bhs.Get32(44), kBurst);                  // desired length
  }
  EXPECT_EQ(r[5].bhs.Opcode(), kOpScsiResponse);
  EXPECT_EQ(r[5].bhs.b[3], 0);
  EXPECT_EQ(farm_->Disk('E')->ReadStored(100, kBlocks), data);
}

TEST_F(IscsiConnectionTest, ImmediateDataQueuedBehindAWriteIsBounded) {
  MakeFarm();
  Script s;
  s.Login(kTargetE, {"FirstBurstLength=262144", "MaxBurstLength=262144"});
  s.Command(0xB0, Rw10(0x2A, 0, 1), 512, false, true);  // waits for its data
  const std::vector<std::uint8_t> burst(262144, 0x33);
  for (std::uint32_t i = 0; i < 40; ++i) {  // 10 MB of immediate data, fewer commands than the count limit
    Bhs h;
    h.b[0] = 0x40 | kOpScsiCommand;  // immediate: outside the command window
    h.b[1] = 0xA0;
    h.Put32(16, 0xB1 + i);
    h.Put32(20, 262144);
    h.Put32(24, s.cmdSN);
    const std::vector<std::uint8_t> cdb = Rw10(0x2A, 8 + i * 512, 512);
    std::memcpy(&h.b[32], cdb.data(), cdb.size());
    s.Pdu(h, burst);
  }
  Run(s);
  EXPECT_TRUE(Logged("bytes of immediate data queued behind a write")) << reason_;
  EXPECT_EQ(farm_->Disk('E')->SectorsWritten(), 0u);
}

}  // namespace
}  // namespace kx20::iscsi
