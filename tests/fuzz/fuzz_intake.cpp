// libFuzzer target: one input is one datagram, handed to the bridge's intake in a heap buffer of
// exactly its size. The bridge lives from input to input, as it does on a DJ's network: the live
// deck, the last phase, the beat gate and the pending replies carry over. The switches the
// window gives the rules (debug, the filter, beats and time codes let out, the channel) and the
// ticks of its timers come from the input's first byte, mixed with its last so that a real
// address still leaves them to the fuzzer. The sync outputs run too, pumped as the engine pumps
// them: the MTC rate, the clock, how much time passes and whether the deck plays and beats
// meanwhile come from the four bytes before the argument (free in a real datagram), mixed with
// the address's second to fifth. After every input the promises are checked, and a broken one
// aborts; the streams' rules are checked on each message as it leaves, keeping only their
// running state.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "bridge/beatclock.h"
#include "bridge/bridge.h"
#include "bridge/mtc.h"

namespace {

[[noreturn]] void Broken(const char* promise, const std::string& detail = {}) {
  std::fprintf(stderr, "fuzz_intake: broken promise: %s %s\n", promise, detail.c_str());
  std::abort();
}

void Check(bool holds, const char* promise, const std::string& detail = {}) {
  if (!holds) Broken(promise, detail);
}

// True for well-formed UTF-8 without a character that starts a new line in the log box: LF, VT,
// FF, CR, LINE and PARAGRAPH SEPARATOR. (NEL, U+0085, the Latin-1 reading of byte 0x85, does
// not: the box lays it out on the same line.)
bool OneLine(std::string_view s) {
  for (std::size_t i = 0; i < s.size();) {
    const auto b = static_cast<unsigned char>(s[i]);
    std::uint32_t c = 0;
    std::size_t n = 0;
    if (b < 0x80) {
      c = b, n = 1;
    } else if ((b & 0xE0) == 0xC0) {
      c = b & 0x1F, n = 2;
    } else if ((b & 0xF0) == 0xE0) {
      c = b & 0x0F, n = 3;
    } else if ((b & 0xF8) == 0xF0) {
      c = b & 0x07, n = 4;
    } else {
      return false;
    }
    if (i + n > s.size()) return false;
    for (std::size_t k = 1; k < n; ++k) {
      const auto t = static_cast<unsigned char>(s[i + k]);
      if ((t & 0xC0) != 0x80) return false;
      c = c << 6 | (t & 0x3F);
    }
    if ((c >= 0x0A && c <= 0x0D) || c == 0x2028 || c == 0x2029) return false;
    i += n;
  }
  return true;
}

std::string Hex(const std::uint8_t* bytes, int length) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string hex;
  for (int i = 0; i < length; ++i) {
    hex += kDigits[bytes[i] >> 4];
    hex += kDigits[bytes[i] & 15];
    hex += ' ';
  }
  return hex;
}

// The rules of the clock stream, on each message as it leaves.
class ClockCheck : public qb::BeatClock::Sink {
 public:
  // A new clock: a stream of its own.
  void Reset() { *this = ClockCheck(); }

  void Send(std::int64_t due_us, std::uint8_t status) override {
    const std::string at = "status " + std::to_string(status) + " due " + std::to_string(due_us);
    Check(due_us >= last_due_us_, "the clock's due times never go back", at);
    last_due_us_ = due_us;
    switch (status) {
      case qb::BeatClock::kStart:
        Check(!running_, "a Start only while the clock is stopped", at);
        running_ = true;
        clocks_ = 0;
        break;
      case qb::BeatClock::kStop:
        Check(running_, "a Stop only after a Start", at);
        running_ = false;
        break;
      case qb::BeatClock::kClock:
        Check(running_, "no clock while the clock is stopped", at);
        // Numbered from the Start, every 24th is on the beat: so a beat never has more than 24.
        if (clocks_ % qb::BeatClock::kClocksPerBeat == 0) {
          Check(!has_on_beat_ || due_us - on_beat_due_us_ >= qb::BeatClock::kMinPeriodUs,
                "on-beat clocks are kMinPeriodUs apart at least",
                at + " clock " + std::to_string(clocks_) + " previous on-beat " +
                    std::to_string(on_beat_due_us_));
          has_on_beat_ = true;
          on_beat_due_us_ = due_us;
        }
        ++clocks_;
        break;
      default:
        Broken("the clock sends only F8, FA and FC", at);
    }
  }

