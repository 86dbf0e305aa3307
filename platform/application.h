// The application object: title, the main window, minimise and restore, and hooks that see
// the application window's messages first.
#pragma once

#include <QApplication>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/component.h"
#include "platform/messages.h"
#include "platform/minimizewatch.h"

class QWidget;

namespace qb {

// QApplication with the handler guard: every exception that leaves an event handler is
// reported by the error convention instead of unwinding through the event loop.
class GuardedApplication : public QApplication {
 public:
  GuardedApplication(int& argc, char** argv);
  bool notify(QObject* receiver, QEvent* event) override;
};

class TApplication : public TObject {
 public:
  // A hook sees every message of the application window before default handling; it returns
  // true when it handled the message.
  using Hook = std::function<bool(UINT msg, WPARAM wparam, LPARAM lparam, LRESULT& result)>;

  TApplication();
  ~TApplication() override;

  std::string Title = "quillbox";
  bool ShowMainForm = true;
  bool Terminated = false;

  QWidget* MainForm() const { return main_form_; }
  void SetMainForm(QWidget* form);

  // The application window: messages sent here go through the hooks. Its visibility is the
  // taskbar entry, which on Qt is the main window itself.
  HWND Handle() const { return handle_; }
  bool TaskbarEntryVisible() const;
  void HideTaskbarEntry();

  int HookMainWindow(Hook hook);
  void UnhookMainWindow(int id);

  // Minimise: the main window is minimised and the application window gets WM_SIZE with
  // SIZE_MINIMIZED. Restore: WM_SYSCOMMAND SC_RESTORE, then the main window comes back shown,
  // normal, raised and active.
  void Minimize();
  void Restore();
  bool Minimized() const;

 private:
  LRESULT WndProc(UINT msg, WPARAM wparam, LPARAM lparam);

  HWND handle_;
  QWidget* main_form_ = nullptr;
  std::unique_ptr<MinimizeWatch> watcher_;
  struct HookEntry {
    int id;
    Hook hook;
  };
  std::vector<HookEntry> hooks_;
  int next_hook_ = 1;
  bool minimizing_ = false;
};

// The process's application object (created on first use, on the user-interface thread).
TApplication& Application();

}  // namespace qb
