// Loopback peers and port helpers for the endpoint tests.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "net/socketlib.h"

namespace nettest {

// A free UDP port on this machine, found by letting the system pick one.
std::uint16_t FreePort();
// The local port a socket is bound to (0 when it is not bound).
std::uint16_t BoundPort(qb::TSocket s);
bool BroadcastOptionSet(qb::TSocket s);
// 127.0.0.1 in network byte order.
std::uint32_t Loopback();

struct Datagram {
  std::string data;
  std::uint32_t addr = 0;  // network order
  std::uint16_t port = 0;  // host order
};

// A plain UDP socket on 127.0.0.1 with a system-chosen port.
class Peer {
 public:
  explicit Peer(bool any_address = false);
  ~Peer();
  Peer(const Peer&) = delete;
  Peer& operator=(const Peer&) = delete;

  std::uint16_t port() const { return port_; }
  int fd() const { return fd_; }
  // Sends one datagram to 127.0.0.1:port; false when the system refused it for lack of room.
  bool SendTo(std::uint16_t port, const std::string& data);
  // The next datagram, waiting up to the deadline.
  std::optional<Datagram> Receive(std::chrono::milliseconds deadline = std::chrono::seconds(5));

 private:
  int fd_ = -1;
  std::uint16_t port_ = 0;
};

}  // namespace nettest
