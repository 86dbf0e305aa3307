#include "platform/minimizewatch.h"

#include <QEvent>
#include <QPointer>
#include <QWidget>
#include <QWindowStateChangeEvent>

namespace qb {

class MinimizeWatch::Filter : public QObject {
 public:
  Filter(QWidget* window, std::function<bool()> on_minimized)
      : window_(window), on_minimized_(std::move(on_minimized)) {
    window_->installEventFilter(this);
  }
  ~Filter() override {
    if (window_) window_->removeEventFilter(this);
  }
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (watched != window_ || event->type() != QEvent::WindowStateChange) return false;
    const auto* change = static_cast<QWindowStateChangeEvent*>(event);
    if (!window_->isMinimized() || (change->oldState() & Qt::WindowMinimized)) return false;
    return on_minimized_();
  }

 private:
  QPointer<QWidget> window_;
  std::function<bool()> on_minimized_;
};

MinimizeWatch::MinimizeWatch(QWidget* window, std::function<bool()> on_minimized)
    : filter_(std::make_unique<Filter>(window, std::move(on_minimized))) {}

MinimizeWatch::~MinimizeWatch() = default;

}  // namespace qb
