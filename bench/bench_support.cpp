#include "bench/bench_support.h"

#include <dirent.h>
#include <fcntl.h>
#include <jack/jack.h>
#include <jack/midiport.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>

namespace bench {

std::int64_t NowNs() {
  using namespace std::chrono;
  return duration_cast<nanoseconds>(steady_clock::now().time_since_epoch()).count();
}

Sink::Sink(const std::string& pattern) : arrivals_(kMaxPosition) {
  jack_status_t status;
  auto* client = jack_client_open("quillbox-bench-sink", JackNoStartServer, &status);
  if (!client) {
    std::fprintf(stderr, "bench: no JACK server (status 0x%x)\n", status);
    return;
  }
  client_ = client;
  port_ = jack_port_register(client, "in", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
  jack_set_process_callback(client, &Sink::Process, this);
  if (jack_activate(client) != 0) return;
  period_ms_ = 1000.0 * jack_get_buffer_size(client) / jack_get_sample_rate(client);
  const char** outs =
      jack_get_ports(client, pattern.c_str(), JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput);
  for (int i = 0; outs && outs[i]; ++i)
    if (jack_connect(client, outs[i], jack_port_name(static_cast<jack_port_t*>(port_))) == 0)
      ok_ = true;
  jack_free(outs);
  if (!ok_) std::fprintf(stderr, "bench: no JACK MIDI output named like %s\n", pattern.c_str());
}

Sink::~Sink() {
  if (client_) jack_client_close(static_cast<jack_client_t*>(client_));
}

void Sink::Reset() {
  for (auto& a : arrivals_) a.store(0);
  events_.store(0);
}

int Sink::Process(std::uint32_t frames, void* self) {
  auto* s = static_cast<Sink*>(self);
  void* buf = jack_port_get_buffer(static_cast<jack_port_t*>(s->port_), frames);
  const std::int64_t now = NowNs();
  const jack_nframes_t n = jack_midi_get_event_count(buf);
  for (jack_nframes_t i = 0; i < n; ++i) {
    jack_midi_event_t ev;
    if (jack_midi_event_get(&ev, buf, i) != 0) continue;
    if (ev.size != 10 || ev.buffer[0] != 0xF0 || ev.buffer[9] != 0xF7) continue;
    const int pos = ev.buffer[6] * 600 + ev.buffer[7] * 10 + ev.buffer[8] / 10;
    if (pos < 0 || pos >= kMaxPosition) continue;
    s->events_.fetch_add(1);
    std::int64_t expected = 0;
    s->arrivals_[pos].compare_exchange_strong(expected, now);
  }
  return 0;
}

namespace {

std::map<int, ThreadTime> Threads(int pid) {
  const std::string dir = "/proc/" + std::to_string(pid) + "/task";
  std::map<int, ThreadTime> threads;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d)) {
      if (e->d_name[0] == '.') continue;
      const std::string task = dir + "/" + e->d_name;
      std::ifstream f(task + "/schedstat");
      double run_ns = 0, wait_ns = 0;
      long slices = 0;
      if (!(f >> run_ns >> wait_ns >> slices)) continue;
      ThreadTime t;
      std::ifstream(task + "/comm") >> t.name;
      t.run_s = run_ns / 1e9;
      t.slices = slices;
      threads[std::atoi(e->d_name)] = t;
    }
    closedir(d);
  }
  return threads;
}

std::uint64_t UdpCounter(const std::string& name) {
  std::ifstream f("/proc/net/snmp");
  std::string header, values;
  while (std::getline(f, header)) {
    if (header.rfind("Udp:", 0) != 0) continue;
    std::getline(f, values);
    std::istringstream h(header), v(values);
    std::string key, value;
    while (h >> key && v >> value)
      if (key == name) return std::stoull(value);
  }
  return 0;
}

}  // namespace

Counters Take(int pid, const std::string& alloc_counter_file) {
  Counters c;
  c.threads = Threads(pid);
  for (const auto& [tid, t] : c.threads) c.cpu_s += t.run_s;
  c.rcvbuf_errors = UdpCounter("RcvbufErrors");
  if (!alloc_counter_file.empty()) {
    const int fd = open(alloc_counter_file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
      std::uint64_t n = 0;
      if (pread(fd, &n, sizeof n, 0) == sizeof n) c.allocations = n;
      close(fd);
    }
  }
  return c;
}

std::string ThreadsBetween(const Counters& before, const Counters& after) {
  // Threads often share their process's name (JACK's do), so each is told by its place: the
  // first is the main thread.
  std::string out;
  char item[96];
  int place = 0;
  for (const auto& [tid, t] : after.threads) {
    double run_s = t.run_s;
    long slices = t.slices;
    if (const auto b = before.threads.find(tid); b != before.threads.end()) {
      run_s -= b->second.run_s;
      slices -= b->second.slices;
    }
    ++place;
    if (slices == 0) continue;
    std::snprintf(item, sizeof item, "%s%d:%s %.1f/%ld", out.empty() ? "" : "  ", place,
                  t.name.c_str(), run_s * 1e3, slices);
    out += item;
  }
  return out;
}

long AnonKb(int pid) {
  std::ifstream f("/proc/" + std::to_string(pid) + "/status");
  std::string key;
  long kb = 0;
  while (f >> key) {
    if (key == "RssAnon:") {
      f >> kb;
      return kb;
    }
  }
  return 0;
}

}  // namespace bench
