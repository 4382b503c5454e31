#include "platform/linux/sg_port.h"

#include <gtest/gtest.h>
#include <scsi/sg.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <stdlib.h>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <vector>

#include "device/device_session.h"

namespace kx20 {
namespace {

using Bytes = std::vector<std::uint8_t>;

// What the fake kernel saw of one SG_IO call.
struct SeenIo {
  int fd = -1;
  int direction = 0;
  unsigned cmdLen = 0;
  unsigned mxSbLen = 0;
  unsigned dxferLen = 0;
  void* dxferp = nullptr;
  unsigned timeout = 0;
  Bytes cdb;
  Bytes dataOut;
};

// How the fake kernel answers one SG_IO call.
struct KernelReply {
  int ioctlErrno = 0;  // non-zero: the ioctl fails
  unsigned char status = 0;
  unsigned short hostStatus = 0;
  unsigned short driverStatus = 0;
  Bytes sense;
  int resid = 0;
  Bytes dataIn;
};

class FakeKernel {
 public:
  SgOps Ops() {
    SgOps ops;
    ops.open = [this](const char* path, int* err) {
      opened.emplace_back(path);
      if (openErrno != 0) {
        *err = openErrno;
        return -1;
      }
      const std::string name = Resolve(path);
      const auto dev = devices.find(name.substr(name.rfind('/') + 1));
      if (dev == devices.end()) {
        *err = ENOENT;
        return -1;
      }
      const int fd = nextFd++;
      open.insert(fd);
      fdMinor[fd] = std::stoi(dev->first.substr(2));
      return fd;
    };
    ops.close = [this](int fd) { open.erase(fd); ++closes; };
    ops.ioctl = [this](int fd, unsigned long request, void* arg, int* err) {
      if (request == SG_GET_VERSION_NUM) {
        if (notSg) {
          *err = ENOTTY;
          return -1;
        }
        *static_cast<int*>(arg) = 30536;
        return 0;
      }
      if (request != SG_IO) {
        *err = EINVAL;
        return -1;
      }
      auto* hdr = static_cast<sg_io_hdr_t*>(arg);
      SeenIo seen;
      seen.fd = fd;
      seen.direction = hdr->dxfer_direction;
      seen.cmdLen = hdr->cmd_len;
      seen.mxSbLen = hdr->mx_sb_len;
      seen.dxferLen = hdr->dxfer_len;
      seen.dxferp = hdr->dxferp;
      seen.timeout = hdr->timeout;
      seen.cdb.assign(hdr->cmdp, hdr->cmdp + hdr->cmd_len);
      // As the midlayer does for SCSI-2 and older devices: the LUN (0 here)
      // goes into bits 5-7 of CDB byte 1 of what the device receives.
      if (scsiLevel >= 1 && scsiLevel <= 3 && seen.cdb.size() > 1) seen.cdb[1] &= 0x1F;
      if (hdr->dxfer_direction == SG_DXFER_TO_DEV) {
        const auto* p = static_cast<const std::uint8_t*>(hdr->dxferp);
        seen.dataOut.assign(p, p + hdr->dxfer_len);
      }
      ios.push_back(seen);
      if (reply.ioctlErrno != 0) {
        *err = reply.ioctlErrno;
        return -1;
      }
      hdr->status = reply.status;
      hdr->masked_status = static_cast<unsigned char>(reply.status >> 1);
      hdr->host_status = reply.hostStatus;
      hdr->driver_status = reply.driverStatus;
      const std::size_t sl = std::min<std::size_t>(reply.sense.size(), hdr->mx_sb_len);
      if (sl > 0) std::memcpy(hdr->sbp, reply.sense.data(), sl);
      hdr->sb_len_wr = static_cast<unsigned char>(sl);
      if (hdr->dxfer_direction == SG_DXFER_FROM_DEV) {
        const std::size_t n = std::min<std::size_t>(reply.dataIn.size(), hdr->dxfer_len);
        if (n > 0) std::memcpy(hdr->dxferp, reply.dataIn.data(), n);
      }
      hdr->resid = reply.resid;
      return 0;
    };
    ops.listDev = [this] {
      std::vector<std::string> names = {"null", "sda"};
      for (const auto& d : devices) names.push_back(d.first);
      return names;
    };
    ops.realPath = [this](const std::string& path) { return Resolve(path); };
    ops.inode = [this](const std::string& path) -> std::uint64_t {
      for (const auto& d : devices) {
        if (SysDir(d.second) == path) return d.second.inode;
      }
      return 0;
    };
    ops.deviceNumber = [this](int fd, unsigned* major, unsigned* minor) {
      if (fdMinor.count(fd) == 0) return false;
      *major = 21;
      *minor = static_cast<unsigned>(fdMinor[fd]);
      return true;
    };
    ops.listDir = [this](const std::string& path) {
      std::vector<std::string> names;
      for (const auto& [block, sg] : blockDevices) {
        if (path == "/sys/class/block/" + block + "/device/scsi_generic") names.push_back(sg);
      }
      return names;
    };
    ops.scsiLevel = [this](int) { return scsiLevel; };
    return ops;
  }

