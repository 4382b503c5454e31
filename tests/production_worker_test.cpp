// The production and code-flash workers driven through the simulated farm on
// virtual time: whole batches, the fault matrix, progress sequences.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <system_error>
#include <set>
#include <sstream>
#include <thread>

#include "app/memory_console_view.h"
#include "common/virtual_clock.h"
#include "config/card_registers.h"
#include "storage/profile_file.h"
#include "device/device_session.h"
#include "production/config_check.h"
#include "production/pass_meter.h"
#include "production/production_worker.h"
#include "sim/farm.h"
#include "sim/farm_file.h"

#include <nlohmann/json.hpp>

namespace kx20 {
namespace {

namespace fs = std::filesystem;

std::string ReadText(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// produce.jsonl of a rig, one parsed object per line.
std::vector<nlohmann::json> RecordLines(const fs::path& dir) {
  std::vector<nlohmann::json> lines;
  std::istringstream in(ReadText(dir / "produce.jsonl"));
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty()) lines.push_back(nlohmann::json::parse(line));
  }
  return lines;
}

// One station's worth of shared state around a farm, with config.txt from the
// examples in a scratch directory.
class ProductionRig {
 public:
  explicit ProductionRig(const FarmLayout& layout, const std::string& configOverrides = "")
      : dir_(fs::temp_directory_path() /
             ("kx20-worker-" + std::to_string(reinterpret_cast<std::uintptr_t>(this)) + "-" +
              std::to_string(counter_++))),
        images_(clock_),
        log_(clock_, (dir_ / "produce.log").string(), Durability::kRelaxed) {
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    configPath_ = (dir_ / "config.txt").string();
    fs::copy_file(fs::path(KX20_SOURCE_DIR) / "examples" / "config.txt", configPath_);
    std::istringstream overrides(configOverrides);
    std::string line;
    while (std::getline(overrides, line)) {  // "SECTION:KEY=VALUE"
      const auto colon = line.find(':');
      const auto eq = line.find('=');
      if (colon == std::string::npos || eq == std::string::npos) continue;
      EXPECT_TRUE(WriteProfileValue(configPath_, line.substr(0, colon),
                                     line.substr(colon + 1, eq - colon - 1), line.substr(eq + 1),
                                     Durability::kRelaxed));
    }
    std::string error;
    farm_ = SimFarm::Create(layout, clock_, &error);
    EXPECT_TRUE(farm_) << error;
    ResetConfigTableHeader(table_);
    EXPECT_TRUE(LoadSettings(configPath_, view_, table_, store_));
    env_.port = farm_.get();
    env_.clock = &clock_;
    env_.poster = &queue_;
    env_.settings = &store_;
    env_.images = &images_;
    env_.log = &log_;
    env_.rescanPending = &rescanPending_;
    env_.advanceSerialNumber = [this](const SerialRequest&) {
      SerialStepContext context;
      context.changeSerialNumber = view_.GetCheck(1028) ? 1 : 0;
      context.configPath = configPath_;
      context.view = &view_;
      context.table = &table_;
      context.store = &store_;
      context.durability = Durability::kRelaxed;
      return AdvanceSerialNumber(context);
    };
  }
  ~ProductionRig() { fs::remove_all(dir_); }

  // Runs one worker per letter (row = position in the list), concurrently,
  // and collects every message.
  void RunBatch(const std::vector<char>& letters) {
    std::vector<std::thread> workers;
    for (std::size_t row = 0; row < letters.size(); ++row) {
      workers.emplace_back([this, letter = letters[row], row] {
        RunProductionWorker(env_, locks_, MakeStartValue(letter, static_cast<int>(row)));
      });
    }
    for (auto& w : workers) w.join();
    Drain();
  }

  void Drain() {
    while (auto m = queue_.TryTake()) messages_.push_back(*m);
  }

  // The row a letter's messages leave behind: text and image.
  std::pair<std::string, int> FinalRow(char letter, const std::string& label) const {
    std::string text = "(untouched)";
    int image = -1;
    for (const auto& m : messages_) {
      if (m.DriveLetter() != letter) continue;
      const RowUpdate u = FormatStatusRow(m.Code(), m.Value(), label, letter);
      if (u.setText) text = u.text;
      if (u.image) image = *u.image;
    }
    return {text, image};
  }

  std::vector<std::uint16_t> Values(char letter, std::uint16_t code) const {
    std::vector<std::uint16_t> values;
    for (const auto& m : messages_) {
      if (m.DriveLetter() == letter && m.Code() == code) values.push_back(m.Value());
    }
    return values;
  }

  // Log sections in file order: name -> key/value pairs.
  std::vector<std::map<std::string, std::string>> LogRecords() const {
    std::vector<std::map<std::string, std::string>> records;
    std::istringstream in(ReadText(dir_ / "produce.log"));
    std::string line;
    while (std::getline(in, line)) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (line.empty()) continue;
      if (line.front() == '[') {
        records.emplace_back();
        records.back()["[section]"] = line.substr(1, line.size() - 2);
      } else if (!records.empty()) {
        const auto eq = line.find('=');
        records.back()[line.substr(0, eq)] = eq == std::string::npos ? "" : line.substr(eq + 1);
      }
    }
    return records;
  }

  SimFarm& farm() { return *farm_; }
  VirtualClock& clock() { return clock_; }
  DiskImageStore& images() { return images_; }
  ProductionEnvironment& env() { return env_; }
  SettingsStore& store() { return store_; }
  const std::string& configPath() const { return configPath_; }
  const fs::path& dir() const { return dir_; }
  std::vector<WorkerStatus>& messages() { return messages_; }
  RunLocks& locks() { return locks_; }
  StatusQueue& queue() { return queue_; }

 private:
  static inline int counter_ = 0;
  fs::path dir_;
  std::string configPath_;
  VirtualClock clock_;
  std::unique_ptr<SimFarm> farm_;
  MemoryConsoleView view_;
  ConfigTable table_{};
  SettingsStore store_;
  DiskImageStore images_;
  ProductionLogWriter log_;
  StatusQueue queue_;
  // On the heap: ThreadSanitizer knows a freed mutex is gone, but not one on
  // a stack frame that has returned. A later test's mutex at the same stack
  // address would inherit this one's lock order and make a false cycle.
  std::unique_ptr<RunLocks> locksHeld_ = std::make_unique<RunLocks>();
  RunLocks& locks_ = *locksHeld_;
  std::atomic<int> rescanPending_{1};
  ProductionEnvironment env_;
  std::vector<WorkerStatus> messages_;
};

std::vector<char> Letters(const FarmLayout& layout) {
  std::vector<char> letters;
  for (const auto& d : layout.disks) letters.push_back(d.letter);
  return letters;
}

std::string Label(int row) {
  const int slot = row + 1;
  return std::string{static_cast<char>('0' + slot / 10 % 10), static_cast<char>('0' + slot % 10)};
}

std::uint32_t SerialOfTable(const std::array<std::uint8_t, 512>& table) {
  ConfigTable t;
  std::copy(table.begin(), table.end(), t.begin());
  const auto cid = CidRegister(t);
  // Eight decimal digits stored as four bytes read as hexadecimal.
  std::uint32_t serial = 0;
  for (int i = 9; i <= 12; ++i) {
    serial = serial * 100 + (cid[static_cast<std::size_t>(i)] >> 4) * 10 + (cid[static_cast<std::size_t>(i)] & 0x0F);
  }
  return serial;
}

// Counts the sector data a worker moves (READ(10) and WRITE(10)) and notes,
// at each of its statuses, the bytes and the virtual time so far: what the
// console's meter assumes about a pass (PassMeter) is checked against it.
class TransferLedger final : public PassThroughPort, public StatusPoster {
 public:
  TransferLedger(PassThroughPort& inner, Clock& clock) : inner_(inner), clock_(clock) {}
  PortHandle Open(char letter, std::uint32_t* osError) override { return inner_.Open(letter, osError); }
  void Close(PortHandle handle) override { inner_.Close(handle); }
  bool SendDirect(PortHandle handle, PassThroughRequest& request, std::uint32_t* osError) override {
    const std::uint8_t op = request.sptd.cdb[0];
    const bool ok = inner_.SendDirect(handle, request, osError);
    if (ok && (op == 0x28 || op == 0x2A)) bytes_ += request.sptd.dataTransferLength;
    return ok;
  }
  bool SendBuffered(PortHandle handle, BufferedPassThroughRequest& request,
                    std::uint32_t* osError) override {
    return inner_.SendBuffered(handle, request, osError);
  }
  std::uint32_t LogicalDrives() override { return inner_.LogicalDrives(); }
  void Post(const WorkerStatus& status) override {
    entries.push_back({status, bytes_, clock_.MonotonicMs()});
  }

  struct Entry {
    WorkerStatus status;
    std::uint64_t bytes;
    std::uint64_t ms;
  };
  std::vector<Entry> entries;

 private:
  PassThroughPort& inner_;
  Clock& clock_;
  std::uint64_t bytes_ = 0;
};

