// A second Link peer for the tests, built from the same Link headers as the bridge: it joins the
// session and prints what it sees, one line every 10 ms until its standard input closes:
//   <monotonic µs> peers=<n> tempo=<bpm> beat=<beat at that time, quantum 4> playing=<0|1>
// Times are CLOCK_MONOTONIC (the tests' steady clock); Link's own clock is converted with the
// two read together.
#include <poll.h>
#include <time.h>
#include <unistd.h>

#include <ableton/Link.hpp>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

std::int64_t ClockUs(clockid_t clock) {
  timespec ts{};
  clock_gettime(clock, &ts);
  return std::int64_t{ts.tv_sec} * 1'000'000 + ts.tv_nsec / 1000;
}

}  // namespace

int main(int argc, char** argv) {
  const bool start_stop = argc > 1 && std::strcmp(argv[1], "--start-stop") == 0;
  ableton::Link link(100.0);  // not the DJ's tempo: what the peer reads must come from the bridge
  link.enableStartStopSync(start_stop);
  link.enable(true);
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  for (;;) {
    pollfd in{0, POLLIN, 0};
    if (::poll(&in, 1, 10) > 0) {
      char buffer[64];
      if (::read(0, buffer, sizeof buffer) <= 0) break;
    }
    const std::int64_t before = ClockUs(CLOCK_MONOTONIC);
    const std::int64_t raw = ClockUs(CLOCK_MONOTONIC_RAW);
    const std::int64_t after = ClockUs(CLOCK_MONOTONIC);
    const std::int64_t mono = before + (after - before) / 2;
    const auto state = link.captureAppSessionState();
    std::printf("%lld peers=%zu tempo=%.4f beat=%.6f playing=%d\n", static_cast<long long>(mono),
                link.numPeers(), state.tempo(),
                state.beatAtTime(std::chrono::microseconds{raw}, 4.0), state.isPlaying() ? 1 : 0);
  }
  link.enable(false);
  return 0;
}
