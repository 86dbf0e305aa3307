#include "bridge/mtc.h"

#include <algorithm>
#include <cmath>

namespace qb {
namespace {

constexpr int kFramesPerTenMinutesDrop = 17982;  // 10 * 1800 less 2 for each of 9 minutes
constexpr int kFramesPerMinuteDrop = 1798;       // the minutes that drop two labels

// The frame count of a position is floor(position_us * num / den).
struct Rate {
  int code;    // as bits 5-6 of the hours byte carry it
  int labels;  // frame labels per second
  std::int64_t num, den;
};

Rate RateOf(int rate) {
  switch (rate) {
    case 24:
      return {0, 24, 3, 125'000};
    case 25:
      return {1, 25, 1, 40'000};
    case 2997:
      return {2, 30, 3, 100'100};
    default:
      return {3, 30, 3, 100'000};
  }
}

MtcTime TimeOfFrame(std::int64_t frame, int rate) {
  const Rate r = RateOf(rate);
  std::int64_t label = std::max<std::int64_t>(frame, 0);
  if (rate == 2997) {
    // Labels 0 and 1 are skipped at each minute's start but every tenth minute's.
    const std::int64_t tens = label / kFramesPerTenMinutesDrop;
    const std::int64_t rest = label % kFramesPerTenMinutesDrop;
    label += 18 * tens + (rest >= 2 ? 2 * ((rest - 2) / kFramesPerMinuteDrop) : 0);
  }
  MtcTime t;
  t.frames = static_cast<int>(label % r.labels);
  const std::int64_t seconds = label / r.labels;
  t.seconds = static_cast<int>(seconds % 60);
  t.minutes = static_cast<int>(seconds / 60 % 60);
  t.hours = static_cast<int>(seconds / 3600 % 24);
  return t;
}

constexpr double kTenthUs = 100'000.0;
// A reading's change is placed halfway between its arrival and the one before, unless that was
// longer ago than this (a gap says little about when the boundary was passed).
constexpr double kMaxWindowUs = 100'000.0;
// Below kMaxSlew the stream closes its distance to the deck with this time constant.
constexpr double kSlewTimeUs = 300'000.0;
// Speeds a deck may plausibly play at; readings that advance slower or faster are locates.
constexpr double kMinSpeed = 0.5;
constexpr double kMaxSpeed = 2.0;

}  // namespace

bool ValidMtcRate(int rate) {
  return rate == 24 || rate == 25 || rate == 2997 || rate == 30;
}

MtcTime MtcTimeAt(std::int64_t position_us, int rate) {
  const Rate r = RateOf(rate);
  const std::int64_t p = std::max<std::int64_t>(position_us, 0);
  // Split so that the product cannot overflow.
  return TimeOfFrame(p / r.den * r.num + p % r.den * r.num / r.den, rate);
}

void MtcFullFrame(const MtcTime& t, int rate, std::uint8_t (&message)[10]) {
  const std::uint8_t hours = static_cast<std::uint8_t>(RateOf(rate).code << 5 | (t.hours & 0x1F));
  const std::uint8_t bytes[10] = {0xF0,
                                  0x7F,
                                  0x7F,
                                  0x01,
                                  0x01,
                                  hours,
                                  static_cast<std::uint8_t>(t.minutes & 0x3F),
                                  static_cast<std::uint8_t>(t.seconds & 0x3F),
                                  static_cast<std::uint8_t>(t.frames & 0x1F),
                                  0xF7};
  std::copy(bytes, bytes + 10, message);
}

std::uint8_t MtcQuarterFrame(const MtcTime& t, int rate, int piece) {
  piece &= 7;
  int nibble = 0;
  switch (piece) {
    case 0:
      nibble = t.frames;
      break;
    case 1:
      nibble = t.frames >> 4 & 1;
      break;
    case 2:
      nibble = t.seconds;
      break;
    case 3:
      nibble = t.seconds >> 4 & 3;
      break;
    case 4:
      nibble = t.minutes;
      break;
    case 5:
      nibble = t.minutes >> 4 & 3;
      break;
    case 6:
      nibble = t.hours;
      break;
    default:
      nibble = RateOf(rate).code << 1 | (t.hours >> 4 & 1);
      break;
  }
  return static_cast<std::uint8_t>(piece << 4 | (nibble & 0x0F));
}

MtcStream::MtcStream(int rate)
    : rate_(ValidMtcRate(rate) ? rate : 30),
      frame_us_(static_cast<double>(RateOf(rate_).den) / static_cast<double>(RateOf(rate_).num)) {}

void MtcStream::Position(std::int64_t now_us, std::int32_t tenths, Sink& sink) {
  // A hold that ran out before this call: quarter frames still queued are stale.
  if (running_ && now_us >= hold_end_us_) Stop(std::max(now_us, last_due_us_), sink);

  const std::int64_t due_us = std::max(now_us, last_due_us_);
  if (!have_reading_) {
    have_reading_ = true;
    tenths_ = tenths;
    arrival_us_ = now_us;
    Locate(due_us, tenths, sink);
    return;
  }
  const std::int64_t step = std::int64_t{tenths} - tenths_;
  const double window_us = std::min(static_cast<double>(now_us - arrival_us_), kMaxWindowUs);
  tenths_ = tenths;
  arrival_us_ = now_us;
  if (step == 0) return;

  const double reading_us = tenths * kTenthUs;
  Crossing c{};
  if (step > 0) {
    // Where the reading changed the deck passed the boundary below it; with several boundaries
    // passed in one window, the last lies late in it.
    const double spread_us = static_cast<double>(step - 1) * kTenthUs / deck_speed_;
    c.at_us = static_cast<double>(now_us) - std::max(0.0, window_us - spread_us) / 2;
    c.position_us = reading_us - kTenthUs / 2;
  }

  if (running_) {
    if (step < 0) return Jump(now_us, reading_us, sink);
    last_advance_us_ = now_us;
    hold_end_us_ = now_us + kHoldUs;
    const double error_us = c.position_us - StreamAt(c.at_us);
    const double allowance_us =
        frame_us_ + slack_us_ + (static_cast<double>(now_us) - c.at_us) * deck_speed_;
    if (std::abs(error_us) > allowance_us) return Jump(now_us, reading_us, sink);
    AddCrossing(c);
    Steer(now_us);
    return;
  }

  // Stopped: readings that advance one tenth at a time at a plausible rate start the stream.
  const bool follows = step == 1 && crossing_count_ > 0 &&
                       c.at_us - LastCrossing().at_us >= kTenthUs / kMaxSpeed &&
                       c.at_us - LastCrossing().at_us <= kTenthUs / kMinSpeed;
  if (!follows) crossing_count_ = 0;
  if (step == 1) AddCrossing(c);
  if (crossing_count_ >= 2) return Start(now_us, sink);
  if (!located_ || tenths != located_tenths_) Locate(due_us, tenths, sink);
}

void MtcStream::Pump(std::int64_t now_us, std::int64_t horizon_us, Sink& sink) {
  if (!running_) return;
  while (QuarterDue() < horizon_us && QuarterDue() < hold_end_us_) SendQuarter(sink);
  // The hold ends by time, also for a caller that pumps ahead of it.
  if (std::max(now_us, horizon_us) >= hold_end_us_) {
    Stop(std::max(hold_end_us_, last_due_us_), sink);
  }
}

std::int64_t MtcStream::NextDue() const {
  return running_ ? std::min(QuarterDue(), hold_end_us_) : kIdle;
}

bool MtcStream::Running() const {
  return running_;
}

void MtcStream::Locate(std::int64_t due_us, std::int32_t tenths, Sink& sink) {
  std::uint8_t message[10];
  MtcFullFrame(MtcTimeAt(std::int64_t{tenths} * 100'000, rate_), rate_, message);
  Send(due_us, message, 10, sink);
  located_ = true;
  located_tenths_ = tenths;
}

void MtcStream::Start(std::int64_t now_us, Sink& sink) {
  const std::int64_t due_us = std::max(now_us, last_due_us_);
  double position_us = 0.0;
  Fit(static_cast<double>(due_us), position_us, deck_speed_);
  running_ = true;
  last_advance_us_ = now_us;
  hold_end_us_ = now_us + kHoldUs;
  // Two crossings give a rough speed; a jump's landing is known to a tenth.
  slack_us_ = kTenthUs / 2;
  speed_ = deck_speed_;
  Restart(due_us, position_us, sink);
}

void MtcStream::Jump(std::int64_t now_us, double position_us, Sink& sink) {
  const std::int64_t due_us = std::max(now_us, last_due_us_);
  // The deck landed somewhere in the tenth it reports; its boundaries come later.
  crossing_count_ = 0;
  slack_us_ = kTenthUs / 2;
  hold_end_us_ = std::max(hold_end_us_, last_advance_us_ + kJumpHoldUs);
  speed_ = deck_speed_;
  Restart(due_us, position_us + static_cast<double>(due_us - now_us) * deck_speed_, sink);
}

void MtcStream::Stop(std::int64_t due_us, Sink& sink) {
  Locate(due_us, tenths_, sink);
  running_ = false;
  crossing_count_ = 0;
}

void MtcStream::Restart(std::int64_t due_us, double position_us, Sink& sink) {
  std::uint8_t message[10];
  MtcFullFrame(MtcTimeAt(std::llround(position_us), rate_), rate_, message);
  Send(due_us, message, 10, sink);
  // A new sequence from the next frame's start, so that each piece 0 falls on a frame.
  anchor_us_ = static_cast<double>(due_us);
  anchor_position_us_ = position_us;
  next_quarter_ = 4 * static_cast<std::int64_t>(std::ceil(position_us / frame_us_));
  piece_ = 0;
  SetSpeed(speed_);
}

void MtcStream::Steer(std::int64_t now_us) {
  double position_us = 0.0;
  Fit(static_cast<double>(now_us), position_us, deck_speed_);
  const double error_us = position_us - StreamAt(static_cast<double>(now_us));
  slack_us_ = std::min(slack_us_, std::abs(error_us));
  SetSpeed(deck_speed_ * (1.0 + std::clamp(error_us / kSlewTimeUs, -kMaxSlew, kMaxSlew)));
}

void MtcStream::SetSpeed(double speed) {
  speed_ = speed;
  next_due_us_ =
      anchor_us_ +
      (static_cast<double>(next_quarter_) * frame_us_ / 4 - anchor_position_us_) / speed_;
}

void MtcStream::SendQuarter(Sink& sink) {
  if (piece_ == 0) {
    const std::int64_t frame = next_quarter_ >= 0 ? next_quarter_ / 4 : -((-next_quarter_ + 3) / 4);
    sequence_ = TimeOfFrame(frame, rate_);
  }
  const std::uint8_t bytes[2] = {0xF1, MtcQuarterFrame(sequence_, rate_, piece_)};
  Send(QuarterDue(), bytes, 2, sink);
  anchor_us_ = next_due_us_;
  anchor_position_us_ = static_cast<double>(next_quarter_) * frame_us_ / 4;
  ++next_quarter_;
  piece_ = (piece_ + 1) % 8;
  SetSpeed(speed_);
}

void MtcStream::Send(std::int64_t due_us, const std::uint8_t* bytes, int length, Sink& sink) {
  last_due_us_ = std::max(due_us, last_due_us_);
  sink.Send(last_due_us_, bytes, length);
}

void MtcStream::Fit(double at_us, double& position_us, double& speed) const {
  const Crossing& last = LastCrossing();
  speed = deck_speed_;
  position_us = last.position_us + (at_us - last.at_us) * speed;
  if (crossing_count_ < 2) return;
  // Least squares over the crossings, about the last one to keep the sums small.
  double st = 0, sp = 0;
  for (int i = 0; i < crossing_count_; ++i) {
    st += crossings_[i].at_us - last.at_us;
    sp += crossings_[i].position_us - last.position_us;
  }
  const double mt = st / crossing_count_, mp = sp / crossing_count_;
  double stt = 0, stp = 0;
  for (int i = 0; i < crossing_count_; ++i) {
    const double dt = crossings_[i].at_us - last.at_us - mt;
    stt += dt * dt;
    stp += dt * (crossings_[i].position_us - last.position_us - mp);
  }
  if (stt <= 0) return;
  speed = std::clamp(stp / stt, kMinSpeed, kMaxSpeed);
  position_us = last.position_us + mp + (at_us - last.at_us - mt) * speed;
}

void MtcStream::AddCrossing(const Crossing& c) {
  if (crossing_count_ == 0) crossing_next_ = 0;
  crossings_[crossing_next_] = c;
  crossing_next_ = (crossing_next_ + 1) % kCrossings;
  crossing_count_ = std::min(crossing_count_ + 1, kCrossings);
}

const MtcStream::Crossing& MtcStream::LastCrossing() const {
  return crossings_[(crossing_next_ + kCrossings - 1) % kCrossings];
}

double MtcStream::StreamAt(double at_us) const {
  return anchor_position_us_ + (at_us - anchor_us_) * speed_;
}

}  // namespace qb
