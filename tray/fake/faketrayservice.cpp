#include "tray/fake/faketrayservice.h"

#include "platform/application.h"

namespace qb {

void FakeTrayService::Record(UINT message, const NotifyIconData& d, bool ok) {
  calls.push_back({message, d.hWnd, d.uID, d.hIcon, d.Tip(), d.uVersion, ok});
}

bool FakeTrayService::Add(const NotifyIconData& d) {
  auto key = std::make_pair(d.hWnd, d.uID);
  bool ok = available_ && !entries_.count(key);
  if (ok) entries_[key] = Entry{d.hIcon, d.Tip(), d.uCallbackMessage, 0};
  Record(NIM_ADD, d, ok);
  return ok;
}

bool FakeTrayService::Modify(const NotifyIconData& d) {
  auto it = entries_.find(std::make_pair(d.hWnd, d.uID));
  bool ok = it != entries_.end();
  if (ok) {
    it->second.image = d.hIcon;
    it->second.tip = d.Tip();
  }
  Record(NIM_MODIFY, d, ok);
  return ok;
}

bool FakeTrayService::Delete(const NotifyIconData& d) {
  bool ok = entries_.erase(std::make_pair(d.hWnd, d.uID)) > 0;
  Record(NIM_DELETE, d, ok);
  return ok;
}

bool FakeTrayService::SetVersion(const NotifyIconData& d) {
  auto it = entries_.find(std::make_pair(d.hWnd, d.uID));
  bool ok = it != entries_.end();
  if (ok) it->second.version = d.uVersion;
  Record(NIM_SETVERSION, d, ok);
  return ok;
}

const FakeTrayService::Entry* FakeTrayService::Find(HWND wnd, UINT_PTR id) const {
  auto it = entries_.find(std::make_pair(wnd, id));
  return it == entries_.end() ? nullptr : &it->second;
}

bool FakeTrayService::Notify(HWND wnd, UINT_PTR id, LPARAM code) {
  const Entry* e = Find(wnd, id);
  return e && PostMessage(wnd, e->callbackMessage, id, code);
}

void FakeTrayService::Restart() {
  entries_.clear();
  PostMessage(Application().Handle(), RegisterWindowMessage("TaskbarCreated"), 0, 0);
}

std::vector<FakeTrayService::Call> FakeTrayService::CallsOf(UINT message) const {
  std::vector<Call> out;
  for (const Call& c : calls)
    if (message == ~UINT{0} || c.message == message) out.push_back(c);
  return out;
}

}  // namespace qb
