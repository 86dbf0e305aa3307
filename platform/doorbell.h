// Wakes one thread's loop from any other thread without waiting: a ring is a write to an event
// descriptor that the answering thread watches, and rings that come before it has answered are
// one. The answer runs on the thread that made the doorbell, from its loop.
#pragma once

#include <atomic>
#include <functional>
#include <memory>

namespace qb {

class SocketWatch;

class Doorbell {
 public:
  explicit Doorbell(std::function<void()> answer);
  ~Doorbell();
  Doorbell(const Doorbell&) = delete;
  Doorbell& operator=(const Doorbell&) = delete;

  // Any thread; never waits. What the ringing thread wrote before the ring is visible to the
  // answer.
  void Ring();

 private:
  void Answer();

  int fd_ = -1;
  std::atomic<bool> rung_{false};
  std::function<void()> answer_;
  std::unique_ptr<SocketWatch> watch_;
};

}  // namespace qb
