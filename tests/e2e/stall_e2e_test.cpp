// Beats keep time whatever the desktop does. The real bridge on an X server of this test's own,
// with its debug view shown and a deck playing (50 seeks a second and a beat every 400 ms), while
// the display server stops answering for 1.5 s, or while the bridge's window thread is held for
// 2 s. Every beat reaches the JACK sink, and those sent during the stall within 20 ms of JACK's
// clock; with the sync outputs on, their streams run on at their pace through it.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QTemporaryDir>
#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <thread>

#include "tests/e2e/e2e_support.h"

using namespace e2e;
using Clock = std::chrono::steady_clock;

namespace {

const std::string kTitle = "brindle's quillbox";

// Traktor's left deck as it plays at 150 BPM: a seek every 20 ms (a tenth of a second further
// every fifth), a beat every 400 ms.
class Deck {
 public:
  ~Deck() {
    if (thread_.joinable()) thread_.join();
  }
  void Play(std::chrono::milliseconds length) {
    thread_ = std::thread([this, length] {
      const Clock::time_point start = Clock::now();
      int tick = 0;
      for (Clock::time_point at = start; at < start + length; at += 20ms, ++tick) {
        std::this_thread::sleep_until(at);  // the deck's pace, not a wait for the bridge
        if (tick % 20 == 0) {
          beats.push_back(Clock::now());
          Send(FloatMessage("/Traktor.Deck0.Beat", 1.0f));
        }
        Send(FloatMessage("/Traktor.Deck0.Seek", static_cast<float>(100 + tick / 5)));
      }
    });
  }
  void Wait() { thread_.join(); }
  std::vector<Clock::time_point> beats;  // when each beat left; read after Wait

 private:
  void Send(const std::string& d) { out_.Send(d); }
  DatagramSender out_;
  std::thread thread_;
};

class StallE2E : public ::testing::Test {
 protected:
  QTemporaryDir config;
  Bridge bridge{config.path().toStdString()};

  // The bridge with its window back from the notification area and "Debug" ticked.
  void StartWithDebugView(MidiSink& sink) {
    bridge.Start();
    ASSERT_TRUE(WaitFor([&] { return sink.ConnectFrom("quillbox"); })) << bridge.Output();
    ASSERT_TRUE(WaitFor([] { return PortTaken(10001); }));
    std::optional<unsigned long> w;
    ASSERT_TRUE(WaitFor([&] { return (w = FindWindow(kTitle, false)).has_value(); }));
    // Two seconds after start it leaves for the tray; it is brought back from there.
    ASSERT_TRUE(WaitFor([&] { return !IsViewable(*w); })) << bridge.Output();
    EnsureShown(*w);
    Click(*w, 14, 72);
    ASSERT_TRUE(WaitFor([&] { return OuterRect(*w).w == 700; })) << bridge.Output();
  }

  // The deck plays for 4 s; stall runs 1 s in, on this thread, and lasts as long as it takes.
  // Every beat reaches the sink; those sent while it lasted within 20 ms. With streams, the
  // beat clock and 25 fps quarter frames are on, and keep their spacing while it lasts.
  void PlayThrough(const std::function<void()>& stall, bool streams = false) {
    if (streams) {
      std::filesystem::create_directories(
          std::filesystem::path(bridge.SettingsFile()).parent_path());
      std::ofstream(bridge.SettingsFile())
          << "[Software]\nQuillbox\\Device=0\nQuillbox\\xpos=200\nQuillbox\\ypos=200\n"
             "Quillbox\\channel=1\nQuillbox\\MidiClock=1\nQuillbox\\MtcRate=25\n";
    }
    MidiSink sink;
    StartWithDebugView(sink);
    if (HasFatalFailure()) return;
    Deck deck;
    deck.Play(4s);
    std::this_thread::sleep_for(1s);
    const Clock::time_point from = Clock::now();
    stall();
    const Clock::time_point to = Clock::now();
    deck.Wait();
    const std::vector<Clock::time_point>& beats = deck.beats;
    auto is_beat = [](const MidiSink::Timed& t) { return t.hex == "80 7F 19"; };
    std::vector<MidiSink::Timed> seen;
    ASSERT_TRUE(WaitFor([&] {
      seen.clear();
      for (const auto& t : sink.TimedMessages())
        if (is_beat(t)) seen.push_back(t);
      return seen.size() >= beats.size();
    })) << seen.size()
        << " of " << beats.size() << " beats, " << sink.Xruns()
        << " late cycles of the JACK server\n"
        << bridge.Output();
    ASSERT_EQ(seen.size(), beats.size());
    int during = 0;
    for (std::size_t i = 0; i < beats.size(); ++i) {
      if (beats[i] < from || beats[i] > to) continue;
      ++during;
      SCOPED_TRACE(i);
      EXPECT_LT(seen[i].frame_at - beats[i], 20ms) << sink.Xruns() << " late cycles";
    }
    EXPECT_GE(during, 3);  // the stall lasted over three beats
    if (streams) {
      const auto timed = sink.TimedMessages();
      const int late = sink.Xruns();
      for (const auto& [prefix, spacing] :
           {std::pair<std::string, double>{"F8", 400.0 / 24}, {"F1", 10.0}}) {
        SCOPED_TRACE(prefix);
        std::vector<double> got;
        std::optional<Clock::time_point> last;
        for (const auto& t : timed) {
          if (t.hex.rfind(prefix, 0) != 0 || t.frame_at < from || t.frame_at > to) continue;
          if (last)
            got.push_back(std::chrono::duration<double, std::milli>(t.frame_at - *last).count());
          last = t.frame_at;
        }
        EXPECT_GE(got.size(), static_cast<std::size_t>(1000 / spacing)) << "in the stall";
        const auto off = std::count_if(
            got.begin(), got.end(), [&](double d) { return d < spacing / 2 || d > spacing * 2; });
        EXPECT_LE(off, late + 1) << got.size() << " spacings in the stall";
      }
    }
    EXPECT_EQ(bridge.Terminate(), 0) << bridge.Output();
  }
};

}  // namespace

TEST_F(StallE2E, BeatsKeepTimeWhileTheDisplayServerStopsAnswering) {
  const std::string xvfb = std::getenv("QB_X_STATE") + std::string("/xvfb.pid");
  const int pid = std::stoi(e2e::Run("cat", {xvfb}));
  PlayThrough([&] {
    ASSERT_EQ(kill(pid, SIGSTOP), 0);
    std::this_thread::sleep_for(1500ms);
    ASSERT_EQ(kill(pid, SIGCONT), 0);
  });
}

TEST_F(StallE2E, BeatsKeepTimeWhileTheWindowsThreadIsHeld) {
  PlayThrough([&] {
    ThreadHold hold(bridge.Pid());
    ASSERT_TRUE(hold.Held());
    std::this_thread::sleep_for(2s);
  });
}

TEST_F(StallE2E, StreamsKeepTimeWhileTheWindowsThreadIsHeld) {
  PlayThrough(
      [&] {
        ThreadHold hold(bridge.Pid());
        ASSERT_TRUE(hold.Held());
        std::this_thread::sleep_for(2s);
      },
      /*streams=*/true);
}
