#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/component.h"
#include "platform/timer.h"
#include "tests/common/testsupport.h"

using namespace qb;
using namespace std::chrono_literals;

namespace {

std::vector<std::string> journal;

class Probe : public TComponent {
 public:
  Probe(TComponent* owner, std::string name) : TComponent(owner) { Name = std::move(name); }
  ~Probe() override { journal.push_back("destroy " + Name); }
  void SetValue(int v) {
    journal.push_back(Name + (Loading() ? " loading " : " set ") + std::to_string(v));
  }
  void Loaded() override {
    TComponent::Loaded();
    journal.push_back("loaded " + Name);
  }
  void Notification(TComponent* c, TOperation op) override {
    if (op == TOperation::opRemove && c != this) journal.push_back(Name + " heard " + c->Name);
  }
};

}  // namespace

TEST(Component, StoredValuesInOrderThenAfterLoadingOnceThenDestroyedWithOwner) {
  journal.clear();
  {
    TComponent owner(nullptr);
    auto* a = new Probe(&owner, "a");
    auto* b = new Probe(&owner, "b");
    StoredLayout layout;
    layout.Add(a, {[a] { a->SetValue(1); }, [a] { a->SetValue(2); }});
    layout.Add(b, {[b] { b->SetValue(3); }});
    layout.Load();
    EXPECT_FALSE(a->Loading());
    a->SetValue(4);
    EXPECT_EQ(owner.Components().size(), 2u);
  }
  std::vector<std::string> want = {"a loading 1", "a loading 2", "b loading 3",
                                   "loaded a",    "loaded b",    "a set 4",
                                   "destroy b",   "a heard b",   "destroy a"};
  EXPECT_EQ(journal, want);
}

TEST(Component, TimerTicksOnlyWhenEnabledAndAfterLoading) {
  TComponent owner(nullptr);
  auto* t = new TTimer(&owner);
  int ticks = 0;
  t->BeginLoading();
  t->SetInterval(20);
  t->SetOnTimer([&](TObject* s) {
    EXPECT_EQ(s, t);
    if (++ticks == 2) t->SetEnabled(false);
  });
  qbtest::PumpFor(60ms);
  EXPECT_EQ(ticks, 0);  // nothing runs while the layout is being loaded
  t->Loaded();
  ASSERT_TRUE(qbtest::PumpUntil([&] { return ticks == 2; }));
  qbtest::PumpFor(80ms);
  EXPECT_EQ(ticks, 2);
}
