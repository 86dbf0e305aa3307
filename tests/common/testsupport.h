// Helpers shared by the unit tests.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "platform/errors.h"

namespace qbtest {

// Runs the event loop until pred() holds or the deadline passes; returns pred().
bool PumpUntil(const std::function<bool()>& pred,
               std::chrono::milliseconds deadline = std::chrono::seconds(10));
// Runs the event loop for the given time (for checking that something does NOT happen).
void PumpFor(std::chrono::milliseconds time);

// Records error boxes instead of showing them. Installed for the lifetime of the object.
class RecordingPresenter : public qb::ErrorPresenter {
 public:
  RecordingPresenter();
  ~RecordingPresenter() override;
  void Open(const std::string& title, const std::string& text) override;
  void Update(const std::string& text) override;
  // Dismisses the open box, as the user's OK would.
  void Close();

  std::vector<std::string> opened;   // text of every box opened
  std::vector<std::string> titles;   // its title
  std::vector<std::string> updates;  // every text update of an open box
};

}  // namespace qbtest
