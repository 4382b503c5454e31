#include "simd_server.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

namespace kx20 {
namespace {

std::string AddressText(const sockaddr_storage& ss) {
  char host[INET6_ADDRSTRLEN] = "?";
  std::uint16_t port = 0;
  if (ss.ss_family == AF_INET) {
    const auto* a = reinterpret_cast<const sockaddr_in*>(&ss);
    inet_ntop(AF_INET, &a->sin_addr, host, sizeof host);
    port = ntohs(a->sin_port);
    return std::string(host) + ":" + std::to_string(port);
  }
  const auto* a = reinterpret_cast<const sockaddr_in6*>(&ss);
  inet_ntop(AF_INET6, &a->sin6_addr, host, sizeof host);
  port = ntohs(a->sin6_port);
  return "[" + std::string(host) + "]:" + std::to_string(port);
}

class SocketStream final : public iscsi::PduStream {
 public:
  explicit SocketStream(int fd) : fd_(fd) {}
  bool Read(std::uint8_t* data, std::size_t size) override {
    while (size > 0) {
      const ssize_t n = recv(fd_, data, size, 0);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      data += n;
      size -= static_cast<std::size_t>(n);
    }
    return true;
  }
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
};

}  // namespace

SimdServer::SimdServer(const iscsi::TargetSet& targets, iscsi::LogSink log, bool trace)
    : targets_(targets), log_(std::move(log)), trace_(trace) {}

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
    if (s->thread.joinable()) s->thread.join();
    close(s->fd);
  }
}

void SimdServer::Run(int stopFd) {
  for (;;) {
    pollfd p[2] = {{listenFd_, POLLIN, 0}, {stopFd, POLLIN, 0}};
    const int n = poll(p, 2, 1000);
    Reap(false);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 || (p[1].revents & (POLLIN | POLLHUP | POLLERR))) break;
    if (!(p[0].revents & POLLIN)) continue;
    sockaddr_storage peer{};
    socklen_t peerLen = sizeof peer;
    const int fd = accept4(listenFd_, reinterpret_cast<sockaddr*>(&peer), &peerLen, SOCK_CLOEXEC);
    if (fd < 0) continue;
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    sockaddr_storage local{};
    socklen_t localLen = sizeof local;
    getsockname(fd, reinterpret_cast<sockaddr*>(&local), &localLen);

    iscsi::ConnectionConfig config;
    config.peer = AddressText(peer);
    config.portal = AddressText(local);
    config.tsih = nextTsih_++;
    config.trace = trace_;
    if (nextTsih_ == 0) nextTsih_ = 1;
    auto session = std::make_unique<Session>();
    session->fd = fd;
    Session* raw = session.get();
    {
      std::lock_guard<std::mutex> lock(mutex_);
      sessions_.push_back(std::move(session));
      raw->thread = std::thread([this, raw, config]() {
        SocketStream stream(raw->fd);
        iscsi::Connection connection(stream, targets_, log_, config);
        const std::string reason = connection.Serve();
        if (connection.LoggedIn() && reason != "logout") {
          log_("connection ended " + config.peer + ": " + reason);
        }
        raw->done = true;
      });
    }
  }
  Reap(true);
}

}  // namespace kx20
