#include "app/traytip.h"

#include <algorithm>
#include <cmath>
#include <string_view>

namespace qb {

namespace {

constexpr std::string_view kSeparator = " \u00B7 ";
constexpr std::string_view kEllipsis = "\u2026";

// Whole seconds up to a minute, then whole minutes, then whole hours.
std::string Age(std::int64_t ms) {
  const std::int64_t s = std::max<std::int64_t>(ms, 0) / 1000;
  if (s < 60) return std::to_string(s) + " s";
  if (s < 3600) return std::to_string(s / 60) + " min";
  return std::to_string(s / 3600) + " h";
}

// One decimal, whatever the user's locale says the decimal point is.
std::string Tempo(double bpm) {
  const long long tenths = std::llround(bpm * 10.0);
  return std::to_string(tenths / 10) + "." + std::to_string(tenths % 10) + " BPM";
}

// At most n bytes of text, never ending inside a character.
std::size_t Utf8Cut(std::string_view text, std::size_t n) {
  if (n >= text.size()) return text.size();
  while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
  return n;
}

std::string Compose(const TrayFacts& f, std::string_view name) {
  const bool silent = !f.sender.empty() && f.age_ms >= kOscSilentMs;
  std::string line;
  auto add = [&](std::string_view item) {
    if (!line.empty()) line += kSeparator;
    line += item;
  };
  // Warnings first.
  if (silent) add("OSC silent " + Age(f.age_ms) + " (from " + f.sender + ")");
  if (f.midi.empty())
    add("no MIDI device");
  else if (f.midi_gone)
    add("MIDI device gone: " + std::string(name));
  add(f.listening ? "UDP 10001" : "not listening on UDP 10001");
  if (!silent) {
    if (!f.sender.empty())
      add("OSC " + f.sender + " " + Age(f.age_ms) + " ago");
    else if (f.listening)
      add("no OSC yet");
  }
  if (!f.midi.empty() && !f.midi_gone) {
    std::string midi = "MIDI " + std::string(name);
    if (f.connections >= 0) midi += " (" + std::to_string(f.connections) + ")";
    add(midi);
  }
  if (f.tempo_bpm > 0) add(Tempo(f.tempo_bpm));
  std::string tip = "quillbox\n" + line;
  if (!f.link.empty()) tip += "\nLink: " + f.link;
  return tip;
}

}  // namespace

std::string TrayTip(const TrayFacts& facts) {
  std::string tip = Compose(facts, facts.midi);
  if (tip.size() <= kTrayTipBytes) return tip;
  // The name gives up what is too much, and room for the ellipsis.
  const std::size_t over = tip.size() - kTrayTipBytes + kEllipsis.size();
  const std::string_view name = facts.midi;
  const std::size_t keep = over < name.size() ? Utf8Cut(name, name.size() - over) : 0;
  tip = Compose(facts, std::string(name.substr(0, keep)) + std::string(kEllipsis));
  // Only ages of years and a device without a name to give up come here.
  if (tip.size() > kTrayTipBytes) tip.resize(Utf8Cut(tip, kTrayTipBytes));
  return tip;
}

}  // namespace qb
