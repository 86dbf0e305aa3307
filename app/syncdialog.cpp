#include "app/syncdialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QLabel>
#include <QSpinBox>
#include <array>

namespace {

struct Choice {
  std::int32_t rate;
  const char* text;
};
constexpr std::array<Choice, 5> kChoices = {{
    {0, "Classic"},
    {24, "MTC 24 fps"},
    {25, "MTC 25 fps"},
    {2997, "MTC 29.97 fps drop-frame"},
    {30, "MTC 30 fps"},
}};

}  // namespace

TSyncDialog::TSyncDialog(QWidget* parent, std::function<void(const Values&)> changed)
    : QDialog(parent), changed_(std::move(changed)) {
  setObjectName(QStringLiteral("SyncDialog"));
  setWindowTitle(QStringLiteral("Sync"));
  auto* form = new QFormLayout(this);

  TimeCode = new QComboBox(this);
  TimeCode->setObjectName(QStringLiteral("TimeCode"));
  for (const Choice& c : kChoices) TimeCode->addItem(QString::fromLatin1(c.text), c.rate);
  form->addRow(QStringLiteral("Time code:"), TimeCode);

  MidiClock = new QCheckBox(QStringLiteral("MIDI beat clock"), this);
  MidiClock->setObjectName(QStringLiteral("MidiClock"));
  form->addRow(QString(), MidiClock);

  Offset = new QSpinBox(this);
  Offset->setObjectName(QStringLiteral("Offset"));
  Offset->setRange(-100, 500);
  Offset->setSuffix(QStringLiteral(" ms"));
  form->addRow(QStringLiteral("Offset:"), Offset);

  Tempo = new QLabel(this);
  Tempo->setObjectName(QStringLiteral("Tempo"));
  form->addRow(QStringLiteral("Tempo:"), Tempo);
  ShowTempo(0);

  connect(TimeCode, &QComboBox::currentIndexChanged, this, [this] { Changed(); });
  connect(MidiClock, &QCheckBox::toggled, this, [this] { Changed(); });
  connect(Offset, &QSpinBox::valueChanged, this, [this] { Changed(); });
}

void TSyncDialog::SetValues(const Values& v) {
  setting_ = true;
  const int index = TimeCode->findData(v.mtc_rate);
  TimeCode->setCurrentIndex(index >= 0 ? index : 0);
  MidiClock->setChecked(v.midi_clock);
  Offset->setValue(v.offset_ms);
  setting_ = false;
  values_ = {TimeCode->currentData().toInt(), MidiClock->isChecked(), Offset->value()};
}

void TSyncDialog::ShowTempo(double bpm) {
  Tempo->setText(bpm > 0 ? QString::number(bpm, 'f', 1) + QStringLiteral(" BPM")
                         : QStringLiteral("no beats"));
}

void TSyncDialog::Changed() {
  values_ = {TimeCode->currentData().toInt(), MidiClock->isChecked(), Offset->value()};
  if (!setting_ && changed_) changed_(values_);
}
