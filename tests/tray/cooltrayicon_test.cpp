#include "tray/cooltrayicon.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QElapsedTimer>
#include <QMenu>
#include <QWidget>
#include <memory>
#include <string>
#include <vector>

#include "platform/application.h"
#include "tests/common/testsupport.h"
#include "tray/fake/faketrayservice.h"
#include "tray/qttrayservice.h"

using namespace std::chrono_literals;
using qb::TCoolTrayIcon;

namespace {

// A tray icon whose pointer and keyboard the test controls.
class TestIcon : public TCoolTrayIcon {
 public:
  using TCoolTrayIcon::MoveToTray;
  using TCoolTrayIcon::TCoolTrayIcon;
  int px = 100, py = 200;
  qb::TShiftState keys = 0;

 protected:
  bool GetCursorPos(int& x, int& y) override {
    x = px;
    y = py;
    return true;
  }
  qb::TShiftState KeyboardShift() override { return keys; }
};

// A menu that records where it would pop up instead of running its own loop.
class RecordingMenu : public qb::TPopupMenu {
 public:
  using TPopupMenu::TPopupMenu;
  void Popup(int x, int y) override { shown.push_back({x, y}); }
  std::vector<std::pair<int, int>> shown;
};

// The main window: a real widget that owns its components.
class TestForm : public QWidget, public qb::TComponent {
 public:
  TestForm() : TComponent(nullptr) { qb::Application().SetMainForm(this); }
  ~TestForm() override { qb::Application().SetMainForm(nullptr); }
};

class TrayIconTest : public testing::Test {
 protected:
  // Every event of the icon, in order, as text.
  void Record(TCoolTrayIcon& icon) {
    icon.OnMouseDown = [this](qb::TObject*, qb::TMouseButton b, qb::TShiftState s, int x, int y) {
      events.push_back("down" + std::to_string(b) + ":" + std::to_string(s) + "@" +
                       std::to_string(x) + "," + std::to_string(y));
    };
    icon.OnMouseUp = [this](qb::TObject*, qb::TMouseButton b, qb::TShiftState s, int, int) {
      events.push_back("up" + std::to_string(b) + ":" + std::to_string(s));
    };
    icon.OnMouseMove = [this](qb::TObject*, qb::TShiftState, int x, int y) {
      events.push_back("move@" + std::to_string(x) + "," + std::to_string(y));
    };
    icon.OnClick = [this](qb::TObject*) { events.push_back("click"); };
    icon.OnMouseEnter = [this](qb::TObject*) { events.push_back("enter"); };
    icon.OnMouseExit = [this](qb::TObject*) { events.push_back("exit"); };
  }
  void Notify(TCoolTrayIcon& icon, std::initializer_list<qb::LPARAM> codes) {
    for (auto c : codes)
      ASSERT_TRUE(tray.service.Notify(icon.NotifyRecord().hWnd, icon.TrayId(), c));
  }
  bool Has(const std::vector<std::string>& expected) {
    return qbtest::PumpUntil([&] { return events.size() >= expected.size(); }) &&
           events == expected;
  }

  qb::ScopedFakeTray tray;
  qb::TComponent owner{nullptr};
  std::vector<std::string> events;
};

TEST_F(TrayIconTest, NotifyRecordAndTooltip) {
  TestIcon icon(&owner);
  const auto& r = icon.NotifyRecord();
  ASSERT_NE(qb::SharedTrayWindow(), nullptr);
  EXPECT_EQ(r.hWnd, qb::SharedTrayWindow()->MessageWindow());
  EXPECT_EQ(r.uID, reinterpret_cast<qb::UINT_PTR>(&icon));
  EXPECT_EQ(r.uFlags, 7u);
  EXPECT_EQ(r.uCallbackMessage, 0x800u);
  EXPECT_EQ(r.uVersion, 0u);
  EXPECT_FALSE(icon.IconVisible());
  EXPECT_TRUE(icon.Enabled());
  EXPECT_TRUE(icon.ShowHint());

  // Absent: the update is refused and nothing else happens.
  icon.SetHint("quillbox");
  ASSERT_EQ(tray.service.calls.size(), 1u);
  EXPECT_EQ(tray.service.calls[0].message, qb::NIM_MODIFY);
  EXPECT_FALSE(tray.service.calls[0].ok);
  EXPECT_FALSE(icon.IconVisible());

  QImage red(16, 16, QImage::Format_ARGB32);
  red.fill(Qt::red);
  icon.SetIcon(red);
  icon.SetIconVisible(true);
  auto* e = tray.service.Find(r.hWnd, r.uID);
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->tip, "quillbox");
  EXPECT_EQ(e->image, red);
  EXPECT_EQ(e->callbackMessage, 0x800u);

