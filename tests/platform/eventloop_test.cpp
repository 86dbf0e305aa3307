// The platform's own loop on a thread of its own: posts from other threads, the windows,
// timers and watches it serves, the doorbell that wakes another thread, and errors a thread
// hands on.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/doorbell.h"
#include "platform/errors.h"
#include "platform/eventloop.h"
#include "platform/messages.h"
#include "platform/socketwatch.h"
#include "tests/common/testsupport.h"

using namespace qb;
using namespace std::chrono_literals;

namespace {

// A thread running a loop; Run hands it work and waits for it.
class LoopThread {
 public:
  LoopThread() {
    thread_ = std::thread([this] {
      loop_ = std::make_unique<EventLoop>();
      made_.store(true);
      made_.notify_all();
      loop_->Run();
      loop_->Leave();
    });
    made_.wait(false);
  }
  ~LoopThread() {
    loop_->Quit();
    thread_.join();
  }
  EventLoop& loop() { return *loop_; }
  std::thread::id id() const { return thread_.get_id(); }

  void Run(std::function<void()> f) {
    std::atomic<bool> done{false};
    struct Job {
      std::function<void()>* f;
      std::atomic<bool>* done;
    } job{&f, &done};
    EventLoop::Task t;
    t.a = reinterpret_cast<std::uintptr_t>(&job);
    t.run = [](const EventLoop::Task& task) {
      auto* j = reinterpret_cast<Job*>(task.a);
      (*j->f)();
      j->done->store(true);
      j->done->notify_all();
    };
    while (!loop_->Post(t)) std::this_thread::yield();
    done.wait(false);
  }

