// Support for end-to-end tests on a private D-Bus session bus: the test's own connection, used
// as a panel or an assistive technology would use theirs, and the desktop's services on that
// bus (desktop_peer).
#pragma once

#include <QDBusMessage>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <chrono>
#include <string>

namespace e2e {

// Address of the fixture's bus (QB_DBUS_STATE/address).
std::string BusAddress();

class BusClient {
 public:
  BusClient();
  ~BusClient();
  BusClient(const BusClient&) = delete;
  BusClient& operator=(const BusClient&) = delete;

  bool HasOwner(const QString& name);
  QStringList Names();  // every name on the bus, unique ones included
  // A property's value (the variant unwrapped); invalid when the call fails.
  QVariant Property(const QString& service, const QString& path, const QString& interface,
                    const QString& name);
  QDBusMessage Call(const QString& service, const QString& path, const QString& interface,
                    const QString& method, const QVariantList& args = {});

 private:
  QString name_;
};

// One desktop service of desktop_peer ("watcher" or "a11y") on the fixture's bus.
class DesktopPeer {
 public:
  explicit DesktopPeer(QString mode);
  ~DesktopPeer();
  // Starts it and waits until it owns its bus name.
  bool Start(std::chrono::milliseconds deadline = std::chrono::seconds(20));
  // Ends it by SIGTERM and waits until its name has left the bus.
  bool Stop();
  std::string Output() const;

 private:
  QString mode_;
  QString service_;
  QString log_;
  QProcess process_;
};

}  // namespace e2e
