// The sync outputs' scheduling against a test clock: what leaves when, with which time, through
// a port that records; no loop runs, so each case pumps by hand.
#include "bridge/syncout.h"

#include <gtest/gtest.h>

#include <vector>

using namespace qb;

namespace {

struct Sent {
  std::vector<std::uint8_t> bytes;
  std::int64_t due_us;
  std::int64_t handed_us;  // the clock when the port got it
};

class RecordingPort : public SyncOutputs::Port {
 public:
  void Send(const std::uint8_t* bytes, std::uint16_t length, std::int64_t due_us) override {
    if (fail) throw std::runtime_error("refused");
    sent.push_back({std::vector<std::uint8_t>(bytes, bytes + length), due_us, now});
  }
  std::int64_t LeadUs() override { return lead; }
  std::int64_t NowUs() override { return now; }
  void Tempo(double bpm) override { tempo.push_back(bpm); }

  std::int64_t now = 1'000'000'000;
  std::int64_t lead = 0;
  bool fail = false;
  std::vector<Sent> sent;
  std::vector<double> tempo;
};

const std::uint8_t kBeat[3] = {0x80, 0x7F, 0x19};
const std::uint8_t kTimeCode[10] = {0xF0, 0x7F, 0x01, 0x01, 0x01, 0x00, 0x02, 0x03, 0x28, 0xF7};

}  // namespace

TEST(SyncOutputs, ClassicOutputsLeaveAtOnceWithoutAPositiveOffset) {
  for (const int offset : {0, -100}) {
    RecordingPort port;
    SyncOutputs sync(port);
    sync.SetOffsetMs(offset);
    EXPECT_FALSE(sync.Delay(kBeat, 3)) << offset;
    EXPECT_FALSE(sync.Delay(kTimeCode, 10)) << offset;
    EXPECT_EQ(sync.Waiting(), 0u);
  }
}