  std::string longHint(200, 'x');
  for (int i = 0; i < 200; ++i) longHint[i] = static_cast<char>('a' + i % 26);
  icon.SetHint(longHint);
  EXPECT_EQ(e->tip, longHint.substr(0, 127));
  EXPECT_EQ(icon.NotifyRecord().szTip[127], '\0');
  icon.SetShowHint(false);
  EXPECT_EQ(e->tip, "");

  // A second add of a present entry is refused, yet IconVisible stays as requested.
  EXPECT_FALSE(icon.AddToTray());
  EXPECT_TRUE(icon.IconVisible());
  icon.SetNotifyStyle(1);
  EXPECT_EQ(e->version, 3u);
  icon.SetNotifyStyle(7);  // leaves the version
  EXPECT_EQ(e->version, 3u);
  icon.SetNotifyStyle(0);
  EXPECT_EQ(e->version, 0u);
}

TEST_F(TrayIconTest, AddFailsWithoutNotificationAreaButKeepsIconVisible) {
  tray.service.SetAvailable(false);
  TestIcon icon(&owner);
  EXPECT_FALSE(icon.AddToTray());
  EXPECT_TRUE(icon.IconVisible());
  EXPECT_EQ(tray.service.EntryCount(), 0u);
}

TEST_F(TrayIconTest, DoubleClickWithHandlerGivesNoClick) {
  TestIcon icon(&owner);
  Record(icon);
  icon.SetOnDblClick([this](qb::TObject* s) { events.push_back(s ? "dbl" : "dbl-nosender"); });
  icon.SetIconVisible(true);
  Notify(icon, {0x201, 0x202, 0x203, 0x202});
  EXPECT_TRUE(Has({"down0:8@100,200", "up0:8", "dbl", "up0:8"}));
  qbtest::PumpFor(std::chrono::milliseconds(qb::GetDoubleClickTime() + 300));
  EXPECT_EQ(events.size(), 4u);
  EXPECT_FALSE(icon.ClickDelayTimer().Active());
}

TEST_F(TrayIconTest, SingleClickWithDoubleClickHandlerWaitsTheDoubleClickTime) {
  TestIcon icon(&owner);
  Record(icon);
  icon.OnDblClick = [this](qb::TObject*) { events.push_back("dbl"); };
  icon.SetIconVisible(true);
  QElapsedTimer clock;
  clock.start();
  Notify(icon, {0x201, 0x202});
  EXPECT_TRUE(Has({"down0:8@100,200", "up0:8"}));
  ASSERT_TRUE(Has({"down0:8@100,200", "up0:8", "click"}));
  EXPECT_GE(clock.elapsed(), static_cast<qint64>(qb::GetDoubleClickTime()) - 20);
  EXPECT_FALSE(icon.ClickDelayTimer().Active());

  // A later single click is reported again.
  events.clear();
  Notify(icon, {0x201, 0x202});
  EXPECT_TRUE(Has({"down0:8@100,200", "up0:8", "click"}));
}

TEST_F(TrayIconTest, ClickWithoutDoubleClickHandlerFiresAtRelease) {
  TestIcon icon(&owner);
  Record(icon);
  icon.SetIconVisible(true);
  icon.keys = qb::ssShift | qb::ssCtrl;
  Notify(icon, {0x201, 0x202});
  EXPECT_TRUE(Has({"down0:13@100,200", "click", "up0:13"}));
  EXPECT_FALSE(icon.ClickDelayTimer().Active());
}

