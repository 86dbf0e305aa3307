#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QThread>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "platform/messages.h"
#include "tests/common/testsupport.h"

using namespace qb;
using namespace std::chrono_literals;

namespace {

struct Recorder {
  std::vector<std::pair<UINT, WPARAM>> got;
  HWND wnd = AllocateHWnd([this](UINT m, WPARAM w, LPARAM) {
    got.emplace_back(m, w);
    return LRESULT{0};
  });
  ~Recorder() { DeallocateHWnd(wnd); }
};

}  // namespace

TEST(MessageWindow, PostsFromTwoThreadsKeepEachThreadsOrder) {
  Recorder r;
  constexpr int kPerThread = 5000;
  auto poster = [&](UINT msg) {
    for (int i = 0; i < kPerThread; ++i) ASSERT_TRUE(PostMessage(r.wnd, msg, WPARAM(i), 0));
  };
  std::thread a(poster, WM_USER + 1), b(poster, WM_USER + 2);
  a.join();
  b.join();
  ASSERT_TRUE(qbtest::PumpUntil([&] { return r.got.size() == 2 * kPerThread; }));
  WPARAM next[2] = {0, 0};
  for (auto [msg, w] : r.got) {
    int t = msg - (WM_USER + 1);
    ASSERT_EQ(w, next[t]) << "thread " << t << " out of order";
    ++next[t];
  }
}

TEST(MessageWindow, PostToDestroyedWindowIsDropped) {
  int calls = 0;
  HWND w = AllocateHWnd([&](UINT, WPARAM, LPARAM) { return LRESULT(++calls); });
  ASSERT_TRUE(PostMessage(w, WM_USER, 0, 0));
  DeallocateHWnd(w);
  EXPECT_FALSE(IsWindow(w));
  EXPECT_FALSE(PostMessage(w, WM_USER, 0, 0));
  qbtest::PumpFor(50ms);
  EXPECT_EQ(calls, 0);
  // Handles are never reused.
  HWND w2 = AllocateHWnd([](UINT, WPARAM, LPARAM) { return LRESULT{0}; });
  EXPECT_NE(w2, w);
  DeallocateHWnd(w2);
}

// Posting threads race with windows being created and destroyed; under the sanitizer build this
// proves no message reaches a freed handler.
TEST(MessageWindow, PostsRacingDestructionAreClean) {
  std::atomic<HWND> target{kNoWindow};
  std::atomic<bool> stop{false};
  std::vector<std::thread> posters;
  for (int t = 0; t < 3; ++t)
    posters.emplace_back([&] {
      // A burst per window: enough to outlive it, bounded so the queue never floods.
      for (HWND last = kNoWindow; !stop;) {
        HWND w = target.load();
        if (w == last) {
          std::this_thread::yield();
          continue;
        }
        for (int i = 0; i < 50; ++i) PostMessage(w, WM_USER, 0, 0);
        last = w;
      }
    });
  // Each window lives until posts have reached it and is then destroyed with more on the way, so
  // the race is exercised however the threads happen to be scheduled.
  const auto deadline = std::chrono::steady_clock::now() + 30s;
  int reached = 0;
  for (int round = 0; round < 200 && std::chrono::steady_clock::now() < deadline; ++round) {
    auto counter = std::make_shared<long>(0);
    HWND w = AllocateHWnd([counter](UINT, WPARAM, LPARAM) {
      ++*counter;
      return LRESULT{0};
    });
    target = w;
    while (*counter < 5 && std::chrono::steady_clock::now() < deadline)
      QCoreApplication::processEvents();
    if (*counter >= 5) ++reached;
    DeallocateHWnd(w);
  }
  stop = true;
  for (auto& p : posters) p.join();
  qbtest::PumpFor(20ms);
  EXPECT_EQ(reached, 200);
}

TEST(MessageWindow, SendMessageCallsHandlerAtOnce) {
  HWND w = AllocateHWnd([](UINT m, WPARAM a, LPARAM b) { return LRESULT(m + a + b); });
  EXPECT_EQ(SendMessage(w, 1, 2, 3), 6);
  DeallocateHWnd(w);
  EXPECT_EQ(SendMessage(w, 1, 2, 3), 0);
}

// The handler's own state lives with the window: destroyed from inside the handler (here from
// a nested call to itself), the window goes at once for everyone else, and is freed only when
// the outermost of its handlers has returned.
TEST(MessageWindow, AHandlerMayDestroyItsOwnWindowAndStillRunsToItsEnd) {
  HWND w = 0;
  std::vector<std::size_t> seen;
  w = AllocateHWnd([&w, &seen, state = std::string(64, 'q')](UINT m, WPARAM, LPARAM) {
    if (m == 1) {
      SendMessage(w, 2, 0, 0);
      seen.push_back(state.size());  // after the nested call destroyed the window
    } else {
      DeallocateHWnd(w);
      seen.push_back(SendMessage(w, 2, 0, 0) == 0 ? state.size() : 0);
    }
    return LRESULT{7};
  });
  EXPECT_EQ(SendMessage(w, 1, 0, 0), 7);
  EXPECT_EQ(seen, (std::vector<std::size_t>{64, 64}));
  EXPECT_EQ(SendMessage(w, 1, 0, 0), 0) << "gone";
  EXPECT_FALSE(IsWindow(w));
}