 private:
  std::atomic<bool> made_{false};  // a member: the thread may still notify as the wait returns
  std::unique_ptr<EventLoop> loop_;
  std::thread thread_;
};

bool WaitUntil(const std::function<bool()>& cond, std::chrono::milliseconds deadline = 10s) {
  const auto end = std::chrono::steady_clock::now() + deadline;
  while (!cond()) {
    if (std::chrono::steady_clock::now() > end) return cond();
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

struct Counter {
  std::atomic<int> n{0};
  std::vector<int> next;  // the loop's thread only
  bool in_order = true;
};

}  // namespace

// Four threads post far more than the queue holds; each waits for room when it is refused.
TEST(EventLoop, PostsFromManyThreadsAllArriveEachThreadsInOrder) {
  LoopThread t;
  Counter c;
  c.next.assign(4, 0);
  constexpr int kEach = 20000;
  auto run = [](const EventLoop::Task& task) {
    auto* counter = reinterpret_cast<Counter*>(task.a);
    const auto producer = static_cast<std::size_t>(task.b);
    if (static_cast<int>(task.c) != counter->next[producer]) counter->in_order = false;
    counter->next[producer] = static_cast<int>(task.c) + 1;
    counter->n.fetch_add(1);
  };
  std::vector<std::thread> producers;
  std::atomic<int> refused{0};
  for (std::uintptr_t p = 0; p < 4; ++p)
    producers.emplace_back([&, p] {
      for (std::uintptr_t i = 0; i < kEach; ++i) {
        EventLoop::Task task;
        task.run = run;
        task.a = reinterpret_cast<std::uintptr_t>(&c);
        task.b = p;
        task.c = i;
        while (!t.loop().Post(task)) {
          refused.fetch_add(1);
          std::this_thread::yield();
        }
      }
    });
  for (auto& p : producers) p.join();
  ASSERT_TRUE(WaitUntil([&] { return c.n.load() == 4 * kEach; })) << c.n.load();
  t.Run([] {});
  EXPECT_TRUE(c.in_order);
  EXPECT_EQ(t.loop().QueuedTasks(), 0u);
}

TEST(EventLoop, AFullQueueRefusesAndWhatIsStillQueuedIsDiscardedWithTheLoop) {
  std::atomic<int> ran{0}, discarded{0};
  std::atomic<int> accepted{0};
  std::thread([&] {
    EventLoop loop;
    EventLoop::Task task;
    task.a = reinterpret_cast<std::uintptr_t>(&ran);
    task.b = reinterpret_cast<std::uintptr_t>(&discarded);
    task.run = [](const EventLoop::Task& t) {
      reinterpret_cast<std::atomic<int>*>(t.a)->fetch_add(1);
    };
    task.discard = [](const EventLoop::Task& t) {
      reinterpret_cast<std::atomic<int>*>(t.b)->fetch_add(1);
    };
    while (loop.Post(task)) ++accepted;  // nothing runs the loop meanwhile
    EXPECT_FALSE(loop.Post(task));
  }).join();
  EXPECT_GE(accepted.load(), 1000);
  EXPECT_EQ(ran.load(), 0);
  EXPECT_EQ(discarded.load(), accepted.load());
}

TEST(LoopWindows, MessagesAndTimersOfAWindowRunOnTheThreadThatMadeIt) {
  LoopThread t;
  std::atomic<int> posted{0}, ticks{0}, elsewhere{0};
  HWND w = kNoWindow;
  t.Run([&] {
    w = AllocateHWnd([&](UINT msg, WPARAM, LPARAM) {
      if (std::this_thread::get_id() != t.id()) elsewhere.fetch_add(1);
      if (msg == WM_TIMER) ticks.fetch_add(1);
      if (msg == WM_USER) posted.fetch_add(1);
      return LRESULT{0};
    });
    EXPECT_NE(SetTimer(w, 7, 10), 0u);
  });
  // Posted from this thread, handled on the loop's; sent from here, it is not the window's
  // thread, so nothing runs.
  for (int i = 0; i < 100; ++i) ASSERT_TRUE(PostMessage(w, WM_USER, 0, 0));
  EXPECT_EQ(SendMessage(w, WM_USER, 0, 0), 0);
  ASSERT_TRUE(WaitUntil([&] { return posted.load() == 100 && ticks.load() >= 3; }));
  EXPECT_TRUE(IsWindow(w));
  t.Run([&] {
    EXPECT_TRUE(KillTimer(w, 7));
    DeallocateHWnd(w);
  });
  EXPECT_FALSE(IsWindow(w));
  EXPECT_FALSE(PostMessage(w, WM_USER, 0, 0));
  EXPECT_EQ(posted.load(), 100);
  EXPECT_EQ(elsewhere.load(), 0);
}

// Both descriptors are ready in one pass; whichever callback runs first destroys the other
// watch, which must then not be called with the stale readiness.
TEST(LoopWatches, AWatchDestroyedByAnEarlierCallbackOfThePassIsNotCalled) {
  LoopThread t;
  int pairs[2][2];
  for (auto& p : pairs) ASSERT_EQ(::socketpair(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK, 0, p), 0);
  std::unique_ptr<SocketWatch> watches[2];
  std::atomic<int> calls{0};
  t.Run([&] {
    for (int i = 0; i < 2; ++i) {
      watches[i] = std::make_unique<SocketWatch>(pairs[i][1], [&, i](SocketWatch::Ready) {
        calls.fetch_add(1);
        char b;
        while (::read(pairs[i][1], &b, 1) > 0) {
        }
        watches[1 - i].reset();
      });
      watches[i]->SetReadEnabled(true);
    }
    // Both become ready before the loop's next wait.
    for (auto& p : pairs) ASSERT_EQ(::write(p[0], "x", 1), 1);
  });
  t.Run([] {});
  EXPECT_EQ(calls.load(), 1);
  t.Run([&] {
    for (auto& w : watches) w.reset();
  });
  for (auto& p : pairs) ::close(p[0]), ::close(p[1]);
}

TEST(LoopWatches, ReadSoonRunsOnceWithoutTheDescriptorAndAWatchMayEndItselfInside) {
  LoopThread t;
  int p[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK, 0, p), 0);
  std::unique_ptr<SocketWatch> watch;
  std::atomic<int> calls{0};
  t.Run([&] {
    watch = std::make_unique<SocketWatch>(p[1], [&](SocketWatch::Ready) {
      if (calls.fetch_add(1) == 1) watch.reset();  // the second call ends the watch
    });
    watch->ReadSoon();  // read is off: kept for later
  });
  t.Run([] {});
  EXPECT_EQ(calls.load(), 0);
  t.Run([&] { watch->SetReadEnabled(true); });
  ASSERT_TRUE(WaitUntil([&] { return calls.load() == 1; }));
  t.Run([] {});
  EXPECT_EQ(calls.load(), 1);  // nothing on the descriptor: once
  ASSERT_EQ(::write(p[0], "x", 1), 1);
  ASSERT_TRUE(WaitUntil([&] { return calls.load() == 2; }));
  t.Run([] {});
  t.Run([&] { EXPECT_EQ(watch, nullptr); });
  EXPECT_EQ(calls.load(), 2);
  ::close(p[0]);
  ::close(p[1]);
}

// The answering thread is this one (Qt's loop); rings come from two others. Rings that come
// before an answer are one, the last ring is always answered, and what a ringer wrote before
// its ring is seen by the answer.
TEST(Doorbell, RingsFromOtherThreadsAreAnsweredHereAndNoneIsLost) {
  std::atomic<int> written{0};
  int seen = 0, answers = 0;
  Doorbell bell([&] {
    ++answers;
    seen = written.load(std::memory_order_relaxed);
  });
  constexpr int kRings = 20000;
  auto ringer = [&] {
    for (int i = 0; i < kRings; ++i) {
      written.fetch_add(1, std::memory_order_relaxed);
      bell.Ring();
    }
  };
  std::thread a(ringer), b(ringer);
  a.join();
  b.join();
  ASSERT_TRUE(qbtest::PumpUntil([&] { return seen == 2 * kRings; }));
  EXPECT_GE(answers, 1);
  EXPECT_LT(answers, 2 * kRings);
}

TEST(ThreadErrors, AnErrorLeavingAHandlerOnALoopThreadGoesToItsSinkNotTheBox) {
  qbtest::RecordingPresenter boxes;
  LoopThread t;
  std::vector<std::string> handed;
  t.Run([&] { SetThreadErrorSink([&](const std::string& text) { handed.push_back(text); }); });
  EventLoop::Task failing;
  failing.run = [](const EventLoop::Task&) { throw Exception("device gone"); };
  EventLoop::Task aborting;
  aborting.run = [](const EventLoop::Task&) { Abort(); };
  ASSERT_TRUE(t.loop().Post(failing));
  ASSERT_TRUE(t.loop().Post(aborting));
  ASSERT_TRUE(t.loop().Post(failing));
  t.Run([&] { SetThreadErrorSink({}); });
  EXPECT_EQ(handed, (std::vector<std::string>{"device gone", "device gone"}));
  EXPECT_TRUE(boxes.opened.empty());
}

// A command posted before a datagram arrived takes effect before that datagram is handled, even
// when the loop finds both waiting at once (its thread was busy meanwhile).
TEST(EventLoop, WhatWasPostedBeforeADescriptorBecameReadyRunsFirst) {
  int p[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK, 0, p), 0);
  std::vector<std::string> order;
  EventLoop* loop = nullptr;
  std::atomic<int> step{0};
  std::thread runner([&] {
    EventLoop own;
    SocketWatch watch(p[1], [&](SocketWatch::Ready) {
      char b;
      while (::read(p[1], &b, 1) > 0) {
      }
      order.push_back("datagram");
    });
    watch.SetReadEnabled(true);
    loop = &own;
    step.store(1);
    step.notify_all();
    step.wait(1);  // busy elsewhere while both arrive
    own.RunOnce(1000);
  });
  step.wait(0);
  EventLoop::Task command;
  command.a = reinterpret_cast<std::uintptr_t>(&order);
  command.run = [](const EventLoop::Task& task) {
    reinterpret_cast<std::vector<std::string>*>(task.a)->push_back("command");
  };
  ASSERT_TRUE(loop->Post(command));
  ASSERT_EQ(::write(p[0], "x", 1), 1);
  step.store(2);
  step.notify_all();
  runner.join();
  EXPECT_EQ(order, (std::vector<std::string>{"command", "datagram"}));
  ::close(p[0]);
  ::close(p[1]);
}
