// The MIDI port over the real RtMidi service and a JACK server (started by the "jack" test
// fixture), with jack_midi_dump as the sink that receives what the bridge sends.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QProcess>
#include <QStringList>
#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "midi/backends.h"
#include "midi/midiout.h"
#include "platform/steadyclock.h"
#include "tests/common/testsupport.h"
#include "tests/e2e/e2e_support.h"

using namespace qb;
using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

namespace {

const Bytes kTimeCode = {0xF0, 0x7F, 0x01, 0x01, 0x01, 0x00, 0x02, 0x03, 0x28, 0xF7};

// jack_midi_dump under a client name of its own; each event is one line "time: hex bytes ...".
class Sink {
 public:
  Sink() : client_("quillbox-sink-" + std::to_string(getpid())) {
    process_.start("stdbuf", {"-oL", "jack_midi_dump", QString::fromStdString(client_)});
  }
  ~Sink() { Stop(); }
  void Stop() {
    if (process_.state() == QProcess::NotRunning) return;
    process_.terminate();
    if (!process_.waitForFinished(5000)) process_.kill();
    process_.waitForFinished(5000);
  }
  bool Started() { return process_.waitForStarted(10000); }
  std::string Port() const { return client_ + ":input"; }

  // Messages from now on only.
  void Forget() { skip_ = AllMessages().size(); }
  std::vector<Bytes> Messages() {
    auto all = AllMessages();
    return std::vector<Bytes>(all.begin() + static_cast<std::ptrdiff_t>(skip_), all.end());
  }
  bool SawActiveSensing() {
    auto all = AllMessages(true);
    return std::find(all.begin(), all.end(), Bytes{0xFE}) != all.end();
  }
  bool Received(const Bytes& m) {
    auto all = Messages();
    return std::find(all.begin(), all.end(), m) != all.end();
  }

 private:
  // Complete lines only; active sensing belongs to the handshake (late copies of it may still
  // arrive after Forget) and is left out.
  std::vector<Bytes> AllMessages(bool with_sensing = false) {
    text_ += process_.readAllStandardOutput().toStdString();
    std::vector<Bytes> list;
    std::istringstream lines(text_.substr(0, text_.rfind('\n') + 1));
    std::string line;
    while (std::getline(lines, line)) {
      auto colon = line.find(':');
      if (colon == std::string::npos) continue;
      std::istringstream words(line.substr(colon + 1));
      std::string w;
      Bytes bytes;
      while (words >> w && w.size() == 2 && std::isxdigit(static_cast<unsigned char>(w[0])) &&
             std::isxdigit(static_cast<unsigned char>(w[1]))) {
        bytes.push_back(static_cast<std::uint8_t>(std::stoul(w, nullptr, 16)));
      }
      if (!bytes.empty() && (with_sensing || bytes != Bytes{0xFE})) list.push_back(bytes);
    }
    return list;
  }

