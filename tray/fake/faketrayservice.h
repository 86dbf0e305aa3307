// A notification area for tests: records every call, can be absent, restarts on demand and
// delivers any notification code to an entry.
#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "tray/trayservice.h"

namespace qb {

class FakeTrayService : public TrayService {
 public:
  struct Call {
    UINT message;  // NIM_ADD, NIM_MODIFY, NIM_DELETE or NIM_SETVERSION
    HWND wnd;
    UINT_PTR id;
    QImage image;
    std::string tip;
    UINT version;
    bool ok;  // what the service answered
  };
  struct Entry {
    QImage image;
    std::string tip;
    UINT callbackMessage = 0;
    UINT version = 0;
  };

  bool Available() const override { return available_; }
  bool Add(const NotifyIconData& data) override;
  bool Modify(const NotifyIconData& data) override;
  bool Delete(const NotifyIconData& data) override;
  bool SetVersion(const NotifyIconData& data) override;

  // "No notification area available": adds fail while false.
  void SetAvailable(bool available) { available_ = available; }

  // The entry, or nullptr when it is not in the notification area.
  const Entry* Find(HWND wnd, UINT_PTR id) const;
  std::size_t EntryCount() const { return entries_.size(); }
  // Posts a notification code for the entry to its window, as the desktop does; false when
  // the entry does not exist.
  bool Notify(HWND wnd, UINT_PTR id, LPARAM code);
  // The notification area restarts: every entry is lost and "TaskbarCreated" is posted to the
  // application window.
  void Restart();

  // Calls with the given NIM_ code (all when message is ~0).
  std::vector<Call> CallsOf(UINT message) const;
  std::vector<Call> calls;

 private:
  void Record(UINT message, const NotifyIconData& d, bool ok);
  bool available_ = true;
  std::map<std::pair<HWND, UINT_PTR>, Entry> entries_;
};

// Installs a fake notification area for the lifetime of the object.
class ScopedFakeTray {
 public:
  ScopedFakeTray() { SetTrayService(&service); }
  ~ScopedFakeTray() { SetTrayService(nullptr); }
  ScopedFakeTray(const ScopedFakeTray&) = delete;
  ScopedFakeTray& operator=(const ScopedFakeTray&) = delete;
  FakeTrayService service;
};

}  // namespace qb
