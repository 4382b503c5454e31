#include "sim/farm.h"

#include <algorithm>
#include <cstring>

#include "storage/file_lock.h"

namespace kx20 {
namespace {

// Writes fixed-format sense data for a check condition into a sense area.
void PutSense(std::uint8_t* area, std::size_t areaSize, std::uint8_t senseInfoLength,
              const SimSense& sense) {
  std::uint8_t data[18] = {};
  data[0] = 0x70;  // current error, fixed format
  data[2] = sense.key & 0x0F;
  data[7] = 10;  // additional sense length
  data[12] = sense.asc;
  data[13] = sense.ascq;
  const std::size_t n = std::min({sizeof data, areaSize, std::size_t{senseInfoLength}});
  std::memcpy(area, data, n);
}

}  // namespace

SimDiskConfig SystemDiskConfig() {
  SimDiskConfig c;
  c.letter = 'C';
  c.vendor = "ATA";
  c.slot = "";
  c.lastLba = 0x0FFFFFFF;
  c.systemDisk = true;
  return c;
}

// The disk that arrives on the device `leaving` frees.
SimDiskConfig ArrivalConfig(const SimDiskConfig& leaving) {
  SimDiskConfig c;
  c.letter = leaving.letter;
  c.lastLba = leaving.lastLba;
  if (leaving.arrival == kSimForeignArrival) {
    c.vendor = "ACME";
    c.slot = "";
    c.systemDisk = true;
  } else {
    c.slot = std::string(4 - std::min<std::size_t>(4, leaving.arrival.size()), ' ') + leaving.arrival;
  }
  return c;
}

std::unique_ptr<SimFarm> SimFarm::Create(const FarmLayout& layout, Clock& clock, std::string* error) {
  std::unique_ptr<SimFarm> farm(new SimFarm());
  farm->hostStyle_ = layout.hostStyle;
  if (layout.busMbps > 0) farm->bus_ = std::make_unique<SimBus>(layout.busMbps, clock);
  farm->disks_.emplace('C', std::make_unique<SimDisk>(SystemDiskConfig(), clock));
  for (const SimDiskConfig& config : layout.disks) {
    if (config.letter < 'A' || config.letter > 'Z' || config.letter == 'C' ||
        farm->disks_.count(config.letter)) {
      if (error) *error = std::string("drive letter '") + config.letter + "' cannot be simulated";
      return nullptr;
    }
    auto disk = std::make_unique<SimDisk>(config, clock, farm->bus_.get());
    if (!disk->Attach(error)) return nullptr;
    farm->disks_.emplace(config.letter, std::move(disk));
    if (!config.arrival.empty()) {
      farm->arrivals_.emplace(config.letter,
                              std::make_unique<SimDisk>(ArrivalConfig(config), clock, farm->bus_.get()));
    }
  }
  // Nodes: the system disk first, then the disks in letter order.
  auto addNode = [&](char letter) {
    farm->nodes_.push_back(farm->disks_.at(letter).get());
    farm->nodeLetters_.push_back(letter);
    farm->letters_.push_back(letter);
  };
  addNode('C');
  for (const auto& [letter, disk] : farm->disks_) {
    if (letter != 'C') addNode(letter);
  }
  std::sort(farm->letters_.begin(), farm->letters_.end());
  farm->bound_ = farm->HostView();
  return farm;
}

SimFarm::~SimFarm() = default;

void SimFarm::RefreshNodes() {
  for (SimDisk*& node : nodes_) {
    if (node == nullptr || !node->Unplugged()) continue;
    const auto it = arrivals_.find(node->Letter());
    node = it != arrivals_.end() && it->second.get() != node ? it->second.get() : nullptr;
  }
}

std::map<char, SimDisk*> SimFarm::HostView() {
  std::map<char, SimDisk*> view;
  std::size_t k = 0;
  for (std::size_t i = 0; i < nodes_.size(); ++i) {
    if (nodes_[i] == nullptr) continue;
    if (hostStyle_ == SimHostStyle::kWindows) {
      view[nodeLetters_[i]] = nodes_[i];
    } else if (k < letters_.size()) {
      view[letters_[k++]] = nodes_[i];
    }
  }
  return view;
}

PortHandle SimFarm::Open(char letter, std::uint32_t* osError) {
  std::lock_guard<std::mutex> lock(mutex_);
  RefreshNodes();
  const auto it = bound_.find(letter);
  // The letter opens the disk it was bound to, or nothing.
  if (it == bound_.end() || it->second->Unplugged()) {
    if (osError) *osError = kSimErrorFileNotFound;
    return kInvalidPortHandle;
  }
  if (!it->second->CanOpen()) {
    if (osError) *osError = kSimErrorAccessDenied;
    return kInvalidPortHandle;
  }
  const PortHandle handle = nextHandle_;
  nextHandle_ += 4;
  handles_.emplace(handle, it->second);
  return handle;
}

void SimFarm::Close(PortHandle handle) {
  std::lock_guard<std::mutex> lock(mutex_);
  handles_.erase(handle);
}

SimDisk* SimFarm::DiskOfHandle(PortHandle handle) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = handles_.find(handle);
  return it == handles_.end() ? nullptr : it->second;
}

