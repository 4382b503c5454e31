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
#include <malloc.h>
#include <fstream>
#include <sys/stat.h>
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
               "                 [--chap-user NAME --chap-secret-file FILE] [--max-connections N]\n"
               "                 [--max-per-peer N] [--login-timeout S] [--idle-timeout S]\n"
               "\n"
               "Serves a simulated disk farm as iSCSI targets: one target per drive letter,\n"
               "named iqn.2026-12.kx20.sim:<letter> (lower case), with the disk as LUN 0.\n"
               "\n"
               "  --sim              the default farm (ten disks on E: to N:, data in memory)\n"
               "  --sim=FARM         the farm described by the file FARM\n"
               "  --listen ADDR:PORT where to listen (default 127.0.0.1:3260; port 0: any free port)\n"
               "  --ready-file FILE  once listening, write the bound ADDR:PORT to FILE\n"
               "  --trace            log every SCSI command with its outcome\n"
               "  --chap-user NAME   every login must pass CHAP (MD5) as NAME ...\n"
               "  --chap-secret-file FILE\n"
               "                     ... with the secret in FILE (its first line, 12 characters\n"
               "                     or more); without these two, no authentication\n"
               "  --max-connections N  connections open at once, in total (default 64)\n"
               "  --max-per-peer N   connections open at once from one address (default 16)\n"
               "  --login-timeout S  a login must complete within S seconds (default 15)\n"
               "  --idle-timeout S   a session silent for S seconds is pinged (NOP-In), and\n"
               "                     dropped after S more without an answer (default 60)\n"
               "  --help             this text\n"
               "  --version          the program's version\n"
               "\n"
               "Logins, logouts, injected faults and refused or dropped connections are logged\n"
               "on standard error, one line each. Seconds may have a fraction (0.5); 0 turns a\n"
               "timeout off. Listening beyond the loopback network without CHAP is warned about.\n"
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

// A count of at least 1.
bool ParseCount(const std::string& text, std::size_t& out) {
  if (text.empty() || text.size() > 6 || text.find_first_not_of("0123456789") != std::string::npos) return false;
  out = std::stoul(text);
  return out >= 1;
}

// Seconds with an optional fraction, 0 to one day.
bool ParseSeconds(const std::string& text, std::chrono::milliseconds& out) {
  if (text.empty() || text.find_first_not_of("0123456789.") != std::string::npos ||
      text.find('.') != text.rfind('.') || text == ".") {
    return false;
  }
  const double s = std::stod(text);
  if (s > 86400) return false;
  out = std::chrono::milliseconds(static_cast<long long>(s * 1000 + 0.5));
  return true;
}

// The secret is the file's first line. False with a message when it cannot
// be read or is too short to resist guessing.
bool ReadSecret(const std::string& file, std::string& secret, std::string& error) {
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    error = "--chap-secret-file " + file + ": " + std::strerror(errno);
    return false;
  }
  std::getline(in, secret);
  if (!secret.empty() && secret.back() == '\r') secret.pop_back();
  if (secret.size() < 12) {
    error = "--chap-secret-file " + file + ": the secret must be at least 12 characters (it has " +
            std::to_string(secret.size()) + ")";
    return false;
  }
  if (secret.size() > 255) {
    error = "--chap-secret-file " + file + ": the secret must be at most 255 characters";
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::string farmFile;
  bool simGiven = false;
  std::string listen = "127.0.0.1:3260";
  std::string readyFile;
  std::string chapUser;
  std::string chapSecretFile;
  kx20::SimdOptions options;
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
      options.trace = true;
    } else if (a == "--chap-user" || a.rfind("--chap-user=", 0) == 0) {
      if (!value("--chap-user", chapUser) || chapUser.empty() || chapUser.size() > 255) {
        std::fprintf(stderr, "kx20-simd: --chap-user needs a name (1 to 255 characters)\n");
        return kExitUsage;
      }
    } else if (a == "--chap-secret-file" || a.rfind("--chap-secret-file=", 0) == 0) {
      if (!value("--chap-secret-file", chapSecretFile) || chapSecretFile.empty()) {
        std::fprintf(stderr, "kx20-simd: --chap-secret-file needs a file name\n");
        return kExitUsage;
      }
    } else if (a == "--max-connections" || a.rfind("--max-connections=", 0) == 0 || a == "--max-per-peer" ||
               a.rfind("--max-per-peer=", 0) == 0) {
      const bool total = a.rfind("--max-connections", 0) == 0;
      const char* name = total ? "--max-connections" : "--max-per-peer";
      std::string text;
      if (!value(name, text) || !ParseCount(text, total ? options.maxConnections : options.maxPerPeer)) {
        std::fprintf(stderr, "kx20-simd: %s needs a number from 1 to 999999\n", name);
        return kExitUsage;
      }
    } else if (a == "--login-timeout" || a.rfind("--login-timeout=", 0) == 0 || a == "--idle-timeout" ||
               a.rfind("--idle-timeout=", 0) == 0) {
      const bool login = a.rfind("--login-timeout", 0) == 0;
      const char* name = login ? "--login-timeout" : "--idle-timeout";
      std::string text;
      if (!value(name, text) || !ParseSeconds(text, login ? options.loginTimeout : options.idleTimeout)) {
        std::fprintf(stderr, "kx20-simd: %s needs seconds from 0 to 86400 (e.g. 15 or 0.5)\n", name);
        return kExitUsage;
      }
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

  // Large transfer buffers come from their own mappings and go back to the
  // system when freed: a write's buffer grows burst by burst, and with the
  // allocator's sliding threshold the buffers it outgrew would stay resident.
  mallopt(M_MMAP_THRESHOLD, 1024 * 1024);

  std::string error;
  kx20::iscsi::ChapSecret chap;
  if (chapUser.empty() != chapSecretFile.empty()) {
    std::fprintf(stderr, "kx20-simd: --chap-user and --chap-secret-file go together\n");
    return kExitUsage;
  }
  if (!chapUser.empty()) {
    chap.user = chapUser;
    if (!ReadSecret(chapSecretFile, chap.secret, error)) {
      std::fprintf(stderr, "kx20-simd: %s\n", error.c_str());
      return kExitUsage;
    }
    options.chap = &chap;
  }

  kx20::FarmLayout layout = kx20::DefaultFarmLayout();
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

  kx20::SimdServer server(targets, log, options);
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

  log("listening on " + server.Address() + ", " + std::to_string(farm->Letters().size()) + " targets" +
      (options.chap ? ", CHAP required (user " + chap.user + ")" : ""));
  if (!options.chap && !kx20::IsLoopbackAddress(host)) {
    log("warning: serving beyond this machine without authentication: any host that reaches " +
        server.Address() + " can read and write the disks (use --chap-user and --chap-secret-file)");
  }
  if (options.chap) {
    struct stat st{};
    if (stat(chapSecretFile.c_str(), &st) == 0 && (st.st_mode & 077) != 0) {
      log("warning: " + chapSecretFile + " can be read by other users (chmod 600 it)");
    }
  }
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
