// The Link output's hand-off against a scripted peer and a test clock: what reaches the session
// and when, and the peer's life when switched off.
#include "bridge/linkout.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

struct FakePeer : qb::LinkPeer {
  std::vector<qb::LinkCommit>* commits;
  bool ready = true, left = false, done = false;
  explicit FakePeer(std::vector<qb::LinkCommit>* c) : commits(c) {}
  bool Ready() const override { return ready && !left; }
  std::size_t Peers() const override { return 1; }
  void SetStartStopSync(bool) override {}
  bool Commit(const qb::LinkCommit& c) override {
    if (!Ready()) return false;
    commits->push_back(c);
    return true;
  }
  void Leave() override { left = true; }
  bool Done() const override { return done; }
};

struct Port : qb::LinkOutput::Port {
  std::int64_t now = 1'000'000'000;
  int peers = -2;
  std::int64_t NowUs() override { return now; }
  void Peers(int p) override { peers = p; }
};

class LinkOutputTest : public ::testing::Test {
 protected:
  Port port;
  std::vector<qb::LinkCommit> commits;
  FakePeer* peer = nullptr;
  qb::LinkOutput out{port, [this](std::function<void()>, bool) {
                       auto p = std::make_unique<FakePeer>(&commits);
                       peer = p.get();
                       return std::unique_ptr<qb::LinkPeer>(std::move(p));
                     }};
  void Beats(double bpm, int n) {
    for (int i = 0; i < n; ++i) {
      out.Beat(port.now);
      port.now += static_cast<std::int64_t>(60e6 / bpm);
    }
  }
};

TEST_F(LinkOutputTest, NothingReachesTheSessionWithoutATempoAndTheGridWithTheOffsetAfter) {
  out.SetOffsetMs(100);
  out.Beat(port.now);  // while off
  out.SetOn(true);
  EXPECT_EQ(port.peers, 1);
  out.Beat(port.now);  // one beat is no tempo
  EXPECT_TRUE(commits.empty());
  port.now += 500'000;
  const std::int64_t second = port.now;
  out.Beat(port.now);
  ASSERT_EQ(commits.size(), 1u);
  EXPECT_TRUE(commits[0].timeline);
  EXPECT_NEAR(commits[0].bpm, 120.0, 1e-9);
  EXPECT_EQ(commits[0].beat_us, second + 100'000);
  EXPECT_FALSE(commits[0].transport);  // start/stop is off
  // A long silence: nothing more, and the next beat alone is no tempo again.
  port.now += 10'000'000;
  out.Check();
  out.Beat(port.now);
  EXPECT_EQ(commits.size(), 1u);
}

TEST_F(LinkOutputTest, SwitchedOffThePeerLeavesAndIsFreedOnlyOnceDone) {
  out.SetOn(true);
  FakePeer* first = peer;
  out.SetOn(false);
  EXPECT_TRUE(first->left);
  EXPECT_EQ(port.peers, -1);
  EXPECT_EQ(out.Leaving(), 1u);
  out.Check();
  EXPECT_EQ(out.Leaving(), 1u);
  first->done = true;
  out.Check();
  EXPECT_EQ(out.Leaving(), 0u);
  Beats(120, 4);
  EXPECT_TRUE(commits.empty());
}

}  // namespace
