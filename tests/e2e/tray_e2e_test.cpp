// quillbox in icewm's notification area: it leaves the taskbar two seconds after start, comes
// back on a double click on its icon, survives a restart of the window manager and takes its
// icon with it when it ends.
#include <gtest/gtest.h>

#include <QImage>
#include <QTemporaryDir>
#include <cstdlib>
#include <sstream>

#include "tests/e2e/e2e_support.h"

using namespace e2e;

namespace {

const std::string kTitle = "brindle's quillbox";

// In the tray: unmapped and no longer a client of the window manager (so not on the taskbar).
bool InTray(unsigned long w) {
  return !IsViewable(w) && !Managed(w);
}

class TrayE2E : public ::testing::Test {
 protected:
  QTemporaryDir config;
  Bridge bridge{config.path().toStdString()};

  unsigned long StartAndWaitForTray() {
    bridge.Start();
    std::optional<unsigned long> w;
    EXPECT_TRUE(WaitFor([&] { return (w = FindWindow(kTitle)).has_value(); })) << bridge.Output();
    if (!w) return 0;
    EXPECT_TRUE(WaitFor([&] { return InTray(*w) && TrayIcon().has_value(); })) << bridge.Output();
    return *w;
  }
};

}  // namespace

TEST_F(TrayE2E, LeavesTheTaskbarForAYellowIconAndDoubleClickBringsItBack) {
  const unsigned long w = StartAndWaitForTray();
  ASSERT_NE(w, 0u);
  const unsigned long icon = TrayIcon().value();

  // The icon: a 16 x 16 yellow square with a black frame, centred in the tray's slot.
  const std::string shot = Screenshot("tray-icon", icon);
  QImage img(QString::fromStdString(shot));
  ASSERT_FALSE(img.isNull());
  const QRgb slot = img.pixel(0, 0);
  QRect box;
  for (int y = 0; y < img.height(); ++y)
    for (int x = 0; x < img.width(); ++x)
      if (img.pixel(x, y) != slot) box |= QRect(x, y, 1, 1);
  ASSERT_EQ(box.size(), QSize(16, 16));
  EXPECT_EQ(img.pixel(box.topLeft()), qRgb(0, 0, 0));
  EXPECT_EQ(img.pixel(box.bottomRight()), qRgb(0, 0, 0));
  EXPECT_EQ(img.pixel(box.left() + 1, box.top() + 1), qRgb(255, 255, 0));
  EXPECT_EQ(img.pixel(box.right() - 1, box.bottom() - 1), qRgb(255, 255, 0));

  DoubleClick(icon);
  ASSERT_TRUE(WaitFor([&] { return IsViewable(w) && Managed(w); })) << bridge.Output();
  const Rect outer = OuterRect(w);
  EXPECT_EQ(outer.x, 262);
  EXPECT_EQ(outer.y, 172);
  EXPECT_EQ(outer.w, 165);
  EXPECT_EQ(outer.h, 120);
  EXPECT_TRUE(TrayIcon().has_value());  // the icon stays while the window is shown
}

TEST_F(TrayE2E, TitleBarMinimiseSendsItToTheTrayAgainInEitherSize) {
  const unsigned long w = StartAndWaitForTray();
  ASSERT_NE(w, 0u);
  DoubleClick(TrayIcon().value());
  ASSERT_TRUE(WaitFor([&] { return IsViewable(w); }));

  // Tick "Debug": the window grows to its debug size.
  X("xdotool", {"mousemove", "--window", std::to_string(w), "20", "72"});
  X("xdotool", {"click", "1"});
  ASSERT_TRUE(WaitFor([&] { return OuterRect(w).w == 700 && OuterRect(w).h == 800; }))
      << OuterRect(w).w << "x" << OuterRect(w).h;
  const Rect debug = OuterRect(w);

  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    X("xdotool", {"windowminimize", std::to_string(w)});
    ASSERT_TRUE(WaitFor([&] { return InTray(w); })) << bridge.Output();
    DoubleClick(TrayIcon().value());
    ASSERT_TRUE(WaitFor([&] { return IsViewable(w) && Managed(w) && IsActive(w); }))
        << bridge.Output();
    const Rect back = OuterRect(w);
    EXPECT_EQ(back.x, debug.x);
    EXPECT_EQ(back.y, debug.y);
    EXPECT_EQ(back.w, 700);
    EXPECT_EQ(back.h, 800);
  }
}

namespace {

// Rows of the log box (client area (8, 88), 657 x 489) that hold dark text pixels, in bands
// of consecutive rows: one band per line of text.
int LogTextLines(const QImage& window) {
  const QRect log = QRect(8, 88, 657, 489).adjusted(4, 4, -4, -4) & window.rect();
  int bands = 0;
  bool in_band = false;
  for (int y = log.top(); y <= log.bottom(); ++y) {
    bool dark = false;
    for (int x = log.left(); x <= log.right() && !dark; ++x) dark = qGray(window.pixel(x, y)) < 100;
    if (dark && !in_band) ++bands;
    in_band = dark;
  }
  return bands;
}

}  // namespace

TEST_F(TrayE2E, DebugViewLogsOneLineForEveryDatagramFromTheDjSoftware) {
  const unsigned long w = StartAndWaitForTray();
  ASSERT_NE(w, 0u);
  DoubleClick(TrayIcon().value());
  ASSERT_TRUE(WaitFor([&] { return IsViewable(w); }));
  X("xdotool", {"mousemove", "--window", std::to_string(w), "20", "72"});
  X("xdotool", {"click", "1"});
  ASSERT_TRUE(WaitFor([&] { return OuterRect(w).w == 700 && OuterRect(w).h == 800; }));
  ASSERT_TRUE(WaitFor([] { return PortTaken(10001); }));

  OscSend("127.0.0.1", 10001, "/Traktor.XFader", "f", {"0.25"});
  OscSend("127.0.0.1", 10001, "/Traktor.Deck0.Beat", "f", {"1.0"});
  OscSend("127.0.0.1", 10001, "/Traktor.Deck0.Seek", "f", {"1234.5"});
  OscSend("127.0.0.1", 10001, "/VirtualDJ/Phase", "i", {"-1"});
  OscSend("127.0.0.1", 10001, "/__PING", "", {});  // never logged
  // The screenshot is the one README shows.
  std::string shot;
  int lines = 0;
  EXPECT_TRUE(WaitFor([&] {
    shot = Screenshot("debug-view", w);
    return (lines = LogTextLines(QImage(QString::fromStdString(shot)))) >= 4;
  })) << lines
      << " lines in " << shot;
  EXPECT_EQ(lines, 4) << shot;
}

TEST_F(TrayE2E, IconComesBackAfterTheWindowManagerRestartsAndGoesWithTheProgram) {
  const unsigned long w = StartAndWaitForTray();
  ASSERT_NE(w, 0u);
  int status = 0;
  const std::string fixture = std::string(std::getenv("QB_X_FIXTURE"));
  e2e::Run(fixture, {"restart-wm", std::getenv("QB_X_STATE")}, &status, 60s);
  ASSERT_EQ(status, 0);
  ASSERT_TRUE(WaitFor([] { return TrayIcon().has_value(); })) << bridge.Output();
  DoubleClick(TrayIcon().value());
  ASSERT_TRUE(WaitFor([&] { return IsViewable(w); })) << bridge.Output();

  EXPECT_EQ(bridge.Terminate(), 0);
  EXPECT_TRUE(WaitFor([] { return !TrayIcon().has_value(); }));
}
