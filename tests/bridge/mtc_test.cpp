// MIDI Time Code: the numbering at each rate, the messages' bytes, and the quarter-frame stream
// against a simulated deck on a test clock. A small receiver reassembles the stream's sequences
// and holds their values against where the deck really was.
#include "bridge/mtc.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

using namespace qb;

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr int kRates[] = {24, 25, 2997, 30};

int LabelsPerSecond(int rate) {
  return rate == 24 ? 24 : rate == 25 ? 25 : 30;
}
int RateCode(int rate) {
  return rate == 24 ? 0 : rate == 25 ? 1 : rate == 2997 ? 2 : 3;
}
double FrameUs(int rate) {
  return rate == 2997 ? 1e6 * 1001 / 30000 : 1e6 / LabelsPerSecond(rate);
}

// The count of frames before a label: drop-frame labels lack two per minute, but every tenth.
std::int64_t FrameOf(const MtcTime& t, int rate) {
  const std::int64_t minutes = t.hours * 60 + t.minutes;
  const std::int64_t labels = (minutes * 60 + t.seconds) * LabelsPerSecond(rate) + t.frames;
  return rate == 2997 ? labels - 2 * (minutes - minutes / 10) : labels;
}

// The first microsecond of frame n.
std::int64_t StartOfFrame(std::int64_t n, int rate) {
  return static_cast<std::int64_t>(std::ceil(static_cast<double>(n) * FrameUs(rate)));
}

MtcTime T(int h, int m, int s, int f) {
  return MtcTime{h, m, s, f};
}

std::string Text(const MtcTime& t) {
  char text[32];
  std::snprintf(text, sizeof text, "%02d:%02d:%02d:%02d", t.hours, t.minutes, t.seconds, t.frames);
  return text;
}

struct Message {
  std::int64_t due_us;
  Bytes bytes;
};

// Checks what a caller relies on as the messages leave: sizes, order of due times, and nothing
// due before the arrival of the position that caused it.
class Recorder : public MtcStream::Sink {
 public:
  void Call(std::int64_t now_us, bool position) {
    now_us_ = now_us;
    position_ = position;
  }
  void Send(std::int64_t due_us, const std::uint8_t* bytes, int length) override {
    EXPECT_TRUE(length == 10 || length == 2) << length;
    if (!messages.empty()) {
      EXPECT_GE(due_us, messages.back().due_us) << "due times go back";
    }
    if (position_) {
      EXPECT_GE(due_us, now_us_) << "due before the position arrived";
    }
    messages.push_back({due_us, Bytes(bytes, bytes + length)});
  }
  std::vector<Message> messages;

 private:
  std::int64_t now_us_ = 0;
  bool position_ = false;
};

struct Sequence {
  std::int64_t due_us;  // of its piece 0
  MtcTime time;
  int rate_code;
};
struct FullFrame {
  std::int64_t due_us;
  MtcTime time;
  int rate_code;
  int piece_before;  // the last quarter frame's piece before it; -1 when there was none
  std::size_t quarters_before;
};
struct Decoded {
  std::vector<Sequence> sequences;
  std::vector<FullFrame> full_frames;
  std::vector<std::int64_t> quarter_dues;
};

