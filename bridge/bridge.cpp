#include "bridge/bridge.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>

namespace qb {

namespace {

bool StartsWith(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && text.substr(0, prefix.size()) == prefix;
}
// The rules' own prefixes are known when compiling: a few loads and compares, not a call.
template <std::size_t N>
bool StartsWith(std::string_view text, const char (&prefix)[N]) {
  return text.size() >= N - 1 && std::memcmp(text.data(), prefix, N - 1) == 0;
}

void AppendNumber(std::string& s, std::int64_t v) {
  char buf[24];
  const auto r = std::to_chars(buf, buf + sizeof buf, v);
  s.append(buf, r.ptr);
}

// One byte of the datagram text as the log shows it: control bytes as their control pictures
// (never as line breaks), the rest as the Latin-1 character of the byte. Zero bytes are "."
// already.
void AppendShown(std::string& s, unsigned char b) {
  if (b < 0x20 || b == 0x7F) {
    const unsigned picture = b == 0x7F ? 0x2421 : 0x2400 + b;
    s += static_cast<char>(0xE0 | (picture >> 12));
    s += static_cast<char>(0x80 | ((picture >> 6) & 0x3F));
    s += static_cast<char>(0x80 | (picture & 0x3F));
  } else if (b < 0x80) {
    s += static_cast<char>(b);
  } else {
    s += static_cast<char>(0xC0 | (b >> 6));
    s += static_cast<char>(0x80 | (b & 0x3F));
  }
}

}  // namespace

Bridge::Bridge(Output& out) : out_(out) {
  text_.reserve(512);
  caption_.reserve(64);
  line_.reserve(1024);
}

void Bridge::SetFilter(std::string_view lines) {
  filter_.clear();
  std::size_t start = 0;
  while (start <= lines.size()) {
    std::size_t end = lines.find('\n', start);
    if (end == std::string_view::npos) end = lines.size();
    // Lines of fewer than three characters never filter anything.
    if (end - start > 2) filter_.emplace_back(lines.substr(start, end - start));
    start = end + 1;
  }
}

void Bridge::SetDecimalPoint(std::string_view separator) {
  decimal_point_.assign(separator);
}

std::optional<std::int32_t> Bridge::SeekPosition(float value) {
  const double v = value;
  if (!std::isfinite(v)) return std::nullopt;
  const double floor = std::floor(v);
  const double fraction = v - floor;  // exact: v has at most 24 significant bits
  double rounded = floor;
  if (fraction > 0.5 || (fraction == 0.5 && std::fmod(floor, 2.0) != 0.0)) rounded = floor + 1;
  if (rounded < -0x1p63 || rounded >= 0x1p63) return std::nullopt;
  const auto whole = static_cast<std::int64_t>(rounded);
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(static_cast<std::uint64_t>(whole)));
}

bool Bridge::TimeCode(std::int32_t position, std::uint8_t (&message)[10]) {
  const std::int32_t minutes = position / 600;
  const std::int32_t seconds = (position / 10) % 60;
  const std::int32_t tenths = position % 10;
  const std::uint8_t bytes[10] = {0xF0,
                                  0x7F,
                                  0x01,
                                  0x01,
                                  0x01,
                                  0x00,
                                  static_cast<std::uint8_t>(minutes),
                                  static_cast<std::uint8_t>(seconds),
                                  static_cast<std::uint8_t>(tenths * 10),
                                  0xF7};
  std::copy(std::begin(bytes), std::end(bytes), message);
  if (minutes < 0 || seconds < 0 || tenths < 0) return false;
  // A data byte of a system-exclusive message has seven bits.
  return minutes <= 0x7F;
}

void Bridge::Datagram(std::span<const char> bytes, std::uint32_t sender) {
  if (StartsWith(std::string_view(bytes.data(), bytes.size()), "/__PIN")) Probe(sender);

  // The argument is the last four bytes as received, most significant first; shorter
  // datagrams have none (and match no address below).
  // Read from the datagram itself, not from the kept copy, whose spare room would hide a read
  // past the datagram's end from the sanitizers.
  std::uint32_t argument = 0;
  if (bytes.size() >= 4) {
    const auto* b = reinterpret_cast<const unsigned char*>(bytes.data() + bytes.size() - 4);
    argument =
        std::uint32_t{b[0]} << 24 | std::uint32_t{b[1]} << 16 | std::uint32_t{b[2]} << 8 | b[3];
  }
  const auto single = std::bit_cast<float>(argument);
  const auto integer = std::bit_cast<std::int32_t>(argument);

  // The copy and the zero bytes' replacement in one sweep.
  text_.resize(bytes.size());
  std::replace_copy(bytes.begin(), bytes.end(), text_.begin(), '\0', '.');
  if (StartsWith(text_, "#bundl")) text_.erase(0, std::min<std::size_t>(20, text_.size()));
  const std::string_view text = text_;

  // The addresses below exclude one another, so the first common part is compared once.
  if (StartsWith(text, "/Traktor.")) {
    const std::string_view rest = text.substr(9);
    if (StartsWith(rest, "XFa")) {
      // A NaN crossfader has no side: nothing changes.
      if (!std::isnan(single)) {
        const int before = liveDeck;
        liveDeck = single > 0.5f ? 1 : 0;
        if (liveDeck != before) out_.LiveDeckChanged();
        out_.DeckCaption(liveDeck == 1 ? "BeatR" : "BeatL");
      }
    } else if (rest.size() >= 9 && StartsWith(rest, "Deck") && (rest[4] == '0' || rest[4] == '1') &&
               rest[5] == '.' && rest[4] - '0' == liveDeck) {
      const std::string_view what = rest.substr(6, 3);
      if (what == "Bea") LiveBeat(!gate_closed_);
      if (what == "See")
        if (const auto position = SeekPosition(single)) Time(*position);
    }
  } else if (StartsWith(text, "/VirtualDJ/Phase")) {
    // Raw bits compared as integers; the phase is kept even when the beat cannot be sent.
    const std::int32_t previous = lastPhase;
    lastPhase = integer;
    if (integer < previous) LiveBeat(true);
  }

  if (debug) Monitor(text, argument);
}

