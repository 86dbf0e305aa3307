#include "platform/socketwatch.h"

#include <fcntl.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <QAbstractEventDispatcher>
#include <QObject>
#include <QSocketNotifier>
#include <algorithm>
#include <utility>
#include <vector>

#if QB_HAVE_GLIB
#include <glib.h>
#endif

#include "platform/errors.h"
#include "platform/eventloop.h"

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

// On a thread that runs the platform's own loop, the descriptor is one of its epoll watches.
class EpollImpl final : public SocketWatch::Impl, public EventLoop::Watcher {
 public:
  EpollImpl(int fd, SocketWatch::Callback cb, EventLoop& loop)
      : Impl(std::move(cb)), fd_(fd), loop_(loop) {}
  ~EpollImpl() override {
    loop_.Unwatch(watch_);
    loop_.Forget(this);
  }
  void Apply() override {
    const std::uint32_t events = (read_on ? kRead : 0u) | (write_on ? kWrite : 0u);
    // Not watched at all while neither direction is wanted: a pending error or hang-up would
    // otherwise wake every pass.
    if (events == 0) {
      loop_.Unwatch(std::exchange(watch_, -1));
    } else if (watch_ < 0) {
      watch_ = loop_.Watch(fd_, events, this);
    } else if (events != watched_) {
      loop_.Rewatch(watch_, events);
    }
    watched_ = events;
    if (soon && read_on) loop_.MakeDue(this);
    if (!read_on) loop_.Forget(this);  // a read that is off keeps its due call for later
  }
  void Soon() override {
    if (read_on) loop_.MakeDue(this);
  }
  void Ready(std::uint32_t events) override {
    const bool due = events == EventLoop::kDue;
    if (read_on && ((due && soon) || (!due && (events & (kRead | kErrors))))) {
      soon = false;
      if (!Fire(SocketWatch::Ready::Read)) return;  // destroyed inside its callback
    }
    if (!due && write_on && (events & (kWrite | kErrors))) Fire(SocketWatch::Ready::Write);
  }

 private:
  static constexpr std::uint32_t kRead = EPOLLIN;
  static constexpr std::uint32_t kWrite = EPOLLOUT;
  static constexpr std::uint32_t kErrors = EPOLLERR | EPOLLHUP;
  const int fd_;
  EventLoop& loop_;
  int watch_ = -1;
  std::uint32_t watched_ = 0;
};

#if QB_HAVE_GLIB

// All of a thread's watches share one glib source: every source costs each pass of the loop
// its own prepare and check, with glib's locking around each, and a datagram in steady traffic
// pays one pass of its own.
class GlibImpl;

class SharedSource {
 public:
  // The source of the context on this thread, made with its first watch there.
  static SharedSource& Join(GMainContext* context, GlibImpl* impl) {
    if (!t_shared || t_shared->context_ != context) t_shared = new SharedSource(context);
    t_shared->watches_.push_back(impl);
    return *t_shared;
  }
  // Each watch owns its poll record, so what the last poll found is read in place.
  void Add(GPollFD* fd) { g_source_add_poll(source_, fd); }
  void RemoveFd(GPollFD* fd) { g_source_remove_poll(source_, fd); }
  void DueNow() {
    if (!std::exchange(due_now_, true)) g_source_set_ready_time(source_, 0);
  }
  void Leave(GlibImpl* impl);

 private:
  explicit SharedSource(GMainContext* context) : context_(context) {
    // No prepare of its own, so glib calls none each pass: a watch that is due without its
    // descriptor showing it makes the source ready through glib's own ready time instead.
    static GSourceFuncs funcs = {nullptr, Check, Dispatch, nullptr, nullptr, nullptr};
    source_ = g_source_new(&funcs, sizeof(Source));
    reinterpret_cast<Source*>(source_)->shared = this;
    g_source_set_can_recurse(source_, TRUE);  // a handler may run a nested loop (a message box)
    g_source_attach(source_, context);
  }
  ~SharedSource() {
    g_source_destroy(source_);
    g_source_unref(source_);
  }
  struct Source {
    GSource base;
    SharedSource* shared;
  };
  static SharedSource* Of(GSource* s) { return reinterpret_cast<Source*>(s)->shared; }
  static gboolean Check(GSource* s);
  static gboolean Dispatch(GSource* s, GSourceFunc, gpointer);
  void Compact();

  static thread_local SharedSource* t_shared;
  GMainContext* const context_;
  GSource* source_;
  // In the order made; a watch that goes while callbacks run leaves a null behind, swept away
  // when the outermost dispatch ends.
  std::vector<GlibImpl*> watches_;
  int dispatching_ = 0;
  bool holes_ = false;
  bool due_now_ = false;  // made ready by DueNow, without its descriptors showing it
};

