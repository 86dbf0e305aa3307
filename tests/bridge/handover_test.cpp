// What the engine hands the window without waiting: records through a bounded ring, and a
// snapshot under a sequence counter. Each is driven from two threads at once, as the engine and
// the window drive them.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "bridge/recordring.h"
#include "bridge/seqlock.h"

using namespace qb;

namespace {

std::vector<std::pair<int, std::string>> DrainAll(RecordRing& ring) {
  std::vector<std::pair<int, std::string>> out;
  ring.Drain([&](std::uint8_t kind, std::string_view bytes) { out.emplace_back(kind, bytes); });
  return out;
}

}  // namespace

TEST(RecordRing, RecordsComeOutWholeAndInOrderAcrossTheEndOfTheBuffer) {
  struct Row {
    const char* name;
    std::size_t capacity;
    std::vector<std::string> records;  // pushed, then drained, then the same again
  };
  const Row rows[] = {
      {"empty records", 64, {"", "", ""}},
      {"lengths off the four-byte grid", 64, {"a", "bc", "def", "ghij", "klmno"}},
      {"a record that fills the ring exactly", 64, {std::string(60, 'x')}},
      {"records that wrap behind a pad", 64, {std::string(30, 'p'), std::string(20, 'q')}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    RecordRing ring(row.capacity);
    for (int round = 0; round < 5; ++round) {
      for (const std::string& r : row.records) ASSERT_TRUE(ring.Push(3, r)) << round;
      const auto got = DrainAll(ring);
      ASSERT_EQ(got.size(), row.records.size());
      for (std::size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].first, 3);
        EXPECT_EQ(got[i].second, row.records[i]);
      }
      EXPECT_TRUE(ring.Empty());
    }
  }
}

TEST(RecordRing, ARecordThatDoesNotFitIsRefusedAndChangesNothing) {
  RecordRing ring(64);
  EXPECT_FALSE(ring.Push(1, std::string(61, 'x')));  // larger than the ring with its header
  ASSERT_TRUE(ring.Push(1, std::string(40, 'a')));
  EXPECT_FALSE(ring.Push(1, std::string(20, 'b')));  // 24 bytes needed, 20 left
  ASSERT_TRUE(ring.Push(2, std::string(16, 'c')));   // 20 fit
  EXPECT_FALSE(ring.Push(1, ""));
  auto got = DrainAll(ring);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].second, std::string(40, 'a'));
  EXPECT_EQ(got[1], (std::pair<int, std::string>{2, std::string(16, 'c')}));

  // Two records go in together or not at all: here the first would fit, the pair does not.
  ASSERT_TRUE(ring.Push(1, std::string(36, 'd')));
  EXPECT_FALSE(ring.Push(4, "12345678", 1, std::string(12, 'e')));
  EXPECT_TRUE(ring.Push(4, "12345678", 1, std::string(4, 'f')));
  got = DrainAll(ring);
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[1], (std::pair<int, std::string>{4, "12345678"}));
  EXPECT_EQ(got[2], (std::pair<int, std::string>{1, "ffff"}));
}

// A producer that never waits and a consumer that drains now and then: every record pushed
// arrives once, whole and in order, and every refusal was counted by the producer.
TEST(RecordRing, TwoThreadsLoseNothingTheyDidNotCount) {
  RecordRing ring(4096);
  constexpr int kRecords = 200000;
  std::vector<int> refused_at;
  std::atomic<bool> done{false};
  std::thread producer([&] {
    for (int i = 0; i < kRecords; ++i) {
      const std::string r = std::to_string(i) + std::string(static_cast<std::size_t>(i % 37), '.');
      if (!ring.Push(1, r)) refused_at.push_back(i);
    }
    done.store(true);
  });
  std::vector<int> got;
  auto take = [&] {
    ring.Drain([&](std::uint8_t, std::string_view bytes) {
      const std::string s(bytes);
      const int n = std::stoi(s);
      EXPECT_EQ(s.size(), std::to_string(n).size() + static_cast<std::size_t>(n % 37));
      got.push_back(n);
    });
  };
  while (!done.load()) take();
  producer.join();
  take();
  ASSERT_EQ(got.size() + refused_at.size(), static_cast<std::size_t>(kRecords));
  // Merged back, the two lists are exactly 0..kRecords-1, each in order.
  std::vector<int> all;
  std::merge(got.begin(), got.end(), refused_at.begin(), refused_at.end(), std::back_inserter(all));
  for (int i = 0; i < kRecords; ++i) ASSERT_EQ(all[static_cast<std::size_t>(i)], i);
  EXPECT_TRUE(std::is_sorted(got.begin(), got.end()));
}

namespace {
struct Pair {
  std::uint64_t a = 0;
  char text[40] = {};
  std::uint64_t b = 0;  // always 3 * a, and text is a's decimal
};
}  // namespace

TEST(SeqLock, AReaderNeverSeesAHalfWrittenValue) {
  SeqLock<Pair> shared;
  std::atomic<bool> done{false};
  std::thread writer([&] {
    for (std::uint64_t i = 1; i <= 300000; ++i) {
      Pair p;
      p.a = i;
      p.b = 3 * i;
      const std::string t = std::to_string(i);
      std::memcpy(p.text, t.c_str(), t.size() + 1);
      shared.Write(p);
    }
    done.store(true);
  });
  std::uint64_t last = 0;
  int reads = 0;
  while (!done.load() || reads == 0) {
    const Pair p = shared.Read();
    ASSERT_EQ(p.b, 3 * p.a);
    ASSERT_EQ(std::string(p.text), p.a ? std::to_string(p.a) : "");
    ASSERT_GE(p.a, last);  // never older than what was read before
    last = p.a;
    ++reads;
  }
  writer.join();
  EXPECT_EQ(shared.Read().a, 300000u);
}
