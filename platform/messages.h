// Window messages on Qt's event loop: hidden message windows, posting from any
// thread, id-keyed timers and registered message numbers.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace qb {

using HWND = std::uintptr_t;
using UINT = std::uint32_t;
using WPARAM = std::uintptr_t;
using LPARAM = std::intptr_t;
using LRESULT = std::intptr_t;
using UINT_PTR = std::uintptr_t;

// "No window" is all ones, never zero, so a zeroed field is not mistaken for a window.
inline constexpr HWND kNoWindow = ~HWND{0};

inline constexpr UINT WM_NULL = 0x0000;
inline constexpr UINT WM_DESTROY = 0x0002;
inline constexpr UINT WM_SIZE = 0x0005;
inline constexpr UINT WM_CLOSE = 0x0010;
inline constexpr UINT WM_QUERYENDSESSION = 0x0011;
inline constexpr UINT WM_QUIT = 0x0012;
inline constexpr UINT WM_ENDSESSION = 0x0016;
inline constexpr UINT WM_SHOWWINDOW = 0x0018;
inline constexpr UINT WM_WINDOWPOSCHANGED = 0x0047;
inline constexpr UINT WM_CONTEXTMENU = 0x007B;
inline constexpr UINT WM_NCDESTROY = 0x0082;
inline constexpr UINT WM_SYSCOMMAND = 0x0112;
inline constexpr UINT WM_TIMER = 0x0113;
inline constexpr UINT WM_USER = 0x0400;

inline constexpr WPARAM SIZE_RESTORED = 0;
inline constexpr WPARAM SIZE_MINIMIZED = 1;
inline constexpr WPARAM SC_MINIMIZE = 0xF020;
inline constexpr WPARAM SC_RESTORE = 0xF120;

// Handler of a hidden window: (message, first parameter, second parameter) -> result.
using MessageProc = std::function<LRESULT(UINT msg, WPARAM wparam, LPARAM lparam)>;

// Creates a hidden message window. Windows are made and destroyed on the user-interface thread
// only (the thread that made the first). Handles are never reused, so a stale handle can never
// reach a newer window.
HWND AllocateHWnd(MessageProc proc);
// Destroys the window; its timers stop and messages still queued for it are dropped.
void DeallocateHWnd(HWND wnd);
bool IsWindow(HWND wnd);

// Queues a message without waiting; callable from any thread. Messages posted by one thread
// arrive in the order posted. Returns false when the window does not exist.
bool PostMessage(HWND wnd, UINT msg, WPARAM wparam, LPARAM lparam);
// Calls the window's handler at once, inside the handler guard (user-interface thread only).
LRESULT SendMessage(HWND wnd, UINT msg, WPARAM wparam, LPARAM lparam);
// The default handling of a message a handler does not want: nothing, result 0.
LRESULT DefWindowProc(HWND wnd, UINT msg, WPARAM wparam, LPARAM lparam);

// Periodic WM_TIMER to the window with the caller's id in the first parameter. Setting an id
// that runs already restarts it. An overdue timer ticks once, never in a burst. Returns the id
// (1 for id 0), or 0 when the window does not exist.
UINT_PTR SetTimer(HWND wnd, UINT_PTR id, UINT ms);
bool KillTimer(HWND wnd, UINT_PTR id);

// One number per name (case-insensitive), the same for the whole process, from 0xC000 up.
UINT RegisterWindowMessage(const std::string& name);

// Handles every queued message and event, then returns.
void ProcessMessages();

// The platform's double-click time in milliseconds.
UINT GetDoubleClickTime();

}  // namespace qb
