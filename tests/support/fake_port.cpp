#include "support/fake_port.h"

#include <algorithm>
#include <cstring>

namespace kx20::test {

void FakePort::AddDrive(char letter, std::uint32_t openError) {
  std::lock_guard<std::mutex> lock(mutex_);
  drives_[letter] = openError;
}

void FakePort::RemoveDrive(char letter) {
  std::lock_guard<std::mutex> lock(mutex_);
  drives_.erase(letter);
}

void FakePort::SetExtraDriveBits(std::uint32_t bits) {
  std::lock_guard<std::mutex> lock(mutex_);
  extraBits_ = bits;
}

void FakePort::Queue(FakeReply reply) {
  std::lock_guard<std::mutex> lock(mutex_);
  queue_.push_back(std::move(reply));
}

void FakePort::SetResponder(std::function<FakeReply(const RecordedRequest&)> responder) {
  std::lock_guard<std::mutex> lock(mutex_);
  responder_ = std::move(responder);
}

std::vector<RecordedRequest> FakePort::Requests() {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

RecordedRequest FakePort::LastRequest() {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_.empty() ? RecordedRequest{} : requests_.back();
}

void FakePort::ClearRequests() {
  std::lock_guard<std::mutex> lock(mutex_);
  requests_.clear();
}

int FakePort::OpenCount() { std::lock_guard<std::mutex> lock(mutex_); return openCount_; }
int FakePort::OpenAttempts() { std::lock_guard<std::mutex> lock(mutex_); return openAttempts_; }
int FakePort::CloseCount() { std::lock_guard<std::mutex> lock(mutex_); return closeCount_; }
int FakePort::OpenHandles() { std::lock_guard<std::mutex> lock(mutex_); return static_cast<int>(handles_.size()); }
std::vector<char> FakePort::OpenedLetters() { std::lock_guard<std::mutex> lock(mutex_); return openedLetters_; }

PortHandle FakePort::Open(char letter, std::uint32_t* osError) {
  std::lock_guard<std::mutex> lock(mutex_);
  ++openAttempts_;
  openedLetters_.push_back(letter);
  auto it = drives_.find(letter);
  if (it == drives_.end() || it->second != 0) {
    if (osError != nullptr) *osError = it == drives_.end() ? kFileNotFound : it->second;
    return kInvalidPortHandle;
  }
  ++openCount_;
  const PortHandle h = nextHandle_++;
  handles_[h] = letter;
  return h;
}

void FakePort::Close(PortHandle handle) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (handles_.erase(handle) != 0) ++closeCount_;
}

FakeReply FakePort::NextReply(const RecordedRequest& r) {
  if (!queue_.empty()) {
    FakeReply reply = std::move(queue_.front());
    queue_.pop_front();
    return reply;
  }
  if (responder_) return responder_(r);
  return FakeReply::Good();
}

bool FakePort::SendDirect(PortHandle handle, PassThroughRequest& request, std::uint32_t* osError) {
  std::lock_guard<std::mutex> lock(mutex_);
  ScsiPassThroughDirect& s = request.sptd;
  RecordedRequest r;
  r.handle = handle;
  auto h = handles_.find(handle);
  r.letter = h == handles_.end() ? 0 : h->second;
  r.length = s.length;
  r.scsiStatus = s.scsiStatus;
  r.pathId = s.pathId;
  r.targetId = s.targetId;
  r.lun = s.lun;
  r.cdbLength = s.cdbLength;
  r.senseInfoLength = s.senseInfoLength;
  r.dataIn = s.dataIn;
  r.dataTransferLength = s.dataTransferLength;
  r.timeOutValue = s.timeOutValue;
  r.dataBuffer = s.dataBuffer;
  r.senseInfoOffset = s.senseInfoOffset;
  std::memcpy(r.cdb.data(), s.cdb, 16);
  if (s.dataIn == 0 && s.dataBuffer != nullptr && s.dataTransferLength > 0) {
    const auto* p = static_cast<const std::uint8_t*>(s.dataBuffer);
    r.dataOut.assign(p, p + s.dataTransferLength);
  }
  requests_.push_back(r);
  if (h == handles_.end()) {
    if (osError != nullptr) *osError = kInvalidHandle;
    return false;
  }
  const FakeReply reply = NextReply(r);
  if (reply.osFailure) {
    if (osError != nullptr) *osError = reply.osError;
    return false;
  }
  if (reply.status) s.scsiStatus = *reply.status;
  request.sense[2] = reply.senseKey;
  request.sense[12] = reply.asc;
  request.sense[13] = reply.ascq;
  if (s.dataIn == 1 && s.dataBuffer != nullptr) {
    const std::size_t n = std::min<std::size_t>(reply.data.size(), s.dataTransferLength);
    if (n > 0) std::memcpy(s.dataBuffer, reply.data.data(), n);
  }
  if (reply.bytesMoved) s.dataTransferLength = *reply.bytesMoved;
  return true;
}

bool FakePort::SendBuffered(PortHandle handle, BufferedPassThroughRequest& request,
                            std::uint32_t* osError) {
  std::lock_guard<std::mutex> lock(mutex_);
  ScsiPassThrough& s = request.spt;
  RecordedRequest r;
  r.buffered = true;
  r.handle = handle;
  auto h = handles_.find(handle);
  r.letter = h == handles_.end() ? 0 : h->second;
  r.length = s.length;
  r.scsiStatus = s.scsiStatus;
  r.pathId = s.pathId;
  r.targetId = s.targetId;
  r.lun = s.lun;
  r.cdbLength = s.cdbLength;
  r.senseInfoLength = s.senseInfoLength;
  r.dataIn = s.dataIn;
  r.dataTransferLength = s.dataTransferLength;
  r.timeOutValue = s.timeOutValue;
  r.dataBufferOffset = s.dataBufferOffset;
  r.senseInfoOffset = s.senseInfoOffset;
  std::memcpy(r.cdb.data(), s.cdb, 16);
  requests_.push_back(r);
  if (h == handles_.end()) {
    if (osError != nullptr) *osError = kInvalidHandle;
    return false;
  }
  const FakeReply reply = NextReply(r);
  if (reply.osFailure) {
    if (osError != nullptr) *osError = reply.osError;
    return false;
  }
  if (reply.status) s.scsiStatus = *reply.status;
  request.sense[2] = reply.senseKey;
  request.sense[12] = reply.asc;
  request.sense[13] = reply.ascq;
  return true;
}

std::uint32_t FakePort::LogicalDrives() {
  std::lock_guard<std::mutex> lock(mutex_);
  std::uint32_t bits = extraBits_;
  for (const auto& [letter, err] : drives_) {
    if (letter >= 'A' && letter <= 'Z') bits |= 1u << (letter - 'A');
  }
  return bits;
}

}  // namespace kx20::test
