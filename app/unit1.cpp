#include "app/unit1.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QLabel>
#include <QLocale>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QSpinBox>
#include <algorithm>
#include <cstdio>
#include <type_traits>
#include <vector>

#include "app/logview.h"
#include "app/registry.h"
#include "app/syncdialog.h"
#include "bridge/mtc.h"
#include "bridge/syncout.h"
#include "midi/midiout.h"
#include "net/udpsockutil.h"
#include "platform/application.h"
#include "platform/doorbell.h"
#include "platform/errors.h"
#include "tray/texttrayicon.h"

TForm1* Form1 = nullptr;

namespace {

constexpr const char* kSettingsKey = "\\Software\\Quillbox";

// Wayland neither lets a client place its window nor tells it where the window is; the position
// Qt reports there is made up.
bool WindowPositionKnown() {
  return !QGuiApplication::platformName().startsWith(QLatin1String("wayland"));
}

constexpr QSize kDebugSize(700, 800);
constexpr QSize kCompactSize(165, 120);
// The debug view gives up log lines to fit a small screen, down to this many pixels of log.
constexpr int kMinLogHeight = 120;
// How much of the title bar a screen must show for the user to grab it.
constexpr int kGrip = 64;

int64_t Distance(const QRect& a, const QRect& b) {
  const int64_t dx =
      std::max<int64_t>({0, int64_t{b.left()} - a.right(), int64_t{a.left()} - b.right()});
  const int64_t dy =
      std::max<int64_t>({0, int64_t{b.top()} - a.bottom(), int64_t{a.top()} - b.bottom()});
  return dx * dx + dy * dy;
}

// The work area (the screen without panels) that shows most of r, else the nearest one; empty
// without screens.
QRect WorkAreaFor(const QRect& r) {
  QRect best;
  int64_t best_shown = 0;
  for (QScreen* s : QGuiApplication::screens()) {
    const QRect shown = s->availableGeometry() & r;
    const int64_t area = shown.isValid() ? int64_t{shown.width()} * shown.height() : 0;
    if (area > best_shown) best_shown = area, best = s->availableGeometry();
  }
  if (best_shown > 0) return best;
  for (QScreen* s : QGuiApplication::screens())
    if (best.isNull() || Distance(r, s->availableGeometry()) < Distance(r, best))
      best = s->availableGeometry();
  return best;
}

bool GrippableAcross(const QRect& bar, const QRect& area) {
  const int across = std::min(bar.right(), area.right()) - std::max(bar.left(), area.left()) + 1;
  return across >= std::min(bar.width(), kGrip);
}
bool GrippableDown(const QRect& bar, const QRect& area) {
  return bar.top() >= area.top() && bar.bottom() <= area.bottom();
}

}  // namespace

TForm1::TForm1(QWidget* parent) : QWidget(parent), qb::TComponent(nullptr) {
  Name = "Form1";
  view_window_ = qb::AllocateHWnd([this](qb::UINT msg, qb::WPARAM wparam, qb::LPARAM lparam) {
    return ViewProc(msg, wparam, lparam);
  });
  // The engine's thread, with the endpoint and the MIDI port, is there before the layout is
  // loaded; it starts listening at the step of FormCreate where the bridge always did.
  doorbell_ = std::make_unique<qb::Doorbell>([this] { EngineNews(); });
  qb::Engine::Options options;
  options.decimal_point = QLocale().decimalPoint().toStdString();
  options.wake = [bell = doorbell_.get()] { bell->Ring(); };
  engine_ = std::make_unique<qb::Engine>(std::move(options));
  LoadLayout();
  WireEngine();
  qb::Guarded([this] { FormCreate(this); });
  ShowTip();
}

TForm1::~TForm1() {
  qb::DeallocateHWnd(view_window_);  // no frame comes after this
  // The engine's components go on the engine's thread, before the window's own.
  engine_.reset();
  doorbell_.reset();
  while (!Components().empty()) delete Components().back();
}

void TForm1::Notification(qb::TComponent* component, qb::TOperation operation) {
  qb::TComponent::Notification(component, operation);
  if (operation != qb::TOperation::opRemove) return;
  if (component == TextTrayIcon1) TextTrayIcon1 = nullptr;
  if (component == Timer2) Timer2 = nullptr;
}

// ---- Window, settings and start-up

