#include "midi/devicenames.h"

#include <algorithm>
#include <map>
#include <set>
#include <string_view>

namespace qb::detail {
namespace {

constexpr std::string_view kEllipsis = "\xE2\x80\xA6";  // U+2026

bool Continuation(char c) {
  return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

// The first n bytes, shortened to end on a whole UTF-8 sequence.
std::string Head(const std::string& s, std::size_t n) {
  n = std::min(n, s.size());
  while (n > 0 && n < s.size() && Continuation(s[n])) --n;
  return s.substr(0, n);
}

// The last n bytes, shortened to start on a whole UTF-8 sequence.
std::string Tail(const std::string& s, std::size_t n) {
  n = std::min(n, s.size());
  std::size_t start = s.size() - n;
  while (start < s.size() && Continuation(s[start])) ++start;
  return s.substr(start);
}

// head bytes of the start, the ellipsis, and the end in what is left of the budget.
std::string Cut(const std::string& s, std::size_t head) {
  const std::size_t room = kShortNameBytes - kEllipsis.size();
  return Head(s, head) + std::string(kEllipsis) + Tail(s, room - std::min(head, room));
}

}  // namespace

DeviceNames MakeDeviceNames(const std::vector<std::string>& names) {
  DeviceNames out;
  std::map<std::string, int> seen;
  for (const std::string& n : names) {
    const int count = ++seen[n];
    out.full.push_back(count == 1 ? n : n + " (" + std::to_string(count) + ")");
  }

  const std::size_t room = kShortNameBytes - kEllipsis.size();
  const std::size_t balanced = room / 2;
  for (const std::string& f : out.full)
    out.short_.push_back(f.size() <= kShortNameBytes ? f : Cut(f, balanced));

  // Groups of equal short names: move the cut, the same for the whole group, until they differ.
  for (std::size_t i = 0; i < out.short_.size(); ++i) {
    std::vector<std::size_t> group;
    for (std::size_t j = i; j < out.short_.size(); ++j)
      if (out.short_[j] == out.short_[i]) group.push_back(j);
    if (group.size() < 2) continue;
    for (std::size_t offset = 1; offset <= room; ++offset) {
      for (const std::size_t head : {balanced + offset, balanced - std::min(offset, balanced)}) {
        if (head > room) continue;
        std::set<std::string> distinct;
        for (std::size_t k : group) {
          const std::string& f = out.full[k];
          distinct.insert(f.size() <= kShortNameBytes ? f : Cut(f, head));
        }
        if (distinct.size() != group.size()) continue;
        for (std::size_t k : group)
          if (out.full[k].size() > kShortNameBytes) out.short_[k] = Cut(out.full[k], head);
        group.clear();
        break;
      }
      if (group.empty()) break;
    }
  }

  // What still collides, with any name in the list, ends in a number of its own.
  std::set<std::string> taken;
  for (std::size_t i = 0; i < out.short_.size(); ++i) {
    std::string candidate = out.short_[i];
    for (int n = 2; taken.count(candidate); ++n) {
      // A char, not "#": gcc 12 at -O3 warns falsely (-Wrestrict) on a string literal put in
      // front of a temporary string.
      const std::string suffix = '#' + std::to_string(n);
      candidate = Head(out.short_[i], kShortNameBytes - suffix.size()) + suffix;
    }
    out.short_[i] = candidate;
    taken.insert(candidate);
  }
  return out;
}

}  // namespace qb::detail
