#include "tray/simpletimer.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QTimer>
#include <memory>

#include "tests/common/testsupport.h"

using namespace std::chrono_literals;
using qb::TSimpleTimer;

namespace {

struct Counter {
  int ticks = 0;
  qb::TObject* last = nullptr;
  qb::TNotifyEvent Handler() {
    return [this](qb::TObject* s) {
      ++ticks;
      last = s;
    };
  }
};

TEST(SimpleTimer, StartsOnlyWithNonZeroPeriodAndTicksWithItselfAsSender) {
  Counter c;
  TSimpleTimer t(0, c.Handler());
  EXPECT_FALSE(t.StartTimer());
  EXPECT_FALSE(t.Active());
  t.SetActive(true);
  EXPECT_FALSE(t.Active());

  TSimpleTimer plain;
  EXPECT_EQ(plain.Period(), 1000u);
  EXPECT_FALSE(plain.Active());
  EXPECT_EQ(plain.TimerId(), reinterpret_cast<qb::UINT_PTR>(&plain));

  t.SetPeriod(20);
  EXPECT_FALSE(t.Active());  // a period change never starts an idle timer
  EXPECT_TRUE(t.StartTimer());
  EXPECT_TRUE(t.Active());
  ASSERT_TRUE(qbtest::PumpUntil([&] { return c.ticks >= 3; }));
  EXPECT_EQ(c.last, &t);
  t.SetActive(false);
  EXPECT_FALSE(t.Active());
  EXPECT_FALSE(t.StopTimer(true));  // nothing registered any more
  int seen = c.ticks;
  qbtest::PumpFor(100ms);
  EXPECT_EQ(c.ticks, seen);
}

TEST(SimpleTimer, ReEnablingRestartsTheCountdown) {
  Counter c;
  TSimpleTimer t(500, c.Handler());
  t.SetActive(true);
  // Re-enabled every 300 ms, a 500 ms timer never reaches its tick.
  QTimer rearm;
  QObject::connect(&rearm, &QTimer::timeout, [&] { t.SetActive(true); });
  rearm.start(300);
  qbtest::PumpFor(1600ms);
  rearm.stop();
  EXPECT_EQ(c.ticks, 0);
  EXPECT_TRUE(t.Active());
  // Left alone it ticks.
  EXPECT_TRUE(qbtest::PumpUntil([&] { return c.ticks == 1; }));
}

TEST(SimpleTimer, PeriodChangeRestartsAndSameValueDoesNothing) {
  Counter c;
  TSimpleTimer t(400, c.Handler());
  t.SetActive(true);
  QElapsedTimer clock;
  clock.start();
  // The same value leaves the countdown alone, so the first tick still comes after ~400 ms.
  QTimer same;
  QObject::connect(&same, &QTimer::timeout, [&] { t.SetPeriod(400); });
  same.start(150);
  ASSERT_TRUE(qbtest::PumpUntil([&] { return c.ticks == 1; }));
  same.stop();
  EXPECT_LT(clock.elapsed(), 1000);

  // A different value restarts with the new period.
  t.SetPeriod(5000);
  EXPECT_TRUE(t.Active());
  qbtest::PumpFor(600ms);
  EXPECT_EQ(c.ticks, 1);
  t.SetPeriod(30);
  EXPECT_TRUE(qbtest::PumpUntil([&] { return c.ticks >= 3; }));
}

TEST(SimpleTimer, ZeroPeriodOrEmptyHandlerPausesWhileActive) {
  Counter c;
  TSimpleTimer t(20, c.Handler());
  t.SetActive(true);
  ASSERT_TRUE(qbtest::PumpUntil([&] { return c.ticks >= 1; }));

  t.SetPeriod(0);
  EXPECT_TRUE(t.Active());
  int seen = c.ticks;
  qbtest::PumpFor(150ms);
  EXPECT_EQ(c.ticks, seen);
  EXPECT_FALSE(t.StartTimer());  // period 0 refuses; still paused
  EXPECT_TRUE(t.Active());
  t.SetPeriod(20);  // resumes
  ASSERT_TRUE(qbtest::PumpUntil([&] { return c.ticks > seen; }));

  t.SetOnTick(nullptr);
  EXPECT_TRUE(t.Active());
  t.SetOnTick(c.Handler());  // setting a handler does not resume by itself
  seen = c.ticks;
  qbtest::PumpFor(150ms);
  EXPECT_EQ(c.ticks, seen);
  t.SetActive(true);
  EXPECT_TRUE(qbtest::PumpUntil([&] { return c.ticks > seen; }));
  t.SetActive(false);
  EXPECT_FALSE(t.Active());
}

TEST(SimpleTimer, SharedWindowLivesFromFirstToLastTimer) {
  ASSERT_EQ(qb::SharedTimerWindow(), nullptr);
  auto a = std::make_unique<TSimpleTimer>();
  auto* handler = qb::SharedTimerWindow();
  ASSERT_NE(handler, nullptr);
  qb::HWND first = handler->MessageWindow();
  EXPECT_TRUE(qb::IsWindow(first));
  EXPECT_EQ(handler->UseCount, 1u);
  {
    TSimpleTimer b;
    EXPECT_EQ(qb::SharedTimerWindow(), handler);
    EXPECT_EQ(handler->UseCount, 2u);
  }
  EXPECT_EQ(handler->UseCount, 1u);
  a->SetPeriod(10);
  a->SetActive(true);
  a.reset();  // destroyed while running
  EXPECT_EQ(qb::SharedTimerWindow(), nullptr);
  EXPECT_FALSE(qb::IsWindow(first));

  Counter c;
  TSimpleTimer again(10, c.Handler());
  ASSERT_NE(qb::SharedTimerWindow(), nullptr);
  EXPECT_NE(qb::SharedTimerWindow()->MessageWindow(), first);
  again.SetActive(true);
  EXPECT_TRUE(qbtest::PumpUntil([&] { return c.ticks >= 1; }));
}

TEST(SimpleTimer, EqualTimersTickOnlyTheirOwnHandlers) {
  Counter ca, cb;
  TSimpleTimer a(30, ca.Handler());
  TSimpleTimer b(30, cb.Handler());
  a.SetActive(true);
  b.SetActive(true);
  ASSERT_TRUE(qbtest::PumpUntil([&] { return ca.ticks >= 2 && cb.ticks >= 2; }));
  EXPECT_EQ(ca.last, &a);
  EXPECT_EQ(cb.last, &b);
  b.SetActive(false);
  int seen = cb.ticks;
  int a_seen = ca.ticks;
  qbtest::PumpFor(150ms);
  EXPECT_EQ(cb.ticks, seen);
  EXPECT_GT(ca.ticks, a_seen);
}

TEST(SimpleTimer, TickHandlerMayDestroyItsOwnTimer) {
  std::unique_ptr<TSimpleTimer> t;
  int ticks = 0;
  t = std::make_unique<TSimpleTimer>(10, [&](qb::TObject*) {
    ++ticks;
    t.reset();
  });
  t->SetActive(true);
  ASSERT_TRUE(qbtest::PumpUntil([&] { return !t; }));
  qbtest::PumpFor(60ms);
  EXPECT_EQ(ticks, 1);
}

}  // namespace
