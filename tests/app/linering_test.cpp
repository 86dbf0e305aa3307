// The debug log's line store on its own: caps, order, numbering, cuts and what an append costs
// once the log is full.
#include "app/linering.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <new>
#include <string>

// Every allocation of this test program is counted per thread, so a test can see whether a
// stretch of its own code allocated.
namespace {
thread_local std::size_t allocations = 0;
}  // namespace

void* operator new(std::size_t size) {
  ++allocations;
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
// Qt allocates some of its own with the nothrow form and frees with the plain delete: both must
// be ours, or the sanitizer's allocator meets ours.
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  ++allocations;
  return std::malloc(size ? size : 1);
}
void operator delete(void* p) noexcept {
  std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
  std::free(p);
}

namespace {

using qb::LineRing;

// Line n of a test: its number, a colon, then 'x' up to length bytes.
std::string NumberedLine(std::uint64_t n, std::size_t length) {
  std::string line = std::to_string(n) + ":";
  if (line.size() < length) line.append(length - line.size(), 'x');
  return line;
}

TEST(LineRing, KeepsTheNewestLinesInOrderWithinBothCaps) {
  struct Row {
    const char* invariant;
    std::size_t max_lines, max_bytes;
    std::size_t appended, length;
  };
  constexpr std::size_t kChunk = LineRing::kChunkBytes;
  const Row rows[] = {
      {"underBothCapsEveryLineStays", 100, 1 << 20, 50, 10},
      {"lineCapDropsTheOldest", 3, 1 << 20, 5, 10},
      {"lineCapOfAFullDebugNight", 100000, 16 << 20, 120000, 60},
      {"byteCapDropsWholeChunksOfTheOldest", 1000, 4 * kChunk, 400, 1000},
      {"linesLongerThanAChunkEachGetTheirOwn", 100, 4 * kChunk, 10, 100000},
      {"tinyLinesUnderATinyLineCap", 7, 1 << 20, 20, 1},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.invariant);
    LineRing ring(r.max_lines, r.max_bytes);
    for (std::size_t n = 0; n < r.appended; ++n) ring.Append(NumberedLine(n, r.length));
    ASSERT_FALSE(ring.Empty());
    EXPECT_LE(ring.Size(), r.max_lines);
    EXPECT_LE(ring.ChunkBytes(), r.max_bytes);
    // At most the oldest chunk's worth is given up to make room under the byte cap.
    const std::size_t fit = r.length ? (r.max_bytes - kChunk) / r.length : r.max_lines;
    EXPECT_GE(ring.Size(), std::min({r.appended, r.max_lines, std::max<std::size_t>(fit, 1)}));
    EXPECT_EQ(ring.First() + ring.Size(), r.appended);  // the newest line is always kept
    std::size_t text = 0;
    for (std::size_t i = 0; i < ring.Size(); ++i) {
      const std::string expected = NumberedLine(ring.First() + i, r.length);
      ASSERT_EQ(ring[i], expected) << i;
      text += expected.size();
    }
    EXPECT_EQ(ring.TextBytes(), text);
  }
}

TEST(LineRing, ALineLongerThanTheByteCapIsCutAtACharacterBoundary) {
  constexpr std::size_t kCap = LineRing::kChunkBytes;
  struct Row {
    const char* invariant;
    std::string line;
    std::size_t kept;
  };
  const Row rows[] = {
      // "é" is two bytes; the cap falls between them.
      {"cutBeforeATwoByteCharacter", std::string(kCap - 1, 'a') + "\xC3\xA9", kCap - 1},
      // "␊" is three bytes; the cap falls after its first.
      {"cutBeforeAThreeByteCharacter", std::string(kCap - 1, 'a') + "\xE2\x90\x8A", kCap - 1},
      {"cutBetweenPlainBytes", std::string(kCap + 10, 'a'), kCap},
      {"aLineOfExactlyTheCapStays", std::string(kCap, 'a'), kCap},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.invariant);
    LineRing ring(10, kCap);
    ring.Append("before");
    ring.Append(r.line);
    ASSERT_EQ(ring.Size(), 1u);  // the long line took all the room
    EXPECT_EQ(ring[0], std::string_view(r.line).substr(0, r.kept));
    ring.Append("after");
    EXPECT_EQ(ring[ring.Size() - 1], "after");
  }
}

TEST(LineRing, NumberingGoesOnAcrossClearAndALowerLineCap) {
  LineRing ring(10, 1 << 20);
  for (int n = 0; n < 25; ++n) ring.Append(NumberedLine(n, 5));
  EXPECT_EQ(ring.First(), 15u);
  ring.SetMaxLines(4);
  ASSERT_EQ(ring.Size(), 4u);
  EXPECT_EQ(ring.First(), 21u);
  EXPECT_EQ(ring[0], NumberedLine(21, 5));
  ring.Clear();
  EXPECT_TRUE(ring.Empty());
  EXPECT_EQ(ring.TextBytes(), 0u);
  ring.Append("next");
  EXPECT_EQ(ring.First(), 25u);
  ASSERT_EQ(ring.Size(), 1u);
  EXPECT_EQ(ring[0], "next");
}

TEST(LineRing, AppendingAtTheCapAllocatesNothing) {
  struct Row {
    const char* invariant;
    std::size_t max_lines, max_bytes, length;
  };
  const Row rows[] = {
      {"atTheLineCap", 1000, 16 << 20, 60},
      {"atTheByteCap", 100000, 8 * LineRing::kChunkBytes, 200},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.invariant);
    LineRing ring(r.max_lines, r.max_bytes);
    const std::string line(r.length, 'x');
    // Filled to its cap and once round, so the index and the chunks are all there.
    const std::size_t empty = allocations;
    for (int n = 0; n < 20000; ++n) ring.Append(line);
    EXPECT_GT(allocations, empty);  // the count sees the store's own allocations
    const std::size_t before = allocations;
    for (int n = 0; n < 20000; ++n) ring.Append(line);
    EXPECT_EQ(allocations - before, 0u);
    EXPECT_EQ(ring.First() + ring.Size(), 40000u);
  }
}

}  // namespace
