#include "platform/timerlist.h"

#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>

#include "platform/socketwatch.h"

namespace qb {

namespace {

std::int64_t NowNs() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return std::int64_t{t.tv_sec} * 1000000000 + t.tv_nsec;
}

}  // namespace

TimerList::TimerList(Tick tick) : tick_(std::move(tick)) {
  fd_ = QuietDescriptor(::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC));
  if (fd_ < 0) return;
  watch_ = std::make_unique<SocketWatch>(fd_, [this](SocketWatch::Ready) { Fire(); });
  watch_->SetReadEnabled(true);
  entries_.reserve(16);
}

TimerList::~TimerList() {
  watch_.reset();
  if (fd_ >= 0) ::close(fd_);
}

TimerList::Entry* TimerList::Find(HWND wnd, UINT_PTR id) {
  for (Entry& e : entries_)
    if (e.wnd == wnd && e.id == id) return &e;
  return nullptr;
}

bool TimerList::Set(HWND wnd, UINT_PTR id, UINT ms) {
  if (fd_ < 0) return false;
  Entry* e = Find(wnd, id);
  if (!e) e = Find(kNoWindow, 0);
  if (!e) e = &entries_.emplace_back();
  e->wnd = wnd;
  e->id = id;
  e->period_ns = std::int64_t{ms} * 1000000;
  e->due_ns = NowNs() + e->period_ns;
  e->armed = true;
  Arm();
  return true;
}

bool TimerList::Kill(HWND wnd, UINT_PTR id) {
  Entry* e = Find(wnd, id);
  if (!e || !e->armed) return false;
  e->armed = false;
  Arm();
  return true;
}

void TimerList::KillAll(HWND wnd) {
  for (Entry& e : entries_)
    if (e.wnd == wnd) e = Entry{};
  Arm();
}

void TimerList::Arm() {
  std::int64_t earliest = -1;
  for (const Entry& e : entries_)
    if (e.armed && (earliest < 0 || e.due_ns < earliest)) earliest = e.due_ns;
  if (earliest == armed_for_) return;
  armed_for_ = earliest;
  itimerspec deadline{};  // all zero disarms
  if (earliest >= 0) {
    // An absolute deadline that has passed already fires at once; zero would disarm.
    const std::int64_t at = earliest > 0 ? earliest : 1;
    deadline.it_value.tv_sec = at / 1000000000;
    deadline.it_value.tv_nsec = at % 1000000000;
  }
  ::timerfd_settime(fd_, TFD_TIMER_ABSTIME, &deadline, nullptr);
}

void TimerList::Fire() {
  std::uint64_t expirations = 0;
  if (::read(fd_, &expirations, sizeof expirations) != sizeof expirations) return;
  armed_for_ = -1;  // the descriptor has fired: it is set again below
  const std::int64_t now = NowNs();
  // Indices, not references: a tick may add entries (and so move the storage).
  for (std::size_t i = 0; i < entries_.size(); ++i) {
    Entry& e = entries_[i];
    if (!e.armed || e.due_ns > now) continue;
    // The next period keeps the phase; a timer that fell behind ticks once and goes on from
    // now, never in a burst.
    e.due_ns += e.period_ns;
    if (e.due_ns <= now) e.due_ns = now + e.period_ns;
    const HWND wnd = e.wnd;
    const UINT_PTR id = e.id;
    tick_(wnd, id);
  }
  Arm();
}

}  // namespace qb
