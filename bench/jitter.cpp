// Stream jitter: plays a Traktor deck at 128 BPM into quillbox on 127.0.0.1:10001 (a beat every
// 468.75 ms, a position every 100 ms) and times the bridge's MIDI beat clock (0xF8) and quarter
// frames (0xF1) by the JACK frames they arrive at, which do not depend on when any thread ran.
// Prints for each stream the tick-to-tick spacing's mean and its p99 and largest distance from
// the mean, after the first 4 s (the clock's estimate settles).
//
//   quillbox_jitter <jack-port-pattern> <seconds>
#include <arpa/inet.h>
#include <jack/jack.h>
#include <jack/midiport.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

// Arrival frames of each stream, written by JACK's thread only while the sender runs.
struct Streams {
  static constexpr std::size_t kMax = 1 << 16;
  std::vector<std::uint64_t> clock = std::vector<std::uint64_t>(kMax);
  std::vector<std::uint64_t> quarter = std::vector<std::uint64_t>(kMax);
  std::atomic<std::size_t> clocks{0}, quarters{0};
  std::atomic<bool> recording{false};
  jack_port_t* port = nullptr;
  jack_client_t* client = nullptr;
};

int Process(jack_nframes_t frames, void* arg) {
  auto* s = static_cast<Streams*>(arg);
  void* buf = jack_port_get_buffer(s->port, frames);
  const jack_nframes_t start = jack_last_frame_time(s->client);
  const jack_nframes_t n = jack_midi_get_event_count(buf);
  for (jack_nframes_t i = 0; i < n; ++i) {
    jack_midi_event_t ev;
    if (jack_midi_event_get(&ev, buf, i) != 0 || ev.size < 1 || !s->recording.load()) continue;
    const std::uint64_t at = std::uint64_t{start} + ev.time;
    if (ev.buffer[0] == 0xF8 && s->clocks < Streams::kMax) s->clock[s->clocks++] = at;
    if (ev.buffer[0] == 0xF1 && s->quarters < Streams::kMax) s->quarter[s->quarters++] = at;
  }
  return 0;
}

std::string Message(const char* address, float value) {
  std::string d(address);
  d.append(4 - d.size() % 4, '\0');
  d.append(",f\0\0", 4);
  std::uint32_t bits;
  std::memcpy(&bits, &value, 4);
  bits = htonl(bits);
  d.append(reinterpret_cast<const char*>(&bits), 4);
  return d;
}

void Report(const char* name, const std::vector<std::uint64_t>& at, std::size_t count,
            double rate) {
  std::vector<double> spacing;
  for (std::size_t i = 1; i < count; ++i) spacing.push_back((at[i] - at[i - 1]) * 1e6 / rate);
  if (spacing.size() < 2) {
    std::printf("jitter\t%s\tno stream\n", name);
    return;
  }
  double mean = 0;
  for (double d : spacing) mean += d;
  mean /= spacing.size();
  std::vector<double> off;
  for (double d : spacing) off.push_back(std::fabs(d - mean));
  std::sort(off.begin(), off.end());
  const double p99 = off[std::min(off.size() - 1, off.size() * 99 / 100)];
  std::printf("jitter\t%s\t%zu ticks\tmean %.1f us\tp99 %.1f us\tmax %.1f us\n", name,
              spacing.size() + 1, mean, p99, off.back());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s <jack-port-pattern> <seconds>\n", argv[0]);
    return 2;
  }
  const double seconds = std::atof(argv[2]);
  Streams s;
  jack_status_t status;
  s.client = jack_client_open("quillbox-jitter", JackNoStartServer, &status);
  if (!s.client) {
    std::fprintf(stderr, "jitter: no JACK server (status 0x%x)\n", status);
    return 1;
  }
  s.port = jack_port_register(s.client, "in", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
  jack_set_process_callback(s.client, Process, &s);
  if (jack_activate(s.client) != 0) return 1;
  const double rate = jack_get_sample_rate(s.client);
  const char** outs = jack_get_ports(s.client, argv[1], JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput);
  bool connected = false;
  for (int i = 0; outs && outs[i]; ++i)
    connected |= jack_connect(s.client, outs[i], jack_port_name(s.port)) == 0;
  jack_free(outs);
  if (!connected) {
    std::fprintf(stderr, "jitter: no JACK MIDI output named like %s\n", argv[1]);
    return 1;
  }

  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(10001);
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  auto send = [&](const std::string& d) {
    sendto(fd, d.data(), d.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
  };
  using clock = std::chrono::steady_clock;
  const auto start = clock::now();
  const auto beat = std::chrono::duration<double>(60.0 / 128);
  const auto tenth = std::chrono::milliseconds(100);
  int beats = 0, tenths = 0;
  send(Message("/Traktor.XFader", 0.0f));
  for (;;) {
    const auto next_beat = start + std::chrono::duration_cast<clock::duration>(beat * beats);
    const auto next_tenth = start + tenth * tenths;
    const auto next = std::min(next_beat, next_tenth);
    if (next - start > std::chrono::duration<double>(seconds)) break;
    std::this_thread::sleep_until(next);
    if (next - start >= std::chrono::seconds(4)) s.recording.store(true);
    if (next == next_tenth) {
      send(Message("/Traktor.Deck0.Seek", static_cast<float>(600 + tenths)));
      ++tenths;
    } else {
      send(Message("/Traktor.Deck0.Beat", 1.0f));
      ++beats;
    }
  }
  s.recording.store(false);
  jack_deactivate(s.client);
  Report("clock", s.clock, s.clocks, rate);
  Report("quarter", s.quarter, s.quarters, rate);
  jack_client_close(s.client);
  close(fd);
  return 0;
}