// From every status of the read/write test and the image steps, what the
// meter says the pass has left is what the worker then really moves and
// waits (one disk alone on unlimited speed: every wait is a pause).
TEST(ProductionBatch, TheMetersPictureOfAPassIsTheWorkersOwn) {
  for (const char* percent : {"10", "100", "0"}) {
    SCOPED_TRACE(percent);
    FarmLayout layout = DefaultFarmLayout();
    layout.disks.resize(1);
    ProductionRig rig(layout, std::string("OTHER:RWValue=") + percent);
    TransferLedger ledger(rig.farm(), rig.clock());
    rig.env().port = &ledger;
    rig.env().poster = &ledger;
    rig.RunBatch({'E'});
    ASSERT_FALSE(ledger.entries.empty());
    const TransferLedger::Entry& last = ledger.entries.back();
    ASSERT_EQ(last.status.Code(), StatusPass);
    PassShape shape;
    shape.lastLba = rig.env().rowLastLba[0].load();
    ASSERT_EQ(shape.lastLba, 262143u);
    shape.rwTest = true;
    shape.rwPercent = std::stoi(percent);
    shape.clearSectors = rig.images().Current()->imageRootSector + 1024;
    int checked = 0;
    std::set<std::pair<int, int>> seen;
    for (const TransferLedger::Entry& e : ledger.entries) {
      const StatusEntry& entry = LookUpStatus(e.status.Code());
      const RowPhase phase = StatusPhase(entry, e.status.Value());
      if (phase != RowPhase::kRwTest && phase != RowPhase::kImage) continue;
      // Only a percentage's first post marks where the disk is.
      if (!seen.insert({static_cast<int>(phase), e.status.Value()}).second) continue;
      const auto left = PassMeter::Remaining(phase, e.status.Value(), shape);
      EXPECT_EQ(last.bytes - e.bytes, left.bytes) << PhaseName(phase) << " " << e.status.Value();
      EXPECT_EQ(last.ms - e.ms, left.pauseMs) << PhaseName(phase) << " " << e.status.Value();
      ++checked;
    }
    EXPECT_GE(checked, 5);
  }
}

TEST(ProductionBatch, TenHealthyDisksPassWithConsecutiveSerialNumbers) {
  const FarmLayout layout = DefaultFarmLayout();
  ProductionRig rig(layout);
  rig.RunBatch(Letters(layout));

  std::set<std::uint32_t> serials;
  for (std::size_t row = 0; row < layout.disks.size(); ++row) {
    const char letter = layout.disks[row].letter;
    const auto [text, image] = rig.FinalRow(letter, Label(static_cast<int>(row)));
    EXPECT_EQ(text, Label(static_cast<int>(row)) + "-:Pass");
    EXPECT_EQ(image, 6);
    SimDisk* disk = rig.farm().Disk(letter);
    EXPECT_EQ(disk->LastSignal(), SimSignal::Pass);
    serials.insert(SerialOfTable(disk->StoredConfigTable()));
    // Sectors 0-511 hold the prepared image.
    const auto image512 = rig.images().Current();
    ASSERT_TRUE(image512);
    const auto stored = disk->ReadStored(0, 512);
    EXPECT_TRUE(std::equal(stored.begin(), stored.end(), image512->preparedImage.begin()))
        << letter;
  }
  EXPECT_EQ(serials, (std::set<std::uint32_t>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));

  const auto records = rig.LogRecords();
  ASSERT_EQ(records.size(), 10u);
  std::set<std::string> logged, names;
  for (const auto& r : records) {
    EXPECT_EQ(r.at("Result"), "Pass");
    EXPECT_EQ(r.at("Capacity"), "128.0");
    EXPECT_EQ(r.at("Error Code"), "");
    logged.insert(r.at("Serial Number"));
    names.insert(r.at("[section]"));
  }
  EXPECT_EQ(names.size(), 10u) << "every record has a section of its own";
  EXPECT_EQ(logged, (std::set<std::string>{"00000001", "00000002", "00000003", "00000004",
                                            "00000005", "00000006", "00000007", "00000008",
                                            "00000009", "00000010"}));
  // The counter in the file ends at the last number handed out.
  EXPECT_EQ(ReadProfileValue(rig.configPath(), "CID", "Product_SN", 20), "00000010");
  EXPECT_EQ(rig.env().rescanPending->load(), 0);
}

struct FaultCase {
  const char* name;
  std::function<void(SimDiskConfig&)> setUp;
  const char* rowSuffix;  // after the slot label; "" = row untouched
  int image;
  const char* errorText;  // nullptr: no log record
  SimSignal signal;
};

TEST(ProductionBatch, FaultMatrixGivesEachDiskItsVerdict) {
  const std::vector<FaultCase> cases = {
      {"healthy", [](SimDiskConfig&) {}, "-:Pass", 6, "", SimSignal::Pass},
      {"one chip, small pages", [](SimDiskConfig& d) { d.flashInfo[6] = 5; }, "-:[config X]", 7,
       "USBErr_Config", SimSignal::Fail},
      {"status byte", [](SimDiskConfig& d) { d.flashInfo[0] = 0; }, "-:[config X]", 7,
       "USBErr_Config", SimSignal::Fail},
      {"table write", [](SimDiskConfig& d) { d.faults.tableWrite = true; }, "-:[rw-table X]", 7,
       "USBErr_RWTable", SimSignal::Fail},
      {"table read", [](SimDiskConfig& d) { d.faults.tableRead = true; }, "-:[rw-table X]", 7,
       "USBErr_RWTable", SimSignal::Fail},
      {"table echo", [](SimDiskConfig& d) { d.faults.tableEcho = true; }, "-:[tab-compare X]", 7,
       "USBErr_TableCompare", SimSignal::Fail},
      {"table header", [](SimDiskConfig& d) { d.faults.tableHeader = true; }, "-:Pass", 6, "",
       SimSignal::Pass},
      {"capacity", [](SimDiskConfig& d) { d.faults.capacity = true; }, "-:[capacity X]", 7,
       "USBErr_Capacity", SimSignal::Fail},
      {"capacity zero", [](SimDiskConfig& d) { d.faults.capacityZero = true; }, "-:[capacity X]",
       7, "USBErr_Capacity", SimSignal::Fail},
      {"bad sector in the test area", [](SimDiskConfig& d) { d.faults.badSectors = {20000}; },
       "-:[rw-compare X]", 7, "USBErr_RW_Compare", SimSignal::Fail},
  };
  FarmLayout layout = DefaultFarmLayout();
  ASSERT_EQ(layout.disks.size(), cases.size());
  for (std::size_t i = 0; i < cases.size(); ++i) cases[i].setUp(layout.disks[i]);
  ProductionRig rig(layout);
  rig.RunBatch(Letters(layout));

  std::map<std::string, int> errorsLogged;
  for (const auto& r : rig.LogRecords()) ++errorsLogged[r.at("Error Code")];
  std::map<std::string, int> errorsExpected;
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const FaultCase& c = cases[i];
    const char letter = layout.disks[i].letter;
    const auto [text, image] = rig.FinalRow(letter, Label(static_cast<int>(i)));
    EXPECT_EQ(text, Label(static_cast<int>(i)) + c.rowSuffix) << c.name;
    EXPECT_EQ(image, c.image) << c.name;
    EXPECT_EQ(rig.farm().Disk(letter)->LastSignal(), c.signal) << c.name;
    if (c.errorText) ++errorsExpected[c.errorText];
  }
  EXPECT_EQ(errorsLogged, errorsExpected);
}

TEST(ProductionBatch, DisksThatCannotBeOpenedOrProbedEndSilently) {
  FarmLayout layout = DefaultFarmLayout();
  layout.disks.resize(3);
  layout.disks[0].faults.noOpen = true;
  layout.disks[1].faults.noProbe = true;
  layout.disks[2].faults.osFailure = true;
  ProductionRig rig(layout);
  rig.RunBatch(Letters(layout));
  EXPECT_TRUE(rig.messages().empty());
  EXPECT_FALSE(fs::exists(rig.dir() / "produce.log"));
  for (const auto& d : layout.disks) {
    EXPECT_EQ(rig.farm().Disk(d.letter)->LastSignal(), SimSignal::None);
    EXPECT_FALSE(rig.farm().Disk(d.letter)->ConfigTableWritten());
  }
}

TEST(ProductionBatch, BadSectorInTheImageFailsTheVerifyWithoutTheTest) {
  FarmLayout layout = DefaultFarmLayout();
  layout.disks.resize(2);
  layout.disks[0].faults.badSectors = {300};  // image piece 3
  ProductionRig rig(layout, "OTHER:RWTest=0\n");
  rig.RunBatch(Letters(layout));
  EXPECT_EQ(rig.FinalRow('E', "01").first, "01-:[pnf X]");
  EXPECT_EQ(rig.Values('E', StatusProcess), (std::vector<std::uint16_t>{0, 0, 1, 2, 3}));
  EXPECT_EQ(rig.FinalRow('F', "02").first, "02-:Pass");
  EXPECT_TRUE(rig.Values('F', StatusRwTestProgress).empty());
}

TEST(ProductionBatch, UnpluggedDisksNeverHangAndAlwaysGetAConsistentVerdict) {
  FarmLayout layout = DefaultFarmLayout();
  const std::uint64_t points[] = {1, 2, 3, 5, 8, 12, 20, 40, 200, 300};
  for (std::size_t i = 0; i < layout.disks.size(); ++i) layout.disks[i].faults.unplugAfter = points[i];
  ProductionRig rig(layout);
  rig.RunBatch(Letters(layout));  // returns: nothing hangs
  int verdicts = 0;
  for (std::size_t i = 0; i < layout.disks.size(); ++i) {
    const auto [text, image] = rig.FinalRow(layout.disks[i].letter, Label(static_cast<int>(i)));
    if (image == 6 || image == 7) ++verdicts;
    EXPECT_NE(text, Label(static_cast<int>(i)) + "-:Pass") << "unplugged after " << points[i];
  }
  EXPECT_EQ(rig.LogRecords().size(), static_cast<std::size_t>(verdicts));
}

