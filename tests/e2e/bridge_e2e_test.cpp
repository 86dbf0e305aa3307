// The real quillbox binary on a real desktop (Xvfb + icewm), with a real JACK MIDI sink and a
// real OSC client.
#include <gtest/gtest.h>
#include <signal.h>

#include <QDir>
#include <QTemporaryDir>
#include <cstdlib>
#include <fstream>

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
  Rect outer = OuterRect(w);
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