void Bridge::Beat() {
  gate_closed_ = true;
  out_.BeatIndicator(true);  // already on: the timer keeps running, not restarted
  if (beats_out) {
    const std::int32_t v = out_.Channel();
    out_.ShortMessage(static_cast<std::uint8_t>((v + 127) % 256), 127, 25);
  }
}

// The beat message first, so that the sync outputs' work never holds it up; they hear the beat
// even when the message could not be sent, as Link does not depend on the MIDI port.
void Bridge::LiveBeat(bool send) {
  try {
    if (send) Beat();
  } catch (...) {
    out_.DeckBeat();
    throw;
  }
  out_.DeckBeat();
}

void Bridge::BeatTimeout() {
  gate_closed_ = false;
  out_.BeatIndicator(false);
}

void Bridge::Time(std::int32_t position) {
  const std::int32_t minutes = position / 600;
  const std::int32_t seconds = (position / 10) % 60;
  const std::int32_t tenths = position % 10;
  caption_.clear();
  AppendNumber(caption_, position);
  if (debug) {
    caption_ += '\t';
    AppendNumber(caption_, minutes);
    caption_ += ':';
    if (seconds < 10) caption_ += '0';
    AppendNumber(caption_, seconds);
    caption_ += ".0";
    AppendNumber(caption_, tenths);
  }
  out_.PositionCaption(caption_);

  if (mtc_rate != 0) {
    if (time_code_out) out_.StreamPosition(position);
    return;
  }
  std::uint8_t message[10];
  if (!TimeCode(position, message)) return;
  if (time_code_out) out_.LongMessage(message, 10);
}

void Bridge::Monitor(std::string_view text, std::uint32_t argument) {
  // Only Traktor and VirtualDJ texts are ever logged; the others cost no clock and no filter.
  const bool traktor = StartsWith(text, "/Trakto");
  if (!traktor && !StartsWith(text, "/Virtua")) return;
  for (const std::string& prefix : filter_)
    if (StartsWith(text, prefix)) return;

  const TimeOfDay now = out_.LocalTime();
  line_.clear();
  AppendNumber(line_, now.hour);
  line_ += ':';
  AppendNumber(line_, now.minute);
  line_ += ':';
  AppendNumber(line_, now.second);
  line_ += ',';
  AppendNumber(line_, now.msec);
  line_ += '\t';
  for (const char c : text) AppendShown(line_, static_cast<unsigned char>(c));
  line_ += '\t';
  if (traktor) {
    // 15 significant digits in the shortest general form, with the user's separator.
    char buf[64];
    const auto r =
        std::to_chars(buf, buf + sizeof buf, static_cast<double>(std::bit_cast<float>(argument)),
                      std::chars_format::general, 15);
    for (const char* p = buf; p != r.ptr; ++p) {
      if (*p == '.')
        line_ += decimal_point_;
      else
        line_ += *p;
    }
  } else {
    AppendNumber(line_, std::bit_cast<std::int32_t>(argument));
  }
  out_.LogLine(line_);
}

// ---- The discovery reply: it leaves kReplyDelayMs after its probe, from a one-shot timer, so
// the probe never pauses the datagrams behind it. One reply at most is pending per sender, and
// since each waits its delay, a sender gets at most 1000 / kReplyDelayMs (50) replies a second.

void Bridge::Probe(std::uint32_t sender) {
  for (std::size_t i = 0; i < pending_count_; ++i)
    if (pending_[(pending_head_ + i) % kMaxPendingReplies].sender == sender) return;
  if (pending_count_ == kMaxPendingReplies) return;  // a flood of senders: the rest go unanswered
  const std::int64_t due = out_.NowUs() + kReplyDelayUs;
  pending_[(pending_head_ + pending_count_) % kMaxPendingReplies] = {sender, due};
  if (++pending_count_ == 1) out_.ArmReplyTimer(kReplyDelayMs);
}

void Bridge::ArmForFront() {
  if (pending_count_ == 0) {
    out_.ArmReplyTimer(-1);
    return;
  }
  // Rounded up: a timer that fires a little early finds the reply not yet due and is armed
  // again for the rest.
  const std::int64_t left_us = pending_[pending_head_].due - out_.NowUs();
  const std::int64_t left_ms = (std::max<std::int64_t>(left_us, 0) + 999) / 1000;
  out_.ArmReplyTimer(static_cast<int>(std::min<std::int64_t>(left_ms, kReplyDelayMs)));
}

void Bridge::ReplyTimer() {
  const std::int64_t now = out_.NowUs();
  while (pending_count_ > 0 && pending_[pending_head_].due <= now) {
    const std::uint32_t sender = pending_[pending_head_].sender;
    pending_head_ = (pending_head_ + 1) % kMaxPendingReplies;
    --pending_count_;
    // Armed before the send, so a failing send cannot strand the replies behind it.
    ArmForFront();
    out_.Reply(sender, kReply);
  }
  ArmForFront();
}

}  // namespace qb