TEST(WindowTimer, BlockedLoopTicksOnceAfterwards) {
  Recorder r;
  ASSERT_EQ(SetTimer(r.wnd, 77, 50), 77u);
  QThread::msleep(50 * 5 + 20);  // the loop is blocked for five periods
  // Whatever was due while blocked is handled by the first pass of the loop: one tick, not five.
  QCoreApplication::processEvents();
  ASSERT_EQ(r.got.size(), 1u);
  EXPECT_EQ(r.got[0], std::make_pair(WM_TIMER, WPARAM{77}));
  EXPECT_TRUE(KillTimer(r.wnd, 77));
}

TEST(WindowTimer, KillStopsTicksAndTwoTimersTickIndependently) {
  Recorder r;
  SetTimer(r.wnd, 1, 30);
  SetTimer(r.wnd, 2, 30);
  ASSERT_TRUE(qbtest::PumpUntil([&] {
    int a = 0, b = 0;
    for (auto [m, id] : r.got) (id == 1 ? a : b)++;
    return a >= 3 && b >= 3;
  }));
  EXPECT_TRUE(KillTimer(r.wnd, 1));
  EXPECT_FALSE(KillTimer(r.wnd, 1));
  r.got.clear();
  qbtest::PumpFor(150ms);
  for (auto [m, id] : r.got) EXPECT_EQ(id, 2u);
  EXPECT_GE(r.got.size(), 2u);
  KillTimer(r.wnd, 2);
  r.got.clear();
  qbtest::PumpFor(80ms);
  EXPECT_TRUE(r.got.empty());
}

TEST(WindowTimer, KillInsideOwnTickAndTimersOfDestroyedWindowStop) {
  int ticks = 0;
  HWND w = 0;
  w = AllocateHWnd([&](UINT m, WPARAM id, LPARAM) {
    if (m == WM_TIMER) {
      ++ticks;
      KillTimer(w, id);
    }
    return LRESULT{0};
  });
  SetTimer(w, 5, 10);
  qbtest::PumpFor(100ms);
  EXPECT_EQ(ticks, 1);
  SetTimer(w, 6, 10);
  DeallocateHWnd(w);
  qbtest::PumpFor(60ms);
  EXPECT_EQ(ticks, 1);
  EXPECT_EQ(SetTimer(w, 7, 10), 0u);
}

TEST(RegisteredMessage, OneNumberPerName) {
  UINT a = RegisterWindowMessage("TaskbarCreated");
  UINT b = RegisterWindowMessage("quillbox-test-other");
  EXPECT_GE(a, 0xC000u);
  EXPECT_GE(b, 0xC000u);
  EXPECT_NE(a, b);
  EXPECT_EQ(RegisterWindowMessage("TaskbarCreated"), a);
  EXPECT_EQ(RegisterWindowMessage("taskbarcreated"), a);
}

TEST(MessageWindow, PostFromAHandlerIsHandledRightAfterItInTheSamePass) {
  std::vector<std::string> order;
  HWND b = AllocateHWnd([&](UINT m, WPARAM, LPARAM) {
    order.push_back('b' + std::to_string(m - WM_USER));
    return LRESULT{0};
  });
  HWND a = AllocateHWnd([&](UINT, WPARAM, LPARAM) {
    PostMessage(b, WM_USER + 1, 0, 0);
    PostMessage(b, WM_USER + 2, 0, 0);
    order.push_back("a done");
    return LRESULT{0};
  });
  SendMessage(a, WM_USER, 0, 0);
  EXPECT_EQ(order, (std::vector<std::string>{"a done", "b1", "b2"}));

  // A post of this thread still in Qt's queue is never overtaken by a later one.
  order.clear();
  PostMessage(b, WM_USER + 9, 0, 0);
  SendMessage(a, WM_USER, 0, 0);
  EXPECT_EQ(order, std::vector<std::string>{"a done"});
  ASSERT_TRUE(qbtest::PumpUntil([&] { return order.size() == 4; }));
  EXPECT_EQ(order, (std::vector<std::string>{"a done", "b9", "b1", "b2"}));
  DeallocateHWnd(a);
  DeallocateHWnd(b);
}

TEST(MessageWindow, AMessageThatPostsItselfLetsTheLoopIn) {
  int runs = 0;
  HWND w = 0;
  w = AllocateHWnd([&](UINT, WPARAM, LPARAM) {
    if (++runs < 2000) PostMessage(w, WM_USER, 0, 0);
    return LRESULT{0};
  });
  Recorder timer;
  SetTimer(timer.wnd, 1, 10);
  SendMessage(w, WM_USER, 0, 0);  // returns: the rest goes through the event loop
  EXPECT_LT(runs, 2000);
  ASSERT_TRUE(qbtest::PumpUntil([&] { return runs == 2000; }));
  ASSERT_TRUE(qbtest::PumpUntil([&] { return !timer.got.empty(); }));
  KillTimer(timer.wnd, 1);
  DeallocateHWnd(w);
}
