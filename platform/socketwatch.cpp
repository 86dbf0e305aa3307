#include "platform/socketwatch.h"

#include <QAbstractEventDispatcher>
#include <QObject>
#include <QSocketNotifier>
#include <utility>

#if QB_HAVE_GLIB
#include <glib.h>
#endif

#include "platform/errors.h"

namespace qb {

// Where Qt's event loop is glib's (Linux desktops), the descriptor is a glib source of its own:
// a ready datagram reaches its callback straight from the loop's dispatch, without the socket
// notifier's event and signal, and switching a direction only changes the polled events.
// Elsewhere Qt's socket notifiers do the job.
struct SocketWatch::Impl {
  explicit Impl(Callback cb) : callback(std::move(cb)) {}
  virtual ~Impl() = default;
  virtual void Apply() = 0;  // read_on / write_on changed
  virtual void Soon() = 0;   // soon was set
  virtual void Free() { delete this; }

  // Runs the callback; returns false when the watch was destroyed inside it.
  bool Fire(Ready ready) {
    ++depth;
    Guarded([&] { callback(ready); });
    if (--depth == 0 && doomed) {
      Free();
      return false;
    }
    return !doomed;
  }

  Callback callback;
  bool read_on = false;
  bool write_on = false;
  bool soon = false;    // a read callback is due although the descriptor may not show it
  int depth = 0;        // callbacks running now
  bool doomed = false;  // the watch went while a callback ran: freed when the last returns
};

namespace {

class NotifierImpl final : public SocketWatch::Impl, public QObject {
 public:
  NotifierImpl(int fd, SocketWatch::Callback cb)
      : Impl(std::move(cb)),
        read_(new QSocketNotifier(fd, QSocketNotifier::Read, this)),
        write_(new QSocketNotifier(fd, QSocketNotifier::Write, this)) {
    read_->setEnabled(false);
    write_->setEnabled(false);
    QObject::connect(read_, &QSocketNotifier::activated, this,
                     [this] { Fire(SocketWatch::Ready::Read); });
    QObject::connect(write_, &QSocketNotifier::activated, this,
                     [this] { Fire(SocketWatch::Ready::Write); });
  }
  void Apply() override {
    if (read_->isEnabled() != read_on) {
      read_->setEnabled(read_on);
      if (read_on && soon) Soon();
    }
    if (write_->isEnabled() != write_on) write_->setEnabled(write_on);
  }
  void Soon() override {
    // Dropped with the watch if it goes first; a read that is off keeps it due.
    QMetaObject::invokeMethod(
        this,
        [this] {
          if (!read_on || !std::exchange(soon, false)) return;
          Fire(SocketWatch::Ready::Read);
        },
        Qt::QueuedConnection);
  }
  void Free() override { deleteLater(); }  // its notifier may still be inside its signal

 private:
  QSocketNotifier* read_;
  QSocketNotifier* write_;
};

#if QB_HAVE_GLIB

class GlibImpl final : public SocketWatch::Impl {
 public:
  GlibImpl(int fd, SocketWatch::Callback cb, GMainContext* context) : Impl(std::move(cb)), fd_(fd) {
    static GSourceFuncs funcs = {Prepare, Check, Dispatch, nullptr, nullptr, nullptr};
    source_ = g_source_new(&funcs, sizeof(Source));
    reinterpret_cast<Source*>(source_)->impl = this;
    g_source_set_can_recurse(source_, TRUE);  // a handler may run a nested loop (a message box)
    g_source_attach(source_, context);
  }
  ~GlibImpl() override {
    g_source_destroy(source_);
    g_source_unref(source_);
  }
  void Apply() override {
    const int events = (read_on ? kRead : 0) | (write_on ? kWrite : 0);
    // Not polled at all while neither direction is wanted: a pending error or hang-up would
    // otherwise wake every poll.
    if (events == 0) {
      if (tag_) g_source_remove_unix_fd(source_, std::exchange(tag_, nullptr));
    } else if (!tag_) {
      tag_ = g_source_add_unix_fd(source_, fd_, GIOCondition(events));
    } else {
      g_source_modify_unix_fd(source_, tag_, GIOCondition(events));
    }
  }
  void Soon() override {}  // the next pass's prepare sees it

 private:
  // What Qt's notifiers answer to: errors and hang-ups wake a reader too.
  static constexpr int kRead = G_IO_IN | G_IO_HUP | G_IO_ERR;
  static constexpr int kWrite = G_IO_OUT | G_IO_ERR;
  struct Source {
    GSource base;
    GlibImpl* impl;
  };
  static GlibImpl* Of(GSource* s) { return reinterpret_cast<Source*>(s)->impl; }
  bool SoonDue() const { return soon && read_on; }
  int Polled() const { return tag_ ? g_source_query_unix_fd(source_, tag_) : 0; }
  static gboolean Prepare(GSource* s, gint* timeout) {
    *timeout = -1;
    return Of(s)->SoonDue();
  }
  static gboolean Check(GSource* s) {
    GlibImpl* impl = Of(s);
    return impl->SoonDue() || impl->Polled() != 0;
  }
  static gboolean Dispatch(GSource* s, GSourceFunc, gpointer) {
    GlibImpl* impl = Of(s);
    const int ready = impl->Polled();
    if (impl->SoonDue() || (impl->read_on && (ready & kRead))) {
      impl->soon = false;
      if (!impl->Fire(SocketWatch::Ready::Read))
        return G_SOURCE_CONTINUE;  // freed, its source destroyed
    }
    if (impl->write_on && (ready & kWrite)) impl->Fire(SocketWatch::Ready::Write);
    return G_SOURCE_CONTINUE;
  }

  const int fd_;
  GSource* source_;
  gpointer tag_ = nullptr;
};

// The context Qt's loop on this thread iterates, when that loop is glib's.
GMainContext* QtGlibContext() {
  auto* dispatcher = QAbstractEventDispatcher::instance();
  if (!dispatcher || !dispatcher->inherits("QEventDispatcherGlib")) return nullptr;
  GMainContext* context = g_main_context_get_thread_default();
  return context ? context : g_main_context_default();
}

#endif

}  // namespace

SocketWatch::SocketWatch(int fd, Callback callback) {
#if QB_HAVE_GLIB
  if (GMainContext* context = QtGlibContext()) {
    impl_ = std::make_unique<GlibImpl>(fd, std::move(callback), context);
    return;
  }
#endif
  impl_ = std::make_unique<NotifierImpl>(fd, std::move(callback));
}

SocketWatch::~SocketWatch() {
  impl_->read_on = impl_->write_on = impl_->soon = false;
  impl_->Apply();
  // Destroyed from its own callback, which still runs: freed once it returns.
  if (impl_->depth > 0) impl_.release()->doomed = true;
}

void SocketWatch::SetReadEnabled(bool on) {
  if (impl_->read_on == on) return;
  impl_->read_on = on;
  impl_->Apply();
}
void SocketWatch::SetWriteEnabled(bool on) {
  if (impl_->write_on == on) return;
  impl_->write_on = on;
  impl_->Apply();
}
void SocketWatch::ReadSoon() {
  if (std::exchange(impl_->soon, true)) return;  // one is due already
  impl_->Soon();
}

bool SocketWatch::ReadEnabled() const {
  return impl_->read_on;
}
bool SocketWatch::WriteEnabled() const {
  return impl_->write_on;
}

}  // namespace qb
