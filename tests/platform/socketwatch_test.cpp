#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <QAbstractEventDispatcher>
#include <QEventLoop>
#include <QTimer>
#include <memory>
#include <string>
#include <vector>

#include "platform/socketwatch.h"
#include "tests/common/testsupport.h"

using namespace qb;
using namespace std::chrono_literals;

namespace {

struct Pipe {
  int fd[2];
  Pipe() { EXPECT_EQ(pipe(fd), 0); }
  ~Pipe() {
    for (int f : fd)
      if (f >= 0) close(f);
  }
  void Write() { ASSERT_EQ(write(fd[1], "x", 1), 1); }
  void Drain() {
    char c[16];
    ASSERT_GT(read(fd[0], c, sizeof c), 0);
  }
};

// How often the event loop went to sleep in the given time: a descriptor it keeps polling
// although nobody listens makes it spin.
int SleepsIn(std::chrono::milliseconds time) {
  int sleeps = 0;
  auto* d = QAbstractEventDispatcher::instance();
  auto c = QObject::connect(d, &QAbstractEventDispatcher::aboutToBlock, [&] { ++sleeps; });
  QEventLoop loop;
  QTimer::singleShot(time, &loop, &QEventLoop::quit);
  loop.exec();
  QObject::disconnect(c);
  return sleeps;
}

}  // namespace

// Runs on glib's loop here, and on Qt's own in the QtEventLoop run of these tests.
TEST(SocketWatch, ReadinessReachesTheCallbackOnlyWhileEnabled) {
  Pipe p;
  std::vector<SocketWatch::Ready> got;
  SocketWatch w(p.fd[0], [&](SocketWatch::Ready r) { got.push_back(r); });
  p.Write();
  qbtest::PumpFor(30ms);
  EXPECT_TRUE(got.empty()) << "both directions start switched off";

  w.SetReadEnabled(true);
  ASSERT_TRUE(qbtest::PumpUntil([&] { return !got.empty(); }));
  EXPECT_EQ(got[0], SocketWatch::Ready::Read);
  w.SetReadEnabled(false);
  got.clear();
  qbtest::PumpFor(30ms);
  EXPECT_TRUE(got.empty()) << "still readable, but switched off";

  // A hang-up wakes a reader; with read off it wakes nothing, not even the loop.
  p.Drain();
  close(p.fd[1]);
  p.fd[1] = -1;
  EXPECT_LT(SleepsIn(100ms), 50);
  EXPECT_TRUE(got.empty());
  w.SetReadEnabled(true);
  ASSERT_TRUE(qbtest::PumpUntil([&] { return !got.empty(); }));
}

TEST(SocketWatch, ReadSoonFiresOnceAndWaitsForReadToBeEnabled) {
  Pipe p;  // never readable: only the asked-for callback can come
  int reads = 0;
  SocketWatch w(p.fd[0], [&](SocketWatch::Ready) { ++reads; });
  w.ReadSoon();
  qbtest::PumpFor(30ms);
  EXPECT_EQ(reads, 0);
  w.SetReadEnabled(true);
  ASSERT_TRUE(qbtest::PumpUntil([&] { return reads == 1; }));
  w.ReadSoon();
  w.ReadSoon();
  ASSERT_TRUE(qbtest::PumpUntil([&] { return reads == 2; }));
  qbtest::PumpFor(30ms);
  EXPECT_EQ(reads, 2);
}

TEST(SocketWatch, ACallbackMayDestroyItsWatch) {
  Pipe p;
  p.Write();
  int calls = 0;
  std::unique_ptr<SocketWatch> w;
  w = std::make_unique<SocketWatch>(p.fd[0], [&](SocketWatch::Ready) {
    ++calls;
    w.reset();
  });
  w->SetReadEnabled(true);
  ASSERT_TRUE(qbtest::PumpUntil([&] { return calls == 1; }));
  qbtest::PumpFor(30ms);  // nothing of it runs again, nothing freed is touched
  EXPECT_EQ(calls, 1);
}

// The watches of a thread may be handled together: a callback can take another watch away or
// make a new one between the others' turns, and a nested loop (a message box) in a callback must
// not hold up the others.
TEST(SocketWatch, ACallbackMayDestroyOrMakeOtherWatches) {
  Pipe a, b, c;
  for (Pipe* p : {&a, &b, &c}) p->Write();
  std::string fired;
  std::unique_ptr<SocketWatch> wa, wb, wc;
  // Both are ready in the same pass: the first to run takes the other away and makes a third.
  auto first = [&](char name, std::unique_ptr<SocketWatch>& mine,
                   std::unique_ptr<SocketWatch>& other) {
    fired += name;
    mine->SetReadEnabled(false);
    other.reset();
    wc = std::make_unique<SocketWatch>(c.fd[0], [&](SocketWatch::Ready) {
      fired += 'c';
      wc->SetReadEnabled(false);
    });
    wc->SetReadEnabled(true);
  };
  wa = std::make_unique<SocketWatch>(a.fd[0], [&](SocketWatch::Ready) { first('a', wa, wb); });
  wb = std::make_unique<SocketWatch>(b.fd[0], [&](SocketWatch::Ready) { first('b', wb, wa); });
  wa->SetReadEnabled(true);
  wb->SetReadEnabled(true);
  ASSERT_TRUE(qbtest::PumpUntil([&] { return fired.size() >= 2; }));
  qbtest::PumpFor(30ms);
  EXPECT_TRUE(fired == "ac" || fired == "bc") << fired;
}

TEST(SocketWatch, ANestedLoopInACallbackLetsTheOtherWatchesRun) {
  Pipe a, b;
  a.Write();
  int b_calls = 0;
  bool b_inside = false;
  SocketWatch wb(b.fd[0], [&](SocketWatch::Ready) {
    ++b_calls;
    b.Drain();
  });
  SocketWatch wa(a.fd[0], [&](SocketWatch::Ready) {
    a.Drain();
    b.Write();
    b_inside = qbtest::PumpUntil([&] { return b_calls > 0; });
  });
  wa.SetReadEnabled(true);
  wb.SetReadEnabled(true);
  ASSERT_TRUE(qbtest::PumpUntil([&] { return b_calls > 0; }));
  EXPECT_TRUE(b_inside) << "the other watch waited for the callback's nested loop to end";
}

// Renumbered high where the descriptor limit allows, as the same open file with close-on-exec;
// left as it is, and still open, where the limit does not.
TEST(SocketWatch, QuietDescriptorsAreRenumberedHighOrLeftAlone) {
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  struct Row {
    rlim_t limit;
    bool moved;
  };
  for (const Row row : {Row{saved.rlim_cur, saved.rlim_cur > 512}, Row{256, false}}) {
    rlimit limit = saved;
    limit.rlim_cur = row.limit;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0);
    Pipe p;
    const int before = p.fd[0];
    const int after = QuietDescriptor(before);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
    p.fd[0] = after;
    if (row.moved) {
      EXPECT_GE(after, 512);
      EXPECT_EQ(fcntl(before, F_GETFD), -1) << "the old number is closed";
      EXPECT_TRUE(fcntl(after, F_GETFD) & FD_CLOEXEC);
    } else {
      EXPECT_EQ(after, before);
    }
    p.Write();
    char c = 0;
    EXPECT_EQ(read(after, &c, 1), 1) << "still the pipe's read end, limit " << row.limit;
  }
}
