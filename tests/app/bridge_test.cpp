// The bridge: intake and dispatch, beat and time-code output, the debug monitor.
#include <arpa/inet.h>
#include <QCheckBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QSpinBox>
#include <QTextBlock>
#include <cmath>
#include <limits>

#include "midi/midiout.h"
#include "net/udpsockutil.h"
#include "tests/app/appfixture.h"

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
  TForm1& f() { return *form_; }
  void Feed(const std::string& bytes) { f().HandleDatagram(bytes, Address("127.0.0.1")); }
  std::vector<std::string> LogLines() {
    std::vector<std::string> out;
    const QString text = f().Memo1->toPlainText();
    if (text.isEmpty()) return out;
    for (const QString& line : text.split('\n')) out.push_back(line.toLatin1().toStdString());
    return out;
  }
};

// ---- Probe

TEST_F(BridgeTest, ProbeIsAnsweredWithTheReplyBytesToPort10000FromThePort10001) {
  Peer pong(10000);
  ASSERT_TRUE(pong.ok()) << "UDP port 10000 is in use";
  Peer peer;
  peer.SendTo(std::string("/__PING\0,\0\0\0", 12), 10001);
  const auto reply = pong.Receive();
  ASSERT_TRUE(reply.has_value());
  EXPECT_EQ(reply->bytes, std::string("/__PONG\0,s\0\0quillbox\0\0\0\0\0", 25));
  EXPECT_EQ(reply->bytes.size(), 25u);
  EXPECT_EQ(reply->from_port, 10001);
  EXPECT_EQ(f().UdpSockUtil1->RemoteHost(), "127.0.0.1");
  EXPECT_EQ(f().UdpSockUtil1->RemotePort(), 10000);

  // The reply goes to the probe's sender address, whatever it is.
  Feed(std::string("/__PINX"));
  ASSERT_TRUE(pong.Receive().has_value());
  f().HandleDatagram(std::string("/__PING\0\0", 9), Address("127.0.0.2"));
  EXPECT_EQ(f().UdpSockUtil1->RemoteHost(), "127.0.0.2");
  const auto second = pong.Receive();
  ASSERT_TRUE(second.has_value());
  EXPECT_EQ(second->bytes.size(), 25u);

  // Not probes: "/__PONG", a probe inside a bundle, a text too short to compare.
  Feed(std::string("/__PONG\0,s\0\0", 12));
  Feed(Bundle(std::string("/__PING\0,\0\0\0", 12)));
  Feed(std::string("/__PI"));
  EXPECT_FALSE(pong.TryReceive().has_value());
  EXPECT_TRUE(errors_->opened.empty());
}

// ---- Crossfader, beats and the beat gate

TEST_F(BridgeTest, CrossfaderChoosesTheLiveDeckAndLabel) {
  Feed(FloatMessage("/Traktor.XFader", 0.75f));
  EXPECT_EQ(liveDeck, 1);
  EXPECT_EQ(f().Label1->text(), QString("BeatR"));
  Feed(FloatMessage("/Traktor.XFader", 0.5f));
  EXPECT_EQ(liveDeck, 0);
  EXPECT_EQ(f().Label1->text(), QString("BeatL"));
  Feed(FloatMessage("/Traktor.XFader", std::nextafter(0.5f, 1.0f)));
  EXPECT_EQ(liveDeck, 1);
  // A NaN changes nothing, whichever deck is live.
  Feed(FloatMessage("/Traktor.XFader", std::numeric_limits<float>::quiet_NaN()));
  EXPECT_EQ(liveDeck, 1);
  EXPECT_EQ(f().Label1->text(), QString("BeatR"));
  Feed(FloatMessage("/Traktor.XFader", -std::numeric_limits<float>::quiet_NaN()));
  EXPECT_EQ(liveDeck, 1);
  // Only the first twelve characters count.
  Feed(FloatMessage("/Traktor.XFa", 0.1f));
  EXPECT_EQ(liveDeck, 0);
  EXPECT_TRUE(ShortPacked().empty());
}

