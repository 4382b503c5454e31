#include "support/crash_file_system.h"

namespace kx20::testing {
namespace {

const char kPowerGone[] = "the power is gone";

}  // namespace

void CrashFileSystem::Put(const std::string& path, const std::string& contents) {
  inodes_.push_back(Inode{contents, contents});
  names_[path] = inodes_.size() - 1;
  durableNames_[path] = inodes_.size() - 1;
}

void CrashFileSystem::PowerLoss() {
  names_ = durableNames_;
  for (Inode& inode : inodes_) inode.data = inode.durable;
  stepsLeft_ = std::numeric_limits<long>::max();
}

bool CrashFileSystem::Step() {
  if (stepsLeft_ <= 0) {
    stepsLeft_ = -1;
    return false;
  }
  --stepsLeft_;
  ++steps_;
  return true;
}

void CrashFileSystem::SyncDirectoryOf(const std::string& path) {
  const std::string dir = DirectoryOfPath(path);
  for (auto it = durableNames_.begin(); it != durableNames_.end();) {
    it = DirectoryOfPath(it->first) == dir ? durableNames_.erase(it) : std::next(it);
  }
  for (const auto& [name, inode] : names_) {
    if (DirectoryOfPath(name) == dir) durableNames_[name] = inode;
  }
}

ReadOutcome CrashFileSystem::ReadContents(const std::string& path, std::string& contents,
                                          std::string* failure) {
  contents.clear();
  if (PowerGone()) {
    if (failure != nullptr) *failure = "the power is gone";
    return ReadOutcome::kFailed;
  }
  const auto it = names_.find(path);
  if (it == names_.end()) {
    if (failure != nullptr) *failure = "it does not exist";
    return ReadOutcome::kMissing;
  }
  contents = inodes_[it->second].data;
  return ReadOutcome::kRead;
}

bool CrashFileSystem::IsReadOnly(const std::string& path) {
  return names_.count(path) != 0 && readOnly_.count(path) != 0;
}

FileOpResult CrashFileSystem::CreateNewFile(const std::string& path, std::string_view contents,
                                            bool flush, const std::string&) {
  if (names_.count(path) != 0) {
    FileOpResult r = FileOpResult::Failed("the name is taken");
    r.nameTaken = true;
    return r;
  }
  if (!Step()) return FileOpResult::Failed(kPowerGone);
  inodes_.push_back(Inode{std::string(contents), std::string()});
  names_[path] = inodes_.size() - 1;
  if (flush) {
    if (!Step()) return FileOpResult::Failed(kPowerGone);
    if (!faults_.fileFlushIgnored) inodes_.back().durable = inodes_.back().data;
  }
  return FileOpResult::Ok();
}

FileOpResult CrashFileSystem::Rename(const std::string& from, const std::string& to) {
  const auto it = names_.find(from);
  if (it == names_.end()) return FileOpResult::Failed("no such file");
  if (!Step()) return FileOpResult::Failed(kPowerGone);
  const std::size_t inode = it->second;
  names_.erase(it);
  names_[to] = inode;
  return FileOpResult::Ok();
}

FileOpResult CrashFileSystem::SyncRename(const std::string& path) {
  if (!Step()) return FileOpResult::Failed(kPowerGone);
  if (!faults_.renameSyncIgnored) SyncDirectoryOf(path);
  return FileOpResult::Ok();
}

FileOpResult CrashFileSystem::Remove(const std::string& path) {
  if (names_.count(path) == 0) return FileOpResult::Failed("no such file");
  if (!Step()) return FileOpResult::Failed(kPowerGone);
  names_.erase(path);
  return FileOpResult::Ok();
}

std::vector<std::string> CrashFileSystem::ListDirectory(const std::string& directory) {
  std::vector<std::string> out;
  const std::string dir = directory.empty() ? "." : directory;
  for (const auto& [name, inode] : names_) {
    if (DirectoryOfPath(name) == dir) out.push_back(NameOfPath(name));
  }
  return out;
}

FileOpResult CrashFileSystem::Append(const std::string& path, std::string_view data, bool flush) {
  if (!Step()) return FileOpResult::Failed(kPowerGone);
  auto it = names_.find(path);
  const bool created = it == names_.end();
  if (created) {
    inodes_.push_back(Inode{});
    it = names_.emplace(path, inodes_.size() - 1).first;
  }
  Inode& inode = inodes_[it->second];
  inode.data += data;
  if (flush) {
    if (!Step()) return FileOpResult::Failed(kPowerGone);
    if (!faults_.fileFlushIgnored) inode.durable = inode.data;
    if (created && !faults_.renameSyncIgnored) SyncDirectoryOf(path);
  }
  return FileOpResult::Ok();
}

}  // namespace kx20::testing
