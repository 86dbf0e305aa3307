// The bridge's rules on their own: datagrams in, everything the rules do out, in order. No
// window, no settings, no socket.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdio>
#include <limits>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "bridge/bridge.h"

namespace {

using Events = std::vector<std::string>;

std::string Hex(const uint8_t* b, size_t n) {
  std::string s;
  char buf[4];
  for (size_t i = 0; i < n; ++i) {
    std::snprintf(buf, sizeof buf, i ? " %02X" : "%02X", b[i]);
    s += buf;
  }
  return s;
}

// Records what the rules do, each as one line of text.
class Recorder : public qb::Bridge::Output {
 public:
  Events events;
  int32_t channel = 1;
  int64_t now_us = 1000000;
  qb::TimeOfDay time{14, 3, 9, 500};
  int armed = -1;
  bool fail_sends = false;

  void Reply(uint32_t sender, std::string_view bytes) override {
    const auto* a = reinterpret_cast<const unsigned char*>(&sender);
    events.push_back("reply " + std::to_string(a[0]) + "." + std::to_string(a[1]) + "." +
                     std::to_string(a[2]) + "." + std::to_string(a[3]) + " " +
                     std::to_string(bytes.size()));
    if (bytes != qb::Bridge::kReply) events.push_back("wrong reply bytes");
  }
  void ArmReplyTimer(int ms) override { armed = ms; }
  int64_t NowUs() override { return now_us; }
  void DeckCaption(std::string_view c) override { events.push_back("deck " + std::string(c)); }
  void BeatIndicator(bool on) override { events.push_back(on ? "beat on" : "beat off"); }
  void PositionCaption(std::string_view c) override {
    events.push_back("position " + std::string(c));
  }
  int32_t Channel() override { return channel; }
  void ShortMessage(uint8_t s, uint8_t d1, uint8_t d2) override {
    const uint8_t b[3] = {s, d1, d2};
    events.push_back("short " + Hex(b, 3));
    if (fail_sends) throw std::runtime_error("port closed");
  }
  void LongMessage(const uint8_t* bytes, uint16_t length) override {
    events.push_back("long " + Hex(bytes, length));
    if (fail_sends) throw std::runtime_error("port closed");
  }
  qb::TimeOfDay LocalTime() override { return time; }
  void LogLine(std::string_view line) override { events.push_back("log " + std::string(line)); }
};

std::string BigEndian(uint32_t bits) {
  std::string s(4, '\0');
  for (int i = 0; i < 4; ++i) s[i] = static_cast<char>(bits >> (24 - 8 * i));
  return s;
}
std::string Padded(std::string s) {
  s.push_back('\0');
  while (s.size() % 4) s.push_back('\0');
  return s;
}
std::string F(const std::string& address, float value) {
  return Padded(address) + Padded(",f") + BigEndian(std::bit_cast<uint32_t>(value));
}
std::string I(const std::string& address, int32_t value) {
  return Padded(address) + Padded(",i") + BigEndian(static_cast<uint32_t>(value));
}
std::string Bundle(const std::string& element) {
  return std::string("#bundle\0", 8) + std::string("\0\0\0\0\0\0\0\1", 8) +
         BigEndian(static_cast<uint32_t>(element.size())) + element;
}
std::string Raw(const char* s, size_t n) {
  return std::string(s, n);
}

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();
const std::string kPing = Raw("/__PING\0,\0\0\0", 12);

struct Row {
  const char* name;
  std::vector<std::string> datagrams;  // fed in order, from 192.0.2.20
  Events out;
};

void Feed(qb::Bridge& bridge, const std::vector<std::string>& datagrams) {
  for (const std::string& d : datagrams) {
    // A buffer of exactly the datagram's size, so a read past it is caught by the sanitizers.
    std::vector<char> exact(d.begin(), d.end());
    bridge.Datagram(exact, 0x140200C0);
  }
}

// Dispatch with the debug view off and both messages let out.
const Row kDispatch[] = {
    {"crossfaderAboveHalfIsTheRightDeck", {F("/Traktor.XFader", 0.75f)}, {"deck BeatR"}},
    {"crossfaderAtHalfIsTheLeftDeck", {F("/Traktor.XFader", 0.5f)}, {"deck BeatL"}},
    {"crossfaderJustAboveHalf",
     {F("/Traktor.XFader", std::nextafter(0.5f, 1.0f)), F("/Traktor.Deck1.Seek", 10)},
     {"deck BeatR", "position 10", "long F0 7F 01 01 01 00 00 01 00 F7"}},
    {"nanCrossfaderChangesNothing",
     {F("/Traktor.XFader", 0.9f), F("/Traktor.XFader", kNaN), F("/Traktor.XFader", -kNaN),
      F("/Traktor.Deck1.Beat", 1)},
     {"deck BeatR", "beat on", "short 80 7F 19"}},
    {"onlyTwelveCharactersOfTheCrossfaderCount", {F("/Traktor.XFa", 0.9f)}, {"deck BeatR"}},
    {"beatOfTheLiveDeckOnly",
     {F("/Traktor.Deck1.Beat", 1), F("/Traktor.Deck0.Beat", 1)},
     {"beat on", "short 80 7F 19"}},
    {"secondBeatWhileTheIndicatorIsOnIsDropped",
     {F("/Traktor.Deck0.Beat", 1), F("/Traktor.Deck0.Beat", 1)},
     {"beat on", "short 80 7F 19"}},
    {"bundleWithOneElementIsTheBareMessage",
     {Bundle(F("/Traktor.Deck0.Beat", 1))},
     {"beat on", "short 80 7F 19"}},
    {"bundleArgumentIsItsLastFourBytes",
     {Bundle(F("/Traktor.XFader", 0.1f) + F("/Traktor.Deck1.Beat", 0.9f))},
     {"deck BeatR"}},
    {"phaseFallingBackIsABeat",
     {F("/VirtualDJ/Phase", 0.2f), F("/VirtualDJ/Phase", 0.6f), F("/VirtualDJ/Phase", 0.95f),
      F("/VirtualDJ/Phase", 0.05f)},
     {"beat on", "short 80 7F 19"}},
    {"phaseIgnoresDeckAndGate",
     {F("/Traktor.XFader", 0.9f), F("/VirtualDJ/Phase", 0.5f), F("/VirtualDJ/Phase", 0.01f),
      F("/VirtualDJ/Phase", 0.5f), F("/VirtualDJ/Phase", 0.01f)},
     {"deck BeatR", "beat on", "short 80 7F 19", "beat on", "short 80 7F 19"}},
    {"firstNegativePhaseIsBelowTheInitialZero",
     {I("/VirtualDJ/Phase", -3)},
     {"beat on", "short 80 7F 19"}},
    {"phaseComparesRawBits",  // -1.0 lies above -0.5 as bits
     {F("/VirtualDJ/Phase", 0.25f), F("/VirtualDJ/Phase", -0.5f), F("/VirtualDJ/Phase", -1.0f)},
     {"beat on", "short 80 7F 19"}},
    {"seekRoundsHalfToEven",
     {F("/Traktor.Deck0.Seek", 1234.5f), F("/Traktor.Deck0.Seek", 1235.5f),
      F("/Traktor.Deck0.Seek", -0.5f), F("/Traktor.Deck0.Seek", -2.5f),
      F("/Traktor.Deck0.Seek", 7.51f)},
     {"position 1234", "long F0 7F 01 01 01 00 02 03 28 F7", "position 1236",
      "long F0 7F 01 01 01 00 02 03 3C F7", "position 0", "long F0 7F 01 01 01 00 00 00 00 F7",
      "position -2", "position 8", "long F0 7F 01 01 01 00 00 00 50 F7"}},
    {"seekOfTheDeckNotLiveIsIgnored", {F("/Traktor.Deck1.Seek", 50)}, {}},
    {"addressesCountByTheirFirstCharactersOnly",
     {Raw("/Traktor.Deck0.See", 18), Raw("/Traktor.Deck0.Bea", 18), F("/Traktor.Deck0.Se", 1),
      F("/Traktor.Deck2.Beat", 1), F("/Traktor.Deck0-Beat", 1), F("/Traktor.Deck0.beat", 1),
      F("/Traktor.deck0.Beat", 1), F("/Traktor.XFa", 0.9f), F("/Traktor.Deck1.SeekX", 7)},
     {"position 0", "long F0 7F 01 01 01 00 00 00 00 F7", "beat on", "short 80 7F 19", "deck BeatR",
      "position 7", "long F0 7F 01 01 01 00 00 00 46 F7"}},
    {"seekBeyond32BitsWraps",
     {F("/Traktor.Deck0.Seek", 4294967296.0f + 8192.0f)},
     {"position 8192", "long F0 7F 01 01 01 00 0D 27 14 F7"}},
    {"seekWithoutAWholeNumberSendsNothing",
     {F("/Traktor.Deck0.Seek", kNaN), F("/Traktor.Deck0.Seek", kInf),
      F("/Traktor.Deck0.Seek", -kInf), F("/Traktor.Deck0.Seek", 9.3e18f),
      F("/Traktor.Deck0.Seek", -9.3e18f), F("/Traktor.Deck0.Seek", 3.0e38f)},
     {}},
    {"largestSingleBelow2To63StillConverts",
     {F("/Traktor.Deck0.Seek", -9.2233715e18f)},  // -2^63 + 2^39: low 32 bits are 0
     {"position 0", "long F0 7F 01 01 01 00 00 00 00 F7"}},
    {"shortDatagramsMatchNothing",
     {"", "/", Raw("/T\0", 3), "/Tra", "/Trak", "#bund", Raw("#bundle\0/Trakto", 15)},
     {}},
    {"probeIsNotLoggedOrDispatched", {kPing, F("/Other", 1)}, {}},
    {"onlyTheFirstAddressOfABundleCounts",
     {Bundle(F("/Other", 1) + F("/Traktor.Deck0.Beat", 1))},
     {}},
};

// Each row's datagrams fed to fresh rules: what they did, in order.
template <class Out = Recorder, class Rows>
void ExpectRows(const Rows& rows) {
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Out out;
    qb::Bridge bridge(out);
    Feed(bridge, row.datagrams);
    EXPECT_EQ(out.events, row.out);
  }
}

