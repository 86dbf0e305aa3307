// The engine without a window: commands run in order on its thread, what it publishes, how it
// wakes the window, and how errors and log lines reach it. The MIDI service is the scripted
// one; nothing here listens on a socket.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "bridge/engine.h"
#include "midi/fake/fakemidiservice.h"
#include "midi/midiout.h"
#include "net/udpsockutil.h"
#include "platform/timer.h"

using namespace qb;
using C = Engine::Components;

namespace {

std::string Message(const std::string& address, std::int32_t value) {
  std::string s = address;
  s.push_back('\0');
  while (s.size() % 4) s.push_back('\0');
  s += std::string(",i\0\0", 4);
  for (int i = 0; i < 4; ++i)
    s.push_back(static_cast<char>(static_cast<std::uint32_t>(value) >> (24 - 8 * i)));
  return s;
}

class EngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    midi.AddDevice("Synth A");
    SetMidiService(&midi);
    Engine::Options o;
    o.local_time = [] { return TimeOfDay{1, 2, 3, 4}; };
    o.wake = [this] { wakes.fetch_add(1); };
    engine = std::make_unique<Engine>(std::move(o));
    engine->Call([](C& c) {
      c.MidiOutput1->SetDeviceID(0);
      c.MidiOutput1->Open();
    });
  }
  void TearDown() override {
    engine.reset();
    SetMidiService(nullptr);
  }
  std::vector<std::string> Lines() {
    std::string text;
    engine->TakeLogLines(text);
    std::vector<std::string> out;
    for (std::size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos;
         start = end + 1)
      out.push_back(text.substr(start, end - start));
    return out;
  }

  FakeMidiService midi;
  std::atomic<int> wakes{0};
  std::unique_ptr<Engine> engine;
};

}  // namespace

// A hundred positions wake the window once; taking the captions lets the next one wake it.
TEST_F(EngineTest, TheWindowIsWokenOncePerKindOfNewsUntilItTakesIt) {
  engine->WantCaptions(true);
  for (int i = 1; i <= 100; ++i) engine->Time(i);
  engine->Sync();
  EXPECT_EQ(wakes.load(), 1);
  EXPECT_EQ(engine->Pending(), unsigned{Engine::kCaptions});
  const Snapshot s = engine->TakeSnapshot();
  EXPECT_STREQ(s.position_caption, "100");
  EXPECT_EQ(engine->Pending(), 0u);
  engine->Time(101);
  engine->Sync();
  EXPECT_EQ(wakes.load(), 2);

  // Hidden, the window is not woken for captions; it reads them when shown again.
  engine->TakeSnapshot();
  engine->WantCaptions(false);
  engine->Time(102);
  engine->Sync();
  EXPECT_EQ(wakes.load(), 2);
  EXPECT_STREQ(engine->TakeSnapshot().position_caption, "102");
}

TEST_F(EngineTest, ACallsErrorIsThrownToTheCallerAndACommandsErrorBecomesANotice) {
  EXPECT_THROW(engine->Call([](C& c) { c.MidiOutput1->SetDeviceID(7); }), EmidioutputError);
  engine->Call([](C& c) { c.MidiOutput1->Close(); });
  engine->Beat();
  engine->Beat();
  engine->Sync();
  EXPECT_TRUE(engine->Pending() & Engine::kNotices);
  std::vector<std::string> errors;
  int lost = -1;
  engine->TakeNotices([&](const Engine::Notice& n) { errors.emplace_back(n.text); }, lost);
  // Each beat failed on the closed port; the first closed the gate only for Traktor's beats.
  ASSERT_EQ(errors.size(), 2u);
  EXPECT_EQ(errors[0], MidiErrorText(MMSYSERR_INVALHANDLE));
  EXPECT_EQ(lost, 0);
  EXPECT_EQ(engine->Pending(), 0u);
}

TEST_F(EngineTest, ADeviceChangeIsAnnouncedOnceTheDeviceIsSelected) {
  midi.AddDevice("Synth B");
  engine->ChangeDevice(1);
  engine->ChangeDevice(5);  // no such device: an error, nothing announced
  engine->Sync();
  std::vector<std::int32_t> chosen;
  std::vector<std::string> errors;
  int lost = 0;
  engine->TakeNotices(
      [&](const Engine::Notice& n) {
        if (n.kind == Engine::Notice::Kind::DeviceChosen)
          chosen.push_back(n.device);
        else
          errors.emplace_back(n.text);
      },
      lost);
  EXPECT_EQ(chosen, std::vector<std::int32_t>{1});
  EXPECT_EQ(errors, std::vector<std::string>{"Invalid device ID"});
  EXPECT_EQ(midi.OpenCount(1), 1);
}

// The window takes no lines while 60,000 are logged: those that find the queue full are counted
// and stand as one line where they were lost, after the lines that fitted and before the next.
TEST_F(EngineTest, LogLinesTheWindowCannotTakeAreCountedAndMarkedWhereTheyWereLost) {
  engine->SetDebug(true);
  constexpr int kLines = 60000;
  for (int i = 0; i < kLines; ++i) engine->Datagram(Message("/VirtualDJ/Phase", i), 0x0100007F);
  engine->Sync();
  const std::uint64_t dropped = engine->TakeSnapshot().dropped_log_lines;
  ASSERT_GT(dropped, 0u);
  std::vector<std::string> lines = Lines();
  // No line came after the loss yet: its mark follows once the window has made room.
  engine->Sync();
  for (const std::string& l : Lines()) lines.push_back(l);
  engine->Datagram(Message("/VirtualDJ/Phase", -1), 0x0100007F);
  engine->Sync();
  for (const std::string& l : Lines()) lines.push_back(l);

  ASSERT_EQ(lines.size(), kLines - dropped + 2);
  const std::size_t kept = kLines - dropped;
  for (std::size_t i = 0; i < kept; ++i)
    ASSERT_TRUE(lines[i].ends_with('\t' + std::to_string(i))) << lines[i];
  EXPECT_EQ(lines[kept], Engine::DroppedLine(dropped));
  EXPECT_TRUE(lines[kept + 1].ends_with("\t-1")) << lines[kept + 1];
  EXPECT_EQ(engine->TakeSnapshot().dropped_log_lines, dropped);
}
