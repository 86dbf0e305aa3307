#include "bridge/linkout.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <cmath>

namespace qb {

LinkOutput::LinkOutput(Port& port, MakePeer make) : port_(port), make_(std::move(make)) {
  if (!make_)
    make_ = [](std::function<void()> wake, bool start_stop) -> std::unique_ptr<LinkPeer> {
      return std::make_unique<LinkSession>(std::move(wake), start_stop);
    };
  wake_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  timer_ = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
  leaving_.reserve(4);
  if (EventLoop* loop = EventLoop::Current()) {
    if (wake_ >= 0) wake_watch_ = loop->Watch(wake_, EPOLLIN, this);
    if (timer_ >= 0) timer_watch_ = loop->Watch(timer_, EPOLLIN, this);
  }
}

LinkOutput::~LinkOutput() {
  SetOn(false);
  leaving_.clear();  // each waits for its threads: nothing writes the descriptor after this
  if (EventLoop* loop = EventLoop::Current()) {
    if (wake_watch_ >= 0) loop->Unwatch(wake_watch_);
    if (timer_watch_ >= 0) loop->Unwatch(timer_watch_);
  }
  if (wake_ >= 0) ::close(wake_);
  if (timer_ >= 0) ::close(timer_);
}

void LinkOutput::SetOn(bool on) {
  if (on == On()) return;
  if (on) {
    const int fd = wake_;
    peer_ = make_(
        [fd] {
          const std::uint64_t one = 1;
          // A full counter has news waiting already.
          [[maybe_unused]] const ssize_t n = ::write(fd, &one, sizeof one);
        },
        start_stop_);
    grid_ = BeatClock{};
    playing_ = false;
    committed_ = false;
  } else {
    // Leaving is the peer's own business: its threads say goodbye and end while the engine goes
    // on, and Check frees it once they have.
    peer_->Leave();
    leaving_.push_back(std::move(peer_));
    const itimerspec off{};
    if (timer_ >= 0) ::timerfd_settime(timer_, 0, &off, nullptr);
  }
  ShowPeers();
}

void LinkOutput::SetStartStop(bool on) {
  if (on == start_stop_) return;
  start_stop_ = on;
  playing_ = false;
  if (peer_) peer_->SetStartStopSync(on);
}

void LinkOutput::Beat(std::int64_t at_us) {
  if (!peer_) return;
  grid_.Beat(at_us, discard_);
  committed_ = false;
  CommitGrid();
}

void LinkOutput::DeckChanged(std::int64_t at_us) {
  if (peer_) grid_.DeckChanged(at_us);
}

void LinkOutput::CommitGrid() {
  const std::optional<BeatClock::Grid> line = grid_.Line();
  if (!line || !peer_ || !peer_->Ready()) return;
  LinkCommit c;
  c.timeline = true;
  c.bpm = 60e6 / line->period_us;
  c.beat_us = std::llround(line->time_us) + offset_us_;
  if (start_stop_ && !playing_) {
    c.transport = true;
    c.playing = true;
    c.playing_us = c.beat_us;
  }
  if (!peer_->Commit(c)) return;
  committed_ = true;
  if (c.transport) playing_ = true;
  ArmStop();
}

void LinkOutput::CommitStopped(std::int64_t at_us) {
  LinkCommit c;
  c.transport = true;
  c.playing = false;
  c.playing_us = at_us + offset_us_;
  if (peer_->Commit(c)) playing_ = false;
}

// The stop is only a transport's business: the timeline needs no word when beats end.
void LinkOutput::ArmStop() {
  if (timer_ < 0 || !start_stop_) return;
  const std::optional<BeatClock::Grid> line = grid_.Line();
  if (!line) return;
  const std::int64_t at = std::llround(line->time_us + line->period_us * (2.0 + 1.0 / 8)) + 1000;
  itimerspec when{};
  when.it_value.tv_sec = at / 1000000;
  when.it_value.tv_nsec = (at % 1000000) * 1000;
  ::timerfd_settime(timer_, TFD_TIMER_ABSTIME, &when, nullptr);
}

void LinkOutput::Ready(std::uint32_t) {
  std::uint64_t count;
  const bool timed = timer_ >= 0 && ::read(timer_, &count, sizeof count) > 0;
  if (wake_ >= 0) {
    [[maybe_unused]] const ssize_t n = ::read(wake_, &count, sizeof count);
  }
  Check();
  if (!timed || !peer_) return;
  const std::int64_t now = port_.NowUs();
  grid_.Pump(now, now + 1, discard_);
  if (grid_.Running())
    ArmStop();  // a beat came after all
  else if (start_stop_ && playing_)
    CommitStopped(now);
}

void LinkOutput::Check() {
  for (auto it = leaving_.begin(); it != leaving_.end();)
    it = (*it)->Done() ? leaving_.erase(it) : it + 1;
  // A peer that became ready after the beat: the grid is still the estimator's, not stale.
  if (peer_ && !committed_) CommitGrid();
  ShowPeers();
}

void LinkOutput::ShowPeers() {
  const int peers = peer_ ? static_cast<int>(peer_->Peers()) : -1;
  if (peers == shown_peers_) return;
  shown_peers_ = peers;
  port_.Peers(peers);
}

}  // namespace qb