void TForm1::FormCreate(qb::TObject*) {
  SetOuterSize(kCompactSize.width(), kCompactSize.height());

  // Devices whose capabilities cannot be read are left out; each entry keeps the number of the
  // device it stands for, so entries and device numbers stay in step when one is skipped.
  struct Entry {
    std::string name;
    int device;
  };
  const std::vector<Entry> devices = engine_->Call([](qb::Engine::Components& c) {
    std::vector<Entry> list;
    for (int device = 0; device < c.MidiOutput1->DeviceCount(); ++device) {
      try {
        c.MidiOutput1->SetDeviceID(device);
        list.push_back({c.MidiOutput1->ProductName(), device});
      } catch (const qb::EmidioutputError&) {
      }
    }
    return list;
  });
  ComboBox1->clear();
  for (const Entry& e : devices) ComboBox1->addItem(QString::fromStdString(e.name), e.device);

  // No device at all is reported, but the bridge still listens.
  try {
    SelectDevice(0);
  } catch (const std::exception& e) {
    qb::ShowException(e);
  }

  ReadSettings();
  ReadSyncSettings();
  placed_ = pos();
  engine_->Call([](qb::Engine::Components& c) { c.Rules->liveDeck = 0; });

  try {
    engine_->Call([](qb::Engine::Components& c) { c.UdpSockUtil1->SetListening(true); });
  } catch (const std::exception& e) {
    deaf_ = true;
    qb::ShowException(e);
  }
  ReportReceiveBuffer();
  engine_->Call([](qb::Engine::Components& c) { c.MidiOutput1->Open(); });
}

// A receive buffer below what was asked for loses time code in bursts; the user can raise the
// system's limit (README, troubleshooting). Linux reports twice the usable size.
void TForm1::ReportReceiveBuffer() {
  const int32_t granted = engine_->Call([](qb::Engine::Components& c) {
    return c.UdpSockUtil1->Listening() ? c.UdpSockUtil1->ReceiveBufferSize() : 0;
  });
  if (granted <= 0 || granted >= 2 * (1 << 20)) return;
  std::fprintf(stderr,
               "quillbox: the UDP receive buffer is %d KiB, not the 1024 KiB asked for; bursts "
               "may lose datagrams (raise net.core.rmem_max)\n",
               granted / 2 / 1024);
}

// Selects list entry index and the device it stands for (device 0 when the list is empty, so
// that having no device is reported as the port reports it).
void TForm1::SelectDevice(int index) {
  ComboBox1->setCurrentIndex(index);
  const int device = index >= 0 && index < ComboBox1->count() ? ComboBox1->itemData(index).toInt()
                                                              : std::max(index, 0);
  engine_->Call([device](qb::Engine::Components& c) { c.MidiOutput1->SetDeviceID(device); });
}

void TForm1::ReadSettings() {
  qb::TRegistry reg;
  if (!reg.OpenKey(kSettingsKey, false)) return;
  try {
    const int32_t device = reg.ReadInteger("Device");
    try {
      ComboBox1->setCurrentIndex(ComboBox1->findData(device));
      engine_->Call([device](qb::Engine::Components& c) { c.MidiOutput1->SetDeviceID(device); });
    } catch (const std::exception& e) {
      // The stored device is gone: say so and go on with the first one.
      qb::ShowException(e);
      if (ComboBox1->count() > 0) SelectDevice(0);
    }
    // Far-off values are cut before they reach the window system; KeepOnScreen does the rest.
    constexpr int32_t kFar = 1 << 20;
    const int32_t top = std::clamp(reg.ReadInteger("xpos"), -kFar, kFar);
    move(x(), top);
    const int32_t left = std::clamp(reg.ReadInteger("ypos"), -kFar, kFar);
    move(left, y());
    SpinEdit1->setValue(reg.ReadInteger("channel"));
  } catch (const std::exception& e) {
    // A damaged value ends the reading of the settings, not the start-up.
    qb::ShowException(e);
  }
  reg.CloseKey();
  KeepOnScreen();
}

// The sync outputs' settings came after the others: each is read by itself, a missing one is the
// default, and a damaged or out-of-range one is the default with the store's message.
void TForm1::ReadSyncSettings() {
  TSyncDialog::Values v;
  qb::TRegistry reg;
  if (reg.OpenKey(kSettingsKey, false)) {
    auto read = [&](const char* name, auto valid, auto& into) {
      if (!reg.ValueExists(name)) return;
      try {
        const int32_t value = reg.ReadInteger(name);
        if (!valid(value))
          throw qb::ERegistryException(std::string("Ungültiger Datentyp für '") + name + "'");
        into = static_cast<std::remove_reference_t<decltype(into)>>(value);
      } catch (const std::exception& e) {
        qb::ShowException(e);
      }
    };
    read(
        "MtcRate", [](int32_t r) { return r == 0 || qb::ValidMtcRate(r); }, v.mtc_rate);
    read(
        "MidiClock", [](int32_t c) { return c == 0 || c == 1; }, v.midi_clock);
    read(
        "OffsetMs",
        [](int32_t ms) {
          return ms >= qb::SyncOutputs::kMinOffsetMs && ms <= qb::SyncOutputs::kMaxOffsetMs;
        },
        v.offset_ms);
    read(
        "Link", [](int32_t l) { return l == 0 || l == 1; }, v.link);
    read(
        "LinkStartStop", [](int32_t l) { return l == 0 || l == 1; }, v.link_start_stop);
    reg.CloseKey();
  }
  SyncDialog->SetValues(v);
  ApplySync(v);
}