 private:
  std::int64_t last_due_us_ = std::numeric_limits<std::int64_t>::min();
  bool running_ = false;
  std::int64_t clocks_ = 0;  // since the last Start
  bool has_on_beat_ = false;
  std::int64_t on_beat_due_us_ = 0;
};

// The rules of the MTC stream, on each message as it leaves.
class MtcCheck : public qb::MtcStream::Sink {
 public:
  // A new stream at rate.
  void Reset(int rate) {
    *this = MtcCheck();
    rate_ = rate;
  }

  void Send(std::int64_t due_us, const std::uint8_t* bytes, int length) override {
    const std::string at =
        Hex(bytes, length) + "due " + std::to_string(due_us) + " rate " + std::to_string(rate_);
    Check(due_us >= last_due_us_, "the MTC stream's due times never go back", at);
    last_due_us_ = due_us;
    Check(length >= 1, "an MTC message has a status byte", at);
    for (int i = 1; i < length - 1; ++i)
      Check(bytes[i] < 0x80, "an MTC message's data bytes are below 0x80", at);
    if (bytes[0] == 0xF1) {
      Check(length == 2 && bytes[1] < 0x80, "a quarter frame is F1 and one data byte", at);
      const int piece = bytes[1] >> 4;
      Check(piece == next_piece_, "quarter-frame pieces go in order from 0",
            at + " expected piece " + std::to_string(next_piece_));
      nibbles_[piece] = bytes[1] & 15;
      next_piece_ = (piece + 1) % 8;
      if (piece == 7) {
        const int hours = nibbles_[6] | (nibbles_[7] & 1) << 4;
        CheckTime(nibbles_[7] >> 1, hours, nibbles_[4] | nibbles_[5] << 4,
                  nibbles_[2] | nibbles_[3] << 4, nibbles_[0] | nibbles_[1] << 4,
                  "a quarter-frame sequence's time", at);
      }
      return;
    }
    const std::uint8_t head[5] = {0xF0, 0x7F, 0x7F, 0x01, 0x01};
    Check(length == 10 && std::memcmp(bytes, head, 5) == 0 && bytes[9] == 0xF7,
          "an MTC message is a quarter frame or a ten-byte full frame", at);
    CheckTime(bytes[5] >> 5, bytes[5] & 0x1F, bytes[6], bytes[7], bytes[8], "a full frame's time",
              at);
    next_piece_ = 0;
  }

 private:
  void CheckTime(int code, int hours, int minutes, int seconds, int frames, const char* what,
                 const std::string& at) const {
    const int rate_code = rate_ == 24 ? 0 : rate_ == 25 ? 1 : rate_ == 2997 ? 2 : 3;
    const int labels = rate_ == 24 ? 24 : rate_ == 25 ? 25 : 30;
    Check(code == rate_code, "the time code carries the stream's rate",
          std::string(what) + " " + at);
    Check(hours < 24 && minutes < 60 && seconds < 60 && frames < labels,
          "the time code's fields are in range", std::string(what) + " " + at);
    // Drop-frame numbering skips labels 0 and 1 at each minute but every tenth.
    Check(rate_ != 2997 || seconds != 0 || minutes % 10 == 0 || frames >= 2,
          "drop-frame labels are skipped", std::string(what) + " " + at);
  }

  int rate_ = 30;
  std::int64_t last_due_us_ = std::numeric_limits<std::int64_t>::min();
  int next_piece_ = 0;
  int nibbles_[8] = {};
};

// What the rules did during one input.
class Recorder : public qb::Bridge::Output {
 public:
  std::int32_t channel = 1;
  std::int64_t now_us = 1;
  int armed_ms = -1;
  std::vector<std::vector<std::uint8_t>> midi;
  std::vector<std::string> log;
  int replies = 0;
  int captions = 0;

