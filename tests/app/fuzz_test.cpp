// Random and truncated datagrams through the intake: nothing read outside a datagram, nothing
// crashes, and afterwards a valid beat and seek still produce their exact MIDI.
#include <QCheckBox>
#include <QPlainTextEdit>
#include <algorithm>
#include <memory>
#include <random>

#include "tests/app/appfixture.h"

namespace apptest {
namespace {

using FuzzTest = AppTest;

TEST_F(FuzzTest, HundredThousandHostileDatagramsLeaveTheBridgeWorking) {
  AddDevices(1);
  TForm1& f = Start();
  ASSERT_TRUE(errors_->opened.empty());
  f.CheckBox2->setChecked(false);  // no MIDI while fuzzing: only the intake's own logic runs
  f.CheckBox3->setChecked(false);
  f.Memo2->setPlainText("/Traktor.Deck1\n/Virtua\nab");

  const std::vector<std::string> messages = {
      std::string("/__PING\0,\0\0\0", 12),          FloatMessage("/Traktor.XFader", 0.75f),
      FloatMessage("/Traktor.Deck0.Beat", 1.0f),    FloatMessage("/Traktor.Deck1.Beat", 1.0f),
      FloatMessage("/Traktor.Deck0.Seek", 1234.5f), FloatMessage("/Traktor.Deck1.Seek", 1234.5f),
      FloatMessage("/VirtualDJ/Phase", 0.5f),       IntMessage("/Virtual", 7),
  };
  std::vector<std::string> cases;
  // Every recognised message cut at every length, bare and inside a bundle.
  for (const std::string& m : messages) {
    for (size_t n = 0; n <= m.size(); ++n) {
      cases.push_back(m.substr(0, n));
      cases.push_back(Bundle(m).substr(0, n + 16));
    }
  }
  // Bundles shorter than their header.
  for (size_t n = 0; n < 20; ++n) cases.push_back(Bundle("").substr(0, n));

  std::mt19937 rng(20261208);
  auto byte = [&] { return static_cast<char>(rng() & 0xFF); };
  for (int i = 0; cases.size() < 100000; ++i) {
    std::string d;
    switch (i % 4) {
      case 0: {  // random bytes of random length
        d.resize(rng() % 64);
        for (char& c : d) c = byte();
        break;
      }
      case 1: {  // a recognised prefix with a random tail
        d = messages[rng() % messages.size()].substr(0, 6 + rng() % 14);
        const size_t tail = rng() % 8;
        for (size_t k = 0; k < tail; ++k) d.push_back(byte());
        break;
      }
      case 2: {  // a message with random argument bytes (NaNs, infinities, huge seeks)
        d = messages[1 + rng() % (messages.size() - 1)];
        for (size_t k = d.size() - 4; k < d.size(); ++k) d[k] = byte();
        break;
      }
      case 3: {  // oversize texts
        d = (i % 8 == 3 ? Bundle(messages[rng() % messages.size()]) : messages[2]);
        d.append(rng() % 4096, byte());
        break;
      }
    }
    cases.push_back(std::move(d));
  }
  ASSERT_GE(cases.size(), 100000u);

  // On the engine's thread, as its intake hands each datagram to the rules, in slices so that
  // the window takes the log lines in between.
  constexpr size_t kSlice = 5000;
  for (size_t start = 0; start < cases.size(); start += kSlice) {
    OnEngine([&](qb::Engine::Components& c) {
      for (size_t i = start; i < std::min(cases.size(), start + kSlice); ++i) {
        // Debug mode for a part of the run, so the monitor sees hostile texts too.
        c.Rules->debug = i % 10 == 0;
        // A heap buffer of exactly the datagram's size: a read past its end is the sanitizer's
        // to see (a string's own spare room would hide it).
        const std::string& d = cases[i];
        const auto exact = std::make_unique<char[]>(d.size());
        std::copy(d.begin(), d.end(), exact.get());
        c.Rules->Datagram(std::span<const char>(exact.get(), d.size()), 0x0100007F);
        if (c.Timer1->Enabled()) c.Timer1->OnTimer()(c.Timer1);
      }
      c.Rules->debug = false;
    });
    Settle();
  }
  EXPECT_TRUE(errors_->opened.empty()) << errors_->opened.front();

  // The bridge still works exactly.
  f.CheckBox1->setChecked(false);
  f.CheckBox2->setChecked(true);
  f.CheckBox3->setChecked(true);
  f.HandleDatagram(FloatMessage("/Traktor.XFader", 0.25f), 0x0100007F);
  f.HandleDatagram(FloatMessage("/Traktor.Deck0.Beat", 1.0f), 0x0100007F);
  f.HandleDatagram(FloatMessage("/Traktor.Deck0.Seek", 1234.5f), 0x0100007F);
  Settle();
  EXPECT_EQ(ShortPacked(), std::vector<uint32_t>{0x197F80});
  const std::vector<std::vector<uint8_t>> expected = {
      {0xF0, 0x7F, 0x01, 0x01, 0x01, 0x00, 2, 3, 40, 0xF7}};
  EXPECT_EQ(LongBytes(), expected);
}

}  // namespace
}  // namespace apptest