void TForm1::ApplySync(const TSyncDialog::Values& v) {
  engine_->SetMtcRate(v.mtc_rate);
  engine_->SetMidiClock(v.midi_clock);
  engine_->SetOffsetMs(v.offset_ms);
  engine_->SetLinkStartStop(v.link_start_stop);
  engine_->SetLink(v.link);
}

void TForm1::SyncButtonClick(qb::TObject*) {
  SyncDialog->show();
  SyncDialog->raise();
  SyncDialog->activateWindow();
}

void TForm1::KeepOnScreen() {
  if (!WindowPositionKnown()) return;
  const QPoint at = OnScreen(pos());
  if (at != pos()) move(at);
}

// A window whose title bar no screen shows could be neither seen nor moved back by the user:
// it goes onto the screen that shows most of it, or the nearest, far enough to show it all where
// it fits and at least its title bar where it does not.
QPoint TForm1::OnScreen(QPoint at) const {
  const QSize size = OuterSize();
  // Before the window manager framed the window, its top edge stands for the title bar.
  const int bar_height = std::max(1, geometry().top() - frameGeometry().top());
  const QRect bar(at, QSize(size.width(), bar_height));
  for (QScreen* s : QGuiApplication::screens())
    if (GrippableAcross(bar, s->availableGeometry()) && GrippableDown(bar, s->availableGeometry()))
      return at;
  const QRect area = WorkAreaFor(QRect(at, size));
  if (area.isNull()) return at;
  // Each way is moved only where it was off.
  auto into = [](int from, int lowest, int room) {
    return std::clamp(from, lowest, std::max(lowest, lowest + room));
  };
  return {
      GrippableAcross(bar, area) ? at.x() : into(at.x(), area.left(), area.width() - size.width()),
      GrippableDown(bar, area) ? at.y() : into(at.y(), area.top(), area.height() - size.height())};
}

// The debug view keeps its size where the screen has room for it; on a smaller screen the log
// gives up height, and the window moves up as far as it grew past the bottom.
void TForm1::ShowDebugView() {
  if (designed_.empty())
    for (const QWidget* w : {static_cast<QWidget*>(Memo1), static_cast<QWidget*>(Label2),
                             static_cast<QWidget*>(Memo2)})
      designed_.push_back(w->geometry());
  const QRect area = WorkAreaFor(QRect(pos(), OuterSize()));
  const int fitting = area.isNull() ? kDebugSize.height() : area.height();
  const int given_up =
      std::clamp(kDebugSize.height() - fitting, 0, designed_[0].height() - kMinLogHeight);
  Memo1->setGeometry(designed_[0].adjusted(0, 0, 0, -given_up));
  Label2->setGeometry(designed_[1].translated(0, -given_up));
  Memo2->setGeometry(designed_[2].translated(0, -given_up));
  const int height = kDebugSize.height() - given_up;
  SetOuterSize(kDebugSize.width(), height);
  if (WindowPositionKnown() && !area.isNull() && y() + height > area.bottom() + 1)
    move(x(), std::max(area.top(), area.bottom() + 1 - height));
}

