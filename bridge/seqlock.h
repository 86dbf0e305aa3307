// A value one thread publishes and others read without ever holding it up: the writer bumps a
// sequence counter around each write, a reader copies and tries again when the counter moved
// meanwhile. Every word goes through an atomic, so there is no data race to reason about.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstring>
#include <type_traits>

namespace qb {

template <class T>
class SeqLock {
  static_assert(std::is_trivially_copyable_v<T>);

 public:
  SeqLock() { Write(T{}); }

  // The one writing thread; never waits. Each word is stored with release and loaded with
  // acquire: a reader that sees any word of a newer write also sees the counter it bumped.
  void Write(const T& value) {
    std::uint64_t words[kWords] = {};
    std::memcpy(words, &value, sizeof value);
    const std::uint64_t s = sequence_.load(std::memory_order_relaxed);
    sequence_.store(s + 1, std::memory_order_relaxed);
    for (std::size_t i = 0; i < kWords; ++i) words_[i].store(words[i], std::memory_order_release);
    sequence_.store(s + 2, std::memory_order_release);
  }

  // Any thread; retries while a write is under way.
  T Read() const {
    std::uint64_t words[kWords];
    for (;;) {
      const std::uint64_t before = sequence_.load(std::memory_order_acquire);
      if (before & 1) continue;
      for (std::size_t i = 0; i < kWords; ++i) words[i] = words_[i].load(std::memory_order_acquire);
      if (sequence_.load(std::memory_order_relaxed) == before) break;
    }
    T value;
    std::memcpy(&value, words, sizeof value);
    return value;
  }

 private:
  static constexpr std::size_t kWords = (sizeof(T) + 7) / 8;
  std::atomic<std::uint64_t> sequence_{0};
  std::atomic<std::uint64_t> words_[kWords];
};

}  // namespace qb
