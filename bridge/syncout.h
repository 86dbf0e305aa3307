// The sync outputs on the engine thread: standard MTC with its quarter-frame stream, the beat
// clock, and the output offset. Stream messages are scheduled: each is handed to the port with
// the time it is due, as far ahead as the device asks for (a JACK port places it at its frame),
// or when it is due for a device that sends at once. A positive offset delays the classic
// outputs (the beat note, the classic time code) the same way.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "bridge/beatclock.h"
#include "bridge/mtc.h"
#include "platform/eventloop.h"

namespace qb {

class SyncOutputs : public EventLoop::Watcher {
 public:
  class Port {
   public:
    virtual ~Port() = default;
    // Hands one message over for due_us (steady clock, microseconds); raises as the MIDI port
    // does.
    virtual void Send(const std::uint8_t* bytes, std::uint16_t length, std::int64_t due_us) = 0;
    // How far ahead of its time the device wants a message.
    virtual std::int64_t LeadUs() = 0;
    virtual std::int64_t NowUs() = 0;
    // The estimated tempo changed in its first decimal (0: the clock stopped).
    virtual void Tempo(double bpm) = 0;
  };

  static constexpr int kMinOffsetMs = -100;
  static constexpr int kMaxOffsetMs = 500;
  // Messages waiting for their time; at most 500 ms of a flood, beyond which they are dropped.
  static constexpr std::size_t kQueued = 4096;

  // Made on the engine thread, whose loop then wakes it for each message's time.
  explicit SyncOutputs(Port& port);
  ~SyncOutputs() override;
  SyncOutputs(const SyncOutputs&) = delete;
  SyncOutputs& operator=(const SyncOutputs&) = delete;

  // 0 the classic time code (no stream), else a valid MTC rate.
  void SetMtcRate(int rate);
  int MtcRate() const { return rate_; }
  // The time-code box: off silences the stream at once, with what it already queued.
  void SetTimeCodeOut(bool on);
  void SetClock(bool on);
  bool Clock() const { return clock_.has_value(); }
  void SetOffsetMs(int ms);
  int OffsetMs() const { return offset_ms_; }

  // What the rules saw, with the moment its datagram arrived (steady clock, microseconds).
  void Beat(std::int64_t at_us);
  void DeckChanged(std::int64_t at_us);
  void Position(std::int64_t at_us, std::int32_t tenths);
  // A message of the classic outputs: true when a positive offset holds it back (it is queued),
  // false when it is to be sent at once as always.
  bool Delay(const std::uint8_t* bytes, std::uint16_t length);

  double Bpm() const { return clock_ ? clock_->Bpm() : 0.0; }
  std::uint64_t Dropped() const { return dropped_; }
  std::size_t Waiting() const { return count_; }

  // Hands over what is due within the lead, then waits for the next time; errors go to the
  // thread's box.
  void Pump();

 private:
  enum class Kind : std::uint8_t { kClassic, kTimeCode, kClock };
  struct Item {
    std::int64_t due_us;
    Kind kind;
    std::uint8_t length;
    std::uint8_t bytes[10];
  };
  class StreamSink : public MtcStream::Sink, public BeatClock::Sink {
   public:
    explicit StreamSink(SyncOutputs& s) : s_(s) {}
    void Send(std::int64_t due_us, const std::uint8_t* bytes, int length) override;
    void Send(std::int64_t due_us, std::uint8_t status) override;

   private:
    SyncOutputs& s_;
  };

  void Ready(std::uint32_t events) override;
  void Queue(std::int64_t due_us, const std::uint8_t* bytes, std::size_t length, Kind kind);
  void Forget(Kind kind);
  void Arm(std::int64_t at_us);
  void ShowTempo();

  Port& port_;
  StreamSink sink_{*this};
  int rate_ = 0;
  std::optional<MtcStream> mtc_;
  std::optional<BeatClock> clock_;
  int offset_ms_ = 0;
  std::int64_t offset_us_ = 0;
  double shown_bpm_ = 0.0;
  std::array<Item, kQueued> queue_{};  // a ring in the order of due times
  std::size_t head_ = 0;
  std::size_t count_ = 0;
  std::uint64_t dropped_ = 0;
  int timer_ = -1;
  int watch_ = -1;
  std::int64_t armed_ = -1;  // the time the timer is set for; -1 when unset
};

}  // namespace qb
