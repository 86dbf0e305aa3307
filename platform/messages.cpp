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
#include "platform/eventloop.h"
#include "platform/timerlist.h"

namespace qb {
namespace {

struct Window {
  MessageProc proc;
  // The platform loop of the thread that made the window; null for the user-interface thread,
  // whose loop is Qt's.
  EventLoop* loop = nullptr;
  // The window's own thread only: handlers of this window running now, and whether it was
  // destroyed meanwhile (then the last of them frees it).
  int calls = 0;
  bool gone = false;
};

// The windows of the calling thread: the thread that handles a window's messages looks it up
// here, without the registry's lock, so no other thread's posting can hold it up. Shared
// windows that outlive the thread's own storage (freed at exit) are found in the registry.
thread_local bool t_own_gone = false;  // trivially destructible: readable to the very end
struct OwnMap {
  std::unordered_map<HWND, Window*> map;
  ~OwnMap() { t_own_gone = true; }
};
std::unordered_map<HWND, Window*>* OwnWindows() {
  if (t_own_gone) return nullptr;
  thread_local OwnMap own;
  return &own.map;
}

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
  std::mutex mutex;  // guards windows, next and dispatcher for threads posting to others
  std::unordered_map<HWND, std::unique_ptr<Window>> windows;  // every thread's
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

[[maybe_unused]] bool OnUiThread() {
  return std::this_thread::get_id() == ui_thread.load(std::memory_order_relaxed);
}

// The calling thread's own window, if wnd is one.
Window* Find(HWND wnd) {
  auto* own = OwnWindows();
  if (!own) return nullptr;
  auto it = own->find(wnd);
  return it == own->end() ? nullptr : it->second;
}

bool Exists(HWND wnd) {
  if (Find(wnd)) return true;
  auto& r = Reg();
  std::lock_guard lock(r.mutex);
  return r.windows.count(wnd) != 0;
}

// The timers of the calling thread's loop.
std::unique_ptr<TimerList>& ThreadTimers() {
  if (EventLoop* loop = EventLoop::Current()) return loop->Timers();
  return Reg().timers;
}

void RunPosted(const EventLoop::Task& t) {
  Dispatch(static_cast<HWND>(t.a), static_cast<UINT>(t.b), static_cast<WPARAM>(t.c),
           static_cast<LPARAM>(t.d));
}

bool LoopPost(EventLoop& loop, HWND wnd, UINT msg, WPARAM wparam, LPARAM lparam) {
  EventLoop::Task t;
  t.run = &RunPosted;
  t.a = wnd;
  t.b = msg;
  t.c = wparam;
  t.d = static_cast<std::uintptr_t>(lparam);
  return loop.Post(t);
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

// On the window's own thread; a message for a window that is gone (or another thread's) is
// dropped.
LRESULT Dispatch(HWND wnd, UINT msg, WPARAM wparam, LPARAM lparam) {
  Window* w = Find(wnd);
  if (!w) return 0;
  LRESULT result = 0;
  const bool ui = !w->loop;
  LocalPosts& l = Local();
  if (ui) ++l.depth;
  ++w->calls;  // a handler that destroys its own window still runs to its end
  Guarded([&] { result = w->proc(msg, wparam, lparam); });
  if (--w->calls == 0 && w->gone) delete w;
  if (ui && --l.depth == 0) DrainLocalPosts();
  return result;
}

}  // namespace

HWND AllocateHWnd(MessageProc proc) {
  EventLoop* loop = EventLoop::Current();
  if (!loop) {
    EnsureDispatcher();
    assert(OnUiThread() && "windows are made on the user-interface thread or on a loop's");
  }
  auto w = std::make_unique<Window>(Window{std::move(proc), loop});
  Window* raw = w.get();
  auto& r = Reg();
  HWND h;
  {
    std::lock_guard lock(r.mutex);
    h = r.next++;
    r.windows.emplace(h, std::move(w));
  }
  if (auto* own = OwnWindows()) own->emplace(h, raw);
  return h;
}

void DeallocateHWnd(HWND wnd) {
  if (auto* own = OwnWindows()) {
    auto mine = own->find(wnd);
    assert((mine != own->end() || !Exists(wnd)) && "a window is destroyed on its own thread");
    if (mine == own->end()) return;
    own->erase(mine);
  }
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
  if (auto& timers = ThreadTimers()) timers->KillAll(wnd);
}

bool IsWindow(HWND wnd) {
  return Exists(wnd);
}

namespace {

// A window of another thread, or a UI window posted to through Qt's queue. The registry's lock
// keeps the window, and so its loop, in place while the message is queued.
bool QtPost(HWND wnd, UINT msg, WPARAM wparam, LPARAM lparam, bool from_ui) {
  auto& r = Reg();
  std::lock_guard lock(r.mutex);
  auto it = r.windows.find(wnd);
  if (it == r.windows.end()) return false;
  if (EventLoop* loop = it->second->loop) return LoopPost(*loop, wnd, msg, wparam, lparam);
  if (!r.dispatcher) return false;
  if (from_ui) ++Local().in_qt_queue;
  QCoreApplication::postEvent(r.dispatcher, new MessageEvent(wnd, msg, wparam, lparam, from_ui));
  return true;
}

}  // namespace

bool PostMessage(HWND wnd, UINT msg, WPARAM wparam, LPARAM lparam) {
  // A loop's own windows: into its queue, taken at the end of the pass under way.
  if (EventLoop* loop = EventLoop::Current()) {
    if (Find(wnd)) return LoopPost(*loop, wnd, msg, wparam, lparam);
    return QtPost(wnd, msg, wparam, lparam, false);
  }
  const bool from_ui = std::this_thread::get_id() == ui_thread.load();
  if (from_ui && Find(wnd)) {
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
  // A window's timers tick on its own thread, set from there.
  if (!Find(wnd)) return 0;
  auto& timers = ThreadTimers();
  if (!timers)
    timers = std::make_unique<TimerList>([](HWND w, UINT_PTR i) { Dispatch(w, WM_TIMER, i, 0); });
  // Very short intervals are raised to 10 ms, as window timers are.
  if (!timers->Set(wnd, id, std::clamp<UINT>(ms, 10, 0x7FFFFFFF))) return 0;
  return id == 0 ? 1 : id;
}

bool KillTimer(HWND wnd, UINT_PTR id) {
  auto& timers = ThreadTimers();
  return timers && timers->Kill(wnd, id);
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
