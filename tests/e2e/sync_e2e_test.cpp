// The sync outputs against real consumers from Debian on the shared JACK server, a deck's beats
// and positions arriving over OSC: jack_mclk_dump (jack-midi-clock) as the clock reader that
// prints the tempo it hears, and xjadeo as the video player that chases MIDI Time Code.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iostream>
#include <regex>
#include <thread>

#include "tests/e2e/e2e_support.h"
#include "tests/e2e/jack_support.h"

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
      // The deck keeps its pace on a busy machine, as the DJ's own does: a sender that wakes
      // late would jitter the beats beyond what the clock is meant to smooth. Where realtime
      // scheduling is not allowed it runs as it is.
      const sched_param fifo{.sched_priority = 40};
      pthread_setschedparam(pthread_self(), SCHED_FIFO, &fifo);
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
  // Each clock the reader took: the tempo of its own spacing ("cur"), the reader's filtered
  // reading ("flt") and the frame it came at, from the first clock on.
  struct Reading {
    double current, filtered;
    long long frame;
  };
  std::vector<Reading> Readings() {
    std::vector<Reading> found;
    static const std::regex line(
        R"(cur: *([0-9.]+)\[BPM\] flt: *([0-9.]+)\[BPM\][^@\n]*@ *([0-9]+))");
    const std::string text = Output();
    for (auto it = std::sregex_iterator(text.begin(), text.end(), line);
         it != std::sregex_iterator(); ++it)
      found.push_back({std::stod((*it)[1]), std::stod((*it)[2]), std::stoll((*it)[3])});
    return found;
  }

 private:
  QProcess process_;
  std::string out_;
};

// Where the server's frames slipped against real time: a single spacing off by about a period
// (the fixture's 256 frames) between two on the grid, the grid going on moved. A server that
// misses a cycle on a busy machine does this; a clock the bridge sent late would come with a
// spacing as much short after it instead.
std::vector<std::size_t> Slips(const std::vector<ClockReader::Reading>& r) {
  std::vector<long long> spacing;
  for (std::size_t i = 1; i < r.size(); ++i) spacing.push_back(r[i].frame - r[i - 1].frame);
  if (spacing.size() < 3) return {};
  std::vector<long long> sorted = spacing;
  std::nth_element(sorted.begin(), sorted.begin() + sorted.size() / 2, sorted.end());
  const long long median = sorted[sorted.size() / 2];
  auto on_grid = [&](long long d) { return std::abs(d - median) <= 32; };
  std::vector<std::size_t> slips;
  for (std::size_t i = 1; i + 1 < spacing.size(); ++i)
    if (std::abs(std::abs(spacing[i] - median) - 256) <= 32 && on_grid(spacing[i - 1]) &&
        on_grid(spacing[i + 1]))
      slips.push_back(i + 1);  // the reading after the slipped spacing
  return slips;
}

// Readings from..to off the tempo by more than tolerance. A reader's cycle the server ran late
// jolts its filter for a few clocks, so a test allows a tenth of them; the two beats after a
// slip of the server's own frames are the reader's filter settling, not the bridge's clock.
std::size_t Off(const std::vector<ClockReader::Reading>& r, std::size_t from, double bpm,
                double tolerance, bool filtered) {
  const std::vector<std::size_t> slips = Slips(r);
  std::size_t off = 0;
  for (std::size_t i = from; i < r.size(); ++i) {
    const bool settling = std::any_of(slips.begin(), slips.end(),
                                      [&](std::size_t s) { return i >= s && i < s + 2 * 24; });
    if (!settling && std::abs((filtered ? r[i].filtered : r[i].current) - bpm) > tolerance) ++off;
  }
  return off;
}

