#include "bridge/recordring.h"

#include <bit>

namespace qb {

RecordRing::RecordRing(std::size_t capacity)
    : capacity_(std::bit_ceil(capacity < 64 ? std::size_t{64} : capacity)),
      bytes_(std::make_unique<char[]>(capacity_)) {}

bool RecordRing::Push(std::uint8_t kind, std::string_view bytes) {
  if (kind == kPad || bytes.size() > 0xFFFFFF) return false;
  const std::size_t need = kHeader + Rounded(bytes.size());
  const std::size_t head = head_.load(std::memory_order_relaxed);
  const std::size_t tail = tail_.load(std::memory_order_acquire);
  const std::size_t at = head & (capacity_ - 1);
  // A record that would cross the end starts again at the beginning, behind a pad.
  const std::size_t pad = at + need > capacity_ ? capacity_ - at : 0;
  if (need + pad > capacity_ - (head - tail)) return false;
  std::size_t start = head;
  if (pad > 0) {
    const std::uint32_t h = std::uint32_t{kPad} << 24;
    std::memcpy(bytes_.get() + at, &h, sizeof h);
    start += pad;
  }
  const std::uint32_t h = std::uint32_t{kind} << 24 | static_cast<std::uint32_t>(bytes.size());
  char* p = bytes_.get() + (start & (capacity_ - 1));
  std::memcpy(p, &h, sizeof h);
  if (!bytes.empty()) std::memcpy(p + kHeader, bytes.data(), bytes.size());
  head_.store(start + need, std::memory_order_release);
  return true;
}

}  // namespace qb
