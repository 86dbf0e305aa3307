// JACK servers of a test's own, other JACK clients coming and going beside the bridge, and the
// datagrams the tests send it.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace e2e {

using namespace std::chrono_literals;

// A JACK server with the dummy driver under a name no other test uses.
class OwnJackServer {
 public:
  // Periods long enough that a loaded machine keeps up, where a missed cycle would lose MIDI
  // whoever was late: 256 frames (5.3 ms) with realtime scheduling, 1024 (21 ms) without.
  explicit OwnJackServer(bool realtime);
  ~OwnJackServer();  // stops it, and reclaims its registry slot if it ever had to be killed
  OwnJackServer(const OwnJackServer&) = delete;
  OwnJackServer& operator=(const OwnJackServer&) = delete;

  // Starts it (again, under the same name) and waits until it answers.
  bool Start();
  // SIGTERM, as a session manager stops it; killed if it does not end within 10 s.
  void Stop();
  // SIGKILL: the server leaves its registry slot behind until a server of its name runs again.
  void Kill();
  bool Answers() const;
  const std::string& Name() const { return name_; }
  std::string Log() const;
  // How often the server found the named client's cycle unfinished (an xrun of that client).
  int UnfinishedCycles(const std::string& client) const;

 private:
  bool Launch(bool realtime, unsigned period);
  static void ReclaimAbandoned();
  void End(int signal);

  std::string name_;
  std::string log_;
  bool realtime_;
  unsigned period_;
  int pid_ = -1;
  bool leaked_ = false;  // killed, so its slot waits for a clean stop under the same name
};

// Other clients opening and closing all the time, as patchbays and meters do: `loops` loops of
// `jack_lsp -c`, each pausing `gap` between runs, until Stop.
class ClientChurn {
 public:
  ClientChurn(const std::string& server, int loops, std::chrono::milliseconds gap);
  ~ClientChurn();
  void Stop();

 private:
  std::atomic<bool> stop_{false};
  std::vector<std::thread> threads_;
};

// The ports of a JACK server and their connections, as `jack_lsp -c` lists them: each port
// followed by the ports it is connected to.
std::vector<std::pair<std::string, std::vector<std::string>>> JackGraph(const std::string& server);
bool Connected(const std::string& server, const std::string& from, const std::string& to);
bool HasPort(const std::string& server, const std::string& port);

// OSC messages with one argument, as Traktor and VirtualDJ send them.
std::string Osc(const std::string& address, float value);
std::string Osc(const std::string& address, std::int32_t value);
// The time-code message the bridge sends for a seek position in tenths of a second.
std::string TimeCodeHex(std::int32_t position);

// Datagrams to the bridge at 127.0.0.1:10001.
class Sender {
 public:
  Sender();
  ~Sender();
  void Send(const std::string& datagram) const;

 private:
  int socket_ = -1;
};

// The error boxes the bridge shows on the fixture's X display.
std::vector<unsigned long> ErrorBoxes();

// Sends a probe and waits for the 25-byte reply on port 10000; its round trip, or none.
std::optional<std::chrono::milliseconds> ProbeRoundTrip(std::chrono::milliseconds deadline = 10s);

}  // namespace e2e