  void Reply(std::uint32_t, std::string_view bytes) override {
    Check(bytes == qb::Bridge::kReply, "the reply is exactly its 25 bytes");
    ++replies;
  }
  void ArmReplyTimer(int ms) override {
    Check(ms <= qb::Bridge::kReplyDelayMs, "the reply timer is armed for 20 ms at most");
    armed_ms = ms;
  }
  std::int64_t NowUs() override { return now_us; }
  void DeckCaption(std::string_view c) override {
    Check(c == "BeatL" || c == "BeatR", "the deck caption is BeatL or BeatR", std::string(c));
    ++captions;
  }
  void BeatIndicator(bool) override {}
  void PositionCaption(std::string_view) override { ++captions; }
  std::int32_t Channel() override { return channel; }
  void ShortMessage(std::uint8_t s, std::uint8_t d1, std::uint8_t d2) override {
    midi.push_back({s, d1, d2});
  }
  void LongMessage(const std::uint8_t* bytes, std::uint16_t length) override {
    midi.emplace_back(bytes, bytes + length);
  }
  qb::TimeOfDay LocalTime() override {
    const auto ms = now_us / 1000;
    return {static_cast<int>(ms / 3600000 % 24), static_cast<int>(ms / 60000 % 60),
            static_cast<int>(ms / 1000 % 60), static_cast<int>(ms % 1000)};
  }
  void LogLine(std::string_view line) override { log.emplace_back(line); }

  // The sync outputs, driven as the engine drives them: each hook, then a pump.
  void DeckBeat() override {
    if (!clock) return;
    clock->Beat(now_us, clock_check);
    Pump();
  }
  void LiveDeckChanged() override {
    if (clock) clock->DeckChanged(now_us);
  }
  void StreamPosition(std::int32_t tenths) override {
    Check(mtc.has_value(), "a stream position only at an MTC rate");
    mtc->Position(now_us, tenths, mtc_check);
    Pump();
  }

  // The switches; as the engine's, a setting that does not change keeps its stream.
  void SetMtcRate(int rate) {
    if (rate == mtc_rate) return;
    mtc_rate = rate;
    mtc.reset();
    if (rate == 0) return;
    mtc.emplace(rate);
    mtc_check.Reset(rate);
  }
  void SetClock(bool on) {
    if (on == clock.has_value()) return;
    clock.reset();
    if (!on) return;
    clock.emplace();
    clock_check.Reset();
  }

  // Time passes up to to_us; the streams are pumped when their timer would fire.
  void Advance(std::int64_t to_us) {
    for (int wakes = 0;; ++wakes) {
      std::int64_t next = qb::MtcStream::kIdle;
      if (mtc) next = std::min(next, mtc->NextDue());
      if (clock) next = std::min(next, clock->NextDue());
      if (next == qb::MtcStream::kIdle || next - kLeadUs + 1 > to_us) break;
      // Each wake finds something due within the lead, so the streams can never stall it.
      Check(wakes < 100000, "the sync streams make progress");
      now_us = std::max(now_us, next - kLeadUs + 1);
      Pump();
    }
    now_us = std::max(now_us, to_us);
  }

  int mtc_rate = 0;
  std::optional<qb::MtcStream> mtc;
  std::optional<qb::BeatClock> clock;

 private:
  static constexpr std::int64_t kLeadUs = 20'000;

  void Pump() {
    if (mtc) mtc->Pump(now_us, now_us + kLeadUs, mtc_check);
    if (clock) clock->Pump(now_us, now_us + kLeadUs, clock_check);
  }

  MtcCheck mtc_check;
  ClockCheck clock_check;
};

const int kMtcRates[] = {0, 24, 25, 2997, 30};

const char* const kFilters[] = {
    "",
    "/Traktor.Deck1\n/Virtua\nab",
    "/T\n/Traktor.Deck0.Beat.,f",
    "/VirtualDJ/Phase....,f..\n\n/Traktor.XFa",
};
const std::uint32_t kSenders[] = {0x140200C0, 0x150200C0, 0x0100007F, 0xFFFFFFFF};

