// MIDI Time Code beyond the classic full message: all-call full frames with the rate in the
// hours byte, quarter frames, drop-frame numbering, and the quarter-frame stream that follows
// the positions a deck reports.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>

namespace qb {

// Rates as the settings store them: 24, 25, 2997 (29.97 drop-frame) and 30.
bool ValidMtcRate(int rate);

struct MtcTime {
  int hours = 0, minutes = 0, seconds = 0, frames = 0;
  friend bool operator==(const MtcTime&, const MtcTime&) = default;
};

// The time code of a position (microseconds from the track's start; negative counts as 0) at a
// rate: frames counted at the rate's true frame rate (30000/1001 for 2997) and numbered
// drop-frame at 2997. Hours come from the position and wrap at 24. Other rates count as 30.
MtcTime MtcTimeAt(std::int64_t position_us, int rate);

// F0 7F 7F 01 01 hh mm ss ff F7, the rate's code in bits 5-6 of hh.
void MtcFullFrame(const MtcTime& t, int rate, std::uint8_t (&message)[10]);
// The data byte (piece in bits 4-6, nibble in 0-3) of quarter-frame piece 0..7 of t.
std::uint8_t MtcQuarterFrame(const MtcTime& t, int rate, int piece);

// The quarter-frame stream, locked to the positions that arrive. Time comes in as arguments
// (microseconds on one monotonic clock) and messages leave through a sink, each with the time it
// is due, in order; nothing here reads a clock.
class MtcStream {
 public:
  class Sink {
   public:
    virtual ~Sink() = default;
    virtual void Send(std::int64_t due_us, const std::uint8_t* bytes, int length) = 0;
  };
  static constexpr std::int64_t kIdle = std::numeric_limits<std::int64_t>::max();

  // Other rates run at 30.
  explicit MtcStream(int rate);

  // A position of the live deck (tenths of a second, as the deck reports it) arrived at now_us.
  void Position(std::int64_t now_us, std::int32_t tenths, Sink& sink);
  // Sends every message due before horizon_us; called when NextDue comes (or up to
  // horizon_us - now_us before), also when nothing arrives, so that the hold can end the stream.
  void Pump(std::int64_t now_us, std::int64_t horizon_us, Sink& sink);
  // When Pump has work next: the next message's due time or the end of the hold; kIdle when
  // stopped.
  std::int64_t NextDue() const;
  bool Running() const;

  // Quarter frames stop this long after the readings last advanced, unless they advance again.
  static constexpr std::int64_t kHoldUs = 200'000;
  // After a jump the hold stretches to this, for the first advance after the landing: loops
  // jump back all the time while the deck plays.
  static constexpr std::int64_t kJumpHoldUs = 250'000;
  // The stream's speed departs from the deck's by at most this fraction while it catches up.
  static constexpr double kMaxSlew = 0.1;

 private:
  // A moment the reading changed: where the deck was (the boundary between two tenths) and when.
  struct Crossing {
    double at_us, position_us;
  };
  static constexpr int kCrossings = 8;  // about 0.8 s of play: the fit of position and speed

  void Locate(std::int64_t due_us, std::int32_t tenths, Sink& sink);
  void Start(std::int64_t now_us, Sink& sink);
  void Jump(std::int64_t now_us, double position_us, Sink& sink);
  void Stop(std::int64_t due_us, Sink& sink);
  void Restart(std::int64_t due_us, double position_us, Sink& sink);
  void Steer(std::int64_t now_us);
  void SetSpeed(double speed);
  void SendQuarter(Sink& sink);
  void Send(std::int64_t due_us, const std::uint8_t* bytes, int length, Sink& sink);
  // The deck's position at at_us and its speed, fitted to the crossings.
  void Fit(double at_us, double& position_us, double& speed) const;
  void AddCrossing(const Crossing& c);
  const Crossing& LastCrossing() const;
  double StreamAt(double at_us) const;
  std::int64_t QuarterDue() const { return std::llround(next_due_us_); }

  int rate_;
  double frame_us_;  // the true frame period

  bool have_reading_ = false;
  std::int32_t tenths_ = 0;      // the last reading
  std::int64_t arrival_us_ = 0;  // and when it came
  bool located_ = false;         // a full frame marks located_tenths_ while stopped
  std::int32_t located_tenths_ = 0;
  std::int64_t last_due_us_ = std::numeric_limits<std::int64_t>::min();

  Crossing crossings_[kCrossings] = {};
  int crossing_count_ = 0, crossing_next_ = 0;
  double deck_speed_ = 1.0;  // the fitted speed, kept over a jump

  bool running_ = false;
  std::int64_t last_advance_us_ = 0;
  std::int64_t hold_end_us_ = 0;
  // How far the stream may stand from the deck without a jump, beyond a frame: the uncertainty
  // of where it restarted, shrinking as it catches up.
  double slack_us_ = 0.0;
  double speed_ = 1.0;
  // The stream runs from the last quarter frame sent (or where it restarted) at speed_: its time
  // and position, and the position of the next quarter frame in quarter frames from zero.
  double anchor_us_ = 0.0, anchor_position_us_ = 0.0;
  std::int64_t next_quarter_ = 0;
  double next_due_us_ = 0.0;
  int piece_ = 0;
  MtcTime sequence_;  // the value of the sequence being sent, fixed at its piece 0
};

}  // namespace qb
