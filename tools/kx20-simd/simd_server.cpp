#include "simd_server.h"

#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/uio.h>
#include <unistd.h>

#include <exception>
#include <map>
#include <new>

namespace kx20 {
namespace {

// A connection's thread needs little stack; a small one keeps many
// connections cheap in address space (a host with `ulimit -v` set).
constexpr std::size_t kThreadStack = 1024 * 1024;
// Refusals logged one by one in a second; the rest go into one line.
constexpr int kRefusalLinesPerSecond = 5;

std::string HostText(const sockaddr_storage& ss) {
  char host[INET6_ADDRSTRLEN] = "?";
  if (ss.ss_family == AF_INET) {
    inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(&ss)->sin_addr, host, sizeof host);
    return host;
  }
  inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(&ss)->sin6_addr, host, sizeof host);
  return host;
}

std::string AddressText(const sockaddr_storage& ss) {
  if (ss.ss_family == AF_INET) {
    return HostText(ss) + ":" + std::to_string(ntohs(reinterpret_cast<const sockaddr_in*>(&ss)->sin_port));
  }
  return "[" + HostText(ss) + "]:" + std::to_string(ntohs(reinterpret_cast<const sockaddr_in6*>(&ss)->sin6_port));
}

int MillisecondsUntil(std::chrono::steady_clock::time_point deadline) {
  if (deadline == std::chrono::steady_clock::time_point::max()) return -1;
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  if (left.count() <= 0) return 0;
  return left.count() > INT_MAX ? INT_MAX : static_cast<int>(left.count());
}

// Closes a descriptor unless it was handed on.
class FdGuard {
 public:
  explicit FdGuard(int fd) : fd_(fd) {}
  ~FdGuard() {
    if (fd_ >= 0) close(fd_);
  }
  FdGuard(const FdGuard&) = delete;
  FdGuard& operator=(const FdGuard&) = delete;
  int get() const { return fd_; }
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_;
};

class SocketStream final : public iscsi::PduStream {
 public:
  explicit SocketStream(int fd) : fd_(fd) {}

  bool WaitReadable(Deadline deadline) override {
    for (;;) {
      pollfd p{fd_, POLLIN, 0};
      const int n = poll(&p, 1, MillisecondsUntil(deadline));
      if (n < 0 && errno == EINTR) continue;
      return n != 0;  // readable, closed or failed: Read finds out which
    }
  }
  void SetReadDeadline(Deadline deadline) override {
    deadline_ = deadline;
    timedOut_ = false;
  }
  bool TimedOut() const override { return timedOut_; }

  bool Read(std::uint8_t* data, std::size_t size) override {
    while (size > 0) {
      if (deadline_ != Deadline::max() && !WaitReadable(deadline_)) {
        timedOut_ = true;
        return false;
      }
      const ssize_t n = recv(fd_, data, size, 0);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      data += n;
      size -= static_cast<std::size_t>(n);
    }
    return true;
  }

  // Bounded by the socket's send timeout (SO_SNDTIMEO): a client that stops
  // reading cannot hold the thread for good.
  bool Write(std::span<const std::uint8_t> header, std::span<const std::uint8_t> data) override {
    static const std::uint8_t kZeros[4] = {};
    iovec v[3];
    v[0] = {const_cast<std::uint8_t*>(header.data()), header.size()};
    v[1] = {const_cast<std::uint8_t*>(data.data()), data.size()};
    v[2] = {const_cast<std::uint8_t*>(kZeros), iscsi::PaddedLength(static_cast<std::uint32_t>(data.size())) - data.size()};
    int first = 0;
    const int count = 3;
    while (first < count) {
      msghdr m{};
      m.msg_iov = v + first;
      m.msg_iovlen = static_cast<std::size_t>(count - first);
      const ssize_t n = sendmsg(fd_, &m, MSG_NOSIGNAL);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return false;
      auto left = static_cast<std::size_t>(n);
      while (first < count && left >= v[first].iov_len) {
        left -= v[first].iov_len;
        ++first;
      }
      if (first < count) {
        v[first].iov_base = static_cast<std::uint8_t*>(v[first].iov_base) + left;
        v[first].iov_len -= left;
      }
    }
    return true;
  }

 private:
  int fd_;
  Deadline deadline_ = Deadline::max();
  bool timedOut_ = false;
};

}  // namespace

