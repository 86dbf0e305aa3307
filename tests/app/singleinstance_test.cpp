// The instance guard: a first start takes the lock and answers later ones, whatever a killed
// bridge left behind; a later start is forwarded, or told that the holder does not answer.
#include "app/singleinstance.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QFile>
#include <QMetaObject>
#include <QSemaphore>
#include <QTemporaryDir>
#include <QThread>
#include <atomic>
#include <cstring>

using qb::SingleInstance;
using namespace std::chrono_literals;

namespace {

// A bridge's guard on a thread of its own, whose event loop answers later starts.
class Holder {
 public:
  Holder(const QString& folder, const QString& session) : context_(new QObject) {
    context_->moveToThread(&thread_);
    thread_.start();
    Run([&] {
      guard_ = std::make_unique<SingleInstance>(folder, session);
      claim_ = guard_->Take([this] { ++raised_; }, 2s);
    });
  }
  ~Holder() {
    Run([&] { guard_.reset(); });
    context_->deleteLater();
    thread_.quit();
    thread_.wait();
  }
  SingleInstance::Claim claim() const { return claim_; }
  int raised() const { return raised_; }
  // Holds the guard's thread, as a hung bridge's window thread stands, until Release.
  void Hang() {
    QMetaObject::invokeMethod(
        context_, [this] { hung_.acquire(); }, Qt::QueuedConnection);
  }
  void Release() { hung_.release(); }

 private:
  void Run(const std::function<void()>& f) {
    QMetaObject::invokeMethod(context_, f, Qt::BlockingQueuedConnection);
  }
  QThread thread_;
  QObject* context_;
  std::unique_ptr<SingleInstance> guard_;
  std::atomic<SingleInstance::Claim> claim_{};
  std::atomic<int> raised_{0};
  QSemaphore hung_;
};

// The lock file a bridge that was killed leaves: a real one, with a process id that is gone.
void LeaveStaleLock(const QString& path) {
  QByteArray contents;
  {
    QLockFile lock(path);
    ASSERT_TRUE(lock.tryLock(0));
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    contents = f.readAll();
  }
  const pid_t child = fork();
  if (child == 0) _exit(0);
  ASSERT_EQ(waitpid(child, nullptr, 0), child);
  contents = QByteArray::number(child) + contents.mid(contents.indexOf('\n'));
  QFile f(path);
  ASSERT_TRUE(f.open(QIODevice::WriteOnly));
  f.write(contents);
}

// The socket file a killed bridge leaves: bound, never removed, nobody listening.
void LeaveSocketFile(const QString& path) {
  const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  std::strncpy(a.sun_path, path.toLocal8Bit().constData(), sizeof a.sun_path - 1);
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  close(fd);
  ASSERT_TRUE(QFile::exists(path));
}

}  // namespace

TEST(SingleInstance, TheFirstHoldsAndALaterStartIsForwardedOrToldItIsUnanswered) {
  enum Left { kNothing, kStaleLock, kStaleLockAndSocket };
  struct Row {
    const char* name;
    Left left;
    bool hung;
    const char* later_session;
    SingleInstance::Claim later;
    int raised;
  };
  const Row rows[] = {
      {"fresh", kNothing, false, "xcb-_1", SingleInstance::Claim::kForwarded, 1},
      {"lock of a killed bridge", kStaleLock, false, "xcb-_1", SingleInstance::Claim::kForwarded,
       1},
      {"lock and socket of a killed bridge", kStaleLockAndSocket, false, "xcb-_1",
       SingleInstance::Claim::kForwarded, 1},
      {"holder hung", kNothing, true, "xcb-_1", SingleInstance::Claim::kUnanswered, 0},
      {"another display", kNothing, false, "xcb-_2", SingleInstance::Claim::kFirst, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    QTemporaryDir folder;
    const SingleInstance names(folder.path(), "xcb-_1");
    if (row.left != kNothing) LeaveStaleLock(names.LockPath());
    if (row.left == kStaleLockAndSocket) LeaveSocketFile(names.SocketPath());

    Holder first(folder.path(), "xcb-_1");
    ASSERT_EQ(first.claim(), SingleInstance::Claim::kFirst);
    if (row.hung) first.Hang();

    SingleInstance later(folder.path(), row.later_session);
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(later.Take({}, 1500ms), row.later);
    if (row.later != SingleInstance::Claim::kFirst) {
      EXPECT_EQ(later.HolderPid(), getpid());
    }
    // A hung holder is given the whole time, and no more.
    if (row.hung) {
      EXPECT_GE(std::chrono::steady_clock::now() - started, 1500ms);
      EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
    }
    EXPECT_EQ(first.raised(), row.raised);
    if (row.hung) first.Release();
  }
}
