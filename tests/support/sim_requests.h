// Raw requests to a PassThroughPort for tests of the simulated farm: builds
// CDBs and request blocks by hand, so the farm is checked independently of
// the device session.
#pragma once

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <vector>

#include "device/pass_through_port.h"

namespace kx20::testing {

struct RawReply {
  bool sent = false;
  std::uint32_t osError = 0;
  std::uint8_t status = 0xFF;
  std::uint8_t key = 0, asc = 0, ascq = 0;
  std::uint32_t moved = 0;
};

// A 16-byte CDB from its leading bytes.
inline std::vector<std::uint8_t> Cdb(std::initializer_list<std::uint8_t> bytes) {
  std::vector<std::uint8_t> cdb(16, 0);
  std::size_t i = 0;
  for (std::uint8_t b : bytes) {
    if (i < cdb.size()) cdb[i++] = b;
  }
  return cdb;
}

// A vendor CDB: operation code, sub-command, qualifier, "VY" in bytes 14-15.
inline std::vector<std::uint8_t> VendorCdb(std::uint8_t op, std::uint8_t sub, std::uint8_t qual = 0) {
  std::vector<std::uint8_t> cdb(16, 0);
  cdb[0] = op;
  cdb[1] = sub;
  cdb[2] = qual;
  cdb[14] = 'V';
  cdb[15] = 'Y';
  return cdb;
}

inline RawReply SendRaw(PassThroughPort& port, PortHandle handle, const std::vector<std::uint8_t>& cdb,
                        std::uint8_t cdbLength, bool dataIn, void* buffer, std::uint32_t length) {
  PassThroughRequest r;
  std::memset(&r, 0, sizeof r);
  r.sptd.length = 44;
  r.sptd.scsiStatus = 0xFF;
  r.sptd.cdbLength = cdbLength;
  r.sptd.senseInfoLength = 24;
  r.sptd.dataIn = dataIn ? 1 : 0;
  r.sptd.dataTransferLength = buffer ? length : 0;
  r.sptd.timeOutValue = 5;
  r.sptd.dataBuffer = buffer;
  r.sptd.senseInfoOffset = 48;
  std::memcpy(r.sptd.cdb, cdb.data(), cdbLength);
  RawReply reply;
  reply.sent = port.SendDirect(handle, r, &reply.osError);
  reply.status = r.sptd.scsiStatus;
  reply.key = r.sense[2] & 0x0F;
  reply.asc = r.sense[12];
  reply.ascq = r.sense[13];
  reply.moved = r.sptd.dataTransferLength;
  return reply;
}

// Opens `letter`, sends one request, closes.
inline RawReply SendOnce(PassThroughPort& port, char letter, const std::vector<std::uint8_t>& cdb,
                         std::uint8_t cdbLength, bool dataIn, void* buffer, std::uint32_t length) {
  std::uint32_t err = 0;
  const PortHandle h = port.Open(letter, &err);
  if (!IsOpenHandle(h)) {
    RawReply reply;
    reply.osError = err;
    return reply;
  }
  RawReply reply = SendRaw(port, h, cdb, cdbLength, dataIn, buffer, length);
  port.Close(h);
  return reply;
}

}  // namespace kx20::testing
