// The bridge's rules: what one datagram means (the probe, the argument, the live deck, beats,
// phases and seeks), the beat and time-code bytes, and the debug monitor's line and filter.
// Knows nothing of widgets: the window feeds it datagrams and the state of its switches, and
// does what the rules decide through Output.
//
// Cost: a datagram costs a copy of its bytes and a handful of prefix tests; captions and log
// lines are built in buffers the bridge keeps, so nothing is allocated once they have grown.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace qb {

struct TimeOfDay {
  int hour = 0, minute = 0, second = 0, msec = 0;
};

class Bridge {
 public:
  // What the rules do to the world, called on the thread that calls the bridge. An exception
  // from any of them ends the bridge's operation where it stands (the later steps for that
  // datagram do not run), as a failing send ends the datagram's handling.
  class Output {
   public:
    virtual ~Output() = default;
    // The 25-byte discovery reply to the sender (network byte order), UDP port 10000.
    virtual void Reply(std::uint32_t sender, std::string_view bytes) = 0;
    // A one-shot call of Bridge::ReplyTimer after ms milliseconds; a negative ms cancels it.
    // Arming it again replaces the earlier one.
    virtual void ArmReplyTimer(int ms) = 0;
    // A monotonic clock in microseconds: finer than the timer, so that no reply leaves even a
    // fraction of a millisecond before its delay is up.
    virtual std::int64_t NowUs() = 0;
    // The beat indicator's caption ("BeatL", "BeatR").
    virtual void DeckCaption(std::string_view caption) = 0;
    // The indicator shown and its 333 ms timer switched on (true), or hidden and off (false).
    virtual void BeatIndicator(bool on) = 0;
    // The position label's caption.
    virtual void PositionCaption(std::string_view caption) = 0;
    // The channel value (1..127) at the moment of the beat.
    virtual std::int32_t Channel() = 0;
    virtual void ShortMessage(std::uint8_t status, std::uint8_t data1, std::uint8_t data2) = 0;
    virtual void LongMessage(const std::uint8_t* bytes, std::uint16_t length) = 0;
    // The local time of day, asked only for a line that will be logged.
    virtual TimeOfDay LocalTime() = 0;
    // One log line, UTF-8, without a line break (it never contains one).
    virtual void LogLine(std::string_view line) = 0;
    // For the sync outputs: every beat of the live deck as it arrives (the beat gate does not
    // apply: the clock needs each one), a change of live deck, and each position when the time
    // code is standard MTC (then instead of the classic message).
    virtual void DeckBeat() {}
    virtual void LiveDeckChanged() {}
    virtual void StreamPosition(std::int32_t position) { (void)position; }
  };

  static constexpr int kReplyDelayMs = 20;
  static constexpr std::int64_t kReplyDelayUs = kReplyDelayMs * 1000;
  static constexpr std::size_t kMaxPendingReplies = 64;
  static constexpr std::string_view kReply{"/__PONG\0,s\0\0quillbox\0\0\0\0\0", 25};

  explicit Bridge(Output& out);

  // Which Traktor deck is live: 0 the left one ("Deck0"), 1 the right one ("Deck1"). Only the
  // crossfader (and the window's start-up) changes it.
  int liveDeck = 0;
  // The argument of the previous VirtualDJ phase message; never reset while the program runs.
  std::int32_t lastPhase = 0;

  // The window's switches, kept up to date by the window.
  bool debug = false;         // "Debug": the monitor runs and the position caption is long
  bool beats_out = true;      // beat messages leave
  bool time_code_out = true;  // time-code messages leave
  // The time code's form: 0 the classic message, else standard MTC at that rate (24, 25, 2997,
  // 30), whose stream the output builds from StreamPosition.
  int mtc_rate = 0;
  // The filter box's text, one prefix a line, as Latin-1 bytes.
  void SetFilter(std::string_view lines);
  // The user's decimal separator for logged singles (UTF-8).
  void SetDecimalPoint(std::string_view separator);

  // One received datagram, exactly its bytes, from sender (network byte order).
  void Datagram(std::span<const char> bytes, std::uint32_t sender);
  // The beat: indicator on, gate closed, the beat message when beats leave.
  void Beat();
  // The indicator's timer ticked: indicator off, Traktor beats are accepted again.
  void BeatTimeout();
  bool BeatGateClosed() const { return gate_closed_; }
  // A position in tenths of a second: the caption, then the time code when it can be sent.
  void Time(std::int32_t position);
  // Sends the replies that are due; called when the reply timer fires.
  void ReplyTimer();
  std::size_t PendingReplies() const { return pending_count_; }

  // The seek value as the nearest whole number, halves to the even neighbour, cut to its low
  // 32 bits; none for a value without a 64-bit integer (NaN, infinite, too large).
  static std::optional<std::int32_t> SeekPosition(float value);
  // The ten time-code bytes for a position; false when it must not be sent (negative fields,
  // or minutes beyond seven bits).
  static bool TimeCode(std::int32_t position, std::uint8_t (&message)[10]);

 private:
  // A beat of the live deck: Beat when send, then the sync outputs hear it.
  void LiveBeat(bool send);
  void Probe(std::uint32_t sender);
  void Monitor(std::string_view text, std::uint32_t argument);
  void ArmForFront();

  Output& out_;
  bool gate_closed_ = false;
  std::string text_;     // the datagram as the rules change it
  std::string caption_;  // the last caption built
  std::string line_;     // the last log line built
  std::string decimal_point_ = ".";
  std::vector<std::string> filter_;

  struct PendingReply {
    std::uint32_t sender;
    std::int64_t due;  // on the NowUs clock
  };
  std::array<PendingReply, kMaxPendingReplies> pending_{};  // in order of due time
  std::size_t pending_head_ = 0;
  std::size_t pending_count_ = 0;
};

}  // namespace qb
