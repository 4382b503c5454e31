// SimDisk: one simulated USB flash disk with its controller. It answers every
// command the station sends (the standard block commands and the controller's
// vendor set) from a CDB, a direction and a data buffer, and keeps the disk's
// data sparse: only the 64 KB chunks that were written are stored, in memory
// or in a sparse file of the disk's full size.
//
// Thread safety: every public method takes the disk's own mutex, so several
// threads may drive the same disk (a worker and a discovery probe) or
// different disks at once.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "common/clock.h"

namespace kx20 {

class SimBus;

// Key / additional sense code / qualifier of a check condition.
struct SimSense {
  std::uint8_t key = 0;
  std::uint8_t asc = 0;
  std::uint8_t ascq = 0;
  bool operator==(const SimSense&) const = default;
};

// Faults injected into one disk (farm-file key "fault").
struct SimFaults {
  bool noOpen = false;         // opening the drive letter fails
  bool osFailure = false;      // every vendor command (F9h, DBh, D8h) fails at OS level
  bool osFailureAll = false;   // every request fails at OS level
  bool noProbe = false;        // the probe ends with check condition
  bool tableWrite = false;     // the configuration table write fails
  bool tableRead = false;      // the configuration table read-back fails
  bool tableEcho = false;      // read-back differs from the written table in bytes 8-511
  bool tableHeader = false;    // read-back differs only in bytes 0-7
  bool capacity = false;       // READ CAPACITY fails
  bool capacityZero = false;   // READ CAPACITY reports last LBA 0
  std::set<std::uint32_t> badSectors;        // reads of these sectors return altered data
  std::set<std::uint16_t> codeFlashBlocks;   // writes of these code-flash blocks fail
  std::optional<std::uint64_t> unplugAfter;  // the disk is gone after this many commands
  std::map<std::uint8_t, SimSense> senses;   // operation code -> forced check condition
  bool operator==(const SimFaults&) const = default;
};

inline constexpr std::uint32_t kSimDefaultLastLba = 262143;  // 128 MB
inline constexpr std::array<std::uint8_t, 9> kSimDefaultFlashInfo = {0x01, 0x11, 0x22, 0x33, 0x44,
                                                                    0xEC, 0x06, 0xFF, 0xFF};

// Everything that describes one simulated disk.
struct SimDiskConfig {
  char letter = 'E';
  std::string slot = "   1";   // INQUIRY bytes 24-27; shorter texts are right-aligned
  std::string vendor = "VYN";  // INQUIRY bytes 8-15, space padded
  std::uint32_t lastLba = kSimDefaultLastLba;
  std::array<std::uint8_t, 9> flashInfo = kSimDefaultFlashInfo;
  std::string backingFile;     // empty: data in memory; else the sparse file's path
  double readMbps = 0;         // 0: unlimited (MB = 1,000,000 bytes)
  double writeMbps = 0;
  bool systemDisk = false;     // a disk of another make (the host's own on C:): no vendor
                               // commands; reads and writes like any disk
  // When the disk is unplugged (unplug-after), the disk that arrives on the
  // freed device: a target disk reporting this slot text, or with
  // kSimForeignArrival a disk of another make. Empty: none arrives.
  std::string arrival;
  SimFaults faults;
  bool operator==(const SimDiskConfig&) const = default;
};

// How a request ended, as the transport reports it.
struct SimOutcome {
  bool carriedOut = true;        // false: failed at OS level
  std::uint32_t osError = 0;     // when !carriedOut
  std::uint8_t scsiStatus = 0;   // 0 good, 2 check condition
  SimSense sense;                // when scsiStatus == 2
  std::uint32_t bytesMoved = 0;
};

enum class SimSignal { None, Pass, Fail };

// How the simulated host gives drive letters to disks (farm key "host").
enum class SimHostStyle { kWindows, kLinux };

// Windows error codes the simulated transport reports.
inline constexpr std::uint32_t kSimErrorFileNotFound = 2;     // ERROR_FILE_NOT_FOUND
inline constexpr std::uint32_t kSimErrorAccessDenied = 5;     // ERROR_ACCESS_DENIED
inline constexpr std::uint32_t kSimErrorInvalidHandle = 6;    // ERROR_INVALID_HANDLE
inline constexpr std::uint32_t kSimErrorGenFailure = 31;      // ERROR_GEN_FAILURE
inline constexpr std::uint32_t kSimErrorInvalidParameter = 87;  // ERROR_INVALID_PARAMETER
inline constexpr std::uint32_t kSimErrorNotConnected = 1167;  // ERROR_DEVICE_NOT_CONNECTED

// Senses the simulated controller reports.
inline constexpr SimSense kSenseInvalidOpcode{0x05, 0x20, 0x00};
inline constexpr SimSense kSenseLbaOutOfRange{0x05, 0x21, 0x00};
inline constexpr SimSense kSenseInvalidField{0x05, 0x24, 0x00};
inline constexpr SimSense kSenseWriteProtected{0x07, 0x27, 0x00};
inline constexpr SimSense kSenseHardwareFailure{0x04, 0x44, 0x00};
inline constexpr SimSense kSenseControllerFailure{0x09, 0x80, 0x00};
inline constexpr SimSense kSenseMiscompare{0x0E, 0x1D, 0x00};

inline constexpr std::uint32_t kSimChunkSize = 65536;
inline constexpr const char* kSimForeignArrival = "foreign";
inline constexpr std::uint32_t kSimCodeFlashBlocks = 32;

// One command as the disk received it, for tests that check what was sent.
struct SimCommand {
  std::array<std::uint8_t, 16> cdb{};
  std::uint8_t cdbLength = 0;
  bool dataIn = true;
  std::uint32_t length = 0;
};

class SimDisk {
 public:
  // `clock` serves the speed model and must outlive the disk; `bus` (may be
  // null) is the farm's shared bandwidth.
  SimDisk(const SimDiskConfig& config, Clock& clock, SimBus* bus = nullptr);
  ~SimDisk();
  SimDisk(const SimDisk&) = delete;
  SimDisk& operator=(const SimDisk&) = delete;

