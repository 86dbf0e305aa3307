#include "tray/simpletimer.h"

namespace qb {
namespace {

SharedWindow<TSimpleTimerHandler> shared_handler;

void Attach() {
  shared_handler.Attach();
}

void Detach() {
  shared_handler.Detach();
}

HWND SharedHandle() {
  return shared_handler.Get() ? shared_handler.Get()->MessageWindow() : kNoWindow;
}

}  // namespace

TSimpleTimerHandler* SharedTimerWindow() {
  return shared_handler.Get();
}

LRESULT TSimpleTimerHandler::WndProc(UINT msg, WPARAM wparam, LPARAM lparam) {
  if (msg != WM_TIMER) return DefWindowProc(MessageWindow(), msg, wparam, lparam);
  // The id is the timer itself; a timer kills its platform timer before it goes, so a tick
  // never names a destroyed one.
  auto* timer = reinterpret_cast<TSimpleTimer*>(wparam);
  if (timer->on_tick_) {
    TNotifyEvent handler = timer->on_tick_;  // the handler may replace itself
    handler(timer);
  }
  return 0;
}

TSimpleTimer::TSimpleTimer() : timer_id_(reinterpret_cast<UINT_PTR>(this)) {
  Attach();
}

TSimpleTimer::TSimpleTimer(UINT period, TNotifyEvent onTick)
    : timer_id_(reinterpret_cast<UINT_PTR>(this)), period_(period) {
  Attach();
  SetOnTick(std::move(onTick));
}

TSimpleTimer::~TSimpleTimer() {
  if (active_) StopTimer(true);
  Detach();
}

bool TSimpleTimer::StartTimer() {
  if (period_ == 0) return false;
  if (active_) StopTimer(true);
  if (SetTimer(SharedHandle(), timer_id_, period_) != 0) {
    active_ = true;
    return true;
  }
  return false;
}

bool TSimpleTimer::StopTimer(bool disable) {
  if (disable) active_ = false;
  return KillTimer(SharedHandle(), timer_id_);
}

void TSimpleTimer::SetActive(bool on) {
  if (on)
    StartTimer();
  else
    StopTimer(true);
}

void TSimpleTimer::SetPeriod(UINT ms) {
  if (ms == period_) return;
  period_ = ms;
  if (!active_) return;
  if (ms != 0)
    StartTimer();
  else
    StopTimer(false);
}

void TSimpleTimer::SetOnTick(TNotifyEvent handler) {
  on_tick_ = std::move(handler);
  if (!on_tick_ && active_) StopTimer(false);
}

}  // namespace qb
