// MIDI beat clock from the beats of the live deck: a tempo estimated from their arrival times,
// 24 clocks a beat on that grid with its phase following the beats, Start when beats begin and
// Stop when they end.
//
// Engine thread only. Time is always an argument (microseconds on one monotonic clock); nothing
// here reads a clock, waits or allocates.
//
// How the clock runs. The clock plays the estimated grid, so a beat's on-beat clock goes out when
// it is predicted, before its beat arrives; the beat then corrects the grid. It never runs more
// than one beat ahead of the beats: when the 24 clocks of a beat whose beat has not come are
// sent, it waits for that beat, until the Stop two periods (and an eighth of one) after the
// last beat.
// - A beat within an eighth of a beat of its predicted time is noise: the estimate takes it and
//   the spacing of the clocks slews (by at most kSlew of a clock's spacing) to the new grid.
// - A beat further off re-locks the phase on it. An early one sends the clocks left of the
//   current beat at once and its own on-beat clock at its arrival; a late one stretches the
//   clocks left of the beat in progress up to one period after it.
// - Beats closer than kMinPeriodUs to the previous beat of the deck (or to the last beat taken)
//   are dropped, and so is an interval longer than kMaxPeriodUs as tempo: such beats are not
//   tempo. A flood of beats is therefore dropped whole and the clock stops as in a gap.
//
// The flood rule, which a test can check on the stream alone: number the F8s from each Start;
// F8 number 24*j is an on-beat clock, so every beat has exactly 24 clocks (only the last before a
// Stop may have fewer), each beat's clocks are due from its on-beat clock up to the next one, and
// two on-beat clocks are never due less than kMinPeriodUs apart. So no beat ever has more than 24
// clocks, and no half-open window of kMinPeriodUs that starts at an on-beat clock holds more than
// 24. (A sliding window of one period cannot be the rule: the clocks an early beat flushes go out
// at once, followed by the new beat's 24.)
#pragma once

#include <array>
#include <cstdint>
#include <limits>
#include <optional>

namespace qb {

class BeatClock {
 public:
  class Sink {
   public:
    virtual ~Sink() = default;
    // One clock (0xF8), Start (0xFA) or Stop (0xFC), due at due_us, in order.
    virtual void Send(std::int64_t due_us, std::uint8_t status) = 0;
  };
  static constexpr std::int64_t kIdle = std::numeric_limits<std::int64_t>::max();
  static constexpr double kMinBpm = 40.0;
  static constexpr double kMaxBpm = 300.0;
  static constexpr std::uint8_t kClock = 0xF8;
  static constexpr std::uint8_t kStart = 0xFA;
  static constexpr std::uint8_t kStop = 0xFC;
  static constexpr int kClocksPerBeat = 24;
  static constexpr std::int64_t kMinPeriodUs = 200'000;    // one beat at kMaxBpm
  static constexpr std::int64_t kMaxPeriodUs = 1'500'000;  // one beat at kMinBpm
  // Arrival jitter the estimate takes as noise: a beat off its prediction by more than this
  // jitter could explain is set aside, and two in a row on the same side are a change of tempo.
  static constexpr double kJitterUs = 6'000.0;
  // Beats the tempo is fitted over while it holds.
  static constexpr int kHistory = 64;
  // How much a clock's spacing may change to bring the grid back onto the beats.
  static constexpr double kSlew = 1.0 / 8.0;

  // A beat of the live deck arrived at now_us (microseconds on one monotonic clock).
  void Beat(std::int64_t now_us, Sink& sink);
  // Another deck is live: the clock keeps running and takes the new deck's tempo from its beats.
  void DeckChanged(std::int64_t now_us);
  // Sends every message due before horizon_us; called when NextDue comes.
  void Pump(std::int64_t now_us, std::int64_t horizon_us, Sink& sink);
  // When Pump has work next; kIdle when stopped.
  std::int64_t NextDue() const;
  // The estimated tempo; 0 while the clock is stopped.
  double Bpm() const;
  bool Running() const { return running_; }
  // The grid the clock plays, while it runs: the last beat taken, numbered on the grid, at the
  // line's time of it (the arrival's jitter smoothed), and the line's period.
  struct Grid {
    std::int64_t index;
    double time_us;
    double period_us;
  };
  std::optional<Grid> Line() const;

 private:
  struct Point {
    std::int64_t index;  // the beat's number on the grid
    std::int64_t time_us;
  };

  // The tempo estimate: a least-squares line through the beats since the last re-lock.
  void Relock(std::int64_t index, std::int64_t time_us);
  void Take(std::int64_t index, std::int64_t time_us, bool relock);
  void Add(std::int64_t index, std::int64_t time_us);
  void Fit();
  // The grid's time of beat index, as the line predicts it.
  double LineAt(std::int64_t index) const;
  // How far off beat index may arrive from the line by jitter of kJitterUs alone.
  double JitterBound(std::int64_t index) const;

  // The clock.
  std::int64_t StopAfter() const;
  bool NextClock(std::int64_t& due_us) const;
  void SendClock(std::int64_t due_us, std::int64_t now_us, Sink& sink);
  void StartBeat(std::int64_t index, std::int64_t now_us, Sink& sink);
  void Flush(std::int64_t now_us, Sink& sink);
  // Sends at due_us, or later if that is before now_us or the last message; returns the due.
  std::int64_t Emit(std::int64_t due_us, std::int64_t now_us, std::uint8_t status, Sink& sink);
  void Stop(std::int64_t now_us, Sink& sink);

  std::array<Point, kHistory> history_{};
  int count_ = 0;  // points in history_, the newest at head_
  int head_ = 0;
  double period_us_ = 0;   // the line's slope
  double mean_index_ = 0;  // the line passes through (mean_index_, mean_time_) ...
  double mean_time_ = 0;   // ... both relative to base_
  Point base_{};           // the newest point
  bool has_outlier_ = false;
  Point outlier_{};
  double outlier_sign_ = 0;

  bool deck_changed_ = false;
  bool has_arrival_ = false;
  std::int64_t last_arrival_us_ = 0;  // the deck's previous beat, taken or dropped
  bool has_taken_ = false;
  std::int64_t last_taken_us_ = 0;

  bool running_ = false;
  std::int64_t taken_index_ = 0;  // the last beat taken
  std::int64_t beat_index_ = 0;   // the beat whose clocks are going out
  int sent_in_beat_ = 0;          // of its 24
  bool stretched_ = false;        // re-locked: its clocks go to the new grid unslewed
  double ahead_target_us_ = 0;    // the next on-beat clock's due, when its beat came first
  std::int64_t on_beat_due_us_ = 0;
  std::int64_t last_due_us_ = 0;  // of the last message sent
  std::int64_t stop_due_us_ = 0;
};

}  // namespace qb
