#include "tests/e2e/jack_support.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>

#include "tests/e2e/e2e_support.h"

extern char** environ;

namespace e2e {

namespace {

std::string TempDir() {
  const char* t = std::getenv("TMPDIR");
  return t && *t ? t : "/tmp";
}

std::string Pad(std::string s) {
  s.push_back('\0');
  while (s.size() % 4) s.push_back('\0');
  return s;
}

std::string BigEndian(std::uint32_t v) {
  std::string s(4, '\0');
  for (int i = 0; i < 4; ++i) s[static_cast<std::size_t>(i)] = static_cast<char>(v >> (24 - 8 * i));
  return s;
}

}  // namespace

// ---- OwnJackServer

OwnJackServer::OwnJackServer(bool realtime) : realtime_(realtime), period_(realtime ? 256 : 1024) {
  static int serial = 0;
  name_ = "qb-e2e-" + std::to_string(getpid()) + "-" + std::to_string(++serial);
  log_ = TempDir() + "/" + name_ + ".log";
  setenv("JACK_NO_START_SERVER", "1", 1);
}

OwnJackServer::~OwnJackServer() {
  Stop();
  // A server of the same name that starts and stops cleanly frees the slot a killed one kept.
  if (leaked_ && Launch(false, 256)) Stop();
  std::remove(log_.c_str());
}

bool OwnJackServer::Launch(bool realtime, unsigned period) {
  std::vector<std::string> args = {
      "jackd", realtime ? "-R" : "-r", "-t", "10000", "-n", name_, "-d", "dummy", "-r", "48000",
      "-p",    std::to_string(period)};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 1, log_.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  posix_spawn_file_actions_adddup2(&fa, 1, 2);
  posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
  const int r = posix_spawnp(&pid_, "jackd", &fa, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  if (r != 0) {
    pid_ = -1;
    return false;
  }
  const bool up = WaitFor(
      [&] {
        int st = 0;
        if (waitpid(pid_, &st, WNOHANG) == pid_) {
          pid_ = -1;
          return true;  // it ended: reported below
        }
        return Answers();
      },
      30s);
  if (up && pid_ > 0) {
    leaked_ = false;
    return true;
  }
  if (pid_ > 0) End(SIGKILL);
  return false;
}

// Test servers of earlier runs that ended before they could stop their servers (a test killed
// at its deadline) still hold registry slots: their names carry the dead process's number.
void OwnJackServer::ReclaimAbandoned() {
  std::ifstream f("/dev/shm/jack-shm-registry", std::ios::binary);
  std::stringstream raw;
  raw << f.rdbuf();
  const std::string registry = raw.str();
  const std::regex entry("jack-[0-9]+:(qb-e2e-([0-9]+)-[0-9]+):");
  for (std::sregex_iterator it(registry.begin(), registry.end(), entry), end; it != end; ++it) {
    const int owner = std::stoi((*it)[2].str());
    if (owner == getpid() || kill(owner, 0) == 0) continue;
    OwnJackServer abandoned(false);
    abandoned.name_ = (*it)[1].str();
    abandoned.leaked_ = true;  // its destructor starts and stops it once
  }
}

bool OwnJackServer::Start() {
  if (pid_ > 0) return true;
  if (Launch(realtime_, period_)) return true;
  ReclaimAbandoned();
  return Launch(realtime_, period_);
}

void OwnJackServer::End(int signal) {
  if (pid_ <= 0) return;
  kill(pid_, signal);
  int st = 0;
  if (!WaitFor([&] { return waitpid(pid_, &st, WNOHANG) == pid_; }, 10s)) {
    kill(pid_, SIGKILL);
    waitpid(pid_, &st, 0);
    signal = SIGKILL;
  }
  if (signal == SIGKILL) leaked_ = true;
  pid_ = -1;
}

void OwnJackServer::Stop() {
  End(SIGTERM);
}

void OwnJackServer::Kill() {
  End(SIGKILL);
}

bool OwnJackServer::Answers() const {
  int status = -1;
  Run("jack_lsp", {"-s", name_}, &status, 10s);
  return status == 0;
}

std::string OwnJackServer::Log() const {
  std::ifstream f(log_);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

int OwnJackServer::UnfinishedCycles(const std::string& client) const {
  const std::string needle = "client = " + client + " was not finished";
  std::istringstream lines(Log());
  std::string line;
  int n = 0;
  while (std::getline(lines, line)) n += line.find(needle) != std::string::npos;
  return n;
}

// ---- ClientChurn

ClientChurn::ClientChurn(const std::string& server, int loops, std::chrono::milliseconds gap) {
  for (int i = 0; i < loops; ++i) {
    threads_.emplace_back([this, server, gap] {
      while (!stop_) {
        Run("jack_lsp", {"-s", server, "-c"}, nullptr, 10s);
        std::this_thread::sleep_for(gap);
      }
    });
  }
}

ClientChurn::~ClientChurn() {
  Stop();
}

void ClientChurn::Stop() {
  stop_ = true;
  for (auto& t : threads_)
    if (t.joinable()) t.join();
}

// ---- The graph

std::vector<std::pair<std::string, std::vector<std::string>>> JackGraph(const std::string& server) {
  std::vector<std::pair<std::string, std::vector<std::string>>> graph;
  std::istringstream lines(Run("jack_lsp", {"-s", server, "-c"}));
  std::string line;
  while (std::getline(lines, line)) {
    if (line.empty()) continue;
    if (line[0] == ' ' || line[0] == '\t') {
      if (!graph.empty()) graph.back().second.push_back(line.substr(line.find_first_not_of(" \t")));
    } else {
      graph.emplace_back(line, std::vector<std::string>{});
    }
  }
  return graph;
}

bool Connected(const std::string& server, const std::string& from, const std::string& to) {
  for (auto& [port, peers] : JackGraph(server))
    if (port == from)
      for (auto& p : peers)
        if (p == to) return true;
  return false;
}

bool HasPort(const std::string& server, const std::string& port) {
  for (auto& [p, peers] : JackGraph(server))
    if (p == port) return true;
  return false;
}

// ---- Datagrams

std::string Osc(const std::string& address, float value) {
  return Pad(address) + Pad(",f") + BigEndian(std::bit_cast<std::uint32_t>(value));
}

std::string Osc(const std::string& address, std::int32_t value) {
  return Pad(address) + Pad(",i") + BigEndian(static_cast<std::uint32_t>(value));
}

std::string TimeCodeHex(std::int32_t position) {
  char text[64];
  std::snprintf(text, sizeof text, "F0 7F 01 01 01 00 %02X %02X %02X F7", position / 600,
                (position / 10) % 60, (position % 10) * 10);
  return text;
}

Sender::Sender() : socket_(socket(AF_INET, SOCK_DGRAM, 0)) {}

Sender::~Sender() {
  if (socket_ >= 0) close(socket_);
}

void Sender::Send(const std::string& datagram) const {
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(10001);
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  sendto(socket_, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
}

std::vector<unsigned long> ErrorBoxes() {
  std::vector<unsigned long> boxes;
  std::istringstream ids(X("xdotool", {"search", "--onlyvisible", "--name", "^quillbox$"}));
  unsigned long id;
  while (ids >> id) {
    if (X("xprop", {"-id", std::to_string(id), "_NET_WM_WINDOW_TYPE"}).find("DIALOG") !=
        std::string::npos)
      boxes.push_back(id);
  }
  return boxes;
}

std::optional<std::chrono::milliseconds> ProbeRoundTrip(std::chrono::milliseconds deadline) {
  int s = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(10000);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    close(s);
    return std::nullopt;
  }
  timeval tv{static_cast<time_t>(deadline.count() / 1000),
             static_cast<suseconds_t>(deadline.count() % 1000 * 1000)};
  setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  const auto start = std::chrono::steady_clock::now();
  Sender().Send(std::string("/__PING\0\0", 8));
  char buf[64];
  const ssize_t n = recv(s, buf, sizeof buf, 0);
  close(s);
  if (n != 25 || std::string(buf, 25) != std::string("/__PONG\0,s\0\0quillbox\0\0\0\0\0", 25))
    return std::nullopt;
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               start);
}

}  // namespace e2e
