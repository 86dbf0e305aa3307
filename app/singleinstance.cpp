#include "app/singleinstance.h"

#include <QCryptographicHash>
#include <QGuiApplication>
#include <QLocalSocket>
#include <QStandardPaths>
#include <QThread>
#include <algorithm>

namespace qb {
namespace {

constexpr char kRequest[] = "raise\n";
constexpr char kAnswer[] = "raised\n";

// A file name of letters, digits, '.', '_' and '-', short enough that the socket's path fits
// the 108 bytes a Unix socket address has.
QString FileNamePart(const QString& text) {
  QString out;
  for (QChar c : text)
    out += (c.isLetterOrNumber() && c.unicode() < 128) || c == u'.' || c == u'-' ? c : u'_';
  if (out.size() <= 40) return out;
  return out.left(24) + u'-' +
         QString::fromLatin1(
             QCryptographicHash::hash(text.toUtf8(), QCryptographicHash::Sha1).toHex().left(15));
}

std::chrono::milliseconds Left(std::chrono::steady_clock::time_point deadline) {
  return std::max(std::chrono::duration_cast<std::chrono::milliseconds>(
                      deadline - std::chrono::steady_clock::now()),
                  std::chrono::milliseconds(0));
}

}  // namespace

SingleInstance::SingleInstance(const QString& folder, const QString& session) {
  if (folder.isEmpty()) return;
  const QString base = folder + QStringLiteral("/quillbox-") + session;
  lock_path_ = base + QStringLiteral(".lock");
  socket_path_ = base + QStringLiteral(".socket");
}

SingleInstance::~SingleInstance() {
  server_.reset();  // removes the socket while the lock still says it is ours
  lock_.reset();
}

bool SingleInstance::TryLock() {
  if (!lock_) {
    lock_ = std::make_unique<QLockFile>(lock_path_);
    // Never stale by age: a bridge runs for days. Stale only when its process is gone, which
    // tryLock sees from the process id in the file.
    lock_->setStaleLockTime(0);
  }
  return lock_->tryLock(0);
}

SingleInstance::Claim SingleInstance::Take(std::function<void()> raise,
                                           std::chrono::milliseconds answer_within) {
  raise_ = std::move(raise);
  if (lock_path_.isEmpty()) {
    problem_ = QStringLiteral("no runtime folder");
    return Claim::kUnguarded;
  }
  const auto deadline = std::chrono::steady_clock::now() + answer_within;
  for (;;) {
    if (TryLock()) {
      Serve();
      return Claim::kFirst;
    }
    if (lock_->error() != QLockFile::LockFailedError) {
      problem_ = QStringLiteral("cannot create %1").arg(lock_path_);
      return Claim::kUnguarded;
    }
    QString host, app;
    lock_->getLockInfo(&holder_pid_, &host, &app);
    // A holder that has not begun to listen yet, or has just closed, is asked again.
    if (const Asked asked = Ask(deadline); asked == Asked::kAnswered)
      return Claim::kForwarded;
    else if (asked == Asked::kNoAnswer)
      return Claim::kUnanswered;
    if (Left(deadline).count() == 0) return Claim::kUnanswered;
    QThread::msleep(50);
  }
}

SingleInstance::Asked SingleInstance::Ask(std::chrono::steady_clock::time_point deadline) {
  QLocalSocket socket;
  socket.connectToServer(socket_path_);
  if (!socket.waitForConnected(static_cast<int>(Left(deadline).count()))) return Asked::kGone;
  socket.write(kRequest);
  while (!socket.canReadLine()) {
    if (socket.waitForReadyRead(static_cast<int>(Left(deadline).count()))) continue;
    return socket.state() == QLocalSocket::ConnectedState && Left(deadline).count() == 0
               ? Asked::kNoAnswer
               : Asked::kGone;
  }
  return socket.readLine() == kAnswer ? Asked::kAnswered : Asked::kGone;
}

void SingleInstance::Serve() {
  // A socket file left by a holder that was killed would make listening fail; the lock says
  // nobody else uses it now.
  QLocalServer::removeServer(socket_path_);
  server_ = std::make_unique<QLocalServer>();
  server_->setSocketOptions(QLocalServer::UserAccessOption);
  if (!server_->listen(socket_path_)) {
    problem_ = QStringLiteral("cannot listen on %1: %2").arg(socket_path_, server_->errorString());
    return;
  }
  QObject::connect(server_.get(), &QLocalServer::newConnection, server_.get(), [this] {
    while (QLocalSocket* client = server_->nextPendingConnection()) {
      QObject::connect(client, &QLocalSocket::disconnected, client, &QObject::deleteLater);
      auto answer = [this, client] {
        while (client->canReadLine()) {
          if (client->readLine() != kRequest) continue;
          if (raise_) raise_();
          client->write(kAnswer);
          client->flush();
        }
      };
      QObject::connect(client, &QLocalSocket::readyRead, client, answer);
      answer();
    }
  });
}

QString RuntimeFolder() {
  return QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
}

QString DisplaySession(const QString& display_argument) {
  const QString platform = QGuiApplication::platformName();
  QString display;
  if (platform == QLatin1String("xcb")) {
    display = display_argument.isEmpty() ? qEnvironmentVariable("DISPLAY") : display_argument;
    // ":1" and ":1.0" are one display: the screen number does not make another session.
    const qsizetype colon = display.lastIndexOf(u':');
    const qsizetype dot = display.lastIndexOf(u'.');
    if (colon >= 0 && dot > colon) display.truncate(dot);
  } else if (platform.startsWith(QLatin1String("wayland"))) {
    display = qEnvironmentVariable("WAYLAND_DISPLAY", QStringLiteral("wayland-0"));
  }
  return FileNamePart(display.isEmpty() ? platform : platform + u'-' + display);
}

}  // namespace qb
