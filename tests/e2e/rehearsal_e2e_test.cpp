// Rehearsal without the DJ software: a set recorded in oscdump's format, replayed into the
// bridge with liblo's oscsendfile (which sends each message as a one-message bundle), gives the
// MIDI the set's messages call for, byte for byte, at the JACK sink.
#include <gtest/gtest.h>

#include <QProcess>
#include <QTemporaryDir>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>

#include "tests/e2e/e2e_support.h"

using namespace e2e;

namespace {

struct Line {
  double at;  // seconds from the start of the recording
  std::string address;
  float value;
};

// What Traktor sends while a set plays: the crossfader, and for each deck its position
// (tenths of a second) ten times a second and, when beats are wanted, a beat at 128 BPM. Deck 1
// starts 40 s into its track; the crossfader goes over to it halfway.
std::vector<Line> Set(double seconds, bool beats) {
  std::vector<Line> set = {{0.0, "/Traktor.XFader", 0.0f}};
  for (int tick = 0; tick < seconds * 10; ++tick) {
    const double at = tick / 10.0;
    if (tick == static_cast<int>(seconds * 5)) set.push_back({at, "/Traktor.XFader", 1.0f});
    set.push_back({at + 0.01, "/Traktor.Deck0.Seek", static_cast<float>(tick)});
    set.push_back({at + 0.02, "/Traktor.Deck1.Seek", static_cast<float>(400 + tick)});
  }
  if (beats)
    for (double at = 0.05; at < seconds; at += 60.0 / 128) {
      set.push_back({at, "/Traktor.Deck0.Beat", 1.0f});
      set.push_back({at + 0.03, "/Traktor.Deck1.Beat", 1.0f});
    }
  std::stable_sort(set.begin(), set.end(),
                   [](const Line& a, const Line& b) { return a.at < b.at; });
  return set;
}

// oscdump's lines: an NTP time tag in hex, the address, the type tags and the arguments.
std::string Dump(const std::vector<Line>& set) {
  std::string text;
  char buf[128];
  for (const Line& l : set) {
    const double t = 3'900'000'000.0 + l.at;
    std::snprintf(buf, sizeof buf, "%08x.%08x %s f %f\n", static_cast<unsigned>(std::floor(t)),
                  static_cast<unsigned>((t - std::floor(t)) * 4294967296.0), l.address.c_str(),
                  l.value);
    text += buf;
  }
  return text;
}

// The MIDI the set calls for on the default channel: every beat and position of the live deck.
std::vector<std::string> Expected(const std::vector<Line>& set) {
  std::vector<std::string> midi;
  int live = 0;
  char buf[64];
  for (const Line& l : set) {
    if (l.address == "/Traktor.XFader") live = l.value > 0.5f ? 1 : 0;
    if (l.address == "/Traktor.Deck" + std::to_string(live) + ".Beat") midi.push_back("80 7F 19");
    if (l.address == "/Traktor.Deck" + std::to_string(live) + ".Seek") {
      const int p = static_cast<int>(l.value);
      std::snprintf(buf, sizeof buf, "F0 7F 01 01 01 00 %02X %02X %02X F7", p / 600, p / 10 % 60,
                    p % 10 * 10);
      midi.push_back(buf);
    }
  }
  return midi;
}

// Records the set as oscdump hears it on a port of its own, sent by the test as the DJ software
// would, divided in time by speedup; returns the recording's path (empty if oscdump failed).
std::string Record(const std::vector<Line>& set, double speedup, const QString& dir) {
  constexpr int kPort = 10002;
  const QString file = dir + "/recorded.txt";
  QProcess dump;
  dump.setStandardOutputFile(file);
  dump.start("oscdump", {"-L", QString::number(kPort)});
  if (!dump.waitForStarted() || !WaitFor([] { return PortTaken(kPort); })) return {};
  DatagramSender sender;
  const auto start = std::chrono::steady_clock::now();
  for (const Line& l : set) {
    std::this_thread::sleep_until(start + std::chrono::duration_cast<std::chrono::nanoseconds>(
                                              std::chrono::duration<double>(l.at / speedup)));
    sender.Send(FloatMessage(l.address, l.value), kPort);
  }
  // -L flushes every line: all of them are in the file once it has as many as were sent.
  WaitFor([&] {
    std::ifstream in(file.toStdString());
    return std::count(std::istreambuf_iterator<char>(in), {}, '\n') >=
           static_cast<std::ptrdiff_t>(set.size());
  });
  dump.terminate();
  dump.waitForFinished();
  return file.toStdString();
}

}  // namespace

TEST(RehearsalE2E, ARecordedSetReplayedWithOscsendfileGivesItsMidiByteForByte) {
  struct Row {
    const char* name;
    double seconds;
    bool beats;
    // oscsendfile's speed. Beats closer than the bridge's 333 ms beat gate are one beat, so a
    // set with beats is replayed at its own speed (469 ms apart); positions alone go faster.
    const char* speed;
    // 0: the set's file is written in oscdump's format; else oscdump records it, sent this many
    // times as fast as the set runs.
    double recorded_at = 0;
  };
  const Row rows[] = {
      {"a minute of positions, ten times as fast", 60, false, "10"},
      {"beats and positions, as recorded", 12, true, "1"},
      {"a minute recorded by oscdump, ten times as fast, replayed as recorded", 60, false, "1", 10},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    QTemporaryDir dir;
    const std::vector<Line> set = Set(row.seconds, row.beats);
    std::string file = dir.path().toStdString() + "/set.txt";
    if (row.recorded_at > 0) {
      file = Record(set, row.recorded_at, dir.path());
      ASSERT_FALSE(file.empty()) << "oscdump did not start";
    } else {
      std::ofstream(file) << Dump(set);
    }
    const std::vector<std::string> expected = Expected(set);

    MidiSink sink;
    Bridge bridge(dir.path().toStdString());
    bridge.Start(/*with_display=*/false);
    ASSERT_TRUE(WaitFor([] { return PortTaken(10001); })) << bridge.Output();
    ASSERT_TRUE(WaitFor([&] { return sink.ConnectFrom("quillbox"); })) << bridge.Output();

    int status = -1;
    const auto started = std::chrono::steady_clock::now();
    e2e::Run("oscsendfile", {"127.0.0.1", "10001", file, row.speed}, &status, 60s);
    const auto took = std::chrono::steady_clock::now() - started;
    ASSERT_EQ(status, 0);
    std::printf("%s: %zu messages replayed in %lld ms\n", row.name, set.size(),
                static_cast<long long>(
                    std::chrono::duration_cast<std::chrono::milliseconds>(took).count()));

    WaitFor([&] { return sink.Messages().size() >= expected.size(); }, 10s);
    EXPECT_EQ(sink.Messages(), expected) << "late cycles at the sink: " << sink.Xruns();
    EXPECT_EQ(bridge.Terminate(), 0) << bridge.Output();
  }
}
