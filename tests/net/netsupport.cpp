#include "tests/net/netsupport.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

namespace nettest {

std::uint16_t FreePort() {
  int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_ANY);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) throw std::runtime_error("bind");
  socklen_t len = sizeof a;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  ::close(fd);
  return ntohs(a.sin_port);
}

std::uint16_t BoundPort(qb::TSocket s) {
  sockaddr_in a{};
  socklen_t len = sizeof a;
  if (::getsockname(static_cast<int>(s), reinterpret_cast<sockaddr*>(&a), &len) != 0) return 0;
  return ntohs(a.sin_port);
}

bool BroadcastOptionSet(qb::TSocket s) {
  int on = 0;
  socklen_t len = sizeof on;
  ::getsockopt(static_cast<int>(s), SOL_SOCKET, SO_BROADCAST, &on, &len);
  return on != 0;
}

std::uint32_t Loopback() {
  return htonl(INADDR_LOOPBACK);
}

Peer::Peer(bool any_address) {
  fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
  int big = 4 << 20;
  ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = any_address ? htonl(INADDR_ANY) : htonl(INADDR_LOOPBACK);
  if (::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) throw std::runtime_error("bind");
  socklen_t len = sizeof a;
  ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
  port_ = ntohs(a.sin_port);
}

Peer::~Peer() {
  ::close(fd_);
}

bool Peer::SendTo(std::uint16_t port, const std::string& data) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  for (;;) {
    ssize_t n =
        ::sendto(fd_, data.data(), data.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a);
    if (n >= 0) return true;
    if (errno != EAGAIN && errno != EWOULDBLOCK && errno != ENOBUFS) return false;
    pollfd p{fd_, POLLOUT, 0};
    ::poll(&p, 1, 1000);
  }
}

std::optional<Datagram> Peer::Receive(std::chrono::milliseconds deadline) {
  pollfd p{fd_, POLLIN, 0};
  if (::poll(&p, 1, static_cast<int>(deadline.count())) <= 0) return std::nullopt;
  std::string buf(65536, '\0');
  sockaddr_in a{};
  socklen_t len = sizeof a;
  ssize_t n = ::recvfrom(fd_, buf.data(), buf.size(), 0, reinterpret_cast<sockaddr*>(&a), &len);
  if (n < 0) return std::nullopt;
  buf.resize(static_cast<size_t>(n));
  return Datagram{buf, a.sin_addr.s_addr, ntohs(a.sin_port)};
}

}  // namespace nettest