// A receiver: a full frame locates, and eight quarter frames in order from piece 0 make a time.
Decoded Decode(const std::vector<Message>& messages) {
  Decoded d;
  int expected = -1, last = -1;
  int nibble[8] = {};
  std::int64_t due0 = 0;
  for (const Message& m : messages) {
    if (m.bytes.size() == 10) {
      const Bytes head(m.bytes.begin(), m.bytes.begin() + 5);
      EXPECT_EQ(head, (Bytes{0xF0, 0x7F, 0x7F, 0x01, 0x01}));
      EXPECT_EQ(m.bytes[9], 0xF7);
      const MtcTime t{m.bytes[5] & 0x1F, m.bytes[6], m.bytes[7], m.bytes[8]};
      d.full_frames.push_back({m.due_us, t, m.bytes[5] >> 5, last, d.quarter_dues.size()});
      expected = 0;
      last = -1;
      continue;
    }
    EXPECT_EQ(m.bytes[0], 0xF1);
    const int piece = m.bytes[1] >> 4;
    EXPECT_NE(expected, -1) << "a quarter frame before any full frame";
    EXPECT_EQ(piece, expected) << "pieces out of order at " << m.due_us;
    nibble[piece & 7] = m.bytes[1] & 0x0F;
    d.quarter_dues.push_back(m.due_us);
    if (piece == 0) due0 = m.due_us;
    if (piece == 7) {
      const MtcTime t{nibble[6] | (nibble[7] & 1) << 4, nibble[4] | nibble[5] << 4,
                      nibble[2] | nibble[3] << 4, nibble[0] | nibble[1] << 4};
      d.sequences.push_back({due0, t, nibble[7] >> 1});
    }
    expected = (piece + 1) % 8;
    last = piece;
  }
  return d;
}

// The deck's true position: from each segment's start it plays at speed from where it was,
// moved by offset_us; while osc is off no datagram leaves it.
struct Segment {
  std::int64_t from_us;
  double speed;
  double offset_us = 0;
  bool osc = true;
};

class Deck {
 public:
  Deck(double start_us, std::vector<Segment> segments)
      : start_us_(start_us), segments_(std::move(segments)) {}
  double At(std::int64_t t_us) const {
    double p = start_us_;
    for (std::size_t i = 0; i < segments_.size() && segments_[i].from_us <= t_us; ++i) {
      const std::int64_t end =
          i + 1 < segments_.size() ? std::min(t_us, segments_[i + 1].from_us) : t_us;
      p += segments_[i].offset_us +
           segments_[i].speed * static_cast<double>(end - segments_[i].from_us);
    }
    return p;
  }
  bool Osc(std::int64_t t_us) const {
    bool on = true;
    for (const Segment& s : segments_) {
      if (s.from_us <= t_us) on = s.osc;
    }
    return on;
  }

 private:
  double start_us_;
  std::vector<Segment> segments_;
};

constexpr std::int64_t kDatagramUs = 20'000;
constexpr std::int64_t kMaxLatencyUs = 4'000;
constexpr std::int64_t kLeadUs = 20'000;

struct Reading {
  std::int64_t sent_us, arrived_us;
  std::int32_t tenths;
};
struct Played {
  std::vector<Message> messages;
  std::vector<Reading> readings;
  bool running_at_end;
  std::int64_t next_due_at_end;
  std::size_t pumps = 0;
};

// The engine's loop: a datagram every 20 ms with a few milliseconds' varying latency, each
// position followed by a pump, and a pump whenever NextDue comes (or, ahead, a lead before).
Played Play(int rate, const Deck& deck, std::int64_t end_us, bool ahead = false) {
  MtcStream stream(rate);
  Recorder recorder;
  Played run;
  std::int64_t now = 0, k = 0;
  for (int guard = 0; guard < 1'000'000; ++guard) {
    const std::int64_t sent = k * kDatagramUs;
    const std::int64_t arrival = sent + (k * 7919) % kMaxLatencyUs;
    std::int64_t due = stream.NextDue();
    // A timer fires a little after its time.
    if (ahead && due != MtcStream::kIdle) due = std::max(due - kLeadUs + 1, now + 1);
    if (std::min(arrival, due) > end_us) break;
    if (arrival <= due) {
      now = arrival;
      ++k;
      if (!deck.Osc(sent)) continue;
      const auto tenths = static_cast<std::int32_t>(std::llround(deck.At(sent) / 1e5));
      run.readings.push_back({sent, now, tenths});
      recorder.Call(now, true);
      stream.Position(now, tenths, recorder);
    } else {
      now = std::max(now, due);
    }
    recorder.Call(now, false);
    stream.Pump(now, now + kLeadUs, recorder);
    ++run.pumps;
    if (stream.NextDue() <= now) {
      ADD_FAILURE() << "Pump left work due at " << now;
      break;
    }
  }
  run.messages = std::move(recorder.messages);
  run.running_at_end = stream.Running();
  run.next_due_at_end = stream.NextDue();
  return run;
}

