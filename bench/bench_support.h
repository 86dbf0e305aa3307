// What the benchmark measures with: a JACK MIDI sink that times every time code by position,
// the CPU a process used (all its threads), the kernel's UDP counters and the allocation
// counter of bench/alloccount.c.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace bench {

inline constexpr int kMaxPosition = 128 * 600;  // every position below has its own time code

std::int64_t NowNs();

// A JACK client with one MIDI input, connected to every MIDI output whose name contains the
// pattern. Arrival times are kept per position: the first arrival counts.
class Sink {
 public:
  explicit Sink(const std::string& pattern);
  ~Sink();
  bool ok() const { return ok_; }
  void Reset();
  std::int64_t Arrival(int position) const { return arrivals_[position].load(); }
  long Events() const { return events_.load(); }  // every time code since Reset
  double PeriodMs() const { return period_ms_; }

 private:
  static int Process(std::uint32_t frames, void* self);
  void* client_ = nullptr;
  void* port_ = nullptr;
  bool ok_ = false;
  double period_ms_ = 0;
  std::vector<std::atomic<std::int64_t>> arrivals_;
  std::atomic<long> events_{0};
};

// One thread's run time and how often it was put on a processor, from its schedstat.
struct ThreadTime {
  std::string name;
  double run_s = 0;
  long slices = 0;
};

struct Counters {
  double cpu_s = 0;                   // run time of every thread, from /proc/PID/task/*/schedstat
  std::map<int, ThreadTime> threads;  // by thread id
  std::uint64_t rcvbuf_errors = 0;    // datagrams the kernel dropped for a full receive buffer
  std::uint64_t allocations = 0;      // from the counter file, 0 when there is none
};

Counters Take(int pid, const std::string& alloc_counter_file);

// What each thread of the process used between two takes, as "place:name run-ms/slices" in
// the order the threads were made; threads that were not scheduled are left out.
std::string ThreadsBetween(const Counters& before, const Counters& after);

// Anonymous memory of a process in kB (RssAnon).
long AnonKb(int pid);

}  // namespace bench
