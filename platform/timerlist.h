// The window timers of the user-interface thread on one timer descriptor, set to the earliest
// deadline. Switching a timer on or off only updates its entry and that descriptor: nothing is
// allocated once a timer has been used, and the event loop watches one descriptor for all.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "platform/messages.h"

namespace qb {

class SocketWatch;

class TimerList {
 public:
  using Tick = std::function<void(HWND wnd, UINT_PTR id)>;
  explicit TimerList(Tick tick);
  ~TimerList();
  TimerList(const TimerList&) = delete;
  TimerList& operator=(const TimerList&) = delete;

  // Starts (or restarts) a periodic timer; false when no descriptor can be had.
  bool Set(HWND wnd, UINT_PTR id, UINT ms);
  // False when the timer was not running.
  bool Kill(HWND wnd, UINT_PTR id);
  void KillAll(HWND wnd);

 private:
  struct Entry {
    HWND wnd = kNoWindow;  // kNoWindow: a free entry
    UINT_PTR id = 0;
    std::int64_t period_ns = 0;
    std::int64_t due_ns = 0;
    bool armed = false;
  };
  Entry* Find(HWND wnd, UINT_PTR id);
  void Arm();
  void Fire();

  Tick tick_;
  int fd_ = -1;
  std::unique_ptr<SocketWatch> watch_;
  // Entries are never erased, only freed, so a tick handler that sets or kills timers (or
  // destroys a window) never moves the entry being handled.
  std::vector<Entry> entries_;
  std::int64_t armed_for_ = -1;  // the deadline the descriptor is set to; -1: disarmed
};

}  // namespace qb
