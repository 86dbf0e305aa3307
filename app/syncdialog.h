// The "Sync" dialog: the time code's form (classic or standard MTC at a rate), the beat clock,
// Ableton Link and its start/stop, and the output offset, with the tempo the clock reads and
// Link's peers. Its controls take effect at once,
// through the callback; the window stores their values at close.
#pragma once

#include <QDialog>
#include <cstdint>
#include <functional>

class QCheckBox;
class QComboBox;
class QLabel;
class QSpinBox;

class TSyncDialog : public QDialog {
 public:
  struct Values {
    std::int32_t mtc_rate = 0;  // 0 classic, 24, 25, 2997, 30
    bool midi_clock = false;
    std::int32_t offset_ms = 0;  // -100..500
    bool link = false;
    bool link_start_stop = false;  // Link's start/stop follows the beats
  };

  TSyncDialog(QWidget* parent, std::function<void(const Values&)> changed);

  void SetValues(const Values& v);  // without calling back
  Values Current() const { return values_; }
  // The clock's tempo; 0 shows that no tempo is heard.
  void ShowTempo(double bpm);
  // Link's peers besides quillbox; -1 while Link is off.
  void ShowLinkPeers(int peers);
  // The caption ShowLinkPeers shows, for the tray's tooltip too.
  static QString LinkPeersText(int peers);

  QComboBox* TimeCode = nullptr;
  QCheckBox* MidiClock = nullptr;
  QCheckBox* Link = nullptr;
  QCheckBox* LinkStartStop = nullptr;
  QLabel* LinkPeers = nullptr;
  QSpinBox* Offset = nullptr;
  QLabel* Tempo = nullptr;

 private:
  void Changed();
  Values Read() const;

  std::function<void(const Values&)> changed_;
  Values values_;
  bool setting_ = false;
};
