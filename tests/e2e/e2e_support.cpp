#include "tests/e2e/e2e_support.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <jack/jack.h>
#include <jack/midiport.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ptrace.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QDir>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace e2e {

namespace {

std::string Env(const char* name) {
  const char* v = std::getenv(name);
  if (!v || !*v) throw std::runtime_error(std::string("e2e: ") + name + " is not set");
  return v;
}

std::string ReadFile(const std::string& path) {
  std::ifstream f(path);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

std::string Trim(std::string s) {
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.pop_back();
  return s;
}

int Field(const std::string& text, const std::string& label) {
  auto p = text.find(label);
  if (p == std::string::npos) return 0;
  return std::atoi(text.c_str() + p + label.size());
}

}  // namespace

std::string Display() {
  static std::string d = Trim(ReadFile(Env("QB_X_STATE") + "/display"));
  return d;
}
std::string JackServer() {
  return Env("QB_JACK_SERVER");
}
std::string BridgeBinary() {
  return Env("QB_BINARY");
}
std::string ArtifactDir() {
  return Env("QB_ARTIFACTS");
}
std::string RuntimeDir() {
  static const QTemporaryDir dir(QDir::tempPath() + "/qb-runtime-XXXXXX");  // 0700, as it must be
  return dir.path().toStdString();
}

std::string Run(const std::string& program, const std::vector<std::string>& args, int* status,
                std::chrono::milliseconds timeout) {
  QProcess p;
  QStringList a;
  for (auto& s : args) a << QString::fromStdString(s);
  p.setProcessChannelMode(QProcess::SeparateChannels);
  p.start(QString::fromStdString(program), a);
  bool finished = p.waitForStarted(int(timeout.count())) && p.waitForFinished(int(timeout.count()));
  if (!finished) p.kill(), p.waitForFinished(2000);
  if (status) *status = finished && p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
  return p.readAllStandardOutput().toStdString();
}

std::string X(const std::string& program, const std::vector<std::string>& args, int* status) {
  setenv("DISPLAY", Display().c_str(), 1);
  return Run(program, args, status);
}

bool WaitFor(const std::function<bool()>& cond, std::chrono::milliseconds deadline) {
  auto end = std::chrono::steady_clock::now() + deadline;
  while (!cond()) {
    if (std::chrono::steady_clock::now() > end) return cond();
    std::this_thread::sleep_for(50ms);
  }
  return true;
}

std::optional<unsigned long> FindWindow(const std::string& title, bool only_visible) {
  std::vector<std::string> args = {"search"};
  if (only_visible) args.push_back("--onlyvisible");
  args.insert(args.end(), {"--name", "^" + title + "$"});
  std::istringstream out(X("xdotool", args));
  unsigned long id;
  if (out >> id) return id;
  return std::nullopt;
}

Rect ClientRect(unsigned long window) {
  std::string info = X("xwininfo", {"-id", std::to_string(window)});
  return {Field(info, "Absolute upper-left X:"), Field(info, "Absolute upper-left Y:"),
          Field(info, "Width:"), Field(info, "Height:")};
}

Rect FrameExtents(unsigned long window) {
  std::string out = X("xprop", {"-id", std::to_string(window), "_NET_FRAME_EXTENTS"});
  auto eq = out.find('=');
  if (eq == std::string::npos) return {};
  int l = 0, r = 0, t = 0, b = 0;
  std::sscanf(out.c_str() + eq + 1, " %d , %d , %d , %d", &l, &r, &t, &b);
  return {l, t, r, b};
}

Rect OuterRect(unsigned long window) {
  Rect c = ClientRect(window), f = FrameExtents(window);
  return {c.x - f.x, c.y - f.y, c.w + f.x + f.w, c.h + f.y + f.h};
}

bool IsViewable(unsigned long window) {
  return X("xwininfo", {"-id", std::to_string(window)}).find("IsViewable") != std::string::npos;
}

std::vector<unsigned long> ClientList() {
  std::string out = X("xprop", {"-root", "_NET_CLIENT_LIST"});
  std::vector<unsigned long> ids;
  auto p = out.find('#');
  if (p == std::string::npos) return ids;
  std::istringstream in(out.substr(p + 1));
  std::string tok;
  while (std::getline(in, tok, ',')) {
    tok = Trim(tok);
    auto start = tok.find("0x");
    if (start != std::string::npos) ids.push_back(std::stoul(tok.substr(start), nullptr, 16));
  }
  return ids;
}

bool Managed(unsigned long window) {
  for (unsigned long c : ClientList())
    if (c == window) return true;
  return false;
}

std::string WmState(unsigned long window) {
  std::string out = X("xprop", {"-id", std::to_string(window), "WM_STATE"});
  const std::string label = "window state: ";
  auto p = out.find(label);
  if (p == std::string::npos) return {};
  std::string state = out.substr(p + label.size());
  return state.substr(0, state.find_first_of(" \n"));
}

std::vector<unsigned long> TaskbarButtons() {
  std::istringstream tree(X("xwininfo", {"-root", "-tree"}));
  std::vector<unsigned long> buttons;
  std::string line;
  size_t pane_indent = std::string::npos;
  while (std::getline(tree, line)) {
    const size_t indent = line.find_first_not_of(' ');
    if (indent == std::string::npos) continue;
    if (line.find("\"TaskPane\"") != std::string::npos) {
      pane_indent = indent;
      continue;
    }
    if (pane_indent == std::string::npos) continue;
    if (indent <= pane_indent) break;  // past the pane's children
    if (line.compare(indent, 2, "0x") == 0 && line.find("child") == std::string::npos)
      buttons.push_back(std::stoul(line.substr(indent), nullptr, 16));
  }
  return buttons;
}

void Click(unsigned long window, int x, int y) {
  X("xdotool",
    {"mousemove", "--window", std::to_string(window), std::to_string(x), std::to_string(y)});
  X("xdotool", {"click", "1"});
}

// The icon window that icewm's notification area embeds for quillbox, if there is one.
std::optional<unsigned long> TrayIcon() {
  std::istringstream tree(X("xwininfo", {"-root", "-tree"}));
  std::string line;
  bool in_embedder = false;
  while (std::getline(tree, line)) {
    if (line.find("\"YXTrayEmbedder\"") != std::string::npos) {
      in_embedder = true;
      continue;
    }
    if (in_embedder && line.find("\"quillbox\": (\"quillbox\"") != std::string::npos)
      return std::stoul(line.substr(line.find("0x")), nullptr, 16);
  }
  return std::nullopt;
}

void DoubleClick(unsigned long icon) {
  X("xdotool", {"mousemove", "--window", std::to_string(icon), "12", "12"});
  X("xdotool", {"click", "--repeat", "2", "--delay", "80", "1"});
}

std::string FloatMessage(const std::string& address, float value) {
  std::string s = address;
  s.push_back('\0');
  while (s.size() % 4) s.push_back('\0');
  s += std::string(",f\0\0", 4);
  std::uint32_t bits;
  std::memcpy(&bits, &value, 4);
  for (int i = 0; i < 4; ++i) s.push_back(static_cast<char>(bits >> (24 - 8 * i)));
  return s;
}

DatagramSender::DatagramSender() : fd_(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {}
DatagramSender::~DatagramSender() {
  ::close(fd_);
}
void DatagramSender::Send(const std::string& datagram, int port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<std::uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::sendto(fd_, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a);
}

bool IsActive(unsigned long window) {
  int status = 0;
  const std::string active = X("xdotool", {"getactivewindow"}, &status);
  return status == 0 && std::strtoul(active.c_str(), nullptr, 10) == window;
}

void EnsureShown(unsigned long window) {
  if (IsViewable(window)) return;
  WaitFor([] { return TrayIcon().has_value(); });
  if (auto icon = TrayIcon()) DoubleClick(*icon);
  WaitFor([&] { return IsViewable(window); });
}

Bridge::Bridge(std::string config_home) : config_home_(std::move(config_home)) {
  log_ = config_home_ + "/bridge.log";
}

Bridge::~Bridge() {
  if (Running()) Terminate();
}

void Bridge::SetEnv(const std::string& name, const std::string& value) {
  env_.emplace_back(name, value);
}

void Bridge::Start(bool with_display, const std::vector<std::string>& args) {
  std::vector<std::string> own = {"DISPLAY",
                                  "WAYLAND_DISPLAY",
                                  "QT_QPA_PLATFORM",
                                  "XDG_CONFIG_HOME",
                                  "JACK_DEFAULT_SERVER",
                                  "AT_SPI_BUS_ADDRESS",
                                  "DBUS_SESSION_BUS_ADDRESS",
                                  "XDG_RUNTIME_DIR"};
  for (auto& [name, value] : env_) own.push_back(name);
  std::vector<std::string> env_strings;
  for (char** e = environ; *e; ++e) {
    std::string s = *e;
    bool replaced = false;
    for (auto& name : own) replaced |= s.rfind(name + "=", 0) == 0;
    if (!replaced) env_strings.push_back(s);
  }
  auto set = [&](const std::string& name) {
    for (auto& e : env_)
      if (e.first == name) return true;
    return false;
  };
  for (auto& [name, value] : env_) env_strings.push_back(name + "=" + value);
  if (with_display && !set("DISPLAY")) env_strings.push_back("DISPLAY=" + Display());
  if (!set("XDG_CONFIG_HOME")) env_strings.push_back("XDG_CONFIG_HOME=" + config_home_);
  if (!set("XDG_RUNTIME_DIR")) env_strings.push_back("XDG_RUNTIME_DIR=" + RuntimeDir());
  if (const char* jack = std::getenv("QB_JACK_SERVER");
      !set("JACK_DEFAULT_SERVER") && jack && *jack)
    env_strings.push_back(std::string("JACK_DEFAULT_SERVER=") + jack);
  std::vector<char*> envp;
  for (auto& s : env_strings) envp.push_back(s.data());
  envp.push_back(nullptr);

  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 1, log_.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  posix_spawn_file_actions_adddup2(&fa, 1, 2);
  posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
  std::string bin = binary_.empty() ? BridgeBinary() : binary_;
  std::vector<std::string> arg_strings = args;
  std::vector<char*> argv = {bin.data()};
  for (auto& a : arg_strings) argv.push_back(a.data());
  argv.push_back(nullptr);
  if (posix_spawn(&pid_, bin.c_str(), &fa, nullptr, argv.data(), envp.data()) != 0) pid_ = -1;
  posix_spawn_file_actions_destroy(&fa);
  if (pid_ < 0) throw std::runtime_error("e2e: cannot start " + bin);
}

bool Bridge::Running() const {
  return pid_ > 0 && exit_code_ < 0 && kill(pid_, 0) == 0;
}

bool Bridge::WaitExit(std::chrono::milliseconds deadline) {
  if (pid_ <= 0) return true;
  return WaitFor(
      [&] {
        int st = 0;
        pid_t r = waitpid(pid_, &st, WNOHANG);
        if (r == pid_) exit_code_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
        return exit_code_ >= 0;
      },
      deadline);
}

int Bridge::Terminate() {
  if (pid_ > 0 && exit_code_ < 0) {
    kill(pid_, SIGTERM);
    if (!WaitExit(20s)) {
      kill(pid_, SIGKILL);
      WaitExit(5s);
    }
  }
  return exit_code_;
}

std::string Bridge::Output() const {
  return ReadFile(log_);
}
std::string Bridge::SettingsFile() const {
  return config_home_ + "/quillbox/quillbox.ini";
}
std::string Bridge::Settings() const {
  return ReadFile(SettingsFile());
}

// A tracer may stop a single thread of its tracee: seized, then interrupted, the thread waits in
// a ptrace stop until the tracer lets go; the tracee's other threads never notice.
ThreadHold::ThreadHold(int tid) : tid_(tid) {
  if (::ptrace(PTRACE_SEIZE, tid_, nullptr, nullptr) != 0) return;
  if (::ptrace(PTRACE_INTERRUPT, tid_, nullptr, nullptr) != 0) {
    ::ptrace(PTRACE_DETACH, tid_, nullptr, nullptr);
    return;
  }
  int status = 0;
  held_ = ::waitpid(tid_, &status, __WALL) == tid_ && WIFSTOPPED(status);
}

ThreadHold::~ThreadHold() {
  ::ptrace(PTRACE_DETACH, tid_, nullptr, nullptr);
}

// The sink is a JACK client inside the test process: every event it sees becomes one line.
struct SinkState {
  jack_client_t* client = nullptr;
  jack_port_t* port = nullptr;
  std::mutex mutex;
  std::vector<std::string> messages;
  std::vector<std::chrono::steady_clock::time_point> times;
  std::vector<std::chrono::steady_clock::time_point> frame_times;
  std::atomic<int> xruns{0};
  // JACK's clock and the steady clock, apart by this much (both are usually the monotonic one).
  std::int64_t jack_to_steady_us = 0;
};

namespace {
SinkState sink_state;

int SinkProcess(jack_nframes_t frames, void*) {
  void* buf = jack_port_get_buffer(sink_state.port, frames);
  jack_nframes_t n = jack_midi_get_event_count(buf);
  const jack_nframes_t cycle = jack_last_frame_time(sink_state.client);
  for (jack_nframes_t i = 0; i < n; ++i) {
    jack_midi_event_t ev;
    if (jack_midi_event_get(&ev, buf, i) != 0) continue;
    std::string line;
    char hex[4];
    for (size_t k = 0; k < ev.size; ++k) {
      std::snprintf(hex, sizeof hex, k ? " %02X" : "%02X", ev.buffer[k]);
      line += hex;
    }
    const auto now = std::chrono::steady_clock::now();
    const auto frame_us =
        static_cast<std::int64_t>(jack_frames_to_time(sink_state.client, cycle + ev.time));
    const std::chrono::steady_clock::time_point frame_at{
        std::chrono::microseconds(frame_us + sink_state.jack_to_steady_us)};
    std::lock_guard lock(sink_state.mutex);  // test-only sink: a short lock is fine here
    sink_state.messages.push_back(line);
    sink_state.times.push_back(now);
    sink_state.frame_times.push_back(frame_at);
  }
  return 0;
}
}  // namespace

MidiSink::MidiSink(const std::string& server) {
  setenv("JACK_NO_START_SERVER", "1", 1);
  jack_status_t st;
  sink_state.client = jack_client_open("quillbox-e2e-sink", JackServerName, &st, server.c_str());
  if (!sink_state.client) throw std::runtime_error("e2e: cannot reach the JACK server");
  sink_state.port =
      jack_port_register(sink_state.client, "in", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
  const auto steady_us = std::chrono::duration_cast<std::chrono::microseconds>(
                             std::chrono::steady_clock::now().time_since_epoch())
                             .count();
  sink_state.jack_to_steady_us = steady_us - static_cast<std::int64_t>(jack_get_time());
  sink_state.xruns.store(0);
  jack_set_process_callback(sink_state.client, SinkProcess, nullptr);
  jack_set_xrun_callback(
      sink_state.client,
      [](void*) {
        sink_state.xruns.fetch_add(1);
        return 0;
      },
      nullptr);
  jack_activate(sink_state.client);
}

MidiSink::~MidiSink() {
  if (sink_state.client) jack_client_close(sink_state.client);
  sink_state.client = nullptr;
  std::lock_guard lock(sink_state.mutex);
  sink_state.messages.clear();
  sink_state.times.clear();
  sink_state.frame_times.clear();
}

bool MidiSink::ConnectFrom(const std::string& needle) {
  const char** ports =
      jack_get_ports(sink_state.client, needle.c_str(), JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput);
  bool any = false;
  for (int i = 0; ports && ports[i]; ++i)
    any |= jack_connect(sink_state.client, ports[i], jack_port_name(sink_state.port)) == 0;
  jack_free(ports);
  if (any) {
    // A connection carries data from a later cycle of the server on: let a few cycles run.
    const jack_nframes_t start = jack_last_frame_time(sink_state.client);
    const jack_nframes_t span = 3 * jack_get_buffer_size(sink_state.client);
    WaitFor([&] { return jack_last_frame_time(sink_state.client) - start >= span; }, 5s);
  }
  return any;
}

int MidiSink::Xruns() {
  return sink_state.xruns.load();
}

std::vector<std::string> MidiSink::Messages() {
  std::lock_guard lock(sink_state.mutex);
  return sink_state.messages;
}

std::vector<MidiSink::Timed> MidiSink::TimedMessages() {
  std::lock_guard lock(sink_state.mutex);
  std::vector<Timed> out;
  for (size_t i = 0; i < sink_state.messages.size(); ++i)
    out.push_back({sink_state.messages[i], sink_state.times[i], sink_state.frame_times[i]});
  return out;
}

bool MidiSink::WaitForMessage(const std::string& hex, std::chrono::milliseconds deadline) {
  return WaitFor(
      [&] {
        for (auto& m : Messages())
          if (m == hex) return true;
        return false;
      },
      deadline);
}

void OscSend(const std::string& host, int port, const std::string& path, const std::string& types,
             const std::vector<std::string>& args) {
  std::vector<std::string> a = {host, std::to_string(port), path, types};
  a.insert(a.end(), args.begin(), args.end());
  int status = 0;
  Run("oscsend", a, &status);
  if (status != 0) throw std::runtime_error("e2e: oscsend failed");
}

// Read from the kernel's socket table: a test bind of its own, however brief, would make a
// bridge starting at that moment fail its bind.
bool PortTaken(int port) {
  std::ifstream table("/proc/net/udp");
  std::string line;
  std::getline(table, line);  // the heading
  while (std::getline(table, line)) {
    unsigned local_port = 0;
    if (std::sscanf(line.c_str(), " %*u: %*x:%x", &local_port) == 1 &&
        local_port == static_cast<unsigned>(port))
      return true;
  }
  return false;
}

std::pair<std::string, int> ProbeReply() {
  int s = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(10000);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    close(s);
    throw std::runtime_error("e2e: port 10000 is taken");
  }
  timeval tv{20, 0};
  setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  OscSend("127.0.0.1", 10001, "/__PING", "", {});
  char buf[64];
  sockaddr_in from{};
  socklen_t fl = sizeof from;
  ssize_t n = recvfrom(s, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &fl);
  close(s);
  if (n < 0) return {};
  return {std::string(buf, static_cast<size_t>(n)), ntohs(from.sin_port)};
}

std::string Screenshot(const std::string& name, std::optional<unsigned long> window) {
  std::string path = ArtifactDir() + "/" + name + ".png";
  std::vector<std::string> args = {"-window", window ? std::to_string(*window) : "root", path};
  X("import", args);
  return path;
}

}  // namespace e2e
