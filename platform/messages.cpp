#include "platform/messages.h"

#include <sys/timerfd.h>
#include <unistd.h>
#include <QApplication>
#include <QCoreApplication>
#include <QEvent>
#include <QObject>

#include <algorithm>
#include <atomic>
#include <cassert>
#include <cctype>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

#include "platform/errors.h"
#include "platform/timerlist.h"

namespace qb {
namespace {

struct Window {
  MessageProc proc;
  // UI thread only: handlers of this window running now, and whether it was destroyed meanwhile
  // (then the last of them frees it).
  int calls = 0;
  bool gone = false;
};

class MessageEvent : public QEvent {
 public:
  static QEvent::Type TypeId() {
    static const auto id = static_cast<QEvent::Type>(QEvent::registerEventType());
    return id;
  }
  MessageEvent(HWND w, UINT m, WPARAM wp, LPARAM lp, bool ui)
      : QEvent(TypeId()), wnd(w), msg(m), wparam(wp), lparam(lp), from_ui(ui) {}
  HWND wnd;
  UINT msg;
  WPARAM wparam;
  LPARAM lparam;
  bool from_ui;  // posted by the user-interface thread
};

// Posts the user-interface thread makes while one of its handlers runs are handled right after
// that handler, in the same pass of the event loop: a handler's post costs no wake and no
// second pass (a MIDI port's done notice posted inside its send, say). Posts from elsewhere,
// and those made while an earlier one still waits in Qt's queue, go through Qt's queue, so a
// thread's posts keep their order. UI thread only.
struct LocalPosts {
  struct Item {
    HWND wnd;
    UINT msg;
    WPARAM wparam;
    LPARAM lparam;
  };
  LocalPosts() { items.reserve(64); }
  static constexpr std::size_t kPerPass = 256;  // a message that posts itself lets others in
  std::vector<Item> items;                      // room kept: nothing is allocated per post
  std::size_t head = 0;
  int depth = 0;  // handlers running from Dispatch
  bool draining = false;
  long in_qt_queue = 0;  // UI-thread posts still in Qt's queue
};

LocalPosts& Local() {
  static LocalPosts* l = new LocalPosts;
  return *l;
}

std::atomic<std::thread::id> ui_thread{};

LRESULT Dispatch(HWND wnd, UINT msg, WPARAM wparam, LPARAM lparam);

// All posted messages go to one receiver, so one thread's posts keep their order across
// windows; the target is looked up when the message is handled.
class Dispatcher : public QObject {
 public:
  ~Dispatcher() override;
  bool event(QEvent* e) override {
    if (e->type() == MessageEvent::TypeId()) {
      auto* m = static_cast<MessageEvent*>(e);
      if (m->from_ui) --Local().in_qt_queue;
      Dispatch(m->wnd, m->msg, m->wparam, m->lparam);
      return true;
    }
    return QObject::event(e);
  }
};

struct Registry {
  std::mutex mutex;  // guards windows, next and dispatcher for posting threads
  std::unordered_map<HWND, std::unique_ptr<Window>> windows;
  HWND next = 0x10000;
  Dispatcher* dispatcher = nullptr;
  // UI thread only:
  std::unique_ptr<TimerList> timers;  // created with the first timer
};

Registry& Reg() {
  static Registry* r = new Registry;  // lives for the process: posts may race with exit
  return *r;
}

// Called on the UI thread with the registry unlocked.
Dispatcher* EnsureDispatcher() {
  auto& r = Reg();
  std::lock_guard lock(r.mutex);
  if (!r.dispatcher) {
    ui_thread = std::this_thread::get_id();
    auto* d = new Dispatcher;
    // Owned by the application object, so it goes when the event loop goes.
    if (QCoreApplication::instance()) d->setParent(QCoreApplication::instance());
    r.dispatcher = d;
  }
  return r.dispatcher;
}

Dispatcher::~Dispatcher() {
  auto& r = Reg();
  r.timers.reset();  // the event loop that watches them goes with this object
  std::lock_guard lock(r.mutex);
  if (r.dispatcher == this) r.dispatcher = nullptr;
}

bool OnUiThread() {
  return std::this_thread::get_id() == ui_thread.load(std::memory_order_relaxed);
}

// Windows are made and destroyed on the user-interface thread only, so that thread reads the
// registry without the lock; other threads take it.
template <typename F>
auto WithWindow(HWND wnd, F&& f) {
  auto& r = Reg();
  auto look = [&] {
    auto it = r.windows.find(wnd);
    return f(it == r.windows.end() ? nullptr : &it->second);
  };
  if (OnUiThread()) return look();
  std::lock_guard lock(r.mutex);
  return look();
}

Window* Find(HWND wnd) {
  return WithWindow(wnd, [](const std::unique_ptr<Window>* w) { return w ? w->get() : nullptr; });
}

bool Exists(HWND wnd) {
  return WithWindow(wnd, [](const std::unique_ptr<Window>* w) { return w != nullptr; });
}

bool QtPost(HWND wnd, UINT msg, WPARAM wparam, LPARAM lparam, bool from_ui);

void DrainLocalPosts() {
  LocalPosts& l = Local();
  if (l.draining) return;
  l.draining = true;
  std::size_t handled = 0;
  while (l.head < l.items.size()) {
    const LocalPosts::Item m = l.items[l.head++];
    if (++handled > LocalPosts::kPerPass) {
      // The rest waits for the next pass, in order, behind Qt's queue.
      QtPost(m.wnd, m.msg, m.wparam, m.lparam, true);
      continue;
    }
    Dispatch(m.wnd, m.msg, m.wparam, m.lparam);
  }
  l.items.clear();
  l.head = 0;
  l.draining = false;
}

LRESULT Dispatch(HWND wnd, UINT msg, WPARAM wparam, LPARAM lparam) {
  assert(OnUiThread() && "messages are handled on the user-interface thread only");
  Window* w = Find(wnd);
  if (!w) return 0;
  LRESULT result = 0;
  LocalPosts& l = Local();
  ++l.depth;
  ++w->calls;  // a handler that destroys its own window still runs to its end
  Guarded([&] { result = w->proc(msg, wparam, lparam); });
  if (--w->calls == 0 && w->gone) delete w;
  if (--l.depth == 0) DrainLocalPosts();
  return result;
}

}  // namespace

HWND AllocateHWnd(MessageProc proc) {
  EnsureDispatcher();
  assert(OnUiThread() && "windows are made on the user-interface thread only");
  auto& r = Reg();
  std::lock_guard lock(r.mutex);
  HWND h = r.next++;
  r.windows.emplace(h, std::make_unique<Window>(Window{std::move(proc)}));
  return h;
}

void DeallocateHWnd(HWND wnd) {
  assert(OnUiThread() && "windows are destroyed on the user-interface thread only");
  auto& r = Reg();
  std::unique_ptr<Window> doomed;  // destroyed outside the lock
  {
    std::lock_guard lock(r.mutex);
    auto it = r.windows.find(wnd);
    if (it == r.windows.end()) return;
    doomed = std::move(it->second);
    r.windows.erase(it);
  }
  if (doomed->calls > 0) doomed.release()->gone = true;  // freed when its handlers return
  if (r.timers) r.timers->KillAll(wnd);
}

bool IsWindow(HWND wnd) {
  return Exists(wnd);
}

namespace {

bool QtPost(HWND wnd, UINT msg, WPARAM wparam, LPARAM lparam, bool from_ui) {
  auto& r = Reg();
  std::lock_guard lock(r.mutex);
  if (!r.windows.count(wnd) || !r.dispatcher) return false;
  if (from_ui) ++Local().in_qt_queue;
  QCoreApplication::postEvent(r.dispatcher, new MessageEvent(wnd, msg, wparam, lparam, from_ui));
  return true;
}

}  // namespace

bool PostMessage(HWND wnd, UINT msg, WPARAM wparam, LPARAM lparam) {
  const bool from_ui = std::this_thread::get_id() == ui_thread.load();
  if (from_ui) {
    LocalPosts& l = Local();
    if (l.depth > 0 && l.in_qt_queue == 0) {
      if (!IsWindow(wnd)) return false;
      l.items.push_back({wnd, msg, wparam, lparam});
      return true;
    }
  }
  return QtPost(wnd, msg, wparam, lparam, from_ui);
}

LRESULT SendMessage(HWND wnd, UINT msg, WPARAM wparam, LPARAM lparam) {
  return Dispatch(wnd, msg, wparam, lparam);
}

LRESULT DefWindowProc(HWND, UINT, WPARAM, LPARAM) {
  return 0;
}

UINT_PTR SetTimer(HWND wnd, UINT_PTR id, UINT ms) {
  if (!IsWindow(wnd)) return 0;
  auto& r = Reg();
  if (!r.timers)
    r.timers = std::make_unique<TimerList>([](HWND w, UINT_PTR i) { Dispatch(w, WM_TIMER, i, 0); });
  // Very short intervals are raised to 10 ms, as window timers are.
  if (!r.timers->Set(wnd, id, std::clamp<UINT>(ms, 10, 0x7FFFFFFF))) return 0;
  return id == 0 ? 1 : id;
}

bool KillTimer(HWND wnd, UINT_PTR id) {
  auto& r = Reg();
  return r.timers && r.timers->Kill(wnd, id);
}

UINT RegisterWindowMessage(const std::string& name) {
  static std::mutex mutex;
  static std::map<std::string, UINT> numbers;
  std::string key = name;
  std::transform(key.begin(), key.end(), key.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  std::lock_guard lock(mutex);
  auto [it, added] = numbers.emplace(key, 0);
  if (added) it->second = 0xC000 + static_cast<UINT>(numbers.size() - 1);
  return it->second;
}

void ProcessMessages() {
  QCoreApplication::sendPostedEvents();
  QCoreApplication::processEvents(QEventLoop::AllEvents);
}

UINT GetDoubleClickTime() {
  int ms = qobject_cast<QApplication*>(QCoreApplication::instance())
               ? QApplication::doubleClickInterval()
               : 400;
  return static_cast<UINT>(ms > 0 ? ms : 400);
}

}  // namespace qb