// The sync outputs hear every beat of the live deck, those the gate holds back too, each only
// once the beat message has gone: their work never delays it.
TEST(BridgeRules, SyncOutputsHearEachLiveBeatAfterTheBeatMessage) {
  struct SyncRecorder : Recorder {
    void DeckBeat() override { events.push_back("sync beat"); }
    void LiveDeckChanged() override { events.push_back("sync deck"); }
  };
  const std::vector<Row> rows = {
      {"traktorBeatThenOneTheGateHolds",
       {F("/Traktor.Deck0.Beat", 1), F("/Traktor.Deck0.Beat", 1)},
       {"beat on", "short 80 7F 19", "sync beat", "sync beat"}},
      {"virtualDjPhaseThatFalls",
       {F("/VirtualDJ/Phase", 0.9f), F("/VirtualDJ/Phase", 0.1f)},
       {"beat on", "short 80 7F 19", "sync beat"}},
      {"deckSwitchThenTheNewDecksBeat",
       {F("/Traktor.Deck1.Beat", 1), F("/Traktor.XFader", 0.9f), F("/Traktor.XFader", 0.8f),
        F("/Traktor.Deck1.Beat", 1)},
       {"sync deck", "deck BeatR", "deck BeatR", "beat on", "short 80 7F 19", "sync beat"}},
  };
  ExpectRows<SyncRecorder>(rows);

  // A beat message the port refuses: the error goes on, and the sync outputs hear the beat.
  SyncRecorder failing;
  failing.fail_sends = true;
  qb::Bridge rules(failing);
  EXPECT_THROW(Feed(rules, {F("/Traktor.Deck0.Beat", 1)}), std::runtime_error);
  Feed(rules, {F("/VirtualDJ/Phase", 0.9f)});
  EXPECT_THROW(Feed(rules, {F("/VirtualDJ/Phase", 0.1f)}), std::runtime_error);
  EXPECT_EQ(failing.events, (Events{"beat on", "short 80 7F 19", "sync beat", "beat on",
                                    "short 80 7F 19", "sync beat"}));
}