// A deck that plays between the input's datagrams: its position and the times of its next
// report and beat (0 when it does not report or beat).
struct Feed {
  double position_us = 0;
  std::int64_t next_report_us = 0, next_beat_us = 0;

  // A Traktor datagram of the live deck: "See" a seek to value, "Bea" a beat.
  void Send(qb::Bridge& rules, const char (&what)[4], float value) {
    char bytes[28] = "/Traktor.Deck0.Bea";
    bytes[13] = static_cast<char>('0' + rules.liveDeck);
    std::memcpy(bytes + 15, what, 3);
    std::memcpy(bytes + 20, ",f\0\0", 4);
    const auto bits = std::bit_cast<std::uint32_t>(value);
    for (int i = 0; i < 4; ++i) bytes[24 + i] = static_cast<char>(bits >> (24 - 8 * i));
    rules.Datagram(std::span<const char>(bytes, sizeof bytes), kSenders[0]);
  }
};

Feed& TheFeed() {
  static Feed feed;
  return feed;
}

Recorder& Out() {
  static Recorder* out = [] {
    auto* r = new Recorder;
    r->SetClock(true);
    r->SetMtcRate(25);
    return r;
  }();
  return *out;
}
qb::Bridge& Rules() {
  static qb::Bridge* bridge = [] {
    auto* b = new qb::Bridge(Out());
    b->mtc_rate = Out().mtc_rate;
    return b;
  }();
  return *bridge;
}

