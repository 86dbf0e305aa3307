// The window's tray icon: in the notification area from the start, the window leaves the
// taskbar when minimised and comes back as it was on a double click.
#include <QCheckBox>

#include "platform/application.h"
#include "tests/app/appfixture.h"
#include "tray/texttrayicon.h"

namespace apptest {
namespace {

class TrayHandoffTest : public AppTest {
 protected:
  TForm1& StartMain() {
    TForm1& f = Start();
    qb::Application().SetMainForm(&f);
    return f;
  }
  qb::HWND TrayWindow() { return qb::SharedTrayWindow()->MessageWindow(); }
  const qb::FakeTrayService::Entry* Entry() {
    return tray_.service.Find(TrayWindow(), form_->TextTrayIcon1->TrayId());
  }
  void DoubleClickIcon() {
    tray_.service.Notify(TrayWindow(), form_->TextTrayIcon1->TrayId(), 0x203);
    tray_.service.Notify(TrayWindow(), form_->TextTrayIcon1->TrayId(), 0x202);
  }
  bool Shown() { return form_->isVisible() && !form_->isMinimized(); }
};

TEST_F(TrayHandoffTest, IconIsAYellowOWithBlackFrameAndTheTooltipFromTheStart) {
  AddDevices(1);
  StartMain();
  const auto* entry = Entry();
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(entry->tip.substr(0, entry->tip.find('\n')), "quillbox");
  const QImage icon = entry->image.convertToFormat(QImage::Format_ARGB32);
  ASSERT_EQ(icon.size(), QSize(16, 16));
  for (int i = 0; i < 16; ++i) {
    EXPECT_EQ(icon.pixel(i, 0), qRgb(0, 0, 0)) << i;
    EXPECT_EQ(icon.pixel(0, i), qRgb(0, 0, 0)) << i;
    EXPECT_EQ(icon.pixel(15, i), qRgb(0, 0, 0)) << i;
    EXPECT_EQ(icon.pixel(i, 15), qRgb(0, 0, 0)) << i;
  }
  // Inside the frame: yellow background around a dark glyph in the middle.
  EXPECT_EQ(icon.pixel(1, 1), qRgb(255, 255, 0));
  EXPECT_EQ(icon.pixel(14, 14), qRgb(255, 255, 0));
  int dark = 0;
  for (int y = 2; y < 14; ++y)
    for (int x = 2; x < 14; ++x) dark += qGray(icon.pixel(x, y)) < 128;
  EXPECT_GT(dark, 6);
  // The stored icon was replaced by the rendered text, and the entry was added exactly once.
  EXPECT_EQ(tray_.service.CallsOf(qb::NIM_ADD).front().ok, true);
}

TEST_F(TrayHandoffTest, MinimisedWindowLeavesTheTaskbarAndDoubleClickBringsItBackAsItWas) {
  AddDevices(1);
  TForm1& f = StartMain();
  ASSERT_TRUE(Shown());
  f.move(300, 50);
  const QRect before = f.geometry();

  f.Timer2Timer(f.Timer2);  // the hide-after-start
  qb::ProcessMessages();
  EXPECT_FALSE(f.isVisible());
  EXPECT_FALSE(f.Timer2->Enabled());
  ASSERT_NE(Entry(), nullptr);

  DoubleClickIcon();
  ASSERT_TRUE(qbtest::PumpUntil([&] { return Shown(); }));
  EXPECT_EQ(f.geometry(), before);
  EXPECT_NE(Entry(), nullptr);  // the icon stays while the window is shown

  // In the debug size, minimised by the user, as often as wanted.
  f.CheckBox1->setChecked(true);
  const QSize debug = f.OuterSize();
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    f.showMinimized();
    ASSERT_TRUE(qbtest::PumpUntil([&] { return !f.isVisible(); }));
    qb::ProcessMessages();
    DoubleClickIcon();
    ASSERT_TRUE(qbtest::PumpUntil([&] { return Shown(); }));
    EXPECT_EQ(f.OuterSize(), debug);
    EXPECT_EQ(f.pos(), QPoint(300, 50));
  }
}

TEST_F(TrayHandoffTest, SingleClickDoesNothingAndTheIconGoesWithTheWindow) {
  AddDevices(1);
  TForm1& f = StartMain();
  f.Timer2Timer(f.Timer2);
  qb::ProcessMessages();
  ASSERT_FALSE(f.isVisible());
  tray_.service.Notify(TrayWindow(), f.TextTrayIcon1->TrayId(), 0x201);
  tray_.service.Notify(TrayWindow(), f.TextTrayIcon1->TrayId(), 0x202);
  qbtest::PumpFor(std::chrono::milliseconds(qb::GetDoubleClickTime() + 100));
  EXPECT_FALSE(f.isVisible());

  const auto id = f.TextTrayIcon1->TrayId();
  const auto wnd = TrayWindow();
  qb::Application().SetMainForm(nullptr);
  form_.reset();
  EXPECT_EQ(tray_.service.Find(wnd, id), nullptr);
}

TEST_F(TrayHandoffTest, WithoutANotificationAreaMinimisingKeepsTheWindowReachable) {
  tray_.service.SetAvailable(false);
  AddDevices(1);
  TForm1& f = StartMain();
  f.Timer2Timer(f.Timer2);
  qb::ProcessMessages();
  EXPECT_TRUE(qb::Application().TaskbarEntryVisible());
  EXPECT_TRUE(f.isVisible());
}

}  // namespace
}  // namespace apptest