bool SimFarm::SendDirect(PortHandle handle, PassThroughRequest& request, std::uint32_t* osError) {
  SimDisk* disk = DiskOfHandle(handle);
  if (!disk) {
    if (osError) *osError = kSimErrorInvalidHandle;
    return false;
  }
  ScsiPassThroughDirect& s = request.sptd;
  auto* data = static_cast<std::uint8_t*>(s.dataBuffer);
  const SimOutcome o =
      disk->Execute(s.cdb, s.cdbLength, s.dataIn != 0, data, s.dataBuffer ? s.dataTransferLength : 0);
  if (!o.carriedOut) {
    if (osError) *osError = o.osError;
    return false;
  }
  s.scsiStatus = o.scsiStatus;
  s.dataTransferLength = o.bytesMoved;
  if (o.scsiStatus != 0) PutSense(request.sense, sizeof request.sense, s.senseInfoLength, o.sense);
  return true;
}

bool SimFarm::SendBuffered(PortHandle handle, BufferedPassThroughRequest& request,
                           std::uint32_t* osError) {
  SimDisk* disk = DiskOfHandle(handle);
  if (!disk) {
    if (osError) *osError = kSimErrorInvalidHandle;
    return false;
  }
  ScsiPassThrough& s = request.spt;
  std::uint32_t length = s.dataTransferLength;
  std::uint8_t* data = nullptr;
  if (length > 0) {
    // The data must lie in the block's own data area.
    if (s.dataBufferOffset != offsetof(BufferedPassThroughRequest, data) ||
        length > sizeof request.data) {
      if (osError) *osError = kSimErrorInvalidParameter;
      return false;
    }
    data = request.data;
  }
  const SimOutcome o = disk->Execute(s.cdb, s.cdbLength, s.dataIn != 0, data, length);
  if (!o.carriedOut) {
    if (osError) *osError = o.osError;
    return false;
  }
  s.scsiStatus = o.scsiStatus;
  s.dataTransferLength = o.bytesMoved;
  if (o.scsiStatus != 0) PutSense(request.sense, sizeof request.sense, s.senseInfoLength, o.sense);
  return true;
}

std::uint32_t SimFarm::LogicalDrives() {
  std::lock_guard<std::mutex> lock(mutex_);
  RefreshNodes();
  std::uint32_t mask = 0;
  for (const auto& [letter, disk] : bound_) {
    if (!disk->Unplugged()) mask |= 1u << (letter - 'A');
  }
  return mask;
}

std::uint32_t SimFarm::ScanDrives() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    RefreshNodes();
    bound_ = HostView();
  }
  return LogicalDrives();
}