  // Opens or creates the backing file (sparse, (lastLba + 1) * 512 bytes; an
  // existing file keeps its data). False with a message on failure. Memory
  // disks need no attaching.
  bool Attach(std::string* error);

  const SimDiskConfig& Config() const { return config_; }
  char Letter() const { return config_.letter; }

  // Whether an open of the drive letter succeeds now (no-open, unplugged).
  bool CanOpen();
  // True once the disk has been unplugged (unplug-after).
  bool Unplugged();

  // Runs one command. `cdb` holds `cdbLength` bytes (at most 16); `data` is
  // the transfer buffer of `length` bytes (may be null when `length` is 0).
  SimOutcome Execute(const std::uint8_t* cdb, std::uint8_t cdbLength, bool dataIn,
                     std::uint8_t* data, std::uint32_t length);

  // --- Inspection -----------------------------------------------------------
  std::uint64_t CommandCount();
  // Every command received since the disk was made, by operation code
  // (unlike History, nothing is ever dropped), and the sectors that WRITE
  // commands carried to it.
  std::map<std::uint8_t, std::uint64_t> ReceivedOpcodes();
  std::uint64_t SectorsWritten();
  std::vector<SimCommand> History();   // the last kHistoryLimit commands, oldest first
  static constexpr std::size_t kHistoryLimit = 4096;
  std::array<std::uint8_t, 512> StoredConfigTable();
  bool ConfigTableWritten();
  SimSignal LastSignal();
  std::uint32_t EraseCount();
  std::vector<std::uint32_t> EraseAddresses();
  std::map<std::uint16_t, std::vector<std::uint8_t>> CodeFlashBlocks();
  std::optional<std::uint8_t> LastCodeFlashControlMode();
  // Stored sector contents (never altered by bad-sector faults).
  std::vector<std::uint8_t> ReadStored(std::uint32_t lba, std::uint32_t count);
  // Sets sector contents directly (tests and tools that prepare a disk).
  void WriteStored(std::uint32_t lba, const std::uint8_t* data, std::uint32_t count);
  // Number of 64 KB chunks that hold written data (memory disks).
  std::size_t StoredChunkCount();

 private:
  SimOutcome Run(const std::array<std::uint8_t, 16>& cdb, std::uint8_t cdbLength, bool dataIn,
                 std::uint8_t* data, std::uint32_t length);
  SimOutcome Standard(const std::array<std::uint8_t, 16>& cdb, std::uint8_t cdbLength, bool dataIn,
                      std::uint8_t* data, std::uint32_t length);
  SimOutcome Vendor(const std::array<std::uint8_t, 16>& cdb, bool dataIn, std::uint8_t* data,
                    std::uint32_t length);
  SimOutcome Transfer(bool write, std::uint32_t lba, std::uint32_t count, bool dataIn,
                      std::uint8_t* data, std::uint32_t length);
  void ReadData(std::uint64_t offset, std::uint8_t* out, std::size_t size);
  void WriteData(std::uint64_t offset, const std::uint8_t* in, std::size_t size);
  void Pace(std::uint64_t bytes, double mbps);
  // File-backed disks keep the controller's programmed state (configuration
  // table, code flash) in "<data file>.state" beside the data, so that it
  // survives the process like a real controller's flash does.
  void LoadState();
  void SaveState();

  SimDiskConfig config_;
  Clock& clock_;
  SimBus* bus_;
  std::mutex mutex_;
  std::uint64_t commandCount_ = 0;
  std::map<std::uint8_t, std::uint64_t> receivedOpcodes_;
  std::uint64_t sectorsWritten_ = 0;
  std::vector<SimCommand> history_;   // ring buffer
  std::size_t historyNext_ = 0;
  std::array<std::uint8_t, 512> configTable_{};
  bool configTableWritten_ = false;
  SimSignal lastSignal_ = SimSignal::None;
  std::vector<std::uint32_t> eraseAddresses_;
  std::map<std::uint16_t, std::vector<std::uint8_t>> codeFlash_;
  std::optional<std::uint8_t> codeFlashMode_;
  std::map<std::uint64_t, std::unique_ptr<std::uint8_t[]>> chunks_;  // memory backing
  std::fstream file_;                                                // file backing
  bool fileBacked_ = false;
  double paceDebtUs_ = 0;
};

// The farm-wide bandwidth shared by every disk's transfers (farm key
// "bus_mbps"): transfers queue for the bus one after another.
class SimBus {
 public:
  SimBus(double mbps, Clock& clock) : mbps_(mbps), clock_(clock) {}
  // Returns the microseconds from now until a transfer of `bytes` that starts
  // now has crossed the bus, and books the bus for it.
  double Book(std::uint64_t bytes);

 private:
  double mbps_;
  Clock& clock_;
  std::mutex mutex_;
  double freeAtUs_ = 0;
};

}  // namespace kx20
