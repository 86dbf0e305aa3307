// A light periodic timer for plain objects. Every timer of the process ticks through one
// shared hidden window, under an id that is the timer's own address.
#pragma once

#include "platform/component.h"
#include "platform/messages.h"
#include "platform/sharedwindow.h"

namespace qb {

class TSimpleTimer : public TObject {
 public:
  TSimpleTimer();
  TSimpleTimer(UINT period, TNotifyEvent onTick);
  ~TSimpleTimer() override;
  TSimpleTimer(const TSimpleTimer&) = delete;
  TSimpleTimer& operator=(const TSimpleTimer&) = delete;

  // Starts (or restarts from zero) the countdown; false when Period is 0 or no timer is left.
  bool StartTimer();
  // Stops the ticks; with disable false the timer stays Active (paused).
  bool StopTimer(bool disable);

  UINT_PTR TimerId() const { return timer_id_; }
  bool Active() const { return active_; }
  // No equality check: true on a running timer restarts its countdown.
  void SetActive(bool on);
  UINT Period() const { return period_; }
  void SetPeriod(UINT ms);
  const TNotifyEvent& OnTick() const { return on_tick_; }
  void SetOnTick(TNotifyEvent handler);

 private:
  friend class TSimpleTimerHandler;
  const UINT_PTR timer_id_;
  bool active_ = false;
  UINT period_ = 1000;
  TNotifyEvent on_tick_;
};

// Owner of the shared hidden window; created by the first timer, destroyed with the last.
class TSimpleTimerHandler : public TSharedWindowOwner {
 protected:
  LRESULT WndProc(UINT msg, WPARAM wparam, LPARAM lparam) override;
};

// The shared handler, or nullptr while no timer exists.
TSimpleTimerHandler* SharedTimerWindow();

}  // namespace qb
