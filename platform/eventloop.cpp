#include "platform/eventloop.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cassert>
#include <cerrno>

#include "platform/errors.h"
#include "platform/timerlist.h"

namespace qb {

namespace {

thread_local EventLoop* t_loop = nullptr;

// epoll's data for the wake descriptor; watches carry their slot and generation.
constexpr std::uint64_t kWakeData = ~std::uint64_t{0};
constexpr int kEventsPerPass = 32;
constexpr std::size_t kTasksPerPass = 1024;  // a task that posts itself lets descriptors in

std::uint64_t Data(std::size_t slot, std::uint32_t generation) {
  return std::uint64_t{generation} << 32 | slot;
}

}  // namespace

EventLoop::EventLoop() : cells_(new Cell[kQueueCells]) {
  assert(!t_loop && "one event loop per thread");
  for (std::size_t i = 0; i < kQueueCells; ++i)
    cells_[i].sequence.store(i, std::memory_order_relaxed);
  epoll_ = ::epoll_create1(EPOLL_CLOEXEC);
  wake_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (epoll_ >= 0 && wake_ >= 0) {
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = kWakeData;
    ::epoll_ctl(epoll_, EPOLL_CTL_ADD, wake_, &ev);
  }
  slots_.reserve(16);
  due_.reserve(16);
  running_due_.reserve(16);
  t_loop = this;
}

void EventLoop::Leave() {
  timers_.reset();  // its watch leaves this loop first
  if (t_loop == this) t_loop = nullptr;
}

EventLoop::~EventLoop() {
  if (t_loop == this) Leave();
  quit_.store(true);
  Task task;
  while (Pop(task))
    if (task.discard) task.discard(task);
  if (wake_ >= 0) ::close(wake_);
  if (epoll_ >= 0) ::close(epoll_);
}

EventLoop* EventLoop::Current() {
  return t_loop;
}

bool EventLoop::Post(const Task& task) {
  if (quit_.load(std::memory_order_relaxed)) return false;
  std::size_t pos = enqueue_.load(std::memory_order_relaxed);
  Cell* cell;
  for (;;) {
    cell = &cells_[pos & (kQueueCells - 1)];
    const std::size_t seq = cell->sequence.load(std::memory_order_acquire);
    const auto diff = static_cast<std::ptrdiff_t>(seq - pos);
    if (diff == 0) {
      if (enqueue_.compare_exchange_weak(pos, pos + 1, std::memory_order_relaxed)) break;
    } else if (diff < 0) {
      return false;  // full
    } else {
      pos = enqueue_.load(std::memory_order_relaxed);
    }
  }
  cell->task = task;
  cell->sequence.store(pos + 1, std::memory_order_release);
  // The loop's own posts are taken at the end of the pass under way; other threads wake it,
  // once until it has answered.
  if (t_loop != this && !woken_.exchange(true, std::memory_order_acq_rel)) {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(wake_, &one, sizeof one);
  }
  return true;
}

bool EventLoop::Pop(Task& task) {
  Cell& cell = cells_[dequeue_ & (kQueueCells - 1)];
  if (cell.sequence.load(std::memory_order_acquire) != dequeue_ + 1) return false;
  task = cell.task;
  cell.sequence.store(dequeue_ + kQueueCells, std::memory_order_release);
  ++dequeue_;
  return true;
}

std::size_t EventLoop::QueuedTasks() const {
  return enqueue_.load() - dequeue_;
}

void EventLoop::Quit() {
  quit_.store(true);
  if (!woken_.exchange(true, std::memory_order_acq_rel)) {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(wake_, &one, sizeof one);
  }
}

void EventLoop::Run() {
  while (!quit_.load()) RunOnce(-1);
}

void EventLoop::Drain() {
  std::uint64_t count = 0;
  [[maybe_unused]] const ssize_t n = ::read(wake_, &count, sizeof count);
  // Synchronises with every post whose wake was folded into this one.
  woken_.exchange(false, std::memory_order_acq_rel);
}

void EventLoop::RunOnce(int timeout_ms) {
  assert(t_loop == this && depth_ == 0 && "a loop runs on its own thread, one pass at a time");
  ++depth_;
  const Cell& next = cells_[dequeue_ & (kQueueCells - 1)];
  if (!due_.empty() || next.sequence.load(std::memory_order_acquire) == dequeue_ + 1)
    timeout_ms = 0;
  epoll_event events[kEventsPerPass];
  const int n = ::epoll_wait(epoll_, events, kEventsPerPass, timeout_ms);
  // What other threads queued goes first: a command posted before a datagram arrived takes
  // effect before that datagram is handled.
  for (int i = 0; i < n; ++i)
    if (events[i].data.u64 == kWakeData) {
      Drain();
      RunTasks();
    }
  for (int i = 0; i < n; ++i) {
    const std::uint64_t data = events[i].data.u64;
    if (data == kWakeData) continue;
    const std::size_t index = data & 0xFFFFFFFF;
    // A watch undone by an earlier callback of this pass is not called.
    if (index >= slots_.size() || slots_[index].generation != data >> 32 || !slots_[index].watcher)
      continue;
    slots_[index].watcher->Ready(events[i].events);
  }
  RunDue();
  RunTasks();
  --depth_;
}

void EventLoop::RunDue() {
  if (due_.empty()) return;
  running_due_.swap(due_);
  // By index: a callback may forget later ones (left null) or make others due (next pass).
  for (std::size_t i = 0; i < running_due_.size(); ++i)
    if (Watcher* w = running_due_[i]) {
      running_due_[i] = nullptr;
      w->Ready(kDue);
    }
  running_due_.clear();
}

void EventLoop::RunTasks() {
  Task task;
  for (std::size_t i = 0; i < kTasksPerPass && Pop(task); ++i) Guarded([&] { task.run(task); });
}

int EventLoop::Watch(int fd, std::uint32_t events, Watcher* watcher) {
  std::size_t index;
  if (!free_slots_.empty()) {
    index = free_slots_.back();
    free_slots_.pop_back();
  } else {
    index = slots_.size();
    slots_.emplace_back();
  }
  Slot& s = slots_[index];
  epoll_event ev{};
  ev.events = events;
  ev.data.u64 = Data(index, s.generation);
  if (::epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &ev) != 0) {
    free_slots_.push_back(index);
    return -1;
  }
  s.watcher = watcher;
  s.fd = fd;
  return static_cast<int>(index);
}

