#include "tray/cooltrayicon.h"

#include <QAction>
#include <QApplication>
#include <QCursor>
#include <QGuiApplication>
#include <QMenu>
#include <QStyle>
#include <QWidget>
#include <algorithm>
#include <cstring>

#include "platform/application.h"
#include "platform/minimizewatch.h"

namespace qb {

// There is no common-controls version to ask on this platform; every notification area we
// run on re-announces itself, so the broadcast is always registered.
const UINT TaskbarCreatedMessage = RegisterWindowMessage("TaskbarCreated");

namespace {

SharedWindow<TTrayIconHandler> shared_tray;

// The owner window's minimise, handed on to the icon after the state change.
constexpr UINT kMinimizeRequest = WM_USER + 1;

}  // namespace

TTrayIconHandler* SharedTrayWindow() {
  return shared_tray.Get();
}

// ---- popup menu ----

TPopupMenu::TPopupMenu(TComponent* owner) : TComponent(owner), menu_(std::make_unique<QMenu>()) {}

TPopupMenu::~TPopupMenu() = default;

void TPopupMenu::Popup(int x, int y) {
  menu_->exec(QPoint(x, y));
}

// ---- the shared window ----

LRESULT TTrayIconHandler::WndProc(UINT msg, WPARAM wparam, LPARAM lparam) {
  switch (msg) {
    case WM_DESTROY:
    case WM_CLOSE:
    case WM_QUERYENDSESSION:
    case WM_QUIT:
    case WM_ENDSESSION:
    case WM_NCDESTROY:
      return 1;  // a close request from outside must not take the tray window away
    case TrayCallbackMessage: {
      auto* icon = reinterpret_cast<TCoolTrayIcon*>(wparam);
      // A notification may still be queued when its icon is destroyed.
      if (icons_.count(icon)) icon->HandleNotification(lparam);
      return 0;
    }
    case kMinimizeRequest: {
      auto* icon = reinterpret_cast<TCoolTrayIcon*>(wparam);
      if (icons_.count(icon)) icon->MinimizeRequest();
      return 0;
    }
    default:
      return DefWindowProc(MessageWindow(), msg, wparam, lparam);
  }
}

// ---- the owner window ----

// The owner window's own minimise is taken over only when the application wants to hear of it
// (MinimizeToTray with OnMinimizeToTray); otherwise it goes on to the application.
class TCoolTrayIcon::OwnerProc {
 public:
  OwnerProc(TCoolTrayIcon* icon, QWidget* owner)
      : watch_(owner, [icon] {
          if (!icon->MinimizeToTray() || !icon->OnMinimizeToTray) return false;
          // Acted on after the state change completes: showMinimized() shows the widget again
          // right after this event, which would undo the hide.
          PostMessage(SharedTrayWindow()->MessageWindow(), kMinimizeRequest,
                      reinterpret_cast<WPARAM>(icon), 0);
          return true;
        }) {}

