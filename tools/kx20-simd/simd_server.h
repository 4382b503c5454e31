// The TCP side of kx20-simd: a listening socket, one thread per connection,
// and a clean stop that closes every connection and waits for its thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "sim/iscsi/iscsi_connection.h"

namespace kx20 {

class SimdServer {
 public:
  SimdServer(const iscsi::TargetSet& targets, iscsi::LogSink log, bool trace = false);
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
    int fd = -1;
    std::thread thread;
    std::atomic<bool> done{false};
  };
  void Reap(bool all);

  const iscsi::TargetSet& targets_;
  iscsi::LogSink log_;
  int listenFd_ = -1;
  std::string address_;
  std::mutex mutex_;
  std::list<std::unique_ptr<Session>> sessions_;
  std::uint16_t nextTsih_ = 1;
  bool trace_ = false;
};

}  // namespace kx20
