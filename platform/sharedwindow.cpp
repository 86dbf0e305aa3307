#include "platform/sharedwindow.h"

namespace qb {

// Messages reach the window only from the event loop, after construction has finished, so the
// handler is always the owner's own.
TSharedWindowOwner::TSharedWindowOwner()
    : window_(AllocateHWnd([this](UINT m, WPARAM w, LPARAM l) { return WndProc(m, w, l); })) {}

TSharedWindowOwner::~TSharedWindowOwner() {
  DeallocateHWnd(window_);
}

}  // namespace qb