TEST_F(BridgeTest, BeatsOfTheLiveDeckOnlyAndOnlyWhileTheGateIsOpen) {
  Feed(FloatMessage("/Traktor.Deck1.Beat", 1.0f));  // left deck live
  EXPECT_TRUE(ShortPacked().empty());
  EXPECT_FALSE(f().Timer1->Enabled());

  Feed(FloatMessage("/Traktor.Deck0.Beat", 1.0f));
  EXPECT_EQ(ShortPacked(), std::vector<uint32_t>{kBeat1});
  EXPECT_TRUE(f().Timer1->Enabled());
  EXPECT_TRUE(f().Label1->isVisible());
  Feed(FloatMessage("/Traktor.Deck0.Beat", 1.0f));  // timer still on: dropped
  EXPECT_EQ(ShortPacked().size(), 1u);

  // The tick closes the indicator and reopens the gate.
  EXPECT_TRUE(qbtest::PumpUntil([&] { return !f().Timer1->Enabled(); }));
  EXPECT_FALSE(f().Label1->isVisible());
  Feed(FloatMessage("/Traktor.Deck0.Beat", 1.0f));
  EXPECT_EQ(ShortPacked().size(), 2u);

  f().Timer1Timer(f().Timer1);
  Feed(FloatMessage("/Traktor.XFader", 0.9f));
  Feed(FloatMessage("/Traktor.Deck0.Beat", 1.0f));
  EXPECT_EQ(ShortPacked().size(), 2u);
  Feed(FloatMessage("/Traktor.Deck1.Beat", 1.0f));
  EXPECT_EQ(ShortPacked().size(), 3u);
}

TEST_F(BridgeTest, SecondBeatOverTheNetworkWhileTheIndicatorIsOnIsDropped) {
  f().CheckBox1->setChecked(true);  // the log shows when each datagram was handled
  Peer peer;
  peer.SendTo(FloatMessage("/Traktor.Deck0.Beat", 1.0f), 10001);
  peer.SendTo(FloatMessage("/Traktor.Deck0.Beat", 1.0f), 10001);
  ASSERT_TRUE(qbtest::PumpUntil([&] { return LogLines().size() == 2; }));
  EXPECT_EQ(ShortPacked(), std::vector<uint32_t>{kBeat1});
}

TEST_F(BridgeTest, BundleWithOneElementIsHandledLikeTheBareMessage) {
  Feed(Bundle(FloatMessage("/Traktor.Deck0.Beat", 1.0f)));
  EXPECT_EQ(ShortPacked(), std::vector<uint32_t>{kBeat1});
  // The argument is the bundle's last four bytes: the crossfader of its last element.
  Feed(Bundle(FloatMessage("/Traktor.XFader", 0.1f) + FloatMessage("/Traktor.Deck1.Beat", 0.9f)));
  EXPECT_EQ(liveDeck, 1);
  // A bundle shorter than its header leaves nothing to match.
  f().CheckBox1->setChecked(true);
  Feed(std::string("#bundle\0/Trakto", 15));
  EXPECT_TRUE(LogLines().empty());
}

TEST_F(BridgeTest, VirtualDJPhaseFallingBackIsABeat) {
  for (float phase : {0.2f, 0.6f, 0.95f}) Feed(FloatMessage("/VirtualDJ/Phase", phase));
  EXPECT_TRUE(ShortPacked().empty());
  Feed(FloatMessage("/VirtualDJ/Phase", 0.05f));
  EXPECT_EQ(ShortPacked().size(), 1u);
  // Neither the live deck nor the indicator gate matter.
  Feed(FloatMessage("/Traktor.XFader", 0.9f));
  Feed(FloatMessage("/VirtualDJ/Phase", 0.5f));
  Feed(FloatMessage("/VirtualDJ/Phase", 0.01f));
  EXPECT_EQ(ShortPacked().size(), 2u);
  EXPECT_EQ(lastPhase, std::bit_cast<int32_t>(0.01f));
}

TEST_F(BridgeTest, FirstNegativePhaseIsABeatAndTheComparisonUsesTheRawBits) {
  Feed(IntMessage("/VirtualDJ/Phase", -3));
  EXPECT_EQ(ShortPacked().size(), 1u);
  // -0.5 as bits is a negative integer below the positive 0.25: a beat.
  Feed(FloatMessage("/VirtualDJ/Phase", 0.25f));
  Feed(FloatMessage("/VirtualDJ/Phase", -0.5f));
  EXPECT_EQ(ShortPacked().size(), 2u);
  // -1.0 lies below -0.5 as a number but above it as bits (0xBF800000 > 0xBF000000 as signed
  // integers): no beat.
  Feed(FloatMessage("/VirtualDJ/Phase", -1.0f));
  EXPECT_EQ(ShortPacked().size(), 2u);
}

