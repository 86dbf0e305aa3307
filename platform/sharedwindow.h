// The shared hidden window: one message window for every user of one kind (all simple timers,
// all tray icons), created by its first user and destroyed with its last, or at exit when a
// user never let go.
#pragma once

#include "platform/component.h"
#include "platform/messages.h"

namespace qb {

// The owner of a shared window: the window's messages go to WndProc.
class TSharedWindowOwner : public TObject {
 public:
  TSharedWindowOwner();
  ~TSharedWindowOwner() override;
  TSharedWindowOwner(const TSharedWindowOwner&) = delete;
  TSharedWindowOwner& operator=(const TSharedWindowOwner&) = delete;

  UINT UseCount = 0;
  HWND MessageWindow() const { return window_; }

 protected:
  virtual LRESULT WndProc(UINT msg, WPARAM wparam, LPARAM lparam) = 0;

 private:
  HWND window_;
};

// The use count of one kind's owner. Kept at namespace scope, one per kind.
template <class Owner>
class SharedWindow {
 public:
  ~SharedWindow() { delete owner_; }
  Owner* Attach() {
    if (!owner_) owner_ = new Owner;
    ++owner_->UseCount;
    return owner_;
  }
  void Detach() {
    if (!owner_) return;
    if (owner_->UseCount > 0) --owner_->UseCount;
    if (owner_->UseCount == 0) {
      delete owner_;
      owner_ = nullptr;
    }
  }
  Owner* Get() const { return owner_; }

 private:
  Owner* owner_ = nullptr;
};

}  // namespace qb
