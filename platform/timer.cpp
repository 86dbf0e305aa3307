#include "platform/timer.h"

namespace qb {

TTimer::TTimer(TComponent* owner)
    : TComponent(owner),
      window_(AllocateHWnd([this](UINT m, WPARAM w, LPARAM l) { return WndProc(m, w, l); })) {}

TTimer::~TTimer() {
  enabled_ = false;
  Update();
  DeallocateHWnd(window_);
}

void TTimer::SetEnabled(bool on) {
  if (on == enabled_) return;
  enabled_ = on;
  Update();
}

void TTimer::SetInterval(UINT ms) {
  if (ms == interval_) return;
  interval_ = ms;
  Update();
}

void TTimer::SetOnTimer(TNotifyEvent handler) {
  on_timer_ = std::move(handler);
  Update();
}

void TTimer::Loaded() {
  TComponent::Loaded();
  Update();
}

// Runs only while enabled, with an interval and a handler, and not while being loaded.
void TTimer::Update() {
  KillTimer(window_, 1);
  if (enabled_ && interval_ != 0 && on_timer_ && !Loading()) SetTimer(window_, 1, interval_);
}

LRESULT TTimer::WndProc(UINT msg, WPARAM wparam, LPARAM lparam) {
  if (msg == WM_TIMER) {
    if (on_timer_) on_timer_(this);
    return 0;
  }
  return DefWindowProc(window_, msg, wparam, lparam);
}

}  // namespace qb
