#include "platform/messages.h"

#include <sys/timerfd.h>
#include <unistd.h>
#include <QApplication>
#include <QCoreApplication>
#include <QEvent>
#include <QObject>

#include <algorithm>
#include <cctype>
#include <map>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "platform/errors.h"
#include "platform/timerlist.h"

namespace qb {
namespace {

struct Window {
  MessageProc proc;
};

class MessageEvent : public QEvent {
 public:
  static QEvent::Type TypeId() {
    static const auto id = static_cast<QEvent::Type>(QEvent::registerEventType());
    return id;
  }
  MessageEvent(HWND w, UINT m, WPARAM wp, LPARAM lp)
      : QEvent(TypeId()), wnd(w), msg(m), wparam(wp), lparam(lp) {}
  HWND wnd;
  UINT msg;
  WPARAM wparam;
  LPARAM lparam;
};

LRESULT Dispatch(HWND wnd, UINT msg, WPARAM wparam, LPARAM lparam);

// All posted messages go to one receiver, so one thread's posts keep their order across
// windows; the target is looked up when the message is handled.
class Dispatcher : public QObject {
 public:
  ~Dispatcher() override;
  bool event(QEvent* e) override {
    if (e->type() == MessageEvent::TypeId()) {
      auto* m = static_cast<MessageEvent*>(e);
      Dispatch(m->wnd, m->msg, m->wparam, m->lparam);
      return true;
    }
    return QObject::event(e);
  }
};

struct Registry {
  std::mutex mutex;  // guards windows, next and dispatcher for posting threads
  std::unordered_map<HWND, std::shared_ptr<Window>> windows;
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

std::shared_ptr<Window> Find(HWND wnd) {
  auto& r = Reg();
  std::lock_guard lock(r.mutex);
  auto it = r.windows.find(wnd);
  return it == r.windows.end() ? nullptr : it->second;
}

LRESULT Dispatch(HWND wnd, UINT msg, WPARAM wparam, LPARAM lparam) {
  auto w = Find(wnd);  // keeps the handler alive if it destroys its own window
  if (!w) return 0;
  LRESULT result = 0;
  Guarded([&] { result = w->proc(msg, wparam, lparam); });
  return result;
}

}  // namespace

HWND AllocateHWnd(MessageProc proc) {
  EnsureDispatcher();
  auto& r = Reg();
  std::lock_guard lock(r.mutex);
  HWND h = r.next++;
  r.windows.emplace(h, std::make_shared<Window>(Window{std::move(proc)}));
  return h;
}

void DeallocateHWnd(HWND wnd) {
  auto& r = Reg();
  std::shared_ptr<Window> doomed;  // destroyed outside the lock
  {
    std::lock_guard lock(r.mutex);
    auto it = r.windows.find(wnd);
    if (it == r.windows.end()) return;
    doomed = std::move(it->second);
    r.windows.erase(it);
  }
  if (r.timers) r.timers->KillAll(wnd);
}

bool IsWindow(HWND wnd) {
  return Find(wnd) != nullptr;
}

bool PostMessage(HWND wnd, UINT msg, WPARAM wparam, LPARAM lparam) {
  auto& r = Reg();
  std::lock_guard lock(r.mutex);
  if (!r.windows.count(wnd) || !r.dispatcher) return false;
  QCoreApplication::postEvent(r.dispatcher, new MessageEvent(wnd, msg, wparam, lparam));
  return true;
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