TEST_F(TrayIconTest, RightMiddleAndNotifyStyle) {
  TestIcon icon(&owner);
  Record(icon);
  icon.SetIconVisible(true);
  icon.keys = qb::ssAlt;
  Notify(icon, {0x204, 0x205, 0x207, 0x208, 0x7B, 0x400, 0x401, 0x206, 0x209});
  EXPECT_TRUE(Has({"down1:18@100,200", "up1:18", "down2:34@100,200", "up2:34"}));
  qbtest::PumpFor(50ms);
  EXPECT_EQ(events.size(), 4u);

  events.clear();
  icon.SetNotifyStyle(1);
  Notify(icon, {0x205, 0x7B, 0x400, 0x401});
  EXPECT_TRUE(Has({"up1:18", "up1:18", "up1:18"}));
}

TEST_F(TrayIconTest, DisabledDropsMouseButKeepsExitAndBalloons) {
  TestIcon icon(&owner);
  Record(icon);
  auto menu = std::make_unique<RecordingMenu>(&owner);
  icon.SetPopupMenu(menu.get());
  std::vector<qb::TObject*> balloons;
  auto balloon = [&](qb::TObject* s) { balloons.push_back(s); };
  icon.OnBalloonHintShow = icon.OnBalloonHintHide = balloon;
  icon.OnBalloonHintTimeout = icon.OnBalloonHintClick = balloon;
  icon.OnDblClick = [this](qb::TObject*) { events.push_back("dbl"); };
  icon.SetWantEnterExitEvents(true);
  EXPECT_TRUE(icon.LeavePollTimer().Active());
  icon.SetIconVisible(true);

  Notify(icon, {0x200});
  ASSERT_TRUE(Has({"enter", "move@100,200"}));
  icon.SetEnabled(false);
  Notify(icon, {0x200, 0x201, 0x202, 0x203, 0x204, 0x205, 0x207, 0x208});
  Notify(icon, {0x402, 0x403, 0x404, 0x405});
  ASSERT_TRUE(qbtest::PumpUntil([&] { return balloons.size() == 4; }));
  for (auto* s : balloons) EXPECT_EQ(s, qb::SharedTrayWindow());
  icon.px = 5;  // the pointer leaves
  ASSERT_TRUE(Has({"enter", "move@100,200", "exit"}));
  qbtest::PumpFor(std::chrono::milliseconds(qb::GetDoubleClickTime() + 100));
  EXPECT_EQ(events.size(), 3u);
  EXPECT_TRUE(menu->shown.empty());
}

TEST_F(TrayIconTest, EnterAndExitFollowThePointer) {
  TestIcon icon(&owner);
  Record(icon);
  icon.SetIconVisible(true);
  Notify(icon, {0x200});  // not wanted: no enter
  ASSERT_TRUE(Has({"move@100,200"}));
  events.clear();
  icon.SetWantEnterExitEvents(true);
  EXPECT_EQ(icon.LeavePollTimer().Period(), 20u);
  Notify(icon, {0x200, 0x200});
  ASSERT_TRUE(Has({"enter", "move@100,200", "move@100,200"}));
  qbtest::PumpFor(100ms);  // the pointer stays where it was: no exit
  EXPECT_EQ(events.size(), 3u);
  icon.py = 201;
  ASSERT_TRUE(Has({"enter", "move@100,200", "move@100,200", "exit"}));
  Notify(icon, {0x200});
  ASSERT_TRUE(Has({"enter", "move@100,200", "move@100,200", "exit", "enter", "move@100,201"}));
  icon.SetWantEnterExitEvents(false);
  EXPECT_FALSE(icon.LeavePollTimer().Active());
}