bool IsLoopbackAddress(const std::string& host) {
  in_addr a4{};
  if (inet_pton(AF_INET, host.c_str(), &a4) == 1) return (ntohl(a4.s_addr) >> 24) == 127;
  in6_addr a6{};
  if (inet_pton(AF_INET6, host.c_str(), &a6) == 1) return IN6_IS_ADDR_LOOPBACK(&a6);
  return false;
}

SimdServer::SimdServer(const iscsi::TargetSet& targets, iscsi::LogSink log, SimdOptions options)
    : targets_(targets), log_(std::move(log)), options_(options) {}

SimdServer::~SimdServer() {
  Reap(true);
  if (listenFd_ >= 0) close(listenFd_);
}

bool SimdServer::Listen(const std::string& host, std::uint16_t port, std::string& error) {
  sockaddr_storage ss{};
  socklen_t len = 0;
  if (auto* a4 = reinterpret_cast<sockaddr_in*>(&ss); inet_pton(AF_INET, host.c_str(), &a4->sin_addr) == 1) {
    a4->sin_family = AF_INET;
    a4->sin_port = htons(port);
    len = sizeof(sockaddr_in);
  } else if (auto* a6 = reinterpret_cast<sockaddr_in6*>(&ss);
             inet_pton(AF_INET6, host.c_str(), &a6->sin6_addr) == 1) {
    a6->sin6_family = AF_INET6;
    a6->sin6_port = htons(port);
    len = sizeof(sockaddr_in6);
  } else {
    error = "'" + host + "' is not an IPv4 or IPv6 address";
    return false;
  }
  const int fd = socket(ss.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    error = std::string("cannot create a socket: ") + std::strerror(errno);
    return false;
  }
  const int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (bind(fd, reinterpret_cast<sockaddr*>(&ss), len) != 0) {
    const int e = errno;
    close(fd);
    const std::string where = AddressText(ss);
    error = e == EADDRINUSE ? where + " is already in use (is another server listening there?)"
                            : "cannot listen on " + where + ": " + std::strerror(e);
    return false;
  }
  if (listen(fd, 64) != 0) {
    error = std::string("listen: ") + std::strerror(errno);
    close(fd);
    return false;
  }
  sockaddr_storage bound{};
  socklen_t boundLen = sizeof bound;
  getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &boundLen);
  address_ = AddressText(bound);
  listenFd_ = fd;
  return true;
}

std::size_t SimdServer::ConnectionCount() {
  std::lock_guard<std::mutex> lock(mutex_);
  std::size_t n = 0;
  for (const auto& s : sessions_) n += s->done ? 0 : 1;
  return n;
}

