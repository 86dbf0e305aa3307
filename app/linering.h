// The debug log's lines: the newest ones as UTF-8 bytes, oldest first. Lines are packed into
// large chunks; the chunk emptied by dropping the oldest lines is kept for the next one, so once
// the log has reached its cap, appending a line is a copy of its bytes and allocates nothing.
// Plain C++, no widgets; one thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

namespace qb {

class LineRing {
 public:
  static constexpr std::size_t kChunkBytes = 64 * 1024;

  // At most max_lines lines and max_bytes bytes of chunks; the oldest lines go first.
  explicit LineRing(std::size_t max_lines = 100000, std::size_t max_bytes = 16 << 20);

  void SetMaxLines(std::size_t max_lines);  // at least 1; drops the oldest lines beyond it
  std::size_t MaxLines() const { return max_lines_; }

  // Appends one line (it should hold no line break). A line longer than the byte cap is cut
  // to it, at a character boundary.
  void Append(std::string_view line);
  // Drops every line; the numbering goes on.
  void Clear();

  std::size_t Size() const { return count_; }
  bool Empty() const { return count_ == 0; }
  // Line i of those held, 0 the oldest. Valid until the next Append, SetMaxLines or Clear.
  std::string_view operator[](std::size_t i) const {
    const Ref& r = refs_[(head_ + i) % refs_.size()];
    return {r.data, r.size};
  }
  // Lines are numbered from 0 in the order they were appended: the oldest held is First(), the
  // newest First() + Size() - 1.
  std::uint64_t First() const { return first_; }
  // Bytes of text held, and of chunks held for it.
  std::size_t TextBytes() const { return text_bytes_; }
  std::size_t ChunkBytes() const { return chunk_bytes_; }

 private:
  struct Ref {
    const char* data;
    std::uint32_t size;
  };
  struct Chunk {
    std::unique_ptr<char[]> bytes;
    std::size_t capacity = 0;
    std::size_t used = 0;
    std::size_t lines = 0;
  };

  void DropOldest();
  void NewChunk(std::size_t capacity);
  void Reindex(std::size_t capacity);  // the index, oldest first, in a vector of that size

  std::size_t max_lines_;
  std::size_t max_bytes_;
  std::vector<Ref> refs_;  // a ring of count_ lines from head_; grows up to max_lines_
  std::size_t head_ = 0;
  std::size_t count_ = 0;
  std::uint64_t first_ = 0;
  std::vector<Chunk> chunks_;  // oldest first; the last one takes new lines
  Chunk spare_;                // an emptied chunk of kChunkBytes, for the next one needed
  std::size_t text_bytes_ = 0;
  std::size_t chunk_bytes_ = 0;
};

}  // namespace qb
