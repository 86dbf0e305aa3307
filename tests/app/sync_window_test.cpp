// The "Sync" dialog: its controls, clicked and typed into as a user would, reach the engine at
// once and are stored at close; stored values come back at start, damaged ones fall back with
// the settings store's message; a standard time code leaves as MTC instead of the classic one.
#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>

#include "app/syncdialog.h"
#include "bridge/syncout.h"
#include "tests/app/appfixture.h"

namespace apptest {
namespace {

// A key pressed and released on a control, as the keyboard delivers it.
void Key(QWidget* w, int key, const QString& text = {}) {
  QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier, text);
  QKeyEvent release(QEvent::KeyRelease, key, Qt::NoModifier, text);
  QCoreApplication::sendEvent(w, &press);
  QCoreApplication::sendEvent(w, &release);
}

using SyncWindowTest = AppTest;
using C = qb::Engine::Components;

struct EngineSync {
  int rate;
  bool clock;
  int offset;
  bool operator==(const EngineSync&) const = default;
};
EngineSync Read(C& c) {
  return {c.Rules->mtc_rate, c.Sync->Clock(), c.Sync->OffsetMs()};
}

TEST_F(SyncWindowTest, ControlsTakeEffectAtOnceAndAreStoredAtClose) {
  AddDevices(1);
  {
    TForm1& f = Start();
    EXPECT_TRUE(errors_->opened.empty());
    EXPECT_EQ(OnEngine(Read), (EngineSync{0, false, 0}));  // the classic output alone
    EXPECT_FALSE(f.SyncDialog->isVisible());
    f.SyncButton->click();
    ASSERT_TRUE(f.SyncDialog->isVisible());

    TSyncDialog& d = *f.SyncDialog;
    Key(d.TimeCode, Qt::Key_Down);  // "MTC 24 fps"
    Key(d.TimeCode, Qt::Key_Down);  // "MTC 25 fps"
    d.MidiClock->click();
    d.Offset->selectAll();
    for (const QChar c : QStringLiteral("-40"))
      Key(d.Offset, c == '-' ? Qt::Key_Minus : Qt::Key_0 + (c.unicode() - '0'), c);
    Key(d.Offset, Qt::Key_Return);
    Settle();
    EXPECT_EQ(OnEngine(Read), (EngineSync{25, true, -40}));
    EXPECT_TRUE(f.close());
  }
  EXPECT_EQ(StoredValue("MtcRate"), 25);
  EXPECT_EQ(StoredValue("MidiClock"), 1);
  EXPECT_EQ(StoredValue("OffsetMs"), -40);

  form_.reset();
  TForm1& g = Start();
  EXPECT_TRUE(errors_->opened.empty());
  EXPECT_EQ(OnEngine(Read), (EngineSync{25, true, -40}));
  EXPECT_EQ(g.SyncDialog->TimeCode->currentText(), "MTC 25 fps");
  EXPECT_TRUE(g.SyncDialog->MidiClock->isChecked());
  EXPECT_EQ(g.SyncDialog->Offset->value(), -40);
  EXPECT_EQ(g.SyncDialog->Tempo->text(), "no beats");
}

TEST_F(SyncWindowTest, ValuesOutOfRangeFallBackToTheDefaultWithTheStoresMessage) {
  AddDevices(1);
  const struct {
    const char* line;
    const char* message;
  } rows[] = {
      {"MtcRate=29", "Ungültiger Datentyp für 'MtcRate'"},
      {"MidiClock=2", "Ungültiger Datentyp für 'MidiClock'"},
      {"OffsetMs=501", "Ungültiger Datentyp für 'OffsetMs'"},
      {"OffsetMs=-101", "Ungültiger Datentyp für 'OffsetMs'"},
      {"OffsetMs=soon", "Ungültiger Datentyp für 'OffsetMs'"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.line);
    WriteSettings(std::string("[Software]\nQuillbox\\Device=0\nQuillbox\\xpos=10\n"
                              "Quillbox\\ypos=20\nQuillbox\\channel=1\nQuillbox\\MtcRate=30\n"
                              "Quillbox\\") +
                  row.line + "\n");
    Start();
    ASSERT_EQ(errors_->opened.size(), 1u);
    EXPECT_EQ(errors_->opened[0], row.message);
    const EngineSync s = OnEngine(Read);
    // The damaged value is the default; the others are read as stored.
    EXPECT_EQ(s.rate, std::string(row.line).rfind("MtcRate", 0) == 0 ? 0 : 30);
    EXPECT_FALSE(s.clock);
    EXPECT_EQ(s.offset, 0);
    form_.reset();
    errors_->opened.clear();
    qb::ErrorBoxClosed();  // the user dismissed it
  }
}

// The classic full message is the default, byte for byte; with a rate chosen, a position is an
// all-call full frame at that rate instead.
TEST_F(SyncWindowTest, ARateChosenSendsAllCallFullFramesInsteadOfTheClassicMessage) {
  AddDevices(1);
  TForm1& f = Start();
  f.sendTime(66);
  Settle();
  const std::vector<std::uint8_t> classic = {0xF0, 0x7F, 0x01, 0x01, 0x01,
                                             0x00, 0x00, 0x06, 0x3C, 0xF7};
  EXPECT_EQ(LongBytes(), std::vector<std::vector<std::uint8_t>>{classic});
  EXPECT_TRUE(midi_.TimedMessages().empty());

  f.SyncDialog->TimeCode->setCurrentIndex(f.SyncDialog->TimeCode->findData(25));
  f.sendTime(66);  // 6.6 s: 00:00:06, frame 15 at 25 fps
  Settle();
  EXPECT_EQ(LongBytes().size(), 1u);  // no classic message more
  const auto timed = midi_.TimedMessages();
  ASSERT_EQ(timed.size(), 1u);
  EXPECT_EQ(timed[0].bytes, (std::vector<std::uint8_t>{0xF0, 0x7F, 0x7F, 0x01, 0x01, 0x20, 0x00,
                                                       0x06, 0x0F, 0xF7}));
}

}  // namespace
}  // namespace apptest
