// Image assembly: the prepared image that every production worker writes to
// sectors 0-511 of its disk, published as one immutable snapshot together
// with the root-directory sector of its layout and the capacity it was built
// for, so that no reader pairs the parts of two different builds.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "common/clock.h"
#include "image/fat_formatter.h"

namespace kx20 {

inline constexpr std::uint32_t kPreparedImageBytes = kRamDiskBytes;  // 262,144
inline constexpr std::uint32_t kPreparedImageSectors = kRamDiskSectors;

using PreparedImage = std::array<std::uint8_t, kPreparedImageBytes>;

struct PreparedImageSnapshot {
  std::uint32_t imageCapacity = 0;    // last block address the image was built for
  std::uint32_t imageRootSector = 0;  // R of its layout; the clearing step stops below R + 1024
  FatLayout layout;                   // the whole layout, for display and checks
  // byte n * 512 = first byte of disk sector n; aligned for direct transfers
  alignas(16) PreparedImage preparedImage{};
};

// Keeps the last successfully built image. One per process (the main window
// owns it and hands it to the workers).
//
// Threads: BuildDiskImage may be called from any thread; concurrent builds are
// serialised inside (the production worker also holds its SetupLock around
// it). Current() and ImageBuildFailed() may be called from any thread at any
// time and never block for longer than a pointer copy.
class DiskImageStore {
 public:
  explicit DiskImageStore(Clock& clock);
  ~DiskImageStore();
  DiskImageStore(const DiskImageStore&) = delete;
  DiskImageStore& operator=(const DiskImageStore&) = delete;

  // Returns the image for a disk whose READ CAPACITY gave `lastLba` (pass 0
  // when the capacity could not be read). When the current image was built
  // for this capacity it is returned unchanged; otherwise a new one is
  // formatted (reading the clock for its volume serial number) and
  // published. Returns nullptr, sets ImageBuildFailed() and keeps the
  // previous image when there is no capacity (0) or the capacity lies
  // outside the supported range (IsSupportedLastLba); the caller reports
  // that as "USBErr_Capacity".
  std::shared_ptr<const PreparedImageSnapshot> BuildDiskImage(std::uint32_t lastLba);

  // The last image built successfully; nullptr before the first.
  std::shared_ptr<const PreparedImageSnapshot> Current() const;

  // Makes `snapshot` the current image, as if it had just been built (an
  // image assembled elsewhere: kx20ctl, tests). Any thread.
  void Publish(std::shared_ptr<const PreparedImageSnapshot> snapshot);

  // True when the latest BuildDiskImage call produced no image.
  bool ImageBuildFailed() const { return imageBuildFailed_.load(); }

 private:
  Clock& clock_;
  std::mutex buildMutex_;                       // one build at a time (the FormatContext)
  std::unique_ptr<FormatContext> formatContext_;  // guarded by buildMutex_
  mutable std::mutex snapshotMutex_;            // held only to copy or swap the pointer
  std::shared_ptr<const PreparedImageSnapshot> current_;
  std::atomic<bool> imageBuildFailed_{false};
};

// Formats one image outside any store (kx20ctl, tests): nullptr when the
// capacity is not supported.
std::shared_ptr<const PreparedImageSnapshot> FormatPreparedImage(std::uint32_t lastLba, Clock& clock,
                                                                 FormatContext& scratch);

}  // namespace kx20