void SimdServer::Reap(bool all) {
  std::list<std::unique_ptr<Session>> finished;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = sessions_.begin(); it != sessions_.end();) {
      if (all || (*it)->done) {
        if (all) shutdown((*it)->fd, SHUT_RDWR);
        finished.push_back(std::move(*it));
        it = sessions_.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (auto& s : finished) {
    if (s->started) pthread_join(s->thread, nullptr);
    close(s->fd);
  }
}

void* SimdServer::ThreadMain(void* arg) {
  auto* session = static_cast<Session*>(arg);
  session->server->Serve(*session);
  return nullptr;
}

void SimdServer::Serve(Session& s) noexcept {
  std::string reason;
  bool logEnd = false;  // a session whose end the connection did not log
  try {
    SocketStream stream(s.fd);
    iscsi::Connection connection(stream, targets_, log_, s.config);
    reason = connection.Serve();
    // An end the connection logged itself needs no second line.
    logEnd = connection.LoggedIn() && !connection.CloseLogged();
  } catch (const std::bad_alloc&) {
    reason = "out of memory";
    logEnd = true;
  } catch (const std::exception& e) {
    reason = std::string("internal error: ") + e.what();
    logEnd = true;
  } catch (...) {
    reason = "internal error";
    logEnd = true;
  }
  try {
    if (logEnd && reason != "logout") log_("connection ended " + s.config.peer + ": " + reason);
  } catch (...) {
    // Nothing left to tell it with.
  }
  // The client sees the end now, not when the thread is reaped.
  shutdown(s.fd, SHUT_RDWR);
  s.done = true;
}

void SimdServer::FlushRefusals(bool force) {
  const auto now = std::chrono::steady_clock::now();
  if (!force && now - refusalWindow_ < std::chrono::seconds(1)) return;
  if (refusalsUnlogged_ > 0) {
    log_("refused " + std::to_string(refusalsUnlogged_) + " more connection(s) for the same reasons");
    refusalsUnlogged_ = 0;
  }
  refusalWindow_ = now;
  refusalLines_ = 0;
}

void SimdServer::Refuse(int fd, const std::string& peer, const std::string& why) {
  close(fd);
  FlushRefusals(false);
  if (refusalLines_ < kRefusalLinesPerSecond) {
    ++refusalLines_;
    log_("refusing " + peer + ": " + why);
  } else {
    ++refusalsUnlogged_;
  }
}

void SimdServer::Accept() {
  sockaddr_storage peer{};
  socklen_t peerLen = sizeof peer;
  const int fd = accept4(listenFd_, reinterpret_cast<sockaddr*>(&peer), &peerLen, SOCK_CLOEXEC);
  if (fd < 0) {
    const int e = errno;
    if (e == EMFILE || e == ENFILE || e == ENOBUFS || e == ENOMEM) {
      // The connection waits in the backlog; try again a little later
      // rather than spin on it.
      const auto now = std::chrono::steady_clock::now();
      if (now - lastAcceptError_ >= std::chrono::seconds(1)) {
        lastAcceptError_ = now;
        log_(std::string("cannot accept a connection: ") + std::strerror(e));
      }
      poll(nullptr, 0, 100);
    }
    return;
  }
  FdGuard guard(fd);  // closed if anything below throws
  const std::string peerText = AddressText(peer);
  const std::string host = HostText(peer);

  std::size_t open = 0;
  std::size_t fromPeer = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& s : sessions_) {
      if (s->done) continue;
      ++open;
      if (s->host == host) ++fromPeer;
    }
  }
  if (open >= options_.maxConnections) {
    Refuse(guard.release(), peerText, std::to_string(open) + " connections open (--max-connections " +
                             std::to_string(options_.maxConnections) + ")");
    return;
  }
  if (fromPeer >= options_.maxPerPeer) {
    Refuse(guard.release(), peerText, std::to_string(fromPeer) + " connections from " + host + " open (--max-per-peer " +
                             std::to_string(options_.maxPerPeer) + ")");
    return;
  }

  const int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  if (options_.idleTimeout.count() > 0) {
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(options_.idleTimeout.count() / 1000);
    tv.tv_usec = static_cast<suseconds_t>((options_.idleTimeout.count() % 1000) * 1000);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  }
  sockaddr_storage local{};
  socklen_t localLen = sizeof local;
  getsockname(fd, reinterpret_cast<sockaddr*>(&local), &localLen);

  auto session = std::make_unique<Session>();
  session->server = this;
  session->fd = fd;
  session->host = host;
  session->config.peer = peerText;
  session->config.portal = AddressText(local);
  session->config.tsih = nextTsih_++;
  if (nextTsih_ == 0) nextTsih_ = 1;
  session->config.trace = options_.trace;
  session->config.loginTimeout = options_.loginTimeout;
  session->config.idleTimeout = options_.idleTimeout;
  session->config.chap = options_.chap;

  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, kThreadStack);
  std::lock_guard<std::mutex> lock(mutex_);
  const int e = pthread_create(&session->thread, &attr, &SimdServer::ThreadMain, session.get());
  pthread_attr_destroy(&attr);
  if (e != 0) {
    Refuse(guard.release(), peerText, std::string("cannot start a thread for it: ") + std::strerror(e));
    return;
  }
  session->started = true;
  guard.release();  // the session owns it now
  try {
    sessions_.push_back(std::move(session));
  } catch (...) {
    // The thread runs on a session nobody will reap: wait for it here.
    shutdown(fd, SHUT_RDWR);
    pthread_join(session->thread, nullptr);
    close(fd);
    throw;
  }
}

void SimdServer::Run(int stopFd) {
  for (;;) {
    pollfd p[2] = {{listenFd_, POLLIN, 0}, {stopFd, POLLIN, 0}};
    const int n = poll(p, 2, 1000);
    Reap(false);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 || (p[1].revents & (POLLIN | POLLHUP | POLLERR))) break;
    try {
      FlushRefusals(false);
      if (p[0].revents & POLLIN) Accept();
    } catch (const std::exception& e) {
      // Out of memory or the like while taking a connection on: that one
      // connection is lost (its descriptor with it), the server goes on.
      try {
        log_(std::string("cannot take a connection on: ") + e.what());
      } catch (...) {
      }
    }
  }
  FlushRefusals(true);
  Reap(true);
}

}  // namespace kx20
