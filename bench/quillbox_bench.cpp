// Datagram-to-MIDI benchmark: sends Traktor seek datagrams to a running bridge and times each
// MIDI Time Code message as a JACK MIDI sink sees it.
//
//   quillbox_bench <bridge-pid> [rounds]
//
// The bridge must be listening on 127.0.0.1:10001 with a JACK MIDI output open; the sink
// connects itself to every JACK MIDI output port whose name contains "quillbox".
#include <arpa/inet.h>
#include <jack/jack.h>
#include <jack/midiport.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kMaxPosition = 127 * 600;  // every position below this has a distinct time code

std::int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
      .count();
}

// Arrival times by position, written by the JACK thread, read after each round.
std::vector<std::atomic<std::int64_t>> arrivals(kMaxPosition);
std::atomic<long> received{0};
jack_port_t* in_port = nullptr;

int Process(jack_nframes_t frames, void*) {
  void* buf = jack_port_get_buffer(in_port, frames);
  const std::int64_t now = NowNs();
  const jack_nframes_t n = jack_midi_get_event_count(buf);
  for (jack_nframes_t i = 0; i < n; ++i) {
    jack_midi_event_t ev;
    if (jack_midi_event_get(&ev, buf, i) != 0) continue;
    if (ev.size == 10 && ev.buffer[0] == 0xF0 && ev.buffer[9] == 0xF7) {
      const int pos = ev.buffer[6] * 600 + ev.buffer[7] * 10 + ev.buffer[8] / 10;
      if (pos >= 0 && pos < kMaxPosition) {
        std::int64_t expected = 0;
        arrivals[pos].compare_exchange_strong(expected, now);
      }
      received.fetch_add(1);
    }
  }
  return 0;
}

std::string SeekDatagram(float position) {
  std::string d("/Traktor.Deck0.Seek\0,f\0\0", 24);
  std::uint32_t bits;
  std::memcpy(&bits, &position, 4);
  bits = htonl(bits);
  d.append(reinterpret_cast<const char*>(&bits), 4);
  return d;
}

double CpuSeconds(int pid) {
  std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
  std::string s((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  auto close = s.rfind(')');
  if (close == std::string::npos) return 0;
  // Fields after the command: state is field 3; utime and stime are fields 14 and 15.
  std::vector<std::string> fields;
  std::size_t p = close + 2;
  while (p < s.size()) {
    auto e = s.find(' ', p);
    fields.push_back(s.substr(p, e - p));
    if (e == std::string::npos) break;
    p = e + 1;
  }
  if (fields.size() < 13) return 0;
  return (std::stod(fields[11]) + std::stod(fields[12])) /
         static_cast<double>(sysconf(_SC_CLK_TCK));
}

struct Round {
  const char* name;
  int count;
  int gap_us;  // pause between datagrams; 0 sends back to back
};

struct Result {
  int sent = 0, got = 0;
  double p50 = 0, p99 = 0, max = 0;
  double cpu_per_10k = 0;
};

Result RunRound(int sock, const sockaddr_in& to, int bridge_pid, const Round& r, int& next_pos) {
  for (auto& a : arrivals) a.store(0);
  std::vector<std::pair<int, std::int64_t>> sent;
  sent.reserve(r.count);
  const double cpu0 = CpuSeconds(bridge_pid);
  for (int i = 0; i < r.count; ++i) {
    const int pos = next_pos;
    next_pos = (next_pos + 1) % kMaxPosition;
    const std::string d = SeekDatagram(static_cast<float>(pos));
    sent.emplace_back(pos, NowNs());
    sendto(sock, d.data(), d.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    if (r.gap_us > 0) std::this_thread::sleep_for(std::chrono::microseconds(r.gap_us));
  }
  // Wait until every message arrived, or nothing new arrived for a second.
  long last = -1;
  auto quiet_since = Clock::now();
  for (;;) {
    int got = 0;
    for (auto& [pos, t] : sent) got += arrivals[pos].load() != 0;
    if (got == r.count) break;
    if (got != last) {
      last = got;
      quiet_since = Clock::now();
    } else if (Clock::now() - quiet_since > std::chrono::seconds(1)) {
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  const double cpu1 = CpuSeconds(bridge_pid);
  Result res;
  res.sent = r.count;
  std::vector<double> lat;
  for (auto& [pos, t] : sent) {
    const std::int64_t a = arrivals[pos].load();
    if (a) lat.push_back(static_cast<double>(a - t) / 1000.0);
  }
  res.got = static_cast<int>(lat.size());
  std::sort(lat.begin(), lat.end());
  if (!lat.empty()) {
    res.p50 = lat[lat.size() / 2];
    res.p99 = lat[std::min(lat.size() - 1, lat.size() * 99 / 100)];
    res.max = lat.back();
  }
  res.cpu_per_10k = (cpu1 - cpu0) * 10000.0 / r.count;
  return res;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s <bridge-pid> [rounds]\n", argv[0]);
    return 2;
  }
  const int bridge_pid = std::atoi(argv[1]);
  const int scale = argc > 2 ? std::max(1, std::atoi(argv[2])) : 1;

  jack_status_t status;
  jack_client_t* client = jack_client_open("quillbox-bench", JackNoStartServer, &status);
  if (!client) {
    std::fprintf(stderr, "bench: no JACK server (status 0x%x)\n", status);
    return 1;
  }
  in_port = jack_port_register(client, "in", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
  jack_set_process_callback(client, Process, nullptr);
  if (jack_activate(client) != 0) return 1;
  const char** outs = jack_get_ports(client, "quillbox", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput);
  int connected = 0;
  for (int i = 0; outs && outs[i]; ++i)
    if (jack_connect(client, outs[i], jack_port_name(in_port)) == 0) {
      std::printf("sink connected to %s\n", outs[i]);
      ++connected;
    }
  jack_free(outs);
  if (!connected) {
    std::fprintf(stderr, "bench: no JACK MIDI output port named like quillbox\n");
    return 1;
  }

  int sock = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(10001);
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);

  const jack_nframes_t rate = jack_get_sample_rate(client);
  const jack_nframes_t period = jack_get_buffer_size(client);
  std::printf("JACK %u Hz, period %u frames (%.2f ms)\n", rate, period, 1000.0 * period / rate);

  const Round rounds[] = {
      {"paced 1 ms", 500 * scale, 1000},
      {"paced 100 us", 2000 * scale, 100},
      {"burst 1000", 1000, 0},
      {"10,000 back to back", 10000, 0},
  };
  int next_pos = 0;
  std::printf("\n%-22s %7s %7s %6s %10s %10s %10s %12s\n", "round", "sent", "got", "loss%",
              "p50 us", "p99 us", "max us", "cpu s/10k");
  for (const Round& r : rounds) {
    Result res = RunRound(sock, to, bridge_pid, r, next_pos);
    std::printf("%-22s %7d %7d %6.2f %10.0f %10.0f %10.0f %12.3f\n", r.name, res.sent, res.got,
                100.0 * (res.sent - res.got) / res.sent, res.p50, res.p99, res.max,
                res.cpu_per_10k);
  }
  close(sock);
  jack_client_close(client);
  return 0;
}
