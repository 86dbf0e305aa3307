// Datagram-to-MIDI benchmark: sends Traktor seek datagrams to a program listening on
// 127.0.0.1:10001 (quillbox, or the floor of bench/floor.cpp) and times each MIDI Time Code
// as a JACK MIDI sink sees it.
//
//   quillbox_bench run <name> <pid> <alloc-counter-file> <jack-port-pattern> <round>...
//       rounds: steady (1,000 a second for 10 s), burst (50,000 back to back), night
//       (120,000 at 3,000 a second with a discovery probe every 20,000, as a night of Traktor
//       traffic through the debug log); prints one "result" line per round (and for night
//       one "probes" line: replies got, slowest reply)
//   quillbox_bench table <results-file>
//       the results side by side, and the ratios of every other program to "floor" (each
//       program's rounds of the same name together)
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_support.h"

namespace {

using bench::NowNs;

struct Result {
  std::string name, round;
  long sent = 0, read = 0, delivered = 0;
  double p50_ms = 0, p99_ms = 0, cpu_s = 0;
  long allocations = 0;
  long anon_kb = 0;
  double CpuPerReadUs() const { return read > 0 ? cpu_s * 1e6 / read : 0; }
  double AllocsPerRead() const { return read > 0 ? double(allocations) / read : 0; }
};

std::string SeekDatagram(int position) {
  std::string d("/Traktor.Deck0.Seek\0,f\0\0", 24);
  const float value = static_cast<float>(position);
  std::uint32_t bits;
  std::memcpy(&bits, &value, 4);
  bits = htonl(bits);
  d.append(reinterpret_cast<const char*>(&bits), 4);
  return d;
}

Result RunRound(bench::Sink& sink, const std::string& name, int pid, const std::string& alloc,
                const std::string& round) {
  const bool burst = round == "burst";
  const bool night = round == "night";
  const int count = burst ? 50000 : night ? 120000 : 10000;
  const auto gap = std::chrono::nanoseconds(burst ? 0 : night ? 333333 : 1000000);
  // Probes come from port 10000, where the reply is sent.
  int probe = -1;
  if (night) {
    probe = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_port = htons(10000);
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(probe, reinterpret_cast<const sockaddr*>(&at), sizeof at);
  }
  const std::string ping("/__PING\0,\0\0\0", 12);
  std::vector<std::int64_t> probe_sent;
  int replies = 0;
  double slowest_reply_ms = 0;
  auto take_replies = [&] {
    char buf[64];
    while (probe >= 0 && recv(probe, buf, sizeof buf, MSG_DONTWAIT) == 25) {
      if (replies < static_cast<int>(probe_sent.size()))
        slowest_reply_ms = std::max(slowest_reply_ms, (NowNs() - probe_sent[replies]) / 1e6);
      ++replies;
    }
  };
  int sock = socket(AF_INET, SOCK_DGRAM, 0);
  const int room = 4 << 20;  // the sender's own buffer never drops a burst
  setsockopt(sock, SOL_SOCKET, SO_SNDBUFFORCE, &room, sizeof room);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(10001);
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::vector<std::string> datagrams;
  for (int i = 0; i < count; ++i) datagrams.push_back(SeekDatagram(i % bench::kMaxPosition));

  sink.Reset();
  std::vector<std::int64_t> sent_at(count);
  const bench::Counters before = bench::Take(pid, alloc);
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < count; ++i) {
    if (!burst) std::this_thread::sleep_until(start + gap * i);
    sent_at[i] = NowNs();
    sendto(sock, datagrams[i].data(), datagrams[i].size(), 0,
           reinterpret_cast<const sockaddr*>(&to), sizeof to);
    if (night && i % 20000 == 10000) {
      probe_sent.push_back(NowNs());
      sendto(probe, ping.data(), ping.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    }
    if (night && i % 64 == 0) take_replies();
  }
  const double send_ms =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  // Wait until every time code arrived, or nothing new arrived for two seconds.
  int last = -1;
  auto quiet_since = std::chrono::steady_clock::now();
  const int distinct = std::min(count, bench::kMaxPosition);
  for (;;) {
    take_replies();
    const int got = night ? static_cast<int>(sink.Events()) : [&] {
      int n = 0;
      for (int i = 0; i < count; ++i) n += sink.Arrival(i) != 0;
      return n;
    }();
    if (got == count) break;
    if (got != last) {
      last = got;
      quiet_since = std::chrono::steady_clock::now();
    } else if (std::chrono::steady_clock::now() - quiet_since > std::chrono::seconds(2)) {
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  const bench::Counters after = bench::Take(pid, alloc);
  std::printf("threads\t%s\t%s\t%s (ms run/times scheduled), sent in %.1f ms\n", name.c_str(),
              round.c_str(), bench::ThreadsBetween(before, after).c_str(), send_ms);
  close(sock);
  if (probe >= 0) {
    take_replies();
    close(probe);
    std::printf("probes\t%s\t%d sent\t%d answered\tslowest %.1f ms\n", round.c_str(),
                static_cast<int>(probe_sent.size()), replies, slowest_reply_ms);
  }

  Result r;
  r.round = round;
  r.sent = count;
  r.read = count - static_cast<long>(after.rcvbuf_errors - before.rcvbuf_errors);
  r.cpu_s = after.cpu_s - before.cpu_s;
  r.allocations = static_cast<long>(after.allocations - before.allocations);
  r.anon_kb = bench::AnonKb(pid);
  std::vector<double> lat;
  for (int i = 0; i < distinct; ++i)
    if (const std::int64_t a = sink.Arrival(i)) lat.push_back((a - sent_at[i]) / 1e6);
  r.delivered = night ? sink.Events() : static_cast<long>(lat.size());
  std::sort(lat.begin(), lat.end());
  if (!lat.empty()) {
    r.p50_ms = lat[lat.size() / 2];
    r.p99_ms = lat[std::min(lat.size() - 1, lat.size() * 99 / 100)];
  }
  return r;
}

int Run(int argc, char** argv) {
  if (argc < 7) return 2;
  const std::string name = argv[2];
  const int pid = std::atoi(argv[3]);
  const std::string alloc = argv[4];
  bench::Sink sink(argv[5]);
  if (!sink.ok()) return 1;
  for (int i = 6; i < argc; ++i) {
    Result r = RunRound(sink, name, pid, alloc, argv[i]);
    std::printf("result\t%s\t%s\t%ld\t%ld\t%ld\t%.3f\t%.3f\t%.6f\t%ld\t%ld\n", name.c_str(),
                r.round.c_str(), r.sent, r.read, r.delivered, r.p50_ms, r.p99_ms, r.cpu_s,
                r.allocations, r.anon_kb);
    std::fflush(stdout);
  }
  return 0;
}

int Table(const char* file) {
  std::ifstream f(file);
  std::vector<Result> results;
  std::string line;
  while (std::getline(f, line)) {
    std::istringstream s(line);
    std::string tag;
    Result r;
    if (!(s >> tag) || tag != "result") continue;
    s >> r.name >> r.round >> r.sent >> r.read >> r.delivered >> r.p50_ms >> r.p99_ms >> r.cpu_s >>
        r.allocations >> r.anon_kb;
    results.push_back(r);
  }
  std::printf("%-16s %-7s %7s %7s %9s %13s %8s %8s %12s %8s\n", "program", "round", "sent", "read",
              "delivered", "CPU/read us", "p50 ms", "p99 ms", "allocs/read", "anon MB");
  for (const Result& r : results)
    std::printf("%-16s %-7s %7ld %7ld %9ld %13.2f %8.2f %8.2f %12.2f %8.1f\n", r.name.c_str(),
                r.round.c_str(), r.sent, r.read, r.delivered, r.CpuPerReadUs(), r.p50_ms, r.p99_ms,
                r.AllocsPerRead(), r.anon_kb / 1024.0);
  // The floor's rounds come before, between and after quillbox's, and every program's rounds
  // of one kind are taken together: CPU over reads pooled, the rest averaged. So a slow or
  // quick moment of the machine does not fall on one side only.
  struct Pooled {
    double cpu_s = 0, delivered = 0, p50_ms = 0, p99_ms = 0;
    long read = 0;
    int rounds = 0;
    double CpuPerReadUs() const { return read > 0 ? cpu_s * 1e6 / read : 0; }
  };
  std::map<std::pair<std::string, std::string>, Pooled> pooled;
  std::vector<std::pair<std::string, std::string>> order;  // as first met
  for (const Result& r : results) {
    const auto key = std::make_pair(r.name, r.round);
    if (!pooled.count(key)) order.push_back(key);
    Pooled& p = pooled[key];
    p.cpu_s += r.cpu_s;
    p.read += r.read;
    p.delivered += r.delivered;
    p.p50_ms += r.p50_ms;
    p.p99_ms += r.p99_ms;
    ++p.rounds;
  }
  std::printf(
      "\nratio to the floor (each program's rounds of a kind together)\n"
      "%-16s %-7s %7s %13s %9s %8s %8s\n",
      "program", "round", "rounds", "CPU/read", "delivered", "p50", "p99");
  for (const auto& key : order) {
    const auto f = pooled.find({"floor", key.second});
    if (key.first == "floor" || f == pooled.end()) continue;
    const Pooled& p = pooled[key];
    auto ratio = [](double a, double b) { return b > 0 ? a / b : 0.0; };
    const double n = p.rounds, fn = f->second.rounds;
    std::printf(
        "%-16s %-7s %3d:%-3d %13.2f %9.3f %8.2f %8.2f\n", key.first.c_str(), key.second.c_str(),
        p.rounds, f->second.rounds, ratio(p.CpuPerReadUs(), f->second.CpuPerReadUs()),
        ratio(p.delivered / n, f->second.delivered / fn),
        ratio(p.p50_ms / n, f->second.p50_ms / fn), ratio(p.p99_ms / n, f->second.p99_ms / fn));
  }
  // What showing the debug view costs: a program's "+debug" rounds against its plain ones.
  std::printf("\nwith the debug view shown, against hidden\n%-16s %-7s %13s\n", "program", "round",
              "CPU/read");
  for (const auto& key : order) {
    const std::string suffix = "+debug";
    if (!key.first.ends_with(suffix)) continue;
    const auto plain =
        pooled.find({key.first.substr(0, key.first.size() - suffix.size()), key.second});
    if (plain == pooled.end() || plain->second.CpuPerReadUs() <= 0) continue;
    std::printf("%-16s %-7s %13.2f\n", key.first.c_str(), key.second.c_str(),
                pooled[key].CpuPerReadUs() / plain->second.CpuPerReadUs());
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2 && std::strcmp(argv[1], "run") == 0) return Run(argc, argv);
  if (argc == 3 && std::strcmp(argv[1], "table") == 0) return Table(argv[2]);
  std::fprintf(stderr,
               "usage: %s run <name> <pid> <alloc-counter-file> <port-pattern> <round>...\n"
               "       %s table <results-file>\n",
               argv[0], argv[0]);
  return 2;
}
