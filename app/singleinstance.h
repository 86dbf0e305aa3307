// One bridge per user and display session. Two bridges of one user would fight over port 10001
// (the second one deaf) and over the settings file; a second start instead brings the running
// bridge's window forward and ends.
//
// A lock file says who runs (QLockFile: its holder's process id, so the lock of a bridge that
// was killed is stale and taken over), and a local socket beside it carries the request to the
// holder. Both live in the user's runtime folder, so another user is not affected; the name
// carries the display session, so each X display or Wayland session has a bridge of its own.
#pragma once

#include <QLocalServer>
#include <QLockFile>
#include <QString>
#include <chrono>
#include <functional>
#include <memory>

namespace qb {

class SingleInstance {
 public:
  enum class Claim {
    kFirst,       // this process holds the lock and answers later starts
    kForwarded,   // another bridge holds it and has brought its window forward
    kUnanswered,  // another bridge holds it but did not answer in time
    kUnguarded,   // no lock could be made (no runtime folder, a lock error): runs unguarded
  };

  // folder: where the lock and the socket go; session: the display session's name.
  SingleInstance(const QString& folder, const QString& session);
  ~SingleInstance();
  SingleInstance(const SingleInstance&) = delete;
  SingleInstance& operator=(const SingleInstance&) = delete;

  // Takes the lock, or asks its holder to bring its window forward and waits up to
  // answer_within for it to say so. A holder that is still starting or just ending is asked
  // again until then. As the first, raise runs on this thread's event loop for every later
  // start.
  Claim Take(std::function<void()> raise, std::chrono::milliseconds answer_within);

  QString LockPath() const { return lock_path_; }
  QString SocketPath() const { return socket_path_; }
  qint64 HolderPid() const { return holder_pid_; }  // after kForwarded or kUnanswered
  QString Problem() const { return problem_; }      // after kUnguarded

 private:
  bool TryLock();
  void Serve();
  enum class Asked { kAnswered, kNoAnswer, kGone };
  Asked Ask(std::chrono::steady_clock::time_point deadline);

  QString lock_path_, socket_path_;
  std::unique_ptr<QLockFile> lock_;
  std::unique_ptr<QLocalServer> server_;
  std::function<void()> raise_;
  qint64 holder_pid_ = 0;
  QString problem_;
};

// The user's runtime folder (XDG_RUNTIME_DIR), empty if there is none the user owns.
QString RuntimeFolder();
// The display session this process shows its windows in: Qt's platform and the display it
// connected to ("xcb-1", "wayland-wayland-0", "offscreen"), as a file name. display_argument
// is Qt's -display option, which takes the place of $DISPLAY.
QString DisplaySession(const QString& display_argument = {});

}  // namespace qb