// A port without letter binding, as a host would behave if nothing bound
// the letters: after `opensBeforeSwap` opens of `letter`, the letter leads
// to the disk of `other` instead. It also notes every data buffer that
// reaches the port off the alignment direct transfers need.
class SwappingPort final : public PassThroughPort {
 public:
  SwappingPort(PassThroughPort& inner, char letter, char other, int opensBeforeSwap)
      : inner_(inner), letter_(letter), other_(other), opensLeft_(opensBeforeSwap) {}
  PortHandle Open(char letter, std::uint32_t* osError) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (letter == letter_ && opensLeft_-- <= 0) letter = other_;
    return inner_.Open(letter, osError);
  }
  void Close(PortHandle handle) override { inner_.Close(handle); }
  bool SendDirect(PortHandle handle, PassThroughRequest& request, std::uint32_t* osError) override {
    if (request.sptd.dataTransferLength != 0 && !IsAlignedDataBuffer(request.sptd.dataBuffer)) ++misaligned;
    return inner_.SendDirect(handle, request, osError);
  }
  bool SendBuffered(PortHandle handle, BufferedPassThroughRequest& request,
                    std::uint32_t* osError) override {
    return inner_.SendBuffered(handle, request, osError);
  }
  std::uint32_t LogicalDrives() override { return inner_.LogicalDrives(); }
  std::atomic<int> misaligned{0};

 private:
  PassThroughPort& inner_;
  const char letter_;
  const char other_;
  std::mutex mutex_;
  int opensLeft_;
};

// The second guard: when the reopen by letter after the capacity pause
// reaches another disk, the worker fails without writing a sector to either
// disk and without sending the stranger anything but READ CAPACITY and the
// INQUIRY that unmasks it.
TEST(ProductionBatch, AReopenThatReachesAnotherDiskFailsBeforeAnyWrite) {
  struct Case {
    const char* name;
    char other;          // the disk the letter leads to after the swap
    bool guardTrips;
  };
  const Case cases[] = {
      {"another slot's disk", 'G', true},
      {"a disk of another make", 'C', true},
      {"no swap", 'E', false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FarmLayout layout = DefaultFarmLayout();
    layout.disks.resize(3);  // E, F, G in slots 1 to 3
    ProductionRig rig(layout);
    SimDisk* stranger = rig.farm().Disk(c.other);
    const auto before = stranger->ReceivedOpcodes();
    // Opens of E: the worker's own, the reopen of TEST UNIT READY, then the
    // reopen of READ CAPACITY, which reaches the other disk.
    SwappingPort port(rig.farm(), 'E', c.other, 2);
    rig.env().port = &port;
    rig.RunBatch({'E'});
    EXPECT_EQ(port.misaligned.load(), 0);
    if (!c.guardTrips) {
      EXPECT_EQ(rig.FinalRow('E', "01").first, "01-:Pass");
      continue;
    }
    EXPECT_EQ(rig.FinalRow('E', "01").first, "01-:[capacity X]");
    const auto records = rig.LogRecords();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].at("Result"), "FAIL");
    EXPECT_EQ(records[0].at("Error Code"), "USBErr_Capacity");
    auto received = stranger->ReceivedOpcodes();
    for (const auto& [op, n] : before) received[op] -= n;
    EXPECT_EQ(received[0x25], 1u);  // READ CAPACITY, the reopen itself
    EXPECT_EQ(received[0x12], 1u);  // the guard's INQUIRY
    for (const auto& [op, n] : received) {
      if (op != 0x25 && op != 0x12) {
        EXPECT_EQ(n, 0u) << "operation code " << int{op};
      }
    }
    EXPECT_EQ(stranger->SectorsWritten(), 0u);
    EXPECT_EQ(stranger->LastSignal(), SimSignal::None);
    EXPECT_EQ(rig.farm().Disk('E')->SectorsWritten(), 0u);
  }
}

TEST(ProductionBatch, EraseProgressReachesOkAndCountsBlocks) {
  FarmLayout layout = DefaultFarmLayout();
  layout.disks.resize(1);
  ProductionRig rig(layout, "OTHER:EraseFlash=1\nOTHER:RWTest=0\n");
  rig.RunBatch(Letters(layout));
  // 128 MB of 128 KB blocks: 1024 blocks, 1025 commands, step 256, divisor 10.
  SimDisk* disk = rig.farm().Disk('E');
  EXPECT_EQ(disk->EraseCount(), 1025u);
  EXPECT_EQ(disk->EraseAddresses().back(), 1024u * 256u);
  const auto values = rig.Values('E', StatusEraseProgress);
  ASSERT_EQ(values.size(), 1026u);  // the start message, then one per command
  EXPECT_EQ(values[0], 0);
  EXPECT_EQ(values[1], 0);
  EXPECT_EQ(values[11], 1);
  EXPECT_EQ(values.back(), 100);
  EXPECT_EQ(rig.FinalRow('E', "01").first, "01-:Pass");
}

TEST(ProductionBatch, SmallPageEraseStepsBy32AndReaches100AtBlock8100) {
  FarmLayout layout = DefaultFarmLayout();
  layout.disks.resize(1);
  layout.disks[0].flashInfo[6] = 5;  // one 128 MB chip with small pages
  ProductionRig rig(layout,
                    "OTHER:FLASH1=128\nCSD:CCD_SELECT_DATA=128\nOTHER:EraseFlash=1\n"
                    "OTHER:RWTest=0\n");
  rig.RunBatch(Letters(layout));
  // 128 MB of 16 KB blocks: B = 8192, 8193 commands, step 32, divisor 81.
  SimDisk* disk = rig.farm().Disk('E');
  EXPECT_EQ(disk->EraseCount(), 8193u);
  EXPECT_EQ(disk->EraseAddresses()[1], 32u);
  EXPECT_EQ(disk->EraseAddresses().back(), 8192u * 32u);
  const auto values = rig.Values('E', StatusEraseProgress);
  ASSERT_EQ(values.size(), 8194u);  // the start message, then one per command
  EXPECT_EQ(values[8100], 99);      // block 8099
  EXPECT_EQ(values[8101], 100);     // block 8100
  EXPECT_EQ(rig.FinalRow('E', "01").first, "01-:Pass");
}

TEST(ProductionBatch, ReadWriteTestWritesTheChunkThatEndsIt) {
  FarmLayout layout = DefaultFarmLayout();
  layout.disks.resize(1);
  ProductionRig rig(layout, "OTHER:RWValue=50\n");
  rig.RunBatch(Letters(layout));
  // Chunk 1020 (value 51) is written, read and compared before the test
  // ends; chunk 1021 is never touched.
  SimDisk* disk = rig.farm().Disk('E');
  const auto written = disk->ReadStored(1020u * 128u, 1);
  ASSERT_EQ(written.size(), 512u);
  EXPECT_EQ(written[0], 0x55);
  EXPECT_EQ(written[1], 0xAA);
  const auto untouched = disk->ReadStored(1021u * 128u, 1);
  EXPECT_TRUE(std::all_of(untouched.begin(), untouched.end(), [](std::uint8_t b) { return b == 0; }));
}

TEST(ProductionBatch, SerialNumbersTakenByDisksThatFailLaterStayTaken) {
  FarmLayout layout = DefaultFarmLayout();
  layout.disks.resize(3);
  layout.disks[1].faults.capacity = true;    // fails after its table step
  layout.disks[2].faults.tableEcho = true;   // fails in its table compare
  ProductionRig rig(layout, "OTHER:RWTest=0\n");
  rig.RunBatch(Letters(layout));
  EXPECT_EQ(rig.FinalRow('F', "02").first, "02-:[capacity X]");
  EXPECT_EQ(rig.FinalRow('G', "03").first, "03-:[tab-compare X]");
  // Three numbers went out, one per disk; none is handed out again.
  EXPECT_EQ(ReadProfileValue(rig.configPath(), "CID", "Product_SN", 20), "00000003");
  std::set<std::uint32_t> serials;
  for (char letter : {'E', 'F'}) serials.insert(SerialOfTable(rig.farm().Disk(letter)->StoredConfigTable()));
  EXPECT_EQ(serials.size(), 2u);
  EXPECT_EQ(serials.count(0), 0u);
}

TEST(ProductionBatch, ReadWriteTestStopsAfterThePercentage) {
  FarmLayout layout = DefaultFarmLayout();
  layout.disks.resize(1);
  ProductionRig rig(layout, "OTHER:RWValue=50\n");
  rig.RunBatch(Letters(layout));
  // K = 2047 chunks, D = 20: values 0..50, chunk 1020 is the first above.
  const auto values = rig.Values('E', StatusRwTestProgress);
  ASSERT_FALSE(values.empty());
  EXPECT_EQ(values.front(), 0);
  EXPECT_EQ(values.back(), 50);
  EXPECT_EQ(values.size(), 1020u);
}

TEST(ProductionBatch, TinyDisksShowFullProgressInsteadOfDividingByZero) {
  FarmLayout layout = DefaultFarmLayout();
  layout.disks.resize(1);
  layout.disks[0].lastLba = 8191;  // 63 chunks: divisor 0
  ProductionRig rig(layout, "OTHER:RWValue=100\n");
  rig.RunBatch(Letters(layout));
  const auto values = rig.Values('E', StatusRwTestProgress);
  ASSERT_EQ(values.size(), 63u);
  for (auto v : values) EXPECT_EQ(v, 100);
  EXPECT_EQ(rig.FinalRow('E', "01").first, "01-:Pass");
}

TEST(ProductionBatch, MixedCapacitiesEachGetTheirOwnImage) {
  FarmLayout layout = DefaultFarmLayout();
  layout.disks.resize(4);
  layout.disks[1].lastLba = 65535;
  layout.disks[3].lastLba = 65535;
  ProductionRig rig(layout, "OTHER:RWTest=0\n");
  rig.RunBatch(Letters(layout));
  for (const auto& d : layout.disks) {
    SimDisk* disk = rig.farm().Disk(d.letter);
    const auto stored = disk->ReadStored(0, 512);
    // The partition entry's sector count must fit the disk itself.
    const std::uint32_t partitionSectors = stored[446 + 12] | (stored[446 + 13] << 8) |
                                           (stored[446 + 14] << 16) |
                                           (static_cast<std::uint32_t>(stored[446 + 15]) << 24);
    EXPECT_LE(partitionSectors + 32, d.lastLba + 1) << d.letter;
    EXPECT_GT(partitionSectors + 32, (d.lastLba + 1) / 2) << d.letter;
    EXPECT_EQ(rig.FinalRow(d.letter, "").first, "-:Pass") << d.letter;
  }
}

