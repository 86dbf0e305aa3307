// The "Sync" dialog: the time code's form (classic or standard MTC at a rate), the beat clock
// and the output offset, with the tempo the clock reads. Its controls take effect at once,
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
  };

  TSyncDialog(QWidget* parent, std::function<void(const Values&)> changed);

  void SetValues(const Values& v);  // without calling back
  Values Current() const { return values_; }
  // The clock's tempo; 0 shows that no tempo is heard.
  void ShowTempo(double bpm);

  QComboBox* TimeCode = nullptr;
  QCheckBox* MidiClock = nullptr;
  QSpinBox* Offset = nullptr;
  QLabel* Tempo = nullptr;

 private:
  void Changed();

  std::function<void(const Values&)> changed_;
  Values values_;
  bool setting_ = false;
};
