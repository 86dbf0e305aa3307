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
#include <QTextBlock>
#include <algorithm>
#include <bit>
#include <charconv>
#include <chrono>
#include <cmath>
#include <optional>
#include <string_view>
#include <thread>

#include "app/registry.h"
#include "midi/midiout.h"
#include "platform/application.h"
#include "platform/errors.h"
#include "tray/texttrayicon.h"

int liveDeck = 0;
int32_t lastPhase = 0;
TForm1* Form1 = nullptr;

namespace {

constexpr const char* kSettingsKey = "\\Software\\Quillbox";

bool StartsWith(const qb::ByteString& text, std::string_view prefix) {
  return text.size() >= prefix.size() && std::string_view(text).substr(0, prefix.size()) == prefix;
}

// The seek position as the nearest whole number, halves going to the even neighbour, cut to
// its low 32 bits; none for a value that has no 64-bit integer (NaN, infinite, too large).
std::optional<int32_t> SeekPosition(float value) {
  const double v = value;
  if (!std::isfinite(v)) return std::nullopt;
  const double floor = std::floor(v);
  const double fraction = v - floor;  // exact: v has at most 24 significant bits
  double rounded = floor;
  if (fraction > 0.5 || (fraction == 0.5 && std::fmod(floor, 2.0) != 0.0)) rounded = floor + 1;
  if (rounded < -0x1p63 || rounded >= 0x1p63) return std::nullopt;
  const auto whole = static_cast<int64_t>(rounded);
  return static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(whole)));
}

// 15 significant digits in the shortest general form, with the user's decimal separator.
QString FormatSingle(float value) {
  char buf[64];
  const auto r = std::to_chars(buf, buf + sizeof buf, static_cast<double>(value),
                               std::chars_format::general, 15);
  QString s = QString::fromLatin1(buf, static_cast<qsizetype>(r.ptr - buf));
  s.replace(QLatin1Char('.'), QLocale().decimalPoint());
  return s;
}

// Wayland neither lets a client place its window nor tells it where the window is; the position
// Qt reports there is made up.
bool WindowPositionKnown() {
  return !QGuiApplication::platformName().startsWith(QLatin1String("wayland"));
}

}  // namespace

TForm1::TForm1(QWidget* parent) : QWidget(parent), qb::TComponent(nullptr) {
  Name = "Form1";
  LoadLayout();
  qb::Guarded([this] { FormCreate(this); });
}

TForm1::~TForm1() {
  // The components go before the controls their handlers touch.
  while (!Components().empty()) delete Components().back();
}

void TForm1::Notification(qb::TComponent* component, qb::TOperation operation) {
  qb::TComponent::Notification(component, operation);
  if (operation != qb::TOperation::opRemove) return;
  if (component == UdpSockUtil1) UdpSockUtil1 = nullptr;
  if (component == MidiOutput1) MidiOutput1 = nullptr;
  if (component == TextTrayIcon1) TextTrayIcon1 = nullptr;
  if (component == Timer1) Timer1 = nullptr;
  if (component == Timer2) Timer2 = nullptr;
}

// ---- Window, settings and start-up

void TForm1::FormCreate(qb::TObject*) {
  SetOuterSize(165, 120);

  // Devices whose capabilities cannot be read are left out; each entry keeps the number of the
  // device it stands for, so entries and device numbers stay in step when one is skipped.
  ComboBox1->clear();
  for (int device = 0; device < MidiOutput1->DeviceCount(); ++device) {
    try {
      MidiOutput1->SetDeviceID(device);
      ComboBox1->addItem(QString::fromStdString(MidiOutput1->ProductName()), device);
    } catch (const qb::EmidioutputError&) {
    }
  }

  // No device at all is reported, but the bridge still listens.
  try {
    SelectDevice(0);
  } catch (const std::exception& e) {
    qb::ShowException(e);
  }

  ReadSettings();
  placed_ = pos();
  liveDeck = 0;

  try {
    UdpSockUtil1->SetListening(true);
  } catch (const std::exception& e) {
    qb::ShowException(e);
  }
  MidiOutput1->Open();
}

// Selects list entry index and the device it stands for (device 0 when the list is empty, so
// that having no device is reported as the port reports it).
void TForm1::SelectDevice(int index) {
  ComboBox1->setCurrentIndex(index);
  const int device = index >= 0 && index < ComboBox1->count() ? ComboBox1->itemData(index).toInt()
                                                              : std::max(index, 0);
  MidiOutput1->SetDeviceID(device);
}