TEST(ProductionBatch, DiskSmallerThanTheImageTakesTheSectorsItHas) {
  FarmLayout layout = DefaultFarmLayout();
  layout.disks.resize(1);
  layout.disks[0].lastLba = 200;  // 201 sectors: pieces 1 and 2 (partly), nothing of 3 and 4
  ProductionRig rig(layout, "OTHER:RWTest=0\n");
  rig.RunBatch(Letters(layout));
  EXPECT_EQ(rig.FinalRow('E', "01").first, "01-:Pass");
  const auto image = rig.images().Current();
  ASSERT_TRUE(image);
  const auto stored = rig.farm().Disk('E')->ReadStored(0, 201);
  EXPECT_TRUE(std::equal(stored.begin(), stored.end(), image->preparedImage.begin()));
}

TEST(ProductionBatch, UnsupportedCapacityIsRefusedEvenWhenItEqualsTheLastOne) {
  FarmLayout layout = DefaultFarmLayout();
  layout.disks.resize(2);
  layout.disks[0].lastLba = 100;  // below the range where the layout is sound
  layout.disks[1].lastLba = 100;
  ProductionRig rig(layout, "OTHER:RWTest=0\n");
  rig.RunBatch(Letters(layout));
  EXPECT_EQ(rig.FinalRow('E', "01").first, "01-:[capacity X]");
  EXPECT_EQ(rig.FinalRow('F', "02").first, "02-:[capacity X]");
}

// A port that throws out of one command of one disk (the `skip`+1-th that
// matches), as a failing allocation or a system call wrapper would.
class ThrowingPort final : public PassThroughPort {
 public:
  ThrowingPort(PassThroughPort& inner, char letter, std::function<bool(const std::uint8_t*)> when,
               int skip, std::function<void()> raise)
      : inner_(inner), letter_(letter), when_(std::move(when)), skip_(skip),
        raise_(std::move(raise)) {}

  PortHandle Open(char letter, std::uint32_t* osError) override {
    const PortHandle h = inner_.Open(letter, osError);
    std::lock_guard<std::mutex> lock(mutex_);
    if (IsOpenHandle(h)) letters_[h] = letter;
    return h;
  }
  void Close(PortHandle handle) override { inner_.Close(handle); }
  bool SendDirect(PortHandle handle, PassThroughRequest& request, std::uint32_t* osError) override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!thrown_ && letters_[handle] == letter_ && when_(request.sptd.cdb) && skip_-- == 0) {
        thrown_ = true;
        raise_();
      }
    }
    return inner_.SendDirect(handle, request, osError);
  }
  bool SendBuffered(PortHandle handle, BufferedPassThroughRequest& request,
                    std::uint32_t* osError) override {
    return inner_.SendBuffered(handle, request, osError);
  }
  std::uint32_t LogicalDrives() override { return inner_.LogicalDrives(); }

 private:
  PassThroughPort& inner_;
  const char letter_;
  std::function<bool(const std::uint8_t*)> when_;
  int skip_;
  std::function<void()> raise_;
  std::mutex mutex_;
  std::map<PortHandle, char> letters_;
  bool thrown_ = false;
};

TEST(ProductionBatch, ExceptionInAWorkerEndsItsDiskThroughTheFailureExit) {
  const auto badAlloc = [] { throw std::bad_alloc(); };
  const auto systemError = [] {
    throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
  };
  struct Case {
    const char* name;
    std::function<bool(const std::uint8_t*)> when;
    int skip;
    std::function<void()> raise;
    const char* rowSuffix;
    const char* errorText;
  };
  const auto readAtZero = [](const std::uint8_t* c) {
    return c[0] == 0x28 && c[2] == 0 && c[3] == 0 && c[4] == 0 && c[5] == 0;
  };
  // RWTest is on with 1 %: the first WRITE(10) belongs to the test, the second
  // READ(10) of sector 0 to the image verify.
  const Case cases[] = {
      {"flash information",
       [](const std::uint8_t* c) { return c[0] == kOpVendor && c[1] == 0x60 && c[2] == 0x04; }, 0,
       badAlloc, "-:[config X]", "USBErr_Config"},
      {"table write", [](const std::uint8_t* c) { return c[0] == kOpVendor && c[1] == 0x61; }, 0,
       systemError, "-:[rw-table X]", "USBErr_RWTable"},
      {"read capacity", [](const std::uint8_t* c) { return c[0] == kOpReadCapacity10; }, 0,
       badAlloc, "-:[capacity X]", "USBErr_Capacity"},
      {"read/write test", [](const std::uint8_t* c) { return c[0] == 0x2A; }, 0, systemError,
       "-:[rw-compare X]", "USBErr_RW_Compare"},
      {"image verify", readAtZero, 1, badAlloc, "-:[pnf X]", "USBErr_Pnf"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FarmLayout layout = DefaultFarmLayout();
    layout.disks.resize(3);
    ProductionRig rig(layout, "OTHER:RWValue=1\n");
    ThrowingPort port(rig.farm(), 'F', c.when, c.skip, c.raise);
    rig.env().port = &port;
    rig.RunBatch(Letters(layout));  // the process lives on

    EXPECT_EQ(rig.FinalRow('F', "02").first, std::string("02") + c.rowSuffix);
    EXPECT_EQ(rig.farm().Disk('F')->LastSignal(), SimSignal::Fail);
    // The others pass: the failing worker let go of the setup lock.
    EXPECT_EQ(rig.FinalRow('E', "01").first, "01-:Pass");
    EXPECT_EQ(rig.FinalRow('G', "03").first, "03-:Pass");
    std::map<std::string, int> errors;
    for (const auto& r : rig.LogRecords()) ++errors[r.at("Error Code")];
    EXPECT_EQ(errors, (std::map<std::string, int>{{"", 2}, {c.errorText, 1}}));
  }
}

// What reaches the disks, in order: every command and every close of every
// letter, with the virtual time it happened at. `onEvent` runs on the
// worker's thread just before the command or close is passed on.
class RecordingPort final : public PassThroughPort {
 public:
  struct Event {
    char letter;
    std::string what;
    std::uint64_t atMs;
  };

  RecordingPort(PassThroughPort& inner, VirtualClock& clock) : inner_(inner), clock_(clock) {}

  PortHandle Open(char letter, std::uint32_t* osError) override {
    const PortHandle h = inner_.Open(letter, osError);
    std::lock_guard<std::mutex> lock(mutex_);
    if (IsOpenHandle(h)) letters_[h] = letter;
    return h;
  }
  void Close(PortHandle handle) override {
    Note(handle, "close");
    inner_.Close(handle);
  }
  bool SendDirect(PortHandle handle, PassThroughRequest& request, std::uint32_t* osError) override {
    Note(handle, Describe(request.sptd.cdb));
    return inner_.SendDirect(handle, request, osError);
  }
  bool SendBuffered(PortHandle handle, BufferedPassThroughRequest& request,
                    std::uint32_t* osError) override {
    Note(handle, Describe(request.spt.cdb));
    return inner_.SendBuffered(handle, request, osError);
  }
  std::uint32_t LogicalDrives() override { return inner_.LogicalDrives(); }

  // The events of one letter; closes left out unless asked for.
  std::vector<Event> Events(char letter, bool withCloses = false) const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<Event> out;
    for (const Event& e : events_) {
      if (e.letter == letter && (withCloses || e.what != "close")) out.push_back(e);
    }
    return out;
  }

  std::function<void(const Event&)> onEvent;

 private:
  static std::string Describe(const std::uint8_t* cdb) {
    const std::uint32_t lba = (std::uint32_t{cdb[2]} << 24) | (std::uint32_t{cdb[3]} << 16) |
                              (std::uint32_t{cdb[4]} << 8) | cdb[5];
    const unsigned count = (unsigned{cdb[7]} << 8) | cdb[8];
    char text[48];
    switch (cdb[0]) {
      case kOpTestUnitReady: return "TEST UNIT READY";
      case kOpInquiry: return "INQUIRY";
      case kOpReadCapacity10: return "READ CAPACITY";
      case kOpVerify10: return "VERIFY";
      case kOpRead10:
        std::snprintf(text, sizeof text, "READ %u+%u", lba, count);
        return text;
      case kOpWrite10:
        std::snprintf(text, sizeof text, "WRITE %u+%u", lba, count);
        return text;
      default:
        std::snprintf(text, sizeof text, "%02X %02X %02X", cdb[0], cdb[1], cdb[2]);
        return text;
    }
  }

  void Note(PortHandle handle, std::string what) {
    Event e{'?', std::move(what), clock_.Elapsed()};
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (auto it = letters_.find(handle); it != letters_.end()) e.letter = it->second;
    }
    if (onEvent) onEvent(e);
    std::lock_guard<std::mutex> lock(mutex_);
    events_.push_back(std::move(e));
  }

  PassThroughPort& inner_;
  VirtualClock& clock_;
  mutable std::mutex mutex_;
  std::map<PortHandle, char> letters_;
  std::vector<Event> events_;
};

// Lets a test watch each status message on the worker's thread as it is posted.
class WatchingPoster final : public StatusPoster {
 public:
  WatchingPoster(StatusPoster& inner, std::function<void(const WorkerStatus&)> watch)
      : inner_(inner), watch_(std::move(watch)) {}
  void Post(const WorkerStatus& message) override {
    watch_(message);
    inner_.Post(message);
  }

 private:
  StatusPoster& inner_;
  std::function<void(const WorkerStatus&)> watch_;
};

// Whether some thread holds `m`, asked from a thread of its own (the caller
// may be the holder, and may not try_lock a mutex it owns).
bool HeldByAnother(std::mutex& m) {
  bool taken = false;
  std::thread([&] {
    taken = m.try_lock();
    if (taken) m.unlock();
  }).join();
  return !taken;
}

