#include "link/linksession.h"

#include <pthread.h>
#include <time.h>

#include <ableton/Link.hpp>
#include <chrono>
#include <cmath>

namespace qb {

namespace {

std::int64_t ClockUs(clockid_t clock) {
  timespec ts{};
  clock_gettime(clock, &ts);
  return std::int64_t{ts.tv_sec} * 1'000'000 + ts.tv_nsec / 1000;
}

}  // namespace

class LinkSession::Instance {
 public:
  ableton::Link link{120.0};
};

std::int64_t LinkSession::RawMinusMonotonicUs() {
  // The raw clock read between two reads of the other: the pair is off by at most half the
  // time between those, a microsecond or so.
  const std::int64_t before = ClockUs(CLOCK_MONOTONIC);
  const std::int64_t raw = ClockUs(CLOCK_MONOTONIC_RAW);
  const std::int64_t after = ClockUs(CLOCK_MONOTONIC);
  return raw - (before + (after - before) / 2);
}

LinkSession::LinkSession(std::function<void()> wake, bool start_stop_sync, bool enable)
    : wake_(std::move(wake)), enable_(enable), start_stop_(start_stop_sync) {
  keeper_ = std::thread([this] { Keep(); });
}

LinkSession::~LinkSession() {
  Leave();
  keeper_.join();
}

void LinkSession::Keep() {
  pthread_setname_np(pthread_self(), "quillbox-link");
  link_ = std::make_unique<Instance>();
  ableton::Link& link = link_->link;
  link.setNumPeersCallback([this](std::size_t peers) {
    peers_.store(peers, std::memory_order_relaxed);
    if (wake_) wake_();
  });
  bool start_stop = start_stop_.load();
  link.enableStartStopSync(start_stop);
  if (enable_) link.enable(true);
  ready_.store(true, std::memory_order_release);
  if (wake_) wake_();
  for (;;) {
    const unsigned seen = requests_.load(std::memory_order_acquire);
    if (leave_.load(std::memory_order_acquire)) break;
    if (start_stop_.load() != start_stop) {
      start_stop = !start_stop;
      link.enableStartStopSync(start_stop);
    }
    requests_.wait(seen, std::memory_order_acquire);
  }
  // Disabling says goodbye to the peers at once; destroying joins Link's threads.
  link.enable(false);
  link_.reset();
  peers_.store(0, std::memory_order_relaxed);
  done_.store(true, std::memory_order_release);
  if (wake_) wake_();
}

void LinkSession::SetStartStopSync(bool on) {
  start_stop_.store(on);
  requests_.fetch_add(1, std::memory_order_release);
  requests_.notify_one();
}

void LinkSession::Leave() {
  if (leave_.exchange(true, std::memory_order_acq_rel)) return;
  ready_.store(false, std::memory_order_release);
  requests_.fetch_add(1, std::memory_order_release);
  requests_.notify_one();
}

bool LinkSession::Commit(const LinkCommit& c) {
  if (!Ready()) return false;
  ableton::Link& link = link_->link;
  auto state = link.captureAudioSessionState();
  const std::int64_t shift = RawMinusMonotonicUs();
  if (c.timeline) {
    const std::chrono::microseconds at{c.beat_us + shift};
    state.setTempo(c.bpm, at);
    // The grid's beat goes on the session's nearest beat: its phase moves by less than half a
    // beat, and the bar's count goes on as the session had it (the beats say nothing of bars).
    state.forceBeatAtTime(std::round(state.beatAtTime(at, kLinkQuantum)), at, kLinkQuantum);
  }
  if (c.transport) state.setIsPlaying(c.playing, std::chrono::microseconds{c.playing_us + shift});
  link.commitAudioSessionState(state);
  return true;
}

double LinkSession::Tempo() const {
  return Ready() ? link_->link.captureAudioSessionState().tempo() : 0.0;
}

double LinkSession::BeatAt(std::int64_t t_us) const {
  if (!Ready()) return 0.0;
  return link_->link.captureAudioSessionState().beatAtTime(
      std::chrono::microseconds{t_us + RawMinusMonotonicUs()}, kLinkQuantum);
}

bool LinkSession::Playing() const {
  return Ready() && link_->link.captureAudioSessionState().isPlaying();
}

}  // namespace qb
