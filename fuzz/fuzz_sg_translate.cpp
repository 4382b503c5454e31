// The SG_IO translation with random kernel answers: whatever the kernel (here
// the input) reports, the port moves data only inside the caller's buffer,
// copies at most the sense the request asked for, never reports more bytes
// moved than requested, and a request that was not carried out keeps its
// preset status and gives an error code.
#include <scsi/sg.h>

#include <cstring>
#include <vector>

#include "device/device_session.h"
#include "fuzz_support.h"
#include "platform/linux/sg_port.h"

namespace {

struct Window {  // where the port may let the kernel write
  const std::uint8_t* begin = nullptr;
  std::size_t size = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace kx20;
  fuzz::Input in(data, size);
  Window window;
  std::uint8_t maxSenseSeen = 0;

  SgOps ops;
  ops.open = [&](const char*, int* err) {
    if (in.Byte() == 0xEE) {
      *err = 6;  // ENXIO: the disk went away
      return -1;
    }
    return 7;
  };
  ops.close = [](int) {};
  ops.listDev = [] { return std::vector<std::string>{"sg0"}; };
  // One SCSI device behind /dev/sg0, so that the letter binds and opens.
  const std::string sysDevice = "/sys/devices/pci0000:00/host0/target0:0:0/0:0:0:0";
  ops.realPath = [&](const std::string& path) -> std::string {
    if (path == "/dev/sg0") return path;
    if (path == "/sys/class/scsi_generic/sg0/device" || path == "/sys/dev/char/21:0/device") {
      return sysDevice;
    }
    return {};
  };
  ops.inode = [&](const std::string& path) -> std::uint64_t { return path == sysDevice ? 42 : 0; };
  ops.deviceNumber = [](int, unsigned* major, unsigned* minor) {
    *major = 21;
    *minor = 0;
    return true;
  };
  ops.listDir = [](const std::string&) { return std::vector<std::string>{}; };
  ops.scsiLevel = [](int) { return 6; };
  ops.ioctl = [&](int fd, unsigned long request, void* arg, int* err) -> int {
    FUZZ_CHECK(fd == 7);
    if (request == SG_GET_VERSION_NUM) {
      *static_cast<int*>(arg) = 30536;
      return 0;
    }
    if (request != SG_IO) return 0;
    auto* hdr = static_cast<sg_io_hdr_t*>(arg);
    FUZZ_CHECK(hdr->interface_id == 'S');
    FUZZ_CHECK(hdr->cmd_len >= 1 && hdr->cmd_len <= 16);
    maxSenseSeen = hdr->mx_sb_len;
    if (hdr->dxfer_len != 0) {
      const auto* p = static_cast<const std::uint8_t*>(hdr->dxferp);
      FUZZ_CHECK(p >= window.begin && p + hdr->dxfer_len <= window.begin + window.size);
      if (hdr->dxfer_direction == SG_DXFER_FROM_DEV) {
        in.Bytes(hdr->dxferp, in.Byte() % 2 ? hdr->dxfer_len : hdr->dxfer_len / 2);
      }
    }
    const std::uint8_t answer = in.Byte();
    if (answer == 0xFF) {
      *err = in.Byte();
      return -1;
    }
    hdr->status = in.Byte();
    hdr->host_status = (answer & 3) == 0 ? in.Byte() : 0;
    hdr->driver_status = (answer & 12) == 0 ? in.Value<std::uint16_t>() : (answer & 16 ? 0x08 : 0);
    hdr->resid = in.Value<int>();
    hdr->sb_len_wr = in.Byte();
    hdr->duration = in.Value<unsigned>();
    // The kernel writes at most mx_sb_len sense bytes (sb_len_wr may lie).
    in.Bytes(hdr->sbp, hdr->mx_sb_len);
    return 0;
  };

  SgPort port(ops, {DriveMapping{'E', "/dev/sg0"}});
  std::uint32_t openError = 0;
  const PortHandle handle = port.Open('E', &openError);
  if (handle == kInvalidPortHandle) {
    FUZZ_CHECK(openError != 0);
    return 0;
  }

