// The main window on a laptop's 1366 x 768 screen, a 1280 x 720 projector beside it and a
// 1920 x 1080 monitor beside that: the debug view fits each, and every stored position keeps the
// title bar where the user can grab it.
#include <QCheckBox>
#include <QGuiApplication>
#include <QLabel>
#include <QPlainTextEdit>
#include <QScreen>

#include "app/logview.h"
#include "tests/app/appfixture.h"

namespace apptest {
namespace {

std::string Position(int top, int left) {
  return "[Software]\nQuillbox\\Device=0\nQuillbox\\channel=1\nQuillbox\\xpos=" +
         std::to_string(top) + "\nQuillbox\\ypos=" + std::to_string(left) + "\n";
}

using ScreenWindowTest = AppTest;

TEST_F(ScreenWindowTest, TheDebugViewFitsEachScreenAndTheLogGivesUpTheHeight) {
  ASSERT_EQ(QGuiApplication::screens().size(), 3) << "run with offscreen-three-screens.json";
  struct Row {
    QPoint at;        // before "Debug" is ticked
    int height;       // of the debug view
    QPoint debug_at;  // where it is shown
  } rows[] = {
      {{40, 30}, 768, {40, 0}},           // the laptop: all of its height, moved up
      {{1406, 300}, 720, {1406, 0}},      // the projector
      {{2686, 100}, 800, {2686, 100}},    // the monitor has room: the designed size, not moved
      {{2686, 500}, 800, {2686, 280}},    // room, but only higher up
      {{1366 - 30, 10}, 720, {1336, 0}},  // mostly on the projector: its height
  };
  AddDevices(1);
  TForm1& f = Start();
  const QRect log = f.Memo1->geometry(), filter = f.Memo2->geometry();
  for (const Row& r : rows) {
    SCOPED_TRACE(testing::Message() << r.at.x() << "," << r.at.y());
    f.move(r.at);
    f.CheckBox1->setChecked(true);
    EXPECT_EQ(f.OuterSize(), QSize(700, r.height));
    EXPECT_EQ(f.pos(), r.debug_at);
    // The filter box ends as far above the window's bottom as designed; the log lost the rest.
    const int given_up = 800 - r.height;
    EXPECT_EQ(f.Memo2->geometry(), filter.translated(0, -given_up));
    EXPECT_EQ(f.Label2->geometry().top(), 600 - given_up);
    EXPECT_EQ(f.Memo1->geometry(), log.adjusted(0, 0, 0, -given_up));
    EXPECT_LT(f.Memo2->geometry().bottom(), f.height());
    f.CheckBox1->setChecked(false);
    EXPECT_EQ(f.OuterSize(), QSize(165, 120));
    EXPECT_EQ(f.pos(), r.debug_at);  // the compact view stays where the debug view was
  }
}

TEST_F(ScreenWindowTest, StoredPositionsKeepTheTitleBarOnAScreen) {
  struct Row {
    int top, left;  // as stored
    QPoint at;      // where the window starts
  } rows[] = {
      {100, 40, {40, 100}},             // on the laptop: left alone
      {-100, 40, {40, 0}},              // title bar above the laptop's top
      {-20, -30, {-30, 0}},             // partly on, but the title bar is not
      {20, -30, {-30, 20}},             // partly on with the title bar: left alone
      {100, -150, {0, 100}},            // only 15 pixels of title bar on the laptop
      {100, 1366 - 30, {1336, 100}},    // across two screens: grabbed on the projector
      {790, 40, {40, 768 - 120}},       // below the laptop
      {900, 2000, {2000, 720 - 120}},   // below the projector, nearer it than the monitor
      {-5000, 90000, {4566 - 165, 0}},  // far off: onto the nearest, the monitor
  };
  AddDevices(1);
  for (const Row& r : rows) {
    SCOPED_TRACE(testing::Message() << "stored top " << r.top << ", left " << r.left);
    form_.reset();
    WriteSettings(Position(r.top, r.left));
    TForm1& f = Start();
    EXPECT_TRUE(errors_->opened.empty());
    EXPECT_EQ(f.pos(), r.at);
  }
}

TEST_F(ScreenWindowTest, ThePositionStoredAtCloseKeepsTheTitleBarOnAScreen) {
  AddDevices(1);
  TForm1& f = Start();
  // Where a window manager may leave a window that grew past the screen's top.
  f.move(40, -50);
  ASSERT_EQ(f.pos(), QPoint(40, -50));
  EXPECT_TRUE(f.close());
  EXPECT_EQ(StoredValue("xpos"), 0);
  EXPECT_EQ(StoredValue("ypos"), 40);
}

}  // namespace
}  // namespace apptest
