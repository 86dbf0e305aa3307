// The tray's tooltip from the bridge's state: which facts it names, that warnings lead its state
// line, and that it keeps within what the tray shows.
#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "app/traytip.h"

namespace {

using qb::TrayFacts;

TrayFacts Fresh() {
  TrayFacts f;
  f.listening = true;
  f.sender = "192.168.1.20";
  f.age_ms = 3400;
  f.midi = "quillbox";
  return f;
}

struct Row {
  std::string_view label;
  TrayFacts facts;
  std::string_view tip;
};

TEST(TrayTip, NamesTheStateWithWarningsFirst) {
  auto with = [](auto change) {
    TrayFacts f = Fresh();
    change(f);
    return f;
  };
  const Row rows[] = {
      {"fresh OSC", Fresh(), "quillbox\nUDP 10001 · OSC 192.168.1.20 3 s ago · MIDI quillbox"},
      {"silent for 5 s leads", with([](TrayFacts& f) { f.age_ms = 5000; }),
       "quillbox\nOSC silent 5 s (from 192.168.1.20) · UDP 10001 · MIDI quillbox"},
      {"just under 5 s is not silent", with([](TrayFacts& f) { f.age_ms = 4999; }),
       "quillbox\nUDP 10001 · OSC 192.168.1.20 4 s ago · MIDI quillbox"},
      {"silent in minutes", with([](TrayFacts& f) { f.age_ms = 125'000; }),
       "quillbox\nOSC silent 2 min (from 192.168.1.20) · UDP 10001 · MIDI quillbox"},
      {"never received is no warning", with([](TrayFacts& f) {
         f.sender.clear();
         f.age_ms = 3'600'000;
       }),
       "quillbox\nUDP 10001 · no OSC yet · MIDI quillbox"},
      {"device gone leads", with([](TrayFacts& f) {
         f.midi_gone = true;
         f.connections = 2;
       }),
       "quillbox\nMIDI device gone: quillbox · UDP 10001 · OSC 192.168.1.20 3 s ago"},
      {"gone and silent", with([](TrayFacts& f) {
         f.midi_gone = true;
         f.age_ms = 12'000;
       }),
       "quillbox\nOSC silent 12 s (from 192.168.1.20) · MIDI device gone: quillbox · UDP 10001"},
      {"no device at all", with([](TrayFacts& f) { f.midi.clear(); }),
       "quillbox\nno MIDI device · UDP 10001 · OSC 192.168.1.20 3 s ago"},
      {"not listening", with([](TrayFacts& f) {
         f.listening = false;
         f.sender.clear();
       }),
       "quillbox\nnot listening on UDP 10001 · MIDI quillbox"},
      {"two connections", with([](TrayFacts& f) { f.connections = 2; }),
       "quillbox\nUDP 10001 · OSC 192.168.1.20 3 s ago · MIDI quillbox (2)"},
      {"no connection", with([](TrayFacts& f) { f.connections = 0; }),
       "quillbox\nUDP 10001 · OSC 192.168.1.20 3 s ago · MIDI quillbox (0)"},
      {"tempo", with([](TrayFacts& f) { f.tempo_bpm = 128.0; }),
       "quillbox\nUDP 10001 · OSC 192.168.1.20 3 s ago · MIDI quillbox · 128.0 BPM"},
      {"tempo to a tenth", with([](TrayFacts& f) { f.tempo_bpm = 99.94; }),
       "quillbox\nUDP 10001 · OSC 192.168.1.20 3 s ago · MIDI quillbox · 99.9 BPM"},
      {"Link after the state", with([](TrayFacts& f) { f.link = "1 peer"; }),
       "quillbox\nUDP 10001 · OSC 192.168.1.20 3 s ago · MIDI quillbox\nLink: 1 peer"},
  };
  for (const Row& r : rows) EXPECT_EQ(qb::TrayTip(r.facts), r.tip) << r.label;
}

// However long the device's name, the tip keeps to the tray's 127 bytes, whole characters, and
// every other fact; only the name is shortened, with an ellipsis.
TEST(TrayTip, ALongNameIsShortenedAndTheOtherFactsStay) {
  const std::string long_ascii(300, 'x');
  std::string long_utf8;
  for (int i = 0; i < 100; ++i) long_utf8 += "\u00E4";  // two bytes each
  struct LongRow {
    std::string_view label;
    std::string name;
    bool gone;
  };
  const LongRow rows[] = {
      {"ascii", long_ascii, false},
      {"two-byte characters", long_utf8, false},
      {"gone, in the warning", long_ascii, true},
  };
  for (const LongRow& r : rows) {
    TrayFacts f = Fresh();
    f.sender = "255.255.255.255";
    f.age_ms = 59'000;
    f.midi = r.name;
    f.midi_gone = r.gone;
    f.connections = 12;
    f.tempo_bpm = 300.0;
    f.link = "99 peers";
    const std::string tip = qb::TrayTip(f);
    SCOPED_TRACE(std::string(r.label) + ": " + tip);
    EXPECT_LE(tip.size(), qb::kTrayTipBytes);
    EXPECT_GE(tip.size(), qb::kTrayTipBytes - 1) << "the name gave up more than it had to";
    EXPECT_EQ(tip.rfind("quillbox\n", 0), 0u);
    EXPECT_NE(tip.find("UDP 10001"), std::string::npos);
    EXPECT_NE(tip.find("255.255.255.255"), std::string::npos);
    EXPECT_NE(tip.find("59 s"), std::string::npos);
    EXPECT_NE(tip.find("300.0 BPM"), std::string::npos);
    EXPECT_NE(tip.find("\nLink: 99 peers"), std::string::npos);
    EXPECT_EQ(tip.find("(12)") != std::string::npos, !r.gone);
    // The name's start is there, cut before the ellipsis, which ends it.
    const std::string head = r.name.substr(0, 8);
    const auto at = tip.find(head);
    ASSERT_NE(at, std::string::npos);
    const auto ellipsis = tip.find("\u2026", at);
    ASSERT_NE(ellipsis, std::string::npos);
    // Whole characters: no byte of a started character is left before the ellipsis.
    const std::string kept = tip.substr(at, ellipsis - at);
    EXPECT_EQ(kept, r.name.substr(0, kept.size()));
    if (r.name == long_utf8) {
      EXPECT_EQ(kept.size() % 2, 0u);
    }
  }
  // A name that fits is not touched.
  TrayFacts f = Fresh();
  f.midi = std::string(60, 'y');
  EXPECT_NE(qb::TrayTip(f).find(f.midi), std::string::npos);
  EXPECT_EQ(qb::TrayTip(f).find("\u2026"), std::string::npos);
}

}  // namespace
