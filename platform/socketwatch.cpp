#include "platform/socketwatch.h"

#include <QSocketNotifier>

namespace qb {

struct SocketWatch::Impl {
  QSocketNotifier read;
  QSocketNotifier write;
  Callback callback;
  Impl(int fd, Callback cb)
      : read(fd, QSocketNotifier::Read),
        write(fd, QSocketNotifier::Write),
        callback(std::move(cb)) {}
};

SocketWatch::SocketWatch(int fd, Callback callback)
    : impl_(std::make_unique<Impl>(fd, std::move(callback))) {
  impl_->read.setEnabled(false);
  impl_->write.setEnabled(false);
  QObject::connect(&impl_->read, &QSocketNotifier::activated,
                   [this] { impl_->callback(Ready::Read); });
  QObject::connect(&impl_->write, &QSocketNotifier::activated,
                   [this] { impl_->callback(Ready::Write); });
}

SocketWatch::~SocketWatch() = default;

void SocketWatch::SetReadEnabled(bool on) {
  impl_->read.setEnabled(on);
}
void SocketWatch::SetWriteEnabled(bool on) {
  impl_->write.setEnabled(on);
}
bool SocketWatch::ReadEnabled() const {
  return impl_->read.isEnabled();
}
bool SocketWatch::WriteEnabled() const {
  return impl_->write.isEnabled();
}

}  // namespace qb
