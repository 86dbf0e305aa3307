// Support for end-to-end tests: the real quillbox binary on a real X server with icewm, a real
// JACK server and real peers, driven through their command-line tools.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace e2e {

using namespace std::chrono_literals;

// Environment prepared by the CTest fixtures.
std::string Display();       // ":N" of the fixture's X server
std::string JackServer();    // name of the fixture's JACK server
std::string BridgeBinary();  // path of the quillbox executable
std::string ArtifactDir();   // where screenshots are kept
// A runtime folder (XDG_RUNTIME_DIR) of this test process's own, so that the bridges it starts
// meet no other run's instance lock.
std::string RuntimeDir();

// Runs a program to its end; returns its standard output (and sets *status to the exit code).
std::string Run(const std::string& program, const std::vector<std::string>& args,
                int* status = nullptr, std::chrono::milliseconds timeout = 20s);
// Runs an X client tool against the fixture's display.
std::string X(const std::string& program, const std::vector<std::string>& args,
              int* status = nullptr);

// Polls cond every 50 ms until it holds or the deadline passes; returns the final result.
bool WaitFor(const std::function<bool()>& cond, std::chrono::milliseconds deadline = 20s);

struct Rect {
  int x = 0, y = 0, w = 0, h = 0;
};

// The top-level client window with exactly this title, if one is mapped or exists.
std::optional<unsigned long> FindWindow(const std::string& title, bool only_visible = true);
// The client area in root coordinates.
Rect ClientRect(unsigned long window);
// The frame extents the window manager reports (left, right, top, bottom), zeros if none.
Rect FrameExtents(unsigned long window);  // x=left, y=top, w=right, h=bottom
// The window's outer rectangle: client area plus frame.
Rect OuterRect(unsigned long window);
bool IsViewable(unsigned long window);
// The window manager's active window. A window being restored is mapped first and activated
// after; a minimise sent in between is undone by the activation, which no user is quick enough
// to meet, so tests that minimise right after a restore wait for this.
bool IsActive(unsigned long window);
std::vector<unsigned long> ClientList();  // _NET_CLIENT_LIST of the window manager
bool Managed(unsigned long window);       // in that list, so on the taskbar
// The ICCCM state the window manager keeps for the window: "Normal", "Iconic", or empty when
// the window is withdrawn (not managed).
std::string WmState(unsigned long window);
// The buttons of icewm's taskbar, one per window on the taskbar.
std::vector<unsigned long> TaskbarButtons();
void Click(unsigned long window, int x = 12, int y = 12);

// The icon window that icewm's notification area embeds for quillbox, if there is one.
std::optional<unsigned long> TrayIcon();
void DoubleClick(unsigned long icon);
// Brings the window back from the notification area if it went there already.
void EnsureShown(unsigned long window);

// A running bridge with its own settings folder: the built binary unless another is given, on
// the fixture's JACK server when there is one (QB_JACK_SERVER).
class Bridge {
 public:
  explicit Bridge(std::string config_home);
  ~Bridge();
  // Sets a variable for the next Start, in place of the test's own.
  void SetEnv(const std::string& name, const std::string& value);
  // The JACK server it uses (the fixture's, if any, unless set before Start).
  void SetJackServer(const std::string& name) { SetEnv("JACK_DEFAULT_SERVER", name); }
  void SetBinary(std::string path) { binary_ = std::move(path); }
  // Starts the bridge on the fixture's X server, or with none. Variables of the test's own
  // desktop session (its display, its session bus, its runtime folder) never reach the bridge
  // unless set above; its runtime folder is RuntimeDir().
  void Start(bool with_display = true, const std::vector<std::string>& args = {});
  // Closes the bridge by SIGTERM and waits for it to end; returns its exit code.
  int Terminate();
  // Waits for the process to end by itself.
  bool WaitExit(std::chrono::milliseconds deadline = 20s);
  bool Running() const;
  int Pid() const { return pid_; }
  std::string Output() const;  // standard output and error so far
  std::string SettingsFile() const;
  std::string Settings() const;  // the settings file's text

 private:
  std::string config_home_;
  std::string log_;
  std::string binary_;
  std::vector<std::pair<std::string, std::string>> env_;
  int pid_ = -1;
  int exit_code_ = -1;
};

// A JACK MIDI sink connected to the bridge's JACK output ports; collects every message as a
// line of upper-case hex bytes ("80 7F 19").
class MidiSink {
 public:
  // One sink at a time, on the fixture's JACK server unless another is named.
  explicit MidiSink(const std::string& server = JackServer());
  ~MidiSink();
  // Connects to every JACK MIDI output port whose name contains needle.
  bool ConnectFrom(const std::string& needle);
  std::vector<std::string> Messages();
  // Each message with the moment the sink's process cycle saw it, and the moment its frame
  // stands for on JACK's clock (the cycle's start plus the event's offset), which does not
  // depend on when the sink's thread happened to run.
  struct Timed {
    std::string hex;
    std::chrono::steady_clock::time_point at;
    std::chrono::steady_clock::time_point frame_at;
  };
  std::vector<Timed> TimedMessages();
  bool WaitForMessage(const std::string& hex, std::chrono::milliseconds deadline = 10s);
  // Cycles the server ran late since the sink started: events sent to a client in a cycle it
  // missed are lost on the way, so a failure's message says how many there were.
  int Xruns();
};

// One OSC message with a single float argument, as the DJ programs send it.
std::string FloatMessage(const std::string& address, float value);
// A UDP socket of the test's that sends datagrams to the bridge on 127.0.0.1.
class DatagramSender {
 public:
  DatagramSender();
  ~DatagramSender();
  DatagramSender(const DatagramSender&) = delete;
  DatagramSender& operator=(const DatagramSender&) = delete;
  void Send(const std::string& datagram, int port = 10001);

 private:
  int fd_;
};

// Sends one OSC message with liblo's oscsend: types like "f", args as text.
void OscSend(const std::string& host, int port, const std::string& path, const std::string& types,
             const std::vector<std::string>& args);

// Holds one thread of a process (its main thread: the process's own id) where it stands, while
// the process's other threads run on: what a user-interface thread stuck in a repaint, a modal
// dialog or a slow lookup looks like from outside. Released when the object goes.
class ThreadHold {
 public:
  explicit ThreadHold(int tid);
  ~ThreadHold();
  ThreadHold(const ThreadHold&) = delete;
  ThreadHold& operator=(const ThreadHold&) = delete;
  bool Held() const { return held_; }

 private:
  int tid_;
  bool held_ = false;
};

// True while some IPv4 socket is bound to this UDP port.
bool PortTaken(int port);

// Sends a /__PING probe to the bridge on 127.0.0.1:10001 and returns the first datagram that
// reaches 127.0.0.1:10000 within 20 s, with the port it came from (empty and 0 if none came).
// Throws when port 10000 is taken.
std::pair<std::string, int> ProbeReply();

// The 25-byte reply to a probe.
inline const std::string kPong{"/__PONG\0,s\0\0quillbox\0\0\0\0\0", 25};

// Saves a screenshot of the whole screen or one window as a PNG artifact; returns its path.
std::string Screenshot(const std::string& name, std::optional<unsigned long> window = {});

}  // namespace e2e
