// The one minimise detector: tells when a window turns minimised (the user's title-bar button,
// the window manager or showMinimized), once per turn.
#pragma once

#include <functional>
#include <memory>

class QWidget;

namespace qb {

class MinimizeWatch {
 public:
  // on_minimized runs while the window's state changes; it returns true to take the minimise
  // for itself, so that watches installed before this one never hear of it. Work that must
  // see the finished state change (hiding the window, say) belongs in a posted message.
  MinimizeWatch(QWidget* window, std::function<bool()> on_minimized);
  ~MinimizeWatch();
  MinimizeWatch(const MinimizeWatch&) = delete;
  MinimizeWatch& operator=(const MinimizeWatch&) = delete;

 private:
  class Filter;
  std::unique_ptr<Filter> filter_;
};

}  // namespace qb
