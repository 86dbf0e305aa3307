// Module Unit1: the main window. It owns every component, turns OSC datagrams into beat and
// time-code MIDI messages, keeps the debug log and stores its settings between runs.
#pragma once

#include <QTime>
#include <QWidget>
#include <cstdint>
#include <functional>
#include <string>

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
class TMidiOutput;
class TTextTrayIcon;
}  // namespace qb

enum class TCloseAction { caNone, caHide, caFree, caMinimize };

// Which Traktor deck is live: 0 the left one ("Deck0"), 1 the right one ("Deck1").
// Process-wide; only the crossfader and the window's start-up change it.
extern int liveDeck;
// The argument of the previous VirtualDJ phase message; never reset while the program runs.
extern int32_t lastPhase;

class TForm1 : public QWidget, public qb::TComponent {
 public:
  // Builds the window from its stored layout, then runs FormCreate. Errors of the start-up are
  // shown by the error convention; the window is still usable.
  explicit TForm1(QWidget* parent = nullptr);
  ~TForm1() override;

  // Controls.
  QComboBox* ComboBox1 = nullptr;
  QCheckBox* CheckBox2 = nullptr;
  QLabel* Label1 = nullptr;
  QLabel* Label4 = nullptr;
  QSpinBox* SpinEdit1 = nullptr;
  QCheckBox* CheckBox3 = nullptr;
  QLabel* Label3 = nullptr;
  QCheckBox* CheckBox1 = nullptr;
  QPlainTextEdit* Memo1 = nullptr;
  QLabel* Label2 = nullptr;
  QPlainTextEdit* Memo2 = nullptr;
  QPushButton* Button2 = nullptr;
  QPushButton* Button1 = nullptr;

  // Components.
  qb::TUdpSockUtil* UdpSockUtil1 = nullptr;
  qb::TMidiOutput* MidiOutput1 = nullptr;
  qb::TTextTrayIcon* TextTrayIcon1 = nullptr;
  qb::TTimer* Timer1 = nullptr;
  qb::TTimer* Timer2 = nullptr;

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
  void HandleDatagram(qb::ByteString text, uint32_t sender);

  // The channel as the spin box's text gives it: not an integer reads as 1, kept in 1..127.
  int32_t ChannelValue() const;

  // The outer size (frame included where the window manager draws one); the top-left corner
  // stays where it is.
  void SetOuterSize(int width, int height);
  QSize OuterSize() const;

  // The local time of day for the debug log; tests fix it.
  std::function<QTime()> Clock = [] { return QTime::currentTime(); };

  void Notification(qb::TComponent* component, qb::TOperation operation) override;

 protected:
  void closeEvent(QCloseEvent* event) override;
  void moveEvent(QMoveEvent* event) override;
  void showEvent(QShowEvent* event) override;

 private:
  static void SetCaption(QLabel* label, const QString& caption);
  void LoadLayout();
  void SelectDevice(int index);
  void ReadSettings();
  void KeepOnScreen();
  void ApplyOuterSize();
  void Monitor(const qb::ByteString& text, uint32_t argument);

  QSize outer_size_;
  QPoint placed_;  // where start-up put the window (stored or default position)
};

extern TForm1* Form1;
