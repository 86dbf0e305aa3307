#include "tests/e2e/dbus_support.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusVariant>
#include <QDir>
#include <QFile>
#include <QProcessEnvironment>
#include <atomic>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "tests/e2e/e2e_support.h"

namespace e2e {

namespace {

std::string Trim(std::string s) {
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.pop_back();
  return s;
}

std::string StateFile(const char* variable, const std::string& name) {
  const char* state = std::getenv(variable);
  if (!state || !*state) throw std::runtime_error(std::string("e2e: ") + variable + " is not set");
  std::ifstream f(std::string(state) + "/" + name);
  std::stringstream s;
  s << f.rdbuf();
  return Trim(s.str());
}

}  // namespace

std::string BusAddress() {
  static const std::string address = StateFile("QB_DBUS_STATE", "address");
  return address;
}

BusClient::BusClient() {
  static std::atomic<int> count{0};
  name_ = QStringLiteral("e2e-client-%1").arg(++count);
  QDBusConnection::connectToBus(QString::fromStdString(BusAddress()), name_);
}

BusClient::~BusClient() {
  QDBusConnection::disconnectFromBus(name_);
}

bool BusClient::HasOwner(const QString& name) {
  QDBusConnection bus(name_);
  return bus.isConnected() && bus.interface()->isServiceRegistered(name).value();
}

QStringList BusClient::Names() {
  QDBusConnection bus(name_);
  if (!bus.isConnected()) return {};
  return bus.interface()->registeredServiceNames().value();
}

QDBusMessage BusClient::Call(const QString& service, const QString& path, const QString& interface,
                             const QString& method, const QVariantList& args) {
  QDBusMessage m = QDBusMessage::createMethodCall(service, path, interface, method);
  m.setArguments(args);
  return QDBusConnection(name_).call(m, QDBus::Block, 10000);
}

QVariant BusClient::Property(const QString& service, const QString& path, const QString& interface,
                             const QString& name) {
  QDBusMessage r = Call(service, path, QStringLiteral("org.freedesktop.DBus.Properties"),
                        QStringLiteral("Get"), {interface, name});
  if (r.type() != QDBusMessage::ReplyMessage || r.arguments().isEmpty()) return {};
  return r.arguments().first().value<QDBusVariant>().variant();
}

DesktopPeer::DesktopPeer(QString mode) : mode_(std::move(mode)) {
  service_ = mode_ == QLatin1String("watcher") ? QStringLiteral("org.kde.StatusNotifierWatcher")
                                               : QStringLiteral("org.a11y.Bus");
  log_ = QDir::tempPath() + QStringLiteral("/quillbox-e2e-peer-%1-%2.log")
                                .arg(mode_)
                                .arg(QCoreApplication::applicationPid());
}

DesktopPeer::~DesktopPeer() {
  Stop();
  QFile::remove(log_);
}

bool DesktopPeer::Start(std::chrono::milliseconds deadline) {
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), QString::fromStdString(BusAddress()));
  process_.setProcessEnvironment(env);
  process_.setProcessChannelMode(QProcess::MergedChannels);
  process_.setStandardOutputFile(log_, QIODevice::Append);
  process_.start(QString::fromLocal8Bit(qgetenv("QB_DESKTOP_PEER")), {mode_});
  if (!process_.waitForStarted(int(deadline.count()))) return false;
  BusClient bus;
  return WaitFor([&] { return bus.HasOwner(service_); }, deadline);
}

bool DesktopPeer::Stop() {
  if (process_.state() == QProcess::NotRunning) return true;
  process_.terminate();
  if (!process_.waitForFinished(20000)) {
    process_.kill();
    process_.waitForFinished(5000);
  }
  BusClient bus;
  return WaitFor([&] { return !bus.HasOwner(service_); });
}

std::string DesktopPeer::Output() const {
  QFile f(log_);
  if (!f.open(QIODevice::ReadOnly)) return {};
  return f.readAll().toStdString();
}

}  // namespace e2e
