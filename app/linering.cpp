#include "app/linering.h"

#include <algorithm>
#include <cstring>

namespace qb {

LineRing::LineRing(std::size_t max_lines, std::size_t max_bytes)
    : max_lines_(std::max<std::size_t>(max_lines, 1)),
      max_bytes_(std::max(max_bytes, kChunkBytes)) {}

void LineRing::SetMaxLines(std::size_t max_lines) {
  max_lines_ = std::max<std::size_t>(max_lines, 1);
  while (count_ > max_lines_) DropOldest();
  if (refs_.size() > max_lines_) Reindex(max_lines_);
}

void LineRing::Append(std::string_view line) {
  if (line.size() > max_bytes_) {
    std::size_t cut = max_bytes_;
    while (cut > 0 && (static_cast<unsigned char>(line[cut]) & 0xC0) == 0x80) --cut;
    line = line.substr(0, cut);
  }
  while (count_ >= max_lines_) DropOldest();
  if (count_ == refs_.size())
    Reindex(std::min(std::max<std::size_t>(2 * refs_.size(), 1024), max_lines_));

  // The newest chunk takes the line when it has room; otherwise the oldest lines make room for
  // a new chunk within the byte cap.
  for (;;) {
    if (!chunks_.empty() && chunks_.back().capacity - chunks_.back().used >= line.size()) break;
    const std::size_t capacity = std::max(kChunkBytes, line.size());
    if (count_ > 0 && chunk_bytes_ + capacity > max_bytes_) {
      DropOldest();
      continue;
    }
    NewChunk(capacity);
    break;
  }
  Chunk& c = chunks_.back();
  char* at = c.bytes.get() + c.used;
  if (!line.empty()) std::memcpy(at, line.data(), line.size());
  c.used += line.size();
  ++c.lines;
  refs_[(head_ + count_) % refs_.size()] = {at, static_cast<std::uint32_t>(line.size())};
  ++count_;
  text_bytes_ += line.size();
}

void LineRing::Clear() {
  first_ += count_;
  count_ = head_ = 0;
  text_bytes_ = 0;
  // What the log held goes back to the system, but one chunk is kept for the next lines.
  for (Chunk& c : chunks_)
    if (!spare_.bytes && c.capacity == kChunkBytes) spare_ = std::move(c);
  chunks_.clear();
  chunk_bytes_ = 0;
  refs_ = {};
}

void LineRing::DropOldest() {
  const Ref& r = refs_[head_];
  text_bytes_ -= r.size;
  head_ = (head_ + 1) % refs_.size();
  --count_;
  ++first_;
  Chunk& oldest = chunks_.front();
  if (--oldest.lines > 0) return;
  if (chunks_.size() == 1) {
    oldest.used = 0;  // the only chunk is empty: it takes the next lines from its start
    return;
  }
  chunk_bytes_ -= oldest.capacity;
  if (oldest.capacity == kChunkBytes && !spare_.bytes) spare_ = std::move(oldest);
  chunks_.erase(chunks_.begin());
}

void LineRing::NewChunk(std::size_t capacity) {
  if (!chunks_.empty() && chunks_.back().lines == 0) {
    // The only chunk, emptied, is too small for this line.
    chunk_bytes_ -= chunks_.back().capacity;
    chunks_.pop_back();
  }
  Chunk c;
  if (capacity == kChunkBytes && spare_.bytes) {
    c = std::move(spare_);
    spare_ = Chunk{};
  } else {
    c.bytes = std::make_unique_for_overwrite<char[]>(capacity);
    c.capacity = capacity;
  }
  c.used = c.lines = 0;
  chunk_bytes_ += c.capacity;
  chunks_.push_back(std::move(c));
}

void LineRing::Reindex(std::size_t capacity) {
  std::vector<Ref> refs(capacity);
  for (std::size_t i = 0; i < count_; ++i) refs[i] = refs_[(head_ + i) % refs_.size()];
  refs_ = std::move(refs);
  head_ = 0;
}

}  // namespace qb
