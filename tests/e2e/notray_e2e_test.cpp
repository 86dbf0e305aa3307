// quillbox on a desktop without a notification area (icewm with its system tray switched off):
// the window is minimised but stays on the taskbar where the user can reach it, and once a
// notification area appears the usual hand-off to the tray applies.
#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "tests/e2e/e2e_support.h"

using namespace e2e;

namespace {

const std::string kTitle = "brindle's quillbox";

std::string State() {
  return std::getenv("QB_X_STATE");
}

// Restarts icewm with or without its notification area unless it already runs that way.
void UseNotificationArea(bool tray) {
  const std::string want = tray ? "tray" : "notray";
  std::ifstream f(State() + "/mode");
  std::string mode;
  f >> mode;
  if (mode == want) return;
  int status = 0;
  Run(std::getenv("QB_X_FIXTURE"), {"restart-wm", State(), want}, &status, 60s);
  ASSERT_EQ(status, 0) << "icewm did not restart " << want;
}

// Minimised, yet managed and on the taskbar: the window manager keeps it iconic and its
// taskbar has a button for it.
bool OnTheTaskbarMinimised(unsigned long w) {
  return WmState(w) == "Iconic" && Managed(w) && TaskbarButtons().size() == 1;
}

bool Shown(unsigned long w) {
  return IsViewable(w) && WmState(w) == "Normal" && Managed(w);
}

class NoTrayE2E : public ::testing::Test {
 protected:
  QTemporaryDir config;
  Bridge bridge{config.path().toStdString()};

  unsigned long StartAndWaitUntilMinimised() {
    bridge.Start();
    std::optional<unsigned long> w;
    EXPECT_TRUE(WaitFor([&] { return (w = FindWindow(kTitle)).has_value(); })) << bridge.Output();
    if (!w) return 0;
    EXPECT_TRUE(WaitFor([&] { return OnTheTaskbarMinimised(*w); }))
        << "state " << WmState(*w) << ", buttons " << TaskbarButtons().size() << "\n"
        << bridge.Output();
    return *w;
  }
};

}  // namespace

TEST_F(NoTrayE2E, NoTrayWindowIsMinimisedOnTheTaskbarAndItsButtonBringsItBack) {
  UseNotificationArea(false);
  const unsigned long w = StartAndWaitUntilMinimised();
  ASSERT_NE(w, 0u);
  EXPECT_FALSE(TrayIcon().has_value());
  Screenshot("notray-taskbar");

  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    // The user clicks the window's taskbar button.
    Click(TaskbarButtons().at(0));
    ASSERT_TRUE(WaitFor([&] { return Shown(w) && IsActive(w); })) << WmState(w) << "\n"
                                                                  << bridge.Output();
    const Rect outer = OuterRect(w);
    EXPECT_EQ(outer.x, 262);
    EXPECT_EQ(outer.y, 172);
    EXPECT_EQ(outer.w, 165);
    EXPECT_EQ(outer.h, 120);

    // Minimised again with the title bar's button, it stays on the taskbar.
    X("xdotool", {"windowminimize", std::to_string(w)});
    ASSERT_TRUE(WaitFor([&] { return OnTheTaskbarMinimised(w); })) << bridge.Output();
  }
  EXPECT_EQ(bridge.Terminate(), 0) << bridge.Output();
}

TEST_F(NoTrayE2E, NoTrayAtStartThenANotificationAreaAppearsAndTakesOverTheHandOff) {
  UseNotificationArea(false);
  const unsigned long w = StartAndWaitUntilMinimised();
  ASSERT_NE(w, 0u);

  // A notification area appears (here: icewm comes back with its tray switched on). The icon
  // goes there at once; the window, minimised as it was, stays on the taskbar until the user
  // brings it back.
  UseNotificationArea(true);
  ASSERT_TRUE(WaitFor([] { return TrayIcon().has_value(); })) << bridge.Output();
  ASSERT_TRUE(WaitFor([&] { return OnTheTaskbarMinimised(w); })) << bridge.Output();
  Click(TaskbarButtons().at(0));
  ASSERT_TRUE(WaitFor([&] { return Shown(w) && IsActive(w); })) << bridge.Output();

  // From now on minimising hands the window to the tray, and the icon brings it back.
  X("xdotool", {"windowminimize", std::to_string(w)});
  ASSERT_TRUE(WaitFor([&] { return !IsViewable(w) && !Managed(w); })) << bridge.Output();
  EXPECT_TRUE(TaskbarButtons().empty());
  DoubleClick(TrayIcon().value());
  ASSERT_TRUE(WaitFor([&] { return Shown(w); })) << bridge.Output();
  const Rect outer = OuterRect(w);
  EXPECT_EQ(outer.w, 165);
  EXPECT_EQ(outer.h, 120);

  EXPECT_EQ(bridge.Terminate(), 0) << bridge.Output();
  EXPECT_TRUE(WaitFor([] { return !TrayIcon().has_value(); }));
  UseNotificationArea(false);
}