TEST_F(TrayIconTest, PopupMenuAtPointerAndDefaultItemOnDoubleClick) {
  TestIcon icon(&owner);
  RecordingMenu menu(&owner);
  int defaults = 0;
  menu.Menu()->addAction("first");
  QAction* def = menu.Menu()->addAction("open");
  QObject::connect(def, &QAction::triggered, [&] { ++defaults; });
  menu.Menu()->setDefaultAction(def);
  icon.SetPopupMenu(&menu);
  icon.SetIconVisible(true);

  Notify(icon, {0x204});
  ASSERT_TRUE(qbtest::PumpUntil([&] { return menu.shown.size() == 1; }));
  EXPECT_EQ(menu.shown[0], std::make_pair(100, 200));
  EXPECT_EQ(menu.PopupComponent, &icon);

  Notify(icon, {0x203});
  ASSERT_TRUE(qbtest::PumpUntil([&] { return defaults == 1; }));
  Notify(icon, {0x201});  // left button pops up only with LeftPopup
  qbtest::PumpFor(50ms);
  EXPECT_EQ(menu.shown.size(), 1u);
  icon.SetLeftPopup(true);
  Notify(icon, {0x201, 0x203});  // ...and then the double click no longer clicks the default
  ASSERT_TRUE(qbtest::PumpUntil([&] { return menu.shown.size() == 2; }));
  qbtest::PumpFor(50ms);
  EXPECT_EQ(defaults, 1);
  menu.AutoPopup = false;
  Notify(icon, {0x201, 0x204});
  qbtest::PumpFor(50ms);
  EXPECT_EQ(menu.shown.size(), 2u);
}

TEST_F(TrayIconTest, CyclingOverThreeImages) {
  TestIcon icon(&owner);
  qb::TImageList list(&owner);
  std::vector<QImage> images;
  for (QColor c : {QColor(Qt::red), QColor(Qt::green), QColor(Qt::blue)}) {
    QImage img(16, 16, QImage::Format_ARGB32);
    img.fill(c);
    images.push_back(img);
    list.Add(img);
  }
  icon.SetIconList(&list);
  icon.SetIconVisible(true);
  EXPECT_EQ(icon.Icon().Image(), images[0]);

  // No interval: the index is reset and nothing cycles.
  icon.SetIconIndex(2);
  icon.SetCycleIcons(true);
  EXPECT_EQ(icon.IconIndex(), 0);
  EXPECT_FALSE(icon.CycleStepTimer().Active());

  std::vector<int> reported;
  std::vector<int> shown;
  icon.OnCycle = [&](qb::TObject*, int next) { reported.push_back(next); };
  const auto* entry = tray.service.Find(icon.NotifyRecord().hWnd, icon.TrayId());
  ASSERT_NE(entry, nullptr);
  icon.SetCycleInterval(30);  // re-applies CycleIcons
  EXPECT_TRUE(icon.CycleStepTimer().Active());
  while (shown.size() < 4) {
    std::size_t n = reported.size();
    ASSERT_TRUE(qbtest::PumpUntil([&] { return reported.size() > n; }));
    for (int i = 0; i < 3; ++i)
      if (entry->image == images[i]) shown.push_back(i);
    EXPECT_EQ(icon.IconIndex(), reported.back());
  }
  icon.SetCycleIcons(false);
  EXPECT_EQ((std::vector<int>(reported.begin(), reported.begin() + 4)),
            (std::vector<int>{1, 2, 0, 1}));
  EXPECT_EQ(shown, (std::vector<int>{1, 2, 0, 1}));

  // Out-of-range indexes are brought into the list.
  icon.SetIconIndex(7);
  EXPECT_EQ(icon.IconIndex(), 2);
  icon.SetIconIndex(-3);
  EXPECT_EQ(icon.IconIndex(), 0);
  icon.SetIconIndex(1);
  // The list going away takes the index back to 0.
  {
    auto doomed = std::make_unique<qb::TImageList>(&owner);
    doomed->Add(images[0]);
    doomed->Add(images[1]);
    icon.SetIconList(doomed.get());
    icon.SetIconIndex(1);
  }
  EXPECT_EQ(icon.IconList(), nullptr);
  EXPECT_EQ(icon.IconIndex(), 0);
}