void TForm1::ReadSettings() {
  qb::TRegistry reg;
  if (!reg.OpenKey(kSettingsKey, false)) return;
  try {
    const int32_t device = reg.ReadInteger("Device");
    try {
      ComboBox1->setCurrentIndex(ComboBox1->findData(device));
      MidiOutput1->SetDeviceID(device);
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

void TForm1::KeepOnScreen() {
  const QList<QScreen*> screens = QGuiApplication::screens();
  if (screens.isEmpty()) return;
  const QRect window(pos(), OuterSize());
  for (QScreen* s : screens)
    if (s->geometry().intersects(window)) return;

  auto distance = [&](const QRect& r) {
    const int64_t dx = std::max<int64_t>(
        {0, int64_t{r.left()} - window.right(), int64_t{window.left()} - r.right()});
    const int64_t dy = std::max<int64_t>(
        {0, int64_t{r.top()} - window.bottom(), int64_t{window.top()} - r.bottom()});
    return dx * dx + dy * dy;
  };
  QRect best = screens.front()->availableGeometry();
  for (QScreen* s : screens)
    if (distance(s->availableGeometry()) < distance(best)) best = s->availableGeometry();
  const int left = std::clamp(window.left(), best.left(),
                              std::max(best.left(), best.right() + 1 - window.width()));
  const int top = std::clamp(window.top(), best.top(),
                             std::max(best.top(), best.bottom() + 1 - window.height()));
  move(left, top);
}

void TForm1::FormClose(qb::TObject*, TCloseAction&) {
  MidiOutput1->Close();
  qb::TRegistry reg;
  if (!reg.OpenKey(kSettingsKey, true)) return;
  try {
    reg.WriteInteger("device", MidiOutput1->DeviceID());
    // Where the position is unknown, the one start-up gave the window is kept for the next
    // start on a desktop that places windows.
    const QPoint at = WindowPositionKnown() ? pos() : placed_;
    reg.WriteInteger("xpos", at.y());
    reg.WriteInteger("ypos", at.x());
    reg.WriteInteger("channel", ChannelValue());
  } catch (const qb::ERegistryException& e) {
    // A store that cannot be written must not keep the window from closing.
    qb::ShowException(e);
  }
  reg.CloseKey();
}

void TForm1::CheckBox1Click(qb::TObject*) {
  if (CheckBox1->isChecked())
    SetOuterSize(700, 800);
  else
    SetOuterSize(165, 120);
}

void TForm1::ComboBox1Change(qb::TObject*) {
  MidiOutput1->Close();
  const int index = ComboBox1->currentIndex();
  const int device = index >= 0 ? ComboBox1->itemData(index).toInt() : index;
  MidiOutput1->SetDeviceID(device);
  MidiOutput1->Open();
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

// ---- The bridge: intake, beat and time code

void TForm1::UdpSockUtil1Receive(qb::TObject*) {
  // ReceiveText sizes the text by the pending count itself. A zero-byte datagram counts as
  // nothing pending, yet it must be taken off the socket or no later datagram is announced:
  // so every notice reads once, whatever the count says, and an empty read ends here.
  uint32_t sender = 0;
  qb::ByteString text;
  UdpSockUtil1->ReceiveText(sender, text);
  if (text.empty()) return;
  HandleDatagram(std::move(text), sender);
}

void TForm1::HandleDatagram(qb::ByteString text, uint32_t sender) {
  if (StartsWith(text, "/__PIN")) {
    UdpSockUtil1->SetRemoteHost(qb::inet_ntoa(sender));
    UdpSockUtil1->SetRemotePort(10000);
    static const qb::ByteString reply("/__PONG\0,s\0\0quillbox\0\0\0\0\0", 25);
    // Senders expect the reply a moment after their probe.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    UdpSockUtil1->SendText(reply);
  }

  // The argument is the last four bytes as received, most significant first; shorter
  // datagrams have none (and match no address below).
  uint32_t argument = 0;
  if (text.size() >= 4) {
    const auto* b = reinterpret_cast<const unsigned char*>(text.data() + text.size() - 4);
    argument = uint32_t{b[0]} << 24 | uint32_t{b[1]} << 16 | uint32_t{b[2]} << 8 | b[3];
  }
  const auto single = std::bit_cast<float>(argument);
  const auto integer = std::bit_cast<int32_t>(argument);

  std::replace(text.begin(), text.end(), '\0', '.');
  if (StartsWith(text, "#bundl")) text.erase(0, std::min<size_t>(20, text.size()));

  if (StartsWith(text, "/Traktor.XFa") && !std::isnan(single)) {
    if (single > 0.5f) {
      liveDeck = 1;
      SetCaption(Label1, QStringLiteral("BeatR"));
    } else {
      liveDeck = 0;
      SetCaption(Label1, QStringLiteral("BeatL"));
    }
  }
  if (StartsWith(text, "/Traktor.Deck1.Bea") && liveDeck == 1 && !Timer1->Enabled()) sendBeat();
  if (StartsWith(text, "/Traktor.Deck0.Bea") && liveDeck == 0 && !Timer1->Enabled()) sendBeat();
  if (StartsWith(text, "/VirtualDJ/Phase")) {
    // Raw bits compared as integers; the phase is kept even when the beat cannot be sent.
    const int32_t previous = lastPhase;
    lastPhase = integer;
    if (integer < previous) sendBeat();
  }
  if ((StartsWith(text, "/Traktor.Deck1.See") && liveDeck == 1) ||
      (StartsWith(text, "/Traktor.Deck0.See") && liveDeck == 0)) {
    if (const auto position = SeekPosition(single)) sendTime(*position);
  }

  if (CheckBox1->isChecked()) Monitor(text, argument);
}

void TForm1::Monitor(const qb::ByteString& text, uint32_t argument) {
  const QTime now = Clock();
  const QString stamp = QStringLiteral("%1:%2:%3,%4")
                            .arg(now.hour())
                            .arg(now.minute())
                            .arg(now.second())
                            .arg(now.msec());

  bool filtered = false;
  for (QTextBlock line = Memo2->document()->begin(); line.isValid(); line = line.next()) {
    const QByteArray prefix = line.text().toLatin1();
    if (prefix.size() > 2 &&
        StartsWith(text, std::string_view(prefix.constData(), prefix.size()))) {
      filtered = true;  // later lines never clear it
      break;
    }
  }
  if (filtered) return;

  QString value;
  if (StartsWith(text, "/Trakto"))
    value = FormatSingle(std::bit_cast<float>(argument));
  else if (StartsWith(text, "/Virtua"))
    value = QString::number(std::bit_cast<int32_t>(argument));
  else
    return;
  // Every byte shows as one character, whatever it is.
  Memo1->appendPlainText(stamp + QLatin1Char('\t') +
                         QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size())) +
                         QLatin1Char('\t') + value);
}

void TForm1::sendBeat() {
  Label1->show();
  Timer1->SetEnabled(true);  // already running: not restarted
  if (CheckBox2->isChecked()) {
    const int32_t v = ChannelValue();
    MidiOutput1->SendShortMessage(static_cast<uint8_t>((v + 127) % 256), 127, 25);
  }
}

void TForm1::SetCaption(QLabel* label, const QString& caption) {
  label->setText(caption);
  // Labels grow with their caption, as the window's labels were designed to.
  const int needed = label->sizeHint().width();
  if (needed > label->width()) label->resize(needed, label->height());
}

void TForm1::sendTime(int32_t position) {
  const int32_t minutes = position / 600;
  const int32_t seconds = (position / 10) % 60;
  const int32_t tenths = position % 10;

  if (CheckBox1->isChecked())
    SetCaption(Label3, QString::number(position) + QLatin1Char('\t') + QString::number(minutes) +
                           QLatin1Char(':') + (seconds < 10 ? QStringLiteral("0") : QString()) +
                           QString::number(seconds) + QStringLiteral(".0") +
                           QString::number(tenths));
  else
    SetCaption(Label3, QString::number(position));

  const uint8_t message[10] = {0xF0,
                               0x7F,
                               0x01,
                               0x01,
                               0x01,
                               0x00,
                               static_cast<uint8_t>(minutes),
                               static_cast<uint8_t>(seconds),
                               static_cast<uint8_t>(tenths * 10),
                               0xF7};
  if (minutes < 0 || seconds < 0 || tenths < 0) return;
  // A data byte of a system-exclusive message has seven bits.
  if (minutes > 0x7F) return;
  if (CheckBox3->isChecked()) MidiOutput1->SendLongMessage(message, 10);
}

void TForm1::Timer1Timer(qb::TObject*) {
  Label1->hide();
  Timer1->SetEnabled(false);
}

void TForm1::Button1Click(qb::TObject*) {
  sendBeat();
}

void TForm1::Button2Click(qb::TObject*) {
  sendTime(66);
}