  for (int round = 0; round < 4 && in.Left() > 0; ++round) {
    const std::uint8_t kind = in.Byte();
    std::uint8_t cdb[16];
    in.Bytes(cdb, sizeof cdb);
    const std::uint8_t cdbLength = in.Byte() % 18;
    const std::uint8_t senseLength = in.Byte() % 80;
    std::uint32_t osError = 0;
    if (kind & 1) {
      // Direct: the data lives in a buffer of its own.
      const std::uint32_t length = in.Value<std::uint16_t>() % 1025;
      std::vector<std::uint8_t> buffer(length);
      PassThroughRequest request;
      BuildPassThroughRequest(request, kind & 2, length ? buffer.data() : nullptr, length, cdb,
                              cdbLength > 16 ? 16 : cdbLength, in.Byte());
      request.sptd.cdbLength = cdbLength;  // also lengths no command builder makes
      request.sptd.senseInfoLength = senseLength;
      std::memset(request.sense, 0xEE, sizeof request.sense);
      window = {buffer.data(), buffer.size()};
      maxSenseSeen = 0;
      const bool sent = port.SendDirect(handle, request, &osError);
      if (!sent) {
        FUZZ_CHECK(osError != 0);
        FUZZ_CHECK(request.sptd.scsiStatus == kStatusPreset);
        FUZZ_CHECK(request.sptd.dataTransferLength == length);
        FUZZ_CHECK(CheckConditionRule(sent, request) != DevOk);
        continue;
      }
      FUZZ_CHECK(maxSenseSeen <= senseLength && maxSenseSeen <= sizeof request.sense);
      FUZZ_CHECK(request.sptd.dataTransferLength <= length);
      for (std::size_t k = maxSenseSeen; k < sizeof request.sense; ++k) FUZZ_CHECK(request.sense[k] == 0xEE);
      if (request.sptd.scsiStatus != 0) FUZZ_CHECK(CheckConditionRule(sent, request) != DevOk);
    } else {
      // Buffered: the data lives inside the block, at an offset it names.
      BufferedPassThroughRequest request;
      std::memset(&request, 0, sizeof request);
      request.spt.scsiStatus = kStatusPreset;
      std::memcpy(request.spt.cdb, cdb, sizeof cdb);
      request.spt.cdbLength = cdbLength;
      request.spt.senseInfoLength = senseLength;
      request.spt.dataIn = 1;
      request.spt.dataBufferOffset = in.Byte() & 1 ? in.Value<std::uint32_t>() % 1300 : kBufferedDataOffset;
      request.spt.dataTransferLength = in.Value<std::uint16_t>() % 1300;
      const std::uint32_t length = request.spt.dataTransferLength;
      // The data area may lie over the block's own header (the kernel then
      // writes there too): only a header it leaves alone must stay unchanged.
      const std::uint64_t offset = request.spt.dataBufferOffset;
      const bool dataOverStatus = length != 0 && offset <= 2 && offset + length > 2;
      std::memset(request.sense, 0xEE, sizeof request.sense);
      window = {reinterpret_cast<const std::uint8_t*>(&request), sizeof request};
      maxSenseSeen = 0;
      const bool sent = port.SendBuffered(handle, request, &osError);
      if (!sent) {
        FUZZ_CHECK(osError != 0);
        // (Unless the block's own data area lies over its status byte.)
        if (!dataOverStatus) FUZZ_CHECK(request.spt.scsiStatus == kStatusPreset);
        FUZZ_CHECK(ReadyRule(sent, request) != DevOk);
        continue;
      }
      FUZZ_CHECK(maxSenseSeen <= senseLength && maxSenseSeen <= sizeof request.sense);
      FUZZ_CHECK(request.spt.dataTransferLength <= length);
    }
  }
  port.Close(handle);
  return 0;
}