  // A SCSI device behind an sg node: its H:C:T:L, the USB port it hangs off
  // and the inode of its sysfs directory (new for every device).
  struct Device {
    std::string hctl;
    std::string usbPort;
    std::uint64_t inode = 0;
  };
  static std::string SysDir(const Device& d) {
    const std::string host = d.hctl.substr(0, d.hctl.find(':'));
    return "/sys/devices/pci0000:00/0000:00:14.0/usb1/" + d.usbPort + "/" + d.usbPort + ":1.0/host" +
           host + "/target" + d.hctl.substr(0, d.hctl.rfind(':')) + "/" + d.hctl;
  }
  void Attach(const std::string& sg, const std::string& hctl, const std::string& usbPort) {
    devices[sg] = Device{hctl, usbPort, nextInode++};
  }
  void Detach(const std::string& sg) { devices.erase(sg); }

  std::string Resolve(std::string path) const {
    const auto link = links.find(path);
    if (link != links.end()) path = link->second;
    const std::string sysClass = "/sys/class/scsi_generic/";
    const std::string sysChar = "/sys/dev/char/21:";
    std::string sg;
    if (path.rfind("/dev/", 0) == 0) {
      sg = path.substr(5);
      if (blockDevices.count(sg) != 0) return path;
      return devices.count(sg) != 0 ? path : std::string();
    }
    if (path.rfind(sysClass, 0) == 0) {
      sg = path.substr(sysClass.size(), path.find('/', sysClass.size()) - sysClass.size());
    } else if (path.rfind(sysChar, 0) == 0) {
      sg = "sg" + path.substr(sysChar.size(), path.find('/', sysChar.size()) - sysChar.size());
    }
    const auto d = devices.find(sg);
    return d == devices.end() ? std::string() : SysDir(d->second);
  }

