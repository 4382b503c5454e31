// kx20-simd: serves a simulated disk farm as iSCSI targets, one target per
// drive letter ("iqn.2026-12.kx20.sim:e" for E:), the disk as LUN 0. Every
// SCSI command goes to the same simulated controller as the station's --sim.
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <unistd.h>
#include <vector>

#include "common/clock.h"
#include "common/version.h"
#include "sim/farm.h"
#include "sim/farm_file.h"
#include "simd_server.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

int gStopPipe[2] = {-1, -1};

void OnSignal(int) {
  const char c = 1;
  const ssize_t ignored = write(gStopPipe[1], &c, 1);
  (void)ignored;
}

void PrintUsage(std::FILE* out) {
  std::fprintf(out,
               "usage: kx20-simd [--sim | --sim=FARM] [--listen ADDR:PORT] [--ready-file FILE] [--trace]\n"
               "\n"
               "Serves a simulated disk farm as iSCSI targets: one target per drive letter,\n"
               "named iqn.2026-12.kx20.sim:<letter> (lower case), with the disk as LUN 0.\n"
               "\n"
               "  --sim              the default farm (ten disks on E: to N:, data in memory)\n"
               "  --sim=FARM         the farm described by the file FARM\n"
               "  --listen ADDR:PORT where to listen (default 127.0.0.1:3260; port 0: any free port)\n"
               "  --ready-file FILE  once listening, write the bound ADDR:PORT to FILE\n"
               "  --trace            log every SCSI command with its outcome\n"
               "  --help             this text\n"
               "  --version          the program's version\n"
               "\n"
               "Logins, logouts and injected faults are logged on standard error, one line each.\n"
               "SIGINT or SIGTERM closes every connection and flushes the disks.\n");
}

bool SplitListen(const std::string& value, std::string& host, std::uint16_t& port) {
  const auto colon = value.rfind(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 >= value.size()) return false;
  host = value.substr(0, colon);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  const std::string p = value.substr(colon + 1);
  if (p.size() > 5 || p.find_first_not_of("0123456789") != std::string::npos) return false;
  const unsigned long n = std::stoul(p);
  if (n > 65535) return false;
  port = static_cast<std::uint16_t>(n);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::string farmFile;
  bool simGiven = false;
  std::string listen = "127.0.0.1:3260";
  std::string readyFile;
  bool trace = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&](const char* name, std::string& out) {
      const std::string prefix = std::string(name) + "=";
      if (a == name) {
        if (i + 1 >= argc) return false;
        out = argv[++i];
        return true;
      }
      out = a.substr(prefix.size());
      return true;
    };
    if (a == "--help" || a == "-h") {
      PrintUsage(stdout);
      return kExitOk;
    } else if (a == "--version") {
      std::printf("kx20-simd %s\n", kx20::kVersion);
      return kExitOk;
    } else if (a == "--sim" || a.rfind("--sim=", 0) == 0) {
      if (simGiven) {
        std::fprintf(stderr, "kx20-simd: --sim given more than once\n");
        return kExitUsage;
      }
      simGiven = true;
      if (a != "--sim") farmFile = a.substr(6);
      if (a != "--sim" && farmFile.empty()) {
        std::fprintf(stderr, "kx20-simd: --sim= needs a farm file name\n");
        return kExitUsage;
      }
    } else if (a == "--trace") {
      trace = true;
    } else if (a == "--listen" || a.rfind("--listen=", 0) == 0) {
      if (!value("--listen", listen)) {
        std::fprintf(stderr, "kx20-simd: --listen needs ADDR:PORT\n");
        return kExitUsage;
      }
    } else if (a == "--ready-file" || a.rfind("--ready-file=", 0) == 0) {
      if (!value("--ready-file", readyFile)) {
        std::fprintf(stderr, "kx20-simd: --ready-file needs a file name\n");
        return kExitUsage;
      }
    } else {
      std::fprintf(stderr, "kx20-simd: unknown argument '%s'\n\n", a.c_str());
      PrintUsage(stderr);
      return kExitUsage;
    }
  }
  std::string host;
  std::uint16_t port = 0;
  if (!SplitListen(listen, host, port)) {
    std::fprintf(stderr, "kx20-simd: --listen %s: expected ADDR:PORT (e.g. 127.0.0.1:3260)\n", listen.c_str());
    return kExitUsage;
  }

  kx20::FarmLayout layout = kx20::DefaultFarmLayout();
  std::string error;
  if (!farmFile.empty() && !kx20::LoadFarmFile(farmFile, layout, error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return kExitUsage;
  }
  auto clock = kx20::MakeSystemClock();
  auto farm = kx20::SimFarm::Create(layout, *clock, &error);
  if (!farm) {
    std::fprintf(stderr, "kx20-simd: %s\n", error.c_str());
    return kExitFailure;
  }
  kx20::iscsi::TargetSet targets;
  for (char letter : farm->Letters()) targets.Add(farm->Disk(letter));

  std::mutex logMutex;
  auto log = [&logMutex](const std::string& line) {
    const auto now = std::chrono::system_clock::now();
    const std::time_t t = std::chrono::system_clock::to_time_t(now);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", &tm);
    std::lock_guard<std::mutex> lock(logMutex);
    std::fprintf(stderr, "%s kx20-simd: %s\n", stamp, line.c_str());
    std::fflush(stderr);
  };

  kx20::SimdServer server(targets, log, trace);
  if (!server.Listen(host, port, error)) {
    std::fprintf(stderr, "kx20-simd: %s\n", error.c_str());
    return kExitUsage;
  }
  if (pipe2(gStopPipe, O_CLOEXEC) != 0) {
    std::fprintf(stderr, "kx20-simd: pipe: %s\n", std::strerror(errno));
    return kExitFailure;
  }
  struct sigaction sa{};
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);

  log("listening on " + server.Address() + ", " + std::to_string(farm->Letters().size()) + " targets");
  if (!readyFile.empty()) {
    std::ofstream ready(readyFile + ".tmp");
    ready << server.Address() << "\n";
    ready.close();
    std::rename((readyFile + ".tmp").c_str(), readyFile.c_str());
  }
  server.Run(gStopPipe[0]);
  farm.reset();  // closes (and so flushes) every backing file
  log("stopped");
  return kExitOk;
}