void CheckMidi(const std::vector<std::uint8_t>& m, const qb::Bridge& rules, std::int32_t channel) {
  std::string hex;
  for (const std::uint8_t b : m) hex += std::to_string(b) + " ";
  if (m.size() == 3) {
    Check(rules.beats_out, "no beat while beats are held back");
    Check(m[0] == static_cast<std::uint8_t>((channel + 127) % 256) && m[1] == 127 && m[2] == 25,
          "a beat is the channel's status byte, 127, 25", hex);
    return;
  }
  Check(m.size() == 10, "a MIDI message is a beat or a ten-byte time code", hex);
  Check(rules.time_code_out, "no time code while time codes are held back");
  const std::uint8_t head[6] = {0xF0, 0x7F, 0x01, 0x01, 0x01, 0x00};
  Check(std::memcmp(m.data(), head, 6) == 0 && m[9] == 0xF7, "a time code's frame", hex);
  for (int i = 6; i < 9; ++i) Check(m[i] < 0x80, "a time code's data bytes are below 0x80", hex);
  Check(m[7] < 60 && m[8] < 100 && m[8] % 10 == 0, "a time code's seconds and frames", hex);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Recorder& out = Out();
  qb::Bridge& rules = Rules();

  const std::uint8_t control = size ? data[0] ^ data[size - 1] : 0;
  rules.debug = control & 0x01;
  rules.beats_out = control & 0x02;
  rules.time_code_out = control & 0x04;
  if (control & 0x08) rules.SetFilter(kFilters[(control >> 4) & 3]);
  if (control & 0x40) out.channel = 1 + static_cast<std::int32_t>(size % 127);

  // The sync switches and the time that passes, from bytes a real datagram leaves free: bit 0
  // sets the MTC rate to the choice in bits 1-3, bit 4 the clock to bit 5; bit 6 has the deck
  // play and bit 7 its beats come meanwhile. The pace byte is the time, up to 300 ms; the play
  // byte the deck's speed (bits 0-5, in 24ths) and how often it reports (bits 6-7); the beat
  // byte the beats' period, 150 ms to 1.68 s, so that floods and gaps come too.
  const bool has_sync = size >= 8;
  const std::uint8_t sync = has_sync ? data[1] ^ data[size - 5] : 0;
  const std::uint8_t pace = has_sync ? data[2] ^ data[size - 6] : 0;
  const std::uint8_t play = has_sync ? data[3] ^ data[size - 7] : 0;
  const std::uint8_t beat = has_sync ? data[4] ^ data[size - 8] : 0;
  if (sync & 0x01) {
    out.SetMtcRate(kMtcRates[(sync >> 1 & 7) % 5]);
    rules.mtc_rate = out.mtc_rate;
  }
  if (sync & 0x10) out.SetClock(sync & 0x20);

  // Time passes between datagrams, the streams going on meanwhile and the deck, if it plays,
  // reporting its positions and beats as a DJ program does; now and then the window's timers
  // have their turn.
  const std::int64_t to_us =
      out.now_us + 1 + (control & 0x80 ? qb::Bridge::kReplyDelayUs : 997) + pace * 1176;
  Feed& feed = TheFeed();
  const double speed = (play & 63) / 24.0;
  const std::int64_t report_us = std::int64_t{20'000} << (play >> 6);
  const std::int64_t period_us = 150'000 + std::int64_t{beat} * 6'000;
  if (!(sync & 0x40)) feed.next_report_us = 0;
  if (!(sync & 0x80)) feed.next_beat_us = 0;
  if (sync & 0x40 && feed.next_report_us == 0) feed.next_report_us = out.now_us + report_us;
  if (sync & 0x80 && feed.next_beat_us == 0) feed.next_beat_us = out.now_us + period_us;
  for (;;) {
    const bool reports = feed.next_report_us != 0 && feed.next_report_us <= to_us;
    const bool beats = feed.next_beat_us != 0 && feed.next_beat_us <= to_us;
    if (!reports && !beats) break;
    const bool report_first = reports && (!beats || feed.next_report_us <= feed.next_beat_us);
    const std::int64_t at_us = report_first ? feed.next_report_us : feed.next_beat_us;
    feed.position_us += static_cast<double>(at_us - out.now_us) * speed;
    out.Advance(at_us);
    if (report_first) {
      feed.Send(rules, "See", static_cast<float>(std::floor(feed.position_us / 100'000)));
      feed.next_report_us += report_us;
    } else {
      feed.Send(rules, "Bea", 1.0f);
      feed.next_beat_us += period_us;
    }
  }
  feed.position_us += static_cast<double>(to_us - out.now_us) * speed;
  out.Advance(to_us);
  if (control & 0x20 && rules.BeatGateClosed()) rules.BeatTimeout();
  out.midi.clear();
  out.log.clear();
  out.captions = 0;
  if (out.armed_ms >= 0) {
    out.armed_ms = -1;
    rules.ReplyTimer();
  }
  Check(out.midi.empty() && out.log.empty() && out.captions == 0,
        "a reply timer sends only replies");
  out.replies = 0;

  const std::size_t pending = rules.PendingReplies();
  const std::uint32_t sender = kSenders[size % 4];
  // Exactly the datagram's size on the heap, so a read past its end is caught.
  auto bytes = std::make_unique<char[]>(size);
  if (size) std::memcpy(bytes.get(), data, size);
  rules.Datagram(std::span<const char>(bytes.get(), size), sender);

  Check(rules.PendingReplies() <= qb::Bridge::kMaxPendingReplies, "64 pending replies at most");
  Check(rules.PendingReplies() <= pending + 1, "one probe asks for one reply at most");
  Check(out.replies == 0, "no reply leaves with its probe");
  Check(rules.PendingReplies() == 0 || out.armed_ms >= 0, "a pending reply has its timer");
  Check(rules.liveDeck == 0 || rules.liveDeck == 1, "the live deck is 0 or 1");
  if (size < 6) {
    Check(out.midi.empty() && out.log.empty() && out.captions == 0 &&
              rules.PendingReplies() == pending,
          "nothing comes of a datagram shorter than six bytes");
  }
  Check(out.midi.size() <= 2, "one datagram, one beat and one time code at most");
  for (const auto& m : out.midi) CheckMidi(m, rules, out.channel);
  Check(out.log.size() <= 1, "one datagram, one log line at most");
  for (const std::string& line : out.log) {
    Check(rules.debug, "nothing is logged with the debug view off");
    Check(OneLine(line), "a log line is one line of UTF-8", line);
    const auto tab = line.find('\t');
    Check(tab != std::string::npos && (line.compare(tab + 1, 7, "/Trakto") == 0 ||
                                       line.compare(tab + 1, 7, "/Virtua") == 0),
          "only Traktor and VirtualDJ texts are logged", line);
  }
  return 0;
}
