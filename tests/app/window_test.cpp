// The main window: layout, start-up, settings, device list, debug size, close and signals.
#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QSpinBox>
#include <algorithm>
#include <csignal>

#include "app/logview.h"
#include "app/registry.h"
#include "app/signalclose.h"
#include "midi/midiout.h"
#include "platform/application.h"
#include "tests/app/appfixture.h"

namespace apptest {
namespace {

std::string Settings(const std::vector<std::pair<std::string, std::string>>& values) {
  std::string body = "[Software]\n";
  for (const auto& [name, value] : values) body += "Quillbox\\" + name + "=" + value + "\n";
  return body;
}

using WindowTest = AppTest;

TEST_F(WindowTest, FirstRunUsesStoredLayoutDefaultsAndListens) {
  AddDevices(3);
  TForm1& f = Start();

  EXPECT_TRUE(errors_->opened.empty());
  EXPECT_EQ(f.pos(), QPoint(262, 172));
  EXPECT_EQ(f.OuterSize(), QSize(165, 120));
  EXPECT_EQ(f.ComboBox1->count(), 3);
  EXPECT_EQ(f.ComboBox1->currentIndex(), 0);
  using C = qb::Engine::Components;
  EXPECT_EQ(OnEngine([](C& c) { return c.MidiOutput1->DeviceID(); }), 0);
  EXPECT_TRUE(OnEngine([](C& c) { return c.MidiOutput1->IsOpen(); }));
  EXPECT_EQ(midi_.OpenCount(0), 1);
  EXPECT_EQ(f.ChannelValue(), 1);
  EXPECT_TRUE(OnEngine([](C& c) { return c.UdpSockUtil1->Listening(); }));
  EXPECT_FALSE(PortFree(10001));
  EXPECT_FALSE(OnEngine([](C& c) { return c.Timer1->Enabled(); }));
  EXPECT_TRUE(OnEngine([](C& c) { return c.Timer1->Interval() == 333; }));
  EXPECT_TRUE(f.Timer2->Enabled());
  EXPECT_EQ(f.Timer2->Interval(), 2000u);
  // Nothing is stored until something changes.
  EXPECT_FALSE(QFile::exists(QString::fromStdString(qb::TRegistry::FileName())));

  // The endpoint really takes datagrams: a beat from a peer reaches the MIDI device.
  Peer peer;
  ASSERT_TRUE(peer.ok());
  peer.SendTo(FloatMessage("/Traktor.Deck0.Beat", 1.0f), 10001);
  EXPECT_TRUE(qbtest::PumpUntil([&] { return ShortPacked().size() == 1; }));
}

TEST_F(WindowTest, ControlsMatchTheStoredLayout) {
  AddDevices(1);
  TForm1& f = Start();

  EXPECT_EQ(f.windowTitle(), QString("brindle's quillbox"));
  EXPECT_FALSE(f.windowFlags() & Qt::WindowMaximizeButtonHint);
  EXPECT_TRUE(f.windowFlags() & Qt::WindowMinimizeButtonHint);
  EXPECT_EQ(f.minimumSize(), f.maximumSize());  // not resizable
  EXPECT_EQ(f.font().pixelSize(), 11);
  EXPECT_EQ(f.palette().color(QPalette::Window), f.palette().color(QPalette::Button));

  struct Row {
    QWidget* w;
    const char* name;
    const char* caption;
    QRect geometry;
  };
  const std::vector<Row> rows = {
      {f.ComboBox1, "ComboBox1", nullptr, {8, 8, 145, 21}},
      {f.CheckBox2, "CheckBox2", "", {8, 32, 17, 17}},
      {f.Label1, "Label1", "Beat", {24, 34, 22, 13}},
      {f.Label4, "Label4", "Kanal:", {67, 34, 30, 13}},
      {f.SpinEdit1, "SpinEdit1", nullptr, {104, 35, 49, 22}},
      {f.CheckBox3, "CheckBox3", "", {8, 48, 17, 17}},
      {f.Label3, "Label3", "Position", {25, 50, 37, 13}},
      {f.CheckBox1, "CheckBox1", "Debug", {8, 64, 57, 17}},
      {f.Memo1, "Memo1", nullptr, {8, 88, 657, 489}},
      {f.Label2, "Label2", "Filter", {8, 600, 22, 13}},
      {f.Memo2, "Memo2", nullptr, {8, 616, 481, 73}},
      {f.Button2, "Button2", "Time", {464, 24, 75, 25}},
      {f.Button1, "Button1", "Beat", {568, 24, 75, 25}},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    ASSERT_NE(r.w, nullptr);
    EXPECT_EQ(r.w->objectName(), QString(r.name));
    EXPECT_EQ(r.w->parentWidget(), &f);
    if (auto* l = qobject_cast<QLabel*>(r.w)) {
      // A label grows to the right when the substituted face draws its caption wider.
      EXPECT_EQ(l->pos(), r.geometry.topLeft());
      EXPECT_EQ(l->height(), r.geometry.height());
      EXPECT_GE(l->width(), r.geometry.width());
      EXPECT_GE(l->width(), l->sizeHint().width());
      EXPECT_EQ(l->text(), QString(r.caption));
      continue;
    }
    EXPECT_EQ(r.w->geometry(), r.geometry);
    if (!r.caption) continue;
    if (auto* b = qobject_cast<QAbstractButton*>(r.w)) {
      EXPECT_EQ(b->text(), QString(r.caption));
    }
  }
  EXPECT_TRUE(f.CheckBox2->isChecked());
  EXPECT_TRUE(f.CheckBox3->isChecked());
  EXPECT_FALSE(f.CheckBox1->isChecked());
  EXPECT_FALSE(f.ComboBox1->isEditable());
  EXPECT_EQ(f.SpinEdit1->minimum(), 1);
  EXPECT_EQ(f.SpinEdit1->maximum(), 127);
  EXPECT_EQ(f.Memo1->LineCount(), 0u);
  EXPECT_TRUE(f.Memo2->toPlainText().isEmpty());
  EXPECT_EQ(f.Memo1->MaxLines(), 100000u);

  // Tab order 0..8: Memo1, CheckBox1, ComboBox1, Memo2, Button1, Button2, CheckBox2,
  // CheckBox3, SpinEdit1.
  const std::vector<QWidget*> order = {f.Memo1,   f.CheckBox1, f.ComboBox1, f.Memo2,    f.Button1,
                                       f.Button2, f.CheckBox2, f.CheckBox3, f.SpinEdit1};
  std::vector<QWidget*> chain = {f.Memo1};
  for (QWidget* w = f.Memo1->nextInFocusChain(); w && w != f.Memo1; w = w->nextInFocusChain())
    if (std::find(order.begin(), order.end(), w) != order.end()) chain.push_back(w);
  EXPECT_EQ(chain, order);
}

TEST_F(WindowTest, CloseStoresAndNextStartRestoresExactly) {
  AddDevices(3);
  {
    TForm1& f = Start();
    f.ComboBox1->setCurrentIndex(2);
    f.ComboBox1Change(&f);
    f.move(300, 50);
    f.SpinEdit1->setValue(17);
    EXPECT_TRUE(f.close());
  }
  EXPECT_EQ(StoredValue("Device"), 2);
  EXPECT_EQ(StoredValue("xpos"), 50);
  EXPECT_EQ(StoredValue("ypos"), 300);
  EXPECT_EQ(StoredValue("channel"), 17);
  EXPECT_FALSE(midi_.IsOpenHandle(1));  // the port was closed

  form_.reset();
  const int opens_before = midi_.OpenCount(2);
  TForm1& g = Start();
  EXPECT_TRUE(errors_->opened.empty()) << errors_->opened.front();
  EXPECT_EQ(g.pos(), QPoint(300, 50));
  EXPECT_EQ(g.ChannelValue(), 17);
  EXPECT_EQ(g.ComboBox1->currentIndex(), 2);
  EXPECT_EQ(OnEngine([](qb::Engine::Components& c) { return c.MidiOutput1->DeviceID(); }), 2);
  EXPECT_EQ(midi_.OpenCount(2), opens_before + 1);
}

TEST_F(WindowTest, StoredChannelIsClampedIntoRange) {
  AddDevices(1);
  for (const auto& [stored, expected] : {std::pair{"0", 1}, {"500", 127}, {"-7", 1}, {"64", 64}}) {
    SCOPED_TRACE(stored);
    WriteSettings(Settings({{"Device", "0"}, {"xpos", "10"}, {"ypos", "20"}, {"channel", stored}}));
    TForm1& f = Start();
    EXPECT_EQ(f.ChannelValue(), expected);
    EXPECT_EQ(f.SpinEdit1->value(), expected);
    EXPECT_TRUE(errors_->opened.empty());
    form_.reset();
  }
}

TEST_F(WindowTest, ChannelTextThatIsNoIntegerReadsAsOne) {
  AddDevices(1);
  TForm1& f = Start();
  f.SpinEdit1->setValue(40);
  auto* edit = f.SpinEdit1->findChild<QLineEdit*>();
  ASSERT_NE(edit, nullptr);
  edit->setText("x9");
  EXPECT_EQ(f.ChannelValue(), 1);
  edit->setText("99");
  EXPECT_EQ(f.ChannelValue(), 99);
}

TEST_F(WindowTest, DebugBoxSwitchesBetweenTheTwoSizesKeepingTheCorner) {
  AddDevices(1);
  TForm1& f = Start();
  f.move(40, 30);
  f.CheckBox1->setChecked(true);
  EXPECT_EQ(f.OuterSize(), QSize(700, 800));
  EXPECT_EQ(f.pos(), QPoint(40, 30));
  f.CheckBox1->setChecked(false);
  EXPECT_EQ(f.OuterSize(), QSize(165, 120));
  EXPECT_EQ(f.pos(), QPoint(40, 30));
}

TEST_F(WindowTest, DeviceChangeIsStoredAtOnceAndOpensThatDevice) {
  AddDevices(3);
  TForm1& f = Start();
  f.ComboBox1->setCurrentIndex(1);
  emit f.ComboBox1->activated(1);  // as the user's pick does
  Settle();
  EXPECT_EQ(StoredValue("Device"), 1);
  using C = qb::Engine::Components;
  EXPECT_EQ(OnEngine([](C& c) { return c.MidiOutput1->DeviceID(); }), 1);
  EXPECT_TRUE(OnEngine([](C& c) { return c.MidiOutput1->IsOpen(); }));
  EXPECT_EQ(midi_.OpenCount(1), 1);
  EXPECT_EQ(midi_.CloseCount(0), 1);
  EXPECT_TRUE(errors_->opened.empty());
}

TEST_F(WindowTest, UnreadableDeviceIsLeftOutAndEntriesKeepTheirDeviceNumbers) {
  AddDevices(3);
  midi_.FailCapsOf(1, qb::MMSYSERR_NODRIVER);
  TForm1& f = Start();
  ASSERT_EQ(f.ComboBox1->count(), 2);
  EXPECT_EQ(f.ComboBox1->itemText(0), QString("Synth A"));
  EXPECT_EQ(f.ComboBox1->itemText(1), QString("Synth C"));
  EXPECT_TRUE(errors_->opened.empty());

  // The second entry stands for device 2: that is what is opened and stored...
  using C = qb::Engine::Components;
  auto device = [&] { return OnEngine([](C& c) { return c.MidiOutput1->DeviceID(); }); };
  f.ComboBox1->setCurrentIndex(1);
  f.ComboBox1Change(&f);
  Settle();
  EXPECT_EQ(device(), 2);
  EXPECT_EQ(midi_.OpenCount(2), 1);
  EXPECT_EQ(StoredValue("Device"), 2);
  f.ComboBox1->setCurrentIndex(0);
  f.ComboBox1Change(&f);
  Settle();
  EXPECT_EQ(device(), 0);
  f.ComboBox1->setCurrentIndex(1);
  f.ComboBox1Change(&f);
  ASSERT_TRUE(f.close());
  form_.reset();

  // ...and restored as that entry.
  TForm1& g = Start();
  EXPECT_EQ(g.ComboBox1->currentIndex(), 1);
  EXPECT_EQ(device(), 2);
  EXPECT_TRUE(OnEngine([](C& c) { return c.MidiOutput1->IsOpen(); }));
}

TEST_F(WindowTest, DamagedSettingsShowTheStoresMessageAndStartUpGoesOn) {
  AddDevices(2);
  struct Case {
    std::string body;
    std::string message;
  };
  const std::vector<Case> cases = {
      {Settings({{"Device", "1"}, {"ypos", "20"}, {"channel", "3"}}),
       "Fehler beim Holen der Daten für 'xpos'"},
      {Settings({{"Device", "1"}, {"xpos", "10"}, {"ypos", "20"}, {"channel", "abc"}}),
       "Ungültiger Datentyp für 'channel'"},
      {Settings({{"Device", "1"}, {"xpos", "4294967296"}, {"ypos", "20"}, {"channel", "3"}}),
       "Ungültiger Datentyp für 'xpos'"},
      {Settings({{"xpos", "10"}, {"ypos", "20"}, {"channel", "3"}}),
       "Fehler beim Holen der Daten für 'Device'"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    WriteSettings(c.body);
    errors_.reset();  // one presenter at a time
    errors_ = std::make_unique<qbtest::RecordingPresenter>();
    TForm1& f = Start();
    ASSERT_EQ(errors_->opened.size(), 1u);
    EXPECT_EQ(errors_->opened[0], c.message);
    EXPECT_EQ(errors_->titles[0], "quillbox");
    (void)f;
    EXPECT_TRUE(OnEngine([](qb::Engine::Components& c) {
      return c.UdpSockUtil1->Listening() && c.MidiOutput1->IsOpen();
    }));
    form_.reset();
  }
}

TEST_F(WindowTest, StoredDeviceThatIsGoneIsReportedAndTheFirstDeviceIsUsed) {
  AddDevices(2);
  WriteSettings(Settings({{"Device", "5"}, {"xpos", "10"}, {"ypos", "20"}, {"channel", "9"}}));
  TForm1& f = Start();
  ASSERT_EQ(errors_->opened.size(), 1u);
  EXPECT_EQ(errors_->opened[0], "Invalid device ID.");
  EXPECT_EQ(f.ComboBox1->currentIndex(), 0);
  using C = qb::Engine::Components;
  EXPECT_EQ(OnEngine([](C& c) { return c.MidiOutput1->DeviceID(); }), 0);
  EXPECT_TRUE(OnEngine([](C& c) { return c.MidiOutput1->IsOpen(); }));
  EXPECT_EQ(midi_.OpenCount(0), 1);
  EXPECT_TRUE(OnEngine([](C& c) { return c.UdpSockUtil1->Listening(); }));
  // The rest of the settings still apply.
  EXPECT_EQ(f.pos(), QPoint(20, 10));
  EXPECT_EQ(f.ChannelValue(), 9);
}

TEST_F(WindowTest, StoredDeviceWhoseCapabilitiesFailIsReportedAndTheFirstIsUsed) {
  AddDevices(3);
  midi_.FailCapsOf(2, qb::MMSYSERR_NODRIVER);
  WriteSettings(Settings({{"Device", "2"}, {"xpos", "10"}, {"ypos", "20"}, {"channel", "9"}}));
  TForm1& f = Start();
  ASSERT_EQ(errors_->opened.size(), 1u);
  EXPECT_EQ(f.ComboBox1->currentIndex(), 0);
  using C = qb::Engine::Components;
  EXPECT_EQ(OnEngine([](C& c) { return c.MidiOutput1->DeviceID(); }), 0);
  EXPECT_EQ(midi_.OpenCount(0), 1);
  EXPECT_EQ(midi_.OpenCount(2), 0);
  EXPECT_TRUE(OnEngine([](C& c) { return c.UdpSockUtil1->Listening(); }));
}

TEST_F(WindowTest, NoDeviceAtAllIsReportedButTheBridgeStillListens) {
  TForm1& f = Start();
  ASSERT_EQ(errors_->opened.size(), 1u);
  EXPECT_EQ(errors_->opened[0], "Invalid device ID.");
  EXPECT_EQ(f.ComboBox1->count(), 0);
  using C = qb::Engine::Components;
  EXPECT_TRUE(OnEngine([](C& c) { return c.UdpSockUtil1->Listening(); }));
  EXPECT_FALSE(OnEngine([](C& c) { return c.MidiOutput1->IsOpen(); }));

  // A probe is still answered.
  Peer pong(10000);
  ASSERT_TRUE(pong.ok()) << "UDP port 10000 is in use";
  Peer peer;
  peer.SendTo(std::string("/__PING\0,\0\0\0", 12), 10001);
  EXPECT_TRUE(pong.Receive().has_value());
}

TEST_F(WindowTest, PositionOutsideEveryScreenIsMovedOntoTheNearestScreen) {
  AddDevices(1);
  const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
  WriteSettings(
      Settings({{"Device", "0"}, {"xpos", "-5000"}, {"ypos", "90000"}, {"channel", "1"}}));
  TForm1& f = Start();
  EXPECT_TRUE(errors_->opened.empty());
  const QRect window(f.pos(), f.OuterSize());
  EXPECT_TRUE(screen.contains(window)) << f.x() << "," << f.y();
  EXPECT_EQ(window.right(), screen.right());  // nearest: the right edge, at the top
  EXPECT_EQ(window.top(), screen.top());

  // A position partly on a screen, with the title bar on it, is left alone.
  form_.reset();
  WriteSettings(Settings({{"Device", "0"}, {"xpos", "20"}, {"ypos", "-30"}, {"channel", "1"}}));
  TForm1& g = Start();
  EXPECT_EQ(g.pos(), QPoint(-30, 20));
}

TEST_F(WindowTest, CloseRefusedByThePortWritesNothingAndKeepsTheWindow) {
  AddDevices(1);
  TForm1& f = Start();
  midi_.FailWith(qb::FakeMidiService::Op::Close, qb::MMSYSERR_ERROR);
  EXPECT_FALSE(f.close());
  EXPECT_TRUE(f.isVisible());
  EXPECT_EQ(errors_->opened.size(), 1u);
  EXPECT_FALSE(StoredValue("xpos").has_value());

  errors_->Close();
  midi_.FailWith(qb::FakeMidiService::Op::Close, 0);
  EXPECT_TRUE(f.close());
  EXPECT_EQ(StoredValue("xpos"), 172);
}

TEST_F(WindowTest, TerminationSignalClosesLikeTheCloseButton) {
  AddDevices(2);
  TForm1& f = Start();
  ASSERT_TRUE(qb::CloseOnTerminationSignals(&f));
  f.move(111, 222);
  // SIGTERM with the window shown, SIGINT with it hidden in the notification area.
  for (const auto& [sig, channel] : {std::pair{SIGTERM, 5}, {SIGINT, 6}}) {
    f.SpinEdit1->setValue(channel);
    if (sig == SIGINT) f.hide();
    std::raise(sig);
    EXPECT_TRUE(qbtest::PumpUntil([&] { return StoredValue("channel") == channel; }));
    EXPECT_FALSE(f.isVisible());
    using C = qb::Engine::Components;
    EXPECT_FALSE(OnEngine([](C& c) { return c.MidiOutput1->IsOpen(); }));
    EXPECT_EQ(StoredValue("ypos"), 111);
    EXPECT_EQ(StoredValue("xpos"), 222);
    EXPECT_TRUE(OnEngine([](C& c) { return c.MidiOutput1->Open(); }));
    f.show();
  }
}

TEST_F(WindowTest, Timer2MinimisesOnceAfterStart) {
  AddDevices(1);
  TForm1& f = Start();
  qb::Application().SetMainForm(&f);
  f.Timer2Timer(f.Timer2);
  EXPECT_FALSE(f.Timer2->Enabled());
  EXPECT_TRUE(qb::Application().Minimized());
  qb::Application().SetMainForm(nullptr);
}

}  // namespace
}  // namespace apptest
