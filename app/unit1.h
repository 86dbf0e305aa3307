// Module Unit1: the main window. It owns the engine (bridge/engine.h), on whose thread the
// endpoint, the rules, the beat timer and the MIDI port live, and the components of its own (the
// tray icon, the hide-after-start timer). It only shows and commands: its controls post commands
// to the engine, its captions and log follow what the engine publishes, and the engine's errors
// come back to its one error box. It stores its settings between runs.
#pragma once

#include <QRect>
#include <QWidget>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/syncdialog.h"
#include "bridge/engine.h"
#include "platform/component.h"
#include "platform/timer.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QPlainTextEdit;
class QPushButton;
class QSpinBox;

namespace qb {
class Doorbell;
class TLogView;
class TTextTrayIcon;
}  // namespace qb

enum class TCloseAction { caNone, caHide, caFree, caMinimize };

class TForm1 : public QWidget, public qb::TComponent {
 public:
  // Builds the window from its stored layout, then runs FormCreate. Errors of the start-up are
  // shown by the error convention; the window is still usable.
  explicit TForm1(QWidget* parent = nullptr);
  ~TForm1() override;

  // Controls.
  QComboBox* ComboBox1 = nullptr;   // the MIDI output device; a pick opens it and is stored
  QCheckBox* CheckBox2 = nullptr;   // lets beat messages out (the indicator blinks anyway)
  QLabel* Label1 = nullptr;         // the beat indicator: "BeatL"/"BeatR", shown per beat
  QLabel* Label4 = nullptr;         // caption "Kanal:" of the spin box
  QSpinBox* SpinEdit1 = nullptr;    // the channel value 1..127; beat status = value + 127
  QCheckBox* CheckBox3 = nullptr;   // lets time-code messages out (the label shows anyway)
  QLabel* Label3 = nullptr;         // the last seek position (long form in debug mode)
  QCheckBox* CheckBox1 = nullptr;   // "Debug": the large view, the log and the long position
  qb::TLogView* Memo1 = nullptr;    // the debug log, the newest 100,000 lines
  QLabel* Label2 = nullptr;         // caption "Filter" of the filter box
  QPlainTextEdit* Memo2 = nullptr;  // the filter: address prefixes (3+ characters) not logged
  QPushButton* Button2 = nullptr;   // "Time": sends the time code of position 66 by hand
  QPushButton* Button1 = nullptr;   // "Beat": sends a beat by hand
  // Beyond the stored layout, beside "Debug" where nothing was: opens the sync outputs' dialog.
  QPushButton* SyncButton = nullptr;
  TSyncDialog* SyncDialog = nullptr;

  // Components of the window's own thread. UdpSockUtil1, MidiOutput1, Timer1 and the rules
  // are the engine's (Engine().Call reaches them).
  qb::TTextTrayIcon* TextTrayIcon1 = nullptr;  // the yellow "O" in the notification area
  qb::TTimer* Timer2 = nullptr;  // 2 s after start: sends the window to the tray, once

  qb::Engine& Engine() { return *engine_; }
  // Whether the port could not be bound at start: the bridge hears nothing.
  bool Deaf() const { return deaf_; }

  // Handlers.
  void FormCreate(qb::TObject* Sender);
  void FormClose(qb::TObject* Sender, TCloseAction& Action);
  void CheckBox1Click(qb::TObject* Sender);
  void ComboBox1Change(qb::TObject* Sender);
  void Timer2Timer(qb::TObject* Sender);
  void Button1Click(qb::TObject* Sender);
  void Button2Click(qb::TObject* Sender);
  void TextTrayIcon1DblClick(qb::TObject* Sender);
  void SyncButtonClick(qb::TObject* Sender);

  // Output: commands to the engine.
  void sendBeat();
  void sendTime(int32_t position);

  // Everything the intake does with one datagram once it has been read: the probe reply,
  // dispatch and the debug log, on the engine. Sender is the IPv4 address in network byte order.
  void HandleDatagram(std::string_view text, uint32_t sender);

  // Brings notices, captions and the log up to date with what the engine published. Runs at
  // most once a frame from a timer (captions only while the window is shown); tests call it,
  // after Engine().Sync(), to stand for the frame.
  void UpdateView();

  // The steady clock (microseconds) that the tray's tooltip measures the last datagram's age
  // on; tests move it on instead of waiting.
  void SetTipClock(std::function<std::int64_t()> now_us) { tip_clock_ = std::move(now_us); }

  // The channel as the spin box's text gives it: not an integer reads as 1, kept in 1..127.
  int32_t ChannelValue() const;

  // The outer size (frame included where the window manager draws one); the top-left corner
  // stays where it is.
  void SetOuterSize(int width, int height);
  QSize OuterSize() const;

  void Notification(qb::TComponent* component, qb::TOperation operation) override;

 protected:
  void closeEvent(QCloseEvent* event) override;
  void moveEvent(QMoveEvent* event) override;
  void showEvent(QShowEvent* event) override;
  void hideEvent(QHideEvent* event) override;
  void changeEvent(QEvent* event) override;

 private:
  static void SetCaption(QLabel* label, const QString& caption);
  void LoadLayout();
  void SelectDevice(int index);
  void ReadSettings();
  void ReadSyncSettings();
  void ApplySync(const TSyncDialog::Values& v);
  void ReportReceiveBuffer();
  void KeepOnScreen();
  QPoint OnScreen(QPoint at) const;  // at, or where the window's title bar is on a screen
  void ShowDebugView();
  void ApplyOuterSize();
  void WireEngine();
  void EngineNews();  // the engine rang: what waits is taken now or at the next frame
  void HandleNotices();
  void ShowLink();  // Link's peers, to the dialog and the tray's tooltip
  void ShowTip();   // the state at a glance, to the tray's tooltip when it changed
  void StoreDevice(int32_t device);
  void ArmFrame(qb::UINT ms);
  void FlushLog();        // the lines logged since the last batch, to the log box
  void UpdateCaptions();  // what changed, to the labels, while the window is shown
  bool Shown() const;     // visible and not minimised: captions are worth painting
  void ShownChanged();
  qb::LRESULT ViewProc(qb::UINT msg, qb::WPARAM wparam, qb::LPARAM lparam);

  QSize outer_size_;
  std::vector<QRect> designed_;  // the log, the filter's label and the filter as designed
  QPoint placed_;                // where start-up put the window (stored or default position)
  std::string log_pending_;      // UTF-8 lines, each ended by a line break
  qb::HWND view_window_ = qb::kNoWindow;  // the frame timer ticks here
  bool frame_armed_ = false;
  int32_t channel_posted_ = 0;               // the channel the engine was last told
  std::function<std::int64_t()> tip_clock_;  // empty: the steady clock
  bool deaf_ = false;
  // The engine rings here; it lives longer than the engine.
  std::unique_ptr<qb::Doorbell> doorbell_;
  std::unique_ptr<qb::Engine> engine_;
};

extern TForm1* Form1;
