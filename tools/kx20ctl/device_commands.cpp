// kx20ctl device subcommands: one discovery pass, and single commands on one
// disk with the status and the reply laid out for a service engineer.
//
//   kx20ctl inquiry E --sim
//   kx20ctl flash-info F --sim=bench.ini
//   kx20ctl capacity E --drive E=/dev/sg2
#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "app/device_options.h"
#include "app/memory_console_view.h"
#include "app/slot_table.h"
#include "common/clock.h"
#include "device/device_session.h"
#include "subcommand.h"

namespace kx20::ctl {
namespace {

// Prints `size` bytes as 16-byte hex lines with an ASCII column; runs of
// identical lines collapse into one "*" line, as hexdump does.
void HexDump(const std::uint8_t* data, std::size_t size) {
  bool starred = false;
  for (std::size_t at = 0; at < size; at += 16) {
    const std::size_t n = std::min<std::size_t>(16, size - at);
    if (at > 0 && at + 16 <= size && std::equal(data + at, data + at + 16, data + at - 16)) {
      if (!starred) std::printf("  *\n");
      starred = true;
      continue;
    }
    starred = false;
    std::printf("  %04zx ", at);
    for (std::size_t i = 0; i < 16; ++i) {
      if (i == 8) std::printf(" ");
      if (i < n) {
        std::printf(" %02X", data[at + i]);
      } else {
        std::printf("   ");
      }
    }
    std::printf("  |");
    for (std::size_t i = 0; i < n; ++i) {
      const unsigned char c = data[at + i];
      std::printf("%c", c >= 0x20 && c < 0x7F ? c : '.');
    }
    std::printf("|\n");
  }
  if (starred) std::printf("  %04zx\n", size);
}

std::string Printable(const std::uint8_t* p, std::size_t n) {
  std::string s;
  for (std::size_t i = 0; i < n; ++i) s += (p[i] >= 0x20 && p[i] < 0x7F) ? static_cast<char>(p[i]) : '.';
  return s;
}

// The shared front part of the single-disk commands: device options plus one
// drive letter, and "--force" where `force` is given. Returns 0 and fills
// the outputs, or the usage exit code.
int ParseOneDisk(const char* command, std::vector<std::string> args, DeviceOptions& options,
                 char& letter, bool* force = nullptr) {
  if (force != nullptr) {
    const auto it = std::find(args.begin(), args.end(), "--force");
    *force = it != args.end();
    if (*force) args.erase(it);
  }
  std::string error;
  if (!ParseDeviceOptions(args, options, error)) {
    std::fprintf(stderr, "kx20ctl %s: %s\n", command, error.c_str());
    return kExitUsage;
  }
  if (args.size() != 1) {
    std::fprintf(stderr, "usage: kx20ctl %s %s%s L\n", command, kDeviceOptionsUsage,
                 force != nullptr ? " [--force]" : "");
    return kExitUsage;
  }
  std::string text = args[0];
  if (text.size() == 2 && text[1] == ':') text.pop_back();
  if (text.size() != 1 || !std::isalpha(static_cast<unsigned char>(text[0]))) {
    std::fprintf(stderr, "kx20ctl %s: '%s' is not a drive letter (A to Z)\n", command, args[0].c_str());
    return kExitUsage;
  }
  letter = static_cast<char>(std::toupper(static_cast<unsigned char>(text[0])));
  return kExitOk;
}

Clock& ToolClock() {
  static std::unique_ptr<Clock> clock = MakeSystemClock();
  return *clock;
}

std::unique_ptr<PassThroughPort> OpenPort(const char* command, const DeviceOptions& options) {
  std::string error;
  auto port = OpenDevicePort(options, ToolClock(), error);
  if (!port) std::fprintf(stderr, "kx20ctl %s: %s\n", command, error.c_str());
  return port;
}

int Report(const char* command, char letter, DeviceStatus status, std::uint32_t osError) {
  std::printf("%s %c: status %u %s", command, letter, static_cast<unsigned>(status),
              DeviceStatusName(status));
  if (status == DevOsFailure) std::printf(" (OS error %u)", static_cast<unsigned>(osError));
  std::printf("\n");
  return status == DevOk ? kExitOk : kExitFailed;
}

// Vendor commands and writes go to target disks only: a disk whose INQUIRY
// vendor is not "VYN" (a card reader, a system disk, any other make) may
// take a vendor operation code as something destructive. Returns kExitOk
// when the command may go ahead, else prints why and returns kExitUsage.
int RefuseNonTarget(const char* command, DeviceSession& session, char letter, bool force) {
  std::uint8_t reply[kInquiryLength] = {};
  const DeviceStatus status = session.Inquiry(letter, reply);
  if (status == DevOk && IsTargetInquiry(reply)) return kExitOk;
  if (status == DevOpenFailed) return Report(command, letter, status, 0);  // nothing was sent
  const std::string why = status == DevOk
                              ? "its INQUIRY vendor is \"" + Printable(reply + 8, 8) + "\", not \"VYN\""
                              : std::string("its INQUIRY failed (status ") + std::to_string(status) + " " +
                                    DeviceStatusName(status) + ")";
  if (force) {
    std::fprintf(stderr, "kx20ctl %s: drive %c: %s; sending anyway (--force)\n", command, letter, why.c_str());
    return kExitOk;
  }
  std::fprintf(stderr,
               "kx20ctl %s: drive %c: is not a target disk: %s. Refusing to send it vendor commands; "
               "--force overrides.\n",
               command, letter, why.c_str());
  return kExitUsage;
}

// A disk a station is producing gets no vendor command from here: the
// command claims the disk as a station's worker does. Null (with the reason
// printed) when another station holds it.
std::unique_ptr<DiskClaim> ClaimForCommand(const char* command, PassThroughPort& port, char letter) {
  DiskClaimResult result = port.ClaimDisk(letter, std::string("kx20ctl ") + command);
  if (!result.claim) std::fprintf(stderr, "kx20ctl %s: %s\n", command, result.refusal.c_str());
  return std::move(result.claim);
}

int RunInquiry(const std::vector<std::string>& args) {
  DeviceOptions options;
  char letter = 0;
  if (int rc = ParseOneDisk("inquiry", args, options, letter); rc != kExitOk) return rc;
  auto port = OpenPort("inquiry", options);
  if (!port) return kExitUsage;
  DeviceSession session(*port);
  std::uint8_t reply[kInquiryLength] = {};
  const DeviceStatus status = session.Inquiry(letter, reply);
  const int rc = Report("inquiry", letter, status, session.lastError);
  if (status == DevOk) {
    std::printf("  vendor  \"%s\"%s\n", Printable(reply + 8, 8).c_str(),
                std::string(reinterpret_cast<char*>(reply + 8), 3) == "VYN" ? "  (target disk)" : "");
    std::printf("  product \"%s\"  slot text \"%s\" (bytes 24-27)\n", Printable(reply + 16, 16).c_str(),
                Printable(reply + 24, 4).c_str());
    HexDump(reply, sizeof reply);
  }
  return rc;
}

// The station's own probe (10 s, true when the controller accepted it).
int RunProbe(const std::vector<std::string>& args) {
  DeviceOptions options;
  char letter = 0;
  bool force = false;
  if (int rc = ParseOneDisk("probe", args, options, letter, &force); rc != kExitOk) return rc;
  auto port = OpenPort("probe", options);
  if (!port) return kExitUsage;
  const auto claim = ClaimForCommand("probe", *port, letter);
  if (!claim) return kExitFailed;
  DeviceSession session(*port);
  if (int rc = RefuseNonTarget("probe", session, letter, force); rc != kExitOk) return rc;
  if (!session.Open(letter)) {
    std::printf("probe %c: drive did not open (status 2 DevOpenFailed)\n", letter);
    return kExitFailed;
  }
  std::uint16_t statusWord = 0;
  std::uint32_t osError = 0;
  const bool answered = session.ProbeController(statusWord, &osError);
  session.Close();
  std::printf("probe %c: controller %s", letter, answered ? "answered the probe" : "did not answer the probe");
  if (statusWord == 2) std::printf(" (request failed at OS level, OS error %u)", static_cast<unsigned>(osError));
  std::printf("\n");
  return answered ? kExitOk : kExitFailed;
}

int RunCapacity(const std::vector<std::string>& args) {
  DeviceOptions options;
  char letter = 0;
  if (int rc = ParseOneDisk("capacity", args, options, letter); rc != kExitOk) return rc;
  auto port = OpenPort("capacity", options);
  if (!port) return kExitUsage;
  DeviceSession session(*port);
  std::uint32_t lastLba = 0;
  const DeviceStatus status = session.ReadCapacity(lastLba, letter);
  const int rc = Report("capacity", letter, status, session.lastError);
  if (status == DevOk) {
    const std::uint64_t sectors = std::uint64_t{lastLba} + 1;
    std::printf("  last LBA %u (0x%08X): %llu sectors of 512 bytes, %.1f MB\n", static_cast<unsigned>(lastLba),
                static_cast<unsigned>(lastLba), static_cast<unsigned long long>(sectors),
                static_cast<double>(sectors) / 2048.0);
  }
  return rc;
}

const char* MakerText(std::uint8_t code) {
  switch (code) {
    case 0xC1:
    case 0x98:
    case 0xEC:
    case 0x04:
      return "known maker";
    case 0xFF:
      return "no chip";
    default:
      return "unknown maker code";
  }
}

void DescribeFlashInfo(const std::uint8_t* b) {
  static const int kChipMb[] = {4, 8, 16, 32, 64, 128, 128, 256, 512};
  auto chip = [&](int n, std::uint8_t maker, std::uint8_t index) {
    std::printf("  chip %d: maker %02X (%s), capacity index %u", n, maker, MakerText(maker), index);
    if (index <= 8) {
      std::printf(" = %d MB%s", kChipMb[index], index >= 6 ? ", 2 KB pages" : "");
    } else {
      std::printf(" (none)");
    }
    std::printf("\n");
  };
  std::printf("  status byte %02X%s, marker %02X %02X %02X %02X%s\n", b[0], b[0] == 1 ? "" : " (expected 01)",
              b[1], b[2], b[3], b[4], (b[1] | b[2] | b[3] | b[4]) ? "" : " (all zero)");
  chip(1, b[5], b[6]);
  chip(2, b[7], b[8]);
}

int RunVendorRead(const char* command, const std::vector<std::string>& args, bool flashInfo) {
  DeviceOptions options;
  char letter = 0;
  bool force = false;
  if (int rc = ParseOneDisk(command, args, options, letter, &force); rc != kExitOk) return rc;
  auto port = OpenPort(command, options);
  if (!port) return kExitUsage;
  const auto claim = ClaimForCommand(command, *port, letter);
  if (!claim) return kExitFailed;
  DeviceSession session(*port);
  if (int rc = RefuseNonTarget(command, session, letter, force); rc != kExitOk) return rc;
  std::uint8_t block[kVendorBlockSize] = {};
  std::uint32_t osError = 0;
  DeviceStatus status = DevOpenFailed;
  if (session.Open(letter)) {
    status = flashInfo ? session.ReadFlashInfo(block, sizeof block, &osError)
                       : session.ReadConfigTable(block, sizeof block, &osError);
  }
  const int rc = Report(command, letter, status, osError);
  if (status == DevOk) {
    if (flashInfo) DescribeFlashInfo(block);
    HexDump(block, sizeof block);
  }
  return rc;
}

int RunFlashInfo(const std::vector<std::string>& args) { return RunVendorRead("flash-info", args, true); }
int RunReadTable(const std::vector<std::string>& args) { return RunVendorRead("read-table", args, false); }

// One discovery pass as the station's timer runs it; prints the ten rows:
// row index, tab, image index, tab, row text.
int RunScan(const std::vector<std::string>& rawArgs) {
  std::vector<std::string> args = rawArgs;
  DeviceOptions options;
  std::string error;
  if (!ParseDeviceOptions(args, options, error)) {
    std::fprintf(stderr, "kx20ctl scan: %s\n", error.c_str());
    return kExitUsage;
  }
  if (!args.empty()) {
    std::fprintf(stderr, "usage: kx20ctl scan %s\n", kDeviceOptionsUsage);
    return kExitUsage;
  }
  auto port = OpenPort("scan", options);
  if (!port) return kExitUsage;
  SlotTable table;
  DiscoveryFlags flags;
  MemoryConsoleView view;
  SlotDiscovery discovery(*port, table, flags, view);
  discovery.ScanDevices();
  for (const std::string& line : port->DriveNotes()) {
    if (line.rfind("no letter:", 0) == 0) std::fprintf(stderr, "kx20ctl scan: %s\n", line.c_str());
  }
  const auto rows = view.Rows();
  for (std::size_t r = 0; r < rows.size(); ++r) {
    std::printf("%zu\t%d\t%s\n", r, rows[r].image, rows[r].text.c_str());
  }
  return kExitOk;
}

// The letter map as the port bound it, and devices that got no letter.
int RunDrives(const std::vector<std::string>& rawArgs) {
  std::vector<std::string> args = rawArgs;
  DeviceOptions options;
  std::string error;
  if (!ParseDeviceOptions(args, options, error)) {
    std::fprintf(stderr, "kx20ctl drives: %s\n", error.c_str());
    return kExitUsage;
  }
  if (!args.empty()) {
    std::fprintf(stderr, "usage: kx20ctl drives %s\n", kDeviceOptionsUsage);
    return kExitUsage;
  }
  auto port = OpenPort("drives", options);
  if (!port) return kExitUsage;
  const std::uint32_t drives = port->LogicalDrives();
  std::printf("letters:");
  for (int i = 0; i < 26; ++i) {
    if (drives & (1u << i)) std::printf(" %c:", 'A' + i);
  }
  std::printf("\n");
  for (const std::string& line : port->DriveNotes()) std::printf("  %s\n", line.c_str());
  return kExitOk;
}

}  // namespace

KX20CTL_SUBCOMMAND("drives", "[--sim[=FARM] | --drive L=DEV]",
                   "the drive letters and the device each is bound to; devices without a letter",
                   RunDrives);
KX20CTL_SUBCOMMAND("scan", "[--sim[=FARM] | --drive L=DEV]",
                   "one discovery pass: the ten slot rows (row, image, text)", RunScan);
KX20CTL_SUBCOMMAND("inquiry", "[--sim[=FARM] | --drive L=DEV] L",
                   "INQUIRY on drive L: vendor, product, slot text, reply bytes", RunInquiry);
KX20CTL_SUBCOMMAND("probe", "[--sim[=FARM] | --drive L=DEV] [--force] L",
                   "the station's controller probe on drive L (target disks only)", RunProbe);
KX20CTL_SUBCOMMAND("capacity", "[--sim[=FARM] | --drive L=DEV] L",
                   "READ CAPACITY on drive L: last LBA and size", RunCapacity);
KX20CTL_SUBCOMMAND("flash-info", "[--sim[=FARM] | --drive L=DEV] [--force] L",
                   "read the controller's flash information block of drive L (target disks only)",
                   RunFlashInfo);
KX20CTL_SUBCOMMAND("read-table", "[--sim[=FARM] | --drive L=DEV] [--force] L",
                   "read back the controller's configuration table of drive L (target disks only)",
                   RunReadTable);

}  // namespace kx20::ctl