void TForm1::FormClose(qb::TObject*, TCloseAction&) {
  // The engine stops first: the port closes (when it refuses, nothing is stored and the window
  // stays open), and no datagram is handled after that.
  const int32_t device = engine_->Call([](qb::Engine::Components& c) {
    c.MidiOutput1->Close();
    c.UdpSockUtil1->SetListening(false);
    return c.MidiOutput1->DeviceID();
  });
  qb::TRegistry reg;
  if (!reg.OpenKey(kSettingsKey, true)) return;
  try {
    reg.WriteInteger("device", device);
    // Where the position is unknown, the one start-up gave the window is kept for the next
    // start on a desktop that places windows.
    const QPoint at = WindowPositionKnown() ? OnScreen(pos()) : placed_;
    reg.WriteInteger("xpos", at.y());
    reg.WriteInteger("ypos", at.x());
    reg.WriteInteger("channel", ChannelValue());
    const TSyncDialog::Values sync = SyncDialog->Current();
    reg.WriteInteger("MtcRate", sync.mtc_rate);
    reg.WriteInteger("MidiClock", sync.midi_clock ? 1 : 0);
    reg.WriteInteger("OffsetMs", sync.offset_ms);
    reg.WriteInteger("Link", sync.link ? 1 : 0);
    reg.WriteInteger("LinkStartStop", sync.link_start_stop ? 1 : 0);
  } catch (const qb::ERegistryException& e) {
    // A store that cannot be written must not keep the window from closing.
    qb::ShowException(e);
  }
  reg.CloseKey();
}

void TForm1::CheckBox1Click(qb::TObject*) {
  engine_->SetDebug(CheckBox1->isChecked());
  if (CheckBox1->isChecked())
    ShowDebugView();
  else
    SetOuterSize(kCompactSize.width(), kCompactSize.height());
}

// The engine closes the port, selects the device and opens it; the choice is stored once the
// device was selected (StoreDevice, from its notice).
void TForm1::ComboBox1Change(qb::TObject*) {
  const int index = ComboBox1->currentIndex();
  const int device = index >= 0 ? ComboBox1->itemData(index).toInt() : index;
  engine_->ChangeDevice(device);
}

void TForm1::StoreDevice(int32_t device) {
  qb::TRegistry reg;
  if (reg.OpenKey(kSettingsKey, true)) {
    reg.WriteInteger("Device", device);
    reg.CloseKey();
  }
}

void TForm1::Timer2Timer(qb::TObject*) {
  Timer2->SetEnabled(false);
  // With the tray icon's minimise-to-tray the window then leaves the taskbar for the tray.
  qb::Application().Minimize();
}

void TForm1::TextTrayIcon1DblClick(qb::TObject*) {
  qb::Application().Restore();
}

int32_t TForm1::ChannelValue() const {
  bool ok = false;
  const int v = SpinEdit1->cleanText().trimmed().toInt(&ok);
  if (!ok) return SpinEdit1->minimum();
  return std::clamp(v, SpinEdit1->minimum(), SpinEdit1->maximum());
}

void TForm1::SetOuterSize(int width, int height) {
  outer_size_ = QSize(width, height);
  ApplyOuterSize();
}

QSize TForm1::OuterSize() const {
  return frameGeometry().size();
}

// The frame is known only once the window manager has framed the window, so the client size
// is worked out again whenever the window is shown or moved.
void TForm1::ApplyOuterSize() {
  if (!outer_size_.isValid()) return;
  const QSize frame = frameGeometry().size() - geometry().size();
  const QSize client = outer_size_ - frame;
  if (client != size() || minimumSize() != client || maximumSize() != client) setFixedSize(client);
}

void TForm1::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  ApplyOuterSize();
  // The show event comes before the platform window is shown; where the toolkit draws the
  // frame itself (Wayland), the frame exists only after that, and no move may follow. Back from
  // the tray, the screen it was on may have gone meanwhile.
  QMetaObject::invokeMethod(
      this,
      [this] {
        ApplyOuterSize();
        KeepOnScreen();
      },
      Qt::QueuedConnection);
  ShownChanged();
}

void TForm1::hideEvent(QHideEvent* event) {
  QWidget::hideEvent(event);
  ShownChanged();
}

void TForm1::changeEvent(QEvent* event) {
  QWidget::changeEvent(event);
  if (event->type() == QEvent::WindowStateChange) ShownChanged();  // minimised or back
}

// Captions wake the window only while it is shown; shown again, it catches up at once.
void TForm1::ShownChanged() {
  if (!engine_) return;
  engine_->WantCaptions(Shown());
  if (Shown()) UpdateView();
}

void TForm1::moveEvent(QMoveEvent* event) {
  QWidget::moveEvent(event);
  ApplyOuterSize();
}

void TForm1::closeEvent(QCloseEvent* event) {
  TCloseAction action = TCloseAction::caHide;
  try {
    FormClose(this, action);
  } catch (...) {
    // The port refused to close: nothing was stored and the window stays open.
    qb::ShowCurrentException();
    event->ignore();
    return;
  }
  if (action == TCloseAction::caNone) {
    event->ignore();
    return;
  }
  event->accept();
  if (qb::Application().MainForm() == this) QCoreApplication::quit();
}
