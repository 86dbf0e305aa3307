// The desktop's side of a session bus, for end-to-end tests on a private bus:
//   desktop_peer watcher  a StatusNotifierWatcher with one registered host, as a KDE Plasma
//                         panel (or GNOME's AppIndicator extension) provides it;
//   desktop_peer a11y     the accessibility bus service, which tells toolkits that assistive
//                         technology is on and where its bus is (this same bus).
// Each prints one line per event on standard output and runs until SIGTERM.
#include <signal.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusServiceWatcher>
#include <QDBusVariant>
#include <QDBusVirtualObject>
#include <QSocketNotifier>
#include <QStringList>
#include <cstdio>
#include <memory>

namespace {

const QString kPropertiesInterface = QStringLiteral("org.freedesktop.DBus.Properties");

void Say(const QString& line) {
  std::printf("%s\n", qPrintable(line));
  std::fflush(stdout);
}

// An object that answers its methods and the standard property calls, and lists both in its
// introspection data: Qt reads properties of other objects only when introspection names them.
class Object : public QDBusVirtualObject {
 public:
  bool handleMessage(const QDBusMessage& message, const QDBusConnection& bus) override {
    if (message.interface() == kPropertiesInterface) {
      const QVariantList args = message.arguments();
      if (message.member() == QLatin1String("Get") && args.size() == 2) {
        const QVariant value = Property(args[0].toString(), args[1].toString());
        if (!value.isValid())
          return Reply(bus,
                       message.createErrorReply(QDBusError::UnknownProperty, args[1].toString()));
        return Reply(bus, message.createReply(QVariant::fromValue(QDBusVariant(value))));
      }
      if (message.member() == QLatin1String("GetAll") && args.size() == 1) {
        QVariantMap all;
        for (const QString& name : PropertyNames(args[0].toString()))
          all.insert(name, Property(args[0].toString(), name));
        return Reply(bus, message.createReply(all));
      }
      return false;
    }
    QDBusMessage reply;
    if (!Call(message, reply)) return false;
    return Reply(bus, reply);
  }

 protected:
  virtual QVariant Property(const QString& interface, const QString& name) = 0;
  virtual QStringList PropertyNames(const QString& interface) = 0;
  virtual bool Call(const QDBusMessage& message, QDBusMessage& reply) = 0;

 private:
  static bool Reply(const QDBusConnection& bus, const QDBusMessage& reply) {
    QDBusConnection(bus).send(reply);
    return true;
  }
};

const QString kWatcherService = QStringLiteral("org.kde.StatusNotifierWatcher");
const QString kWatcherPath = QStringLiteral("/StatusNotifierWatcher");

class Watcher : public Object {
 public:
  explicit Watcher(QDBusConnection bus)
      : bus_(bus), services_(QString(), bus, QDBusServiceWatcher::WatchForUnregistration) {
    QObject::connect(&services_, &QDBusServiceWatcher::serviceUnregistered,
                     [this](const QString& service) { Drop(service); });
  }

  QString introspect(const QString&) const override {
    return QStringLiteral(R"(<interface name="org.kde.StatusNotifierWatcher">
  <method name="RegisterStatusNotifierItem"><arg name="service" type="s" direction="in"/></method>
  <method name="RegisterStatusNotifierHost"><arg name="service" type="s" direction="in"/></method>
  <property name="RegisteredStatusNotifierItems" type="as" access="read"/>
  <property name="IsStatusNotifierHostRegistered" type="b" access="read"/>
  <property name="ProtocolVersion" type="i" access="read"/>
  <signal name="StatusNotifierItemRegistered"><arg type="s"/></signal>
  <signal name="StatusNotifierItemUnregistered"><arg type="s"/></signal>
  <signal name="StatusNotifierHostRegistered"/>
  <signal name="StatusNotifierHostUnregistered"/>
</interface>
)");
  }