TEST_F(BridgeTest, PhaseIsKeptEvenWhenTheBeatCannotBeSent) {
  f().MidiOutput1->Close();
  Feed(FloatMessage("/VirtualDJ/Phase", 0.9f));
  EXPECT_THROW(Feed(FloatMessage("/VirtualDJ/Phase", 0.1f)), qb::EmidioutputError);
  EXPECT_EQ(lastPhase, std::bit_cast<int32_t>(0.1f));
}

// ---- Seeks and time code

TEST_F(BridgeTest, SeekOfTheLiveDeckRoundsHalfToEven) {
  Feed(FloatMessage("/Traktor.XFader", 0.75f));
  Feed(FloatMessage("/Traktor.Deck1.Seek", 1234.5f));
  EXPECT_EQ(f().Label3->text(), QString("1234"));
  Feed(FloatMessage("/Traktor.Deck1.Seek", 1235.5f));
  EXPECT_EQ(f().Label3->text(), QString("1236"));
  Feed(FloatMessage("/Traktor.Deck0.Seek", 50.0f));  // not the live deck
  EXPECT_EQ(f().Label3->text(), QString("1236"));
  EXPECT_EQ(LongBytes(), (std::vector<Bytes>{TimeCode(2, 3, 40), TimeCode(2, 3, 60)}));

  Feed(FloatMessage("/Traktor.XFader", 0.25f));
  const std::vector<std::pair<float, const char*>> cases = {
      {2.5f, "2"}, {3.5f, "4"}, {-0.5f, "0"}, {0.49f, "0"}, {7.51f, "8"}, {-2.5f, "-2"}};
  for (const auto& [value, label] : cases) {
    Feed(FloatMessage("/Traktor.Deck0.Seek", value));
    EXPECT_EQ(f().Label3->text(), QString(label)) << value;
  }
  // Values beyond 32 bits wrap to their low 32 bits.
  Feed(FloatMessage("/Traktor.Deck0.Seek", 4294967296.0f + 8192.0f));
  EXPECT_EQ(f().Label3->text(), QString("8192"));
}

TEST_F(BridgeTest, SeekWithoutAWholeNumberSendsNothing) {
  for (float value :
       {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity(),
        -std::numeric_limits<float>::infinity(), 9.3e18f, -9.3e18f, 3.0e38f}) {
    Feed(FloatMessage("/Traktor.Deck0.Seek", value));
    EXPECT_EQ(f().Label3->text(), QString("Position")) << value;
  }
  EXPECT_TRUE(LongBytes().empty());
  EXPECT_TRUE(errors_->opened.empty());
  // The largest single below 2^63 still converts.
  Feed(FloatMessage("/Traktor.Deck0.Seek", -9.2233715e18f));
  EXPECT_NE(f().Label3->text(), QString("Position"));
}

TEST_F(BridgeTest, TimeCodeBytesAndLabel) {
  f().Button2Click(&f());
  EXPECT_EQ(f().Label3->text(), QString("66"));
  f().CheckBox1->setChecked(true);
  f().Button2Click(&f());
  EXPECT_EQ(f().Label3->text(), QString("66\t0:06.06"));
  f().sendTime(1234);
  EXPECT_EQ(f().Label3->text(), QString("1234\t2:03.04"));
  f().sendTime(36000);
  EXPECT_EQ(f().Label3->text(), QString("36000\t60:00.00"));
  f().CheckBox1->setChecked(false);
  for (int32_t position : {0, 599, 600}) f().sendTime(position);
  EXPECT_EQ(LongBytes(),
            (std::vector<Bytes>{TimeCode(0, 6, 0x3C), TimeCode(0, 6, 0x3C), TimeCode(2, 3, 40),
                                TimeCode(60, 0, 0), TimeCode(0, 0, 0), TimeCode(0, 59, 90),
                                TimeCode(1, 0, 0)}));
}

TEST_F(BridgeTest, NegativeAndTooLongPositionsOnlyShowInTheLabel) {
  f().sendTime(-5);
  EXPECT_EQ(f().Label3->text(), QString("-5"));
  f().CheckBox1->setChecked(true);
  f().sendTime(-5);
  EXPECT_EQ(f().Label3->text(), QString("-5\t0:00.0-5"));
  // 128 minutes do not fit a seven-bit data byte.
  f().sendTime(128 * 600);
  EXPECT_EQ(f().Label3->text(), QString("76800\t128:00.00"));
  f().sendTime(std::numeric_limits<int32_t>::max());
  f().sendTime(std::numeric_limits<int32_t>::min());
  f().sendTime(128 * 600 - 1);  // 127:59.9 still goes out
  EXPECT_EQ(LongBytes(), std::vector<Bytes>{TimeCode(127, 59, 90)});
  EXPECT_TRUE(errors_->opened.empty());
}

