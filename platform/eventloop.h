// A lean event loop for a thread of its own. The user-interface thread runs Qt's loop; any
// other thread that hosts message windows, window timers or socket watches runs one of these.
// Each pass waits once in epoll for the descriptors watched on this thread, runs what is ready,
// then what other threads queued for it, oldest first.
//
// What other threads hand the loop goes through a bounded queue they push to without waiting
// and without a lock; the loop itself never waits for them either. One event descriptor wakes
// the loop, written only when the loop has not yet answered an earlier wake.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace qb {

class TimerList;

class EventLoop {
 public:
  // One unit of work handed to the loop: a function and four words for it. A task still queued
  // when the loop goes is handed to discard instead (when set), so what it owns is freed.
  struct Task {
    void (*run)(const Task&) = nullptr;
    void (*discard)(const Task&) = nullptr;
    std::uintptr_t a = 0, b = 0, c = 0, d = 0;
  };

  // What a watched descriptor calls: events are epoll's, or kDue for a watch made due.
  class Watcher {
   public:
    virtual ~Watcher() = default;
    virtual void Ready(std::uint32_t events) = 0;
  };
  static constexpr std::uint32_t kDue = 1u << 31;

  // Made on the thread it serves, which then runs it; one per thread. Another thread may
  // destroy it once the loop's thread has left it (Leave) and nothing posts to it any more:
  // a thread that quits a loop should not race that loop's thread to its end.
  EventLoop();
  ~EventLoop();
  // The loop's own thread, done with it: its timers go, and the thread has no loop any more.
  void Leave();
  EventLoop(const EventLoop&) = delete;
  EventLoop& operator=(const EventLoop&) = delete;

  // The loop of the calling thread, null where there is none (the user-interface thread).
  static EventLoop* Current();

  // Runs passes until Quit; the loop's own thread only.
  void Run();
  // One pass that waits at most timeout_ms (-1: until something is ready); for tests and for
  // a thread that drives the loop itself.
  void RunOnce(int timeout_ms);
  // Any thread; the pass under way finishes first.
  void Quit();

  // Queues a task for the loop; any thread, never waits. False when the queue is full (the
  // loop has fallen that far behind) or the loop has quit.
  bool Post(const Task& task);

  // Descriptors, on the loop's own thread only. events are EPOLLIN / EPOLLOUT; a watcher is
  // called while its descriptor stays ready (level-triggered). Watch returns the watch's
  // number for Rewatch and Unwatch, or -1 when the descriptor cannot be watched.
  int Watch(int fd, std::uint32_t events, Watcher* watcher);
  void Rewatch(int watch, std::uint32_t events);
  void Unwatch(int watch);
  // The watcher's Ready(kDue) runs in the next pass, whether or not its descriptor shows
  // anything. A watcher that is unwatched or forgotten is not called.
  void MakeDue(Watcher* watcher);
  void Forget(Watcher* watcher);

  // The window timers of this thread (messages.cpp makes them with the first timer).
  std::unique_ptr<TimerList>& Timers() { return timers_; }

  // Tasks queued and not yet run (tests).
  std::size_t QueuedTasks() const;

 private:
  struct Slot {
    Watcher* watcher = nullptr;
    int fd = -1;
    std::uint32_t generation = 0;
  };
  struct Cell {
    std::atomic<std::size_t> sequence;
    Task task;
  };
  static constexpr std::size_t kQueueCells = 8192;

  bool Pop(Task& task);
  void RunTasks();
  void RunDue();
  void Drain();  // the wake descriptor

  int epoll_ = -1;
  int wake_ = -1;
  std::atomic<bool> woken_{false};  // the wake descriptor was written and not yet answered
  std::atomic<bool> quit_{false};

  // Bounded multi-producer queue: producers claim a cell with one compare-and-swap, the loop
  // takes cells in order.
  std::unique_ptr<Cell[]> cells_;
  std::atomic<std::size_t> enqueue_{0};
  std::size_t dequeue_ = 0;

  std::vector<Slot> slots_;  // index in epoll's data, with the generation that names the watch
  std::vector<std::size_t> free_slots_;
  std::vector<Watcher*> due_;
  std::vector<Watcher*> running_due_;  // the due watchers of the pass under way
  int depth_ = 0;                      // passes under way (a pass is never nested)
  std::unique_ptr<TimerList> timers_;
};

}  // namespace qb
