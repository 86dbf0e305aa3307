#include "tray/qttrayservice.h"

#include <QCoreApplication>
#include <QIcon>
#include <QPixmap>
#include <map>
#include <memory>
#include <utility>

#include "platform/application.h"
#include "tray/simpletimer.h"

#ifdef QUILLBOX_HAVE_DBUS
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#endif

namespace qb {

std::vector<LPARAM> ActivationCodes(QSystemTrayIcon::ActivationReason reason, bool noDoubleClick) {
  switch (reason) {
    case QSystemTrayIcon::Trigger:
      if (noDoubleClick) return {WM_LBUTTONDBLCLK, WM_LBUTTONUP};
      return {WM_LBUTTONDOWN, WM_LBUTTONUP};
    case QSystemTrayIcon::DoubleClick:
      return {WM_LBUTTONDBLCLK, WM_LBUTTONUP};
    case QSystemTrayIcon::Context:
      return {WM_RBUTTONDOWN, WM_RBUTTONUP};
    case QSystemTrayIcon::MiddleClick:
      return {WM_MBUTTONDOWN, WM_MBUTTONUP};
    default:
      return {};
  }
}

bool StatusNotifierInUse() {
#ifdef QUILLBOX_HAVE_DBUS
  // Qt prefers StatusNotifierItem whenever a watcher is on the session bus.
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected() || !bus.interface()) return false;
  return bus.interface()->isServiceRegistered(QStringLiteral("org.kde.StatusNotifierWatcher"));
#else
  return false;
#endif
}

namespace {

QIcon ToIcon(const QImage& image) {
  return image.isNull() ? QIcon() : QIcon(QPixmap::fromImage(image));
}

class QtTray : public TrayService {
 public:
  bool Available() const override { return QSystemTrayIcon::isSystemTrayAvailable(); }

  bool Add(const NotifyIconData& d) override {
    EnsureWatch();
    auto key = std::make_pair(d.hWnd, d.uID);
    if (entries_.count(key) || !Available()) return false;
    auto icon = std::make_unique<QSystemTrayIcon>();
    Apply(*icon, d);
    HWND wnd = d.hWnd;
    UINT_PTR id = d.uID;
    UINT msg = d.uCallbackMessage;
    QObject::connect(icon.get(), &QSystemTrayIcon::activated,
                     [wnd, id, msg](QSystemTrayIcon::ActivationReason reason) {
                       for (LPARAM code : ActivationCodes(reason, StatusNotifierInUse()))
                         PostMessage(wnd, msg, id, code);
                     });
    icon->show();
    entries_.emplace(key, std::move(icon));
    return true;
  }

  bool Modify(const NotifyIconData& d) override {
    auto it = entries_.find(std::make_pair(d.hWnd, d.uID));
    if (it == entries_.end()) return false;
    Apply(*it->second, d);
    return true;
  }

  bool Delete(const NotifyIconData& d) override {
    auto it = entries_.find(std::make_pair(d.hWnd, d.uID));
    if (it == entries_.end()) return false;
    it->second->hide();
    entries_.erase(it);
    return true;
  }

  bool SetVersion(const NotifyIconData& d) override {
    return entries_.count(std::make_pair(d.hWnd, d.uID)) != 0;
  }

 private:
  static void Apply(QSystemTrayIcon& icon, const NotifyIconData& d) {
    if (d.uFlags & NIF_ICON) icon.setIcon(ToIcon(d.hIcon));
    if (d.uFlags & NIF_TIP) icon.setToolTip(QString::fromStdString(d.Tip()));
  }

  // Watches the notification area: when it goes away its entries are lost; when it comes back
  // the application hears "TaskbarCreated" and adds its icons again. The check ticks on the
  // platform's timer descriptor rather than a Qt timer, which would give every pass of the
  // event loop a poll timeout to work out and arm.
  void EnsureWatch() {
    if (watch_ || !QCoreApplication::instance()) return;
    available_ = Available();
    watch_ = std::make_unique<TSimpleTimer>(1000, [this](TObject*) {
      bool now = Available();
      if (now == available_) return;
      available_ = now;
      if (!now) {
        for (auto& e : entries_) e.second->hide();
        entries_.clear();
      } else {
        PostMessage(Application().Handle(), RegisterWindowMessage("TaskbarCreated"), 0, 0);
      }
    });
    watch_->StartTimer();
  }

  std::map<std::pair<HWND, UINT_PTR>, std::unique_ptr<QSystemTrayIcon>> entries_;
  std::unique_ptr<TSimpleTimer> watch_;
  bool available_ = false;
};

}  // namespace

TrayService& QtTrayService() {
  static QtTray* service = new QtTray;  // entries may outlive static destruction order
  return *service;
}

}  // namespace qb