  std::size_t skip_ = 0;
  std::string client_;
  QProcess process_;
  std::string text_;
};

std::vector<std::string> DeviceNames(MidiService& service) {
  std::vector<std::string> names;
  const auto n = static_cast<std::int32_t>(service.GetNumDevs());
  for (std::int32_t i = 0; i < n; ++i) {
    MIDIOUTCAPS caps{};
    if (service.GetDevCaps(i, caps) == 0) names.emplace_back(caps.szPname);
  }
  return names;
}

class MidiJack : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(std::getenv("JACK_DEFAULT_SERVER"), nullptr) << "run under the jack fixture";
    ASSERT_TRUE(sink.Started());
    std::vector<std::unique_ptr<detail::DeviceProvider>> providers;
    providers.push_back(detail::CreateAlsaProvider());
    providers.push_back(detail::CreateJackProvider());
    providers.push_back(detail::CreateMonitorProvider(stdout));
    service = std::make_unique<detail::SessionMidiService>(std::move(providers));
    SetMidiService(service.get());
    // The sink's port is there once the sink has registered with the server.
    ASSERT_TRUE(qbtest::PumpUntil([&] { return Index(sink.Port()) >= 0; }, 20s))
        << "sink port " << sink.Port() << " never appeared";
  }
  // The sink's port is listed before the sink runs, and a fresh connection carries data only
  // from a later server cycle: send active sensing until the sink shows it, then forget it.
  bool Handshake(TMidiOutput& port) {
    bool ok = qbtest::PumpUntil(
        [&] {
          port.SendShortMessage(0xFE, 0, 0);
          return qbtest::PumpUntil([&] { return sink.SawActiveSensing(); }, 50ms);
        },
        20s);
    sink.Forget();
    return ok;
  }
  // Our own port, connected to a sink that takes each message's frame, with a message through.
  static void OpenToFrames(TMidiOutput& port, e2e::MidiSink& frames) {
    port.SetProductName("quillbox");
    ASSERT_TRUE(qbtest::PumpUntil([&] { return port.Open(); }));
    ASSERT_TRUE(qbtest::PumpUntil([&] { return frames.ConnectFrom("quillbox"); }));
    ASSERT_TRUE(qbtest::PumpUntil([&] {
      port.SendShortMessage(0xFE, 0, 0);
      return e2e::WaitFor([&] { return !frames.Messages().empty(); }, 50ms);
    }));
  }
  // Runs send until one run met neither a late cycle of the server nor a late wake-up of the
  // sender (send tells that), then gives check the count messages of those kinds that run
  // brought: such a run measures the placing, not the machine.
  void OnAQuietRun(e2e::MidiSink& frames, std::size_t count, std::set<std::string> kinds,
                   const std::function<bool()>& send,
                   const std::function<void(const std::vector<e2e::MidiSink::Timed>&)>& check) {
    int measured = 0;
    std::size_t seen = 0;
    for (int attempt = 0; attempt < 8 && measured == 0; ++attempt) {
      SCOPED_TRACE(attempt);
      const int xruns = frames.Xruns();
      const bool late = send();
      std::vector<e2e::MidiSink::Timed> got;
      const bool all = e2e::WaitFor(
          [&] {
            got.clear();
            std::size_t n = 0;
            for (const auto& t : frames.TimedMessages())
              if (kinds.count(t.hex) && n++ >= seen) got.push_back(t);
            return got.size() >= count;
          },
          5s);
      seen += got.size();
      // A cycle the server ran late may lose what it carried; without one, nothing is lost.
      if (!all && frames.Xruns() != xruns) continue;
      ASSERT_TRUE(all) << got.size() << " of " << count << ", no late cycles";
      if (late || frames.Xruns() != xruns) continue;
      ++measured;
      check(got);
    }
    EXPECT_EQ(measured, 1) << "every run met a late cycle or a late wake-up";
  }
  static double UsBetween(const e2e::MidiSink::Timed& from, const e2e::MidiSink::Timed& to) {
    return std::chrono::duration<double, std::micro>(to.frame_at - from.frame_at).count();
  }
  static constexpr double kFrameUs = 1e6 / 48000;
  void SinkRuns() {
    TMidiOutput port(nullptr);
    port.SetProductName(sink.Port());
    ASSERT_TRUE(qbtest::PumpUntil([&] { return port.Open(); }));
    ASSERT_TRUE(Handshake(port)) << "the sink never received anything";
    ASSERT_TRUE(port.Close());
  }
  void TearDown() override {
    SetMidiService(nullptr);
    service.reset();
  }
  int Index(const std::string& name) {
    auto names = DeviceNames(*service);
    auto it = std::find(names.begin(), names.end(), name);
    return it == names.end() ? -1 : static_cast<int>(it - names.begin());
  }

  Sink sink;
  std::unique_ptr<MidiService> service;
};

}  // namespace

TEST_F(MidiJack, DeviceListStartsWithTheVirtualPortAndHoldsTheSink) {
  auto names = DeviceNames(*service);
  ASSERT_GE(names.size(), 3u);
  EXPECT_EQ(names.front(), "quillbox");
  EXPECT_EQ(names.back(), "quillbox monitor (stdout)");
  EXPECT_GT(Index(sink.Port()), 0);
  std::string all;
  for (auto& n : names) all += n + "\n";
  std::cout << "devices:\n" << all;
}

