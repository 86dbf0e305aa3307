#include "platform/application.h"

#include <QEvent>
#include <QWidget>

#include "platform/errors.h"
#include "platform/minimizewatch.h"

namespace qb {

GuardedApplication::GuardedApplication(int& argc, char** argv) : QApplication(argc, argv) {}

bool GuardedApplication::notify(QObject* receiver, QEvent* event) {
  bool result = false;
  Guarded([&] { result = QApplication::notify(receiver, event); });
  return result;
}

TApplication::TApplication()
    : handle_(AllocateHWnd([this](UINT m, WPARAM w, LPARAM l) { return WndProc(m, w, l); })) {
  SetErrorBoxTitle([this] { return Title; });
}

TApplication::~TApplication() {
  SetMainForm(nullptr);
  DeallocateHWnd(handle_);
}

void TApplication::SetMainForm(QWidget* form) {
  watcher_.reset();
  main_form_ = form;
  // The user's minimise of the main window becomes the application window's WM_SIZE, as if
  // the application itself had been minimised. Posted, not sent: QWidget::showMinimized()
  // shows the widget again after the state change, which would undo a hide done by a handler.
  if (main_form_)
    watcher_ = std::make_unique<MinimizeWatch>(main_form_, [this] {
      if (!minimizing_) PostMessage(handle_, WM_SIZE, SIZE_MINIMIZED, 0);
      return false;
    });
}

bool TApplication::TaskbarEntryVisible() const {
  return main_form_ && main_form_->isVisible();
}

void TApplication::HideTaskbarEntry() {
  if (main_form_) main_form_->hide();
}

int TApplication::HookMainWindow(Hook hook) {
  hooks_.push_back({next_hook_, std::move(hook)});
  return next_hook_++;
}

void TApplication::UnhookMainWindow(int id) {
  std::erase_if(hooks_, [id](const HookEntry& e) { return e.id == id; });
}

void TApplication::Minimize() {
  if (main_form_) {
    minimizing_ = true;
    main_form_->showMinimized();
    minimizing_ = false;
  }
  SendMessage(handle_, WM_SIZE, SIZE_MINIMIZED, 0);
}

void TApplication::Restore() {
  SendMessage(handle_, WM_SYSCOMMAND, SC_RESTORE, 0);
  if (main_form_) {
    main_form_->showNormal();
    main_form_->raise();
    main_form_->activateWindow();
  }
}

bool TApplication::Minimized() const {
  return main_form_ && (main_form_->isMinimized() || !main_form_->isVisible());
}

LRESULT TApplication::WndProc(UINT msg, WPARAM wparam, LPARAM lparam) {
  LRESULT result = 0;
  // A hook may unhook itself: iterate over a copy.
  for (auto& e : std::vector<HookEntry>(hooks_))
    if (e.hook(msg, wparam, lparam, result)) return result;
  return DefWindowProc(handle_, msg, wparam, lparam);
}

TApplication& Application() {
  static TApplication* app = new TApplication;  // outlives every component
  return *app;
}

}  // namespace qb
