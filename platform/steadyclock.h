// The clock that every time handed between the program's parts is on: arrivals, messages' due
// times, the tray's ages.
#pragma once

#include <chrono>
#include <cstdint>

namespace qb {

// The steady clock, in microseconds.
inline std::int64_t SteadyNowUs() {
  using namespace std::chrono;
  return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace qb