std::vector<std::string> Names(const std::vector<RecordingPort::Event>& events) {
  std::vector<std::string> names;
  for (const auto& e : events) names.push_back(e.what);
  return names;
}

const std::string kTableWrite = "F9 61 00";
const std::string kTableRead = "F9 60 00";
const std::string kSignalPass = "F9 03 00";
const std::string kSignalFail = "F9 04 00";

// A failure in the table write, read-back or compare keeps the setup lock
// through the whole failure exit (another worker would otherwise renew the
// serial number and program its table in between); a pass releases it before
// the post-configuration commands.
TEST(ProductionBatch, SetupLockIsHeldThroughATableStepFailureAndReleasedAfterAPass) {
  struct Case {
    const char* name;
    std::function<void(SimDiskConfig&)> setUp;
    WorkerStatusCode failCode;  // StatusPass: the disk passes
  };
  const Case cases[] = {
      {"table write", [](SimDiskConfig& d) { d.faults.tableWrite = true; }, StatusRwTableFail},
      {"table read-back", [](SimDiskConfig& d) { d.faults.tableRead = true; }, StatusRwTableFail},
      {"table compare", [](SimDiskConfig& d) { d.faults.tableEcho = true; },
       StatusTableCompareFail},
      {"healthy", [](SimDiskConfig&) {}, StatusPass},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FarmLayout layout = DefaultFarmLayout();
    layout.disks.resize(1);
    c.setUp(layout.disks[0]);
    ProductionRig rig(layout, "OTHER:RWTest=0\n");
    RecordingPort port(rig.farm(), rig.clock());
    std::mutex checksMutex;
    std::vector<std::pair<std::string, bool>> checks;  // where, lock held
    bool failing = false;
    port.onEvent = [&](const RecordingPort::Event& e) {
      if (e.what == kSignalFail) failing = true;
      if ((failing && (e.what == kSignalFail || e.what == "close")) || e.what == "READ CAPACITY") {
        std::lock_guard<std::mutex> lock(checksMutex);
        checks.emplace_back(e.what, HeldByAnother(rig.locks().setupLock));
      }
    };
    WatchingPoster poster(rig.queue(), [&](const WorkerStatus& m) {
      if (m.Code() == c.failCode && c.failCode != StatusPass) {
        std::lock_guard<std::mutex> lock(checksMutex);
        checks.emplace_back("post", HeldByAnother(rig.locks().setupLock));
      }
    });
    rig.env().port = &port;
    rig.env().poster = &poster;
    rig.RunBatch({'E'});

    if (c.failCode == StatusPass) {
      EXPECT_EQ(rig.FinalRow('E', "01").first, "01-:Pass");
      EXPECT_EQ(checks, (std::vector<std::pair<std::string, bool>>{{"READ CAPACITY", false}}));
    } else {
      EXPECT_EQ(checks, (std::vector<std::pair<std::string, bool>>{
                            {kSignalFail, true}, {"close", true}, {"post", true}}));
    }
    // The worker's end releases it.
    EXPECT_FALSE(HeldByAnother(rig.locks().setupLock));
  }
}

// The commands after the table steps, in order and without a pause between
// them, then 2000 ms before READ CAPACITY; each image piece is read back
// 1000 ms after it was written, and the pass signal follows the last one.
TEST(ProductionBatch, PostConfigurationCommandsAndPausesOnTheVirtualClock) {
  FarmLayout layout = DefaultFarmLayout();
  layout.disks.resize(1);
  ProductionRig rig(layout, "OTHER:RWTest=0\n");
  RecordingPort port(rig.farm(), rig.clock());
  rig.env().port = &port;
  rig.RunBatch({'E'});
  ASSERT_EQ(rig.FinalRow('E', "01").first, "01-:Pass");

  const auto events = port.Events('E');
  const auto names = Names(events);
  const auto write = std::find(names.begin(), names.end(), kTableWrite);
  ASSERT_NE(write, names.end());
  ASSERT_EQ(*(write + 1), kTableRead);
  const std::size_t first = static_cast<std::size_t>(write - names.begin()) + 2;
  const std::vector<std::string> postConfiguration = {
      "F9 62 08",  // flash control 08
      "F9 01 00",  // controller control 01
      "F9 6F 00",  // controller status probe
      "F9 62 03",  // flash control 03
      "TEST UNIT READY",
      "READ CAPACITY",
  };
  ASSERT_GE(names.size(), first + postConfiguration.size());
  EXPECT_EQ(std::vector<std::string>(names.begin() + static_cast<std::ptrdiff_t>(first),
                                     names.begin() + static_cast<std::ptrdiff_t>(first + 6)),
            postConfiguration);
  for (std::size_t i = first; i < first + 5; ++i) {
    EXPECT_EQ(events[i].atMs, events[first - 1].atMs) << names[i];
  }
  EXPECT_EQ(events[first + 5].atMs - events[first + 4].atMs, 2000u);

  // The tail: four pieces written and read back, then the pass signal.
  ASSERT_GE(events.size(), 9u);
  const std::vector<RecordingPort::Event> tail(events.end() - 9, events.end());
  const std::uint64_t t = tail[0].atMs;
  for (std::uint32_t k = 0; k < 4; ++k) {
    const std::string range = std::to_string(128 * k) + "+128";
    EXPECT_EQ(tail[2 * k].what, "WRITE " + range);
    EXPECT_EQ(tail[2 * k].atMs - t, 1000u * k);
    EXPECT_EQ(tail[2 * k + 1].what, "READ " + range);
    EXPECT_EQ(tail[2 * k + 1].atMs - t, 1000u * (k + 1));
  }
  EXPECT_EQ(tail[8].what, kSignalPass);
  EXPECT_EQ(tail[8].atMs - t, 4000u);
}

// An image for the disk's capacity whose root-directory sector and last byte
// are set by the test, published as if it had just been built.
std::shared_ptr<PreparedImageSnapshot> PublishImage(ProductionRig& rig, std::uint32_t builtFor,
                                                    std::uint32_t rootSector, std::uint8_t mark) {
  FormatContext scratch;
  auto built = FormatPreparedImage(builtFor, rig.clock(), scratch);
  EXPECT_TRUE(built);
  auto image = std::make_shared<PreparedImageSnapshot>(*built);
  image->imageRootSector = rootSector;
  image->preparedImage.back() = mark;
  rig.images().Publish(image);
  return image;
}

TEST(ProductionBatch, ClearingStopsBelowRootPlus1024AndBelowSector12800) {
  struct Case {
    std::uint32_t rootSector;
    std::uint32_t writes;  // at 0, 128, 256, ...
  };
  const Case cases[] = {{200, 10}, {300, 11}, {12000, 100}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.rootSector);
    FarmLayout layout = DefaultFarmLayout();
    layout.disks.resize(1);
    ProductionRig rig(layout, "OTHER:RWTest=0\n");
    const std::uint32_t lastLba = layout.disks[0].lastLba;
    PublishImage(rig, lastLba, c.rootSector, 0);
    rig.env().imageCapacity.store(lastLba);
    RecordingPort port(rig.farm(), rig.clock());
    rig.env().port = &port;
    rig.RunBatch({'E'});
    ASSERT_EQ(rig.FinalRow('E', "01").first, "01-:Pass");

    std::vector<std::string> writes;
    for (const auto& name : Names(port.Events('E'))) {
      if (name.rfind("WRITE ", 0) == 0) writes.push_back(name);
    }
    ASSERT_GE(writes.size(), 4u);
    writes.resize(writes.size() - 4);  // the image pieces
    std::vector<std::string> expected;
    for (std::uint32_t i = 0; i < c.writes; ++i) expected.push_back("WRITE " + std::to_string(128 * i) + "+128");
    EXPECT_EQ(writes, expected);
  }
}

// A disk of the capacity the current image was built for gets that image as
// it stands; an image of another capacity is never written to it, even when
// the remembered capacity says it matches.
TEST(ProductionBatch, AnEqualCapacityReusesTheImage) {
  struct Case {
    const char* name;
    std::uint32_t builtFor;        // 0: the disk's own capacity
    bool rememberedAsTheDisks;     // ImageCapacity holds the disk's capacity
    bool reused;
  };
  const Case cases[] = {
      {"same capacity, remembered", 0, true, true},
      {"same capacity, not remembered", 0, false, true},
      {"another capacity behind a stale key", 65535, true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FarmLayout layout = DefaultFarmLayout();
    layout.disks.resize(1);
    ProductionRig rig(layout, "OTHER:RWTest=0\n");
    const std::uint32_t lastLba = layout.disks[0].lastLba;
    const auto published = PublishImage(rig, c.builtFor ? c.builtFor : lastLba, 161, 0xA5);
    if (c.rememberedAsTheDisks) rig.env().imageCapacity.store(lastLba);
    rig.RunBatch({'E'});
    ASSERT_EQ(rig.FinalRow('E', "01").first, "01-:Pass");

    const auto current = rig.images().Current();
    ASSERT_TRUE(current);
    EXPECT_EQ(current == published, c.reused);
    EXPECT_EQ(current->imageCapacity, lastLba);
    EXPECT_EQ(rig.env().imageCapacity.load(), lastLba);
    const auto stored = rig.farm().Disk('E')->ReadStored(0, kPreparedImageSectors);
    ASSERT_EQ(stored.size(), kPreparedImageBytes);
    EXPECT_TRUE(std::equal(stored.begin(), stored.end(), current->preparedImage.begin()));
    EXPECT_EQ(stored.back() == 0xA5, c.reused);
  }
}

// Every failure exit runs in one order: controller told, handle closed, log
// record written, row updated; nothing reaches the disk afterwards.
TEST(ProductionBatch, FailureExitTellsTheControllerClosesLogsThenPosts) {
  struct Case {
    const char* name;
    std::function<void(SimDiskConfig&)> setUp;
    const char* options;
    WorkerStatusCode code;
  };
  const Case cases[] = {
      {"configuration", [](SimDiskConfig& d) { d.flashInfo[0] = 0; }, "OTHER:RWTest=0\n",
       StatusConfigFail},
      {"table write", [](SimDiskConfig& d) { d.faults.tableWrite = true; }, "OTHER:RWTest=0\n",
       StatusRwTableFail},
      {"table compare", [](SimDiskConfig& d) { d.faults.tableEcho = true; }, "OTHER:RWTest=0\n",
       StatusTableCompareFail},
      {"capacity", [](SimDiskConfig& d) { d.faults.capacity = true; }, "OTHER:RWTest=0\n",
       StatusCapacityFail},
      {"read/write test", [](SimDiskConfig& d) { d.faults.badSectors = {20000}; },
       "OTHER:RWValue=100\n", StatusRwCompareFail},
      {"image verify", [](SimDiskConfig& d) { d.faults.badSectors = {300}; }, "OTHER:RWTest=0\n",
       StatusPnfFail},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FarmLayout layout = DefaultFarmLayout();
    layout.disks.resize(1);
    c.setUp(layout.disks[0]);
    ProductionRig rig(layout, c.options);
    RecordingPort port(rig.farm(), rig.clock());
    std::vector<std::string> exitOrder;  // worker thread only
    port.onEvent = [&](const RecordingPort::Event& e) {
      if (e.what == kSignalFail || !exitOrder.empty()) {
        exitOrder.push_back(e.what + " (" + std::to_string(rig.LogRecords().size()) + " logged)");
      }
    };
    WatchingPoster poster(rig.queue(), [&](const WorkerStatus& m) {
      if (m.Code() == c.code) {
        exitOrder.push_back("post (" + std::to_string(rig.LogRecords().size()) + " logged)");
      }
    });
    rig.env().port = &port;
    rig.env().poster = &poster;
    rig.RunBatch({'E'});

    EXPECT_EQ(exitOrder, (std::vector<std::string>{kSignalFail + " (0 logged)", "close (0 logged)",
                                                   "post (1 logged)"}));
    const auto records = rig.LogRecords();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].at("Result"), "FAIL");
    ASSERT_FALSE(rig.messages().empty());
    EXPECT_EQ(rig.messages().back().Code(), c.code);
  }
}