std::vector<std::string> SimFarm::DriveNotes() {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::string> notes;
  for (const auto& [letter, disk] : bound_) {
    const SimDiskConfig& c = disk->Config();
    std::string line = std::string(1, letter) + ": simulated disk, vendor \"" + c.vendor + "\"";
    if (!c.systemDisk) line += ", slot \"" + c.slot + "\"";
    if (disk->Unplugged()) line += " (gone: unopenable until the next scan)";
    notes.push_back(line);
  }
  return notes;
}

// A claimed disk: released in the farm, and its lock file let go of.
class SimFarm::Claim final : public DiskClaim {
 public:
  Claim(SimFarm& farm, SimDisk* disk, std::unique_ptr<HeldFileLock> lock)
      : farm_(farm), disk_(disk), lock_(std::move(lock)) {}
  ~Claim() override {
    lock_.reset();
    farm_.Release(disk_);
  }

 private:
  SimFarm& farm_;
  SimDisk* disk_;
  std::unique_ptr<HeldFileLock> lock_;
};

void SimFarm::Release(SimDisk* disk) {
  std::lock_guard<std::mutex> lock(mutex_);
  claimed_.erase(disk);
}

DiskClaimResult SimFarm::ClaimDisk(char letter, const std::string& who) {
  DiskClaimResult result;
  SimDisk* disk = nullptr;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    RefreshNodes();
    const auto it = bound_.find(letter);
    if (it != bound_.end()) disk = it->second;
    if (disk == nullptr) {
      // No disk behind the letter: nothing to keep anyone off (an open fails).
      result.claim = std::make_unique<Claim>(*this, nullptr, nullptr);
      return result;
    }
    if (!claimed_.insert(disk).second) {
      result.busy = true;
      result.refusal = std::string("drive ") + letter + ": is in use by another worker of this process";
      return result;
    }
  }
  std::unique_ptr<HeldFileLock> held;
  const std::string& backing = disk->Config().backingFile;
  if (!backing.empty()) {
    FileLockAttempt attempt = TryLockFile(backing + ".lock");
    if (attempt.outcome != FileLockAttempt::Outcome::kLocked) {
      Release(disk);
      result.busy = attempt.outcome == FileLockAttempt::Outcome::kHeld;
      result.refusal =
          std::string("drive ") + letter + ": " +
          (result.busy ? "is in use by another station (" +
                             (attempt.holder.empty() ? std::string("it has not said who it is yet")
                                                     : attempt.holder) +
                             ")"
                       : "cannot be claimed for this station: " + attempt.error);
      return result;
    }
    held = std::move(attempt.lock);
    std::string ignored;
    held->WriteHolder(ThisProcessDescription() + (who.empty() ? "" : ", " + who) + ", drive " +
                          std::string(1, letter) + ":\n",
                      &ignored);
  }
  result.claim = std::make_unique<Claim>(*this, disk, std::move(held));
  return result;
}

SimDisk* SimFarm::Disk(char letter) {
  auto it = disks_.find(letter);
  return it == disks_.end() ? nullptr : it->second.get();
}

SimDisk* SimFarm::Arrival(char letter) {
  auto it = arrivals_.find(letter);
  return it == arrivals_.end() ? nullptr : it->second.get();
}

SimDisk* SimFarm::HostDisk(char letter) {
  std::lock_guard<std::mutex> lock(mutex_);
  RefreshNodes();
  const auto view = HostView();
  const auto it = view.find(letter);
  return it == view.end() ? nullptr : it->second;
}

std::vector<SimDisk*> SimFarm::AllDisks() {
  std::vector<SimDisk*> out;
  for (const auto& [letter, disk] : disks_) out.push_back(disk.get());
  for (const auto& [letter, disk] : arrivals_) out.push_back(disk.get());
  return out;
}

std::vector<char> SimFarm::Letters() const {
  std::vector<char> out;
  for (const auto& [letter, disk] : disks_) {
    if (letter != 'C') out.push_back(letter);
  }
  return out;
}

std::size_t SimFarm::OpenHandleCount() {
  std::lock_guard<std::mutex> lock(mutex_);
  return handles_.size();
}

}  // namespace kx20