// Each is handed over once its time is within the device's lead, never before, in order.
TEST(SyncOutputs, PositiveOffsetDelaysClassicOutputsByItsLength) {
  struct Row {
    std::int64_t lead;
  } rows[] = {{0}, {12'000}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.lead);
    RecordingPort port;
    port.lead = row.lead;
    SyncOutputs sync(port);
    sync.SetOffsetMs(250);
    const std::int64_t start = port.now;
    EXPECT_TRUE(sync.Delay(kBeat, 3));
    port.now += 10'000;
    EXPECT_TRUE(sync.Delay(kTimeCode, 10));
    EXPECT_TRUE(port.sent.empty());
    for (; port.now < start + 400'000; port.now += 500) sync.Pump();
    ASSERT_EQ(port.sent.size(), 2u);
    EXPECT_EQ(port.sent[0].bytes, std::vector<std::uint8_t>(kBeat, kBeat + 3));
    EXPECT_EQ(port.sent[0].due_us, start + 250'000);
    EXPECT_EQ(port.sent[1].due_us, start + 260'000);
    for (const Sent& s : port.sent) {
      EXPECT_GE(s.handed_us, s.due_us - row.lead);
      EXPECT_LT(s.handed_us, s.due_us - row.lead + 500);
    }
  }
}

TEST(SyncOutputs, OffsetIsKeptWithinItsRange) {
  RecordingPort port;
  SyncOutputs sync(port);
  sync.SetOffsetMs(900);
  EXPECT_EQ(sync.OffsetMs(), 500);
  sync.SetOffsetMs(-400);
  EXPECT_EQ(sync.OffsetMs(), -100);
}

// A flood meets a bounded queue: what does not fit is counted, and what fits leaves in order.
TEST(SyncOutputs, AFloodHeldBackByTheOffsetIsBoundedAndCounted) {
  RecordingPort port;
  SyncOutputs sync(port);
  sync.SetOffsetMs(500);
  for (std::size_t i = 0; i < SyncOutputs::kQueued + 10; ++i) sync.Delay(kBeat, 3);
  EXPECT_EQ(sync.Waiting(), SyncOutputs::kQueued);
  EXPECT_EQ(sync.Dropped(), 10u);
  port.now += 500'000;
  sync.Pump();
  EXPECT_EQ(port.sent.size(), SyncOutputs::kQueued);
  EXPECT_EQ(sync.Waiting(), 0u);
}

// A refused message is not tried again and again; the ones behind it leave at their time.
TEST(SyncOutputs, ARefusedSendRaisesOnceAndTheRestGoOn) {
  RecordingPort port;
  SyncOutputs sync(port);
  sync.SetOffsetMs(100);
  sync.Delay(kBeat, 3);
  port.now += 1000;
  sync.Delay(kBeat, 3);
  port.now += 100'000;
  port.fail = true;
  EXPECT_THROW(sync.Pump(), std::runtime_error);
  port.fail = false;
  sync.Pump();
  EXPECT_EQ(port.sent.size(), 1u);
  EXPECT_EQ(sync.Waiting(), 0u);
}

// Beats at 120 BPM: the clock's ticks go out moved by the offset, later or earlier, and a clock
// switched off while it runs tells the reader with Stop.
TEST(SyncOutputs, ClockTicksAreMovedByTheOffsetAndStopWhenSwitchedOff) {
  for (const int offset : {0, 200, -100}) {
    SCOPED_TRACE(offset);
    RecordingPort port;
    SyncOutputs sync(port);
    sync.SetOffsetMs(offset);
    sync.SetClock(true);
    const std::int64_t start = port.now;
    std::int64_t next_beat = start;
    for (; port.now < start + 4'000'000; port.now += 250) {
      if (port.now >= next_beat) {
        sync.Beat(port.now);
        next_beat += 500'000;
      }
      sync.Pump();
    }
    std::vector<std::int64_t> ticks;
    for (const Sent& s : port.sent)
      if (s.bytes == std::vector<std::uint8_t>{0xF8}) ticks.push_back(s.due_us);
    ASSERT_GT(ticks.size(), 48u);
    // Clocks fall on the beats' grid, moved by the offset: every 24th is a beat's time.
    std::int64_t on_beats = 0;
    for (std::size_t i = 0; i < ticks.size(); ++i) {
      const std::int64_t from_grid = (ticks[i] - start - offset * 1000) % 500'000;
      if (from_grid == 0 || from_grid > 499'000 || from_grid < 1000) ++on_beats;
    }
    EXPECT_GE(on_beats, static_cast<std::int64_t>(ticks.size() / 24) - 2);
    EXPECT_NEAR(sync.Bpm(), 120.0, 0.1);
    EXPECT_FALSE(port.tempo.empty());

    port.sent.clear();
    sync.SetClock(false);
    port.now += 300'000;  // past any offset
    sync.Pump();
    ASSERT_FALSE(port.sent.empty());
    EXPECT_EQ(port.sent.back().bytes, std::vector<std::uint8_t>{0xFC});
    EXPECT_EQ(sync.Bpm(), 0.0);
    EXPECT_EQ(port.tempo.back(), 0.0);
  }
}

// A deck playing with 25 fps time code, then the user changes it mid-play: the box unticked says
// nothing more (no quarter frame, no stop frame, not even those the offset holds back), and a new
// rate starts with its own full frame, with none of the old stream's quarter frames after it.
TEST(SyncOutputs, TimeCodeChangedMidPlayLeavesNothingOfTheOldStream) {
  const struct Row {
    int offset;
    std::int64_t lead;
    bool untick;  // else the rate changes to 30
  } rows[] = {{0, 0, true}, {300, 12'000, true}, {0, 12'000, false}, {300, 0, false}};
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::Message() << row.offset << " " << row.lead << " " << row.untick);
    RecordingPort port;
    port.lead = row.lead;
    SyncOutputs sync(port);
    sync.SetOffsetMs(row.offset);
    sync.SetMtcRate(25);
    std::int32_t tenths = 600;
    const auto play = [&](std::int64_t for_us, bool positions) {
      std::int64_t next = port.now;
      for (const std::int64_t end = port.now + for_us; port.now < end; port.now += 250) {
        if (positions && port.now >= next) {
          sync.Position(port.now, tenths++);
          next += 100'000;
        }
        sync.Pump();
      }
    };
    play(2'000'000, true);
    ASSERT_GT(port.sent.size(), 100u);
    const std::size_t before = port.sent.size();
    if (row.untick) {
      sync.SetTimeCodeOut(false);
      play(1'000'000, false);  // the rules pass no positions while the box is off
      EXPECT_EQ(port.sent.size(), before);
      sync.SetTimeCodeOut(true);
    } else {
      sync.SetMtcRate(30);
    }
    play(1'000'000, true);
    ASSERT_GT(port.sent.size(), before);
    const std::vector<std::uint8_t>& first = port.sent[before].bytes;
    ASSERT_EQ(first.size(), 10u);
    EXPECT_EQ(first[2], 0x7F);  // an all-call full frame
    EXPECT_EQ(first[5] & 0x60, row.untick ? 0x20 : 0x60);
  }
}