  std::map<std::string, Device> devices = {{"sg0", {"0:0:0:0", "1-1", 100}},
                                           {"sg1", {"6:0:0:0", "1-2", 101}}};
  std::map<std::string, std::string> links;         // symlink -> target
  std::map<std::string, std::string> blockDevices;  // "sdb" -> "sg1"
  std::map<int, int> fdMinor;
  std::uint64_t nextInode = 500;
  int openErrno = 0;
  int scsiLevel = -1;  // sysfs scsi_level; -1 unknown
  bool notSg = false;
  KernelReply reply;
  std::vector<std::string> opened;
  std::vector<SeenIo> ios;
  std::set<int> open;
  int nextFd = 7;
  int closes = 0;
};

Bytes FixedSense(std::uint8_t key, std::uint8_t asc, std::uint8_t ascq) {
  Bytes s(18, 0);
  s[0] = 0x70;
  s[2] = key;
  s[7] = 10;
  s[12] = asc;
  s[13] = ascq;
  return s;
}

TEST(SgPortMapTest, DefaultMapOrdersSgDevicesNumerically) {
  const auto map = DefaultSgMap({"sg10", "sda", "sg2", "sg", "sgx1", "sg0", "tty0", "sg1a"});
  ASSERT_EQ(map.size(), 3u);
  EXPECT_EQ(map.at('C'), "/dev/sg0");
  EXPECT_EQ(map.at('D'), "/dev/sg2");
  EXPECT_EQ(map.at('E'), "/dev/sg10");
}

TEST(SgPortMapTest, DevicesBeyondZAreReportedAndCanBeMappedExplicitly) {
  std::vector<std::string> names;
  for (int i = 0; i < 26; ++i) names.push_back("sg" + std::to_string(i));
  std::vector<std::string> unmapped;
  const auto map = DefaultSgMap(names, &unmapped);
  EXPECT_EQ(map.size(), 24u);
  EXPECT_EQ(map.at('Z'), "/dev/sg23");
  EXPECT_EQ(unmapped, (std::vector<std::string>{"/dev/sg24", "/dev/sg25"}));

  FakeKernel kernel;
  for (int i = 2; i < 26; ++i) {
    kernel.Attach("sg" + std::to_string(i), std::to_string(i + 4) + ":0:0:0", "1-" + std::to_string(i));
  }
  SgPort defaults(kernel.Ops(), {});
  EXPECT_EQ(defaults.UnmappedDevices(), (std::vector<std::string>{"/dev/sg24", "/dev/sg25"}));
  const auto notes = defaults.DriveNotes();
  ASSERT_EQ(notes.size(), 26u);
  EXPECT_EQ(notes[2], "E: /dev/sg2  SCSI 6:0:0:0, USB port 1-2");
  EXPECT_EQ(notes[25], "no letter: /dev/sg25 (beyond Z:; map it with --drive L=/dev/sg25)");
  SgPort mapped(kernel.Ops(), {{'E', "/dev/sg25"}});
  EXPECT_TRUE(mapped.UnmappedDevices().empty());
  const PortHandle h = mapped.Open('E', nullptr);
  EXPECT_TRUE(IsOpenHandle(h));
  EXPECT_EQ(kernel.opened.back(), "/dev/sg25");
}

TEST(SgPortMapTest, ExplicitMapReplacesTheDefault) {
  FakeKernel kernel;
  SgPort defaults(kernel.Ops(), {});
  EXPECT_EQ(defaults.LogicalDrives(), (1u << 2) | (1u << 3));  // C: and D:
  SgPort mapped(kernel.Ops(), {{'E', "/dev/sg1"}, {'G', "/dev/sg0"}});
  EXPECT_EQ(mapped.LogicalDrives(), (1u << 4) | (1u << 6));
  std::uint32_t err = 0;
  EXPECT_EQ(mapped.Open('C', &err), kInvalidPortHandle);
  EXPECT_EQ(err, kSgErrNotFound);
  const PortHandle h = mapped.Open('G', &err);
  EXPECT_TRUE(IsOpenHandle(h));
  EXPECT_EQ(kernel.opened.back(), "/dev/sg0");
  mapped.Close(h);
}

TEST(SgPortOpenTest, OpenFailuresYieldTheInvalidHandleAndAnErrno) {
  struct Case { const char* name; int openErrno; bool notSg; std::uint32_t expected; };
  const Case cases[] = {
      {"vanished", ENOENT, false, ENOENT},
      {"unplugged under us", ENXIO, false, ENXIO},
      {"busy", EBUSY, false, EBUSY},
      {"not a generic device", 0, true, ENOTTY},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeKernel kernel;
    kernel.openErrno = c.openErrno;
    kernel.notSg = c.notSg;
    SgPort port(kernel.Ops(), {});
    std::uint32_t err = 0;
    EXPECT_EQ(port.Open('C', &err), kInvalidPortHandle);
    EXPECT_EQ(err, c.expected);
    EXPECT_TRUE(kernel.open.empty());  // nothing leaks
  }
}

TEST(SgPortOpenTest, ClosedOrUnknownHandleFailsWithoutTouchingTheKernel) {
  FakeKernel kernel;
  SgPort port(kernel.Ops(), {});
  const PortHandle h = port.Open('C', nullptr);
  port.Close(h);
  port.Close(h);  // second close does nothing
  EXPECT_EQ(kernel.closes, 1);
  PassThroughRequest r{};
  for (PortHandle bad : {h, kNullPortHandle, kInvalidPortHandle}) {
    std::uint32_t err = 0;
    EXPECT_FALSE(port.SendDirect(bad, r, &err));
    EXPECT_EQ(err, kSgErrBadHandle);
  }
  EXPECT_TRUE(kernel.ios.empty());
}

TEST(SgPortOpenTest, DestructionClosesWhatIsStillOpen) {
  FakeKernel kernel;
  {
    SgPort port(kernel.Ops(), {});
    port.Open('C', nullptr);
    port.Open('D', nullptr);
    EXPECT_EQ(kernel.open.size(), 2u);
  }
  EXPECT_TRUE(kernel.open.empty());
}

class SgTranslateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    handle = port.Open('C', nullptr);
    ASSERT_TRUE(IsOpenHandle(handle));
  }
  FakeKernel kernel;
  SgPort port{kernel.Ops(), {}};
  PortHandle handle = kNullPortHandle;
  std::uint8_t data[4096] = {};
};

