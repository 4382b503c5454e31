// The fault soak: many random production batches on the virtual clock, each
// on a random farm (capacities at the edges, flash information that matches
// or not, every injected fault, disks unplugged at a random command, a disk
// that is not a target) with random settings and random operator events
// during the run. After every batch it checks what must hold whatever
// happened: never two workers on one disk at once, at most one log record per
// worker and one for every disk shown as passed, serial numbers that never
// repeat and a counter that accounts for them, no worker left, bounded
// virtual time, and no write to a non-target. (A start command during a run
// may start a disk again whose worker has ended: each such start is a worker
// of its own, with its own verdict.)
//
// Seeded: KX20_SOAK_SEED=N repeats a run's farms and settings (every failure
// prints its seed and batch; the operator events draw from a generator of
// their own, seeded per batch, but meet the worker threads in real time).
// KX20_SOAK_BATCHES=N sets the number of batches.
//
// "Save configure" during the run is one of the operator events (KX20_SOAK_SAVE=0
// leaves it out): a save must never write back an older "Product_SN" after a
// serial-number step advanced it.
//
// Closing the station during a run is another (KX20_SOAK_CLOSE=P, the percent
// of batches that end so; 0 leaves it out): the close itself records every
// disk it cuts off (a FAIL record with the error text of a step), after the
// close no serial number and no log record may change any more, and the
// workers left running must never tell a good controller it failed. Their threads stay parked on the
// run's locks, as in the programs (which end with _Exit), so such a batch's
// farm is kept until the process ends.
//
// The settings file comes in every form the station reads: plain, UTF-8 with
// a mark, UTF-16 LE or BE with a mark, with CRLF, LF or CR line ends; the
// station must keep its encoding when it writes the counter back.
//
// A second station process comes now and then (KX20_SOAK_SECOND=P, the
// percent of batches; Linux, where the station program is built): the
// batch's disks then live in files, and while this station's workers are
// held at their first sector write, the program kx20-station runs on the
// same farm file, either on the same work directory (it must be refused,
// naming this process) or on a work directory of its own with a counter of
// its own (it must leave every disk this station holds alone: no number
// taken, no record, no table written). The usual checks then show that no
// number was handed out twice.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#if !defined(_WIN32) && defined(KX20_STATION_PROGRAM)
#define KX20_SOAK_SECOND_STATION 1
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "config/card_registers.h"
#include "storage/durable_file.h"
#include "storage/profile_file.h"
#include "storage/work_dir_lock.h"
#include "production/production_worker.h"
#include "support/station_fixture.h"

