// A component that keeps one icon in the notification area, turns its notifications into
// events, cycles images, pops up a menu and moves the application there when it is minimised.
#pragma once

#include <QImage>
#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <string>

#include "platform/component.h"
#include "platform/messages.h"
#include "platform/sharedwindow.h"
#include "tray/graphics.h"
#include "tray/simpletimer.h"
#include "tray/trayservice.h"

class QMenu;
class QAction;

namespace qb {

inline constexpr UINT TrayCallbackMessage = 0x800;
// The notification area's "restarted" broadcast, registered at module start.
extern const UINT TaskbarCreatedMessage;

enum TMouseButton { mbLeft = 0, mbRight = 1, mbMiddle = 2 };
using TShiftState = std::uint8_t;
inline constexpr TShiftState ssShift = 1, ssAlt = 2, ssCtrl = 4, ssLeft = 8, ssRight = 16,
                             ssMiddle = 32;

using TMouseEvent =
    std::function<void(TObject* Sender, TMouseButton Button, TShiftState Shift, int X, int Y)>;
using TMouseMoveEvent = std::function<void(TObject* Sender, TShiftState Shift, int X, int Y)>;
using TCycleEvent = std::function<void(TObject* Sender, int NextIndex)>;
using TStartupEvent = std::function<void(TObject* Sender, bool& ShowMainForm)>;

// A popup menu over QMenu. Popup is where the menu runs its own loop until it closes.
class TPopupMenu : public TComponent {
 public:
  explicit TPopupMenu(TComponent* owner);
  ~TPopupMenu() override;
  QMenu* Menu() const { return menu_.get(); }
  virtual void Popup(int x, int y);

  bool AutoPopup = true;
  TComponent* PopupComponent = nullptr;

 private:
  std::unique_ptr<QMenu> menu_;
};

class TCoolTrayIcon;

// Owner of the hidden window that receives the notifications of every tray icon.
class TTrayIconHandler : public TSharedWindowOwner {
 protected:
  LRESULT WndProc(UINT msg, WPARAM wparam, LPARAM lparam) override;

 private:
  friend class TCoolTrayIcon;
  std::set<TCoolTrayIcon*> icons_;  // live icons: late notifications for others are dropped
};

// The shared handler, or nullptr while no tray icon exists.
TTrayIconHandler* SharedTrayWindow();

class TCoolTrayIcon : public TComponent {
 public:
  explicit TCoolTrayIcon(TComponent* owner);
  ~TCoolTrayIcon() override;

  // Published properties.
  bool DesignPreview() const { return design_preview_; }
  void SetDesignPreview(bool on);
  TImageList* IconList() const { return icon_list_; }
  void SetIconList(TImageList* list);
  bool CycleIcons() const { return cycle_icons_; }
  void SetCycleIcons(bool on);
  std::uint32_t CycleInterval() const { return cycle_interval_; }
  void SetCycleInterval(std::uint32_t ms);
  bool Enabled() const { return enabled_; }
  void SetEnabled(bool on) { enabled_ = on; }
  const std::string& Hint() const { return hint_; }
  void SetHint(std::string hint);
  bool ShowHint() const { return show_hint_; }
  void SetShowHint(bool on);
  TIcon& Icon() { return *icon_; }
  void SetIcon(const QImage& image);
  void SetIcon(const TIcon& icon) { SetIcon(icon.Image()); }
  bool IconVisible() const { return icon_visible_; }
  void SetIconVisible(bool on);
  int IconIndex() const { return icon_index_; }
  void SetIconIndex(int index);
  TPopupMenu* PopupMenu() const { return popup_menu_; }
  void SetPopupMenu(TPopupMenu* menu) { popup_menu_ = menu; }
  bool LeftPopup() const { return left_popup_; }
  void SetLeftPopup(bool on) { left_popup_ = on; }
  bool WantEnterExitEvents() const { return want_enter_exit_; }
  void SetWantEnterExitEvents(bool on);
  bool MinimizeToTray() const { return minimize_to_tray_; }
  void SetMinimizeToTray(bool on) { minimize_to_tray_ = on; }

