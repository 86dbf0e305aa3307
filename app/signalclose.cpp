#include "app/signalclose.h"

#include <sys/socket.h>
#include <unistd.h>
#include <QWidget>
#include <cerrno>
#include <csignal>

#include "platform/socketwatch.h"

namespace qb {

namespace {

int signal_fds[2] = {-1, -1};

extern "C" void OnTerminationSignal(int) {
  const int saved = errno;
  const char byte = 1;
  [[maybe_unused]] const ssize_t n = ::write(signal_fds[0], &byte, 1);
  errno = saved;
}

}  // namespace

bool CatchTerminationSignals() {
  if (signal_fds[0] >= 0) return true;
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, signal_fds) != 0)
    return false;
  signal_fds[1] = QuietDescriptor(signal_fds[1]);  // the end the loop polls
  struct sigaction sa = {};
  sa.sa_handler = OnTerminationSignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  return true;
}

bool CloseOnTerminationSignals(QWidget* window) {
  if (!CatchTerminationSignals()) return false;
  auto* watch = new SocketWatch(signal_fds[1], [window](SocketWatch::Ready) {
    char buf[16];
    while (::read(signal_fds[1], buf, sizeof buf) > 0) {
    }
    window->close();
  });
  watch->SetReadEnabled(true);
  QObject::connect(window, &QObject::destroyed, [watch] { delete watch; });  // goes with it
  return true;
}

}  // namespace qb