// xjadeo chasing the bridge's time code through JACK MIDI, on a video of its own (a plain grey
// YUV4MPEG stream, which its decoder reads and seeks without a codec), remote-controlled through
// its standard input.
class Chaser {
 public:
  Chaser(const std::string& dir, int rate) {
    const bool drop = rate == 2997;
    video_ = dir + "/grey.y4m";
    std::ofstream v(video_, std::ios::binary);
    v << "YUV4MPEG2 W16 H16 " << (drop ? "F30000:1001" : "F" + std::to_string(rate) + ":1")
      << " Ip A1:1 C420jpeg\n";
    const std::string frame = "FRAME\n" + std::string(16 * 16 * 3 / 2, '\x80');
    for (int i = 0; i < 120 * 30; ++i) v << frame;
    v.close();
    QStringList env = QProcess::systemEnvironment();
    env << QString::fromStdString("JACK_DEFAULT_SERVER=" + JackServer())
        << QString::fromStdString("DISPLAY=" + Display());
    process_.setEnvironment(env);
    process_.start("xjadeo", {"-R", "-d", "jack", "-m", "quillbox:quillbox", "-x", "4",
                              QString::fromStdString(video_)});
  }
  ~Chaser() {
    process_.write("quit\n");
    if (!process_.waitForFinished(5000)) process_.kill();
    process_.waitForFinished(5000);
  }
  // Once it has connected its MTC input to the bridge's port, which it does by itself.
  bool Connected() {
    return WaitFor([&] {
      Read();
      for (const auto& [port, peers] : JackGraph(JackServer()))
        if (port == "quillbox:quillbox")
          for (const std::string& peer : peers)
            if (peer.rfind("xjadeo", 0) == 0) return true;
      return false;
    });
  }
  // The frame it shows now; -1 when it does not answer.
  int Position() {
    const std::size_t from = out_.size();
    process_.write("get position\n");
    static const std::regex answer(R"(@201 position=(-?[0-9]+))");
    int shown = -1;
    WaitFor(
        [&] {
          Read();
          const std::string fresh = out_.substr(from);
          std::smatch m;
          if (!std::regex_search(fresh, m, answer)) return false;
          shown = std::stoi(m[1]);
          return true;
        },
        5s);
    return shown;
  }
  std::string Output() { return Read(), out_; }

 private:
  void Read() {
    process_.waitForReadyRead(5);
    out_ += process_.readAllStandardOutput().toStdString();
  }
  std::string video_;
  QProcess process_;
  std::string out_;
};

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

// A deck playing from 60.0 s, stopped, jumped back to 30.0 s and played again, with the standard
// time code at a rate the video shares. While the deck plays the chaser rolls with it; where the
// positions stop, the stop's full frame puts it on the frame of the last position exactly.
TEST_F(SyncE2E, AnMtcChaserFollowsThePlayingDeckToTheFrameAndAJumpBack) {
  for (const int rate : {25, 2997}) {
    SCOPED_TRACE(rate);
    // A bridge of each row's own: one bridge is started once.
    QTemporaryDir run;
    Bridge own(run.path().toStdString());
    QDir().mkpath(run.path() + "/quillbox");
    std::ofstream(own.SettingsFile())
        << "[Software]\nQuillbox\\Device=0\nQuillbox\\MtcRate=" << rate << "\n";
    own.Start();
    ASSERT_TRUE(WaitFor([] { return PortTaken(10001); })) << own.Output();
    Chaser chaser(run.path().toStdString(), rate);
    ASSERT_TRUE(chaser.Connected()) << chaser.Output();
    const double fps = rate == 2997 ? 30000.0 / 1001.0 : rate;
    DatagramSender deck;
    // The frame a position in tenths shows at the rate, and the chaser's frame against the
    // deck's time as it reads (its own screen updates and the quarter frames' two-frame span
    // make it a few frames late or early, never more).
    const auto frame_of = [&](double seconds) { return static_cast<int>(seconds * fps); };
    for (const std::int32_t from : {600, 300}) {
      SCOPED_TRACE(from);
      int far_off = 0, readings = 0;
      const Clock::time_point start = Clock::now();
      std::int32_t tenths = from;
      for (; tenths < from + 30; ++tenths) {
        std::this_thread::sleep_until(start + (tenths - from) * 100ms);  // the deck's pace
        deck.Send(FloatMessage("/Traktor.Deck0.Seek", static_cast<float>(tenths)));
        if (tenths - from < 5) continue;  // the chaser locks on first
        const int shown = chaser.Position();
        const double deck_s =
            from / 10.0 + std::chrono::duration<double>(Clock::now() - start).count();
        ++readings;
        if (std::abs(shown - frame_of(deck_s)) > 4) {
          ++far_off;
          std::cerr << "deck " << deck_s << " s, chaser at frame " << shown << "\n";
        }
      }
      EXPECT_LE(far_off, readings / 10) << chaser.Output();
      const int last = frame_of((tenths - 1) / 10.0);
      EXPECT_TRUE(WaitFor([&] { return chaser.Position() == last; }, 5s))
          << "stopped at " << chaser.Position() << ", the deck at " << last << "\n"
          << chaser.Output();
    }
    EXPECT_EQ(own.Terminate(), 0) << own.Output();
    ASSERT_TRUE(WaitFor([] { return !PortTaken(10001); }));
  }
}