TEST(CodeFlashWorker, ProgressSequencesAndFailure) {
  struct Case {
    bool size256K;
    std::optional<std::uint16_t> failingBlock;
    std::uint16_t lastProgress;
    std::size_t progressMessages;  // including the start message
    bool empty;
  };
  const Case cases[] = {
      {false, std::nullopt, 100, 33, true},
      {true, std::nullopt, 50, 17, true},
      {false, 5, 18, 7, false},
  };
  for (const auto& c : cases) {
    FarmLayout layout = DefaultFarmLayout();
    layout.disks.resize(1);
    if (c.failingBlock) layout.disks[0].faults.codeFlashBlocks = {*c.failingBlock};
    VirtualClock clock;
    std::string error;
    auto farm = SimFarm::Create(layout, clock, &error);
    ASSERT_TRUE(farm) << error;
    StatusQueue queue;
    RunCodeFlashWorker(*farm, queue, MakeStartValue('E', 0), c.size256K);
    std::vector<std::uint16_t> progress;
    bool empty = false;
    while (auto m = queue.TryTake()) {
      if (m->Code() == StatusEraseProgress) progress.push_back(m->Value());
      if (m->Code() == StatusEmpty) empty = true;
    }
    ASSERT_EQ(progress.size(), c.progressMessages);
    EXPECT_EQ(progress.back(), c.lastProgress);
    EXPECT_EQ(empty, c.empty);
    if (!c.failingBlock && !c.size256K) {
      EXPECT_EQ((std::vector<std::uint16_t>(progress.begin(), progress.begin() + 9)),
                (std::vector<std::uint16_t>{0, 3, 6, 9, 12, 15, 18, 21, 25}));
    }
    EXPECT_EQ(farm->Disk('E')->LastCodeFlashControlMode(), std::optional<std::uint8_t>(4));
  }
}

}  // namespace
}  // namespace kx20