TEST_F(BridgeTest, EnableBoxesGateOnlyTheMidi) {
  f().CheckBox2->setChecked(false);
  f().CheckBox3->setChecked(false);
  f().Label1->hide();
  f().sendBeat();
  EXPECT_TRUE(f().Label1->isVisible());
  EXPECT_TRUE(f().Timer1->Enabled());
  f().sendTime(66);
  EXPECT_EQ(f().Label3->text(), QString("66"));
  EXPECT_TRUE(ShortPacked().empty());
  EXPECT_TRUE(LongBytes().empty());
}

TEST_F(BridgeTest, BeatStatusFollowsTheChannelValue) {
  for (int channel : {1, 16, 17, 127}) {
    f().SpinEdit1->setValue(channel);
    f().Button1Click(&f());
  }
  EXPECT_EQ(ShortPacked(), (std::vector<uint32_t>{0x197F80, 0x197F8F, 0x197F90, 0x197FFE}));
  // The button sends whatever the indicator does: two beats close together, two messages.
  f().Button1Click(&f());
  EXPECT_EQ(ShortPacked().size(), 5u);
}

TEST_F(BridgeTest, OutputErrorEndsTheDatagramAndIsShownOnce) {
  f().MidiOutput1->Close();
  Peer peer;
  f().CheckBox1->setChecked(true);
  peer.SendTo(FloatMessage("/Traktor.Deck0.Beat", 1.0f), 10001);
  ASSERT_TRUE(qbtest::PumpUntil([&] { return !errors_->opened.empty(); }));
  EXPECT_TRUE(f().Timer1->Enabled());
  EXPECT_TRUE(LogLines().empty());  // the monitor step did not run
}

// ---- Debug monitor

TEST_F(BridgeTest, LogLineFormat) {
  f().Clock = [] { return QTime(14, 3, 9, 500); };
  f().CheckBox1->setChecked(true);
  Feed(FloatMessage("/Traktor.Deck0.Beat", 1.0f));
  f().Clock = [] { return QTime(9, 5, 7, 42); };
  Feed(FloatMessage("/Traktor.Deck0.Beat", 0.5f));
  f().Clock = [] { return QTime(0, 0, 0, 0); };
  Feed(FloatMessage("/Traktor.XFader", 0.1f));
  Feed(IntMessage("/VirtualDJ/Phase", -1));
  Feed(FloatMessage("/VirtualDJ/Phase", 0.5f));
  Feed(FloatMessage("/Traktor.Deck0.Seek", 1.0e20f));
  Feed(std::string("/Traktor\xE9\xFF\x80\x7F", 12));
  const std::string beat = "/Traktor.Deck0.Beat.,f..";
  EXPECT_EQ(LogLines(),
            (std::vector<std::string>{
                "14:3:9,500\t" + beat + "\x3F\x80..\t1",
                "9:5:7,42\t" + beat + "\x3F...\t0.5",
                "0:0:0,0\t/Traktor.XFader.,f..\x3D\xCC\xCC\xCD\t0.100000001490116",
                "0:0:0,0\t/VirtualDJ/Phase....,i..\xFF\xFF\xFF\xFF\t-1",
                "0:0:0,0\t/VirtualDJ/Phase....,f..\x3F...\t1056964608",
                "0:0:0,0\t/Traktor.Deck0.Seek.,f..\x60\xAD\x78\xEC\t1.00000002004088e+20",
                "0:0:0,0\t/Traktor\xE9\xFF\x80\x7F\t-3.86103612060044e+25",
            }));
}

TEST_F(BridgeTest, OnlyTraktorAndVirtualDJTextsAreLoggedAndOnlyInDebugMode) {
  Feed(FloatMessage("/Traktor.Deck0.Beat", 1.0f));
  EXPECT_TRUE(LogLines().empty());
  f().CheckBox1->setChecked(true);
  Feed(std::string("/__PING\0,\0\0\0", 12));
  Feed(FloatMessage("/Other", 1.0f));
  Feed(Bundle(FloatMessage("/Other", 1.0f)));
  Feed(std::string("/Trakt"));
  EXPECT_TRUE(LogLines().empty());
  Feed(Bundle(FloatMessage("/Virtual", 1.0f)));
  EXPECT_EQ(LogLines().size(), 1u);
}