// How far each sequence stood from the deck when its piece 0 was due, from from_us on.
double WorstError(const Decoded& d, const Deck& deck, int rate, std::int64_t from_us) {
  double worst = 0;
  for (const Sequence& s : d.sequences) {
    if (s.due_us < from_us) continue;
    const double error =
        deck.At(s.due_us) - static_cast<double>(FrameOf(s.time, rate)) * FrameUs(rate);
    worst = std::max(worst, std::abs(error));
  }
  return worst;
}

// Sequences after from_us follow each other by two frames, as one unbroken stream's do.
void ExpectUnbroken(const Decoded& d, int rate, std::int64_t from_us) {
  for (std::size_t i = 1; i < d.sequences.size(); ++i) {
    if (d.sequences[i - 1].due_us < from_us) continue;
    EXPECT_EQ(FrameOf(d.sequences[i].time, rate), FrameOf(d.sequences[i - 1].time, rate) + 2)
        << Text(d.sequences[i - 1].time) << " then " << Text(d.sequences[i].time);
  }
}

// Full frames sent once quarter frames had begun.
int FullFramesWhileStreaming(const Decoded& d) {
  return static_cast<int>(std::count_if(d.full_frames.begin(), d.full_frames.end(),
                                        [](const FullFrame& f) { return f.quarters_before > 0; }));
}

}  // namespace

TEST(MtcNumbering, OnlyTheFourStoredRatesAreValid) {
  for (int rate : kRates) EXPECT_TRUE(ValidMtcRate(rate)) << rate;
  for (int rate : {0, 29, 2997 + 1, 48, -24, 300}) EXPECT_FALSE(ValidMtcRate(rate)) << rate;
}

TEST(MtcNumbering, DropFrameSkipsTwoLabelsEachMinuteButEveryTenth) {
  struct Row {
    std::int64_t frame;
    MtcTime label;
  };
  const Row rows[] = {
      {1799, T(0, 0, 59, 29)},    {1800, T(0, 1, 0, 2)},
      {3598, T(0, 2, 0, 2)},      {17981, T(0, 9, 59, 29)},
      {17982, T(0, 10, 0, 0)},    {17982 + 1800, T(0, 11, 0, 2)},
      {6 * 17982, T(1, 0, 0, 0)}, {6 * 17982 - 1, T(0, 59, 59, 29)},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(Text(MtcTimeAt(StartOfFrame(row.frame, 2997), 2997)), Text(row.label)) << row.frame;
  }
  // Every frame of two hours gets a label of its own, none of them a dropped one.
  for (std::int64_t n = 0; n < 12 * 17982; ++n) {
    const MtcTime t = MtcTimeAt(StartOfFrame(n, 2997), 2997);
    ASSERT_EQ(FrameOf(t, 2997), n) << Text(t);
    ASSERT_FALSE(t.seconds == 0 && t.frames < 2 && t.minutes % 10 != 0) << Text(t);
  }
}

