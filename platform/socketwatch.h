// Watches a descriptor for read and write readiness on the thread that made the watch: Qt's
// loop on the user-interface thread, the platform's own loop (platform/eventloop.h) on any other.
// A watch is used and destroyed on that thread only.
#pragma once

#include <functional>
#include <memory>

namespace qb {

class SocketWatch {
 public:
  enum class Ready { Read, Write };
  using Callback = std::function<void(Ready)>;

  // Both directions start switched off. The callback runs from the event loop while the
  // direction stays ready and enabled (level-triggered); it may destroy the watch.
  SocketWatch(int fd, Callback callback);
  ~SocketWatch();
  SocketWatch(const SocketWatch&) = delete;
  SocketWatch& operator=(const SocketWatch&) = delete;

  // Switching costs the event loop's bookkeeping (and an allocation there): a hot path keeps
  // a direction enabled rather than switching it per event.
  void SetReadEnabled(bool on);
  void SetWriteEnabled(bool on);
  bool ReadEnabled() const;
  bool WriteEnabled() const;

  // The read callback runs again from the event loop soon, once read is enabled: for data its
  // owner took off the descriptor ahead of time, which readiness no longer shows.
  void ReadSoon();

  struct Impl;  // how the event loop is asked: defined with the watch

 private:
  std::unique_ptr<Impl> impl_;
};

// A descriptor that seldom wakes (a timer's, a signal's), renumbered high; the old number is
// closed. The loop polls in descriptor order and, once one descriptor is found ready, stops
// registering for wake-ups on the rest: a busy socket numbered below the quiet ones spares each
// pass of a burst that work. Returns fd unchanged when it cannot be renumbered.
int QuietDescriptor(int fd);

}  // namespace qb
