// The window's side of the bridge: its handlers hand datagrams, clicks and ticks to the rules
// (app/bridge.h), and the rules' output reaches the controls and components here.
//
// What the rules change on screen is kept and shown at most once a frame: the captions only
// while the window is shown, the log lines (each with the time stamp of its own datagram) in
// one batch per frame. MIDI and replies leave at once.
#include <QCheckBox>
#include <QLabel>
#include <QLocale>
#include <QPlainTextEdit>
#include <QSpinBox>
#include <QTextBlock>
#include <algorithm>
#include <chrono>
#include <ctime>

#include "app/logview.h"
#include "app/unit1.h"
#include "midi/midiout.h"

namespace {

constexpr qb::UINT_PTR kFrameTimer = 1;
constexpr qb::UINT_PTR kReplyTimer = 2;
constexpr qb::UINT_PTR kLogTimer = 3;
constexpr qb::UINT kFrameMs = 16;
// The log is read, not watched: 10 batches a second keep it live. Painting the lines in sight
// is most of what the debug view costs, and the lines scroll by faster than anyone reads.
constexpr qb::UINT kLogFrameMs = 100;
constexpr std::size_t kKeptLogRoom = 1 << 20;  // a larger batch gives its room back

// The filter box as the rules read it: each line's Latin-1 bytes, lines ended by '\n'.
std::string FilterText(const QPlainTextEdit* memo) {
  std::string text;
  for (QTextBlock line = memo->document()->begin(); line.isValid(); line = line.next()) {
    text += line.text().toLatin1().toStdString();
    text += '\n';
  }
  return text;
}

}  // namespace

// ---- Handlers: wiring only

void TForm1::UdpSockUtil1Receive(qb::TObject*) {
  // Every notice reads once, whatever is pending: a zero-byte datagram must be taken off the
  // socket too, or no later datagram is announced. An empty read ends here.
  uint32_t sender = 0;
  UdpSockUtil1->ReceiveText(sender, datagram_);
  if (datagram_.empty()) return;
  Rules.Datagram(datagram_, sender);
}

void TForm1::HandleDatagram(std::string_view text, uint32_t sender) {
  Rules.Datagram(text, sender);
}

void TForm1::sendBeat() {
  Rules.Beat();
}

void TForm1::sendTime(int32_t position) {
  Rules.Time(position);
}

void TForm1::Timer1Timer(qb::TObject*) {
  Rules.BeatTimeout();
}

void TForm1::Button1Click(qb::TObject*) {
  sendBeat();
}

void TForm1::Button2Click(qb::TObject*) {
  sendTime(66);
}

void TForm1::WireBridge() {
  Rules.SetDecimalPoint(QLocale().decimalPoint().toStdString());
  Rules.debug = CheckBox1->isChecked();
  Rules.beats_out = CheckBox2->isChecked();
  Rules.time_code_out = CheckBox3->isChecked();
  Rules.SetFilter(FilterText(Memo2));
  connect(CheckBox2, &QCheckBox::toggled, this, [this](bool on) { Rules.beats_out = on; });
  connect(CheckBox3, &QCheckBox::toggled, this, [this](bool on) { Rules.time_code_out = on; });
  connect(Memo2->document(), &QTextDocument::contentsChanged, this,
          [this] { Rules.SetFilter(FilterText(Memo2)); });
  log_pending_.reserve(64 * 1024);
}

// ---- The rules' output

void TForm1::Reply(uint32_t sender, std::string_view bytes) {
  UdpSockUtil1->SetRemoteHost(qb::inet_ntoa(sender));
  UdpSockUtil1->SetRemotePort(10000);
  UdpSockUtil1->SendText(qb::ByteString(bytes));
}

void TForm1::ArmReplyTimer(int ms) {
  if (ms < 0)
    qb::KillTimer(view_window_, kReplyTimer);
  else
    qb::SetTimer(view_window_, kReplyTimer, static_cast<qb::UINT>(ms));
}