TEST_F(TrayIconTest, SharedWindowRestartAndDestruction) {
  ASSERT_EQ(qb::SharedTrayWindow(), nullptr);
  auto shown = std::make_unique<TestIcon>(&owner);
  auto hidden = std::make_unique<TestIcon>(&owner);
  auto* handler = qb::SharedTrayWindow();
  ASSERT_NE(handler, nullptr);
  EXPECT_EQ(handler->UseCount, 2u);
  EXPECT_EQ(shown->NotifyRecord().hWnd, hidden->NotifyRecord().hWnd);
  qb::HWND wnd = handler->MessageWindow();

  // Close requests from outside are answered and leave the window alone.
  for (qb::UINT m : {0x02u, 0x10u, 0x11u, 0x12u, 0x16u, 0x82u})
    EXPECT_EQ(qb::SendMessage(wnd, m, 0, 0), 1);
  EXPECT_TRUE(qb::IsWindow(wnd));

  shown->SetIconVisible(true);
  hidden->SetIconVisible(true);
  hidden->SetIconVisible(false);
  tray.service.calls.clear();
  tray.service.Restart();
  ASSERT_TRUE(qbtest::PumpUntil([&] { return tray.service.EntryCount() == 1; }));
  qbtest::PumpFor(50ms);
  EXPECT_NE(tray.service.Find(wnd, shown->TrayId()), nullptr);
  EXPECT_EQ(tray.service.Find(wnd, hidden->TrayId()), nullptr);
  EXPECT_EQ(tray.service.CallsOf(qb::NIM_ADD).size(), 1u);

  // A notification still queued for an icon that is destroyed is dropped.
  std::vector<std::string> late;
  shown->OnClick = [&](qb::TObject*) { late.push_back("click"); };
  tray.service.Notify(wnd, shown->TrayId(), 0x201);
  qb::PostMessage(wnd, 0x800, shown->TrayId(), 0x202);
  qb::UINT_PTR gone = shown->TrayId();
  shown.reset();
  EXPECT_EQ(tray.service.Find(wnd, gone), nullptr);  // destruction removed the entry
  EXPECT_EQ(qb::SharedTrayWindow(), handler);
  EXPECT_EQ(handler->UseCount, 1u);
  qbtest::PumpFor(50ms);
  EXPECT_TRUE(late.empty());

  hidden.reset();
  EXPECT_EQ(qb::SharedTrayWindow(), nullptr);
  EXPECT_FALSE(qb::IsWindow(wnd));
}

TEST_F(TrayIconTest, MinimiseToTrayThroughTheApplication) {
  TestForm form;
  form.show();
  auto* icon = new TestIcon(&form);  // owned by the form
  icon->SetHint("quillbox");
  icon->SetMinimizeToTray(true);
  int restores = 0;
  icon->SetOnDblClick([&](qb::TObject*) {
    ++restores;
    qb::Application().Restore();
  });

  // Loaded with the icon present; a second add is refused and changes nothing.
  qb::StoredLayout layout;
  layout.Add(icon, {[&] { icon->SetIconVisible(true); }});
  layout.Load();
  EXPECT_FALSE(icon->Loading());
  EXPECT_TRUE(form.isVisible());
  ASSERT_EQ(tray.service.EntryCount(), 1u);
  EXPECT_EQ(tray.service.CallsOf(qb::NIM_SETVERSION).size(), 1u);

  for (int round = 0; round < 2; ++round) {
    qb::Application().Minimize();
    EXPECT_FALSE(form.isVisible());
    EXPECT_FALSE(qb::Application().TaskbarEntryVisible());
    EXPECT_EQ(tray.service.EntryCount(), 1u);
    qb::ProcessMessages();  // the window system settles before the user's double click
    EXPECT_FALSE(form.isVisible());

    Notify(*icon, {0x201, 0x202, 0x203, 0x202});
    ASSERT_TRUE(qbtest::PumpUntil([&] { return restores == round + 1; }));
    EXPECT_TRUE(form.isVisible());
    EXPECT_FALSE(form.isMinimized());
    EXPECT_EQ(tray.service.EntryCount(), 1u);
  }

  // The user's own minimise goes the same way.
  form.showMinimized();
  EXPECT_TRUE(qbtest::PumpUntil([&] { return !form.isVisible(); }));
  qb::SendMessage(qb::Application().Handle(), qb::WM_SYSCOMMAND, qb::SC_RESTORE, 0);
  EXPECT_TRUE(form.isVisible());
  EXPECT_FALSE(form.isMinimized());

  icon->SetMinimizeToTray(false);
  qb::Application().Minimize();
  EXPECT_TRUE(qb::Application().TaskbarEntryVisible());
  qb::Application().Restore();
}

