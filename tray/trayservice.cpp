#include "tray/trayservice.h"

#include <algorithm>
#include <cstring>

namespace qb {

TrayService& QtTrayService();  // qttrayservice.cpp

namespace {
TrayService* installed = nullptr;
}

std::string NotifyIconData::Tip() const {
  const char* end = std::find(szTip.begin(), szTip.end(), '\0');
  return std::string(szTip.data(), static_cast<std::size_t>(end - szTip.data()));
}

TrayService& CurrentTrayService() {
  return installed ? *installed : QtTrayService();
}

void SetTrayService(TrayService* service) {
  installed = service;
}

bool Shell_NotifyIcon(UINT message, const NotifyIconData& data) {
  TrayService& s = CurrentTrayService();
  switch (message) {
    case NIM_ADD:
      return s.Add(data);
    case NIM_MODIFY:
      return s.Modify(data);
    case NIM_DELETE:
      return s.Delete(data);
    case NIM_SETVERSION:
      return s.SetVersion(data);
    default:
      return false;
  }
}

}  // namespace qb
