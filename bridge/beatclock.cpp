#include "bridge/beatclock.h"

#include <algorithm>
#include <cmath>

namespace qb {

namespace {

constexpr std::int64_t kNoOnBeat = std::numeric_limits<std::int64_t>::min() / 2;

}  // namespace

void BeatClock::Beat(std::int64_t now_us, Sink& sink) {
  // What fell due before this beat goes first, so that the beat meets the clock where it is.
  Pump(now_us, now_us + 1, sink);

  const bool near_previous = has_arrival_ && now_us - last_arrival_us_ < kMinPeriodUs;
  const bool near_taken = has_taken_ && now_us - last_taken_us_ < kMinPeriodUs;
  has_arrival_ = true;
  last_arrival_us_ = now_us;
  if (near_previous || near_taken) return;

  if (!running_) {
    if (!has_taken_ || deck_changed_ || now_us - last_taken_us_ > kMaxPeriodUs) {
      count_ = 0;
      Take(0, now_us, true);
      taken_index_ = 0;
    } else {
      // The second beat gives the tempo: Start, and the first clock on this beat.
      Take(taken_index_ + 1, now_us, false);
      taken_index_ += 1;
    }
    if (count_ == 2) {
      running_ = true;
      on_beat_due_us_ = kNoOnBeat;
      last_due_us_ = now_us;
      Emit(now_us, now_us, kStart, sink);
      sent_in_beat_ = kClocksPerBeat;
      StartBeat(taken_index_, now_us, sink);
    }
    deck_changed_ = false;
    has_taken_ = true;
    last_taken_us_ = now_us;
    stop_due_us_ = now_us + StopAfter();
    return;
  }

  const std::int64_t expected = taken_index_ + 1;
  const bool far = std::abs(static_cast<double>(now_us) - LineAt(expected)) > period_us_ / 8;
  if (expected == beat_index_ && far && sent_in_beat_ == kClocksPerBeat) {
    // The clock waits at the end of a beat that never came: this beat is the next one.
    if (count_ == 1) history_[head_].index = expected;  // no tempo yet to tell a lost beat by
    Take(expected + 1, now_us, deck_changed_);
    taken_index_ = expected + 1;
    StartBeat(taken_index_, now_us, sink);
  } else if (expected == beat_index_) {
    // Its on-beat clock is out already: the clocks left go to the corrected grid.
    Take(expected, now_us, deck_changed_);
    taken_index_ = expected;
    stretched_ = far;
  } else if (expected == beat_index_ + 1 && !far) {
    // Ahead of its on-beat clock, which stays where it was predicted: the correction is spread
    // over the next beat's clocks rather than the few left of this one.
    ahead_target_us_ = LineAt(expected);
    Take(expected, now_us, deck_changed_);
    taken_index_ = expected;
  } else {
    Flush(now_us, sink);
    Take(expected, now_us, deck_changed_);
    taken_index_ = expected;
    StartBeat(taken_index_, now_us, sink);
  }
  deck_changed_ = false;
  has_taken_ = true;
  last_taken_us_ = now_us;
  stop_due_us_ = now_us + StopAfter();
}

void BeatClock::DeckChanged(std::int64_t /*now_us*/) {
  // The next beat is the new deck's first: it re-locks, and its interval to the old deck's last
  // beat is no tempo.
  deck_changed_ = true;
  has_arrival_ = false;
}

void BeatClock::Pump(std::int64_t now_us, std::int64_t horizon_us, Sink& sink) {
  while (running_) {
    std::int64_t due = kIdle;
    const bool has_clock = NextClock(due);
    if (stop_due_us_ <= (has_clock ? due : kIdle)) {
      if (stop_due_us_ < horizon_us) Stop(now_us, sink);
      return;
    }
    if (due >= horizon_us) return;
    SendClock(due, now_us, sink);
  }
}

std::int64_t BeatClock::NextDue() const {
  if (!running_) return kIdle;
  std::int64_t due = kIdle;
  if (!NextClock(due)) due = kIdle;
  return std::min(due, stop_due_us_);
}

std::int64_t BeatClock::StopAfter() const {
  // Two periods, and the tolerance of a beat on the grid: a beat lost in the network is no gap.
  return static_cast<std::int64_t>(period_us_ * (2.0 + 1.0 / 8));
}

double BeatClock::Bpm() const {
  return running_ ? 60e6 / period_us_ : 0.0;
}

std::optional<BeatClock::Grid> BeatClock::Line() const {
  if (!running_) return std::nullopt;
  return Grid{taken_index_, LineAt(taken_index_), period_us_};
}

void BeatClock::Relock(std::int64_t index, std::int64_t time_us) {
  count_ = 1;
  head_ = 0;
  history_[0] = {index, time_us};
  has_outlier_ = false;
  Fit();
}

void BeatClock::Take(std::int64_t index, std::int64_t time_us, bool relock) {
  if (relock || count_ == 0) {
    Relock(index, time_us);
    return;
  }
  if (count_ == 1) {
    // One beat since the re-lock: the interval is the tempo, whatever the old grid said.
    const double interval =
        static_cast<double>(time_us - base_.time_us) / static_cast<double>(index - base_.index);
    if (interval >= kMinPeriodUs && interval <= kMaxPeriodUs) {
      Add(index, time_us);
      Fit();
    } else {
      Relock(index, time_us);
    }
    return;
  }
  const double residual = static_cast<double>(time_us) - LineAt(index);
  if (std::abs(residual) > period_us_ / 8) {
    Relock(index, time_us);
    return;
  }
  if (std::abs(residual) > JitterBound(index)) {
    // More than jitter: once may be a stray packet, twice on one side is a new tempo or phase,
    // which the two beats alone then describe.
    const double sign = residual > 0 ? 1.0 : -1.0;
    if (has_outlier_ && outlier_.index == index - 1 && outlier_sign_ == sign) {
      Relock(outlier_.index, outlier_.time_us);
      Add(index, time_us);
      Fit();
    } else {
      has_outlier_ = true;
      outlier_ = {index, time_us};
      outlier_sign_ = sign;
    }
    return;
  }
  has_outlier_ = false;
  Add(index, time_us);
  Fit();
}

void BeatClock::Add(std::int64_t index, std::int64_t time_us) {
  head_ = (head_ + 1) % kHistory;
  history_[head_] = {index, time_us};
  count_ = std::min(count_ + 1, kHistory);
}

void BeatClock::Fit() {
  base_ = history_[head_];
  mean_index_ = 0;
  mean_time_ = 0;
  if (count_ < 2) return;  // the period stays what it was until the next beat
  // Relative to the newest point, so that the sums keep their precision at any clock origin.
  double sx = 0, sy = 0;
  for (int i = 0; i < count_; ++i) {
    const Point& p = history_[(head_ - i + kHistory) % kHistory];
    sx += static_cast<double>(p.index - base_.index);
    sy += static_cast<double>(p.time_us - base_.time_us);
  }
  mean_index_ = sx / count_;
  mean_time_ = sy / count_;
  double sxx = 0, sxy = 0;
  for (int i = 0; i < count_; ++i) {
    const Point& p = history_[(head_ - i + kHistory) % kHistory];
    const double x = static_cast<double>(p.index - base_.index) - mean_index_;
    sxx += x * x;
    sxy += x * (static_cast<double>(p.time_us - base_.time_us) - mean_time_);
  }
  period_us_ =
      std::clamp(sxy / sxx, static_cast<double>(kMinPeriodUs), static_cast<double>(kMaxPeriodUs));
}

double BeatClock::LineAt(std::int64_t index) const {
  return static_cast<double>(base_.time_us) + mean_time_ +
         period_us_ * (static_cast<double>(index - base_.index) - mean_index_);
}

double BeatClock::JitterBound(std::int64_t index) const {
  // The prediction is a weighted sum of the beats fitted; each may be off by kJitterUs, and so
  // may the beat itself.
  double sxx = 0;
  for (int i = 0; i < count_; ++i) {
    const double x =
        static_cast<double>(history_[(head_ - i + kHistory) % kHistory].index - base_.index) -
        mean_index_;
    sxx += x * x;
  }
  const double at = static_cast<double>(index - base_.index) - mean_index_;
  double weights = 0;
  for (int i = 0; i < count_; ++i) {
    const double x =
        static_cast<double>(history_[(head_ - i + kHistory) % kHistory].index - base_.index) -
        mean_index_;
    weights += std::abs(1.0 / count_ + x * at / sxx);
  }
  return kJitterUs * (1.0 + weights);
}

bool BeatClock::NextClock(std::int64_t& due_us) const {
  if (!running_) return false;
  const bool on_beat = sent_in_beat_ == kClocksPerBeat;
  // Never more than one beat ahead of the beats.
  if (on_beat && taken_index_ < beat_index_) return false;
  const double target = taken_index_ > beat_index_ ? ahead_target_us_ : LineAt(beat_index_ + 1);
  double step = (target - static_cast<double>(last_due_us_)) /
                static_cast<double>(kClocksPerBeat + 1 - sent_in_beat_);
  if (!stretched_) {
    const double spacing = period_us_ / kClocksPerBeat;
    step = std::clamp(step, spacing * (1 - kSlew), spacing * (1 + kSlew));
  }
  due_us = last_due_us_ + std::llround(std::max(step, 0.0));
  if (on_beat) due_us = std::max(due_us, on_beat_due_us_ + kMinPeriodUs);
  return true;
}

void BeatClock::SendClock(std::int64_t due_us, std::int64_t now_us, Sink& sink) {
  if (sent_in_beat_ < kClocksPerBeat) {
    Emit(due_us, now_us, kClock, sink);
    ++sent_in_beat_;
    return;
  }
  on_beat_due_us_ = Emit(due_us, now_us, kClock, sink);
  ++beat_index_;
  sent_in_beat_ = 1;
  stretched_ = false;
}

void BeatClock::StartBeat(std::int64_t index, std::int64_t now_us, Sink& sink) {
  const std::int64_t due =
      on_beat_due_us_ == kNoOnBeat ? now_us : std::max(now_us, on_beat_due_us_ + kMinPeriodUs);
  on_beat_due_us_ = Emit(due, now_us, kClock, sink);
  beat_index_ = index;
  sent_in_beat_ = 1;
  stretched_ = false;
}

void BeatClock::Flush(std::int64_t now_us, Sink& sink) {
  for (; sent_in_beat_ < kClocksPerBeat; ++sent_in_beat_) Emit(now_us, now_us, kClock, sink);
}

std::int64_t BeatClock::Emit(std::int64_t due_us, std::int64_t now_us, std::uint8_t status,
                             Sink& sink) {
  const std::int64_t due = std::max({due_us, now_us, last_due_us_});
  sink.Send(due, status);
  last_due_us_ = due;
  return due;
}

void BeatClock::Stop(std::int64_t now_us, Sink& sink) {
  Emit(stop_due_us_, now_us, kStop, sink);
  running_ = false;
  count_ = 0;
  has_outlier_ = false;
  has_taken_ = false;
  deck_changed_ = false;
}

}  // namespace qb