namespace kx20 {
namespace {

// Every record of a disk names the number in the table the disk gave back:
// its verdict event for a pass and for every failure after the table step,
// none (0) for a disk whose table never carried a verified number.
TEST(ProductionRecords, VerdictEventsCarryTheSerialReadBackFromTheWrittenTable) {
  struct Case {
    const char* name;
    std::function<void(SimDiskConfig&)> setUp;
    bool carriesSerial;  // the event names the disk's number
    const char* errorText;
  };
  const Case cases[] = {
      {"pass", [](SimDiskConfig&) {}, true, ""},
      {"capacity after the table", [](SimDiskConfig& d) { d.faults.capacity = true; }, true,
       "USBErr_Capacity"},
      {"read/write test", [](SimDiskConfig& d) { d.faults.badSectors = {20000}; }, true,
       "USBErr_RW_Compare"},
      {"configuration", [](SimDiskConfig& d) { d.flashInfo[0] = 0; }, false, "USBErr_Config"},
      {"table write", [](SimDiskConfig& d) { d.faults.tableWrite = true; }, false,
       "USBErr_RWTable"},
      {"table compare", [](SimDiskConfig& d) { d.faults.tableEcho = true; }, false,
       "USBErr_TableCompare"},
  };
  FarmLayout layout = DefaultFarmLayout();
  layout.disks.resize(std::size(cases));
  for (std::size_t i = 0; i < std::size(cases); ++i) cases[i].setUp(layout.disks[i]);
  ProductionRig rig(layout);
  std::mutex mutex;
  std::map<char, VerdictEvent> events;
  rig.env().recordVerdict = [&](const VerdictEvent& e) {
    std::lock_guard<std::mutex> lock(mutex);
    events[e.driveLetter] = e;
  };
  rig.RunBatch(Letters(layout));

  std::set<std::uint32_t> named;
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(cases[i].name);
    const char letter = layout.disks[i].letter;
    ASSERT_EQ(events.count(letter), 1u);
    const VerdictEvent& e = events[letter];
    EXPECT_EQ(e.errorCode, cases[i].errorText);
    EXPECT_FALSE(e.cutOff);
    if (cases[i].carriesSerial) {
      const std::uint32_t onDisk = SerialOfTable(rig.farm().Disk(letter)->StoredConfigTable());
      EXPECT_NE(onDisk, 0u);
      EXPECT_EQ(e.serialNumber, onDisk);
      EXPECT_TRUE(named.insert(e.serialNumber).second) << "a number named twice";
    } else {
      EXPECT_EQ(e.serialNumber, 0u);
    }
  }
  // The pass record names the same number; failure records keep their form.
  for (const auto& r : rig.LogRecords()) {
    if (r.at("Result") != "Pass") {
      EXPECT_EQ(r.at("Serial Number"), "");
      continue;
    }
    char expected[16];
    std::snprintf(expected, sizeof expected, "%08u", events['E'].serialNumber);
    EXPECT_EQ(r.at("Serial Number"), expected);
  }
}

// With "Change serial number" off every disk carries the file's Product_SN:
// the records say so, instead of a number the disks do not carry.
TEST(ProductionRecords, WithTheOptionOffTheRecordsNameTheNumberOnTheDisks) {
  FarmLayout layout = DefaultFarmLayout();
  layout.disks.resize(2);
  ProductionRig rig(layout, "CID:Change_SN=0\nCID:Product_SN=00000042\nOTHER:RWTest=0\n");
  std::vector<VerdictEvent> events;
  std::mutex mutex;
  rig.env().recordVerdict = [&](const VerdictEvent& e) {
    std::lock_guard<std::mutex> lock(mutex);
    events.push_back(e);
  };
  rig.RunBatch(Letters(layout));
  ASSERT_EQ(events.size(), 2u);
  for (const VerdictEvent& e : events) EXPECT_EQ(e.serialNumber, 42u);
  const auto records = rig.LogRecords();
  ASSERT_EQ(records.size(), 2u);
  for (const auto& r : records) EXPECT_EQ(r.at("Serial Number"), "00000042");
  EXPECT_EQ(ReadProfileValue(rig.configPath(), "CID", "Product_SN", 20), "00000042");
}

// A verdict produce.log or the line's sink did not take is a failure on the
// row, whatever the disk's own result, and the operator is told which one.
TEST(ProductionRecords, AVerdictThatCannotBeRecordedIsNeverAPass) {
  struct Case {
    const char* name;
    bool logUnwritable;
    bool sinkRefuses;
    std::vector<std::string> mentions;
  };
  const Case cases[] = {
      {"produce.log a directory", true, false, {"produce.log", "was lost", "Pass 00000001"}},
      {"sink refuses", false, true, {"did not take the verdict", "Pass 00000001"}},
      {"produce.jsonl a directory", false, false,
       {"produce.jsonl", "the line of record", "was lost", "Pass 00000001"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FarmLayout layout = DefaultFarmLayout();
    layout.disks.resize(2);
    layout.disks[1].faults.capacity = true;  // a failure whose record is lost too
    ProductionRig rig(layout, "OTHER:RWTest=0\n");
    OperatorNotices notices;
    rig.env().notices = &notices;
    ProductionLogWriter log(rig.clock(), (rig.dir() / "produce.log").string(), Durability::kRelaxed);
    log.SetNotices(&notices);
    rig.env().log = &log;
    if (c.logUnwritable) fs::create_directory(rig.dir() / "produce.log");
    const bool linesUnwritable = std::string(c.name) == "produce.jsonl a directory";
    if (linesUnwritable) fs::create_directory(rig.dir() / "produce.jsonl");
    rig.env().recordVerdict = [&](const VerdictEvent&) { return !c.sinkRefuses; };
    // One after the other: the pass is serial number 1.
    rig.RunBatch({'E'});
    rig.RunBatch({'F'});
    EXPECT_EQ(rig.FinalRow('E', "01"), std::make_pair(std::string("01-:[record X]"), kImageFailed));
    EXPECT_EQ(rig.FinalRow('F', "02"), std::make_pair(std::string("02-:[record X]"), kImageFailed));
    EXPECT_TRUE(rig.Values('E', StatusPass).empty());
    std::string told;
    for (const std::string& n : notices.Take()) told += n + "\n";
    for (const std::string& m : c.mentions) {
      EXPECT_NE(told.find(m), std::string::npos) << "\"" << m << "\" not in: " << told;
    }
    // The pass whose produce.log record was lost is no pass in its line
    // either.
    if (c.logUnwritable) {
      const std::vector<nlohmann::json> lines = RecordLines(rig.dir());
      ASSERT_EQ(lines.size(), 2u);
      EXPECT_EQ(lines[0]["result"], "FAIL");
      EXPECT_EQ(lines[0]["failed_step"], "record");
      EXPECT_EQ(lines[0]["serial"], 1);
      EXPECT_FALSE(lines[0].contains("error"));
      EXPECT_EQ(lines[1]["failed_step"], "capacity");
    }
  }
}

// A disk another station has claimed gets no command at all from this one:
// no record, a row that says so, and the operator is told who has it.
TEST(ProductionRecords, ADiskClaimedByAnotherStationIsLeftAlone) {
  FarmLayout layout = DefaultFarmLayout();
  layout.disks.resize(2);
  ProductionRig rig(layout, "OTHER:RWTest=0\n");
  OperatorNotices notices;
  rig.env().notices = &notices;
  DiskClaimResult held = rig.farm().ClaimDisk('E', "the other station");
  ASSERT_TRUE(held.claim);
  const std::uint64_t commandsBefore = rig.farm().Disk('E')->CommandCount();
  rig.RunBatch(Letters(layout));
  EXPECT_EQ(rig.FinalRow('E', "01").first, "01-:[in use X]");
  EXPECT_EQ(rig.farm().Disk('E')->CommandCount(), commandsBefore);
  EXPECT_FALSE(rig.farm().Disk('E')->ConfigTableWritten());
  EXPECT_EQ(rig.FinalRow('F', "02").first, "02-:Pass");
  ASSERT_EQ(rig.LogRecords().size(), 1u);
  EXPECT_EQ(ReadProfileValue(rig.configPath(), "CID", "Product_SN", 20), "00000001");
  const std::vector<std::string> told = notices.Take();
  ASSERT_EQ(told.size(), 1u);
  EXPECT_NE(told[0].find("drive E: is in use by another worker"), std::string::npos) << told[0];
  // Released: the disk is free again.
  held.claim.reset();
  rig.RunBatch({'E'});
  EXPECT_EQ(rig.FinalRow('E', "01").first, "01-:Pass");
}

// A port in front of the farm that holds every WRITE(10) of the chosen
// disks until released: the workers stop where a close would find them,
// after their table steps.
class WriteGatePort final : public PassThroughPort {
 public:
  explicit WriteGatePort(SimFarm& farm) : farm_(farm) {}
  // Waits (real time, bounded) until `n` workers wait at the gate.
  bool WaitHeld(int n) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, std::chrono::seconds(20), [&] { return held_ >= n; });
  }
  void Open() {
    std::lock_guard<std::mutex> lock(mutex_);
    open_ = true;
    cv_.notify_all();
  }
  PortHandle Open(char letter, std::uint32_t* osError) override { return farm_.Open(letter, osError); }
  void Close(PortHandle h) override { farm_.Close(h); }
  bool SendDirect(PortHandle h, PassThroughRequest& r, std::uint32_t* osError) override {
    if (r.sptd.cdb[0] == 0x2A) {
      std::unique_lock<std::mutex> lock(mutex_);
      ++held_;
      cv_.notify_all();
      cv_.wait(lock, [&] { return open_; });
    }
    return farm_.SendDirect(h, r, osError);
  }
  bool SendBuffered(PortHandle h, BufferedPassThroughRequest& r, std::uint32_t* osError) override {
    return farm_.SendBuffered(h, r, osError);
  }
  std::uint32_t LogicalDrives() override { return farm_.LogicalDrives(); }
  DiskClaimResult ClaimDisk(char letter, const std::string& who) override {
    return farm_.ClaimDisk(letter, who);
  }

 private:
  SimFarm& farm_;
  std::mutex mutex_;
  std::condition_variable cv_;
  int held_ = 0;
  bool open_ = false;
};

// Closing during a run (the station holds the run's locks and closes the
// ledger): each disk under way is recorded as cut off in its step, with the
// number its table carries, and its worker then tells the disk nothing and
// writes nothing.
TEST(ProductionRecords, ClosingCutsOffEveryDiskUnderWayWithItsStepAndNumber) {
  FarmLayout layout = DefaultFarmLayout();
  layout.disks.resize(2);
  ProductionRig rig(layout);  // with the read/write test: it is where they stop
  WriteGatePort gate(rig.farm());
  WorkerLedger ledger;
  rig.env().port = &gate;
  rig.env().ledger = &ledger;
  std::vector<std::thread> workers;
  for (int row = 0; row < 2; ++row) {
    workers.emplace_back([&rig, row] {
      RunProductionWorker(rig.env(), rig.locks(), MakeStartValue(static_cast<char>('E' + row), row));
    });
  }
  ASSERT_TRUE(gate.WaitHeld(2));
  // The close, as Station::Shutdown makes it.
  rig.locks().setupLock.lock();
  rig.locks().logLock.lock();
  const CalendarTime closedAt = rig.clock().UtcNow();
  const std::vector<WorkerLedger::Unrecorded> left = ledger.Close(closedAt);
  gate.Open();
  for (auto& w : workers) w.join();
  rig.locks().logLock.unlock();
  rig.locks().setupLock.unlock();

  ASSERT_EQ(left.size(), 2u);
  std::set<std::uint32_t> serials;
  for (const WorkerLedger::Unrecorded& u : left) {
    EXPECT_TRUE(u.event.cutOff);
    EXPECT_FALSE(u.event.passed);
    EXPECT_EQ(u.event.errorCode, "USBErr_RW_Compare");
    EXPECT_STREQ(u.record.result, "FAIL");
    EXPECT_STREQ(u.record.errorCode, "USBErr_RW_Compare");
    EXPECT_STREQ(u.record.serialNumber, "");
    EXPECT_EQ(u.event.serialNumber,
              SerialOfTable(rig.farm().Disk(u.event.driveLetter)->StoredConfigTable()));
    serials.insert(u.event.serialNumber);
    // Told nothing after the cut.
    EXPECT_EQ(rig.farm().Disk(u.event.driveLetter)->LastSignal(), SimSignal::None);
    // Its record: the steps done, the step it was cut off in timed up to
    // the close, and what the pass knew.
    EXPECT_EQ(u.event.failedStep, "rw_test");
    std::vector<std::string> steps;
    for (const StepTiming& t : u.event.steps) steps.push_back(t.step);
    EXPECT_EQ(steps, (std::vector<std::string>{"config_check", "table", "capacity", "rw_test"}));
    ASSERT_FALSE(u.event.steps.empty());
    EXPECT_EQ(CalendarToEpochMs(u.event.steps.back().startedUtc) + u.event.steps.back().durationMs,
              CalendarToEpochMs(closedAt));
    EXPECT_EQ(u.event.recipeId.size(), 16u);
    EXPECT_FALSE(u.event.softwareVersion.empty());
  }
  EXPECT_EQ(serials, (std::set<std::uint32_t>{1, 2}));
  EXPECT_FALSE(fs::exists(rig.dir() / "produce.log")) << "a worker wrote after the close";
  rig.Drain();
  for (const WorkerStatus& m : rig.messages()) {
    EXPECT_EQ(ClassifyStatus(m.Code()) == StatusClass::kPass ||
                  ClassifyStatus(m.Code()) == StatusClass::kFail,
              false)
        << "a verdict posted after the close: " << m.Code();
  }
}

// The ledger's states: what a close hands over for each.
TEST(WorkerLedger, CloseRecordsWhatIsLeftAndNothingBeginsAfterIt) {
  WorkerLedger ledger;
  const auto running = ledger.Begin('E', 1);
  running->SetStep("USBErr_Pnf");
  running->SetSerial(17);
  running->SetCapacity(262144);
  const auto beforeTable = ledger.Begin('F', 2);
  beforeTable->SetStep("USBErr_RWTable");
  const auto finishing = ledger.Begin('G', 3);
  VerdictEvent passEvent;
  passEvent.driveLetter = 'G';
  passEvent.passed = true;
  passEvent.serialNumber = 18;
  ASSERT_TRUE(finishing->Finish(MakePassRecord(18, 262143), passEvent));
  const auto recorded = ledger.Begin('H', 4);
  ASSERT_TRUE(recorded->Finish(MakeFailRecord("USBErr_Config"), VerdictEvent{}));
  recorded->Recorded();
  const auto silent = ledger.Begin('I', 5);
  silent->NoVerdict();
  // Opened by the console at the start; its worker never ran a line.
  ASSERT_NE(ledger.Open('K', 7), nullptr);

  CalendarTime now{};
  now.year = 2026;
  const std::vector<WorkerLedger::Unrecorded> left = ledger.Close(now);
  ASSERT_EQ(left.size(), 4u);
  EXPECT_EQ(left[0].event.driveLetter, 'E');
  EXPECT_TRUE(left[0].event.cutOff);
  EXPECT_EQ(left[0].event.serialNumber, 17u);
  EXPECT_EQ(left[0].event.capacitySectors, 262144u);
  EXPECT_EQ(left[0].event.errorCode, "USBErr_Pnf");
  EXPECT_EQ(left[0].event.finishedUtc.year, 2026);
  EXPECT_STREQ(left[0].record.errorCode, "USBErr_Pnf");
  EXPECT_EQ(left[1].event.driveLetter, 'F');
  EXPECT_EQ(left[1].event.serialNumber, 0u);
  EXPECT_STREQ(left[1].record.errorCode, "USBErr_RWTable");
  // The one that had reached its verdict hands over its own record.
  EXPECT_FALSE(left[2].event.cutOff);
  EXPECT_TRUE(left[2].event.passed);
  EXPECT_STREQ(left[2].record.serialNumber, "00000018");
  EXPECT_EQ(left[3].event.driveLetter, 'K');
  EXPECT_TRUE(left[3].event.cutOff);
  EXPECT_STREQ(left[3].record.errorCode, "USBErr_Config");

  EXPECT_FALSE(running->Finish(MakeFailRecord("USBErr_Pnf"), VerdictEvent{}))
      << "a cut-off worker must not record";
  EXPECT_EQ(ledger.Begin('J', 6), nullptr) << "a worker began after the close";
  EXPECT_EQ(ledger.Begin('K', 7), nullptr) << "a cut-off disk's worker began";
  EXPECT_EQ(ledger.Open('L', 8), nullptr) << "a worker started after the close";
  EXPECT_TRUE(ledger.Close(now).empty());
}

}  // namespace
}  // namespace kx20

