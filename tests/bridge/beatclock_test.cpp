// The beat clock against a test clock: beats arrive at the times a row gives, and the clock is
// pumped as the engine pumps it, a lead ahead of NextDue. Every run's stream is also held to the
// rules any stream keeps: due order, nothing due before the call that sends it, Start and Stop
// around the clocks, and on-beat clocks (every 24th F8 from Start) at least kMinPeriodUs apart.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "bridge/beatclock.h"

using namespace qb;

namespace {

constexpr std::int64_t kMs = 1000;
constexpr std::int64_t kLead = 20 * kMs;
constexpr std::int64_t kT0 = 5'000'000'000;  // an arbitrary origin of the monotonic clock

std::int64_t Period(double bpm) {
  return std::llround(60e6 / bpm);
}

// A fixed sequence for jitter, the same on every library and run.
class SplitMix {
 public:
  explicit SplitMix(std::uint64_t seed) : state_(seed) {}
  // Uniform in [-1, 1].
  double Symmetric() {
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    z ^= z >> 31;
    return static_cast<double>(z >> 11) / static_cast<double>(1ull << 52) - 1.0;
  }

 private:
  std::uint64_t state_;
};

struct Input {
  std::int64_t at;
  bool deck_change = false;
};

// count beats from start_us on a grid of bpm, each off the grid by up to jitter_us.
std::vector<Input> Beats(double bpm, int count, std::int64_t start_us, std::int64_t jitter_us = 0,
                         std::uint64_t seed = 1) {
  SplitMix rng(seed);
  std::vector<Input> out;
  for (int i = 0; i < count; ++i) {
    const double off = jitter_us > 0 ? rng.Symmetric() * static_cast<double>(jitter_us) : 0;
    out.push_back({start_us + i * Period(bpm) + std::llround(off)});
  }
  return out;
}

std::vector<Input> Concat(std::vector<Input> a, const std::vector<Input>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

struct Sent {
  std::int64_t due;
  std::uint8_t status;
  std::int64_t at;  // now_us of the call that sent it
};

// The engine's side: inputs at their times, Pump whenever NextDue comes within the lead.
class Engine : public BeatClock::Sink {
 public:
  explicit Engine(std::int64_t lead_us = kLead) : lead_(lead_us) {}

  void Send(std::int64_t due_us, std::uint8_t status) override {
    sent.push_back({due_us, status, now_});
  }

  // Runs the inputs (in time order, none before the last run's end) and the pumps up to end_us.
  void Run(const std::vector<Input>& inputs, std::int64_t end_us) {
    std::size_t i = 0;
    for (;;) {
      const std::int64_t next_input = i < inputs.size() ? inputs[i].at : BeatClock::kIdle;
      const std::int64_t due = clock.NextDue();
      const std::int64_t next_pump = due == BeatClock::kIdle ? due : std::max(now_, due - lead_);
      const std::int64_t next = std::min(next_input, next_pump);
      if (next > end_us) break;
      now_ = next;
      if (next_input <= next_pump) {
        if (inputs[i].deck_change) {
          clock.DeckChanged(now_);
        } else {
          clock.Beat(now_, *this);
          bpm_after_beat.push_back(clock.Bpm());
          beat_at.push_back(now_);
        }
        ++i;
      } else {
        const std::size_t before = sent.size();
        clock.Pump(now_, now_ + lead_ + 1, *this);
        // The engine pumps when NextDue comes; a pump that sends nothing would spin it.
        if (sent.size() == before) {
          ADD_FAILURE() << "Pump at " << now_ << " sent nothing though NextDue was " << due;
          return;
        }
      }
      const double bpm = clock.Bpm();
      if (bpm != 0 && (bpm < BeatClock::kMinBpm || bpm > BeatClock::kMaxBpm)) {
        ADD_FAILURE() << "tempo " << bpm << " out of bounds at " << now_;
      }
    }
    now_ = std::max(now_, end_us);
  }

  std::int64_t now() const { return now_; }

  BeatClock clock;
  std::vector<Sent> sent;
  std::vector<double> bpm_after_beat;
  std::vector<std::int64_t> beat_at;  // the beats given, dropped or not

 private:
  std::int64_t lead_;
  std::int64_t now_ = 0;
};

std::vector<std::int64_t> Clocks(const std::vector<Sent>& sent) {
  std::vector<std::int64_t> out;
  for (const Sent& s : sent) {
    if (s.status == BeatClock::kClock) out.push_back(s.due);
  }
  return out;
}

// The on-beat clocks: F8 number 0, 24, 48, ... after each Start.
std::vector<std::int64_t> OnBeats(const std::vector<Sent>& sent) {
  std::vector<std::int64_t> out;
  int n = 0;
  for (const Sent& s : sent) {
    if (s.status == BeatClock::kStart) n = 0;
    if (s.status == BeatClock::kClock && n++ % BeatClock::kClocksPerBeat == 0) {
      out.push_back(s.due);
    }
  }
  return out;
}

int CountStatus(const std::vector<Sent>& sent, std::uint8_t status) {
  return static_cast<int>(
      std::count_if(sent.begin(), sent.end(), [&](const Sent& s) { return s.status == status; }));
}

void ExpectWellFormed(const std::vector<Sent>& sent) {
  bool running = false;
  int n = 0;
  std::int64_t last_on_beat = 0;
  for (std::size_t i = 0; i < sent.size(); ++i) {
    const Sent& s = sent[i];
    SCOPED_TRACE("message " + std::to_string(i));
    EXPECT_GE(s.due, s.at) << "due before the call that sent it";
    if (i > 0) {
      EXPECT_GE(s.due, sent[i - 1].due) << "out of due order";
    }
    switch (s.status) {
      case BeatClock::kStart:
        EXPECT_FALSE(running) << "Start while running";
        ASSERT_LT(i + 1, sent.size());
        EXPECT_EQ(sent[i + 1].status, BeatClock::kClock) << "Start not followed by a clock";
        EXPECT_EQ(sent[i + 1].due, s.due) << "the first clock is not with Start";
        running = true;
        n = 0;
        break;
      case BeatClock::kStop:
        EXPECT_TRUE(running) << "Stop while stopped";
        running = false;
        break;
      case BeatClock::kClock:
        EXPECT_TRUE(running) << "clock while stopped";
        if (n % BeatClock::kClocksPerBeat == 0) {
          if (n > 0) {
            EXPECT_GE(s.due - last_on_beat, BeatClock::kMinPeriodUs)
                << "two beats' clocks within one period at the highest tempo";
          }
          last_on_beat = s.due;
        }
        ++n;
        break;
      default:
        ADD_FAILURE() << "status " << int{s.status};
    }
  }
}

// The largest distance from each grid time to the on-beat clock nearest it.
std::int64_t WorstPhase(const std::vector<std::int64_t>& on_beats,
                        const std::vector<std::int64_t>& grid) {
  std::int64_t worst = 0;
  for (std::int64_t g : grid) {
    std::int64_t best = BeatClock::kIdle;
    for (std::int64_t o : on_beats) best = std::min(best, std::abs(o - g));
    worst = std::max(worst, best);
  }
  return worst;
}

}  // namespace

TEST(BeatClock, StartGoesOutOnTheSecondBeatJustBeforeTheFirstClock) {
  Engine e;
  e.Run({{kT0}}, kT0 + 400 * kMs);
  EXPECT_TRUE(e.sent.empty()) << "one beat is no tempo yet";
  EXPECT_FALSE(e.clock.Running());
  EXPECT_EQ(e.clock.Bpm(), 0.0);
  EXPECT_EQ(e.clock.NextDue(), BeatClock::kIdle);

  e.Run({{kT0 + 500 * kMs}}, kT0 + 500 * kMs);
  ASSERT_EQ(e.sent.size(), 2u);
  EXPECT_EQ(e.sent[0].status, BeatClock::kStart);
  EXPECT_EQ(e.sent[1].status, BeatClock::kClock);
  EXPECT_EQ(e.sent[0].due, kT0 + 500 * kMs);
  EXPECT_EQ(e.sent[1].due, kT0 + 500 * kMs);
  EXPECT_TRUE(e.clock.Running());
  EXPECT_NEAR(e.clock.Bpm(), 120.0, 1e-6);
  EXPECT_LT(e.clock.NextDue(), kT0 + 500 * kMs + Period(120) / 24 + kMs);
}

TEST(BeatClock, SteadyTempoWithJitterHoldsTheTempoAndSpacesTheClocksEvenly) {
  struct Row {
    const char* name;
    double bpm;
    std::int64_t lead_us;
  };
  const Row rows[] = {
      {"90 BPM", 90.0, kLead},
      {"128 BPM", 128.0, kLead},
      {"174 BPM", 174.0, kLead},
      {"128 BPM with beats ahead of their pumps", 128.0, 2 * kMs},
  };
  constexpr int kBeats = 160;
  constexpr int kSettle = 32;  // beats before the tempo must hold to 0.1 BPM
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    for (std::uint64_t seed : {1u, 2u, 3u}) {
      SCOPED_TRACE("seed " + std::to_string(seed));
      Engine e(row.lead_us);
      const auto beats = Beats(row.bpm, kBeats, kT0, 5 * kMs, seed);
      e.Run(beats, beats.back().at);
      ExpectWellFormed(e.sent);
      EXPECT_EQ(CountStatus(e.sent, BeatClock::kStart), 1);
      EXPECT_EQ(CountStatus(e.sent, BeatClock::kStop), 0);

      double worst_bpm = 0;
      for (int i = kSettle; i < kBeats; ++i) {
        worst_bpm = std::max(worst_bpm, std::abs(e.bpm_after_beat[i] - row.bpm));
      }
      EXPECT_LE(worst_bpm, 0.1);
      // Already close after 8 beats.
      for (int i = 8; i < kSettle; ++i) EXPECT_NEAR(e.bpm_after_beat[i], row.bpm, 0.5) << i;

      std::vector<std::int64_t> spacing;
      const auto clocks = Clocks(e.sent);
      for (std::size_t i = 1; i < clocks.size(); ++i) {
        if (clocks[i - 1] >= beats[8].at) spacing.push_back(clocks[i] - clocks[i - 1]);
      }
      ASSERT_GT(spacing.size(), 100u);
      double mean = 0;
      for (std::int64_t s : spacing) mean += static_cast<double>(s);
      mean /= static_cast<double>(spacing.size());
      EXPECT_NEAR(mean, Period(row.bpm) / 24.0, 20.0);
      double worst_spacing = 0;
      for (std::int64_t s : spacing) {
        worst_spacing = std::max(worst_spacing, std::abs(static_cast<double>(s) - mean));
      }
      EXPECT_LE(worst_spacing, 1000.0);

      // The on-beat clocks sit on the beats' grid, not on their jitter.
      std::vector<std::int64_t> grid;
      for (int i = kSettle; i < kBeats - 1; ++i) grid.push_back(kT0 + i * Period(row.bpm));
      EXPECT_LE(WorstPhase(OnBeats(e.sent), grid), 3 * kMs);
    }
  }
}

