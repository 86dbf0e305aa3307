// The real quillbox binary on a real desktop (Xvfb + icewm), with a real JACK MIDI sink and a
// real OSC client.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QDir>
#include <QTemporaryDir>
#include <cstdlib>
#include <fstream>
#include <thread>

#include "tests/e2e/e2e_support.h"

using namespace e2e;

namespace {

const std::string kTitle = "brindle's quillbox";

class BridgeE2E : public ::testing::Test {
 protected:
  QTemporaryDir config;
  Bridge bridge{config.path().toStdString()};

  unsigned long WaitForWindow() {
    std::optional<unsigned long> w;
    EXPECT_TRUE(WaitFor([&] { return (w = FindWindow(kTitle)).has_value(); })) << bridge.Output();
    return w.value_or(0);
  }
  void WriteSettings(const std::string& body) {
    QDir().mkpath(config.path() + "/quillbox");
    std::ofstream(bridge.SettingsFile()) << "[Software]\n" << body;
  }
};

}  // namespace

TEST_F(BridgeE2E, FirstRunShowsCompactWindowAtStoredPositionAndListens) {
  bridge.Start();
  unsigned long w = WaitForWindow();
  ASSERT_NE(w, 0u);
  // The frame's size is known once the window manager has framed the window, and the window's
  // own size follows it then: the window is measured once it has settled.
  Rect outer;
  WaitFor(
      [&] {
        outer = OuterRect(w);
        return outer.w == 165 && outer.h == 120;
      },
      5s);
  Screenshot("main-window", w);
  EXPECT_EQ(outer.x, 262);
  EXPECT_EQ(outer.y, 172);
  EXPECT_EQ(outer.w, 165);
  EXPECT_EQ(outer.h, 120);
  EXPECT_TRUE(WaitFor([] { return PortTaken(10001); })) << bridge.Output();
  EXPECT_EQ(bridge.Terminate(), 0);
  EXPECT_FALSE(PortTaken(10001));
}

// Menus and docks match the window to its desktop entry by the class in WM_CLASS.
TEST_F(BridgeE2E, WindowClassIsTheDesktopEntrysStartupWMClass) {
  std::ifstream entry(std::getenv("QB_DESKTOP_FILE"));
  std::string line, startup_class;
  while (std::getline(entry, line))
    if (line.rfind("StartupWMClass=", 0) == 0) startup_class = line.substr(15);
  ASSERT_FALSE(startup_class.empty());

  bridge.Start();
  unsigned long w = WaitForWindow();
  ASSERT_NE(w, 0u);
  // WM_CLASS(STRING) = "instance", "class"
  const std::string wm_class = X("xprop", {"-id", std::to_string(w), "WM_CLASS"});
  const auto comma = wm_class.find("\", \"");
  ASSERT_NE(comma, std::string::npos) << wm_class;
  const std::string cls = wm_class.substr(comma + 4, wm_class.rfind('"') - comma - 4);
  EXPECT_EQ(cls, startup_class) << wm_class;
}

TEST_F(BridgeE2E, CloseThroughWindowManagerWritesSettingsAndSecondStartRestoresThem) {
  WriteSettings(
      "Quillbox\\Device=0\nQuillbox\\xpos=50\nQuillbox\\ypos=300\nQuillbox\\channel=17\n");
  bridge.Start();
  unsigned long w = WaitForWindow();
  ASSERT_NE(w, 0u);
  Rect outer = OuterRect(w);
  EXPECT_EQ(outer.x, 300);
  EXPECT_EQ(outer.y, 50);
  // The user closes the window with the window manager's close key.
  EnsureShown(w);
  X("xdotool", {"windowactivate", "--sync", std::to_string(w)});
  X("xdotool", {"key", "--window", std::to_string(w), "alt+F4"});
  ASSERT_TRUE(bridge.WaitExit()) << bridge.Output();
  std::string ini = bridge.Settings();
  EXPECT_NE(ini.find("xpos=50"), std::string::npos) << ini;
  EXPECT_NE(ini.find("ypos=300"), std::string::npos) << ini;
  EXPECT_NE(ini.find("channel=17"), std::string::npos) << ini;

  // The next start puts the window where it was.
  Bridge second(config.path().toStdString());
  second.Start();
  std::optional<unsigned long> again;
  ASSERT_TRUE(WaitFor([&] { return (again = FindWindow(kTitle)).has_value(); })) << second.Output();
  const Rect restored = OuterRect(*again);
  EXPECT_EQ(restored.x, 300);
  EXPECT_EQ(restored.y, 50);
  EXPECT_EQ(second.Terminate(), 0) << second.Output();
}

TEST_F(BridgeE2E, StoredChannelSelectsTheBeatStatusAtTheSink) {
  WriteSettings(
      "Quillbox\\Device=0\nQuillbox\\xpos=50\nQuillbox\\ypos=300\nQuillbox\\channel=17\n");
  MidiSink sink;
  bridge.Start();
  ASSERT_TRUE(WaitFor([&] { return sink.ConnectFrom("quillbox"); })) << bridge.Output();
  ASSERT_TRUE(WaitFor([] { return PortTaken(10001); }));
  OscSend("127.0.0.1", 10001, "/Traktor.Deck0.Beat", "f", {"1.0"});
  EXPECT_TRUE(sink.WaitForMessage("90 7F 19")) << bridge.Output();
}

