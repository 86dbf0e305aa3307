// The window's side of the bridge: its controls post commands to the engine (bridge/engine.h),
// and what the engine publishes reaches the window's labels and log here.
//
// The engine rings when news waits, at most once until the window has taken it. Notices
// (errors, a device chosen) are taken at once; captions (only while the window is shown) and log
// lines (each with the time stamp of its own datagram) together in one frame, eight times a
// second at most, so that one paint and one flush to the display carry both. The tray's tooltip
// reads the engine's glance once a second, so that the ages in it move on. MIDI and replies
// never pass this thread.
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QSpinBox>
#include <QTextBlock>
#include <algorithm>

#include "app/logview.h"
#include "app/traytip.h"
#include "app/unit1.h"
#include "net/socketlib.h"
#include "platform/errors.h"
#include "platform/steadyclock.h"
#include "tray/texttrayicon.h"

namespace {

constexpr qb::UINT_PTR kFrameTimer = 1;
// Captions and the log are read, not watched: eight frames a second keep them live. Each frame
// costs a paint and a flush to the display whatever changed (about a millisecond with the debug
// view shown), and at a thousand seeks a second the position and the lines change faster than
// anyone reads.
constexpr qb::UINT kFrameMs = 125;
constexpr std::size_t kKeptLogRoom = 1 << 20;  // a larger batch gives its room back
constexpr qb::UINT_PTR kTipTimer = 2;
constexpr qb::UINT kTipMs = 1000;  // the tooltip's ages count whole seconds

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

// ---- Handlers: commands only

void TForm1::HandleDatagram(std::string_view text, uint32_t sender) {
  engine_->Datagram(std::string(text), sender);
}

void TForm1::sendBeat() {
  engine_->Beat();
}

void TForm1::sendTime(int32_t position) {
  engine_->Time(position);
}

void TForm1::Button1Click(qb::TObject*) {
  sendBeat();
}

void TForm1::Button2Click(qb::TObject*) {
  sendTime(66);
}

// The engine starts with the switches as the stored layout sets them, and hears of every change.
void TForm1::WireEngine() {
  engine_->SetDebug(CheckBox1->isChecked());
  engine_->SetBeatsOut(CheckBox2->isChecked());
  engine_->SetTimeCodeOut(CheckBox3->isChecked());
  engine_->SetFilter(FilterText(Memo2));
  channel_posted_ = ChannelValue();
  engine_->SetChannel(channel_posted_);
  connect(CheckBox2, &QCheckBox::toggled, this, [this](bool on) { engine_->SetBeatsOut(on); });
  connect(CheckBox3, &QCheckBox::toggled, this, [this](bool on) { engine_->SetTimeCodeOut(on); });
  connect(Memo2->document(), &QTextDocument::contentsChanged, this,
          [this] { engine_->SetFilter(FilterText(Memo2)); });
  // The channel is the text as it stands, typed or stepped: the beat reads it as it is.
  connect(SpinEdit1, &QSpinBox::textChanged, this, [this] {
    const int32_t channel = ChannelValue();
    if (channel == channel_posted_) return;
    channel_posted_ = channel;
    engine_->SetChannel(channel);
  });
  log_pending_.reserve(64 * 1024);
  qb::SetTimer(view_window_, kTipTimer, kTipMs);
}

// ---- What the engine publishes

void TForm1::EngineNews() {
  const unsigned news = engine_->Pending();
  if (news & qb::Engine::kNotices) HandleNotices();
  if (news & qb::Engine::kLink) ShowLink();
  // The log is kept even while the window is hidden.
  if (((news & qb::Engine::kCaptions) && Shown()) || (news & qb::Engine::kLog)) ArmFrame(kFrameMs);
}

void TForm1::HandleNotices() {
  int lost = 0;
  engine_->TakeNotices(
      [this](const qb::Engine::Notice& n) {
        if (n.kind == qb::Engine::Notice::Kind::Error)
          qb::ShowException(qb::Exception(std::string(n.text)));
        else
          StoreDevice(n.device);
      },
      lost);
  qb::CountMoreErrors(lost);
}

// Link's peers change seldom and the tray shows them while the window is hidden: taken at once.
void TForm1::ShowLink() {
  SyncDialog->ShowLinkPeers(engine_->TakeLinkPeers());
  ShowTip();
}

void TForm1::ShowTip() {
  if (!TextTrayIcon1) return;
  const qb::Status s = engine_->ReadStatus();
  const qb::Snapshot shown = engine_->ReadSnapshot();
  qb::TrayFacts f;
  f.listening = s.listening;
  if (s.last_datagram_us > 0) {
    const int64_t now = tip_clock_ ? tip_clock_() : qb::SteadyNowUs();
    f.sender = qb::inet_ntoa(s.sender);
    f.age_ms = (now - s.last_datagram_us) / 1000;
  }
  f.midi = s.midi_name;
  f.connections = s.midi_connections;
  f.midi_gone = s.midi_gone;
  f.tempo_bpm = shown.tempo_bpm;
  if (shown.link_peers >= 0) f.link = TSyncDialog::LinkPeersText(shown.link_peers).toStdString();
  std::string tip = qb::TrayTip(f);
  // Each change reaches the desktop (a D-Bus signal on some): only a new text is handed over.
  if (tip != TextTrayIcon1->Hint()) TextTrayIcon1->SetHint(std::move(tip));
}

void TForm1::ArmFrame(qb::UINT ms) {
  if (frame_armed_) return;  // whatever is due goes with the frame already coming
  frame_armed_ = true;
  qb::SetTimer(view_window_, kFrameTimer, ms);
}

qb::LRESULT TForm1::ViewProc(qb::UINT msg, qb::WPARAM wparam, qb::LPARAM lparam) {
  if (msg != qb::WM_TIMER) return qb::DefWindowProc(view_window_, msg, wparam, lparam);
  if (wparam == kTipTimer) ShowTip();
  if (wparam == kFrameTimer) {
    qb::KillTimer(view_window_, kFrameTimer);
    frame_armed_ = false;
    FlushLog();
    UpdateCaptions();
  }
  return 0;
}

void TForm1::UpdateView() {
  HandleNotices();
  FlushLog();
  UpdateCaptions();
}

void TForm1::FlushLog() {
  engine_->TakeLogLines(log_pending_);
  if (log_pending_.empty()) return;
  Memo1->AppendLines(log_pending_);
  log_pending_.clear();
  if (log_pending_.capacity() > kKeptLogRoom) log_pending_.shrink_to_fit();
}

void TForm1::UpdateCaptions() {
  const qb::Snapshot s = engine_->TakeSnapshot();
  if (!Shown()) return;  // captions wait for the window to be shown
  if (s.deck_caption[0]) SetCaption(Label1, QString::fromUtf8(s.deck_caption));
  Label1->setVisible(s.beat_lit);
  if (s.position_caption[0]) SetCaption(Label3, QString::fromUtf8(s.position_caption));
  SyncDialog->ShowTempo(s.tempo_bpm);
}

bool TForm1::Shown() const {
  return isVisible() && !isMinimized();
}

void TForm1::SetCaption(QLabel* label, const QString& caption) {
  if (label->text() == caption) return;
  label->setText(caption);
  // Labels grow with their caption, as the window's labels were designed to. Measuring shapes
  // the text, and the position changes at every frame: a caption is measured with each digit
  // as the widest digit, and one whose digits alone changed needs no measuring again.
  const QFontMetrics metrics = label->fontMetrics();
  QChar widest = '0';
  for (char d = '1'; d <= '9'; ++d)
    if (metrics.horizontalAdvance(QChar(d)) > metrics.horizontalAdvance(widest)) widest = d;
  QString shape = caption;
  for (QChar& c : shape)
    if (c.isDigit()) c = widest;
  const QVariant measured = label->property("quillbox-measured");
  if (measured.isValid() && measured.toString() == shape) return;
  label->setProperty("quillbox-measured", shape);
  const int needed = label->sizeHint().width() + metrics.horizontalAdvance(shape) -
                     metrics.horizontalAdvance(caption);
  if (needed > label->width()) label->resize(needed, label->height());
}