int64_t TForm1::NowUs() {
  using namespace std::chrono;
  return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

void TForm1::DeckCaption(std::string_view caption) {
  deck_caption_.assign(caption);
  deck_pending_ = true;
  if (Shown()) ArmFrame(kFrameMs);
}

void TForm1::BeatIndicator(bool on) {
  Label1->setVisible(on);
  Timer1->SetEnabled(on);  // already running: not restarted
}

void TForm1::PositionCaption(std::string_view caption) {
  position_caption_.assign(caption);
  position_pending_ = true;
  if (Shown()) ArmFrame(kFrameMs);
}

int32_t TForm1::Channel() {
  return ChannelValue();
}

void TForm1::ShortMessage(uint8_t status, uint8_t data1, uint8_t data2) {
  MidiOutput1->SendShortMessage(status, data1, data2);
}

void TForm1::LongMessage(const uint8_t* bytes, uint16_t length) {
  MidiOutput1->SendLongMessage(bytes, length);
}

QTime TForm1::LocalTimeOfDay() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  tm local{};
  localtime_r(&now.tv_sec, &local);
  return QTime(local.tm_hour, local.tm_min, std::min(local.tm_sec, 59),
               static_cast<int>(now.tv_nsec / 1000000));
}

qb::TimeOfDay TForm1::LocalTime() {
  const QTime now = Clock();
  return {now.hour(), now.minute(), now.second(), now.msec()};
}

void TForm1::LogLine(std::string_view line) {
  log_pending_.append(line);
  log_pending_ += '\n';
  ArmLog();  // the log is kept even while the window is hidden
}

// ---- The view, at most once a frame

void TForm1::ArmFrame(qb::UINT ms) {
  if (frame_armed_) return;  // whatever is due goes with the frame already coming
  frame_armed_ = true;
  qb::SetTimer(view_window_, kFrameTimer, ms);
}

// The log has a frame of its own, so that captions changing with every seek do not paint the
// log at their rate.
void TForm1::ArmLog() {
  if (log_armed_) return;
  log_armed_ = true;
  qb::SetTimer(view_window_, kLogTimer, kLogFrameMs);
}

qb::LRESULT TForm1::ViewProc(qb::UINT msg, qb::WPARAM wparam, qb::LPARAM lparam) {
  if (msg != qb::WM_TIMER) return qb::DefWindowProc(view_window_, msg, wparam, lparam);
  if (wparam == kFrameTimer) {
    qb::KillTimer(view_window_, kFrameTimer);
    frame_armed_ = false;
    UpdateCaptions();
  } else if (wparam == kLogTimer) {
    qb::KillTimer(view_window_, kLogTimer);
    log_armed_ = false;
    FlushLog();
  } else if (wparam == kReplyTimer) {
    qb::KillTimer(view_window_, kReplyTimer);  // one-shot; the rules arm it again if needed
    Rules.ReplyTimer();
  }
  return 0;
}

void TForm1::UpdateView() {
  FlushLog();
  UpdateCaptions();
}

void TForm1::FlushLog() {
  if (log_pending_.empty()) return;
  Memo1->AppendLines(log_pending_);
  log_pending_.clear();
  if (log_pending_.capacity() > kKeptLogRoom) log_pending_.shrink_to_fit();
}

void TForm1::UpdateCaptions() {
  if (!Shown()) return;  // captions wait for the window to be shown
  if (deck_pending_)
    SetCaption(Label1, QString::fromUtf8(deck_caption_.data(),
                                         static_cast<qsizetype>(deck_caption_.size())));
  if (position_pending_)
    SetCaption(Label3, QString::fromUtf8(position_caption_.data(),
                                         static_cast<qsizetype>(position_caption_.size())));
  deck_pending_ = position_pending_ = false;
}

bool TForm1::Shown() const {
  return isVisible() && !isMinimized();
}

void TForm1::SetCaption(QLabel* label, const QString& caption) {
  if (label->text() == caption) return;
  label->setText(caption);
  // Labels grow with their caption, as the window's labels were designed to.
  const int needed = label->sizeHint().width();
  if (needed > label->width()) label->resize(needed, label->height());
}
