#include "platform/doorbell.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

#include "platform/socketwatch.h"

namespace qb {

Doorbell::Doorbell(std::function<void()> answer) : answer_(std::move(answer)) {
  fd_ = QuietDescriptor(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
  if (fd_ < 0) return;
  watch_ = std::make_unique<SocketWatch>(fd_, [this](SocketWatch::Ready) { Answer(); });
  watch_->SetReadEnabled(true);
}

Doorbell::~Doorbell() {
  watch_.reset();
  if (fd_ >= 0) ::close(fd_);
}

void Doorbell::Ring() {
  if (fd_ < 0 || rung_.exchange(true, std::memory_order_acq_rel)) return;
  const std::uint64_t one = 1;
  [[maybe_unused]] const ssize_t n = ::write(fd_, &one, sizeof one);
}

void Doorbell::Answer() {
  std::uint64_t count = 0;
  [[maybe_unused]] const ssize_t n = ::read(fd_, &count, sizeof count);
  // Synchronises with every ring folded into this one; a ring after it writes again.
  rung_.exchange(false, std::memory_order_acq_rel);
  if (answer_) answer_();
}

}  // namespace qb
