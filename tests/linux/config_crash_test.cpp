// A child process rewrites the settings file in a loop and is killed with
// SIGKILL at random moments. After every kill the file must parse and hold
// one complete generation of values: the old one or the new one, never a
// torn or empty file.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "storage/profile_file.h"
#include "support/config_temp_dir.h"

namespace kx20 {
namespace {

using testing::ConfigTempDir;

const std::vector<std::pair<std::string, std::string>> kKeys = {
    {"CID", "Product_name"}, {"CID", "Manufacturer_ID"}, {"CID", "Product_SN"},
    {"CSD", "CCD_FIELD"},    {"CSD", "CCD_SELECT_DATA"}, {"CSDCRC", "Ecc"},
    {"OTHER", "FLASH1"},     {"OTHER", "FLASH2"},        {"OTHER", "RWValue"},
};

// Generation g gives every key the value "g<g>-<key index>", padded so that
// the file's length changes from one generation to the next.
std::vector<ProfileWrite> Generation(long g) {
  std::vector<ProfileWrite> writes;
  for (std::size_t k = 0; k < kKeys.size(); ++k) {
    writes.push_back({kKeys[k].first, kKeys[k].second,
                      "g" + std::to_string(g) + "-" + std::to_string(k) +
                          std::string(static_cast<std::size_t>(g % 7) * 10, '.')});
  }
  return writes;
}

// The generation the file holds, or -1 when it is torn or mixed.
long FileGeneration(const std::string& path) {
  std::string text;
  if (!ReadWholeFile(path, text) || text.empty()) return -1;
  const ProfileDocument doc = ProfileDocument::Parse(text);
  const std::string first = doc.Read(kKeys[0].first, kKeys[0].second, 4096);
  if (first.size() < 2 || first[0] != 'g') return -1;
  const long g = std::stol(first.substr(1));
  const auto expected = Generation(g);
  for (std::size_t k = 0; k < kKeys.size(); ++k) {
    if (doc.Read(kKeys[k].first, kKeys[k].second, 4096) != expected[k].value) return -1;
  }
  return g;
}

// Writes generation after generation until it is killed. The first write
// only gets the child going (the parent waits for it through `ready`, so
// every kill follows at least one write); the rest are flushed as the
// station's writes are, which keeps the temporary file around for most of
// each write: the moment a kill is most likely to do harm.
[[noreturn]] void RewriteForever(const std::string& path, long from, int ready) {
  WriteProfileValues(path, Generation(from), Durability::kRelaxed);
  const char byte = 1;
  if (::write(ready, &byte, 1) != 1) ::_exit(1);
  for (long g = from + 1;; ++g) WriteProfileValues(path, Generation(g), Durability::kDurable);
}

TEST(ConfigCrash, KilledWriterLeavesOldOrNewFile) {
  ConfigTempDir dir;
  const std::string path = dir.File("config.txt");
  ASSERT_TRUE(WriteProfileValues(path, Generation(0), Durability::kDurable));

  // Kill within the next two writes or so: measure how long one takes here.
  const auto t0 = std::chrono::steady_clock::now();
  for (int i = 1; i <= 10; ++i) WriteProfileValues(path, Generation(i), Durability::kDurable);
  const auto writeUs =
      std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - t0)
          .count() / 10;
  ASSERT_TRUE(WriteProfileValues(path, Generation(0), Durability::kDurable));

  std::mt19937 rng(20261208);
  std::uniform_int_distribution<long> delayUs(0, 3 * writeUs / 2 + 100);
  long last = 0;
  constexpr int kKills = 200;
  // Every temporary file left beside the file is a write that a kill cut
  // short. How many kills land inside a write depends on the machine's load
  // (sanitizers, other tests): keep killing, up to four times as often, until
  // a tenth of the planned kills have hit that dangerous moment.
  constexpr int kMaxKills = 4 * kKills;
  const auto countTemps = [&] {
    int n = 0;
    for (const auto& e : std::filesystem::directory_iterator(dir.Path())) {
      if (e.path().filename() != "config.txt") ++n;
    }
    return n;
  };
  int kills = 0;
  for (int kill = 0; kill < kMaxKills && (kill < kKills || countTemps() <= kKills / 10); ++kill) {
    ++kills;
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) RewriteForever(path, last + 1, ready[1]);
    char byte = 0;
    ASSERT_EQ(::read(ready[0], &byte, 1), 1);
    ::close(ready[0]);
    ::close(ready[1]);
    std::this_thread::sleep_for(std::chrono::microseconds(delayUs(rng)));
    ::kill(pid, SIGKILL);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFSIGNALED(status));

    const long g = FileGeneration(path);
    ASSERT_GT(g, last) << "kill " << kill << ": torn, mixed or older file";
    last = g;
  }
  // The test did hit the dangerous moments, and the file was whole each time.
  const int temps = countTemps();
  EXPECT_GT(temps, kKills / 10);
  std::printf("%d kills (one write %ld us), last generation %ld, %d temporary files left\n",
              kills, static_cast<long>(writeUs), last, temps);
}

}  // namespace
}  // namespace kx20
