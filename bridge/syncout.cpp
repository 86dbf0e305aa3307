#include "bridge/syncout.h"

#include <sys/epoll.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "platform/errors.h"

namespace qb {

namespace {

constexpr std::uint8_t kClockStop = 0xFC;
// A timer set closer than this to now fires at once: not worth a wait of its own.
constexpr std::int64_t kSoonUs = 50;

}  // namespace

SyncOutputs::SyncOutputs(Port& port) : port_(port) {
  timer_ = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
  if (EventLoop* loop = EventLoop::Current(); loop && timer_ >= 0)
    watch_ = loop->Watch(timer_, EPOLLIN, this);
}

SyncOutputs::~SyncOutputs() {
  if (watch_ >= 0)
    if (EventLoop* loop = EventLoop::Current()) loop->Unwatch(watch_);
  if (timer_ >= 0) ::close(timer_);
}

void SyncOutputs::SetMtcRate(int rate) {
  if (rate != 0 && !ValidMtcRate(rate)) return;
  if (rate == rate_) return;
  rate_ = rate;
  // Quarter frames of the old rate must not run on into the new one's stream.
  Forget(Kind::kTimeCode);
  if (rate == 0)
    mtc_.reset();
  else
    mtc_.emplace(rate);
}

void SyncOutputs::SetTimeCodeOut(bool on) {
  if (on || !mtc_) return;
  // Not even the stop frame: the user asked for no more time code, and a new stream starts with
  // a full frame of its own once the box is on again.
  mtc_.emplace(rate_);
  Forget(Kind::kTimeCode);
  Pump();
}

void SyncOutputs::SetClock(bool on) {
  if (on == clock_.has_value()) return;
  if (on) {
    clock_.emplace();
    return;
  }
  // A reader left running would go on at the last tempo: tell it the clock stopped.
  const bool running = clock_->Running();
  clock_.reset();
  if (running) Queue(port_.NowUs() + offset_us_, &kClockStop, 1, Kind::kClock);
  ShowTempo();
  Pump();
}

void SyncOutputs::SetOffsetMs(int ms) {
  offset_ms_ = std::clamp(ms, kMinOffsetMs, kMaxOffsetMs);
  offset_us_ = std::int64_t{offset_ms_} * 1000;
}

void SyncOutputs::Beat(std::int64_t at_us) {
  if (!clock_) return;
  clock_->Beat(at_us, sink_);
  ShowTempo();
  Pump();
}

void SyncOutputs::DeckChanged(std::int64_t at_us) {
  if (clock_) clock_->DeckChanged(at_us);
}

void SyncOutputs::Position(std::int64_t at_us, std::int32_t tenths) {
  if (!mtc_) return;
  mtc_->Position(at_us, tenths, sink_);
  Pump();
}

bool SyncOutputs::Delay(const std::uint8_t* bytes, std::uint16_t length) {
  if (offset_us_ <= 0 || length > sizeof(Item::bytes)) return false;
  Queue(port_.NowUs() + offset_us_, bytes, length, Kind::kClassic);
  Pump();
  return true;
}

void SyncOutputs::StreamSink::Send(std::int64_t due_us, const std::uint8_t* bytes, int length) {
  s_.Queue(due_us + s_.offset_us_, bytes, static_cast<std::size_t>(length), Kind::kTimeCode);
}

void SyncOutputs::StreamSink::Send(std::int64_t due_us, std::uint8_t status) {
  s_.Queue(due_us + s_.offset_us_, &status, 1, Kind::kClock);
}

// Kept in the order of due times; what comes is nearly always the latest, so the insertion
// rarely moves anything.
void SyncOutputs::Queue(std::int64_t due_us, const std::uint8_t* bytes, std::size_t length,
                        Kind kind) {
  if (length == 0 || length > sizeof(Item::bytes)) return;
  if (count_ == kQueued) {
    ++dropped_;
    return;
  }
  std::size_t at = count_;
  while (at > 0 && queue_[(head_ + at - 1) % kQueued].due_us > due_us) {
    queue_[(head_ + at) % kQueued] = queue_[(head_ + at - 1) % kQueued];
    --at;
  }
  Item& item = queue_[(head_ + at) % kQueued];
  item.due_us = due_us;
  item.kind = kind;
  item.length = static_cast<std::uint8_t>(length);
  std::memcpy(item.bytes, bytes, length);
  ++count_;
}

void SyncOutputs::Forget(Kind kind) {
  std::size_t kept = 0;
  for (std::size_t i = 0; i < count_; ++i) {
    const Item& item = queue_[(head_ + i) % kQueued];
    if (item.kind != kind) queue_[(head_ + kept++) % kQueued] = item;
  }
  count_ = kept;
  if (count_ == 0) head_ = 0;
}

void SyncOutputs::Ready(std::uint32_t) {
  std::uint64_t expirations;
  while (::read(timer_, &expirations, sizeof expirations) > 0) {
  }
  armed_ = -1;
  Guarded([this] { Pump(); });
}

void SyncOutputs::Pump() {
  const std::int64_t now = port_.NowUs();
  const std::int64_t lead = std::max<std::int64_t>(port_.LeadUs(), 0);
  const std::int64_t horizon = now + lead;
  // The streams run on the beats' and positions' own time; what they send is moved by the
  // offset on its way out, so they are asked that much ahead (or behind).
  if (mtc_) mtc_->Pump(now, horizon - offset_us_, sink_);
  if (clock_) {
    clock_->Pump(now, horizon - offset_us_, sink_);
    ShowTempo();
  }
  // Woken a microsecond after a time comes within the lead, since what is due exactly at the
  // horizon waits for the next pass.
  std::int64_t next = MtcStream::kIdle;
  if (mtc_ && mtc_->NextDue() != MtcStream::kIdle) next = mtc_->NextDue() + offset_us_ - lead + 1;
  if (clock_ && clock_->NextDue() != BeatClock::kIdle)
    next = std::min(next, clock_->NextDue() + offset_us_ - lead + 1);
  while (count_ > 0 && queue_[head_].due_us <= horizon) {
    const Item item = queue_[head_];
    head_ = (head_ + 1) % kQueued;
    --count_;
    if (count_ == 0) head_ = 0;
    try {
      port_.Send(item.bytes, item.length, item.due_us);
    } catch (...) {
      // The rest waits for the next time; the error goes to the box once.
      if (count_ > 0) next = std::min(next, queue_[head_].due_us - lead);
      Arm(next);
      throw;
    }
  }
  if (count_ > 0) next = std::min(next, queue_[head_].due_us - lead);
  Arm(next);
}

void SyncOutputs::Arm(std::int64_t at_us) {
  if (timer_ < 0) return;
  if (at_us == MtcStream::kIdle) {
    if (armed_ < 0) return;
    const itimerspec off{};
    ::timerfd_settime(timer_, 0, &off, nullptr);
    armed_ = -1;
    return;
  }
  at_us = std::max(at_us, port_.NowUs() + kSoonUs);
  if (at_us == armed_) return;
  itimerspec when{};
  when.it_value.tv_sec = at_us / 1000000;
  when.it_value.tv_nsec = (at_us % 1000000) * 1000;
  ::timerfd_settime(timer_, TFD_TIMER_ABSTIME, &when, nullptr);
  armed_ = at_us;
}

void SyncOutputs::ShowTempo() {
  const double bpm = std::round(Bpm() * 10.0) / 10.0;
  if (bpm == shown_bpm_) return;
  shown_bpm_ = bpm;
  port_.Tempo(bpm);
}

}  // namespace qb