  // Events; the balloon events' sender is the shared handler.
  TNotifyEvent OnClick;
  TNotifyEvent OnDblClick;
  TMouseEvent OnMouseDown;
  TMouseEvent OnMouseUp;
  TMouseMoveEvent OnMouseMove;
  TNotifyEvent OnMouseEnter;
  TNotifyEvent OnMouseExit;
  TCycleEvent OnCycle;
  TNotifyEvent OnBalloonHintShow;
  TNotifyEvent OnBalloonHintHide;
  TNotifyEvent OnBalloonHintTimeout;
  TNotifyEvent OnBalloonHintClick;
  TNotifyEvent OnMinimizeToTray;
  TStartupEvent OnStartup;
  void SetOnDblClick(TNotifyEvent handler) { OnDblClick = std::move(handler); }

  virtual bool AllowsDefaultIcon() { return true; }
  virtual bool AddToTray();
  virtual bool RemoveFromTray();
  virtual bool UpdateInTray();

  bool FillIconData();
  void SetNotifyStyle(std::uint8_t style);
  std::uint8_t NotifyStyle() const { return notify_style_; }
  // Hides the main window and its taskbar entry; does nothing while no notification area
  // exists, so the window stays reachable from the taskbar.
  void HideMainWindow();
  void HideTaskbarButton();
  void ShowPopupAtCursor();
  void ShowPopupAt(int x, int y);
  // The bitmap as an icon; pixels of the key colour become transparent (none: all opaque).
  bool BitmapToIconImage(const QImage& bitmap, TIcon& icon, TColor keyColour);

  UINT_PTR TrayId() const { return tray_id_; }
  const NotifyIconData& NotifyRecord() const { return notify_record_; }
  TSimpleTimer& CycleStepTimer() { return *cycle_step_timer_; }
  TSimpleTimer& ClickDelayTimer() { return *click_delay_timer_; }
  TSimpleTimer& LeavePollTimer() { return *leave_poll_timer_; }

  void Loaded() override;
  void Notification(TComponent* component, TOperation operation) override;

 protected:
  virtual void DoClick();
  virtual void DoDblClick();
  virtual void DoCycle(int NextIndex);
  virtual void DoMouseDown(TMouseButton button, TShiftState shift, int x, int y);
  virtual void DoMouseUp(TMouseButton button, TShiftState shift, int x, int y);
  virtual void DoMouseMove(TShiftState shift, int x, int y);
  virtual void DoMouseEnter();
  virtual void DoMouseExit();
  virtual void MoveToTray();
  virtual void AfterLoading();

  // The pointer in screen coordinates and the keyboard's shift state, read when asked.
  virtual bool GetCursorPos(int& x, int& y);
  virtual TShiftState KeyboardShift();

 private:
  friend class TTrayIconHandler;
  class OwnerProc;

  void HandleNotification(LPARAM code);
  void CycleTick();
  void ClickTick();
  void ExitTick();
  bool ApplicationHook(UINT msg, WPARAM wparam, LPARAM lparam);
  bool OwnerIsWindow() const;
  bool MinimizeRequest();

  UINT_PTR tray_id_;
  bool design_preview_ = false;
  TImageList* icon_list_ = nullptr;
  bool cycle_icons_ = false;
  std::uint32_t cycle_interval_ = 0;
  bool enabled_ = true;
  std::string hint_;
  bool show_hint_ = true;
  std::unique_ptr<TIcon> icon_;
  bool icon_visible_ = false;
  int icon_index_ = 0;
  TPopupMenu* popup_menu_ = nullptr;
  bool left_popup_ = false;
  bool want_enter_exit_ = false;
  bool minimize_to_tray_ = false;

  std::unique_ptr<TSimpleTimer> cycle_step_timer_;
  std::unique_ptr<TSimpleTimer> click_delay_timer_;
  std::unique_ptr<TSimpleTimer> leave_poll_timer_;
  bool left_down_seen_ = false;
  bool single_click_pending_ = false;
  bool dbl_click_seen_ = false;
  int last_pointer_x_ = 0;
  int last_pointer_y_ = 0;
  bool pointer_outside_ = true;
  std::uint8_t notify_style_ = 0;
  bool applying_preview_ = false;
  bool waiting_for_mdi_frame_ = true;
  int hook_id_ = 0;
  std::unique_ptr<OwnerProc> owner_proc_;
  NotifyIconData notify_record_;
};

}  // namespace qb