TEST(BridgeRules, DispatchTable) {
  ExpectRows(kDispatch);
}

// The debug view on, with an empty filter unless a row says otherwise.
struct MonitorRow {
  const char* name;
  const char* filter;
  std::vector<std::string> datagrams;
  Events log;
};

const MonitorRow kMonitor[] = {
    {"traktorSingleInTheShortestGeneralForm",
     "",
     {F("/Traktor.Deck0.Beat", 1), F("/Traktor.Deck1.Beat", 0.5f), F("/Traktor.XFa", 0.1f),
      F("/Traktor.Deck1.Beat", 1.0e20f)},
     {"14:3:9,500\t/Traktor.Deck0.Beat.,f..?\u0080..\t1",
      "14:3:9,500\t/Traktor.Deck1.Beat.,f..?...\t0.5",
      "14:3:9,500\t/Traktor.XFa....,f..=\u00CC\u00CC\u00CD\t0.100000001490116",
      "14:3:9,500\t/Traktor.Deck1.Beat.,f..`\u00AD\u0078\u00EC\t1.00000002004088e+20"}},
    {"virtualDJIntegerIsTheRawBits",
     "",
     {I("/VirtualDJ/Phase", -1), F("/VirtualDJ/Phase", 0.5f)},
     {"14:3:9,500\t/VirtualDJ/Phase....,i..\u00FF\u00FF\u00FF\u00FF\t-1",
      "14:3:9,500\t/VirtualDJ/Phase....,f..?...\t1056964608"}},
    {"controlBytesShowAsPicturesNeverAsLineBreaks",
     "",
     {Raw("/Traktor\n\r\x01\x1F\x7F\x7E\xE9\x80", 16)},
     {"14:3:9,500\t/Traktor\u240A\u240D\u2401\u241F\u2421~\u00E9\u0080\t3.38836312245837e+38"}},
    {"neitherTraktorNorVirtualDJIsNeverLogged",
     "",
     {kPing, F("/Other", 1), Bundle(F("/Other", 1)), "/Trakt"},
     {}},
    {"bundleElementIsLogged",
     "",
     {Bundle(F("/Virtual", 1))},
     {"14:3:9,500\t/Virtual....,f..?\u0080..\t1065353216"}},
    {"filterHidesItsPrefixButShortLinesHideNothing",
     "/T\n/\n\n/Traktor.Deck0",
     {F("/Traktor.Deck0.Beat", 1), F("/Traktor.Deck1.Seek", 1)},
     {"14:3:9,500\t/Traktor.Deck1.Seek.,f..?\u0080..\t1"}},
    {"filterReachingIntoTheTypeTag",
     "/Traktor.Deck0.Beat.,f",
     {F("/Traktor.Deck0.Beat", 1), F("/Traktor.Deck0.BeatX", 1)},
     {"14:3:9,500\t/Traktor.Deck0.BeatX....,f..?\u0080..\t1"}},
    {"filterLongerThanTheTextHidesNothing",
     "/VirtualDJ/Phase....,f..AAAAAAAAAAAAAAAA\n/Tr",
     {F("/VirtualDJ/Phase", 1)},
     {"14:3:9,500\t/VirtualDJ/Phase....,f..?\u0080..\t1065353216"}},
};

