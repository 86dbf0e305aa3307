// The bridge in its window: datagrams over the real socket, the reply on the wire, the real
// indicator timer, the MIDI port, the log box and the captions. The rules themselves are
// tested on their own in bridge_core_test.cpp.
#include <arpa/inet.h>
#include <QCheckBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QSpinBox>

#include "app/logview.h"
#include "midi/midiout.h"
#include "net/udpsockutil.h"
#include "tests/app/appfixture.h"

using namespace std::chrono_literals;

namespace apptest {
namespace {

using Bytes = std::vector<uint8_t>;

uint32_t Address(const char* dotted) {
  return ::inet_addr(dotted);
}

Bytes TimeCode(uint8_t minutes, uint8_t seconds, uint8_t frames) {
  return {0xF0, 0x7F, 0x01, 0x01, 0x01, 0x00, minutes, seconds, frames, 0xF7};
}

constexpr uint32_t kBeat1 = 0x197F80;  // channel value 1: status 0x80, data 127 and 25

class BridgeTest : public AppTest {
 protected:
  void SetUp() override {
    AppTest::SetUp();
    AddDevices(1);
    Start();
    ASSERT_TRUE(errors_->opened.empty());
  }
  using C = qb::Engine::Components;
  TForm1& f() { return *form_; }
  void Feed(const std::string& bytes) { f().HandleDatagram(bytes, Address("127.0.0.1")); }
  bool Timer1On() {
    return OnEngine([](C& c) { return c.Timer1->Enabled(); });
  }
  // The log as the box shows it, once the frame has come.
  std::vector<std::string> LogLines() {
    Settle();
    std::vector<std::string> out;
    for (std::size_t i = 0; i < f().Memo1->LineCount(); ++i)
      out.push_back(f().Memo1->Line(i).toStdString());
    return out;
  }
};

TEST_F(BridgeTest, ProbeIsAnsweredWithTheReplyBytesToPort10000FromThePort10001) {
  Peer pong(10000);
  ASSERT_TRUE(pong.ok()) << "UDP port 10000 is in use";
  Peer peer;
  const auto sent = std::chrono::steady_clock::now();
  peer.SendTo(std::string("/__PING\0,\0\0\0", 12), 10001);
  const auto reply = pong.Receive();
  ASSERT_TRUE(reply.has_value());
  EXPECT_GE(std::chrono::steady_clock::now() - sent, 20ms);  // no sooner than its delay
  EXPECT_EQ(reply->bytes, std::string("/__PONG\0,s\0\0quillbox\0\0\0\0\0", 25));
  EXPECT_EQ(reply->from_port, 10001);
  EXPECT_EQ(OnEngine([](C& c) { return c.UdpSockUtil1->RemoteHost(); }), "127.0.0.1");
  EXPECT_EQ(OnEngine([](C& c) { return c.UdpSockUtil1->RemotePort(); }), 10000);

  // The reply goes to the probe's sender address, whatever it is.
  f().HandleDatagram(std::string("/__PING\0\0", 9), Address("127.0.0.2"));
  ASSERT_TRUE(pong.Receive().has_value());
  EXPECT_EQ(OnEngine([](C& c) { return c.UdpSockUtil1->RemoteHost(); }), "127.0.0.2");
  EXPECT_TRUE(errors_->opened.empty());
}

TEST_F(BridgeTest, ProbeNeverHoldsUpTheDatagramsBehindIt) {
  Peer pong(10000);
  ASSERT_TRUE(pong.ok()) << "UDP port 10000 is in use";
  f().CheckBox1->setChecked(true);
  Peer peer;
  peer.SendTo(std::string("/__PING\0,\0\0\0", 12), 10001);
  peer.SendTo(FloatMessage("/Traktor.Deck0.Beat", 1.0f), 10001);
  // The beat behind the probe is sent before the reply leaves.
  ASSERT_TRUE(qbtest::PumpUntil([&] { return !ShortPacked().empty(); }));
  const auto early = pong.TryReceive();
  EXPECT_FALSE(early.has_value());
  EXPECT_TRUE(pong.Receive().has_value());
}

// One host polls in a loop: 200 probes before every beat and time code. Each beat and time
// code reaches the MIDI service as soon as the datagrams before it are read (a probe that paused
// the intake for its reply's 20 ms held each one up by 4 s), and the host gets one reply at a
// time, 50 a second at most.
TEST_F(BridgeTest, ProbeFloodHoldsUpNoBeatAndNoTimeCode) {
  using Clock = std::chrono::steady_clock;
  Peer pong(10000);
  ASSERT_TRUE(pong.ok()) << "UDP port 10000 is in use";
  Peer host;
  const std::string probe("/__PING\0,\0\0\0", 12);
  constexpr int kRounds = 10;
  std::vector<Clock::time_point> beat_sent, seek_sent;
  const Clock::time_point start = Clock::now();
  int replies = 0;
  for (int round = 0; round < kRounds; ++round) {
    for (int i = 0; i < 200; ++i) host.SendTo(probe, 10001);
    host.SendTo(IntMessage("/VirtualDJ/Phase", 1000), 10001);
    beat_sent.push_back(Clock::now());
    host.SendTo(IntMessage("/VirtualDJ/Phase", 0), 10001);  // falls back: a beat
    seek_sent.push_back(Clock::now());
    host.SendTo(FloatMessage("/Traktor.Deck0.Seek", static_cast<float>(round)), 10001);
    ASSERT_TRUE(qbtest::PumpUntil([&] {
      while (const auto reply = pong.TryReceive()) {
        ++replies;
        EXPECT_EQ(reply->bytes.size(), 25u);
        EXPECT_EQ(reply->from_port, 10001);
      }
      midi_.CompleteLongMessages();
      return midi_.ShortMessages().size() == size_t(round + 1) &&
             midi_.LongMessages().size() == size_t(round + 1);
    })) << "round "
        << round;
  }
  const auto elapsed = Clock::now() - start;
  const auto shorts = midi_.ShortMessages();
  const auto longs = midi_.LongMessages();
  for (int round = 0; round < kRounds; ++round) {
    SCOPED_TRACE(round);
    // A generous bound for a loaded machine; the seed's pause made it 4 s.
    EXPECT_LT(shorts[round].at - beat_sent[round], 250ms);
    EXPECT_LT(longs[round].at - seek_sent[round], 250ms);
    EXPECT_EQ(shorts[round].packed, kBeat1);
  }
  ASSERT_TRUE(qbtest::PumpUntil(
      [&] { return OnEngine([](C& c) { return c.Rules->PendingReplies(); }) == 0; }));
  while (pong.TryReceive()) ++replies;
  EXPECT_GE(replies, 1);
  EXPECT_LE(replies,
            1 + 50 * std::chrono::duration_cast<std::chrono::milliseconds>(elapsed + 40ms).count() /
                    1000);
}

TEST_F(BridgeTest, SecondBeatOverTheNetworkWhileTheIndicatorIsOnIsDropped) {
  f().CheckBox1->setChecked(true);  // the log shows when each datagram was handled
  Peer peer;
  peer.SendTo(FloatMessage("/Traktor.Deck0.Beat", 1.0f), 10001);
  peer.SendTo(FloatMessage("/Traktor.Deck0.Beat", 1.0f), 10001);
  ASSERT_TRUE(qbtest::PumpUntil([&] { return LogLines().size() == 2; }));
  EXPECT_EQ(ShortPacked(), std::vector<uint32_t>{kBeat1});
  EXPECT_TRUE(Timer1On());
  EXPECT_TRUE(f().Label1->isVisible());

  // The tick closes the indicator and reopens the gate.
  EXPECT_TRUE(qbtest::PumpUntil([&] { return !Timer1On(); }));
  Settle();
  EXPECT_FALSE(f().Label1->isVisible());
  Feed(FloatMessage("/Traktor.Deck0.Beat", 1.0f));
  Settle();
  EXPECT_EQ(ShortPacked().size(), 2u);
}

TEST_F(BridgeTest, CaptionsAreShownOnceTheFrameComesAndWaitWhileHidden) {
  Feed(FloatMessage("/Traktor.XFader", 0.75f));
  Feed(FloatMessage("/Traktor.Deck1.Seek", 1234.5f));
  Feed(FloatMessage("/Traktor.Deck1.Seek", 1235.5f));
  EXPECT_TRUE(qbtest::PumpUntil([&] { return f().Label3->text() == "1236"; }));
  EXPECT_EQ(f().Label1->text(), QString("BeatR"));
  EXPECT_GE(f().Label3->width(), f().Label3->sizeHint().width());
  EXPECT_EQ(LongBytes(), (std::vector<Bytes>{TimeCode(2, 3, 40), TimeCode(2, 3, 60)}));

  // Hidden in the tray, the caption costs nothing until the window is shown again.
  f().hide();
  f().CheckBox1->setChecked(true);
  f().Button2Click(&f());
  Settle();
  EXPECT_EQ(f().Label3->text(), QString("1236"));
  f().show();
  EXPECT_EQ(f().Label3->text(), QString("66\t0:06.06"));
}

TEST_F(BridgeTest, SwitchesAndFilterOfTheWindowReachTheRules) {
  f().CheckBox2->setChecked(false);
  f().CheckBox3->setChecked(false);
  f().Button1Click(&f());
  f().Button2Click(&f());
  Settle();
  EXPECT_TRUE(f().Label1->isVisible());
  EXPECT_TRUE(ShortPacked().empty());
  EXPECT_TRUE(LongBytes().empty());

  f().CheckBox2->setChecked(true);
  f().CheckBox3->setChecked(true);
  f().SpinEdit1->setValue(17);
  f().Button1Click(&f());
  f().Button2Click(&f());
  Settle();
  EXPECT_EQ(ShortPacked(), std::vector<uint32_t>{0x197F90});
  EXPECT_EQ(LongBytes(), std::vector<Bytes>{TimeCode(0, 6, 0x3C)});

  f().CheckBox1->setChecked(true);
  f().Memo2->setPlainText("/T\n/Traktor.Deck0");
  Feed(FloatMessage("/Traktor.Deck0.Beat", 1.0f));
  Feed(FloatMessage("/Traktor.Deck1.Beat", 1.0f));
  ASSERT_EQ(LogLines().size(), 1u);
  EXPECT_NE(LogLines()[0].find("/Traktor.Deck1.Beat"), std::string::npos);
  f().CheckBox1->setChecked(false);
  Feed(FloatMessage("/Traktor.Deck1.Beat", 1.0f));
  EXPECT_EQ(LogLines().size(), 1u);
}

TEST_F(BridgeTest, OutputErrorEndsTheDatagramAndIsShownOnce) {
  OnEngine([](C& c) { c.MidiOutput1->Close(); });
  Peer peer;
  f().CheckBox1->setChecked(true);
  peer.SendTo(FloatMessage("/Traktor.Deck0.Beat", 1.0f), 10001);
  ASSERT_TRUE(qbtest::PumpUntil([&] { return !errors_->opened.empty(); }));
  EXPECT_TRUE(Timer1On());
  EXPECT_TRUE(LogLines().empty());  // the monitor step did not run
  EXPECT_EQ(errors_->opened.size(), 1u);
}

TEST_F(BridgeTest, LogLinesArriveInBatchesInOrderEachWithItsOwnStamp) {
  f().CheckBox1->setChecked(true);
  // Each line asks the clock once: the n-th line is stamped with millisecond n.
  f().Engine().SetLocalTime([ms = 0]() mutable { return qb::TimeOfDay{1, 2, 3, ms++}; });
  Peer peer;
  // Line feeds and carriage returns inside a datagram keep it on one line of its own.
  peer.SendTo(std::string("/Traktor\n\r.\x01", 12), 10001);
  ASSERT_TRUE(qbtest::PumpUntil([&] { return LogLines().size() == 1; }));
  for (int ms = 1; ms <= 300; ++ms) Feed(IntMessage("/VirtualDJ/Phase", ms));
  f().Engine().Sync();
  EXPECT_EQ(f().Memo1->LineCount(), 1u);  // nothing reached the box before the frame
  ASSERT_TRUE(qbtest::PumpUntil([&] { return f().Memo1->LineCount() == 301; }));
  const std::vector<std::string> lines = LogLines();
  EXPECT_EQ(lines[0], "1:2:3,0\t/Traktor\u240A\u240D.\u2401\t6.79755542707103e-33");
  for (int i = 1; i <= 300; ++i)
    ASSERT_TRUE(lines[i].starts_with("1:2:3," + std::to_string(i) + "\t/VirtualDJ/Phase"))
        << lines[i];
  EXPECT_TRUE(lines[300].ends_with("\t300"));
}

TEST_F(BridgeTest, ZeroByteDatagramDoesNotStallTheIntake) {
  Peer peer;
  for (int i = 0; i < 3; ++i) peer.SendTo(std::string(), 10001);
  peer.SendTo(FloatMessage("/Traktor.Deck0.Beat", 1.0f), 10001);
  EXPECT_TRUE(qbtest::PumpUntil([&] { return ShortPacked().size() == 1; }));
  peer.SendTo(std::string(), 10001);
  OnEngine([](C& c) { c.Timer1->OnTimer()(c.Timer1); });
  peer.SendTo(FloatMessage("/VirtualDJ/Phase", -1.0f), 10001);
  EXPECT_TRUE(qbtest::PumpUntil([&] { return ShortPacked().size() == 2; }));
  // A notification with nothing queued reads nothing and reports nothing.
  OnEngine([](C& c) { c.UdpSockUtil1->OnReceive(c.UdpSockUtil1); });
  Settle();
  EXPECT_TRUE(errors_->opened.empty());
}

TEST_F(BridgeTest, TwoThousandBackToBackSeeksAllArriveInOrder) {
  Peer peer;
  constexpr int kSeeks = 2000;
  for (int i = 0; i < kSeeks; ++i)
    peer.SendTo(FloatMessage("/Traktor.Deck0.Seek", static_cast<float>(i)), 10001);
  ASSERT_TRUE(qbtest::PumpUntil([&] {
    midi_.CompleteLongMessages();
    return midi_.LongMessages().size() == kSeeks;
  }));
  const auto sent = LongBytes();
  for (int i = 0; i < kSeeks; ++i) {
    const Bytes expected =
        TimeCode(static_cast<uint8_t>(i / 600), static_cast<uint8_t>(i / 10 % 60),
                 static_cast<uint8_t>(i % 10 * 10));
    ASSERT_EQ(sent[i], expected) << i;
  }
  EXPECT_GE(OnEngine([](C& c) { return c.UdpSockUtil1->ReceiveBufferSize(); }), 400000);
}

TEST_F(BridgeTest, LogKeepsTheNewestLines) {
  f().CheckBox1->setChecked(true);
  f().Engine().SetLocalTime([] { return qb::TimeOfDay{1, 2, 3, 4}; });
  constexpr int kLines = 100000;
  auto value = [](int i) { return 0x20212121 + i; };
  for (int i = 0; i < kLines + 5; ++i) {
    Feed(IntMessage("/VirtualDJ/Phase", value(i)));
    if (i % 5000 == 0) Settle();  // frames come now and then
  }
  const std::vector<std::string> lines = LogLines();
  EXPECT_EQ(f().Memo1->LineCount(), static_cast<size_t>(kLines));
  ASSERT_EQ(lines.size(), static_cast<size_t>(kLines));
  EXPECT_TRUE(lines.front().ends_with('\t' + std::to_string(value(5)))) << lines.front();
  EXPECT_TRUE(lines.back().ends_with('\t' + std::to_string(value(kLines + 4)))) << lines.back();
}

}  // namespace
}  // namespace apptest

namespace apptest {
namespace {

TEST(LogClock, IsTheLocalTimeOfDay) {
  const qb::TimeOfDay t = qb::LocalTimeOfDay();
  const QTime ours(t.hour, t.minute, t.second, t.msec);
  const QTime qts = QTime::currentTime();
  // Apart by the moment between the two calls, unless midnight fell between them.
  const int apart = std::abs(ours.msecsTo(qts));
  EXPECT_TRUE(apart < 1000 || apart > 86399000) << ours.toString().toStdString();
}

}  // namespace
}  // namespace apptest
