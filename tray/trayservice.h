// The notification-area service: entries identified by (window, id) with an image and a
// tooltip; the user's actions on an entry come back to its window as the entry's callback
// message with the entry id as first and the notification code as second parameter.
#pragma once

#include <QImage>
#include <array>
#include <cstdint>
#include <string>

#include "platform/messages.h"

namespace qb {

inline constexpr UINT NIF_MESSAGE = 0x1;
inline constexpr UINT NIF_ICON = 0x2;
inline constexpr UINT NIF_TIP = 0x4;

inline constexpr UINT NIM_ADD = 0;
inline constexpr UINT NIM_MODIFY = 1;
inline constexpr UINT NIM_DELETE = 2;
inline constexpr UINT NIM_SETVERSION = 4;

// Notification codes (second parameter of the callback message).
inline constexpr UINT WM_MOUSEMOVE = 0x200;
inline constexpr UINT WM_LBUTTONDOWN = 0x201;
inline constexpr UINT WM_LBUTTONUP = 0x202;
inline constexpr UINT WM_LBUTTONDBLCLK = 0x203;
inline constexpr UINT WM_RBUTTONDOWN = 0x204;
inline constexpr UINT WM_RBUTTONUP = 0x205;
inline constexpr UINT WM_MBUTTONDOWN = 0x207;
inline constexpr UINT WM_MBUTTONUP = 0x208;
inline constexpr UINT NIN_SELECT = 0x400;
inline constexpr UINT NIN_KEYSELECT = 0x401;
inline constexpr UINT NIN_BALLOONSHOW = 0x402;
inline constexpr UINT NIN_BALLOONHIDE = 0x403;
inline constexpr UINT NIN_BALLOONTIMEOUT = 0x404;
inline constexpr UINT NIN_BALLOONUSERCLICK = 0x405;

// What every service call carries: the entry, how it notifies, its image and its tooltip.
struct NotifyIconData {
  HWND hWnd = kNoWindow;
  UINT_PTR uID = 0;
  UINT uFlags = 0;
  UINT uCallbackMessage = 0;
  QImage hIcon;                      // null: the entry has no image
  std::array<char, 128> szTip = {};  // zero-terminated, at most 127 characters
  UINT uVersion = 0;

  std::string Tip() const;
};

class TrayService {
 public:
  virtual ~TrayService() = default;
  // Whether a notification area exists right now.
  virtual bool Available() const = 0;
  // Each fails (false) when the entry already exists (add) or does not exist (the others),
  // and add also when there is no notification area.
  virtual bool Add(const NotifyIconData& data) = 0;
  virtual bool Modify(const NotifyIconData& data) = 0;
  virtual bool Delete(const NotifyIconData& data) = 0;
  virtual bool SetVersion(const NotifyIconData& data) = 0;
};

// The service in use: the one installed by SetTrayService, else the Qt notification area.
TrayService& CurrentTrayService();
// nullptr goes back to the Qt notification area. The caller keeps ownership.
void SetTrayService(TrayService* service);

// One call with a NIM_ code, as the components make it.
bool Shell_NotifyIcon(UINT message, const NotifyIconData& data);

}  // namespace qb