TEST(BridgeRules, MonitorTable) {
  for (const MonitorRow& row : kMonitor) {
    SCOPED_TRACE(row.name);
    Recorder out;
    qb::Bridge bridge(out);
    bridge.debug = true;
    bridge.beats_out = bridge.time_code_out = false;
    bridge.SetFilter(row.filter);
    Feed(bridge, row.datagrams);
    Events log;
    for (const std::string& e : out.events)
      if (e.starts_with("log ")) log.push_back(e.substr(4));
    EXPECT_EQ(log, row.log);
  }
}

TEST(BridgeRules, FilteredDatagramIsStillDispatched) {
  Recorder out;
  qb::Bridge bridge(out);
  bridge.debug = true;
  bridge.SetFilter("/Traktor.Deck0");
  Feed(bridge, {F("/Traktor.Deck0.Beat", 1), F("/Traktor.Deck0.Seek", 10)});
  EXPECT_EQ(out.events, (Events{"beat on", "short 80 7F 19", "position 10\t0:01.00",
                                "long F0 7F 01 01 01 00 00 01 00 F7"}));
}

TEST(BridgeRules, StampUsesTheTimeOfEachLineAndTheUsersSeparator) {
  Recorder out;
  qb::Bridge bridge(out);
  bridge.debug = true;
  bridge.beats_out = false;
  bridge.SetDecimalPoint(",");
  out.time = {9, 5, 7, 42};
  Feed(bridge, {F("/Traktor.Deck0.Beat", 0.5f)});
  out.time = {0, 0, 0, 0};
  Feed(bridge, {F("/Traktor.Deck0.Beat", 0.25f)});
  EXPECT_EQ(out.events.back(), "log 0:0:0,0\t/Traktor.Deck0.Beat.,f..>\u0080..\t0,25");
  EXPECT_EQ(out.events[1], "log 9:5:7,42\t/Traktor.Deck0.Beat.,f..?...\t0,5");
}