 private:
  MinimizeWatch watch_;
};

// ---- construction ----

TCoolTrayIcon::TCoolTrayIcon(TComponent* owner) : TComponent(owner) {
  shared_tray.Attach()->icons_.insert(this);

  tray_id_ = reinterpret_cast<UINT_PTR>(this);
  waiting_for_mdi_frame_ = true;
  enabled_ = true;
  show_hint_ = true;
  applying_preview_ = false;

  icon_ = std::make_unique<TIcon>();
  icon_->OnChange = [this] { UpdateInTray(); };

  notify_record_.hWnd = shared_tray.Get()->MessageWindow();
  notify_record_.uID = tray_id_;
  notify_record_.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
  notify_record_.uCallbackMessage = TrayCallbackMessage;

  cycle_step_timer_ = std::make_unique<TSimpleTimer>();
  cycle_step_timer_->SetOnTick([this](TObject*) { CycleTick(); });
  click_delay_timer_ = std::make_unique<TSimpleTimer>();
  click_delay_timer_->SetOnTick([this](TObject*) { ClickTick(); });
  leave_poll_timer_ = std::make_unique<TSimpleTimer>(20, [this](TObject*) { ExitTick(); });

  pointer_outside_ = true;
  SetDesignPreview(design_preview_);

  if (!Designing()) {
    hook_id_ = Application().HookMainWindow(
        [this](UINT msg, WPARAM w, LPARAM l, LRESULT&) { return ApplicationHook(msg, w, l); });
    if (auto* owner_window = dynamic_cast<QWidget*>(Owner()))
      owner_proc_ = std::make_unique<OwnerProc>(this, owner_window);
  }
}

TCoolTrayIcon::~TCoolTrayIcon() {
  try {
    SetIconVisible(false);
    SetDesignPreview(false);
    cycle_step_timer_.reset();
    click_delay_timer_.reset();
    leave_poll_timer_.reset();
    try {
      icon_.reset();
    } catch (...) {
    }
  } catch (...) {
  }
  if (hook_id_) Application().UnhookMainWindow(hook_id_);
  hook_id_ = 0;
  owner_proc_.reset();
  if (shared_tray.Get()) shared_tray.Get()->icons_.erase(this);
  shared_tray.Detach();
}

bool TCoolTrayIcon::OwnerIsWindow() const {
  return dynamic_cast<QWidget*>(Owner()) != nullptr;
}

// ---- properties ----

void TCoolTrayIcon::SetDesignPreview(bool on) {
  design_preview_ = on;
  applying_preview_ = true;
  if (Designing()) {
    if (icon_->Empty() && AllowsDefaultIcon() && QApplication::style())
      icon_->SetImage(
          QApplication::style()->standardIcon(QStyle::SP_DesktopIcon).pixmap(16, 16).toImage());
    if (on)
      AddToTray();
    else
      RemoveFromTray();
  }
  applying_preview_ = false;
}

void TCoolTrayIcon::SetIconList(TImageList* list) {
  icon_list_ = list;
  SetIconIndex(0);
}

void TCoolTrayIcon::SetCycleIcons(bool on) {
  cycle_icons_ = on;
  if (on) {
    SetIconIndex(0);
    cycle_step_timer_->SetPeriod(cycle_interval_);
    cycle_step_timer_->SetActive(true);  // refuses with interval 0
  } else {
    cycle_step_timer_->SetActive(false);
  }
}

void TCoolTrayIcon::SetCycleInterval(std::uint32_t ms) {
  if (ms == cycle_interval_) return;
  cycle_interval_ = ms;
  SetCycleIcons(cycle_icons_);
}

void TCoolTrayIcon::SetHint(std::string hint) {
  hint_ = std::move(hint);
  UpdateInTray();
}

void TCoolTrayIcon::SetShowHint(bool on) {
  show_hint_ = on;
  UpdateInTray();
}

void TCoolTrayIcon::SetIcon(const QImage& image) {
  auto notify = std::move(icon_->OnChange);
  icon_->OnChange = nullptr;
  icon_->SetImage(image);
  icon_->OnChange = std::move(notify);
  UpdateInTray();
}

void TCoolTrayIcon::SetIconVisible(bool on) {
  if (on)
    AddToTray();
  else
    RemoveFromTray();
}

void TCoolTrayIcon::SetIconIndex(int index) {
  if (icon_list_) {
    int count = icon_list_->Count();
    if (index >= count) index = count - 1;
    icon_index_ = std::max(index, 0);  // an empty list or a negative index has image 0
    icon_list_->GetIcon(icon_index_, *icon_);
  } else {
    icon_index_ = 0;
  }
  UpdateInTray();
}

void TCoolTrayIcon::SetWantEnterExitEvents(bool on) {
  want_enter_exit_ = on;
  leave_poll_timer_->SetActive(on);
}

// ---- the notification area ----

bool TCoolTrayIcon::FillIconData() {
  if (Designing() && !applying_preview_ && !design_preview_) return false;
  notify_record_.hIcon = icon_->Image();
  notify_record_.szTip.fill('\0');
  if (!hint_.empty() && show_hint_) {
    std::size_t n = std::min<std::size_t>(hint_.size(), notify_record_.szTip.size() - 1);
    std::memcpy(notify_record_.szTip.data(), hint_.data(), n);
  }
  return true;
}

bool TCoolTrayIcon::AddToTray() {
  if (!applying_preview_) icon_visible_ = true;
  FillIconData();
  return Shell_NotifyIcon(NIM_ADD, notify_record_);
}

bool TCoolTrayIcon::RemoveFromTray() {
  if (!applying_preview_) icon_visible_ = false;
  FillIconData();
  return Shell_NotifyIcon(NIM_DELETE, notify_record_);
}

bool TCoolTrayIcon::UpdateInTray() {
  FillIconData();
  return Shell_NotifyIcon(NIM_MODIFY, notify_record_);
}

void TCoolTrayIcon::SetNotifyStyle(std::uint8_t style) {
  notify_style_ = style;
  if (style == 0) notify_record_.uVersion = 0;
  if (style == 1) notify_record_.uVersion = 3;
  Shell_NotifyIcon(NIM_SETVERSION, notify_record_);
}

bool TCoolTrayIcon::BitmapToIconImage(const QImage& bitmap, TIcon& icon, TColor keyColour) {
  QImage image = bitmap.convertToFormat(QImage::Format_ARGB32);
  if (keyColour != clNone) {
    QRgb key = ToQColor(keyColour).rgb();
    for (int y = 0; y < image.height(); ++y) {
      auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
      for (int x = 0; x < image.width(); ++x)
        if ((line[x] | 0xFF000000u) == key) line[x] = 0;
    }
  }
  icon.SetImage(image);
  return true;
}

// ---- the main window ----

void TCoolTrayIcon::HideMainWindow() {
  QWidget* main = Application().MainForm();
  if (!OwnerIsWindow() || !main) return;
  if (!CurrentTrayService().Available()) return;  // hidden there, nobody could bring it back
  main->setVisible(false);
  HideTaskbarButton();
}

void TCoolTrayIcon::HideTaskbarButton() {
  if (!CurrentTrayService().Available()) return;
  if (Application().TaskbarEntryVisible()) Application().HideTaskbarEntry();
}

void TCoolTrayIcon::MoveToTray() {
  HideMainWindow();
  SetIconVisible(true);
}

bool TCoolTrayIcon::MinimizeRequest() {
  if (!minimize_to_tray_ || !OnMinimizeToTray) return false;
  OnMinimizeToTray(this);
  MoveToTray();
  return true;
}

bool TCoolTrayIcon::ApplicationHook(UINT msg, WPARAM wparam, LPARAM) {
  QWidget* main = Application().MainForm();
  if (msg == WM_SIZE && wparam == SIZE_MINIMIZED && minimize_to_tray_) MoveToTray();
  // There are no multiple-document frames here, so the start-up check ends at once.
  if (msg == WM_WINDOWPOSCHANGED && waiting_for_mdi_frame_ && main) waiting_for_mdi_frame_ = false;
  if (msg == WM_SYSCOMMAND && wparam == SC_RESTORE && main) {
    if (main->isMinimized()) main->setWindowState(main->windowState() & ~Qt::WindowMinimized);
    main->setVisible(true);
  }
  if (TaskbarCreatedMessage != 0 && msg == TaskbarCreatedMessage && icon_visible_) AddToTray();
  return false;  // never consumed
}

// ---- loading ----

void TCoolTrayIcon::Loaded() {
  TComponent::Loaded();
  AfterLoading();
}

void TCoolTrayIcon::AfterLoading() {
  if (OwnerIsWindow() && !Designing()) {
    bool show = true;
    if (OnStartup) OnStartup(this, show);
    if (!show) {
      Application().ShowMainForm = false;
      HideMainWindow();
    }
  }
  UpdateInTray();
  SetIconVisible(icon_visible_);
  SetCycleIcons(cycle_icons_);
  SetWantEnterExitEvents(want_enter_exit_);
  SetNotifyStyle(notify_style_);
}

void TCoolTrayIcon::Notification(TComponent* component, TOperation operation) {
  TComponent::Notification(component, operation);
  if (operation != TOperation::opRemove) return;
  if (icon_list_ && component == icon_list_) SetIconList(nullptr);
  if (popup_menu_ && component == popup_menu_) popup_menu_ = nullptr;
}

// ---- popup menu ----

void TCoolTrayIcon::ShowPopupAtCursor() {
  int x, y;
  if (GetCursorPos(x, y)) ShowPopupAt(x, y);
}

void TCoolTrayIcon::ShowPopupAt(int x, int y) {
  if (!popup_menu_) return;
  ProcessMessages();
  popup_menu_->PopupComponent = this;
  popup_menu_->Popup(x, y);
}

// ---- notifications ----

bool TCoolTrayIcon::GetCursorPos(int& x, int& y) {
  QPoint p = QCursor::pos();
  x = p.x();
  y = p.y();
  return true;
}

TShiftState TCoolTrayIcon::KeyboardShift() {
  Qt::KeyboardModifiers m = QGuiApplication::queryKeyboardModifiers();
  TShiftState s = 0;
  if (m & Qt::ShiftModifier) s |= ssShift;
  if (m & Qt::AltModifier) s |= ssAlt;
  if (m & Qt::ControlModifier) s |= ssCtrl;
  return s;
}

void TCoolTrayIcon::HandleNotification(LPARAM code) {
  int x = 0, y = 0;
  auto read = [&] {
    GetCursorPos(x, y);
    return KeyboardShift();
  };
  switch (code) {
    case WM_MOUSEMOVE: {
      if (!enabled_) return;
      if (want_enter_exit_ && pointer_outside_) {
        DoMouseEnter();
        pointer_outside_ = false;
      }
      TShiftState shift = read();
      DoMouseMove(shift, x, y);
      last_pointer_x_ = x;
      last_pointer_y_ = y;
      return;
    }
    case WM_LBUTTONDOWN: {
      if (!enabled_) return;
      if (OnDblClick) {
        click_delay_timer_->SetPeriod(GetDoubleClickTime());
        click_delay_timer_->SetActive(true);
      }
      TShiftState shift = read();
      DoMouseDown(mbLeft, shift | ssLeft, x, y);
      left_down_seen_ = true;
      if (left_popup_ && popup_menu_ && popup_menu_->AutoPopup) ShowPopupAtCursor();
      return;
    }
    case WM_LBUTTONUP: {
      if (!enabled_) return;
      TShiftState shift = read();
      if (left_down_seen_) single_click_pending_ = true;
      if (left_down_seen_ && !click_delay_timer_->Active()) {
        left_down_seen_ = false;
        single_click_pending_ = false;
        DoClick();
      }
      left_down_seen_ = false;
      DoMouseUp(mbLeft, shift | ssLeft, x, y);
      return;
    }
    case WM_LBUTTONDBLCLK: {
      if (!enabled_) return;
      single_click_pending_ = false;
      dbl_click_seen_ = true;
      DoDblClick();
      if (popup_menu_ && popup_menu_->AutoPopup && !left_popup_) {
        if (QAction* item = popup_menu_->Menu()->defaultAction()) item->trigger();
      }
      return;
    }
    case WM_RBUTTONDOWN: {
      if (!enabled_) return;
      TShiftState shift = read();
      DoMouseDown(mbRight, shift | ssRight, x, y);
      if (popup_menu_ && popup_menu_->AutoPopup) ShowPopupAtCursor();
      return;
    }
    case WM_RBUTTONUP: {
      if (notify_style_ != 0 || !enabled_) return;
      TShiftState shift = read();
      DoMouseUp(mbRight, shift | ssRight, x, y);
      return;
    }
    case WM_MBUTTONDOWN:
    case WM_MBUTTONUP: {
      if (!enabled_) return;
      TShiftState shift = read();
      if (code == WM_MBUTTONDOWN)
        DoMouseDown(mbMiddle, shift | ssMiddle, x, y);
      else
        DoMouseUp(mbMiddle, shift | ssMiddle, x, y);
      return;
    }
    case WM_CONTEXTMENU:
    case NIN_SELECT:
    case NIN_KEYSELECT: {
      if (notify_style_ != 1 || !enabled_) return;
      TShiftState shift = read();
      DoMouseUp(mbRight, shift | ssRight, x, y);
      return;
    }
    case NIN_BALLOONSHOW:
      if (OnBalloonHintShow) OnBalloonHintShow(shared_tray.Get());
      return;
    case NIN_BALLOONHIDE:
      if (OnBalloonHintHide) OnBalloonHintHide(shared_tray.Get());
      return;
    case NIN_BALLOONTIMEOUT:
      if (OnBalloonHintTimeout) OnBalloonHintTimeout(shared_tray.Get());
      return;
    case NIN_BALLOONUSERCLICK:
      if (OnBalloonHintClick) OnBalloonHintClick(shared_tray.Get());
      return;
    default:
      return;
  }
}

void TCoolTrayIcon::ClickTick() {
  click_delay_timer_->SetActive(false);
  if (!dbl_click_seen_ && single_click_pending_) {
    single_click_pending_ = false;
    DoClick();
  }
  dbl_click_seen_ = false;
}

void TCoolTrayIcon::ExitTick() {
  if (pointer_outside_) return;
  int x, y;
  if (!GetCursorPos(x, y)) return;
  if (x != last_pointer_x_ || y != last_pointer_y_) {
    pointer_outside_ = true;
    DoMouseExit();
  }
}

void TCoolTrayIcon::CycleTick() {
  if (!icon_list_) return;
  icon_list_->GetIcon(icon_index_, *icon_);
  int count = icon_list_->Count();
  int next = icon_index_ < count - 1 ? icon_index_ + 1 : 0;
  DoCycle(next);
  SetIconIndex(next);
}

// ---- event dispatchers ----

void TCoolTrayIcon::DoClick() {
  if (OnClick) OnClick(this);
}
void TCoolTrayIcon::DoDblClick() {
  if (OnDblClick) OnDblClick(this);
}
void TCoolTrayIcon::DoCycle(int NextIndex) {
  if (OnCycle) OnCycle(this, NextIndex);
}
void TCoolTrayIcon::DoMouseDown(TMouseButton button, TShiftState shift, int x, int y) {
  if (OnMouseDown) OnMouseDown(this, button, shift, x, y);
}
void TCoolTrayIcon::DoMouseUp(TMouseButton button, TShiftState shift, int x, int y) {
  if (OnMouseUp) OnMouseUp(this, button, shift, x, y);
}
void TCoolTrayIcon::DoMouseMove(TShiftState shift, int x, int y) {
  if (OnMouseMove) OnMouseMove(this, shift, x, y);
}
void TCoolTrayIcon::DoMouseEnter() {
  if (OnMouseEnter) OnMouseEnter(this);
}
void TCoolTrayIcon::DoMouseExit() {
  if (OnMouseExit) OnMouseExit(this);
}

}  // namespace qb
