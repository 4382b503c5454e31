#include "device/device_session.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "common/aligned_buffer.h"
#include "support/fake_port.h"

namespace kx20 {
namespace {

using test::FakePort;
using test::FakeReply;
using test::RecordedRequest;
using Bytes = std::vector<std::uint8_t>;

Bytes Cdb16(std::initializer_list<std::uint8_t> head, bool signature) {
  Bytes cdb(16, 0);
  std::size_t i = 0;
  for (std::uint8_t b : head) cdb[i++] = b;
  if (signature) {
    cdb[14] = 'V';
    cdb[15] = 'Y';
  }
  return cdb;
}

Bytes CdbOf(const RecordedRequest& r) { return Bytes(r.cdb.begin(), r.cdb.end()); }

class SessionTest : public ::testing::Test {
 protected:
  SessionTest() {
    port.AddDrive('E');
    port.AddDrive('F');
  }
  FakePort port;
  DeviceSession session{port};
  // Large enough for the biggest transfer of the command table (258 sectors),
  // and aligned wherever the heap puts the fixture.
  AlignedBytes storage{0x0102 * 512 + kDataBufferAlignment, kDataBufferAlignment};
  std::uint8_t* const buffer = storage.data();
  std::uint32_t osError = 0;
};

// ---------------------------------------------------------------------------
// Request blocks of every command sent in the direct form
// ---------------------------------------------------------------------------

struct CommandCase {
  std::string name;
  std::function<DeviceStatus(DeviceSession&, std::uint8_t*, std::uint32_t*)> run;
  Bytes cdb;
  int cdbLength;
  int dataIn;
  std::uint32_t transferLength;
  std::uint32_t timeout;
  DeviceStatus failureCode;  // status for an untouched status byte
  DeviceStatus zeroSense;    // status for check condition with all-zero sense
  enum ErrorGoes { kNowhere, kOutOnly, kTransferAndOut, kTransferOnly } errorGoes;
};

std::vector<CommandCase> CommandCases() {
  using S = DeviceSession;
  return {
      {"ProbeControllerStatus", [](S& s, std::uint8_t*, std::uint32_t*) { return s.ProbeControllerStatus(); },
       Cdb16({0xF9, 0x6F}, true), 16, 1, 0, 2, DevVendorCommandFailed, DevVendorCommandFailed, CommandCase::kNowhere},
      {"ReadFlashInfo", [](S& s, std::uint8_t* b, std::uint32_t* e) { return s.ReadFlashInfo(b, 512, e); },
       Cdb16({0xF9, 0x60, 0x04}, true), 16, 1, 512, 5, DevVendorCommandFailed, DevVendorCommandFailed, CommandCase::kOutOnly},
      {"ReadConfigTable", [](S& s, std::uint8_t* b, std::uint32_t* e) { return s.ReadConfigTable(b, 512, e); },
       Cdb16({0xF9, 0x60, 0x00}, true), 16, 1, 512, 5, DevVendorCommandFailed, DevVendorCommandFailed, CommandCase::kOutOnly},
      {"WriteConfigTable", [](S& s, std::uint8_t* b, std::uint32_t* e) { return s.WriteConfigTable(b, 512, e); },
       Cdb16({0xF9, 0x61, 0x00}, true), 16, 0, 512, 5, DevTableWriteFailed, DevTableWriteFailed, CommandCase::kTransferAndOut},
      {"EraseFlashBlock", [](S& s, std::uint8_t*, std::uint32_t*) { return s.EraseFlashBlock(256); },
       Cdb16({0xF9, 0x62, 0x04, 0, 0, 0x00, 0x00, 0x01, 0x00}, true), 16, 1, 0, 2, DevVendorCommandFailed, DevVendorCommandFailed, CommandCase::kNowhere},
      {"EraseFlashBlockHighAddress", [](S& s, std::uint8_t*, std::uint32_t*) { return s.EraseFlashBlock(0x12345678); },
       Cdb16({0xF9, 0x62, 0x04, 0, 0, 0x12, 0x34, 0x56, 0x78}, true), 16, 1, 0, 2, DevVendorCommandFailed, DevVendorCommandFailed, CommandCase::kNowhere},
      {"FlashControl03", [](S& s, std::uint8_t*, std::uint32_t*) { return s.FlashControl03(); },
       Cdb16({0xF9, 0x62, 0x03}, true), 16, 1, 0, 2, DevVendorCommandFailed, DevVendorCommandFailed, CommandCase::kNowhere},
      {"FlashControl08", [](S& s, std::uint8_t*, std::uint32_t*) { return s.FlashControl08(); },
       Cdb16({0xF9, 0x62, 0x08}, true), 16, 1, 0, 2, DevVendorCommandFailed, DevVendorCommandFailed, CommandCase::kNowhere},
      {"ControllerControl01", [](S& s, std::uint8_t*, std::uint32_t*) { return s.ControllerControl01(); },
       Cdb16({0xF9, 0x01}, true), 16, 1, 0, 2, DevVendorCommandFailed, DevVendorCommandFailed, CommandCase::kNowhere},
      {"SignalPass", [](S& s, std::uint8_t*, std::uint32_t*) { return s.SignalPass(); },
       Cdb16({0xF9, 0x03}, true), 16, 1, 0, 2, DevVendorCommandFailed, DevVendorCommandFailed, CommandCase::kNowhere},
      {"SignalFail", [](S& s, std::uint8_t*, std::uint32_t*) { return s.SignalFail(); },
       Cdb16({0xF9, 0x04}, true), 16, 1, 0, 2, DevVendorCommandFailed, DevVendorCommandFailed, CommandCase::kNowhere},
      {"VerifyLeadingBlocks", [](S& s, std::uint8_t*, std::uint32_t*) { return s.VerifyLeadingBlocks(); },
       Cdb16({0x2F, 0, 0, 0, 0, 0, 0, 0x02, 0x00, 0}, false), 16, 1, 0, 2, DevVendorCommandFailed, DevVendorCommandFailed, CommandCase::kNowhere},
      {"ReadSectors", [](S& s, std::uint8_t* b, std::uint32_t* e) { return s.ReadSectors(b, 1, 128, e); },
       Cdb16({0x28, 0, 0, 0, 0, 0x01, 0, 0x00, 0x80, 0}, false), 16, 1, 65536, 5, DevReadFailed, DevReadFailed, CommandCase::kTransferAndOut},
      {"ReadSectorsBigLba", [](S& s, std::uint8_t* b, std::uint32_t* e) { return s.ReadSectors(b, 0x01020304, 0x0102, e); },
       Cdb16({0x28, 0, 0x01, 0x02, 0x03, 0x04, 0, 0x01, 0x02, 0}, false), 16, 1, 0x0102 * 512, 5, DevReadFailed, DevReadFailed, CommandCase::kTransferAndOut},
      {"WriteSectors", [](S& s, std::uint8_t* b, std::uint32_t* e) { return s.WriteSectors(b, 0xA0B0C0D0, 128, e); },
       Cdb16({0x2A, 0, 0xA0, 0xB0, 0xC0, 0xD0, 0, 0x00, 0x80, 0}, false), 16, 0, 65536, 10, DevWriteFailed, DevWriteFailed, CommandCase::kTransferAndOut},
      {"WriteCodeFlashBlock", [](S& s, std::uint8_t* b, std::uint32_t* e) { return s.WriteCodeFlashBlock(b, 0x011F, e); },
       Cdb16({0xDB, 0x2A, 0x01, 0x1F}, true), 16, 0, 16384, 5, DevCodeFlashWriteFailed, DevCodeFlashWriteFailed, CommandCase::kTransferAndOut},
      {"CodeFlashControl", [](S& s, std::uint8_t*, std::uint32_t*) { return s.CodeFlashControl(4); },
       Cdb16({0xD8, 0x01, 0x06, 0x00, 0x04}, true), 16, 0, 0, 5, DevCodeFlashControlFailed, DevNoSense, CommandCase::kTransferOnly},
  };
}

TEST_F(SessionTest, EveryCommandSendsItsRequestBlock) {
  for (const CommandCase& c : CommandCases()) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(session.Open('E'));
    port.ClearRequests();
    EXPECT_EQ(c.run(session, buffer, &osError), DevOk);
    const auto requests = port.Requests();
    ASSERT_EQ(requests.size(), 1u);
    const RecordedRequest& r = requests[0];
    EXPECT_FALSE(r.buffered);
    EXPECT_EQ(r.letter, 'E');
    EXPECT_EQ(CdbOf(r), c.cdb);
    EXPECT_EQ(r.cdbLength, c.cdbLength);
    EXPECT_EQ(r.dataIn, c.dataIn);
    EXPECT_EQ(r.dataTransferLength, c.transferLength);
    EXPECT_EQ(r.timeOutValue, c.timeout);
    EXPECT_EQ(r.length, kPassThroughLength);
    EXPECT_EQ(r.scsiStatus, 0xFF);
    EXPECT_EQ(r.pathId, 0xFF);
    EXPECT_EQ(r.targetId, 0xFF);
    EXPECT_EQ(r.lun, 0xFF);
    EXPECT_EQ(r.senseInfoLength, 24);
    EXPECT_EQ(r.senseInfoOffset, kSenseInfoOffset);
    if (c.transferLength == 0) {
      EXPECT_EQ(r.dataBuffer, nullptr);
    }
    // Commands on the caller's handle leave it open.
    EXPECT_TRUE(session.IsOpen());
  }
}

TEST_F(SessionTest, EveryCommandClassifiesItsOutcome) {
  struct Outcome {
    const char* name;
    FakeReply reply;
    std::function<DeviceStatus(const CommandCase&)> expected;
  };
  const std::vector<Outcome> outcomes = {
      {"good", FakeReply::Good(), [](const CommandCase&) { return DevOk; }},
      {"untouched", FakeReply::Untouched(), [](const CommandCase& c) { return c.failureCode; }},
      {"zero sense", FakeReply::Check(0, 0, 0), [](const CommandCase& c) { return c.zeroSense; }},
      {"sense 9/82/00", FakeReply::Check(9, 0x82, 0), [](const CommandCase&) { return DevVendorSense82; }},
      {"sense 7/27/00", FakeReply::Check(7, 0x27, 0), [](const CommandCase&) { return DevWriteProtected; }},
      {"sense 9/8A/00", FakeReply::Check(9, 0x8A, 0), [](const CommandCase&) { return DevUnknownSense; }},
      {"busy, zero sense", [] { FakeReply r; r.status = 8; return r; }(), [](const CommandCase& c) { return c.zeroSense; }},
      {"os failure", FakeReply::OsFailure(31), [](const CommandCase&) { return DevOsFailure; }},
  };
  for (const CommandCase& c : CommandCases()) {
    for (const Outcome& o : outcomes) {
      SCOPED_TRACE(c.name + " / " + o.name);
      DeviceSession s(port);
      ASSERT_TRUE(s.Open('F'));
      port.Queue(o.reply);
      std::uint32_t err = 0xAAAA;
      EXPECT_EQ(c.run(s, buffer, &err), o.expected(c));
      const bool os = o.reply.osFailure;
      const bool toOut = c.errorGoes == CommandCase::kOutOnly || c.errorGoes == CommandCase::kTransferAndOut;
      const bool toTransfer = c.errorGoes == CommandCase::kTransferOnly || c.errorGoes == CommandCase::kTransferAndOut;
      EXPECT_EQ(err, os && toOut ? 31u : 0xAAAAu);
      EXPECT_EQ(s.lastTransferError, os && toTransfer ? 31u : 0u);
      EXPECT_EQ(s.lastError, 0u);
    }
  }
}

TEST_F(SessionTest, CommandOnClosedSessionFailsAtOsLevel) {
  std::uint32_t err = 0;
  EXPECT_EQ(session.ReadSectors(buffer, 0, 1, &err), DevOsFailure);
  EXPECT_EQ(err, FakePort::kInvalidHandle);
  EXPECT_EQ(session.lastTransferError, FakePort::kInvalidHandle);
  EXPECT_EQ(session.SignalPass(), DevOsFailure);
  std::uint16_t word = 0;
  EXPECT_FALSE(session.ProbeController(word));
  EXPECT_EQ(word, 2);
}

// ---------------------------------------------------------------------------
// Request building
// ---------------------------------------------------------------------------

TEST(BuildPassThroughRequestTest, FillsTheBlock) {
  PassThroughRequest r;
  std::memset(&r, 0xCC, sizeof r);
  const std::uint8_t cdb[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
  std::uint8_t data[8];
  BuildPassThroughRequest(r, 0, data, 8, cdb, 10, 0);
  EXPECT_EQ(r.sptd.length, kPassThroughLength);
  EXPECT_EQ(r.sptd.scsiStatus, 0xFF);
  EXPECT_EQ(r.sptd.cdbLength, 10);
  EXPECT_EQ(r.sptd.dataIn, 1);
  EXPECT_EQ(r.sptd.dataTransferLength, 8u);
  EXPECT_EQ(r.sptd.timeOutValue, 5u);  // 0 means the default
  EXPECT_EQ(r.sptd.dataBuffer, data);
  EXPECT_EQ(r.sptd.senseInfoOffset, kSenseInfoOffset);
  for (int i = 0; i < 16; ++i) EXPECT_EQ(r.sptd.cdb[i], i < 10 ? i + 1 : 0) << i;
  EXPECT_EQ(r.filler, 0u);
  for (std::uint8_t b : r.sense) EXPECT_EQ(b, 0);
}

TEST(BuildPassThroughRequestTest, LengthWithoutBufferIsZeroAndDirectionFollowsFlag) {
  PassThroughRequest r;
  const std::uint8_t cdb[16] = {};
  BuildPassThroughRequest(r, 1, nullptr, 4096, cdb, 16, 7);
  EXPECT_EQ(r.sptd.dataTransferLength, 0u);
  EXPECT_EQ(r.sptd.dataIn, 0);
  EXPECT_EQ(r.sptd.timeOutValue, 7u);
  BuildPassThroughRequest(r, 5, nullptr, 0, cdb, 16, 7);
  EXPECT_EQ(r.sptd.dataIn, 0);  // any non-zero flag means data to the device
}

TEST(BuildPassThroughRequestTest, OverlongCdbLengthIsClamped) {
  PassThroughRequest r;
  const std::uint8_t cdb[16] = {};
  BuildPassThroughRequest(r, 0, nullptr, 0, cdb, 200, 2);
  EXPECT_EQ(r.sptd.cdbLength, 16);
}

// ---------------------------------------------------------------------------
// Sense map
// ---------------------------------------------------------------------------

TEST(MapSenseTest, Table) {
  struct Case { std::uint8_t key2, asc, ascq; DeviceStatus expected; };
  const Case cases[] = {
      {0x00, 0x00, 0x00, DevNoSense},        {0x02, 0x3A, 0x00, DevMediumNotPresent},
      {0x05, 0x20, 0x00, DevInvalidOpcode},  {0x05, 0x24, 0x00, DevInvalidField},
      {0x06, 0x28, 0x00, DevMediumChanged},  {0x06, 0x3F, 0x0E, DevLunsChanged},
      {0x07, 0x27, 0x00, DevWriteProtected}, {0x09, 0x80, 0x00, DevVendorSense80},
      {0x09, 0x81, 0x00, DevVendorSense81},  {0x09, 0x82, 0x00, DevVendorSense82},
      {0x09, 0x83, 0x00, DevVendorSense83},  {0x09, 0x84, 0x00, DevVendorSense84},
      {0x09, 0x85, 0x00, DevVendorSense85},  {0x09, 0x86, 0x00, DevVendorSense86},
      {0x09, 0x87, 0x00, DevVendorSense87},  {0x09, 0x88, 0x00, DevVendorSense88},
      {0x09, 0x89, 0x00, DevVendorSense89},
      // Only the low nibble of byte 2 is the key (ILI/EOM/filemark bits ignored).
      {0xF2, 0x3A, 0x00, DevMediumNotPresent},
      // Untabled combinations.
      {0x09, 0x8A, 0x00, DevUnknownSense},   {0x09, 0x80, 0x01, DevUnknownSense},
      {0x06, 0x3F, 0x00, DevUnknownSense},   {0x03, 0x11, 0x00, DevUnknownSense},
      {0x00, 0x00, 0x01, DevUnknownSense},
  };
  for (const Case& c : cases) {
    PassThroughRequest r{};
    r.sense[2] = c.key2;
    r.sense[12] = c.asc;
    r.sense[13] = c.ascq;
    EXPECT_EQ(MapSense(r), c.expected) << std::hex << int(c.key2) << "/" << int(c.asc) << "/" << int(c.ascq);
  }
  EXPECT_EQ(DevVendorSense82, 15);
  EXPECT_EQ(DevVendorSense84, 13);
  EXPECT_EQ(DevVendorSense86, 14);
  EXPECT_EQ(DevCheckCondition, 514);
  EXPECT_EQ(DevVendorCommandFailed, 1026);
  EXPECT_EQ(DevTableWriteFailed, 1282);
}

TEST(DeviceStatusNameTest, NamesEveryCode) {
  EXPECT_STREQ(DeviceStatusName(DevOk), "DevOk");
  EXPECT_STREQ(DeviceStatusName(DevVendorSense84), "DevVendorSense84");
  EXPECT_STREQ(DeviceStatusName(DevUnknownSense), "DevUnknownSense");
  EXPECT_STREQ(DeviceStatusName(static_cast<DeviceStatus>(3)), "Dev?");
}

// ---------------------------------------------------------------------------
// Open / close discipline
// ---------------------------------------------------------------------------

TEST_F(SessionTest, FailedOpenKeepsTheOldLetterAndMarksTheHandleInvalid) {
  EXPECT_EQ(session.deviceHandle, kNullPortHandle);
  EXPECT_EQ(session.driveLetter, 0);
  ASSERT_TRUE(session.Open('E'));
  EXPECT_EQ(session.driveLetter, 'E');
  EXPECT_FALSE(session.Open('Q'));
  EXPECT_EQ(session.deviceHandle, kInvalidPortHandle);
  EXPECT_EQ(session.driveLetter, 'E');
  EXPECT_EQ(port.OpenHandles(), 0);  // the E: handle was closed before the attempt
  // The next TestUnitReady reopens the previous letter.
  EXPECT_EQ(session.TestUnitReady(), DevOk);
  EXPECT_EQ(port.LastRequest().letter, 'E');
}

TEST_F(SessionTest, ReopenClosesFirstAndCloseIsIdempotent) {
  ASSERT_TRUE(session.Open('E'));
  ASSERT_TRUE(session.Open('F'));
  EXPECT_EQ(port.OpenHandles(), 1);
  EXPECT_TRUE(session.Close());
  EXPECT_TRUE(session.Close());
  EXPECT_EQ(session.deviceHandle, kNullPortHandle);
  EXPECT_EQ(port.CloseCount(), 2);
  EXPECT_EQ(port.OpenHandles(), 0);
}

TEST_F(SessionTest, DestructorClosesAnOpenHandle) {
  {
    DeviceSession s(port);
    ASSERT_TRUE(s.Open('E'));
    EXPECT_EQ(port.OpenHandles(), 1);
  }
  EXPECT_EQ(port.OpenHandles(), 0);
}

// ---------------------------------------------------------------------------
// TEST UNIT READY
// ---------------------------------------------------------------------------

TEST_F(SessionTest, TestUnitReadySendsTheBufferedBlock) {
  session.driveLetter = 'F';  // callers may set the letter directly
  EXPECT_EQ(session.TestUnitReady(), DevOk);
  const RecordedRequest r = port.LastRequest();
  EXPECT_TRUE(r.buffered);
  EXPECT_EQ(r.letter, 'F');
  EXPECT_EQ(r.length, kBufferedPassThroughLength);
  EXPECT_EQ(r.scsiStatus, 0);
  EXPECT_EQ(r.pathId, 0);
  EXPECT_EQ(r.targetId, 0);
  EXPECT_EQ(r.lun, 0);
  EXPECT_EQ(r.cdbLength, 6);
  EXPECT_EQ(r.senseInfoLength, 24);
  EXPECT_EQ(r.dataIn, 1);
  EXPECT_EQ(r.dataTransferLength, 0u);
  EXPECT_EQ(r.timeOutValue, 2u);
  EXPECT_EQ(r.dataBufferOffset, kBufferedDataOffset);
  EXPECT_EQ(r.senseInfoOffset, kBufferedSenseOffset);
  EXPECT_EQ(CdbOf(r), Bytes(16, 0));
}

TEST_F(SessionTest, TestUnitReadyOutcomes) {
  struct Case { const char* name; FakeReply reply; DeviceStatus expected; std::uint32_t lastError; };
  const Case cases[] = {
      {"good", FakeReply::Good(), DevOk, 0},
      {"status left zero", FakeReply::Untouched(), DevOk, 0},
      {"medium not present", FakeReply::Check(2, 0x3A, 0), DevOk, 0},
      {"medium changed", FakeReply::Check(6, 0x28, 0), DevMediumChanged, 0},
      {"zero sense", FakeReply::Check(0, 0, 0), DevNoSense, 0},
      {"unknown sense", FakeReply::Check(3, 0x11, 0), DevUnknownSense, 0},
      {"os failure", FakeReply::OsFailure(1167), DevOsFailure, 1167},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DeviceSession s(port);
    ASSERT_TRUE(s.Open('E'));  // a handle the caller holds is replaced and closed
    port.Queue(c.reply);
    EXPECT_EQ(s.TestUnitReady(), c.expected);
    EXPECT_EQ(s.lastError, c.lastError);
    EXPECT_EQ(s.deviceHandle, kNullPortHandle);
    EXPECT_EQ(port.OpenHandles(), 0);
  }
}

TEST_F(SessionTest, TestUnitReadyOnMissingLetterReportsOpenFailure) {
  session.driveLetter = 'Z';
  EXPECT_EQ(session.TestUnitReady(), DevOpenFailed);
  EXPECT_TRUE(port.Requests().empty());
}

// ---------------------------------------------------------------------------
// INQUIRY
// ---------------------------------------------------------------------------

TEST_F(SessionTest, InquiryRequestAndCopy) {
  Bytes reply(32);
  for (int i = 0; i < 32; ++i) reply[i] = static_cast<std::uint8_t>(0x40 + i);
  port.Queue(FakeReply::Data(reply));
  std::uint8_t out[32] = {};
  EXPECT_EQ(session.Inquiry('E', out), DevOk);
  const RecordedRequest r = port.LastRequest();
  EXPECT_EQ(CdbOf(r), Cdb16({0x12, 0, 0, 0, 0x20}, false));
  EXPECT_EQ(r.cdbLength, 10);
  EXPECT_EQ(r.dataIn, 1);
  EXPECT_EQ(r.dataTransferLength, 32u);
  EXPECT_EQ(r.timeOutValue, 2u);
  EXPECT_EQ(Bytes(out, out + 32), reply);
  EXPECT_EQ(session.deviceHandle, kNullPortHandle);
  EXPECT_EQ(session.driveLetter, 'E');
}

TEST_F(SessionTest, InquiryCopiesOnlyTheBytesMovedAndNeverMoreThan32) {
  struct Case { std::uint32_t moved; std::size_t copied; };
  for (const Case c : {Case{8, 8}, Case{32, 32}, Case{33, 32}, Case{0xFFFFFFFF, 32}}) {
    SCOPED_TRACE(c.moved);
    FakeReply reply = FakeReply::Data(Bytes(32, 0x5A));
    reply.bytesMoved = c.moved;
    port.Queue(reply);
    std::uint8_t out[48];
    std::memset(out, 0xEE, sizeof out);
    EXPECT_EQ(session.Inquiry('E', out), DevOk);
    for (std::size_t i = 0; i < sizeof out; ++i) EXPECT_EQ(out[i], i < c.copied ? 0x5A : 0xEE) << i;
  }
}

TEST_F(SessionTest, InquiryFailuresLeaveTheBufferAlone) {
  struct Case { const char* name; char letter; FakeReply reply; DeviceStatus expected; std::uint32_t lastError; };
  const Case cases[] = {
      {"missing letter", 'Q', FakeReply::Good(), DevOpenFailed, 0},
      {"check condition", 'E', FakeReply::Check(5, 0x24, 0), DevCheckCondition, 0},
      {"untouched", 'E', FakeReply::Untouched(), DevCheckCondition, 0},
      {"os failure", 'E', FakeReply::OsFailure(55), DevOsFailure, 55},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DeviceSession s(port);
    FakeReply reply = c.reply;
    reply.data = Bytes(32, 0x11);
    if (c.letter != 'Q') port.Queue(reply);  // Q: never opens, so never asks
    std::uint8_t out[32];
    std::memset(out, 0xEE, sizeof out);
    EXPECT_EQ(s.Inquiry(c.letter, out), c.expected);
    EXPECT_EQ(Bytes(out, out + 32), Bytes(32, 0xEE));
    EXPECT_EQ(s.lastError, c.lastError);
    EXPECT_EQ(port.OpenHandles(), 0);
  }
  EXPECT_EQ(session.Inquiry('E', nullptr), DevOk);  // a null buffer is allowed
}

// ---------------------------------------------------------------------------
// Controller probe
// ---------------------------------------------------------------------------

TEST_F(SessionTest, ProbeRequestAndOutcomes) {
  struct Case { const char* name; FakeReply reply; bool expected; std::uint16_t word; };
  const Case cases[] = {
      {"good", FakeReply::Good(), true, 7},
      {"check", FakeReply::Check(5, 0x20, 0), false, 7},
      {"untouched", FakeReply::Untouched(), false, 7},
      {"os failure", FakeReply::OsFailure(21), false, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(session.Open('E'));
    port.Queue(c.reply);
    std::uint16_t word = 7;
    EXPECT_EQ(session.ProbeController(word), c.expected);
    EXPECT_EQ(word, c.word);
    EXPECT_TRUE(session.IsOpen());
    const RecordedRequest r = port.LastRequest();
    EXPECT_EQ(CdbOf(r), Cdb16({0xF9, 0x6F}, true));
    EXPECT_EQ(r.cdbLength, 16);
    EXPECT_EQ(r.dataIn, 1);
    EXPECT_EQ(r.dataTransferLength, 0u);
    EXPECT_EQ(r.timeOutValue, 10u);
  }
  EXPECT_EQ(session.lastError, 0u);  // the probe keeps no OS error
  EXPECT_EQ(session.lastTransferError, 0u);
}

TEST_F(SessionTest, ProbeControllerOnceReopensOwnLetterAndCloses) {
  session.driveLetter = 'F';
  std::uint16_t word = 0;
  EXPECT_TRUE(session.ProbeControllerOnce(word));
  EXPECT_EQ(port.LastRequest().letter, 'F');
  EXPECT_EQ(session.deviceHandle, kNullPortHandle);

  port.Queue(FakeReply::OsFailure(1));
  EXPECT_FALSE(session.ProbeControllerOnce(word));
  EXPECT_EQ(word, 2);
  EXPECT_EQ(port.OpenHandles(), 0);

  session.driveLetter = 'Q';  // cannot be opened: status word untouched
  word = 9;
  EXPECT_FALSE(session.ProbeControllerOnce(word));
  EXPECT_EQ(word, 9);
}

// ---------------------------------------------------------------------------
// READ CAPACITY
// ---------------------------------------------------------------------------

TEST_F(SessionTest, ReadCapacityStoresLastLbaAndLeavesTheHandleOpen) {
  port.Queue(FakeReply::Data({0x00, 0x1E, 0x3F, 0xFF, 0x00, 0x00, 0x02, 0x00}));
  std::uint32_t lastLba = 0;
  EXPECT_EQ(session.ReadCapacity(lastLba, 'F'), DevOk);
  EXPECT_EQ(lastLba, 0x001E3FFFu);
  EXPECT_TRUE(session.IsOpen());
  EXPECT_EQ(session.driveLetter, 'F');
  const RecordedRequest r = port.LastRequest();
  EXPECT_EQ(CdbOf(r), Cdb16({0x25}, false));
  EXPECT_EQ(r.cdbLength, 10);
  EXPECT_EQ(r.dataIn, 1);
  EXPECT_EQ(r.dataTransferLength, 8u);
  EXPECT_EQ(r.timeOutValue, 2u);
  // A worker continues on that handle.
  EXPECT_EQ(session.VerifyLeadingBlocks(), DevOk);
  EXPECT_EQ(port.LastRequest().letter, 'F');
}

TEST_F(SessionTest, ReadCapacityFailuresLeaveTheVariable) {
  struct Case { const char* name; char letter; FakeReply reply; DeviceStatus expected; std::uint32_t lastError; };
  const Case cases[] = {
      {"missing letter", 'Q', FakeReply::Good(), DevOpenFailed, 0},
      {"check condition", 'E', FakeReply::Check(2, 0x3A, 0), DevCheckCondition, 0},
      {"os failure", 'E', FakeReply::OsFailure(433), DevOsFailure, 433},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DeviceSession s(port);
    FakeReply reply = c.reply;
    reply.data = {1, 2, 3, 4, 5, 6, 7, 8};
    if (c.letter != 'Q') port.Queue(reply);
    std::uint32_t lastLba = 12345;
    EXPECT_EQ(s.ReadCapacity(lastLba, c.letter), c.expected);
    EXPECT_EQ(lastLba, 12345u);
    EXPECT_EQ(s.lastError, c.lastError);
  }
}

// ---------------------------------------------------------------------------
// Data handling of the vendor blocks and sector transfers
// ---------------------------------------------------------------------------

TEST_F(SessionTest, WriteConfigTableAlwaysSends512ZeroFilledBytes) {
  ASSERT_TRUE(session.Open('E'));
  struct Case { std::uint32_t length; std::size_t copied; };
  std::uint8_t source[600];
  std::memset(source, 0x77, sizeof source);
  for (const Case c : {Case{100, 100}, Case{512, 512}, Case{600, 512}}) {
    SCOPED_TRACE(c.length);
    EXPECT_EQ(session.WriteConfigTable(source, c.length, nullptr), DevOk);
    const RecordedRequest r = port.LastRequest();
    ASSERT_EQ(r.dataOut.size(), 512u);
    for (std::size_t i = 0; i < 512; ++i) ASSERT_EQ(r.dataOut[i], i < c.copied ? 0x77 : 0) << i;
  }
}

TEST_F(SessionTest, VendorReadsCopyOnlyOnSuccessAndOnlyWhatFits) {
  ASSERT_TRUE(session.Open('E'));
  Bytes block(512);
  for (int i = 0; i < 512; ++i) block[i] = static_cast<std::uint8_t>(i * 7);
  using Read = DeviceStatus (DeviceSession::*)(std::uint8_t*, std::uint32_t, std::uint32_t*);
  for (Read read : {&DeviceSession::ReadFlashInfo, &DeviceSession::ReadConfigTable}) {
    std::uint8_t out[600];
    std::memset(out, 0xEE, sizeof out);
    port.Queue(FakeReply::Data(block));
    EXPECT_EQ((session.*read)(out, 600, nullptr), DevOk);  // length above 512 copies 512
    EXPECT_EQ(Bytes(out, out + 512), block);
    EXPECT_EQ(Bytes(out + 512, out + 600), Bytes(88, 0xEE));

    std::memset(out, 0xEE, sizeof out);
    port.Queue(FakeReply::Data(block));
    EXPECT_EQ((session.*read)(out, 16, nullptr), DevOk);
    EXPECT_EQ(Bytes(out, out + 16), Bytes(block.begin(), block.begin() + 16));
    EXPECT_EQ(out[16], 0xEE);

    std::memset(out, 0xEE, sizeof out);
    FakeReply failed = FakeReply::Check(9, 0x80, 0);
    failed.data = block;
    port.Queue(failed);
    EXPECT_EQ((session.*read)(out, 512, nullptr), DevVendorSense80);
    EXPECT_EQ(Bytes(out, out + 600), Bytes(600, 0xEE));
  }
}

TEST_F(SessionTest, SectorTransfersUseTheCallersBufferDirectly) {
  ASSERT_TRUE(session.Open('E'));
  port.Queue(FakeReply::Data(Bytes(65536, 0x3C)));
  EXPECT_EQ(session.ReadSectors(buffer, 1, 128, nullptr), DevOk);
  EXPECT_EQ(port.LastRequest().dataBuffer, buffer);
  EXPECT_EQ(buffer[0], 0x3C);
  EXPECT_EQ(buffer[65535], 0x3C);

  for (std::size_t i = 0; i < 65536; ++i) buffer[i] = static_cast<std::uint8_t>(i);
  EXPECT_EQ(session.WriteSectors(buffer, 0, 128, nullptr), DevOk);
  const RecordedRequest r = port.LastRequest();
  EXPECT_EQ(r.dataBuffer, buffer);
  EXPECT_EQ(r.dataOut, Bytes(buffer, buffer + 65536));
}

// A caller's buffer off the alignment the port needs: the port gets an
// aligned copy, and the data arrives both ways all the same.
TEST_F(SessionTest, AnUnalignedCallersBufferGoesThroughAnAlignedCopy) {
  ASSERT_TRUE(session.Open('E'));
  std::uint8_t* odd = buffer + 1;
  port.Queue(FakeReply::Data(Bytes(65536, 0x5A)));
  EXPECT_EQ(session.ReadSectors(odd, 1, 128, nullptr), DevOk);
  EXPECT_NE(port.LastRequest().dataBuffer, odd);
  EXPECT_TRUE(IsAlignedDataBuffer(port.LastRequest().dataBuffer));
  EXPECT_EQ(odd[0], 0x5A);
  EXPECT_EQ(odd[65535], 0x5A);
  EXPECT_EQ(buffer[0], 0);  // nothing written before the caller's buffer

  for (std::size_t i = 0; i < 65536; ++i) odd[i] = static_cast<std::uint8_t>(i * 7);
  EXPECT_EQ(session.WriteSectors(odd, 0, 128, nullptr), DevOk);
  const RecordedRequest r = port.LastRequest();
  EXPECT_TRUE(IsAlignedDataBuffer(r.dataBuffer));
  EXPECT_EQ(r.dataOut, Bytes(odd, odd + 65536));
}

}  // namespace
}  // namespace kx20