TEST(MtcNumbering, TimeAtEachRateTakesHoursFromThePositionAndWrapsAtADay) {
  struct Row {
    int rate;
    std::int64_t position_us;
    MtcTime time;
  };
  const Row rows[] = {
      {24, 0, T(0, 0, 0, 0)},
      {24, 130 * 60'000'000LL + 1'500'000, T(2, 10, 1, 12)},
      {25, 3'723'480'000, T(1, 2, 3, 12)},
      {25, 86'399'990'000, T(23, 59, 59, 24)},
      {25, 86'400'000'000, T(0, 0, 0, 0)},
      {25, -5'000'000, T(0, 0, 0, 0)},
      {30, 130 * 60'000'000LL, T(2, 10, 0, 0)},
      {30, 25 * 3'600'000'000LL + 1'500'000, T(1, 0, 1, 15)},
      {2997, 60'000'000, T(0, 0, 59, 28)},  // real time runs ahead of the labels ...
      {2997, 600'000'000, T(0, 10, 0, 0)},  // ... until the tenth minute
      {2997, 130 * 60'000'000LL, T(2, 10, 0, 0)},
      {2997, 3'600'000'000, T(1, 0, 0, 0)},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(Text(MtcTimeAt(row.position_us, row.rate)), Text(row.time))
        << row.rate << " at " << row.position_us;
  }
}

TEST(MtcMessages, FullFrameCarriesTheRateInTheHoursByte) {
  struct Row {
    int rate;
    MtcTime time;
    std::uint8_t hours_byte;
  };
  const Row rows[] = {
      {24, T(1, 2, 3, 4), 0x01},
      {25, T(23, 59, 59, 24), 0x37},
      {2997, T(10, 0, 0, 2), 0x4A},
      {30, T(17, 30, 45, 29), 0x71},
  };
  for (const Row& row : rows) {
    std::uint8_t m[10];
    MtcFullFrame(row.time, row.rate, m);
    const Bytes want = {0xF0,
                        0x7F,
                        0x7F,
                        0x01,
                        0x01,
                        row.hours_byte,
                        static_cast<std::uint8_t>(row.time.minutes),
                        static_cast<std::uint8_t>(row.time.seconds),
                        static_cast<std::uint8_t>(row.time.frames),
                        0xF7};
    EXPECT_EQ(Bytes(m, m + 10), want) << row.rate;
  }
}

TEST(MtcMessages, QuarterFramePiecesCarryTheTimeAndRateNibbleByNibble) {
  struct Row {
    int rate;
    MtcTime time;
    Bytes pieces;
  };
  const Row rows[] = {
      {30, T(23, 59, 59, 29), {0x0D, 0x11, 0x2B, 0x33, 0x4B, 0x53, 0x67, 0x77}},
      {2997, T(1, 2, 3, 4), {0x04, 0x10, 0x23, 0x30, 0x42, 0x50, 0x61, 0x74}},
      {24, T(16, 0, 0, 0), {0x00, 0x10, 0x20, 0x30, 0x40, 0x50, 0x60, 0x71}},
      {25, T(0, 0, 0, 0), {0x00, 0x10, 0x20, 0x30, 0x40, 0x50, 0x60, 0x72}},
  };
  for (const Row& row : rows) {
    Bytes got;
    for (int piece = 0; piece < 8; ++piece)
      got.push_back(MtcQuarterFrame(row.time, row.rate, piece));
    EXPECT_EQ(got, row.pieces) << row.rate << " " << Text(row.time);
  }
  // Every field's every value comes back through a receiver.
  for (int rate : kRates) {
    for (int v = 0; v < 60; ++v) {
      const MtcTime t{v % 24, v, 59 - v, v % LabelsPerSecond(rate)};
      std::uint8_t full[10];
      MtcFullFrame(t, rate, full);
      std::vector<Message> messages = {{0, Bytes(full, full + 10)}};
      for (int piece = 0; piece < 8; ++piece) {
        messages.push_back({1 + piece, {0xF1, MtcQuarterFrame(t, rate, piece)}});
      }
      const Decoded d = Decode(messages);
      ASSERT_EQ(d.sequences.size(), 1u);
      EXPECT_EQ(d.sequences[0].time, t) << Text(d.sequences[0].time);
      EXPECT_EQ(d.sequences[0].rate_code, RateCode(rate));
      EXPECT_EQ(d.full_frames[0].time, t);
    }
  }
}

TEST(MtcStreamTest, SteadyPlayStaysWithinAFrameOfTheDeckAndFollowsItsPitch) {
  struct Row {
    const char* name;
    int rate;
    double speed;
  };
  const Row rows[] = {
      {"24 at 1.0", 24, 1.0},
      {"25 at 1.0", 25, 1.0},
      {"29.97 at 1.0", 2997, 1.0},
      {"29.97 at 1.06", 2997, 1.06},
      {"30 at 1.06", 30, 1.06},
      {"25 at 0.92", 25, 0.92},
      {"25 at 1.16, beyond the slew", 25, 1.16},
  };
  constexpr std::int64_t kPlay = 500'000;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const Deck deck(61'230'000, {{0, 0.0}, {kPlay, row.speed}});
    const Played run = Play(row.rate, deck, 7'000'000);
    const Decoded d = Decode(run.messages);
    ASSERT_GT(d.sequences.size(), 60u);
    EXPECT_TRUE(run.running_at_end);
    // It started soon after the deck did, with a full frame where the deck was.
    const std::int64_t first_quarter = d.quarter_dues.front();
    EXPECT_LT(first_quarter, kPlay + 300'000);
    const FullFrame& start = d.full_frames.back();
    EXPECT_LE(start.due_us, first_quarter);
    EXPECT_LE(std::abs(deck.At(start.due_us) - FrameOf(start.time, row.rate) * FrameUs(row.rate)),
              2 * FrameUs(row.rate));
    EXPECT_EQ(FullFramesWhileStreaming(d), 0);
    for (const Sequence& s : d.sequences) EXPECT_EQ(s.rate_code, RateCode(row.rate));
    ExpectUnbroken(d, row.rate, 0);
    EXPECT_LE(WorstError(d, deck, row.rate, kPlay + 1'500'000), FrameUs(row.rate));
    // Spacing follows the deck's speed, within the slew.
    for (std::size_t i = 1; i < d.quarter_dues.size(); ++i) {
      if (d.quarter_dues[i - 1] < kPlay + 1'500'000) continue;
      const double speed = FrameUs(row.rate) / 4 / (d.quarter_dues[i] - d.quarter_dues[i - 1]);
      ASSERT_NEAR(speed, row.speed, row.speed * (MtcStream::kMaxSlew + 0.01)) << i;
    }
  }
}

TEST(MtcStreamTest, ASequenceCarriesTheTimeOfItsStartAcrossAMinute) {
  // Starts one frame apart: some sequences start on 59:29 and end in the next minute.
  int across = 0;
  for (int shift = 0; shift < 4; ++shift) {
    const Deck deck(57'000'000 + shift * FrameUs(30), {{0, 0.0}, {100'000, 1.0}});
    const Decoded d = Decode(Play(30, deck, 4'500'000).messages);
    ExpectUnbroken(d, 30, 0);
    EXPECT_LE(WorstError(d, deck, 30, 1'500'000), FrameUs(30)) << shift;
    for (const Sequence& s : d.sequences) across += s.time == T(0, 0, 59, 29);
  }
  EXPECT_GT(across, 0) << "no sequence crossed the minute";
}

TEST(MtcStreamTest, SmallErrorsAreSlewedWithoutAFullFrame) {
  struct Row {
    const char* name;
    Segment change;
  };
  constexpr std::int64_t kAt = 3'000'000;
  const Row rows[] = {
      {"the deck nudged 20 ms ahead", {kAt, 1.0, 20'000}},
      {"pitch up to 1.08", {kAt, 1.08}},
      {"pitch down to 0.92", {kAt, 0.92}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const Deck deck(10'000'000, {{0, 0.0}, {100'000, 1.0}, row.change});
    const Decoded d = Decode(Play(25, deck, 6'000'000).messages);
    ASSERT_FALSE(d.quarter_dues.empty());
    EXPECT_EQ(FullFramesWhileStreaming(d), 0);
    ExpectUnbroken(d, 25, 0);
    EXPECT_LE(WorstError(d, deck, 25, 1'500'000), 2 * FrameUs(25));
    EXPECT_LE(WorstError(d, deck, 25, kAt + 1'500'000), FrameUs(25));
  }
}

TEST(MtcStreamTest, AJumpSendsOneFullFrameAndRestartsAtPieceZero) {
  struct Row {
    const char* name;
    double offset_us;
  };
  const Row rows[] = {
      {"forward 10 s", 10'000'000},
      {"forward 0.3 s", 300'000},
      {"back 5 s", -5'000'000},
      {"back 0.2 s", -200'000},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    int interrupted = 0;
    for (int i = 0; i < 4; ++i) {
      const std::int64_t at = 3'000'000 + i * 7'000;
      const Deck deck(20'000'000, {{0, 0.0}, {100'000, 1.0}, {at, 1.0, row.offset_us}});
      const Decoded d = Decode(Play(30, deck, 5'500'000).messages);
      ASSERT_FALSE(d.quarter_dues.empty());
      ASSERT_EQ(FullFramesWhileStreaming(d), 1) << i;
      const FullFrame& jump = d.full_frames.back();
      EXPECT_GE(jump.due_us, at);
      EXPECT_LE(jump.due_us, at + kDatagramUs + kMaxLatencyUs + kLeadUs);
      EXPECT_LE(std::abs(deck.At(jump.due_us) - FrameOf(jump.time, 30) * FrameUs(30)),
                2 * FrameUs(30));
      interrupted += jump.piece_before != 7;
      ExpectUnbroken(d, 30, jump.due_us);
      EXPECT_LE(WorstError(d, deck, 30, at + 1'500'000), FrameUs(30));
    }
    EXPECT_GT(interrupted, 0) << "no jump came in the middle of a sequence";
  }
}

TEST(MtcStreamTest, AJumpBackWhileTheDeckPlaysKeepsTheStreamRunning) {
  // The worst case for the hold, as loops make it: a slow deck jumps just before it would
  // have passed a boundary and lands just past one, so two advances lie far apart.
  constexpr double kSpeed = 0.92, kStart = 40'000'000, kPlay = 100'000;
  for (int k = 20; k < 28; ++k) {
    const double boundary = kStart + 50'000 + k * 100'000.0;
    const auto at = static_cast<std::int64_t>(kPlay + (boundary - kStart) / kSpeed) - 3'000;
    const double before = kStart + kSpeed * static_cast<double>(at - kPlay);
    const double landing = boundary - 1'000'000 + 1'000;
    const Deck deck(kStart, {{0, 0.0}, {100'000, kSpeed}, {at, kSpeed, landing - before}});
    const Played run = Play(24, deck, at + 1'000'000);
    const Decoded d = Decode(run.messages);
    EXPECT_EQ(FullFramesWhileStreaming(d), 1) << k;
    EXPECT_TRUE(run.running_at_end) << k;
    EXPECT_LE(WorstError(d, deck, 24, at + 700'000), FrameUs(24)) << k;
  }
}

TEST(MtcStreamTest, WhenPositionsStopAdvancingTheStreamEndsWithinTheHold) {
  struct Row {
    const char* name;
    std::vector<Segment> end;
  };
  constexpr std::int64_t kAt = 3'000'000;
  const Row rows[] = {
      {"the deck pauses", {{kAt, 0.0}}},
      {"the OSC goes away while the deck plays", {{kAt, 1.0, 0, false}}},
      {"the deck pauses, then the OSC goes away", {{kAt, 0.0}, {kAt + 60'000, 0.0, 0, false}}},
  };
  for (const Row& row : rows) {
    for (bool ahead : {false, true}) {
      SCOPED_TRACE(std::string(row.name) + (ahead ? ", pumped a lead ahead" : ", pumped when due"));
      std::vector<Segment> segments = {{0, 0.0}, {100'000, 1.0}};
      segments.insert(segments.end(), row.end.begin(), row.end.end());
      const Deck deck(30'000'000, segments);
      const Played run = Play(25, deck, 6'000'000, ahead);
      const Decoded d = Decode(run.messages);
      // No pumping in a loop while the hold runs out.
      EXPECT_LT(run.pumps, run.readings.size() + d.quarter_dues.size() + 10);
      std::int64_t last_advance = 0;
      for (std::size_t i = 1; i < run.readings.size(); ++i) {
        if (run.readings[i].tenths != run.readings[i - 1].tenths) {
          last_advance = run.readings[i].arrived_us;
        }
      }
      ASSERT_GT(last_advance, kAt - 150'000);
      ASSERT_FALSE(d.quarter_dues.empty());
      EXPECT_LT(d.quarter_dues.back(), last_advance + 250'000);
      // After the last quarter frame, one full frame where the deck was last seen, then nothing.
      ASSERT_EQ(FullFramesWhileStreaming(d), 1);
      const FullFrame& stop = d.full_frames.back();
      EXPECT_EQ(run.messages.back().bytes.size(), 10u);
      EXPECT_LE(stop.due_us, last_advance + 250'000);
      EXPECT_LE(
          std::abs(deck.At(run.readings.back().sent_us) - FrameOf(stop.time, 25) * FrameUs(25)),
          2 * FrameUs(25));
      EXPECT_FALSE(run.running_at_end);
      EXPECT_EQ(run.next_due_at_end, MtcStream::kIdle);
    }
  }
}

TEST(MtcStreamTest, WhileStoppedEachNewPositionLocatesWithOneFullFrame) {
  struct Row {
    const char* name;
    std::vector<std::pair<std::int64_t, std::int32_t>> readings;  // arrival, tenths
    std::vector<std::int32_t> located;                            // a full frame each
    bool running;
  };
  const Row rows[] = {
      {"repeats locate once", {{0, 50}, {20'000, 50}, {40'000, 50}}, {50}, false},
      {"seeks locate each",
       {{0, 50}, {20'000, 123}, {40'000, 123}, {60'000, 77}, {80'000, 77}},
       {50, 123, 77},
       false},
      {"single tenths far apart locate, not start",
       {{0, 77}, {20'000, 78}, {1'000'000, 78}, {2'000'000, 79}, {3'000'000, 80}},
       {77, 78, 79, 80},
       false},
      {"tenths at play rate start after a locate",
       {{0, 77}, {40'000, 78}, {60'000, 78}, {140'000, 79}},
       {77, 78},
       true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    MtcStream stream(25);
    Recorder recorder;
    for (const auto& [at, tenths] : row.readings) {
      recorder.Call(at, true);
      stream.Position(at, tenths, recorder);
    }
    const Decoded d = Decode(recorder.messages);
    std::vector<std::int32_t> located;
    for (const FullFrame& f : d.full_frames) {
      located.push_back(static_cast<std::int32_t>(std::llround(FrameOf(f.time, 25) * 0.4)));
    }
    EXPECT_TRUE(d.quarter_dues.empty());
    EXPECT_EQ(stream.Running(), row.running);
    if (!row.running) {
      EXPECT_EQ(located, row.located);
      EXPECT_EQ(stream.NextDue(), MtcStream::kIdle);
    } else {
      // The located frames, then the start's near 7.9 s, with quarter frames due next.
      ASSERT_EQ(located.size(), row.located.size() + 1);
      EXPECT_EQ(std::vector<std::int32_t>(located.begin(), located.end() - 1), row.located);
      EXPECT_NEAR(located.back(), 79, 1);
      EXPECT_LT(stream.NextDue(), row.readings.back().first + 50'000);
    }
  }
}
