// Module Unit1: the main window. It owns every component, wires the bridge's rules (Bridge,
// app/bridge.h) to its controls and components, and stores its settings between runs.
#pragma once

#include <QTime>
#include <QWidget>
#include <cstdint>
#include <functional>
#include <string>

#include "app/bridge.h"
#include "net/udpsockutil.h"
#include "platform/component.h"
#include "platform/timer.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QPlainTextEdit;
class QPushButton;
class QSpinBox;

namespace qb {
class TLogView;
class TMidiOutput;
class TTextTrayIcon;
}  // namespace qb

enum class TCloseAction { caNone, caHide, caFree, caMinimize };

class TForm1 : public QWidget, public qb::TComponent, private qb::Bridge::Output {
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

  // Components.
  qb::TUdpSockUtil* UdpSockUtil1 = nullptr;    // UDP port 10001: datagrams in, probe replies out
  qb::TMidiOutput* MidiOutput1 = nullptr;      // the MIDI port beats and time codes leave by
  qb::TTextTrayIcon* TextTrayIcon1 = nullptr;  // the yellow "O" in the notification area
  qb::TTimer* Timer1 = nullptr;  // 333 ms: hides the beat indicator, reopens the Traktor gate
  qb::TTimer* Timer2 = nullptr;  // 2 s after start: sends the window to the tray, once

  // The bridge's rules; owns liveDeck and lastPhase.
  qb::Bridge Rules{*this};

  // Handlers.
  void FormCreate(qb::TObject* Sender);
  void FormClose(qb::TObject* Sender, TCloseAction& Action);
  void CheckBox1Click(qb::TObject* Sender);
  void ComboBox1Change(qb::TObject* Sender);
  void Timer1Timer(qb::TObject* Sender);
  void Timer2Timer(qb::TObject* Sender);
  void Button1Click(qb::TObject* Sender);
  void Button2Click(qb::TObject* Sender);
  void UdpSockUtil1Receive(qb::TObject* Sender);
  void TextTrayIcon1DblClick(qb::TObject* Sender);

  // Output.
  void sendBeat();
  void sendTime(int32_t position);

  // Everything the intake does with one datagram once it has been read: the probe reply,
  // dispatch and the debug log. Sender is the IPv4 address in network byte order.
  void HandleDatagram(std::string_view text, uint32_t sender);

  // Brings captions and the log up to date with what the bridge decided since the last frame.
  // Runs at most once a frame from a timer (captions only while the window is shown); tests
  // call it to stand for the frame.
  void UpdateView();

  // The channel as the spin box's text gives it: not an integer reads as 1, kept in 1..127.
  int32_t ChannelValue() const;

  // The outer size (frame included where the window manager draws one); the top-left corner
  // stays where it is.
  void SetOuterSize(int width, int height);
  QSize OuterSize() const;

  // The local time of day for the debug log; tests fix it.
  std::function<QTime()> Clock = LocalTimeOfDay;
  // The local time of day without asking the time-zone file again per call (QTime's own
  // clock does, a file-system call per logged line).
  static QTime LocalTimeOfDay();

  void Notification(qb::TComponent* component, qb::TOperation operation) override;

 protected:
  void closeEvent(QCloseEvent* event) override;
  void moveEvent(QMoveEvent* event) override;
  void showEvent(QShowEvent* event) override;
  void changeEvent(QEvent* event) override;

 private:
  static void SetCaption(QLabel* label, const QString& caption);
  void LoadLayout();
  void SelectDevice(int index);
  void ReadSettings();
  void ReportReceiveBuffer();
  void KeepOnScreen();
  void ApplyOuterSize();
  void WireBridge();
  void ArmFrame(qb::UINT ms);
  void ArmLog();
  void FlushLog();        // the lines logged since the last batch, to the log box
  void UpdateCaptions();  // what changed, to the labels, while the window is shown
  bool Shown() const;     // visible and not minimised: captions are worth painting
  qb::LRESULT ViewProc(qb::UINT msg, qb::WPARAM wparam, qb::LPARAM lparam);

  // What the bridge does to the window (app/unit1_bridge.cpp).
  void Reply(uint32_t sender, std::string_view bytes) override;
  void ArmReplyTimer(int ms) override;
  int64_t NowUs() override;
  void DeckCaption(std::string_view caption) override;
  void BeatIndicator(bool on) override;
  void PositionCaption(std::string_view caption) override;
  int32_t Channel() override;
  void ShortMessage(uint8_t status, uint8_t data1, uint8_t data2) override;
  void LongMessage(const uint8_t* bytes, uint16_t length) override;
  qb::TimeOfDay LocalTime() override;
  void LogLine(std::string_view line) override;

  QSize outer_size_;
  QPoint placed_;            // where start-up put the window (stored or default position)
  qb::ByteString datagram_;  // the last datagram read; its room is kept for the next
  // What the bridge changed since the view was last brought up to date.
  bool deck_pending_ = false;
  bool position_pending_ = false;
  std::string deck_caption_;
  std::string position_caption_;
  std::string log_pending_;               // UTF-8 lines, each ended by a line break
  qb::HWND view_window_ = qb::kNoWindow;  // the frame and reply timers tick here
  bool frame_armed_ = false;
  bool log_armed_ = false;
};

extern TForm1* Form1;