namespace kx20 {
namespace {

// A disk produced again carries the number of its first pass in its
// record; a disk whose table was never programmed carries none.
TEST(ProductionRecords, ADiskProducedAgainNamesItsPreviousSerial) {
  FarmLayout layout = DefaultFarmLayout();
  layout.disks.resize(3);
  layout.disks[2].faults.tableEcho = true;  // its table is written, but fails the compare
  ProductionRig rig(layout, "OTHER:RWTest=0\n");
  std::mutex mutex;
  std::map<char, VerdictEvent> events;
  rig.env().recordVerdict = [&](const VerdictEvent& e) {
    std::lock_guard<std::mutex> lock(mutex);
    events[e.driveLetter] = e;
  };
  rig.RunBatch(Letters(layout));
  const std::map<char, VerdictEvent> first = events;
  const std::uint32_t echoedTable = SerialOfTable(rig.farm().Disk('G')->StoredConfigTable());
  for (const auto& [letter, e] : first) {
    SCOPED_TRACE(std::string(1, letter));
    EXPECT_FALSE(e.previousSerial.has_value()) << "a new disk named " << *e.previousSerial;
  }
  ASSERT_TRUE(first.at('E').passed);
  ASSERT_TRUE(first.at('F').passed);

  rig.RunBatch(Letters(layout));  // the same disks again
  for (char letter : {'E', 'F'}) {
    SCOPED_TRACE(std::string(1, letter));
    const VerdictEvent& again = events.at(letter);
    ASSERT_TRUE(again.previousSerial.has_value());
    EXPECT_EQ(*again.previousSerial, first.at(letter).serialNumber);
    EXPECT_NE(again.serialNumber, first.at(letter).serialNumber);
  }
  // The disk whose table never matched still carries a readable table of
  // this system (the one it was sent, bar the altered byte): that number.
  ASSERT_TRUE(events.at('G').previousSerial.has_value());
  EXPECT_NE(echoedTable, 0u);
  EXPECT_EQ(*events.at('G').previousSerial, echoedTable);

  // The lines say the same: six objects, the last three with the numbers.
  const std::vector<nlohmann::json> lines = RecordLines(rig.dir());
  ASSERT_EQ(lines.size(), 6u);
  for (std::size_t i = 0; i < 3; ++i) EXPECT_FALSE(lines[i].contains("previous_serial")) << lines[i];
  std::map<std::string, std::uint32_t> previous;
  for (std::size_t i = 3; i < 6; ++i) {
    ASSERT_TRUE(lines[i].contains("previous_serial")) << lines[i];
    previous[lines[i]["letter"].get<std::string>()] = lines[i]["previous_serial"].get<std::uint32_t>();
  }
  EXPECT_EQ(previous["E"], first.at('E').serialNumber);
  EXPECT_EQ(previous["F"], first.at('F').serialNumber);
}

std::int64_t EpochMs(const CalendarTime& t) { return CalendarToEpochMs(t); }

// Each step begins where the one before it ends, so the steps cover the
// disk's whole pass; the rates are those of the disk (the simulated disk
// paces its transfers on the virtual clock).
TEST(ProductionRecords, StepsCoverThePassAndRatesFollowTheDisk) {
  struct Case {
    const char* name;
    std::function<void(SimDiskConfig&)> setUp;
    std::vector<std::string> steps;
    const char* failedStep;
  };
  const std::vector<std::string> all = {"config_check", "erase", "table", "capacity", "rw_test", "image"};
  const Case cases[] = {
      {"pass", [](SimDiskConfig&) {}, all, ""},
      {"read/write test fails", [](SimDiskConfig& d) { d.faults.badSectors = {2000}; },
       {"config_check", "erase", "table", "capacity", "rw_test"}, "rw_test"},
      {"capacity fails", [](SimDiskConfig& d) { d.faults.capacity = true; },
       {"config_check", "erase", "table", "capacity"}, "capacity"},
      {"table compare fails", [](SimDiskConfig& d) { d.faults.tableEcho = true; },
       {"config_check", "erase", "table"}, "table"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FarmLayout layout = DefaultFarmLayout();
    layout.busMbps = 0;
    layout.disks.resize(1);
    layout.disks[0].writeMbps = 10;
    layout.disks[0].readMbps = 20;
    c.setUp(layout.disks[0]);
    ProductionRig rig(layout, "OTHER:EraseFlash=1\nOTHER:RWValue=20\n");
    std::vector<VerdictEvent> events;
    rig.env().recordVerdict = [&](const VerdictEvent& e) { events.push_back(e); };
    rig.RunBatch({'E'});
    ASSERT_EQ(events.size(), 1u);
    const VerdictEvent& e = events[0];
    EXPECT_EQ(e.passed, c.failedStep[0] == '\0') << e.errorCode;
    EXPECT_EQ(e.failedStep, c.failedStep);
    std::vector<std::string> names;
    for (const StepTiming& s : e.steps) names.push_back(s.step);
    EXPECT_EQ(names, c.steps);
    ASSERT_FALSE(e.steps.empty());
    EXPECT_EQ(e.steps.front().startedUtc, e.startedUtc);
    std::int64_t sum = 0;
    for (std::size_t i = 0; i < e.steps.size(); ++i) {
      sum += e.steps[i].durationMs;
      if (i + 1 < e.steps.size()) {
        EXPECT_EQ(EpochMs(e.steps[i].startedUtc) + e.steps[i].durationMs, EpochMs(e.steps[i + 1].startedUtc))
            << e.steps[i].step;
      }
    }
    EXPECT_EQ(sum, EpochMs(e.finishedUtc) - EpochMs(e.startedUtc));
    // The steps with their pauses take what they must: the erase at least its
    // two pauses, the capacity step its 2000 ms pause.
    if (names.size() > 1) {
      EXPECT_GE(e.steps[1].durationMs, 3000u);
    }
    if (names.size() > 3) {
      EXPECT_GE(e.steps[3].durationMs, 2000u);
    }
    if (c.failedStep == std::string("") || c.failedStep == std::string("rw_test")) {
      ASSERT_TRUE(e.rwWriteMBps && e.rwReadMBps);
      EXPECT_NEAR(*e.rwWriteMBps, 10.0, 1.0);
      EXPECT_NEAR(*e.rwReadMBps, 20.0, 2.0);
    } else {
      EXPECT_FALSE(e.rwWriteMBps || e.rwReadMBps);
    }
    if (c.failedStep == std::string("")) {
      ASSERT_TRUE(e.imageWriteMBps);
      EXPECT_NEAR(*e.imageWriteMBps, 10.0, 1.0);  // the writes alone, not the verify pauses
    } else {
      EXPECT_FALSE(e.imageWriteMBps);
    }
  }
}

// produce.jsonl holds one line per produce.log record, in the same order,
// naming its record's section, with the same number, result and error.
TEST(ProductionRecords, TheRecordLinesAgreeWithProduceLog) {
  FarmLayout layout = DefaultFarmLayout();
  layout.disks.resize(6);
  layout.disks[1].faults.capacity = true;
  layout.disks[2].flashInfo[0] = 0;  // configuration check
  layout.disks[3].faults.tableEcho = true;
  layout.disks[4].faults.badSectors = {2000};
  layout.disks[5].faults.noProbe = true;  // no verdict, no record
  ProductionRig rig(layout, "OTHER:RWValue=5\n");
  rig.env().lot = "L1";
  rig.env().operatorName = "OP-07";
  rig.RunBatch(Letters(layout));
  const auto records = rig.LogRecords();
  const std::vector<nlohmann::json> lines = RecordLines(rig.dir());
  ASSERT_EQ(records.size(), 5u);
  ASSERT_EQ(lines.size(), records.size());
  std::set<std::string> recipes;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const nlohmann::json& j = lines[i];
    const auto& r = records[i];
    SCOPED_TRACE(j.dump());
    EXPECT_EQ(j["log_section"], r.at("[section]"));
    EXPECT_EQ(j["result"], r.at("Result"));
    EXPECT_EQ(j.value("error", std::string()), r.at("Error Code"));
    if (r.at("Result") == "Pass") {
      char serial[16];
      std::snprintf(serial, sizeof serial, "%08u", j["serial"].get<std::uint32_t>());
      EXPECT_EQ(serial, r.at("Serial Number"));
      EXPECT_FALSE(j.contains("failed_step"));
    } else {
      EXPECT_TRUE(j.contains("failed_step"));
    }
    EXPECT_EQ(j["lot"], "L1");
    EXPECT_EQ(j["operator"], "OP-07");
    EXPECT_EQ(j["schema"], 1);
    recipes.insert(j["recipe"].get<std::string>());
  }
  EXPECT_EQ(recipes.size(), 1u);  // one settings file, one recipe, whatever the numbers
}

}  // namespace
}  // namespace kx20