TEST_F(TrayIconTest, WithoutNotificationAreaMinimisingKeepsTheTaskbarEntry) {
  tray.service.SetAvailable(false);
  TestForm form;
  form.show();
  auto* icon = new TestIcon(&form);
  icon->SetMinimizeToTray(true);
  icon->SetIconVisible(true);
  qb::Application().Minimize();
  EXPECT_TRUE(form.isVisible());
  EXPECT_TRUE(form.isMinimized());
  EXPECT_TRUE(qb::Application().TaskbarEntryVisible());
  qb::Application().Restore();
  EXPECT_FALSE(form.isMinimized());
}

TEST_F(TrayIconTest, StartupHandlerAndMinimiseHandler) {
  TestForm form;
  form.show();
  auto* icon = new TestIcon(&form);
  icon->OnStartup = [](qb::TObject*, bool& show) { show = false; };
  icon->SetIconVisible(true);
  icon->Loaded();
  EXPECT_FALSE(form.isVisible());
  EXPECT_FALSE(qb::Application().ShowMainForm);
  qb::Application().ShowMainForm = true;
  qb::Application().Restore();
  EXPECT_TRUE(form.isVisible());

  // With OnMinimizeToTray the owner's own minimise is taken over.
  int told = 0;
  icon->SetMinimizeToTray(true);
  icon->OnMinimizeToTray = [&](qb::TObject* s) {
    EXPECT_EQ(s, icon);
    ++told;
  };
  form.showMinimized();
  EXPECT_TRUE(qbtest::PumpUntil([&] { return !form.isVisible(); }));
  EXPECT_EQ(told, 1);
  qb::Application().Restore();
  EXPECT_TRUE(form.isVisible());
}

TEST(TrayActivation, CodesForEachReason) {
  using R = QSystemTrayIcon::ActivationReason;
  using V = std::vector<qb::LPARAM>;
  EXPECT_EQ(qb::ActivationCodes(R::Trigger, false), (V{0x201, 0x202}));
  EXPECT_EQ(qb::ActivationCodes(R::DoubleClick, false), (V{0x203, 0x202}));
  EXPECT_EQ(qb::ActivationCodes(R::Context, false), (V{0x204, 0x205}));
  EXPECT_EQ(qb::ActivationCodes(R::MiddleClick, false), (V{0x207, 0x208}));
  EXPECT_EQ(qb::ActivationCodes(R::Unknown, false), V{});
  // Without a double click in the protocol the primary activation restores.
  EXPECT_EQ(qb::ActivationCodes(R::Trigger, true), (V{0x203, 0x202}));
  EXPECT_EQ(qb::ActivationCodes(R::Context, true), (V{0x204, 0x205}));
}

TEST(TrayService, QtBackendRefusesAddWithoutNotificationArea) {
  qb::SetTrayService(nullptr);
  qb::TrayService& qt = qb::CurrentTrayService();
  if (qt.Available()) GTEST_SKIP() << "a notification area exists here";
  qb::NotifyIconData d;
  d.hWnd = 42;
  d.uID = 1;
  d.uFlags = 7;
  EXPECT_FALSE(qt.Add(d));
  EXPECT_FALSE(qt.Modify(d));
  EXPECT_FALSE(qt.Delete(d));
  qb::ScopedFakeTray fake;
  EXPECT_EQ(&qb::CurrentTrayService(), &fake.service);
}

}  // namespace

namespace {

// Runs only where a notification area exists (for example under Xvfb with icewm).
TEST(TrayService, QtBackendKeepsEntriesWhereAreaExists) {
  qb::SetTrayService(nullptr);
  qb::TrayService& qt = qb::CurrentTrayService();
  if (!qt.Available()) GTEST_SKIP() << "no notification area here";
  qb::NotifyIconData d;
  d.hWnd = 42;
  d.uID = 7;
  d.uFlags = 7;
  d.uCallbackMessage = 0x800;
  d.hIcon = QImage(16, 16, QImage::Format_ARGB32);
  d.hIcon.fill(Qt::yellow);
  EXPECT_TRUE(qt.Add(d));
  EXPECT_FALSE(qt.Add(d));
  EXPECT_TRUE(qt.Modify(d));
  d.uVersion = 3;
  EXPECT_TRUE(qt.SetVersion(d));
  EXPECT_TRUE(qt.Delete(d));
  EXPECT_FALSE(qt.Delete(d));
  EXPECT_FALSE(qt.Modify(d));
}

}  // namespace