TEST_F(MidiJack, MessagesArriveAtTheSinkByteForByte) {
  TMidiOutput port(nullptr);
  int events = 0;
  port.Onmidioutput = [&](TObject*) { ++events; };
  port.SetProductName(sink.Port());
  EXPECT_EQ(port.DeviceID(), Index(sink.Port()));
  // The sink's port is listed before the sink is active, and only then takes connections.
  ASSERT_TRUE(qbtest::PumpUntil([&] { return port.Open(); }))
      << port.ResultText(static_cast<std::uint16_t>(port.LastResult()));
  // The server may take its time to carry a fresh connection when the machine is loaded.
  ASSERT_TRUE(Handshake(port)) << "the sink never received anything";

  port.SendShortMessage(0x90, 0x3C, 0x64);
  ASSERT_TRUE(qbtest::PumpUntil([&] { return sink.Received({0x90, 0x3C, 0x64}); }));
  port.SendLongMessage(kTimeCode.data(), static_cast<std::uint16_t>(kTimeCode.size()));
  ASSERT_TRUE(qbtest::PumpUntil([&] { return sink.Received(kTimeCode) && events == 1; }));
  port.SendShortMessage(0xF8, 0x12, 0x34);
  ASSERT_TRUE(qbtest::PumpUntil([&] { return sink.Received({0xF8}); }));
  port.SendLongMessage(kTimeCode.data(), static_cast<std::uint16_t>(kTimeCode.size()));
  // Done means handed to the MIDI system; the sink gets it on a later cycle of the server.
  ASSERT_TRUE(qbtest::PumpUntil([&] { return events == 2 && sink.Messages().size() == 4; }));
  EXPECT_TRUE(port.Close());

  auto got = sink.Messages();
  const std::vector<Bytes> expected = {{0x90, 0x3C, 0x64}, kTimeCode, {0xF8}, kTimeCode};
  EXPECT_EQ(got, expected);
  EXPECT_EQ(events, 2);
  EXPECT_EQ(port.PendingLongMessages(), 0u);
}

TEST_F(MidiJack, VirtualPortReachesASinkConnectedToIt) {
  TMidiOutput port(nullptr);
  int events = 0;
  port.Onmidioutput = [&](TObject*) { ++events; };
  port.SetDeviceID(-1);
  EXPECT_EQ(port.ProductName(), "quillbox");
  ASSERT_TRUE(port.Open()) << port.ResultText(static_cast<std::uint16_t>(port.LastResult()));
  // The user's patchbay: connect the bridge's own port to the sink.
  ASSERT_EQ(
      QProcess::execute("jack_connect", {"quillbox:quillbox", QString::fromStdString(sink.Port())}),
      0);
  ASSERT_TRUE(Handshake(port));
  port.SendShortMessage(0x90, 0x3C, 0x64);
  port.SendLongMessage(kTimeCode.data(), static_cast<std::uint16_t>(kTimeCode.size()));
  ASSERT_TRUE(qbtest::PumpUntil([&] { return sink.Messages().size() == 2 && events == 1; }));
  EXPECT_TRUE(port.Close());
  EXPECT_EQ(sink.Messages(), (std::vector<Bytes>{{0x90, 0x3C, 0x64}, kTimeCode}));
}

// The tray's count: our own port's connections as the patchbay makes and ends them, and the one
// to the sink for a device that is the sink's port; a closed port has none to count.
TEST_F(MidiJack, ConnectionsAreCountedAsThePatchbayMakesThem) {
  TMidiOutput port(nullptr);
  port.SetDeviceID(-1);
  ASSERT_EQ(port.ProductName(), "quillbox");
  ASSERT_TRUE(port.Open()) << port.ResultText(static_cast<std::uint16_t>(port.LastResult()));
  EXPECT_FALSE(port.DeviceGone());
  EXPECT_EQ(port.Connections(), 0);
  const QString mine = QStringLiteral("quillbox:quillbox");
  ASSERT_EQ(QProcess::execute("jack_connect", {mine, QString::fromStdString(sink.Port())}), 0);
  EXPECT_TRUE(qbtest::PumpUntil([&] { return port.Connections() == 1; }, 5s)) << port.Connections();
  {
    e2e::MidiSink second(std::getenv("JACK_DEFAULT_SERVER"));
    ASSERT_TRUE(second.ConnectFrom("quillbox:quillbox"));
    EXPECT_TRUE(qbtest::PumpUntil([&] { return port.Connections() == 2; }, 5s))
        << port.Connections();
  }
  EXPECT_TRUE(qbtest::PumpUntil([&] { return port.Connections() == 1; }, 5s)) << port.Connections();
  ASSERT_EQ(QProcess::execute("jack_disconnect", {mine, QString::fromStdString(sink.Port())}), 0);
  EXPECT_TRUE(qbtest::PumpUntil([&] { return port.Connections() == 0; }, 5s)) << port.Connections();
  EXPECT_TRUE(port.Close());
  EXPECT_EQ(port.Connections(), -1);
  EXPECT_TRUE(port.DeviceGone());

  TMidiOutput to_sink(nullptr);
  to_sink.SetProductName(sink.Port());
  ASSERT_TRUE(qbtest::PumpUntil([&] { return to_sink.Open(); }));
  EXPECT_TRUE(qbtest::PumpUntil([&] { return to_sink.Connections() == 1; }, 5s))
      << to_sink.Connections();
  EXPECT_TRUE(to_sink.Close());
}