struct TimeRow {
  int32_t position;
  const char* caption;        // short form
  const char* debug_caption;  // with "Debug" ticked
  const char* midi;           // nullptr: nothing is sent
};

const TimeRow kTime[] = {
    {66, "66", "66\t0:06.06", "F0 7F 01 01 01 00 00 06 3C F7"},
    {0, "0", "0\t0:00.00", "F0 7F 01 01 01 00 00 00 00 F7"},
    {599, "599", "599\t0:59.09", "F0 7F 01 01 01 00 00 3B 5A F7"},
    {600, "600", "600\t1:00.00", "F0 7F 01 01 01 00 01 00 00 F7"},
    {1234, "1234", "1234\t2:03.04", "F0 7F 01 01 01 00 02 03 28 F7"},
    {36000, "36000", "36000\t60:00.00", "F0 7F 01 01 01 00 3C 00 00 F7"},
    {128 * 600 - 1, "76799", "76799\t127:59.09", "F0 7F 01 01 01 00 7F 3B 5A F7"},
    {128 * 600, "76800", "76800\t128:00.00", nullptr},  // minutes beyond seven bits
    {-5, "-5", "-5\t0:00.0-5", nullptr},
    {std::numeric_limits<int32_t>::max(), "2147483647", "2147483647\t3579139:24.07", nullptr},
    {std::numeric_limits<int32_t>::min(), "-2147483648", "-2147483648\t-3579139:0-24.0-8", nullptr},
};

TEST(BridgeRules, TimeCodeTable) {
  for (const TimeRow& row : kTime) {
    SCOPED_TRACE(row.position);
    for (bool debug : {false, true}) {
      Recorder out;
      qb::Bridge bridge(out);
      bridge.debug = debug;
      bridge.Time(row.position);
      Events expected = {std::string("position ") + (debug ? row.debug_caption : row.caption)};
      if (row.midi) expected.push_back(std::string("long ") + row.midi);
      EXPECT_EQ(out.events, expected);
    }
  }
}

TEST(BridgeRules, BeatStatusIsTheChannelValuePlus127) {
  for (const auto& [channel, status] : {std::pair{1, "80"}, {16, "8F"}, {17, "90"}, {127, "FE"}}) {
    Recorder out;
    out.channel = channel;
    qb::Bridge bridge(out);
    bridge.Beat();
    EXPECT_EQ(out.events, (Events{"beat on", std::string("short ") + status + " 7F 19"}));
  }
}

