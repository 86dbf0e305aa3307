// quillbox on PipeWire in place of a JACK server: pipewire and wireplumber started for the test
// (pipewire-fixture.sh, no systemd), the bridge and the sink both on pipewire-jack's libjack.
// A case that stops and restarts the audio system runs the fixture script named in
// QB_PW_FIXTURE with "stop" and "start" on QB_PW_STATE, as the tray tests restart icewm; the
// bus and the runtime folder outlive the restart.
#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>

#include "tests/e2e/e2e_support.h"

using namespace e2e;

namespace {

class PipeWireE2E : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    // Every PipeWire client of this process and of the bridge finds the server here.
    std::ifstream f(std::string(std::getenv("QB_PW_STATE")) + "/runtime");
    std::string runtime;
    std::getline(f, runtime);
    setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
  }
  void SetUp() override { bridge.SetEnv("XDG_RUNTIME_DIR", std::getenv("XDG_RUNTIME_DIR")); }

  QTemporaryDir config;
  Bridge bridge{config.path().toStdString()};
};

// The output ports of PipeWire's graph, as its own tool lists them.
std::vector<std::string> GraphOutputs() {
  std::istringstream out(Run("pw-link", {"--output"}));
  std::vector<std::string> ports;
  for (std::string line; std::getline(out, line);) ports.push_back(line);
  return ports;
}

bool InGraph(const std::string& port) {
  for (const std::string& p : GraphOutputs())
    if (p == port) return true;
  return false;
}

}  // namespace

TEST_F(PipeWireE2E, PipeWireHasTheBridgesPortAndBeatsAndTimeCodeReachASinkByteForByte) {
  MidiSink sink;
  bridge.Start(/*with_display=*/false);
  ASSERT_TRUE(WaitFor([] { return InGraph("quillbox:quillbox"); }))
      << "graph outputs: " << testing::PrintToString(GraphOutputs()) << "\n"
      << bridge.Output();
  ASSERT_TRUE(sink.ConnectFrom("quillbox:quillbox")) << bridge.Output();

  OscSend("127.0.0.1", 10001, "/Traktor.Deck0.Beat", "f", {"1.0"});
  ASSERT_TRUE(sink.WaitForMessage("80 7F 19")) << bridge.Output();
  OscSend("127.0.0.1", 10001, "/Traktor.XFader", "f", {"0.75"});
  OscSend("127.0.0.1", 10001, "/Traktor.Deck1.Seek", "f", {"1234.5"});
  ASSERT_TRUE(sink.WaitForMessage("F0 7F 01 01 01 00 02 03 28 F7")) << bridge.Output();
  // Nothing more, nothing less, nothing split.
  EXPECT_EQ(sink.Messages(),
            (std::vector<std::string>{"80 7F 19", "F0 7F 01 01 01 00 02 03 28 F7"}));

  EXPECT_EQ(bridge.Terminate(), 0) << bridge.Output();
  EXPECT_TRUE(WaitFor([] { return !InGraph("quillbox:quillbox"); }));
}

// The audio system stops under the running bridge and starts again: meanwhile the bridge goes on
// answering probes, and once PipeWire is back its port is back and the next beat reaches a sink.
TEST_F(PipeWireE2E, AudioSystemStoppedAndStartedAgainBringsThePortBackWithoutFreezingTheBridge) {
  const std::string fixture = std::getenv("QB_PW_FIXTURE");
  const std::string state = std::getenv("QB_PW_STATE");
  std::optional<MidiSink> sink;
  sink.emplace();
  bridge.Start(/*with_display=*/false);
  ASSERT_TRUE(WaitFor([] { return InGraph("quillbox:quillbox"); })) << bridge.Output();
  ASSERT_TRUE(sink->ConnectFrom("quillbox:quillbox")) << bridge.Output();
  OscSend("127.0.0.1", 10001, "/Traktor.Deck0.Beat", "f", {"1.0"});
  ASSERT_TRUE(sink->WaitForMessage("80 7F 19")) << bridge.Output();

  sink.reset();
  int status = -1;
  e2e::Run(fixture, {"stop", state}, &status, 60s);
  ASSERT_EQ(status, 0);
  OscSend("127.0.0.1", 10001, "/Traktor.Deck0.Beat", "f", {"1.0"});
  OscSend("127.0.0.1", 10001, "/Traktor.Deck0.Seek", "f", {"10.0"});
  EXPECT_EQ(ProbeReply().first, kPong) << bridge.Output();

  e2e::Run(fixture, {"start", state}, &status, 60s);
  ASSERT_EQ(status, 0);
  ASSERT_TRUE(WaitFor([] { return InGraph("quillbox:quillbox"); }, 30s))
      << "graph outputs: " << testing::PrintToString(GraphOutputs()) << "\n"
      << bridge.Output();
  sink.emplace();
  ASSERT_TRUE(sink->ConnectFrom("quillbox:quillbox")) << bridge.Output();
  OscSend("127.0.0.1", 10001, "/Traktor.Deck0.Beat", "f", {"1.0"});
  EXPECT_TRUE(sink->WaitForMessage("80 7F 19")) << bridge.Output();
  EXPECT_EQ(ProbeReply().first, kPong) << bridge.Output();
  EXPECT_EQ(bridge.Terminate(), 0) << bridge.Output();
}
