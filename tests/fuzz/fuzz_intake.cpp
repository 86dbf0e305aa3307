// libFuzzer target: one input is one datagram, handed to the bridge's intake in a heap buffer of
// exactly its size. The bridge lives from input to input, as it does on a DJ's network: the live
// deck, the last phase, the beat gate and the pending replies carry over. The switches the
// window gives the rules (debug, the filter, beats and time codes let out, the channel) and the
// ticks of its timers come from the input's first byte, mixed with its last so that a real
// address still leaves them to the fuzzer. After every input the promises are checked, and a
// broken one aborts.
#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "bridge/bridge.h"

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
};

const char* const kFilters[] = {
    "",
    "/Traktor.Deck1\n/Virtua\nab",
    "/T\n/Traktor.Deck0.Beat.,f",
    "/VirtualDJ/Phase....,f..\n\n/Traktor.XFa",
};
const std::uint32_t kSenders[] = {0x140200C0, 0x150200C0, 0x0100007F, 0xFFFFFFFF};

Recorder& Out() {
  static Recorder* out = new Recorder;
  return *out;
}
qb::Bridge& Rules() {
  static qb::Bridge* bridge = new qb::Bridge(Out());
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

  // Time passes between datagrams; now and then the window's timers have their turn.
  out.now_us += 1 + (control & 0x80 ? qb::Bridge::kReplyDelayUs : 997);
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