TEST_F(BridgeTest, FilterLinesHideMatchingTextsButNotTheirOutput) {
  f().CheckBox1->setChecked(true);
  f().Memo2->setPlainText("/T\n/\n\n/Traktor.Deck0");
  Feed(FloatMessage("/Traktor.Deck0.Beat", 1.0f));
  Feed(FloatMessage("/Traktor.Deck1.Beat", 1.0f));
  Feed(FloatMessage("/Traktor.Deck0.Seek", 10.0f));
  ASSERT_EQ(LogLines().size(), 1u);
  EXPECT_NE(LogLines()[0].find("/Traktor.Deck1.Beat"), std::string::npos);
  // Filtered datagrams were still dispatched.
  EXPECT_EQ(ShortPacked().size(), 1u);
  EXPECT_EQ(LongBytes().size(), 1u);

  // A line reaching past the address into the text as it stands.
  f().Memo1->clear();
  f().Memo2->setPlainText("/Traktor.Deck0.Beat.,f");
  Feed(FloatMessage("/Traktor.Deck0.Beat", 1.0f));
  Feed(FloatMessage("/Traktor.Deck0.BeatX", 1.0f));
  EXPECT_EQ(LogLines().size(), 1u);
  // Short filters and a filter longer than the text hide nothing; later lines never unhide.
  f().Memo1->clear();
  f().Memo2->setPlainText("/Tr\n/T");
  Feed(FloatMessage("/Traktor.Deck1.Beat", 1.0f));
  f().Memo2->setPlainText("/VirtualDJ/Phase....,f..AAAAAAAAAAAAAAAA");
  Feed(FloatMessage("/VirtualDJ/Phase", 1.0f));
  EXPECT_EQ(LogLines().size(), 1u);
}

// ---- Robustness

TEST_F(BridgeTest, ZeroByteDatagramDoesNotStallTheIntake) {
  Peer peer;
  for (int i = 0; i < 3; ++i) peer.SendTo(std::string(), 10001);
  peer.SendTo(FloatMessage("/Traktor.Deck0.Beat", 1.0f), 10001);
  EXPECT_TRUE(qbtest::PumpUntil([&] { return ShortPacked().size() == 1; }));
  peer.SendTo(std::string(), 10001);
  f().Timer1Timer(f().Timer1);
  peer.SendTo(FloatMessage("/VirtualDJ/Phase", -1.0f), 10001);
  EXPECT_TRUE(qbtest::PumpUntil([&] { return ShortPacked().size() == 2; }));
  // A notification with nothing queued reads nothing and reports nothing.
  f().UdpSockUtil1Receive(f().UdpSockUtil1);
  EXPECT_TRUE(errors_->opened.empty());
}

TEST_F(BridgeTest, ShortDatagramsHaveNoArgumentAndMatchNothing) {
  f().CheckBox1->setChecked(true);
  for (const std::string& d : {std::string(), std::string("/"), std::string("/T\0", 3),
                               std::string("/Tra"), std::string("/Trak"), std::string("#bund")}) {
    // Each is copied to a buffer of exactly its size, so a read past it is caught.
    Feed(d);
  }
  EXPECT_TRUE(LogLines().empty());
  EXPECT_TRUE(ShortPacked().empty());
}

TEST_F(BridgeTest, LogKeepsTheNewestLines) {
  f().CheckBox1->setChecked(true);
  f().Clock = [] { return QTime(1, 2, 3, 4); };
  constexpr int kLines = 100000;
  // Arguments whose bytes are all printable, so each datagram is exactly one line.
  auto value = [](int i) {
    return static_cast<int32_t>(0x20u << 24 | (0x21u + i / 8100) << 16 |
                                (0x21u + i / 90 % 90) << 8 | (0x21u + i % 90));
  };
  for (int i = 0; i < kLines + 5; ++i) Feed(IntMessage("/VirtualDJ/Phase", value(i)));
  EXPECT_EQ(f().Memo1->document()->blockCount(), kLines);
  const std::vector<std::string> lines = LogLines();
  ASSERT_EQ(lines.size(), static_cast<size_t>(kLines));
  EXPECT_TRUE(lines.front().ends_with("\t" + std::to_string(value(5)))) << lines.front();
  EXPECT_TRUE(lines.back().ends_with("\t" + std::to_string(value(kLines + 4)))) << lines.back();
}

}  // namespace
}  // namespace apptest
