// The window and its engine: the datagram path runs on the engine's thread whatever this thread
// does, the engine's errors reach the window's one box, closing stops the engine first, and log
// lines the window could not take show as one line.
#include <QCheckBox>
#include <atomic>
#include <chrono>
#include <thread>

#include "app/logview.h"
#include "tests/app/appfixture.h"

using namespace std::chrono_literals;

namespace apptest {
namespace {

using Clock = std::chrono::steady_clock;
using C = qb::Engine::Components;

class EngineWindowTest : public AppTest {
 protected:
  void SetUp() override {
    AppTest::SetUp();
    AddDevices(1);
    Start();
    ASSERT_TRUE(errors_->opened.empty());
  }
  TForm1& f() { return *form_; }
};

// A VirtualDJ phase that falls back is a beat: 1000, then 0.
void SendBeat(Peer& peer) {
  peer.SendTo(IntMessage("/VirtualDJ/Phase", 1000), 10001);
  peer.SendTo(IntMessage("/VirtualDJ/Phase", 0), 10001);
}

// This thread sleeps for 800 ms, handling nothing, while a peer sends a beat and a seek every
// 40 ms: each reaches the MIDI service as it arrives, not when this thread wakes.
TEST_F(EngineWindowTest, BeatsAndTimeCodesLeaveWhileTheWindowsThreadIsHeld) {
  std::vector<Clock::time_point> sent;
  std::thread sender([&] {
    Peer peer;
    for (int i = 0; i < 15; ++i) {
      sent.push_back(Clock::now());
      SendBeat(peer);
      peer.SendTo(FloatMessage("/Traktor.Deck0.Seek", static_cast<float>(i)), 10001);
      std::this_thread::sleep_for(40ms);
    }
  });
  std::this_thread::sleep_for(800ms);  // the window's thread, held
  sender.join();
  midi_.CompleteLongMessages();  // each keeps the moment it was handed to the service
  const auto shorts = midi_.ShortMessages();
  const auto longs = midi_.LongMessages();
  ASSERT_EQ(shorts.size(), sent.size());
  ASSERT_EQ(longs.size(), sent.size());
  for (std::size_t i = 0; i < sent.size(); ++i) {
    SCOPED_TRACE(i);
    // Generous for a loaded machine; a held window would make it up to 800 ms.
    EXPECT_LT(shorts[i].at - sent[i], 100ms);
    EXPECT_LT(longs[i].at - sent[i], 100ms);
  }
}

TEST_F(EngineWindowTest, ErrorsOfTheEngineReachTheOneBoxCountedIntoIt) {
  OnEngine([](C& c) { c.MidiOutput1->Close(); });
  for (int i = 0; i < 5; ++i) f().Button1Click(&f());
  ASSERT_TRUE(qbtest::PumpUntil([&] {
    return !errors_->updates.empty() && errors_->updates.back().ends_with("(and 4 more)");
  }));
  ASSERT_EQ(errors_->opened.size(), 1u);
  EXPECT_EQ(errors_->opened[0], std::string(qb::MidiErrorText(qb::MMSYSERR_INVALHANDLE)) + ".");
  EXPECT_EQ(errors_->titles[0], "quillbox");
}

// Beats keep coming while the window closes: those handled before the port closed went out,
// none is handled after it (it would fail on the closed port and show an error).
TEST_F(EngineWindowTest, NoDatagramIsHandledOnceTheWindowHasClosed) {
  std::atomic<bool> stop{false};
  std::atomic<int> beats_sent{0};
  std::thread sender([&] {
    Peer peer;
    while (!stop.load()) {
      SendBeat(peer);
      beats_sent.fetch_add(1);
      std::this_thread::sleep_for(2ms);
    }
  });
  ASSERT_TRUE(qbtest::PumpUntil([&] { return midi_.ShortMessages().size() >= 5; }));
  ASSERT_TRUE(f().close());
  const std::size_t at_close = midi_.ShortMessages().size();
  const int sent_at_close = beats_sent.load();
  ASSERT_TRUE(qbtest::PumpUntil([&] { return beats_sent.load() > sent_at_close + 50; }));
  Settle();
  stop.store(true);
  sender.join();
  EXPECT_EQ(midi_.ShortMessages().size(), at_close);
  EXPECT_TRUE(errors_->opened.empty()) << errors_->opened.front();
  EXPECT_EQ(StoredValue("channel"), 1);
}

TEST_F(EngineWindowTest, LogLinesTheWindowCouldNotTakeShowAsOneLineWhereTheyWereLost) {
  f().hide();  // the log box keeps its lines hidden too, and nothing is painted meanwhile
  f().CheckBox1->setChecked(true);
  f().Engine().SetLocalTime([] { return qb::TimeOfDay{1, 2, 3, 4}; });
  // Far more than the queue between engine and window holds, with this thread taking none.
  constexpr int kLines = 60000;
  for (int i = 0; i < kLines; ++i)
    f().HandleDatagram(IntMessage("/VirtualDJ/Phase", i), 0x0100007F);
  f().Engine().Sync();
  const QString tail = " lines dropped: the window could not keep up)";
  auto last = [&] { return f().Memo1->Line(f().Memo1->LineCount() - 1); };
  ASSERT_TRUE(
      qbtest::PumpUntil([&] { return f().Memo1->LineCount() > 0 && last().endsWith(tail); }));
  const std::size_t n = f().Memo1->LineCount();
  const int dropped = last().mid(1).section(' ', 0, 0).toInt();
  EXPECT_EQ(static_cast<int>(n) - 1 + dropped, kLines);
  EXPECT_TRUE(f().Memo1->Line(n - 2).endsWith("\t" + QString::number(kLines - dropped - 1)));
  // With room again, the next line follows the mark.
  f().HandleDatagram(IntMessage("/VirtualDJ/Phase", -7), 0x0100007F);
  ASSERT_TRUE(qbtest::PumpUntil([&] { return last().endsWith("\t-7"); }));
  EXPECT_EQ(f().Memo1->LineCount(), n + 1);
}

}  // namespace
}  // namespace apptest
