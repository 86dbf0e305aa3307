// quillbox on a small screen under icewm, whose taskbar takes the bottom of it: the debug view
// fits what is left, and a position stored with the title bar off the screen comes back on it.
// Run once on a 1366 x 768 screen and once on a 1280 x 720 one.
#include <gtest/gtest.h>

#include <QDir>
#include <QTemporaryDir>
#include <algorithm>
#include <fstream>
#include <sstream>

#include "tests/e2e/e2e_support.h"

using namespace e2e;

namespace {

const std::string kTitle = "brindle's quillbox";

// The window manager's work area: the screen without its taskbar.
Rect WorkArea() {
  std::string out = X("xprop", {"-root", "_NET_WORKAREA"});
  Rect r;
  const auto eq = out.find('=');
  if (eq == std::string::npos) return r;
  std::replace(out.begin(), out.end(), ',', ' ');
  std::istringstream(out.substr(eq + 1)) >> r.x >> r.y >> r.w >> r.h;
  return r;
}

int Stored(const std::string& ini, const std::string& name) {
  const auto at = ini.find("Quillbox\\" + name + "=");
  return at == std::string::npos ? -99999 : std::atoi(ini.c_str() + at + name.size() + 10);
}

}  // namespace

TEST(ScreensE2E, TheDebugViewFitsAndEveryPositionKeepsTheTitleBarOnTheScreen) {
  const Rect work = WorkArea();
  ASSERT_GT(work.h, 0) << "no work area";
  ASSERT_LT(work.h, 800) << "the screen has room for the designed debug view";

  // Stored by a bridge on a taller screen, or left there by a window manager: the title bar
  // above the top.
  QTemporaryDir config;
  Bridge bridge(config.path().toStdString());
  QDir().mkpath(config.path() + "/quillbox");
  std::ofstream(bridge.SettingsFile())
      << "[Software]\nQuillbox\\Device=0\nQuillbox\\xpos=-300\nQuillbox\\ypos=200\n"
         "Quillbox\\channel=1\n";
  bridge.Start();
  std::optional<unsigned long> w;
  ASSERT_TRUE(WaitFor([&] { return (w = FindWindow(kTitle)).has_value(); })) << bridge.Output();
  EnsureShown(*w);
  ASSERT_TRUE(WaitFor([&] { return IsViewable(*w) && Managed(*w); })) << bridge.Output();
  ASSERT_TRUE(WaitFor([&] { return OuterRect(*w).y >= work.y; }))
      << "outer top " << OuterRect(*w).y << ", work area top " << work.y;
  EXPECT_EQ(OuterRect(*w).x, 200);

  // "Debug" by the user's hand: the debug view takes the work area's height, and all of it is
  // on the screen, title bar and filter box.
  Click(*w, 20, 72);
  ASSERT_TRUE(WaitFor([&] { return OuterRect(*w).w == 700 && OuterRect(*w).h == work.h; }))
      << OuterRect(*w).w << "x" << OuterRect(*w).h << " in a work area " << work.h << " high";
  const Rect debug = OuterRect(*w);
  Screenshot("debug-view-" + std::to_string(work.w) + "x" + std::to_string(work.h));
  EXPECT_GE(debug.y, work.y);
  EXPECT_LE(debug.y + debug.h, work.y + work.h);
  EXPECT_GE(debug.x, work.x);
  EXPECT_LE(debug.x + debug.w, work.x + work.w);

  // What is stored at the end brings the window back with its title bar on the screen.
  EXPECT_EQ(bridge.Terminate(), 0) << bridge.Output();
  const std::string ini = bridge.Settings();
  EXPECT_GE(Stored(ini, "xpos"), work.y) << ini;
  EXPECT_LE(Stored(ini, "xpos") + debug.h, work.y + work.h) << ini;
  EXPECT_EQ(Stored(ini, "ypos"), debug.x) << ini;
}