namespace kx20 {
namespace {

namespace fs = std::filesystem;
using testing::StationFixture;

std::uint64_t EnvNumber(const char* name, std::uint64_t fallback) {
  const char* text = std::getenv(name);
  return text != nullptr && *text != '\0' ? std::strtoull(text, nullptr, 10) : fallback;
}

std::size_t Count(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// The serial number a configuration table carries (identification register
// bytes 9-12, big-endian, as the settings' decimal digits were stored).
std::uint32_t TableSerial(const std::array<std::uint8_t, 512>& stored) {
  ConfigTable table;
  std::copy(stored.begin(), stored.end(), table.begin());
  const auto cid = CidRegister(table);
  return (std::uint32_t{cid[9]} << 24) | (cid[10] << 16) | (cid[11] << 8) | cid[12];
}

std::uint32_t SerialAsStored(std::uint32_t decimal) {
  // "Product_SN" is eight decimal digits stored as hexadecimal digits.
  char text[16];
  std::snprintf(text, sizeof text, "%08u", decimal);
  return static_cast<std::uint32_t>(std::strtoul(text, nullptr, 16));
}

// A port in front of the farm that can hold every WRITE(10) until released:
// the workers then stand where a second station would meet their disks.
class HoldingPort final : public PassThroughPort {
 public:
  explicit HoldingPort(PassThroughPort& inner) : inner_(inner) {}
  void Hold() {
    std::lock_guard<std::mutex> lock(mutex_);
    holding_ = true;
  }
  void Release() {
    std::lock_guard<std::mutex> lock(mutex_);
    holding_ = false;
    cv_.notify_all();
  }
  // The letters of the workers waiting at the gate now.
  std::multiset<char> Held() {
    std::lock_guard<std::mutex> lock(mutex_);
    return held_;
  }
  PortHandle Open(char letter, std::uint32_t* osError) override {
    const PortHandle h = inner_.Open(letter, osError);
    std::lock_guard<std::mutex> lock(mutex_);
    if (IsOpenHandle(h)) letters_[h] = letter;
    return h;
  }
  void Close(PortHandle h) override { inner_.Close(h); }
  bool SendDirect(PortHandle h, PassThroughRequest& r, std::uint32_t* osError) override {
    if (r.sptd.cdb[0] == 0x2A) {
      std::unique_lock<std::mutex> lock(mutex_);
      if (holding_) {
        const auto at = held_.insert(letters_[h]);
        cv_.wait(lock, [&] { return !holding_; });
        held_.erase(at);
      }
    }
    return inner_.SendDirect(h, r, osError);
  }
  bool SendBuffered(PortHandle h, BufferedPassThroughRequest& r, std::uint32_t* osError) override {
    return inner_.SendBuffered(h, r, osError);
  }
  std::uint32_t LogicalDrives() override { return inner_.LogicalDrives(); }
  std::uint32_t ScanDrives() override { return inner_.ScanDrives(); }
  DiskClaimResult ClaimDisk(char letter, const std::string& who) override {
    return inner_.ClaimDisk(letter, who);
  }

 private:
  PassThroughPort& inner_;
  std::mutex mutex_;
  std::condition_variable cv_;
  bool holding_ = false;
  std::multiset<char> held_;
  std::map<PortHandle, char> letters_;
};

class FaultSoak : public StationFixture {
 protected:
  std::mt19937_64 rng;     // farms and settings
  std::mt19937_64 events;  // operator events
  bool saveDuringRun = false;
  ProfileEncoding settingsEncoding = ProfileEncoding::kPlain;
  std::uint64_t Pick(std::uint64_t n) { return rng() % n; }
  bool Chance(int percent) { return static_cast<int>(Pick(100)) < percent; }

  FarmLayout RandomFarm() {
    static const std::uint32_t kCapacities[] = {
        kSimDefaultLastLba, kSimDefaultLastLba, kSimDefaultLastLba, 127, 128, 129, 4095, 16383,
        65535, 2047897, 2047898, 4194303, 4194304, 7833600};
    FarmLayout layout;
    std::vector<int> slots = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    std::shuffle(slots.begin(), slots.end(), rng);
    const int disks = 1 + static_cast<int>(Pick(10));
    for (int i = 0; i < disks; ++i) {
      SimDiskConfig d;
      d.letter = static_cast<char>('E' + i);
      const std::string number = std::to_string(slots[i]);
      d.slot = std::string(4 - number.size(), ' ') + number;
      d.lastLba = kCapacities[Pick(std::size(kCapacities))];
      if (Chance(10)) d.flashInfo[5] = 0x98;  // another flash maker: configuration check fails
      if (Chance(40)) {
        SimFaults& f = d.faults;
        switch (Pick(12)) {
          case 0: f.noOpen = true; break;
          case 1: f.osFailure = true; break;
          case 2: f.osFailureAll = true; break;
          case 3: f.noProbe = true; break;
          case 4: f.tableWrite = true; break;
          case 5: f.tableRead = true; break;
          case 6: f.tableEcho = true; break;
          case 7: f.tableHeader = true; break;
          case 8: f.capacity = true; break;
          case 9: f.capacityZero = true; break;
          case 10: f.badSectors.insert(static_cast<std::uint32_t>(Pick(std::min<std::uint32_t>(d.lastLba, 5000)))); break;
          default: f.senses[static_cast<std::uint8_t>(Pick(2) ? 0x2A : 0x28)] = SimSense{3, 0x11, 0}; break;
        }
      }
      if (Chance(15)) d.faults.unplugAfter = 1 + Pick(400);
      layout.disks.push_back(d);
    }
    // A disk of another vendor: discovery sees it, nothing may write to it.
    SimDiskConfig other;
    other.letter = 'P';
    other.vendor = "ACME";
    other.slot = "   " + std::to_string(1 + Pick(9));
    layout.disks.push_back(other);
    return layout;
  }

  // The batch's target disks in files (the disk of another vendor stays in
  // memory: it is this process's own); returns the farm file of the same
  // disks for the second station, healthy (faults are this process's).
  std::string PutDisksInFiles(FarmLayout& layout, std::uint64_t batch) {
    const fs::path files = dir.Path() / ("farm-" + std::to_string(batch));
    fs::create_directories(files);
    std::string text;
    for (SimDiskConfig& d : layout.disks) {
      if (d.vendor != SimDiskConfig{}.vendor) continue;
      // Large disks would make the read/write test write a hundred MB to
      // the files; the capacities that are refused stay as they are.
      if (d.lastLba > kSimDefaultLastLba && d.lastLba <= 4194303) d.lastLba = kSimDefaultLastLba;
      d.backingFile = (files / (std::string("disk-") + d.letter + ".img")).string();
      text += std::string("[") + d.letter + "]\nslot = \"" + d.slot + "\"\nlast_lba = " +
              std::to_string(d.lastLba) + "\nbacking = " + d.backingFile + "\n";
    }
    const std::string farmFile = (files / "farm.ini").string();
    testing::ConfigTempDir::Write(farmFile, text);
    return farmFile;
  }

  void WriteSettings(std::uint32_t serial) {
    static const char* const kLineEnds[] = {"\r\n", "\n", "\r"};
    static const ProfileEncoding kEncodings[] = {ProfileEncoding::kPlain, ProfileEncoding::kUtf8Bom,
                                                 ProfileEncoding::kUtf16Le, ProfileEncoding::kUtf16Be};
    const std::string eol = kLineEnds[Pick(std::size(kLineEnds))];
    settingsEncoding = kEncodings[Pick(std::size(kEncodings))];
    char sn[16];
    std::snprintf(sn, sizeof sn, "%08u", serial);
    const std::string text =
        "[CID]" + eol + "Product_name=KX20" + eol + "Manufacturer_ID=12" + eol +
        "OEM_Application_ID=AB12" + eol + "Product_revision=10" + eol + "Change_SN=1" + eol +
        "Product_SN=" + sn + eol + "Manufacturing_year=2026" + eol + "Manufacturing_month=12" + eol +
        "[CSD]" + eol + "CCD_FIELD=004F01321B5981F35E7AFF810A4000" + eol + "CCD_SELECT_DATA=128_2K" + eol +
        "[CSDCRC]" + eol + "Ecc=1" + eol + "wdelay=0" + eol + "[OTHER]" + eol + "FLASH1=128_2K" + eol +
        "FLASH2=0" + eol + "RWTest=" + (Chance(30) ? "1" : "0") + eol +
        "EraseFlash=" + (Chance(20) ? "1" : "0") + eol + "RWValue=" + std::to_string(Pick(3)) + eol;
    std::ofstream(dir.Path() / "config.txt", std::ios::binary)
        << EncodeProfileText(text, settingsEncoding, settingsEncoding != ProfileEncoding::kPlain);
  }

  std::uint32_t SettingsSerial() {
    const std::string bytes = testing::ConfigTempDir::Read((dir.Path() / "config.txt").string());
    EXPECT_EQ(static_cast<int>(DetectProfileEncoding(bytes)), static_cast<int>(settingsEncoding))
        << "config.txt lost its encoding";
    return static_cast<std::uint32_t>(
        std::strtoul(ProfileDocument::Parse(bytes).Read("CID", "Product_SN", 64).c_str(), nullptr, 10));
  }

  // A disk nothing is wrong with: it must never be told it failed.
  static bool GoodDisk(const SimDiskConfig& d) {
    return d.vendor == SimDiskConfig{}.vendor && d.lastLba == kSimDefaultLastLba &&
           d.flashInfo == kSimDefaultFlashInfo && d.faults == SimFaults{};
  }

  // Waits (real time) until the workers a close left behind have stopped
  // moving: parked on the run's locks or finished. They sleep on the virtual
  // clock between commands, so a clock that stands still for a while means
  // none is working any more.
  void WaitWorkersParked() {
    std::uint64_t last = clock.Elapsed();
    auto still = std::chrono::steady_clock::now();
    const auto deadline = still + std::chrono::seconds(60);
    while (std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      const std::uint64_t now = clock.Elapsed();
      if (now != last) {
        last = now;
        still = std::chrono::steady_clock::now();
      } else if (std::chrono::steady_clock::now() - still > std::chrono::milliseconds(400)) {
        return;
      }
    }
    ADD_FAILURE() << "the workers left by the close kept running for 60 s";
  }

  // What a close leaves behind: the workers still hold the port, the farm and
  // the station's shared block, so none of them is ever destroyed.
  void Abandon() {
    struct Left {
      std::unique_ptr<Station> station;
      std::unique_ptr<HoldingPort> holding;
      std::unique_ptr<testing::PluggablePort> port;
      std::unique_ptr<SimFarm> farm;
    };
    static auto* left = new std::vector<Left>();
    left->push_back({std::move(station), std::move(holding), std::move(port), std::move(farm)});
  }

  // The station over the holding port.
  void MakeHoldingStation() {
    holding = std::make_unique<HoldingPort>(*port);
    StationOptions options;
    options.workDir = dir.Path().string();
    options.durability = Durability::kRelaxed;
    station = std::make_unique<Station>(*holding, clock, view, shell, options);
  }

#if KX20_SOAK_SECOND_STATION
  // Runs kx20-station to its end; its exit status, its stdout and stderr.
  struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
  };
  Outcome RunSecondStation(const std::string& farmFile, const fs::path& workDir) {
    const fs::path out = dir.Path() / "second.out";
    const fs::path err = dir.Path() / "second.err";
    const std::string command = std::string("'") + KX20_STATION_PROGRAM + "' --batch --sim='" +
                                farmFile + "' --workdir '" + workDir.string() + "' >'" +
                                out.string() + "' 2>'" + err.string() + "'";
    Outcome o;
    const int raw = std::system(command.c_str());
    o.status = raw != -1 && WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    o.out = testing::ConfigTempDir::Read(out.string());
    o.err = testing::ConfigTempDir::Read(err.string());
    return o;
  }

  // While this station's workers stand at their first sector write, a second
  // station process comes to the same disks: on the same work directory, or
  // on one of its own. Returns false when no worker got that far.
  bool SecondStationMeetsTheDisks(const std::string& farmFile, bool sameWorkDir) {
    // Every worker still alive stands at the gate (the others have ended).
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    std::multiset<char> held;
    for (;;) {
      station->DrainStatus();
      held = holding->Held();
      if (static_cast<int>(held.size()) == station->RunningWorkerCount()) break;
      if (std::chrono::steady_clock::now() > deadline) {
        ADD_FAILURE() << "the workers never reached the gate";
        return false;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (held.empty()) return false;
    if (sameWorkDir) {
      const Outcome o = RunSecondStation(farmFile, dir.Path());
      EXPECT_EQ(o.status, 2) << o.err;
      EXPECT_NE(o.err.find("is in use by another station (pid " + std::to_string(::getpid())),
                std::string::npos)
          << o.err;
      return true;
    }
    // A work directory of its own, with a counter far from this one's; its
    // farm holds only the disks this station's workers hold.
    const fs::path second = dir.Path() / "second";
    fs::remove_all(second);
    fs::create_directories(second);
    const std::string settings =
        "[CID]\nProduct_name=KX20\nManufacturer_ID=12\nOEM_Application_ID=AB12\n"
        "Product_revision=10\nChange_SN=1\nProduct_SN=90000000\nManufacturing_year=2026\n"
        "Manufacturing_month=12\n[CSD]\nCCD_FIELD=004F01321B5981F35E7AFF810A4000\n"
        "CCD_SELECT_DATA=128_2K\n[OTHER]\nFLASH1=128_2K\nFLASH2=0\nRWTest=0\n";
    testing::ConfigTempDir::Write((second / "config.txt").string(), settings);
    std::string heldFarm;
    std::map<char, std::string> statesBefore;
    const std::string all = testing::ConfigTempDir::Read(farmFile);
    for (char letter : std::set<char>(held.begin(), held.end())) {
      const std::string head = std::string("[") + letter + "]\n";
      const std::size_t at = all.find(head);
      EXPECT_NE(at, std::string::npos);
      heldFarm += all.substr(at, all.find('[', at + 1) - at);
      const std::string state = farm->Disk(letter)->Config().backingFile + ".state";
      statesBefore[letter] = testing::ConfigTempDir::Read(state);
    }
    const std::string heldFarmFile = (second / "farm.ini").string();
    testing::ConfigTempDir::Write(heldFarmFile, heldFarm);
    const Outcome o = RunSecondStation(heldFarmFile, second);
    EXPECT_EQ(o.status, 1) << o.out << o.err;
    EXPECT_EQ(Count(o.out, ":[in use X]\n"), 2 * statesBefore.size())  // the change and the final row
        << o.out;
    EXPECT_EQ(testing::ConfigTempDir::Read((second / "config.txt").string()), settings)
        << "the second station took a number";
    EXPECT_FALSE(fs::exists(second / "produce.log")) << "the second station recorded a verdict";
    for (const auto& [letter, before] : statesBefore) {
      EXPECT_EQ(testing::ConfigTempDir::Read(farm->Disk(letter)->Config().backingFile + ".state"), before)
          << letter << ": the second station programmed a disk this one holds";
    }
    return true;
  }
#endif

  std::unique_ptr<HoldingPort> holding;

  // The serial numbers of the pass records in `log`.
  static std::vector<std::string> PassRecordSerials(const std::string& log) {
    std::vector<std::string> serials;
    std::size_t at = 0;
    std::string last;
    while ((at = log.find('\n', at)) != std::string::npos) {
      ++at;
      const std::size_t end = log.find_first_of("\r\n", at);
      const std::string line = log.substr(at, end == std::string::npos ? std::string::npos : end - at);
      if (line.rfind("Serial Number=", 0) == 0) last = line.substr(14);
      if (line == "Result=Pass") serials.push_back(last);
    }
    return serials;
  }

  // Random operator events while the workers run, then ticks until the run
  // has ended (the panel is closed again first: an open panel holds the end).
  // At tick `closeAt` (if not negative and the run has not ended before) the
  // operator closes the station instead; returns whether that happened.
  bool OperateUntilEnd(int closeAt) {
    bool panelOpen = false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    for (int tick = 0; std::chrono::steady_clock::now() < deadline; ++tick) {
      station->DrainStatus();
      if (tick == closeAt) {
        workersAtClose = station->RunningWorkerCount();
        const std::string log = station->LogPath();
        logBeforeClose = fs::exists(log) ? testing::ConfigTempDir::Read(log) : std::string();
        cutOffAtClose = station->Shutdown();
        return true;
      }
      if (tick < 40) {
        switch (events() % 12) {
          case 0: station->OnSpaceKeyDown(true); break;
          case 1: station->OnSpaceKeyDown(false); break;
          case 2: station->OnUpdateButtonState(kButtonStatePushed); break;
          case 3: station->OnUpdateButtonState(0); break;
          case 4:
            station->ToggleSettingsPanel();
            panelOpen = !panelOpen;
            break;
          case 5:
            if (panelOpen && saveDuringRun) {
              station->SaveConfigure();
              panelOpen = view.IsPanelExpanded();
            }
            break;
          default: break;
        }
      } else if (panelOpen) {
        station->ToggleSettingsPanel();
        panelOpen = false;
      }
      if (station->Tick() && !panelOpen) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ADD_FAILURE() << "the run did not end within 60 s (real time)";
    return false;
  }
  int workersAtClose = 0;
  int cutOffAtClose = 0;
  std::string logBeforeClose;
};

TEST_F(FaultSoak, RandomBatchesKeepVerdictsLogAndSerialNumbersConsistent) {
  const std::uint64_t seed = EnvNumber("KX20_SOAK_SEED", 20261208);
  const std::uint64_t batches = EnvNumber("KX20_SOAK_BATCHES", 150);
  rng.seed(seed);
  saveDuringRun = EnvNumber("KX20_SOAK_SAVE", 1) != 0;
  const std::uint64_t closePercent = EnvNumber("KX20_SOAK_CLOSE", 10);
#if KX20_SOAK_SECOND_STATION
  const std::uint64_t secondPercent = EnvNumber("KX20_SOAK_SECOND", 5);
#else
  const std::uint64_t secondPercent = 0;  // no station program to run here
#endif
  std::size_t secondStations = 0;
  // This station holds its work directory, as the programs do.
  std::string refusal;
  const std::unique_ptr<HeldFileLock> workDirLock =
      LockWorkDirectory(dir.Path().string(), "fault soak", refusal);
  ASSERT_NE(workDirLock, nullptr) << refusal;
  CopyExample("Pelorin.img");
  std::uint32_t serial = 1 + static_cast<std::uint32_t>(Pick(1000));
  WriteSettings(serial);
  std::set<std::uint32_t> passedSerials;
  std::map<char, std::uint32_t> lastPassOf;  // this batch: a disk started twice counts once
  std::set<std::string> passRecordSerials;
  std::size_t totalWorkers = 0, totalPass = 0, totalFail = 0, closes = 0, workersCutOff = 0, goodDisks = 0;

  for (std::uint64_t batch = 0; batch < batches && !HasFailure(); ++batch) {
    SCOPED_TRACE("seed " + std::to_string(seed) + ", batch " + std::to_string(batch) +
                 " (KX20_SOAK_SEED=" + std::to_string(seed) + " repeats it)");
    if (Chance(30)) WriteSettings(serial);  // rewritten in another form, same counter
    FarmLayout layout = RandomFarm();
    const bool second = Pick(100) < secondPercent;
    const int closeAt = !second && Pick(100) < closePercent ? static_cast<int>(Pick(12)) : -1;
    const bool secondSameWorkDir = Chance(50);
    const std::string farmFile = second ? PutDisksInFiles(layout, batch) : std::string();
    lastPassOf.clear();
    events.seed(rng());
    station.reset();
    holding.reset();
    port.reset();
    farm.reset();
    BuildFarm(layout);
    MakeHoldingStation();
    std::vector<std::uint32_t> startsSeen;  // every worker body, in start order
    std::map<char, int> live;
    int maxLive = 0;
    std::mutex startsMutex;
    station->SetWorkerBodies(
        [&](ProductionEnvironment& env, RunLocks& locks, std::uint32_t startValue) {
          const char letter = static_cast<char>(startValue >> 16);
          {
            std::lock_guard<std::mutex> lock(startsMutex);
            startsSeen.push_back(startValue);
            maxLive = std::max(maxLive, ++live[letter]);
          }
          RunProductionWorker(env, locks, startValue);
          std::lock_guard<std::mutex> lock(startsMutex);
          --live[letter];
        },
        [](PassThroughPort& p, StatusPoster& poster, std::uint32_t startValue, bool size256K) {
          RunCodeFlashWorker(p, poster, startValue, size256K);
        });
    const std::string logPath = station->LogPath();
    const std::string logBefore =
        std::filesystem::exists(logPath) ? testing::ConfigTempDir::Read(logPath) : std::string();
    const auto timeBefore = clock.MonotonicMs();

    station->Initialise();
    station->Tick();
    if (second) holding->Hold();
    station->OnSpaceKeyDown(false);
#if KX20_SOAK_SECOND_STATION
    if (second && SecondStationMeetsTheDisks(farmFile, secondSameWorkDir)) ++secondStations;
#else
    static_cast<void>(secondSameWorkDir);
#endif
    if (second) holding->Release();
    const bool closed = OperateUntilEnd(closeAt);
    std::string logAtClose;
    std::uint32_t counterAtClose = 0;
    if (closed) {
      ++closes;
      workersCutOff += workersAtClose;
      // Everything a close keeps is settled once it has returned.
      logAtClose = testing::ConfigTempDir::Read(logPath);
      counterAtClose = SettingsSerial();
      WaitWorkersParked();
    } else {
      ASSERT_TRUE(WaitWorkersDone()) << "workers still running after the end of the run";
      station->DrainStatus();
      station->Tick();
    }
    std::vector<std::uint32_t> starts;
    {
      std::lock_guard<std::mutex> lock(startsMutex);
      starts = startsSeen;
    }

    // Never two workers on one disk at once; never a worker on the other vendor's disk.
    std::set<char> started;
    for (std::uint32_t v : starts) started.insert(static_cast<char>(v >> 16));
    EXPECT_LE(maxLive, 1) << "two workers on one disk at once";
    EXPECT_EQ(started.count('P'), 0u) << "a worker started on a disk of another vendor";
    std::size_t passedRows = 0;
    for (const auto& row : view.Rows()) passedRows += row.text.size() >= 5 &&
                                                      row.text.compare(row.text.size() - 5, 5, ":Pass") == 0;

    // The log: one record per finished disk at most, the passes as shown.
    const std::string logAfter = testing::ConfigTempDir::Read(logPath);
    ASSERT_EQ(logAfter.compare(0, logBefore.size(), logBefore), 0) << "earlier log records changed";
    const std::string added = logAfter.substr(logBefore.size());
    const std::size_t passRecords = Count(added, "Result=Pass");
    const std::size_t failRecords = Count(added, "Result=FAIL");
    EXPECT_LE(passRecords + failRecords, starts.size()) << added;
    EXPECT_GE(passRecords, passedRows) << added;
    if (closed) {
      EXPECT_EQ(logAfter, logAtClose) << "a log record written after the station was closed";
      // Every disk cut off got its FAIL record with the text of a step, from
      // the close itself (besides records workers finished meanwhile).
      EXPECT_LE(cutOffAtClose, workersAtClose);
      ASSERT_EQ(logAtClose.compare(0, logBeforeClose.size(), logBeforeClose), 0);
      const std::string byClose = logAtClose.substr(logBeforeClose.size());
      EXPECT_GE(Count(byClose, "Result=FAIL"), static_cast<std::size_t>(cutOffAtClose)) << byClose;
      std::size_t stepTexts = 0;
      for (const char* text : {"USBErr_Config", "USBErr_RWTable", "USBErr_TableCompare",
                               "USBErr_Capacity", "USBErr_RW_Compare", "USBErr_Pnf"}) {
        stepTexts += Count(byClose, std::string("Error Code=") + text + "\r\n");
      }
      EXPECT_EQ(stepTexts, Count(byClose, "Result=FAIL")) << byClose;
    }

    // Serial numbers: every passed disk carries a number no other disk got,
    // handed out from this batch's range of the counter.
    const std::uint32_t counter = SettingsSerial();
    if (closed) {
      EXPECT_EQ(counter, counterAtClose) << "a serial number taken after the station was closed";
    }
    EXPECT_GE(counter, serial);
    EXPECT_LE(counter - serial, starts.size()) << "the counter moved further than the workers started";
    for (char letter : started) {
      SimDisk* disk = farm->Disk(letter);
      ASSERT_NE(disk, nullptr);
      if (!disk->ConfigTableWritten()) continue;
      const std::uint32_t stored = TableSerial(disk->StoredConfigTable());
      bool inRange = false;
      for (std::uint32_t n = serial + 1; n <= counter; ++n) inRange |= SerialAsStored(n) == stored;
      EXPECT_TRUE(inRange) << letter << ": serial " << std::hex << stored << std::dec << " outside this batch's numbers "
                           << serial + 1 << " to " << counter;
    }
    for (std::uint32_t v : starts) {
      const char letter = static_cast<char>(v >> 16);
      const std::size_t row = v & 0xFFFF;
      if (row >= view.Rows().size()) continue;
      const std::string text = view.Rows()[row].text;
      if (text.size() < 5 || text.compare(text.size() - 5, 5, ":Pass") != 0) continue;
      const std::uint32_t stored = TableSerial(farm->Disk(letter)->StoredConfigTable());
      if (passedSerials.count(stored) != 0 && lastPassOf.count(letter) && lastPassOf[letter] == stored) continue;
      EXPECT_TRUE(passedSerials.insert(stored).second) << letter << ": a serial number handed out twice";
      lastPassOf[letter] = stored;
    }
    // Every pass record carries a number of this batch's range, and no
    // number is ever recorded as passed twice.
    for (const std::string& sn : PassRecordSerials(added)) {
      const std::uint32_t n = static_cast<std::uint32_t>(std::strtoul(sn.c_str(), nullptr, 10));
      EXPECT_TRUE(n > serial && n <= counter) << "a pass record with serial number " << sn << " outside "
                                              << serial + 1 << " to " << counter;
      EXPECT_TRUE(passRecordSerials.insert(sn).second) << "serial number " << sn << " recorded as passed twice";
    }
    // A good controller is never told it failed, closed or not.
    for (const SimDiskConfig& d : layout.disks) {
      if (!GoodDisk(d) || started.count(d.letter) == 0) continue;
      ++goodDisks;
      EXPECT_NE(farm->Disk(d.letter)->LastSignal(), SimSignal::Fail)
          << d.letter << ": a good disk was told it failed" << (closed ? " (station closed during the run)" : "");
    }
    serial = counter;
    totalWorkers += starts.size();
    totalPass += passRecords;
    totalFail += failRecords;

    // The disk of another vendor: never written.
    SimDisk* other = farm->Disk('P');
    EXPECT_FALSE(other->ConfigTableWritten());
    EXPECT_EQ(other->StoredChunkCount(), 0u);
    EXPECT_EQ(other->EraseCount(), 0u);
    // No worker left, and the run took bounded virtual time.
    if (!closed) {
      EXPECT_EQ(station->RunningWorkerCount(), 0);
    }
    EXPECT_LT(clock.MonotonicMs() - timeBefore, 24ull * 3600 * 1000) << "virtual time ran away";
    if (closed) Abandon();
  }
  station.reset();
  std::printf("fault soak: seed %llu, %llu batches (%zu closed during the run, leaving %zu workers running; "
              "%zu met by a second station process), %zu workers, %zu passed, "
              "%zu failed, %zu distinct serial numbers, %zu good disks never told they failed\n",
              static_cast<unsigned long long>(seed), static_cast<unsigned long long>(batches), closes,
              workersCutOff, secondStations, totalWorkers, totalPass, totalFail, passedSerials.size(),
              goodDisks);
  EXPECT_GT(totalPass, 0u);
  EXPECT_GT(totalFail, 0u);
}

}  // namespace
}  // namespace kx20
