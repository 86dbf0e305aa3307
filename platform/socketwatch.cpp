#include "platform/socketwatch.h"

#include <QObject>
#include <QSocketNotifier>

namespace qb {

struct SocketWatch::Impl : QObject {
  Impl(int fd, Callback cb)
      : read(new QSocketNotifier(fd, QSocketNotifier::Read, this)),
        write(new QSocketNotifier(fd, QSocketNotifier::Write, this)),
        callback(std::move(cb)) {}
  void Fire(Ready ready) {
    ++depth;
    callback(ready);
    --depth;
  }
  QSocketNotifier* read;
  QSocketNotifier* write;
  Callback callback;
  int depth = 0;  // callbacks running now
};

SocketWatch::SocketWatch(int fd, Callback callback)
    : impl_(std::make_unique<Impl>(fd, std::move(callback))) {
  impl_->read->setEnabled(false);
  impl_->write->setEnabled(false);
  Impl* impl = impl_.get();
  QObject::connect(impl->read, &QSocketNotifier::activated, impl,
                   [impl] { impl->Fire(Ready::Read); });
  QObject::connect(impl->write, &QSocketNotifier::activated, impl,
                   [impl] { impl->Fire(Ready::Write); });
}

SocketWatch::~SocketWatch() {
  impl_->read->setEnabled(false);
  impl_->write->setEnabled(false);
  // Destroyed from its own callback: the notifier is still inside its signal and the callback
  // still runs, so both go once the event loop has left them.
  if (impl_->depth > 0) impl_.release()->deleteLater();
}

void SocketWatch::SetReadEnabled(bool on) {
  if (impl_->read->isEnabled() != on) impl_->read->setEnabled(on);
}
void SocketWatch::SetWriteEnabled(bool on) {
  if (impl_->write->isEnabled() != on) impl_->write->setEnabled(on);
}
void SocketWatch::ReadSoon() {
  Impl* impl = impl_.get();
  // Dropped with the watch if it goes first.
  QMetaObject::invokeMethod(
      impl,
      [impl] {
        if (impl->read->isEnabled()) impl->Fire(Ready::Read);
      },
      Qt::QueuedConnection);
}

bool SocketWatch::ReadEnabled() const {
  return impl_->read->isEnabled();
}
bool SocketWatch::WriteEnabled() const {
  return impl_->write->isEnabled();
}

}  // namespace qb
