// A bounded ring of byte records from one thread to one other: the producer never waits (a
// record that does not fit now is refused, and the producer decides what to count), the
// consumer takes what is there, oldest first. No lock, and nothing allocated after
// construction. Each record has a kind (0..254) and up to 16 MiB of bytes, and lies in one
// piece, so the consumer reads it in place.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>

namespace qb {

class RecordRing {
 public:
  // capacity is rounded up to a power of two, at least 64 bytes.
  explicit RecordRing(std::size_t capacity);

  // Producer thread only. False, changing nothing, when the record does not fit now.
  bool Push(std::uint8_t kind, std::string_view bytes);
  // Two records, both or neither.
  bool Push(std::uint8_t kind, std::string_view bytes, std::uint8_t kind2, std::string_view bytes2);

  // Consumer thread only: f(kind, bytes) for each record queued, oldest first, up to max; the
  // bytes are valid during the call. Returns how many records were taken.
  template <class F>
  std::size_t Drain(F&& f, std::size_t max = ~std::size_t{0});

  // Either thread: nothing queued as far as this thread can tell.
  bool Empty() const {
    return head_.load(std::memory_order_acquire) == tail_.load(std::memory_order_acquire);
  }
  std::size_t Capacity() const { return capacity_; }

 private:
  static constexpr std::uint8_t kPad = 0xFF;  // the rest of the buffer is unused: wrap
  static constexpr std::size_t kHeader = 4;
  static std::size_t Rounded(std::size_t n) { return (n + 3) & ~std::size_t{3}; }
  // Where a record of length would start from head (past a pad when it would cross the end),
  // and where the next one would; false when it does not fit beside what is queued.
  bool Place(std::size_t head, std::size_t tail, std::size_t length, std::size_t& start,
             std::size_t& end) const;
  void Write(std::size_t head, std::size_t start, std::uint8_t kind, std::string_view bytes);
  std::uint32_t HeaderAt(std::size_t at) const {
    std::uint32_t h;
    std::memcpy(&h, bytes_.get() + (at & (capacity_ - 1)), sizeof h);
    return h;
  }

  std::size_t capacity_;
  std::unique_ptr<char[]> bytes_;
  alignas(64) std::atomic<std::size_t> head_{0};  // written by the producer
  alignas(64) std::atomic<std::size_t> tail_{0};  // written by the consumer
};

template <class F>
std::size_t RecordRing::Drain(F&& f, std::size_t max) {
  std::size_t taken = 0;
  std::size_t tail = tail_.load(std::memory_order_relaxed);
  const std::size_t head = head_.load(std::memory_order_acquire);
  while (tail != head && taken < max) {
    const std::uint32_t h = HeaderAt(tail);
    const auto kind = static_cast<std::uint8_t>(h >> 24);
    const std::size_t length = h & 0xFFFFFF;
    const std::size_t at = tail & (capacity_ - 1);
    if (kind == kPad) {
      tail += capacity_ - at;
    } else {
      f(kind, std::string_view(bytes_.get() + at + kHeader, length));
      tail += kHeader + Rounded(length);
      ++taken;
    }
    // Room goes back record by record, so a long drain frees the producer early.
    tail_.store(tail, std::memory_order_release);
  }
  return taken;
}

}  // namespace qb