TEST_F(SgTranslateTest, RequestBlockBecomesSgHeader) {
  struct Case { const char* name; int dataOut; bool withBuffer; std::uint32_t length; std::uint8_t cdbLen; std::uint32_t timeout; int direction; unsigned dxferLen; unsigned timeoutMs; };
  const Case cases[] = {
      {"read", 0, true, 4096, 16, 5, SG_DXFER_FROM_DEV, 4096, 5000},
      {"write", 1, true, 1024, 16, 10, SG_DXFER_TO_DEV, 1024, 10000},
      {"no data", 0, false, 512, 16, 2, SG_DXFER_NONE, 0, 2000},
      {"scratch buffer, zero length", 1, true, 0, 10, 2, SG_DXFER_NONE, 0, 2000},
      {"default timeout", 0, true, 8, 10, 0, SG_DXFER_FROM_DEV, 8, 5000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::uint8_t cdb[16];
    for (int i = 0; i < 16; ++i) cdb[i] = static_cast<std::uint8_t>(0xA0 + i);
    for (std::uint32_t i = 0; i < c.length; ++i) data[i] = static_cast<std::uint8_t>(i);
    PassThroughRequest r;
    BuildPassThroughRequest(r, c.dataOut, c.withBuffer ? data : nullptr, c.length, cdb, c.cdbLen, c.timeout);
    ASSERT_TRUE(port.SendDirect(handle, r, nullptr));
    const SeenIo& io = kernel.ios.back();
    EXPECT_EQ(io.direction, c.direction);
    EXPECT_EQ(io.dxferLen, c.dxferLen);
    EXPECT_EQ(io.timeout, c.timeoutMs);
    EXPECT_EQ(io.cmdLen, c.cdbLen);
    EXPECT_EQ(io.cdb, Bytes(cdb, cdb + c.cdbLen));
    EXPECT_EQ(io.mxSbLen, 24u);
    if (c.dxferLen != 0) {
      EXPECT_EQ(io.dxferp, data);  // no bounce buffer
    }
    if (c.direction == SG_DXFER_TO_DEV) {
      EXPECT_EQ(io.dataOut, Bytes(data, data + c.length));
    }
  }
}

TEST_F(SgTranslateTest, OutcomeIsWrittenBackIntoTheBlock) {
  struct Case {
    const char* name;
    KernelReply reply;
    bool sent;
    std::uint32_t osError;
    std::uint8_t status;
    std::uint32_t moved;
    std::uint8_t key, asc, ascq;
  };
  auto r = [](int err, unsigned char st, unsigned short host, unsigned short drv, Bytes sense, int resid) {
    KernelReply k;
    k.ioctlErrno = err;
    k.status = st;
    k.hostStatus = host;
    k.driverStatus = drv;
    k.sense = std::move(sense);
    k.resid = resid;
    return k;
  };
  const Case cases[] = {
      {"good, all moved", r(0, 0, 0, 0, {}, 0), true, 0, 0, 512, 0, 0, 0},
      {"good, short read", r(0, 0, 0, 0, {}, 500), true, 0, 0, 12, 0, 0, 0},
      {"residual beyond request", r(0, 0, 0, 0, {}, 9999), true, 0, 0, 0, 0, 0, 0},
      {"negative residual", r(0, 0, 0, 0, {}, -5), true, 0, 0, 512, 0, 0, 0},
      {"check condition", r(0, 2, 0, 0x08, FixedSense(9, 0x84, 0), 512), true, 0, 2, 0, 9, 0x84, 0},
      {"good status with sense stays good", r(0, 0, 0, 0x08, FixedSense(1, 0x17, 0), 0), true, 0, 0, 512, 1, 0x17, 0},
      {"busy", r(0, 8, 0, 0, {}, 512), true, 0, 8, 0, 0, 0, 0},
      {"ioctl fails", r(ENODEV, 0, 0, 0, {}, 0), false, ENODEV, 0xFF, 512, 0, 0, 0},
      // The device is gone: an OS-level failure.
      {"ioctl EIO", r(EIO, 0, 0, 0, {}, 0), false, EIO, 0xFF, 512, 0, 0, 0},
      {"host no connect", r(0, 0, 0x01, 0, {}, 0), false, kSgErrNoDevice, 0xFF, 512, 0, 0, 0},
      {"host bad target", r(0, 0, 0x04, 0, {}, 0), false, kSgErrNoDevice, 0xFF, 512, 0, 0, 0},
      {"host transport failfast", r(0, 0, 0x0F, 0, {}, 0), false, kSgErrNoDevice, 0xFF, 512, 0, 0, 0},
      // Carried out without a status: the preset stays, nothing moved, no sense.
      {"host timeout", r(0, 0, 0x03, 0, {}, 0), true, 0, 0xFF, 0, 0, 0, 0},
      {"host abort", r(0, 0, 0x05, 0, {}, 0), true, 0, 0xFF, 0, 0, 0, 0},
      {"host error", r(0, 0, 0x07, 0, {}, 0), true, 0, 0xFF, 0, 0, 0, 0},
      {"host reset", r(0, 2, 0x08, 0x08, FixedSense(6, 0x29, 0), 0), true, 0, 0xFF, 0, 0, 0, 0},
      {"host byte not tabled", r(0, 0, 0x42, 0, {}, 0), true, 0, 0xFF, 0, 0, 0, 0},
      {"driver timeout", r(0, 0, 0, 0x06, {}, 0), true, 0, 0xFF, 0, 0, 0, 0},
      {"driver error", r(0, 2, 0, 0x04, FixedSense(3, 0x11, 0), 0), true, 0, 0xFF, 0, 0, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    kernel.reply = c.reply;
    const std::uint8_t cdb[16] = {0x28};
    PassThroughRequest req;
    BuildPassThroughRequest(req, 0, data, 512, cdb, 16, 5);
    std::uint32_t err = 0;
    EXPECT_EQ(port.SendDirect(handle, req, &err), c.sent);
    EXPECT_EQ(err, c.osError);
    EXPECT_EQ(req.sptd.scsiStatus, c.status);
    EXPECT_EQ(req.sptd.dataTransferLength, c.moved);
    EXPECT_EQ(req.sense[2], c.key);
    EXPECT_EQ(req.sense[12], c.asc);
    EXPECT_EQ(req.sense[13], c.ascq);
  }
}

TEST_F(SgTranslateTest, BufferedRequestKeepsItsDataInsideTheBlock) {
  BufferedPassThroughRequest req{};
  req.spt.cdbLength = 6;
  req.spt.senseInfoLength = 24;
  req.spt.dataIn = 1;
  req.spt.timeOutValue = 2;
  req.spt.dataBufferOffset = kBufferedDataOffset;
  req.spt.senseInfoOffset = kBufferedSenseOffset;
  kernel.reply = KernelReply{};
  kernel.reply.status = 2;
  kernel.reply.driverStatus = 0x08;
  kernel.reply.sense = FixedSense(2, 0x3A, 0);
  ASSERT_TRUE(port.SendBuffered(handle, req, nullptr));
  EXPECT_EQ(kernel.ios.back().direction, SG_DXFER_NONE);
  EXPECT_EQ(kernel.ios.back().cmdLen, 6u);
  EXPECT_EQ(kernel.ios.back().timeout, 2000u);
  EXPECT_EQ(req.spt.scsiStatus, 2);
  EXPECT_EQ(req.sense[2], 2);
  EXPECT_EQ(req.sense[12], 0x3A);

  // A data area reaching past the block is refused, not sent.
  req.spt.dataTransferLength = 2000;
  std::uint32_t err = 0;
  const std::size_t before = kernel.ios.size();
  EXPECT_FALSE(port.SendBuffered(handle, req, &err));
  EXPECT_EQ(err, kSgErrInvalid);
  EXPECT_EQ(kernel.ios.size(), before);
  req.spt.dataTransferLength = 1024;
  kernel.reply = KernelReply{};
  kernel.reply.dataIn = Bytes(1024, 0x42);
  EXPECT_TRUE(port.SendBuffered(handle, req, &err));
  EXPECT_EQ(kernel.ios.back().dxferp, req.data);
  EXPECT_EQ(req.data[1023], 0x42);
}

TEST_F(SgTranslateTest, BadCdbLengthIsRefused) {
  PassThroughRequest req{};
  std::uint32_t err = 0;
  req.sptd.cdbLength = 0;
  EXPECT_FALSE(port.SendDirect(handle, req, &err));
  EXPECT_EQ(err, kSgErrInvalid);
  req.sptd.cdbLength = 17;
  EXPECT_FALSE(port.SendDirect(handle, req, &err));
  EXPECT_TRUE(kernel.ios.empty());
}

// A letter stays bound to the device it was mapped to: when /dev changes
// under a running batch, an open either reaches that same device or fails
// with no command sent; only the next scan maps the letter afresh.
TEST(SgPortBindingTest, LettersFollowTheirDeviceUntilTheNextScan) {
  struct Case {
    const char* name;
    std::vector<DriveMapping> map;
    std::function<void(FakeKernel&)> change;
    char letter;
    bool opensBeforeScan;      // the letter still reaches the device it was bound to
    std::string nodeAfterScan;  // what the letter opens after a scan ("" = nothing)
  };
  auto replug = [](const char* sg, const char* hctl, const char* port) {
    return [=](FakeKernel& k) {
      k.Detach(sg);
      k.Attach(sg, hctl, port);
    };
  };
  const Case cases[] = {
      {"removal below: the letter keeps its device", {},
       [](FakeKernel& k) { k.Detach("sg1"); }, 'E', true, ""},
      {"removal below: the next scan renumbers", {},
       [](FakeKernel& k) { k.Detach("sg1"); }, 'D', false, "/dev/sg2"},
      {"a replug takes the freed number", {}, replug("sg1", "7:0:0:0", "1-4"), 'D', false, "/dev/sg1"},
      {"a replug reuses host number and port", {}, replug("sg1", "6:0:0:0", "1-2"), 'D', false,
       "/dev/sg1"},
      {"a replug behind an explicit map", {{'G', "/dev/sg1"}}, replug("sg1", "7:0:0:0", "1-4"), 'G',
       false, "/dev/sg1"},
      {"the device behind an explicit map is unplugged", {{'G', "/dev/sg2"}},
       [](FakeKernel& k) { k.Detach("sg2"); }, 'G', false, ""},
      {"a port symlink that moves to a new node", {{'E', "/dev/kx20/port-1-3"}},
       [](FakeKernel& k) {
         k.Detach("sg2");
         k.Attach("sg3", "8:0:0:0", "1-3");
         k.links["/dev/kx20/port-1-3"] = "/dev/sg3";
       },
       'E', false, "/dev/sg3"},
      {"nothing changes", {}, [](FakeKernel&) {}, 'E', true, "/dev/sg2"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeKernel kernel;
    kernel.Attach("sg2", "7:0:0:0", "1-3");
    kernel.links["/dev/kx20/port-1-3"] = "/dev/sg2";
    SgPort port(kernel.Ops(), c.map);
    DeviceSession session(port);
    std::uint8_t inquiry[32];
    ASSERT_EQ(session.Inquiry(c.letter, inquiry), DevOk);  // bound and reachable

    c.change(kernel);
    const std::size_t sent = kernel.ios.size();
    const std::size_t opens = kernel.open.size();
    std::uint32_t err = 0;
    const PortHandle h = port.Open(c.letter, &err);
    EXPECT_EQ(IsOpenHandle(h), c.opensBeforeScan);
    if (IsOpenHandle(h)) {
      port.Close(h);
    } else {
      EXPECT_TRUE(err == kSgErrNoDevice || err == kSgErrNotFound) << err;
      EXPECT_EQ(session.Inquiry(c.letter, inquiry), DevOpenFailed);
      EXPECT_EQ(kernel.ios.size(), sent);  // no command reached any device
      EXPECT_EQ(kernel.open.size(), opens);
      // Opening again changes nothing without a scan.
      EXPECT_FALSE(IsOpenHandle(port.Open(c.letter, nullptr)));
    }

    port.ScanDrives();
    const PortHandle after = port.Open(c.letter, nullptr);
    EXPECT_EQ(IsOpenHandle(after), !c.nodeAfterScan.empty());
    if (IsOpenHandle(after)) {
      EXPECT_EQ(kernel.opened.back(), c.nodeAfterScan);
    }
    port.Close(after);
  }
}

TEST(SgPortBindingTest, BindingsNameTheSysfsDeviceAndItsUsbPort) {
  FakeKernel kernel;
  kernel.Attach("sg2", "7:0:0:0", "1-2.3");
  kernel.links["/dev/kx20/port-1-2.3"] = "/dev/sg2";
  SgPort port(kernel.Ops(), {{'E', "/dev/kx20/port-1-2.3"}, {'F', "/dev/sg9"}});
  const auto bindings = port.Bindings();
  const SgBinding& e = bindings.at('E');
  EXPECT_EQ(e.node, "/dev/sg2");
  ASSERT_TRUE(e.identity.has_value());
  EXPECT_EQ(e.identity->Hctl(), "7:0:0:0");
  EXPECT_EQ(e.identity->UsbPort(), "1-2.3");
  EXPECT_FALSE(bindings.at('F').identity.has_value());
  EXPECT_FALSE(bindings.at('F').problem.empty());
}

// Two stations on one host: each its own port and letters, one lock file
// per SCSI device. A disk one of them claims is refused to the other (and
// to a second claim in the same process), whatever letter it goes by; the
// lock file names the holder.
TEST(SgPortClaimTest, ADiskIsClaimedByOneStationWhateverItsLetter) {
  char lockDirTemplate[] = "/tmp/kx20-claims-XXXXXX";
  ASSERT_NE(::mkdtemp(lockDirTemplate), nullptr);
  const std::string lockDir = lockDirTemplate;
  struct Cleanup {
    std::string dir;
    ~Cleanup() { std::filesystem::remove_all(dir); }
  } cleanup{lockDir};
  FakeKernel kernel;
  kernel.Attach("sg2", "7:0:0:0", "1-3");
  SgPort first(kernel.Ops(), {});                     // sg2 is E:
  SgPort second(kernel.Ops(), {{'Q', "/dev/sg2"}});   // the same disk as Q:
  first.SetClaimDirectory(lockDir);
  second.SetClaimDirectory(lockDir);
  ASSERT_EQ(first.ClaimFileOf(*first.Bindings().at('E').identity),
            second.ClaimFileOf(*second.Bindings().at('Q').identity));

  DiskClaimResult held = first.ClaimDisk('E', "work directory /srv/line1");
  ASSERT_TRUE(held.claim) << held.refusal;
  const std::size_t opensBefore = kernel.opened.size();
  for (SgPort* port : {&second, &first}) {
    const DiskClaimResult refused = port->ClaimDisk(port == &first ? 'E' : 'Q', "another");
    EXPECT_FALSE(refused.claim);
    EXPECT_TRUE(refused.busy);
    for (const char* part : {"in use by another station", "pid ", "work directory /srv/line1",
                             "7:0:0:0"}) {
      EXPECT_NE(refused.refusal.find(part), std::string::npos) << refused.refusal;
    }
  }
  EXPECT_EQ(kernel.opened.size(), opensBefore) << "a claim opened the device";
  // Another disk is free; the first one again once released.
  EXPECT_TRUE(second.ClaimDisk('D', "another").claim);
  held.claim.reset();
  EXPECT_TRUE(second.ClaimDisk('Q', "another").claim);
}

// A lock directory where no lock can be had refuses the disk rather than
// driving it unguarded.
TEST(SgPortClaimTest, NoLockNoDisk) {
  FakeKernel kernel;
  SgPort port(kernel.Ops(), {});
  port.SetClaimDirectory("/nonexistent-kx20-lock-directory");
  const DiskClaimResult r = port.ClaimDisk('D', "");
  EXPECT_FALSE(r.claim);
  EXPECT_FALSE(r.busy);
  EXPECT_NE(r.refusal.find("cannot be claimed"), std::string::npos) << r.refusal;
}

TEST(SgPortBindingTest, ExplicitMapsOfBlockNodesAreRefusedNamingTheSgNode) {
  FakeKernel kernel;
  kernel.blockDevices["sdb"] = "sg1";
  kernel.links["/dev/disk/by-id/usb-VYN-0:0"] = "/dev/sdb";
  const SgOps ops = kernel.Ops();
  struct Case { DriveMapping mapping; const char* expected; };
  const Case cases[] = {
      {{'E', "/dev/sdb"}, "E=/dev/sg1"},
      {{'E', "/dev/disk/by-id/usb-VYN-0:0"}, "E=/dev/sg1"},
      {{'E', "dev/sg1"}, "not absolute"},
      {{'E', "/dev/sg1"}, ""},
      {{'E', "/dev/sg-not-there-yet"}, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mapping.path);
    const std::string problem = CheckSgMapping(ops, c.mapping);
    if (*c.expected == '\0') {
      EXPECT_EQ(problem, "");
    } else {
      EXPECT_NE(problem.find(c.expected), std::string::npos) << problem;
    }
  }
}

// The kernel rewrites CDB byte 1 bits 5-7 for devices of SCSI level 1 to 3:
// a command that would arrive altered is refused before it is sent.
TEST_F(SgTranslateTest, CommandsTheKernelWouldAlterAreRefused) {
  struct Case {
    int level;
    std::uint8_t byte1;
    bool sent;
  };
  const Case cases[] = {
      {3, 0x6F, false},  // SCSI-2: the probe would arrive as F9 0F
      {3, 0x61, false},  // the table write would arrive as F9 01
      {1, 0x20, false},
      {3, 0x04, true},   // bits 5-7 clear: nothing to alter
      {0, 0x6F, true},   // no version claimed: left alone
      {5, 0x6F, true},   // SPC-2 and later: left alone
      {-1, 0x6F, true},  // level unknown
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "level " << c.level << " byte1 " << int{c.byte1});
    kernel.scsiLevel = c.level;
    kernel.ios.clear();
    std::uint8_t cdb[16] = {0xF9, c.byte1};
    cdb[14] = 'V';
    cdb[15] = 'Y';
    PassThroughRequest r;
    BuildPassThroughRequest(r, 0, nullptr, 0, cdb, 16, 10);
    std::uint32_t err = 0;
    EXPECT_EQ(port.SendDirect(handle, r, &err), c.sent);
    if (c.sent) {
      ASSERT_EQ(kernel.ios.size(), 1u);
      EXPECT_EQ(kernel.ios[0].cdb, Bytes(cdb, cdb + 16));  // arrived as built
    } else {
      EXPECT_TRUE(kernel.ios.empty());
      EXPECT_EQ(err, kSgErrInvalid);
    }
  }
}

TEST(SgPortSessionTest, DeviceSessionRunsOverTheSgPort) {
  FakeKernel kernel;
  SgPort port(kernel.Ops(), {{'F', "/dev/sg1"}});
  DeviceSession session(port);
  session.driveLetter = 'F';
  kernel.reply.status = 2;
  kernel.reply.driverStatus = 0x08;
  kernel.reply.sense = FixedSense(2, 0x3A, 0);
  EXPECT_EQ(session.TestUnitReady(), DevOk);  // medium not present counts as ready
  EXPECT_TRUE(kernel.open.empty());

  kernel.reply = KernelReply{};
  kernel.reply.dataIn = {0x00, 0x0F, 0xFF, 0xFF, 0, 0, 2, 0};
  std::uint32_t lastLba = 0;
  EXPECT_EQ(session.ReadCapacity(lastLba, 'F'), DevOk);
  EXPECT_EQ(lastLba, 0x000FFFFFu);
  EXPECT_EQ(kernel.open.size(), 1u);

  // A command carried out without a status gets its own failure code.
  kernel.reply = KernelReply{};
  kernel.reply.hostStatus = 0x07;  // DID_ERROR
  std::uint8_t sectors[512];
  EXPECT_EQ(session.ReadSectors(sectors, 0, 1, nullptr), DevReadFailed);
  EXPECT_EQ(session.WriteSectors(sectors, 0, 1, nullptr), DevWriteFailed);
  EXPECT_EQ(session.ReadFlashInfo(sectors, 512, nullptr), DevVendorCommandFailed);
  EXPECT_NE(session.TestUnitReady(), DevOk);
  session.ReadCapacity(lastLba, 'F');

  kernel.reply = KernelReply{};
  kernel.reply.ioctlErrno = EIO;
  std::uint32_t err = 0;
  EXPECT_EQ(session.ReadSectors(sectors, 0, 1, &err), DevOsFailure);
  EXPECT_EQ(err, static_cast<std::uint32_t>(EIO));
  EXPECT_EQ(session.lastTransferError, static_cast<std::uint32_t>(EIO));
}

TEST(SgHostPortTest, RealHostRefusesBadMapsAndVanishedDevices) {
  std::string error;
  EXPECT_EQ(MakeHostPort({{'E', "dev/sg2"}}, &error), nullptr);
  EXPECT_NE(error.find("not absolute"), std::string::npos) << error;
  EXPECT_EQ(MakeHostPort({{'E', "/dev/sg2"}, {'E', "/dev/sg3"}}, &error), nullptr);
  EXPECT_NE(error.find("twice"), std::string::npos) << error;

  EXPECT_EQ(MakeHostPort({{'F', "/dev/null"}}, &error), nullptr);
  EXPECT_NE(error.find("not a SCSI generic device"), std::string::npos) << error;

  auto port = MakeHostPort({{'E', "/dev/sg-vanished-kx20"}}, &error);
  ASSERT_NE(port, nullptr);
  EXPECT_EQ(port->LogicalDrives(), 1u << 4);
  std::uint32_t err = 0;
  EXPECT_EQ(port->Open('E', &err), kInvalidPortHandle);
  EXPECT_EQ(err, static_cast<std::uint32_t>(ENOENT));
  DeviceSession session(*port);
  EXPECT_EQ(session.Inquiry('E', nullptr), DevOpenFailed);
}

}  // namespace
}  // namespace kx20