TEST_F(BridgeE2E, BeatSeekAndProbeReachTheirPeers) {
  MidiSink sink;
  bridge.Start();
  ASSERT_TRUE(WaitFor([&] { return sink.ConnectFrom("quillbox"); })) << bridge.Output();
  ASSERT_TRUE(WaitFor([] { return PortTaken(10001); }));

  OscSend("127.0.0.1", 10001, "/Traktor.Deck0.Beat", "f", {"1.0"});
  EXPECT_TRUE(sink.WaitForMessage("80 7F 19")) << bridge.Output();

  OscSend("127.0.0.1", 10001, "/Traktor.XFader", "f", {"0.75"});
  OscSend("127.0.0.1", 10001, "/Traktor.Deck1.Seek", "f", {"1234.5"});
  EXPECT_TRUE(sink.WaitForMessage("F0 7F 01 01 01 00 02 03 28 F7")) << bridge.Output();

  // The probe's answer goes to the sender's address, port 10000, from port 10001.
  const auto [reply, from_port] = ProbeReply();
  EXPECT_EQ(reply, kPong) << bridge.Output();
  EXPECT_EQ(from_port, 10001);
}

TEST_F(BridgeE2E, WithoutDisplayTheBridgeStillAnswersProbesAndEndsOnSigint) {
  bridge.Start(/*with_display=*/false);
  ASSERT_TRUE(WaitFor([] { return PortTaken(10001); })) << bridge.Output();
  EXPECT_EQ(ProbeReply().first.size(), 25u) << bridge.Output();
  kill(bridge.Pid(), SIGINT);
  ASSERT_TRUE(bridge.WaitExit()) << bridge.Output();
  EXPECT_NE(bridge.Settings().find("channel=1"), std::string::npos);
}

namespace {

// A UDP socket on 127.0.0.1 (port 0: an ephemeral one), non-blocking.
class Udp {
 public:
  explicit Udp(uint16_t port = 0) {
    fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) close(fd_), fd_ = -1;
  }
  ~Udp() {
    if (fd_ >= 0) close(fd_);
  }
  bool ok() const { return fd_ >= 0; }
  // False when the socket's send buffer is full (the datagram is not sent).
  bool SendTo(const std::string& bytes, uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a) ==
           static_cast<ssize_t>(bytes.size());
  }
  // Datagrams queued now, with their lengths.
  std::vector<size_t> Drain() {
    std::vector<size_t> sizes;
    char buf[256];
    for (ssize_t n; (n = recv(fd_, buf, sizeof buf, 0)) >= 0;) sizes.push_back(size_t(n));
    return sizes;
  }

 private:
  int fd_ = -1;
};

std::string IntMessage(const std::string& address, int32_t value) {
  std::string s = address;
  s.push_back('\0');
  while (s.size() % 4) s.push_back('\0');
  s += std::string(",i\0\0", 4);
  for (int i = 0; i < 4; ++i)
    s.push_back(static_cast<char>(static_cast<uint32_t>(value) >> (24 - 8 * i)));
  return s;
}

}  // namespace

// One host floods the bridge with probes, 3,000 a second for 3 s, from one socket, and
// sends a beat every 450 ms in between. Each beat reaches the JACK sink within 100 ms (a probe
// that paused the bridge for its reply's 20 ms held each one up for seconds), and the host gets
// 50 replies a second at most.
TEST_F(BridgeE2E, ProbeFloodFromOneHostHoldsUpNoBeat) {
  using Clock = std::chrono::steady_clock;
  Udp replies(10000);
  ASSERT_TRUE(replies.ok()) << "UDP port 10000 is in use";
  Udp host;
  ASSERT_TRUE(host.ok());
  MidiSink sink;
  bridge.Start();
  ASSERT_TRUE(WaitFor([&] { return sink.ConnectFrom("quillbox"); })) << bridge.Output();
  ASSERT_TRUE(WaitFor([] { return PortTaken(10001); }));

  const std::string probe("/__PING\0,\0\0\0", 12);
  std::vector<Clock::time_point> beats;
  size_t answered = 0;
  const Clock::time_point start = Clock::now();
  Clock::time_point next_beat = start + 200ms;
  for (Clock::time_point tick = start; tick < start + 3s; tick += 1ms) {
    std::this_thread::sleep_until(tick);  // the flood's pace, not a wait for the bridge
    for (int i = 0; i < 3; ++i) host.SendTo(probe, 10001);
    if (Clock::now() >= next_beat) {
      ASSERT_TRUE(host.SendTo(IntMessage("/VirtualDJ/Phase", 1000), 10001));
      ASSERT_TRUE(host.SendTo(IntMessage("/VirtualDJ/Phase", 0), 10001));  // falls back: a beat
      beats.push_back(Clock::now());
      next_beat += 450ms;
    }
    answered += replies.Drain().size();
  }
  const auto flood = Clock::now() - start;
  ASSERT_TRUE(WaitFor([&] { return sink.Messages().size() >= beats.size(); }, 20s))
      << sink.Messages().size() << " of " << beats.size() << " beats, " << sink.Xruns()
      << " late cycles of the JACK server\n"
      << bridge.Output() << e2e::Run("cat", {"/proc/net/snmp"});
  const auto seen = sink.TimedMessages();
  ASSERT_EQ(seen.size(), beats.size());
  for (size_t i = 0; i < beats.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(seen[i].hex, "80 7F 19");
    EXPECT_LT(seen[i].frame_at - beats[i], 100ms) << sink.Xruns() << " late cycles";
  }
  // The last replies leave 20 ms after their probes.
  ASSERT_TRUE(WaitFor([&] { return (answered += replies.Drain().size()) > 0; }));
  EXPECT_LE(
      answered,
      size_t(1 + 50 * std::chrono::duration_cast<std::chrono::milliseconds>(flood + 100ms).count() /
                     1000));
  EXPECT_TRUE(bridge.Running()) << bridge.Output();
}