void EventLoop::Rewatch(int watch, std::uint32_t events) {
  if (watch < 0 || static_cast<std::size_t>(watch) >= slots_.size()) return;
  Slot& s = slots_[static_cast<std::size_t>(watch)];
  epoll_event ev{};
  ev.events = events;
  ev.data.u64 = Data(static_cast<std::size_t>(watch), s.generation);
  ::epoll_ctl(epoll_, EPOLL_CTL_MOD, s.fd, &ev);
}

void EventLoop::Unwatch(int watch) {
  if (watch < 0 || static_cast<std::size_t>(watch) >= slots_.size()) return;
  Slot& s = slots_[static_cast<std::size_t>(watch)];
  if (!s.watcher) return;
  ::epoll_ctl(epoll_, EPOLL_CTL_DEL, s.fd, nullptr);
  s.watcher = nullptr;
  s.fd = -1;
  ++s.generation;  // events of this pass still naming it are skipped
  free_slots_.push_back(static_cast<std::size_t>(watch));
}

void EventLoop::MakeDue(Watcher* watcher) {
  if (std::find(due_.begin(), due_.end(), watcher) == due_.end()) due_.push_back(watcher);
}

void EventLoop::Forget(Watcher* watcher) {
  std::erase(due_, watcher);
  std::replace(running_due_.begin(), running_due_.end(), watcher, static_cast<Watcher*>(nullptr));
}

}  // namespace qb
