#include "bridge/recordring.h"

#include <bit>

namespace qb {

RecordRing::RecordRing(std::size_t capacity)
    : capacity_(std::bit_ceil(capacity < 64 ? std::size_t{64} : capacity)),
      bytes_(std::make_unique<char[]>(capacity_)) {}

bool RecordRing::Place(std::size_t head, std::size_t tail, std::size_t length, std::size_t& start,
                       std::size_t& end) const {
  if (length > 0xFFFFFF) return false;
  const std::size_t need = kHeader + Rounded(length);
  const std::size_t at = head & (capacity_ - 1);
  // A record that would cross the end starts again at the beginning, behind a pad.
  const std::size_t pad = at + need > capacity_ ? capacity_ - at : 0;
  start = head + pad;
  end = start + need;
  return end - tail <= capacity_;
}

void RecordRing::Write(std::size_t head, std::size_t start, std::uint8_t kind,
                       std::string_view bytes) {
  if (start != head) {
    const std::uint32_t pad = std::uint32_t{kPad} << 24;
    std::memcpy(bytes_.get() + (head & (capacity_ - 1)), &pad, sizeof pad);
  }
  const std::uint32_t h = std::uint32_t{kind} << 24 | static_cast<std::uint32_t>(bytes.size());
  char* p = bytes_.get() + (start & (capacity_ - 1));
  std::memcpy(p, &h, sizeof h);
  if (!bytes.empty()) std::memcpy(p + kHeader, bytes.data(), bytes.size());
}

bool RecordRing::Push(std::uint8_t kind, std::string_view bytes) {
  if (kind == kPad) return false;
  const std::size_t head = head_.load(std::memory_order_relaxed);
  const std::size_t tail = tail_.load(std::memory_order_acquire);
  std::size_t start, end;
  if (!Place(head, tail, bytes.size(), start, end)) return false;
  Write(head, start, kind, bytes);
  head_.store(end, std::memory_order_release);
  return true;
}

bool RecordRing::Push(std::uint8_t kind, std::string_view bytes, std::uint8_t kind2,
                      std::string_view bytes2) {
  if (kind == kPad || kind2 == kPad) return false;
  const std::size_t head = head_.load(std::memory_order_relaxed);
  const std::size_t tail = tail_.load(std::memory_order_acquire);
  std::size_t start, end, start2, end2;
  if (!Place(head, tail, bytes.size(), start, end) ||
      !Place(end, tail, bytes2.size(), start2, end2))
    return false;
  Write(head, start, kind, bytes);
  Write(end, start2, kind2, bytes2);
  head_.store(end2, std::memory_order_release);
  return true;
}

}  // namespace qb