TEST(BeatClock, ATempoChangeIsFollowedWithinTwoBeats) {
  struct Row {
    const char* name;
    double from, to;
    std::int64_t jitter_us;
    bool slewed;  // within an eighth of a beat: the grid slews, no clock is flushed
  };
  const Row rows[] = {
      {"120 -> 126", 120.0, 126.0, 0, true},
      {"126 -> 120", 126.0, 120.0, 0, true},
      {"120 -> 126 with 1 ms of jitter", 120.0, 126.0, 1 * kMs, true},
      {"120 -> 150, more than an eighth of a beat", 120.0, 150.0, 0, false},
      {"150 -> 100", 150.0, 100.0, 0, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const auto before = Beats(row.from, 16, kT0, row.jitter_us, 7);
    const std::int64_t change = kT0 + 15 * Period(row.from);
    const auto after = Beats(row.to, 9, change + Period(row.to), row.jitter_us, 8);
    Engine e;
    e.Run(Concat(before, after), after.back().at);
    ExpectWellFormed(e.sent);
    EXPECT_EQ(CountStatus(e.sent, BeatClock::kStop), 0);
    EXPECT_NEAR(e.bpm_after_beat[15], row.from, 0.1);
    for (int i = 17; i < 25; ++i) EXPECT_NEAR(e.bpm_after_beat[i], row.to, 0.5) << "beat " << i;

    // The ticks follow: from the fourth beat at the new tempo its on-beat clocks are on the new
    // grid, with the new spacing.
    std::vector<std::int64_t> grid;
    for (int i = 3; i < 8; ++i) grid.push_back(change + (i + 1) * Period(row.to));
    EXPECT_LE(WorstPhase(OnBeats(e.sent), grid), 2 * kMs);
    const auto clocks = Clocks(e.sent);
    if (row.slewed) {
      // On the way no spacing changes by more than an eighth: the grid slews, it does not jump.
      const double shortest = Period(std::max(row.from, row.to)) / 24.0;
      const double longest = Period(std::min(row.from, row.to)) / 24.0;
      for (std::size_t i = 1; i < clocks.size(); ++i) {
        const double spacing = static_cast<double>(clocks[i] - clocks[i - 1]);
        EXPECT_GE(spacing, shortest * 7 / 8 - 1) << clocks[i];
        EXPECT_LE(spacing, longest * 9 / 8 + 1) << clocks[i];
      }
    }
    for (std::size_t i = 1; i < clocks.size(); ++i) {
      if (clocks[i - 1] >= grid.front() && clocks[i] <= grid.back()) {
        EXPECT_NEAR(clocks[i] - clocks[i - 1], Period(row.to) / 24.0, 150.0) << clocks[i];
      }
    }
  }
}

TEST(BeatClock, AGapStopsTheClockAfterTwoPeriodsAndBeatsStartItAgain) {
  const auto first = Beats(128.0, 16, kT0, 2 * kMs, 3);
  const std::int64_t last = first.back().at;
  Engine e;
  e.Run(first, last + 3'000 * kMs);  // no beat comes: only Pump can stop it
  ExpectWellFormed(e.sent);
  ASSERT_EQ(CountStatus(e.sent, BeatClock::kStop), 1);
  const Sent& stop = e.sent.back();
  EXPECT_EQ(stop.status, BeatClock::kStop);
  // Two periods, and the tolerance a beat has on the grid.
  EXPECT_GE(stop.due, last + 2 * Period(128));
  EXPECT_LE(stop.due, last + 2 * Period(128) + Period(128) / 8 + 2 * kMs);
  EXPECT_FALSE(e.clock.Running());
  EXPECT_EQ(e.clock.Bpm(), 0.0);
  EXPECT_EQ(e.clock.NextDue(), BeatClock::kIdle);
  // Clocks went on until the Stop, never a beat's worth past the last beat's next.
  const auto clocks = Clocks(e.sent);
  EXPECT_GT(clocks.back(), last + Period(128) + Period(128) / 2);
  EXPECT_LE(static_cast<int>(clocks.size()), 16 * 24 + 1);

  const std::size_t stopped = e.sent.size();
  const std::int64_t again = last + 4'000 * kMs;
  const auto second = Beats(100.0, 8, again);
  e.Run(second, second.back().at);
  std::vector<Sent> after(e.sent.begin() + static_cast<std::ptrdiff_t>(stopped), e.sent.end());
  ExpectWellFormed(e.sent);
  ASSERT_GE(after.size(), 2u);
  EXPECT_EQ(after[0].status, BeatClock::kStart);
  EXPECT_EQ(after[0].due, second[1].at) << "Start waits for the second beat";
  EXPECT_TRUE(e.clock.Running());
  EXPECT_NEAR(e.clock.Bpm(), 100.0, 0.1) << "nothing of the old tempo is left";
}

TEST(BeatClock, ADeckSwitchRelocksThePhaseWithoutStopping) {
  struct Row {
    const char* name;
    double phase;  // of the new deck's beats against the old deck's grid, in beats
    double bpm;    // of the new deck
  };
  const Row rows[] = {
      {"a third of a beat later", 1.0 / 3, 124.0},
      {"a third of a beat earlier", -1.0 / 3, 124.0},
      {"nearly in phase", 0.03, 124.0},
      {"to a deck at half the tempo", 0.25, 64.0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const auto old_deck = Beats(128.0, 16, kT0, 2 * kMs, 5);
    const std::int64_t next = kT0 + 16 * Period(128);
    const std::int64_t first_new = next + std::llround(row.phase * Period(128));
    std::vector<Input> inputs = old_deck;
    inputs.push_back({old_deck.back().at + 50 * kMs, true});
    const auto new_deck = Beats(row.bpm, 10, first_new);
    inputs = Concat(inputs, new_deck);
    Engine e;
    e.Run(inputs, new_deck.back().at);
    ExpectWellFormed(e.sent);
    EXPECT_EQ(CountStatus(e.sent, BeatClock::kStart), 1);
    EXPECT_EQ(CountStatus(e.sent, BeatClock::kStop), 0);
    // The new deck's tempo from its own beats alone: exact after its second.
    for (int i = 17; i < 26; ++i) EXPECT_NEAR(e.bpm_after_beat[i], row.bpm, 0.05) << "beat " << i;

    std::vector<std::int64_t> grid;
    for (int i = 3; i < 9; ++i) grid.push_back(new_deck[i].at);
    EXPECT_LE(WorstPhase(OnBeats(e.sent), grid), 2 * kMs);
  }
}

TEST(BeatClock, AnEarlyBeatFlushesTheClocksLeftOfTheBeatAndStartsItsOwnOnTime) {
  struct Row {
    const char* name;
    double early;  // in beats; the beats after it keep the new phase
  };
  const Row rows[] = {
      {"a quarter of a beat early", 0.25},
      {"half a beat early", 0.5},
      {"just over an eighth early", 0.14},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const std::int64_t shift = std::llround(row.early * Period(120));
    const auto before = Beats(120.0, 12, kT0);
    const auto after = Beats(120.0, 8, kT0 + 12 * Period(120) - shift);
    Engine e;
    e.Run(Concat(before, after), after.back().at);
    ExpectWellFormed(e.sent);

    const std::int64_t early = after[0].at;
    // The Beat call sent the rest of the previous beat at once (with the clock due at the call
    // or, if one was already sent for later, with that one), and then this beat's on-beat
    // clock, which is F8 number 24 * 11 from Start on the second beat.
    int number = -1, burst = 0, last_in_burst = -1;
    std::int64_t burst_due = -1;
    for (const Sent& s : e.sent) {
      if (s.status != BeatClock::kClock) continue;
      ++number;
      if (s.at != early) continue;
      if (burst_due < 0) burst_due = s.due;
      EXPECT_EQ(s.due, burst_due) << "the flush is not at once";
      ++burst;
      last_in_burst = number;
    }
    EXPECT_GE(burst, 2) << "nothing was flushed";
    EXPECT_EQ(last_in_burst, 24 * 11);
    EXPECT_GE(burst_due, early);
    EXPECT_LT(burst_due, early + kLead);
    std::vector<std::int64_t> grid;
    for (std::size_t i = 1; i + 1 < after.size(); ++i) grid.push_back(after[i].at);
    EXPECT_LE(WorstPhase(OnBeats(e.sent), grid), 1 * kMs);
    for (int i = 14; i < 20; ++i) EXPECT_NEAR(e.bpm_after_beat[i], 120.0, 0.01);
  }
}

TEST(BeatClock, ALateBeatStretchesTheGridAndNeverAddsClocks) {
  struct Row {
    const char* name;
    double late;  // in beats; the beats after it keep the new phase
  };
  const Row rows[] = {
      {"a quarter of a beat late", 0.25},
      {"three quarters of a beat late", 0.75},
      {"seven eighths of a beat late", 0.875},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const std::int64_t shift = std::llround(row.late * Period(120));
    const auto before = Beats(120.0, 12, kT0);
    const auto after = Beats(120.0, 8, kT0 + 12 * Period(120) + shift);
    Engine e;
    e.Run(Concat(before, after), after.back().at);
    ExpectWellFormed(e.sent);
    EXPECT_EQ(CountStatus(e.sent, BeatClock::kStop), 0);

    // Up to the late beat's next, no more clocks than the beats that came carry.
    const auto clocks = Clocks(e.sent);
    const auto upto = [&](std::int64_t t) {
      return std::count_if(clocks.begin(), clocks.end(), [&](std::int64_t c) { return c < t; });
    };
    EXPECT_LE(upto(after[0].at), 24 * 12 + 1);
    EXPECT_LE(upto(after[1].at), 24 * 12 + 24);
    std::vector<std::int64_t> grid;
    for (int i = 1; i < 7; ++i) grid.push_back(after[i].at);
    EXPECT_LE(WorstPhase(OnBeats(e.sent), grid), 1 * kMs);
    // The clocks left of the beat in progress when it came are spread out to a period after it,
    // not squeezed.
    for (std::size_t i = 1; i < clocks.size(); ++i) {
      if (clocks[i - 1] >= after[0].at && clocks[i] <= after[1].at) {
        EXPECT_GE(clocks[i] - clocks[i - 1], Period(120) / 24 - 1) << clocks[i];
      }
    }
  }
}

TEST(BeatClock, AMissingBeatKeepsTheTempoAndThePhase) {
  auto beats = Beats(128.0, 24, kT0, 2 * kMs, 11);
  beats.erase(beats.begin() + 16);
  Engine e;
  e.Run(beats, beats.back().at);
  ExpectWellFormed(e.sent);
  EXPECT_EQ(CountStatus(e.sent, BeatClock::kStop), 0);
  for (std::size_t i = 16; i < e.bpm_after_beat.size(); ++i) {
    EXPECT_NEAR(e.bpm_after_beat[i], 128.0, 0.3) << i;
  }
  std::vector<std::int64_t> grid;
  for (int i = 17; i < 23; ++i) grid.push_back(kT0 + i * Period(128));
  EXPECT_LE(WorstPhase(OnBeats(e.sent), grid), 3 * kMs);

  // The 24 clocks of the beat that did not come (the 15th from Start on the second beat) went
  // out as predicted; the next beat's on-beat clock waited for it.
  int number = -1;
  for (const Sent& s : e.sent) {
    if (s.status == BeatClock::kClock && ++number == 24 * 16) {
      EXPECT_GE(s.at, beats[16].at) << "ran more than a beat ahead of the beats";
    }
  }
  EXPECT_GT(number, 24 * 17);
}

TEST(BeatClock, AFloodOfBeatsNeverFloodsTheOutput) {
  struct Row {
    const char* name;
    std::int64_t every_us;
  };
  const Row rows[] = {{"every millisecond", 1 * kMs}, {"every 10 ms", 10 * kMs}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const auto steady = Beats(128.0, 16, kT0);
    const std::int64_t flood_start = steady.back().at + 100 * kMs;
    const std::int64_t flood_end = flood_start + 2'000 * kMs;
    std::vector<Input> inputs = steady;
    for (std::int64_t t = flood_start; t < flood_end; t += row.every_us) inputs.push_back({t});
    const auto resumed = Beats(128.0, 16, flood_end + 300 * kMs);
    inputs = Concat(inputs, resumed);
    Engine e;
    e.Run(inputs, resumed.back().at);
    ExpectWellFormed(e.sent);  // on-beat clocks never closer than 200 ms

    const auto clocks = Clocks(e.sent);
    const auto during = std::count_if(clocks.begin(), clocks.end(), [&](std::int64_t c) {
      return c >= flood_start && c < flood_end;
    });
    // What the flood could not stop: the beat in progress and the one predicted after it.
    EXPECT_LE(during, 2 * 24);
    EXPECT_EQ(CountStatus(e.sent, BeatClock::kStop), 1) << "a flood is no tempo";
    EXPECT_EQ(CountStatus(e.sent, BeatClock::kStart), 2);
    EXPECT_NEAR(e.bpm_after_beat.back(), 128.0, 0.1);
  }
}

TEST(BeatClock, TempoOutsideTheBoundsIsNoTempo) {
  struct Row {
    const char* name;
    double bpm;
    bool runs;
  };
  const Row rows[] = {
      {"20 BPM", 20.0, false},
      {"400 BPM", 400.0, false},
      {"40 BPM", 40.0, true},
      {"300 BPM", 300.0, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const auto beats = Beats(row.bpm, 16, kT0);
    Engine e;
    e.Run(beats, beats.back().at);
    ExpectWellFormed(e.sent);
    EXPECT_EQ(e.clock.Running(), row.runs);
    if (row.runs) {
      EXPECT_NEAR(e.clock.Bpm(), row.bpm, 0.01);
      const auto clocks = Clocks(e.sent);
      EXPECT_EQ(std::count_if(clocks.begin(), clocks.end(),
                              [&](std::int64_t c) { return c <= beats.back().at; }),
                24 * 14 + 1);
    } else {
      EXPECT_TRUE(e.sent.empty());
      EXPECT_EQ(e.clock.Bpm(), 0.0);
      EXPECT_EQ(e.clock.NextDue(), BeatClock::kIdle);
    }
  }
}

TEST(BeatClock, ArbitraryBeatsAndDeckSwitchesKeepTheStreamWellFormed) {
  for (std::uint64_t seed = 1; seed <= 40; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    SplitMix rng(seed);
    std::vector<Input> inputs;
    std::int64_t t = kT0;
    for (int i = 0; i < 400; ++i) {
      const double u = (rng.Symmetric() + 1) / 2;
      // Mostly beats near 128 BPM, with floods, gaps and jumps between them.
      std::int64_t step = Period(128) + std::llround(rng.Symmetric() * 20 * kMs);
      if (u < 0.1)
        step = std::llround(u * 10 * 30 * kMs);
      else if (u < 0.15)
        step = std::llround(u * 20 * kMs * 100);
      else if (u < 0.3)
        step = std::llround((u - 0.15) * 8 * Period(128));
      t += std::max<std::int64_t>(step, 1);
      inputs.push_back({t, u > 0.97});
    }
    Engine e(seed % 2 ? kLead : 1 * kMs);
    e.Run(inputs, t + 5'000 * kMs);
    ExpectWellFormed(e.sent);
    EXPECT_FALSE(e.clock.Running()) << "no Stop after the last beat";
  }
}