TEST(BridgeRules, EnableSwitchesGateOnlyTheMidi) {
  Recorder out;
  qb::Bridge bridge(out);
  bridge.beats_out = false;
  bridge.time_code_out = false;
  bridge.Beat();
  bridge.Time(66);
  EXPECT_EQ(out.events, (Events{"beat on", "position 66"}));
}

TEST(BridgeRules, IndicatorTimeoutReopensTheTraktorGateOnly) {
  Recorder out;
  qb::Bridge bridge(out);
  Feed(bridge, {F("/Traktor.Deck0.Beat", 1)});
  EXPECT_TRUE(bridge.BeatGateClosed());
  bridge.BeatTimeout();
  EXPECT_FALSE(bridge.BeatGateClosed());
  Feed(bridge, {F("/Traktor.Deck0.Beat", 1)});
  // The buttons' beat sends whatever the gate says.
  bridge.Beat();
  EXPECT_EQ(out.events, (Events{"beat on", "short 80 7F 19", "beat off", "beat on",
                                "short 80 7F 19", "beat on", "short 80 7F 19"}));
}

TEST(BridgeRules, FailingSendEndsTheDatagramButKeepsPhaseAndGate) {
  Recorder out;
  qb::Bridge bridge(out);
  bridge.debug = true;
  out.fail_sends = true;
  Feed(bridge, {F("/VirtualDJ/Phase", 0.9f)});
  EXPECT_THROW(Feed(bridge, {F("/VirtualDJ/Phase", 0.1f)}), std::runtime_error);
  EXPECT_EQ(bridge.lastPhase, std::bit_cast<int32_t>(0.1f));
  EXPECT_TRUE(bridge.BeatGateClosed());  // closed before the send failed
  // Only the first datagram reached the monitor step.
  int logged = 0;
  for (const std::string& e : out.events) logged += e.starts_with("log ");
  EXPECT_EQ(logged, 1);
}

// ---- The discovery reply

TEST(BridgeProbe, ReplyLeavesAfterTheDelayToTheSender) {
  Recorder out;
  qb::Bridge bridge(out);
  for (const std::string& probe : {kPing, std::string("/__PINX"), Raw("/__PING\0\0", 9)}) {
    SCOPED_TRACE(probe);
    out.events.clear();
    Feed(bridge, {probe});
    EXPECT_EQ(out.armed, qb::Bridge::kReplyDelayMs);
    EXPECT_TRUE(out.events.empty());  // nothing before the delay
    out.now_us += qb::Bridge::kReplyDelayUs;
    bridge.ReplyTimer();
    EXPECT_EQ(out.events, Events{"reply 192.0.2.20 25"});
    EXPECT_EQ(out.armed, -1);
  }
}

TEST(BridgeProbe, NotProbes) {
  Recorder out;
  qb::Bridge bridge(out);
  Feed(bridge, {Raw("/__PONG\0,s\0\0", 12), Bundle(kPing), "/__PI"});
  EXPECT_EQ(bridge.PendingReplies(), 0u);
  EXPECT_EQ(out.armed, -1);
}

