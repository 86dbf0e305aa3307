// The window timer component: interval, enabled flag and tick handler.
#pragma once

#include "platform/component.h"
#include "platform/messages.h"

namespace qb {

class TTimer : public TComponent {
 public:
  explicit TTimer(TComponent* owner);
  ~TTimer() override;

  bool Enabled() const { return enabled_; }
  void SetEnabled(bool on);
  UINT Interval() const { return interval_; }
  void SetInterval(UINT ms);
  const TNotifyEvent& OnTimer() const { return on_timer_; }
  void SetOnTimer(TNotifyEvent handler);

  void Loaded() override;

 private:
  void Update();
  LRESULT WndProc(UINT msg, WPARAM wparam, LPARAM lparam);

  HWND window_;
  bool enabled_ = true;
  UINT interval_ = 1000;
  TNotifyEvent on_timer_;
};

}  // namespace qb
