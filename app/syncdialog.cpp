#include "app/syncdialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QHBoxLayout>
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
  // Link beside the clock: both carry the tempo.
  Link = new QCheckBox(QStringLiteral("Ableton Link"), this);
  Link->setObjectName(QStringLiteral("Link"));
  Link->setToolTip(QStringLiteral("Announces itself by multicast on every network interface"));
  auto* clocks = new QHBoxLayout;
  clocks->addWidget(MidiClock);
  clocks->addWidget(Link);
  clocks->addStretch();
  form->addRow(QString(), clocks);
  LinkStartStop = new QCheckBox(QStringLiteral("Link start/stop follows the beats"), this);
  LinkStartStop->setObjectName(QStringLiteral("LinkStartStop"));
  form->addRow(QString(), LinkStartStop);

  Offset = new QSpinBox(this);
  Offset->setObjectName(QStringLiteral("Offset"));
  Offset->setRange(-100, 500);
  Offset->setSuffix(QStringLiteral(" ms"));
  form->addRow(QStringLiteral("Offset:"), Offset);

  Tempo = new QLabel(this);
  Tempo->setObjectName(QStringLiteral("Tempo"));
  form->addRow(QStringLiteral("Tempo:"), Tempo);
  ShowTempo(0);
  LinkPeers = new QLabel(this);
  LinkPeers->setObjectName(QStringLiteral("LinkPeers"));
  form->addRow(QStringLiteral("Link:"), LinkPeers);
  ShowLinkPeers(-1);

  connect(TimeCode, &QComboBox::currentIndexChanged, this, [this] { Changed(); });
  connect(MidiClock, &QCheckBox::toggled, this, [this] { Changed(); });
  connect(Link, &QCheckBox::toggled, this, [this] { Changed(); });
  connect(LinkStartStop, &QCheckBox::toggled, this, [this] { Changed(); });
  connect(Offset, &QSpinBox::valueChanged, this, [this] { Changed(); });
}

void TSyncDialog::SetValues(const Values& v) {
  setting_ = true;
  const int index = TimeCode->findData(v.mtc_rate);
  TimeCode->setCurrentIndex(index >= 0 ? index : 0);
  MidiClock->setChecked(v.midi_clock);
  Offset->setValue(v.offset_ms);
  Link->setChecked(v.link);
  LinkStartStop->setChecked(v.link_start_stop);
  setting_ = false;
  values_ = Read();
}

TSyncDialog::Values TSyncDialog::Read() const {
  return {TimeCode->currentData().toInt(), MidiClock->isChecked(), Offset->value(),
          Link->isChecked(), LinkStartStop->isChecked()};
}

QString TSyncDialog::LinkPeersText(int peers) {
  if (peers < 0) return QStringLiteral("off");
  return peers == 1 ? QStringLiteral("1 peer") : QString::number(peers) + QStringLiteral(" peers");
}

void TSyncDialog::ShowLinkPeers(int peers) {
  LinkPeers->setText(LinkPeersText(peers));
}

void TSyncDialog::ShowTempo(double bpm) {
  Tempo->setText(bpm > 0 ? QString::number(bpm, 'f', 1) + QStringLiteral(" BPM")
                         : QStringLiteral("no beats"));
}

void TSyncDialog::Changed() {
  values_ = Read();
  if (!setting_ && changed_) changed_(values_);
}
