// The tray's tooltip as the window keeps it: real datagrams to the window's bridge on UDP port
// 10001, the fake MIDI service's devices, and the window's clock moved on instead of waiting for
// silence.
#include <QString>
#include <atomic>
#include <chrono>

#include "platform/application.h"
#include "tests/app/appfixture.h"
#include "tray/texttrayicon.h"

namespace apptest {
namespace {

using namespace std::chrono_literals;

int64_t SteadyUs() {
  using namespace std::chrono;
  return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

class TrayTipWindowTest : public AppTest {
 protected:
  TForm1& StartWithClock() {
    TForm1& f = Start();
    qb::Application().SetMainForm(&f);
    f.SetTipClock([this] { return SteadyUs() + ahead_us_.load(); });
    return f;
  }
  std::string Tip() {
    const auto* e =
        tray_.service.Find(qb::SharedTrayWindow()->MessageWindow(), form_->TextTrayIcon1->TrayId());
    return e ? e->tip : "(no entry)";
  }
  std::string Line(int n) {
    return QString::fromStdString(Tip()).section('\n', n, n).toStdString();
  }
  bool StateStartsWith(const std::string& start) {
    return qbtest::PumpUntil([&] { return Line(1).rfind(start, 0) == 0; }, 5s);
  }
  bool StateHas(const std::string& part) {
    return qbtest::PumpUntil([&] { return Line(1).find(part) != std::string::npos; }, 5s);
  }
  std::size_t TipChanges() { return tray_.service.CallsOf(qb::NIM_MODIFY).size(); }

  std::atomic<int64_t> ahead_us_{0};
};

TEST_F(TrayTipWindowTest, TipNamesTheSenderAndThePortAndWarnsFirstOfSilenceAndAGoneDevice) {
  AddDevices(1);
  midi_.SetConnections(0, 2);
  StartWithClock();
  EXPECT_TRUE(StateStartsWith("UDP 10001 · no OSC yet · MIDI Synth A (2)")) << Tip();
  EXPECT_EQ(Line(0), "quillbox");

  // Nothing changes: the tray is not told the same text again.
  const std::size_t changes = TipChanges();
  qbtest::PumpFor(2200ms);
  EXPECT_EQ(TipChanges(), changes) << Tip();

  Peer peer;
  ASSERT_TRUE(peer.ok());
  peer.SendTo(FloatMessage("/Traktor.XFader", 0.5f), 10001);
  EXPECT_TRUE(StateStartsWith("UDP 10001 · OSC 127.0.0.1 ")) << Tip();
  EXPECT_TRUE(StateHas(" s ago · MIDI Synth A (2)")) << Tip();

  // Connections follow the MIDI system within a glance.
  midi_.SetConnections(0, 3);
  EXPECT_TRUE(StateHas("MIDI Synth A (3)")) << Tip();

  // Six seconds later by the window's clock, with nothing received since.
  ahead_us_ = 6'000'000;
  EXPECT_TRUE(StateStartsWith("OSC silent ")) << Tip();
  EXPECT_TRUE(StateHas(" (from 127.0.0.1) · UDP 10001 · MIDI Synth A (3)")) << Tip();

  midi_.SetGone(0, true);
  EXPECT_TRUE(StateHas(" · MIDI device gone: Synth A · UDP 10001")) << Tip();
  EXPECT_EQ(Line(1).rfind("OSC silent ", 0), 0u) << Tip();

  // A datagram ends the silence; the device back ends the warning.
  ahead_us_ = 0;
  midi_.SetGone(0, false);
  peer.SendTo(FloatMessage("/Traktor.XFader", 0.5f), 10001);
  EXPECT_TRUE(StateStartsWith("UDP 10001 · OSC 127.0.0.1 ")) << Tip();
  EXPECT_TRUE(StateHas("MIDI Synth A (3)")) << Tip();
}

TEST_F(TrayTipWindowTest, TipSaysSoWhenNoDeviceOpensOrThePortCannotBeBound) {
  Peer squatter(10001);  // another program has the port
  ASSERT_TRUE(squatter.ok());
  AddDevices(1);
  midi_.FailWith(qb::FakeMidiService::Op::Open, qb::MMSYSERR_ALLOCATED);
  StartWithClock();
  EXPECT_TRUE(StateStartsWith("MIDI device gone: Synth A · not listening on UDP 10001")) << Tip();
}

}  // namespace
}  // namespace apptest
