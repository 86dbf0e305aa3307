// The sync outputs against real consumers from Debian on the shared JACK server: the bridge with
// its beat clock on, a deck's beats arriving over OSC, and jack_mclk_dump (jack-midi-clock) as
// the clock reader that prints the tempo it hears.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <atomic>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iostream>
#include <regex>
#include <thread>

#include "tests/e2e/e2e_support.h"

using namespace e2e;
using Clock = std::chrono::steady_clock;

namespace {

// Traktor's left deck: its beats at a tempo, each on time to within the sender's own wake-up.
class Deck {
 public:
  ~Deck() {
    if (thread_.joinable()) thread_.join();
  }
  // Beats at each tempo in turn, for so many beats each.
  void Play(std::vector<std::pair<double, int>> tempos) {
    thread_ = std::thread([this, tempos] {
      Clock::time_point at = Clock::now();
      for (const auto& [bpm, beats] : tempos) {
        const auto period =
            std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(60.0 / bpm));
        for (int i = 0; i < beats; ++i, at += period) {
          std::this_thread::sleep_until(at);  // the deck's pace, not a wait for the bridge
          Send(FloatMessage("/Traktor.Deck0.Beat", 1.0f));
        }
      }
      done_ = true;
    });
  }
  bool Done() const { return done_; }
  void Wait() { thread_.join(); }

 private:
  void Send(const std::string& d) { out_.Send(d); }
  DatagramSender out_;
  std::atomic<bool> done_{false};
  std::thread thread_;
};

// jack_mclk_dump on the bridge's port: the tempos it printed, in order.
class ClockReader {
 public:
  ClockReader() {
    QStringList env = QProcess::systemEnvironment();
    env << QString::fromStdString("JACK_DEFAULT_SERVER=" + JackServer());
    process_.setEnvironment(env);
    process_.setProcessChannelMode(QProcess::MergedChannels);
    process_.start("stdbuf", {"-oL", "jack_mclk_dump", "-b", "1", "-n", "quillbox:quillbox"});
  }
  ~ClockReader() {
    process_.terminate();
    if (!process_.waitForFinished(5000)) process_.kill();
    process_.waitForFinished(5000);
  }
  bool Started() { return process_.waitForStarted(10000); }
  std::string Output() {
    process_.waitForReadyRead(10);
    out_ += process_.readAll().toStdString();
    return out_;
  }
  // Each clock the reader took: the tempo of its own spacing ("cur") and the reader's filtered
  // reading ("flt"), from the first clock on.
  struct Reading {
    double current, filtered;
  };
  std::vector<Reading> Readings() {
    std::vector<Reading> found;
    static const std::regex line(R"(cur: *([0-9.]+)\[BPM\] flt: *([0-9.]+)\[BPM\])");
    const std::string text = Output();
    for (auto it = std::sregex_iterator(text.begin(), text.end(), line);
         it != std::sregex_iterator(); ++it)
      found.push_back({std::stod((*it)[1]), std::stod((*it)[2])});
    return found;
  }

 private:
  QProcess process_;
  std::string out_;
};

// Readings from..to off the tempo by more than tolerance. A reader's cycle the server ran late
// jolts its filter for a few clocks, so a test allows a tenth of them.
std::size_t Off(const std::vector<ClockReader::Reading>& r, std::size_t from, double bpm,
                double tolerance, bool filtered) {
  std::size_t off = 0;
  for (std::size_t i = from; i < r.size(); ++i)
    if (std::abs((filtered ? r[i].filtered : r[i].current) - bpm) > tolerance) ++off;
  return off;
}

class SyncE2E : public ::testing::Test {
 protected:
  QTemporaryDir config;
  Bridge bridge{config.path().toStdString()};

  void StartWith(const std::string& settings) {
    QDir().mkpath(config.path() + "/quillbox");
    std::ofstream(bridge.SettingsFile()) << "[Software]\nQuillbox\\Device=0\n" << settings;
    bridge.Start();
    ASSERT_TRUE(WaitFor([] { return PortTaken(10001); })) << bridge.Output();
  }
};

}  // namespace

// The reader's filter (a second of bandwidth) settles within a few beats of the clock's start.
TEST_F(SyncE2E, AClockReaderHearsTheDjsTempo) {
  StartWith("Quillbox\\MidiClock=1\n");
  if (HasFatalFailure()) return;
  ClockReader reader;
  ASSERT_TRUE(reader.Started());
  Deck deck;
  deck.Play({{128.0, 40}});
  // The reader's lines are taken as they come: a full pipe would hold it up.
  ASSERT_TRUE(WaitFor([&] { return reader.Output(), deck.Done(); }, 60s));
  std::ofstream(ArtifactDir() + "/clock-reader-128.txt") << reader.Output();
  const auto readings = reader.Readings();
  // The clock starts on the second beat: 39 beats of 24 clocks, less the first one's.
  ASSERT_GE(readings.size(), 38u * 24) << reader.Output().substr(0, 2000);
  const std::size_t from = readings.size() - 10 * 24;
  EXPECT_LE(Off(readings, from, 128.0, 0.1, true), 24u) << reader.Output().substr(0, 2000);
  EXPECT_EQ(bridge.Terminate(), 0) << bridge.Output();
}

// 120 BPM, then 126. The clock hears the change within two beats and makes up the phase the
// grid lost meanwhile by slewing its spacing; a few beats on, each clock is spaced for 126 and
// the reader's filter reads it. (How fast the estimate follows is the clock's unit tests' to
// show: here the sender's own wake-ups on a busy machine jitter the beats.)
TEST_F(SyncE2E, AClockReaderFollowsATempoChange) {
  StartWith("Quillbox\\MidiClock=1\n");
  if (HasFatalFailure()) return;
  ClockReader reader;
  ASSERT_TRUE(reader.Started());
  Deck deck;
  constexpr int kBefore = 24;
  deck.Play({{120.0, kBefore}, {126.0, 24}});
  ASSERT_TRUE(WaitFor([&] { return reader.Output(), deck.Done(); }, 60s));
  std::ofstream(ArtifactDir() + "/clock-reader-120-126.txt") << reader.Output();
  const auto readings = reader.Readings();
  ASSERT_GE(readings.size(), 46u * 24) << reader.Output().substr(0, 2000);
  // Clocks of beat k (the first beat is 0) are readings from (k - 1) * 24 on.
  const std::vector<ClockReader::Reading> before(readings.begin() + (kBefore - 4) * 24,
                                                 readings.begin() + (kBefore - 1) * 24);
  EXPECT_LE(Off(before, 0, 120.0, 0.1, true), before.size() / 10);
  const std::size_t from = (kBefore + 8 - 1) * 24;
  const std::size_t window = readings.size() - from;
  EXPECT_LE(Off(readings, from, 126.0, 0.5, false), window / 10);
  EXPECT_LE(Off(readings, from, 126.0, 0.1, true), window / 10);
  EXPECT_EQ(bridge.Terminate(), 0) << bridge.Output();
}