thread_local SharedSource* SharedSource::t_shared = nullptr;

class GlibImpl final : public SocketWatch::Impl {
 public:
  GlibImpl(int fd, SocketWatch::Callback cb, GMainContext* context)
      : Impl(std::move(cb)), poll_{fd, 0, 0}, shared_(SharedSource::Join(context, this)) {}
  ~GlibImpl() override {
    if (polled_) shared_.RemoveFd(&poll_);
    shared_.Leave(this);
  }
  void Apply() override {
    const int events = (read_on ? kRead : 0) | (write_on ? kWrite : 0);
    // Not polled at all while neither direction is wanted: a pending error or hang-up would
    // otherwise wake every poll.
    poll_.events = static_cast<gushort>(events);
    poll_.revents = 0;
    if (events == 0 && polled_) {
      shared_.RemoveFd(&poll_);
      polled_ = false;
    } else if (events != 0 && !polled_) {
      shared_.Add(&poll_);
      polled_ = true;
    }
    if (SoonDue()) shared_.DueNow();
  }
  void Soon() override {
    if (read_on) shared_.DueNow();  // a read that is off is made due when it is switched on
  }

  bool SoonDue() const { return soon && read_on; }
  bool Due() const { return SoonDue() || Polled() != 0; }
  // Runs what is due, if anything; the watch may be gone afterwards.
  void Run() {
    const int ready = Polled();
    if (SoonDue() || (read_on && (ready & kRead))) {
      soon = false;
      if (!Fire(SocketWatch::Ready::Read)) return;  // destroyed inside its callback
    }
    if (write_on && (ready & kWrite)) Fire(SocketWatch::Ready::Write);
  }

 private:
  // What Qt's notifiers answer to: errors and hang-ups wake a reader too.
  static constexpr int kRead = G_IO_IN | G_IO_HUP | G_IO_ERR;
  static constexpr int kWrite = G_IO_OUT | G_IO_ERR;

  int Polled() const { return polled_ ? poll_.revents : 0; }

  GPollFD poll_;
  SharedSource& shared_;
  bool polled_ = false;
};

void SharedSource::Leave(GlibImpl* impl) {
  auto it = std::find(watches_.begin(), watches_.end(), impl);
  if (it != watches_.end()) {
    if (dispatching_ > 0) {
      *it = nullptr;
      holes_ = true;
    } else {
      watches_.erase(it);
    }
  }
  Compact();
}

// Without watches the source goes too, so a thread that made some and let them go leaves no
// source polled behind.
void SharedSource::Compact() {
  if (dispatching_ > 0) return;
  if (std::exchange(holes_, false))
    watches_.erase(std::remove(watches_.begin(), watches_.end(), nullptr), watches_.end());
  if (!watches_.empty()) return;
  if (t_shared == this) t_shared = nullptr;
  delete this;
}

gboolean SharedSource::Check(GSource* s) {
  for (GlibImpl* w : Of(s)->watches_)
    if (w && w->Due()) return TRUE;
  return FALSE;
}

gboolean SharedSource::Dispatch(GSource* s, GSourceFunc, gpointer) {
  SharedSource* shared = Of(s);
  if (std::exchange(shared->due_now_, false)) g_source_set_ready_time(s, -1);  // runs below
  ++shared->dispatching_;
  // By index: a callback may add watches (at the end) or remove some (left null).
  for (std::size_t i = 0; i < shared->watches_.size(); ++i) {
    if (GlibImpl* w = shared->watches_[i]) w->Run();
  }
  --shared->dispatching_;
  shared->Compact();  // may free the shared source itself; its GSource stays valid until then
  return G_SOURCE_CONTINUE;
}

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
  if (EventLoop* loop = EventLoop::Current()) {
    impl_ = std::make_unique<EpollImpl>(fd, std::move(callback), *loop);
    return;
  }
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

int QuietDescriptor(int fd) {
  // Below the usual limit of 1024 open descriptors, above those a process like this one holds.
  constexpr int kQuietFloor = 512;
  if (fd < 0 || fd >= kQuietFloor) return fd;
  const int high = ::fcntl(fd, F_DUPFD_CLOEXEC, kQuietFloor);
  if (high < 0) return fd;
  ::close(fd);
  return high;
}

bool SocketWatch::ReadEnabled() const {
  return impl_->read_on;
}
bool SocketWatch::WriteEnabled() const {
  return impl_->write_on;
}

}  // namespace qb
