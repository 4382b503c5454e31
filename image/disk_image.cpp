#include "image/disk_image.h"

#include <cstring>
#include <memory>
#include <utility>

#include "common/aligned_buffer.h"

namespace kx20 {

std::shared_ptr<const PreparedImageSnapshot> FormatPreparedImage(std::uint32_t lastLba, Clock& clock,
                                                                 FormatContext& scratch) {
  if (lastLba == 0 || !IsSupportedLastLba(lastLba)) return nullptr;
  scratch.ramDisk.Clear();
  scratch.lastLba = lastLba;
  const std::optional<std::uint32_t> root = FormatRamDisk(scratch, kImageSectorsPerTrack, clock);
  if (!root) return nullptr;
  // Workers hand the image's pieces to the port as they are: its memory is
  // aligned explicitly (see common/aligned_buffer.h).
  std::shared_ptr<PreparedImageSnapshot> snapshot = MakeAligned<PreparedImageSnapshot>();
  snapshot->imageCapacity = lastLba;
  snapshot->imageRootSector = *root;
  snapshot->layout = ComputeFatLayout(lastLba, kImageSectorsPerTrack);
  std::memcpy(snapshot->preparedImage.data(), scratch.ramDisk.bytes.data(), kPreparedImageBytes);
  return snapshot;
}

DiskImageStore::DiskImageStore(Clock& clock) : clock_(clock), formatContext_(std::make_unique<FormatContext>()) {}

DiskImageStore::~DiskImageStore() = default;

std::shared_ptr<const PreparedImageSnapshot> DiskImageStore::Current() const {
  std::lock_guard<std::mutex> lock(snapshotMutex_);
  return current_;
}

std::shared_ptr<const PreparedImageSnapshot> DiskImageStore::BuildDiskImage(std::uint32_t lastLba) {
  std::lock_guard<std::mutex> build(buildMutex_);
  imageBuildFailed_.store(false);
  if (auto current = Current(); current && current->imageCapacity == lastLba) {
    return current;  // a batch of one capacity costs one build
  }
  auto snapshot = FormatPreparedImage(lastLba, clock_, *formatContext_);
  if (!snapshot) {
    imageBuildFailed_.store(true);
    return nullptr;
  }
  {
    std::lock_guard<std::mutex> lock(snapshotMutex_);
    current_ = snapshot;
  }
  return snapshot;
}

void DiskImageStore::Publish(std::shared_ptr<const PreparedImageSnapshot> snapshot) {
  std::lock_guard<std::mutex> build(buildMutex_);
  std::lock_guard<std::mutex> lock(snapshotMutex_);
  current_ = std::move(snapshot);
}

}  // namespace kx20
