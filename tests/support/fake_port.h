// A scripted PassThroughPort for tests: records every request it is handed and
// answers as scripted (queued replies first, then a responder, then good
// status). Drive letters exist only when added.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <vector>

#include "device/pass_through_port.h"

namespace kx20::test {

// What the port was asked to do, captured when the request arrived.
struct RecordedRequest {
  bool buffered = false;
  PortHandle handle = kNullPortHandle;
  char letter = 0;                    // letter behind the handle (0: not open)
  std::uint16_t length = 0;
  std::uint8_t scsiStatus = 0;        // as sent (0xFF preset for direct requests)
  std::uint8_t pathId = 0, targetId = 0, lun = 0;
  std::uint8_t cdbLength = 0;
  std::uint8_t senseInfoLength = 0;
  std::uint8_t dataIn = 0;
  std::uint32_t dataTransferLength = 0;
  std::uint32_t timeOutValue = 0;
  const void* dataBuffer = nullptr;   // direct form only
  std::uintptr_t dataBufferOffset = 0;  // buffered form only
  std::uint32_t senseInfoOffset = 0;
  std::array<std::uint8_t, 16> cdb{};
  std::vector<std::uint8_t> dataOut;  // bytes of a data-out buffer as sent
};

// How to answer one request.
struct FakeReply {
  bool osFailure = false;              // the request is not carried out
  std::uint32_t osError = 0;           // error code for an OS failure
  std::optional<std::uint8_t> status;  // empty: leave the status byte as sent
  std::uint8_t senseKey = 0, asc = 0, ascq = 0;
  std::vector<std::uint8_t> data;      // data-in bytes (copied up to the requested length)
  std::optional<std::uint32_t> bytesMoved;  // reported count; default: requested length

  static FakeReply Good() { FakeReply r; r.status = 0; return r; }
  static FakeReply OsFailure(std::uint32_t code) { FakeReply r; r.osFailure = true; r.osError = code; return r; }
  static FakeReply Untouched() { return FakeReply{}; }
  static FakeReply Check(std::uint8_t key, std::uint8_t asc, std::uint8_t ascq) {
    FakeReply r; r.status = 2; r.senseKey = key; r.asc = asc; r.ascq = ascq; return r;
  }
  static FakeReply Data(std::vector<std::uint8_t> bytes) { FakeReply r = Good(); r.data = std::move(bytes); return r; }
};

class FakePort : public PassThroughPort {
 public:
  static constexpr std::uint32_t kFileNotFound = 2;   // open of a missing letter
  static constexpr std::uint32_t kInvalidHandle = 6;  // request on a closed handle

  // Makes `letter` exist. `openError` non-zero: it exists but fails to open.
  void AddDrive(char letter, std::uint32_t openError = 0);
  void RemoveDrive(char letter);
  // Bits reported by LogicalDrives in addition to the added drives.
  void SetExtraDriveBits(std::uint32_t bits);

  // Queues replies used in order before the responder.
  void Queue(FakeReply reply);
  // Answers requests once the queue is empty (default: good status).
  void SetResponder(std::function<FakeReply(const RecordedRequest&)> responder);

  std::vector<RecordedRequest> Requests();
  RecordedRequest LastRequest();
  void ClearRequests();
  int OpenCount();      // successful opens so far
  int OpenAttempts();   // all opens so far
  int CloseCount();     // closes of open handles
  int OpenHandles();    // handles currently open
  std::vector<char> OpenedLetters();  // letters of every open attempt, in order

  PortHandle Open(char letter, std::uint32_t* osError) override;
  void Close(PortHandle handle) override;
  bool SendDirect(PortHandle handle, PassThroughRequest& request, std::uint32_t* osError) override;
  bool SendBuffered(PortHandle handle, BufferedPassThroughRequest& request,
                    std::uint32_t* osError) override;
  std::uint32_t LogicalDrives() override;

 private:
  FakeReply NextReply(const RecordedRequest& r);

  std::mutex mutex_;
  std::map<char, std::uint32_t> drives_;  // letter -> open error (0: opens)
  std::uint32_t extraBits_ = 0;
  std::map<PortHandle, char> handles_;
  PortHandle nextHandle_ = 100;
  std::deque<FakeReply> queue_;
  std::function<FakeReply(const RecordedRequest&)> responder_;
  std::vector<RecordedRequest> requests_;
  std::vector<char> openedLetters_;
  int openCount_ = 0, openAttempts_ = 0, closeCount_ = 0;
};

}  // namespace kx20::test