 protected:
  QVariant Property(const QString& interface, const QString& name) override {
    if (interface != kWatcherService) return {};
    if (name == QLatin1String("RegisteredStatusNotifierItems")) return items_;
    if (name == QLatin1String("IsStatusNotifierHostRegistered")) return true;
    if (name == QLatin1String("ProtocolVersion")) return 0;
    return {};
  }
  QStringList PropertyNames(const QString& interface) override {
    if (interface != kWatcherService) return {};
    return {QStringLiteral("RegisteredStatusNotifierItems"),
            QStringLiteral("IsStatusNotifierHostRegistered"), QStringLiteral("ProtocolVersion")};
  }
  bool Call(const QDBusMessage& message, QDBusMessage& reply) override {
    if (message.interface() != kWatcherService || message.arguments().size() != 1) return false;
    const QString arg = message.arguments()[0].toString();
    if (message.member() == QLatin1String("RegisterStatusNotifierItem")) {
      // Items name either their bus name (object at /StatusNotifierItem) or their object path.
      const QString service = arg.startsWith(QLatin1Char('/')) ? message.service() : arg;
      const QString path = arg.startsWith(QLatin1Char('/')) ? arg : "/StatusNotifierItem";
      const QString item = service + path;
      if (!items_.contains(item)) {
        items_ << item;
        services_.addWatchedService(service);
        Say("item registered " + item);
        Signal("StatusNotifierItemRegistered", item);
      }
      reply = message.createReply();
      return true;
    }
    if (message.member() == QLatin1String("RegisterStatusNotifierHost")) {
      reply = message.createReply();
      return true;
    }
    return false;
  }

 private:
  void Drop(const QString& service) {
    for (const QString& item : QStringList(items_)) {
      if (!item.startsWith(service + "/")) continue;
      items_.removeAll(item);
      Say("item unregistered " + item);
      Signal("StatusNotifierItemUnregistered", item);
    }
    services_.removeWatchedService(service);
  }
  void Signal(const char* name, const QString& arg) {
    QDBusMessage s = QDBusMessage::createSignal(kWatcherPath, kWatcherService, name);
    s << arg;
    bus_.send(s);
  }

  QDBusConnection bus_;
  QDBusServiceWatcher services_;
  QStringList items_;
};

class A11yBus : public Object {
 public:
  QString introspect(const QString&) const override {
    return QStringLiteral(R"(<interface name="org.a11y.Bus">
  <method name="GetAddress"><arg name="address" type="s" direction="out"/></method>
</interface>
<interface name="org.a11y.Status">
  <property name="IsEnabled" type="b" access="readwrite"/>
  <property name="ScreenReaderEnabled" type="b" access="readwrite"/>
</interface>
)");
  }

 protected:
  QVariant Property(const QString& interface, const QString& name) override {
    if (interface == QLatin1String("org.a11y.Status") &&
        (name == QLatin1String("IsEnabled") || name == QLatin1String("ScreenReaderEnabled")))
      return true;
    return {};
  }
  QStringList PropertyNames(const QString& interface) override {
    if (interface != QLatin1String("org.a11y.Status")) return {};
    return {QStringLiteral("IsEnabled"), QStringLiteral("ScreenReaderEnabled")};
  }
  bool Call(const QDBusMessage& message, QDBusMessage& reply) override {
    if (message.interface() != QLatin1String("org.a11y.Bus") ||
        message.member() != QLatin1String("GetAddress"))
      return false;
    // Assistive technology and the applications meet on this same private bus.
    reply = message.createReply(QString::fromLocal8Bit(qgetenv("DBUS_SESSION_BUS_ADDRESS")));
    Say("a11y address asked by " + message.service());
    return true;
  }
};

int stop_pipe[2];

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  const QString mode = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QString();
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected()) {
    std::fprintf(stderr, "desktop_peer: no session bus: %s\n",
                 qPrintable(bus.lastError().message()));
    return 1;
  }

  // SIGTERM ends the event loop, so the bus names are released in order.
  if (pipe(stop_pipe) != 0) return 1;
  signal(SIGTERM, [](int) { (void)!write(stop_pipe[1], "x", 1); });
  QSocketNotifier stop(stop_pipe[0], QSocketNotifier::Read);
  QObject::connect(&stop, &QSocketNotifier::activated, &app, &QCoreApplication::quit);

  std::unique_ptr<Object> object;
  QString service, path;
  if (mode == QLatin1String("watcher")) {
    object = std::make_unique<Watcher>(bus);
    service = kWatcherService;
    path = kWatcherPath;
    // The host: the panel that shows the items.
    bus.interface()->registerService("org.kde.StatusNotifierHost-" + QString::number(getpid()));
  } else if (mode == QLatin1String("a11y")) {
    object = std::make_unique<A11yBus>();
    service = QStringLiteral("org.a11y.Bus");
    path = QStringLiteral("/org/a11y/bus");
  } else {
    std::fprintf(stderr, "usage: desktop_peer watcher|a11y\n");
    return 2;
  }
  if (!bus.registerVirtualObject(path, object.get()) ||
      bus.interface()->registerService(service).value() !=
          QDBusConnectionInterface::ServiceRegistered) {
    std::fprintf(stderr, "desktop_peer: cannot own %s\n", qPrintable(service));
    return 1;
  }
  Say("ready " + service);
  const int result = app.exec();
  bus.unregisterService(service);
  bus.unregisterObject(path);
  return result;
}