// A flood from a few senders at random moments, the timer firing when armed or later: each
// reply leaves no sooner than its delay after the probe that asked for it, a probe while its
// sender's reply waits gets none of its own, and no sender gets more than 50 in any second.
TEST(BridgeProbe, FloodGetsOnePendingReplyPerSenderAndAtMostFiftyASecond) {
  struct Timed : Recorder {
    std::vector<std::pair<uint32_t, int64_t>> replies;  // sender, when
    void Reply(uint32_t sender, std::string_view bytes) override {
      replies.emplace_back(sender, now_us);
      EXPECT_EQ(bytes, qb::Bridge::kReply);
    }
  } out;
  qb::Bridge bridge(out);
  std::mt19937 rng(13);
  const uint32_t senders[] = {0x140200C0, 0x150200C0, 0x160200C0};
  std::map<uint32_t, int64_t> asked;  // the probe each waiting reply answers
  int64_t timer_at = -1;
  const int64_t end = out.now_us + 3000000;
  while (out.now_us < end) {
    out.now_us += rng() % 400;  // up to 2,500 probes a second each, at any microsecond
    if (timer_at >= 0 && out.now_us >= timer_at) {
      out.armed = -1;
      const size_t before = out.replies.size();
      bridge.ReplyTimer();
      for (size_t i = before; i < out.replies.size(); ++i) {
        const auto [sender, at] = out.replies[i];
        ASSERT_TRUE(asked.count(sender));
        EXPECT_GE(at - asked[sender], qb::Bridge::kReplyDelayUs);
        asked.erase(sender);
      }
      timer_at = out.armed < 0 ? -1 : out.now_us + out.armed * 1000 + rng() % 3000;
    }
    const uint32_t sender = senders[rng() % 3];
    const size_t pending = bridge.PendingReplies();
    std::vector<char> ping(kPing.begin(), kPing.end());
    out.armed = -2;
    bridge.Datagram(ping, sender);
    EXPECT_EQ(bridge.PendingReplies(), pending + !asked.count(sender));
    if (!asked.count(sender)) asked[sender] = out.now_us;
    if (out.armed >= 0) timer_at = out.now_us + out.armed * 1000 + rng() % 3000;
  }
  for (const uint32_t sender : senders) {
    std::vector<int64_t> at;
    for (const auto& [s, t] : out.replies)
      if (s == sender) at.push_back(t);
    ASSERT_GE(at.size(), 100u);  // about 45 a second: the flood is answered all along
    for (size_t i = 50; i < at.size(); ++i)
      ASSERT_GE(at[i] - at[i - 50], 1000000) << "51 replies within a second";
  }
}

TEST(BridgeProbe, SendersAreAnsweredInOrderAndAFloodOfSendersIsCapped) {
  Recorder out;
  qb::Bridge bridge(out);
  for (uint32_t i = 0; i < qb::Bridge::kMaxPendingReplies + 10; ++i) {
    std::vector<char> ping(kPing.begin(), kPing.end());
    bridge.Datagram(ping, 0x0100007F + (i << 24));
    out.now_us += 1000;
  }
  EXPECT_EQ(bridge.PendingReplies(), qb::Bridge::kMaxPendingReplies);
  // The timer fires late: everything due goes at once, in the order of the probes.
  out.now_us += 100000;
  bridge.ReplyTimer();
  ASSERT_EQ(out.events.size(), qb::Bridge::kMaxPendingReplies);
  EXPECT_EQ(out.events.front(), "reply 127.0.0.1 25");
  EXPECT_EQ(out.events[1], "reply 127.0.0.2 25");
  EXPECT_EQ(out.armed, -1);
}

TEST(BridgeProbe, TimerFiringEarlyKeepsTheReplyForLater) {
  Recorder out;
  qb::Bridge bridge(out);
  Feed(bridge, {kPing});
  for (const auto& [early_us, armed] : {std::pair{15000, 5}, {19100, 1}, {19999, 1}}) {
    const int64_t probe = out.now_us;
    out.now_us = probe + early_us;
    bridge.ReplyTimer();
    EXPECT_TRUE(out.events.empty()) << early_us;
    EXPECT_EQ(out.armed, armed) << early_us;  // rounded up, never down to a reply too soon
    out.now_us = probe;
  }
  out.now_us += qb::Bridge::kReplyDelayUs;
  bridge.ReplyTimer();
  EXPECT_EQ(out.events, Events{"reply 192.0.2.20 25"});
}

TEST(BridgeProbe, FailingReplyLeavesTheOthersArmed) {
  struct Failing : Recorder {
    void Reply(uint32_t, std::string_view) override { throw std::runtime_error("send"); }
  } out;
  qb::Bridge bridge(out);
  Feed(bridge, {kPing});
  out.now_us += 1000;
  std::vector<char> other(kPing.begin(), kPing.end());
  bridge.Datagram(other, 0x0100007F);
  out.now_us += 20000;
  EXPECT_THROW(bridge.ReplyTimer(), std::runtime_error);
  EXPECT_EQ(bridge.PendingReplies(), 1u);
  EXPECT_GE(out.armed, 0);
}

}  // namespace
