// The device list's names: every device keeps its whole name (as patchbays show it) for matching,
// and gets a short name of at most 31 bytes for the capabilities record. No two entries share
// either name.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace qb::detail {

inline constexpr std::size_t kShortNameBytes = 31;

struct DeviceNames {
  std::vector<std::string> full;    // unique: a repeated name gets " (2)", " (3)" and so on
  std::vector<std::string> short_;  // unique, at most kShortNameBytes, whole UTF-8 sequences
};

// Names that fit stay as they are. Longer ones lose their middle ("client:po…rt name"), where
// ports of one client differ least; when that leaves two alike, the cut moves until they differ,
// and a number at the end settles what no cut can.
DeviceNames MakeDeviceNames(const std::vector<std::string>& names);

}  // namespace qb::detail