TEST_F(MidiJack, SinkThatLeavesAfterTheCountCannotBeOpened) {
  TMidiOutput port(nullptr);
  port.SetProductName(sink.Port());
  const std::string gone = sink.Port();
  sink.Stop();
  ASSERT_TRUE(qbtest::PumpUntil([&] { return Index(gone) < 0; }, 20s));
  EXPECT_FALSE(port.Open());
  EXPECT_NE(port.LastResult(), 0u);
  EXPECT_FALSE(port.IsOpen());
  EXPECT_EQ(port.CallbackBlock(), nullptr);
}

// Timed messages leave in the cycle that holds their time, at its frame: the spacing JACK's
// clock shows at the sink is the spacing asked for, to a frame, whenever the sender ran.
TEST_F(MidiJack, TimedMessagesLeaveAtTheFramesOfTheirTimes) {
  e2e::MidiSink frames(std::getenv("JACK_DEFAULT_SERVER"));
  TMidiOutput port(nullptr);
  OpenToFrames(port, frames);
  if (HasFatalFailure()) return;
  const std::int64_t lead = port.LeadUs();
  ASSERT_GT(lead, 0);  // the device places messages in time

  // A period of 1,999 us lands on every phase of the 20.8 us frame and 5.3 ms cycle.
  constexpr std::size_t kCount = 300;
  constexpr std::int64_t kPeriodUs = 1999;
  const std::uint8_t clock = 0xF8;
  const auto send = [&] {
    bool late = false;
    const std::int64_t first = qb::SteadyNowUs() + 50000;
    for (std::int64_t i = 0; i < static_cast<std::int64_t>(kCount); ++i) {
      const std::int64_t due = first + i * kPeriodUs;
      // Handed over anywhere within the lead, as a loop that wakes late would.
      const std::int64_t hand_over = due - lead + (i * 7919) % (lead / 2);
      std::this_thread::sleep_until(
          std::chrono::steady_clock::time_point(std::chrono::microseconds(hand_over)));
      if (qb::SteadyNowUs() > due - lead / 2 + 1000) late = true;  // its cycle may have begun
      port.SendTimed(&clock, 1, due);
    }
    return late;
  };
  const auto check = [&](const std::vector<e2e::MidiSink::Timed>& got) {
    double worst = 0;
    for (std::size_t i = 1; i < kCount; ++i)
      worst = std::max(worst, std::abs(UsBetween(got[i - 1], got[i]) - kPeriodUs));
    // A frame from rounding each end, and JACK's clock filter's own wander within a run.
    EXPECT_LE(worst, kFrameUs + 2.0);
  };
  OnAQuietRun(frames, kCount, {"F8"}, send, check);
  EXPECT_TRUE(port.Close());
}

// A stream that starts or re-locks hands its first message over behind another stream's,
// already handed ahead up to the lead: each still leaves at its own frame, the earlier first.
TEST_F(MidiJack, TimedMessagesHandedOverOutOfOrderLeaveAtTheirOwnFrames) {
  e2e::MidiSink frames(std::getenv("JACK_DEFAULT_SERVER"));
  TMidiOutput port(nullptr);
  OpenToFrames(port, frames);
  if (HasFatalFailure()) return;
  const std::int64_t lead = port.LeadUs();
  ASSERT_GT(lead, 4000);
  constexpr std::size_t kPairs = 20;
  const std::uint8_t later = 0xFA, earlier = 0xFB;
  std::vector<std::int64_t> apart;  // each pair's earlier due time less its later one's
  const auto send = [&] {
    bool late = false;
    apart.clear();
    auto pace = std::chrono::steady_clock::now();
    for (std::size_t i = 0; i < kPairs; ++i, pace += 30ms) {
      std::this_thread::sleep_until(pace);  // the streams' pace, not a wait for the port
      const std::int64_t now = qb::SteadyNowUs();
      const std::int64_t a = now + lead - 1000, b = now + lead / 2;
      port.SendTimed(&later, 1, a);
      port.SendTimed(&earlier, 1, b);
      if (qb::SteadyNowUs() > now + 1000) late = true;
      apart.push_back(b - a);
    }
    return late;
  };
  const auto check = [&](const std::vector<e2e::MidiSink::Timed>& got) {
    for (std::size_t i = 0; i < kPairs; ++i) {
      SCOPED_TRACE(i);
      const auto& first = got[2 * i];
      const auto& second = got[2 * i + 1];
      EXPECT_EQ(first.hex, "FB");
      EXPECT_EQ(second.hex, "FA");
      EXPECT_NEAR(UsBetween(second, first), static_cast<double>(apart[i]), kFrameUs + 2.0);
    }
  };
  OnAQuietRun(frames, 2 * kPairs, {"FA", "FB"}, send, check);
  EXPECT_TRUE(port.Close());
}
