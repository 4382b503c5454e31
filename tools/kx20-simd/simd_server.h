// The TCP side of kx20-simd: a listening socket, one thread per connection
// within limits (in total and per peer address), and a clean stop that
// closes every connection and waits for its thread.
//
// Whatever a client does, it costs at most its own connection: a refused
// connection is closed at once with a log line, a thread that cannot be
// started refuses that one connection, and nothing a connection's thread
// throws leaves it.
#pragma once

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>

#include "sim/iscsi/iscsi_connection.h"

namespace kx20 {

struct SimdOptions {
  bool trace = false;
  std::size_t maxConnections = 64;  // open at once, in total
  std::size_t maxPerPeer = 16;      // open at once from one address
  std::chrono::milliseconds loginTimeout{15000};
  std::chrono::milliseconds idleTimeout{60000};
  const iscsi::ChapSecret* chap = nullptr;  // null: no authentication
};

class SimdServer {
 public:
  SimdServer(const iscsi::TargetSet& targets, iscsi::LogSink log, SimdOptions options = {});
  ~SimdServer();
  SimdServer(const SimdServer&) = delete;
  SimdServer& operator=(const SimdServer&) = delete;

  // Binds and listens on `host`:`port` (port 0: any free port). False with a
  // message when the address is bad or taken.
  bool Listen(const std::string& host, std::uint16_t port, std::string& error);
  // The address actually bound ("127.0.0.1:3260").
  const std::string& Address() const { return address_; }

  // Accepts connections until `stopFd` becomes readable (a pipe the signal
  // handler writes to), then closes every connection and joins its thread.
  void Run(int stopFd);

  // Connections being served now.
  std::size_t ConnectionCount();

 private:
  struct Session {
    SimdServer* server = nullptr;
    int fd = -1;
    std::string host;  // the peer's address without the port
    iscsi::ConnectionConfig config;
    pthread_t thread{};
    bool started = false;
    std::atomic<bool> done{false};
  };
  static void* ThreadMain(void* session);
  void Serve(Session& session) noexcept;
  void Accept();
  // Closes `fd` and logs why (at most a few lines a second; the rest are
  // counted and reported in one line).
  void Refuse(int fd, const std::string& peer, const std::string& why);
  void FlushRefusals(bool force);
  void Reap(bool all);

  const iscsi::TargetSet& targets_;
  iscsi::LogSink log_;
  SimdOptions options_;
  int listenFd_ = -1;
  std::string address_;
  std::mutex mutex_;
  std::list<std::unique_ptr<Session>> sessions_;
  std::uint16_t nextTsih_ = 1;
  // Refusal lines in the current second, and those left unlogged.
  std::chrono::steady_clock::time_point refusalWindow_{};
  int refusalLines_ = 0;
  std::uint64_t refusalsUnlogged_ = 0;
  // A failed accept (out of descriptors, memory) is logged once a second.
  std::chrono::steady_clock::time_point lastAcceptError_{};
};

// Whether `host` (an address as given to --listen) is on the loopback
// network, reachable from this machine only.
bool IsLoopbackAddress(const std::string& host);

}  // namespace kx20
