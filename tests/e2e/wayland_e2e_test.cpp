// quillbox in a Wayland session without a tray, as on GNOME without the AppIndicator
// extension: weston's headless backend as the compositor, whose protocol log shows what the
// bridge asks of it, and assistive technology on the session bus as the user's hands (Wayland
// has no way for one client to click into another).
#include <gtest/gtest.h>

#include <QDBusArgument>
#include <QDBusObjectPath>
#include <QDir>
#include <QTemporaryDir>
#include <fstream>
#include <regex>
#include <sstream>

#include "tests/e2e/dbus_support.h"
#include "tests/e2e/e2e_support.h"

using namespace e2e;

namespace {

std::string WestonState(const char* file) {
  std::ifstream f(std::string(std::getenv("QB_WESTON_STATE")) + "/" + file);
  std::string s;
  std::getline(f, s);
  return s;
}

// What one client asked of the compositor for its window titled "brindle's quillbox", read
// from weston's protocol log from a given offset on.
// Qt fixes the window's size with the toplevel's maximum (and minimum) size, which leaves out
// its decorations, and tells the full size, decorations included, as the window geometry of
// each new frame. A minimised window draws no frames, so its size is the last fixed size plus
// the decorations as the last frame showed them.
struct CompositorView {
  bool found = false;
  std::pair<int, int> fixed{0, 0};       // the last maximum size
  std::pair<int, int> decoration{0, 0};  // window geometry minus the fixed size at the last frame
  bool framed = false;                   // a window geometry has been set
  bool minimised = false;
  bool destroyed = false;  // the window (its toplevel) was taken down

  std::pair<int, int> OuterSize() const {
    return {fixed.first + decoration.first, fixed.second + decoration.second};
  }
};

CompositorView ReadCompositorLog(std::streamoff from) {
  std::ifstream log(std::string(std::getenv("QB_WESTON_STATE")) + "/weston.log");
  log.seekg(from);
  static const std::regex request(R"(client (0x[0-9a-f]+) rq (\w+)@(\d+)\.(\w+)\((.*)\)$)");
  std::map<std::pair<std::string, std::string>, std::string> surface_of;  // toplevel -> surface
  std::string client, toplevel, surface;
  CompositorView view;
  std::string line;
  std::smatch m;
  while (std::getline(log, line)) {
    if (!std::regex_search(line, m, request)) continue;
    const std::string c = m[1], iface = m[2], id = m[3], method = m[4], args = m[5];
    if (iface == "xdg_surface" && method == "get_toplevel") {
      const auto at = args.find("xdg_toplevel@");
      if (at != std::string::npos) surface_of[{c, args.substr(at + 13)}] = id;
      continue;
    }
    if (!view.found) {
      if (iface == "xdg_toplevel" && method == "set_title" && args == "\"brindle's quillbox\"") {
        view.found = true;
        client = c;
        toplevel = id;
        surface = surface_of[{c, id}];
      }
      continue;
    }
    if (c != client) continue;
    int x, y, w, h;
    if (iface == "xdg_toplevel" && id == toplevel && method == "set_max_size" &&
        std::sscanf(args.c_str(), "%d, %d", &w, &h) == 2)
      view.fixed = {w, h};
    if (iface == "xdg_surface" && id == surface && method == "set_window_geometry" &&
        std::sscanf(args.c_str(), "%d, %d, %d, %d", &x, &y, &w, &h) == 4) {
      view.decoration = {w - view.fixed.first, h - view.fixed.second};
      view.framed = true;
    }
    if (iface == "xdg_toplevel" && id == toplevel && method == "set_minimized")
      view.minimised = true;
    if (iface == "xdg_toplevel" && id == toplevel && method == "destroy") view.destroyed = true;
  }
  return view;
}

std::streamoff CompositorLogSize() {
  std::ifstream log(std::string(std::getenv("QB_WESTON_STATE")) + "/weston.log",
                    std::ios::ate | std::ios::binary);
  return log.tellg();
}

// The bridge's accessible objects, reached as a screen reader reaches them.
class Accessibility {
 public:
  explicit Accessibility(BusClient& bus) : bus_(bus) {}

  // Finds the connection that exports the application's accessible root.
  bool Find() {
    for (const QString& name : bus_.Names()) {
      if (!name.startsWith(QLatin1Char(':'))) continue;
      QDBusMessage r = bus_.Call(name, kRoot, kAccessible, QStringLiteral("GetChildren"));
      if (r.type() == QDBusMessage::ReplyMessage && !Children(r).empty()) {
        service_ = name;
        return true;
      }
    }
    return false;
  }

  // The first object below the root with this role and name.
  std::optional<QString> Object(uint role, const QString& name) {
    std::vector<QString> queue = {kRoot};
    for (size_t i = 0; i < queue.size() && i < 500; ++i) {
      const QString path = queue[i];
      if (path != kRoot && (role == kAnyRole || Role(path) == role) &&
          bus_.Property(service_, path, kAccessible, QStringLiteral("Name")).toString() == name)
        return path;
      QDBusMessage r = bus_.Call(service_, path, kAccessible, QStringLiteral("GetChildren"));
      for (const QString& child : Children(r)) queue.push_back(child);
    }
    return std::nullopt;
  }

  // Runs the object's action of this name ("Toggle", "Press").
  bool Act(const QString& path, const QString& action) {
    QDBusMessage r = bus_.Call(service_, path, kAction, QStringLiteral("GetActions"));
    if (r.type() != QDBusMessage::ReplyMessage || r.arguments().isEmpty()) return false;
    const QDBusArgument arg = r.arguments().first().value<QDBusArgument>();
    int index = -1;
    arg.beginArray();
    for (int i = 0; !arg.atEnd(); ++i) {
      QString name, description, keys;
      arg.beginStructure();
      arg >> name >> description >> keys;
      arg.endStructure();
      if (name.compare(action, Qt::CaseInsensitive) == 0 && index < 0) index = i;
    }
    arg.endArray();
    if (index < 0) return false;
    r = bus_.Call(service_, path, kAction, QStringLiteral("DoAction"), {index});
    return r.type() == QDBusMessage::ReplyMessage;
  }

  // The object's states as the bit numbers of the accessibility protocol.
  bool HasState(const QString& path, int state) {
    QDBusMessage r = bus_.Call(service_, path, kAccessible, QStringLiteral("GetState"));
    if (r.type() != QDBusMessage::ReplyMessage || r.arguments().isEmpty()) return false;
    QList<uint> words;
    r.arguments().first().value<QDBusArgument>() >> words;
    return words.size() > state / 32 && (words[state / 32] >> (state % 32) & 1);
  }

  static constexpr uint kAnyRole = ~0u;
  static constexpr uint kRoleCheckBox = 7;
  static constexpr int kStateVisible = 30;

 private:
  uint Role(const QString& path) {
    QDBusMessage r = bus_.Call(service_, path, kAccessible, QStringLiteral("GetRole"));
    return r.arguments().isEmpty() ? 0 : r.arguments().first().toUInt();
  }
  static std::vector<QString> Children(const QDBusMessage& reply) {
    std::vector<QString> paths;
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) return paths;
    const QDBusArgument arg = reply.arguments().first().value<QDBusArgument>();
    arg.beginArray();
    while (!arg.atEnd()) {
      QString service;
      QDBusObjectPath path;
      arg.beginStructure();
      arg >> service >> path;
      arg.endStructure();
      paths.push_back(path.path());
    }
    arg.endArray();
    return paths;
  }

  inline static const QString kRoot = QStringLiteral("/org/a11y/atspi/accessible/root");
  inline static const QString kAccessible = QStringLiteral("org.a11y.atspi.Accessible");
  inline static const QString kAction = QStringLiteral("org.a11y.atspi.Action");
  BusClient& bus_;
  QString service_;
};

// A Wayland session as GNOME starts it: no X display, the session type says Wayland.
void InWaylandSession(Bridge& bridge) {
  bridge.SetEnv("XDG_SESSION_TYPE", "wayland");
  bridge.SetEnv("XDG_RUNTIME_DIR", WestonState("runtime"));
  bridge.SetEnv("WAYLAND_DISPLAY", WestonState("display"));
  bridge.SetEnv("DBUS_SESSION_BUS_ADDRESS", BusAddress());
  // Under the sanitizers: Mesa's EGL driver, which Qt's wayland platform loads, is unloaded
  // before the leak check, so only a full unwind shows that its leaks are its own.
  if (const char* asan = std::getenv("ASAN_OPTIONS"))
    bridge.SetEnv("ASAN_OPTIONS", std::string(asan) + ":fast_unwind_on_malloc=0");
}

class WaylandE2E : public ::testing::Test {
 protected:
  QTemporaryDir config;
  Bridge bridge{config.path().toStdString()};
  DesktopPeer a11y{QStringLiteral("a11y")};
  BusClient bus;
  std::streamoff log_from = 0;

  void SetUp() override {
    ASSERT_TRUE(a11y.Start()) << a11y.Output();
    InWaylandSession(bridge);
  }

  void Start() {
    log_from = CompositorLogSize();
    bridge.Start(/*with_display=*/false);
  }
  CompositorView View() { return ReadCompositorLog(log_from); }
};

}  // namespace

TEST_F(WaylandE2E, WaylandWindowIsCompactGrowsToDebugAndStaysReachableWithoutATray) {
  Start();
  CompositorView view;
  ASSERT_TRUE(WaitFor([&] { return (view = View()).found && view.framed; })) << bridge.Output();
  // The frame is drawn by the window itself here and comes after its first show.
  EXPECT_TRUE(WaitFor([&] { return (view = View()).OuterSize() == std::make_pair(165, 120); }))
      << view.OuterSize().first << " x " << view.OuterSize().second << "\n"
      << bridge.Output();

  // Two seconds after start: minimised (to the dock or the overview, where the user finds it),
  // not taken down, since there is no tray to bring it back from.
  ASSERT_TRUE(WaitFor([&] { return (view = View()).minimised; })) << bridge.Output();
  Accessibility ax(bus);
  ASSERT_TRUE(WaitFor([&] { return ax.Find(); })) << a11y.Output() << bridge.Output();
  const auto frame = ax.Object(Accessibility::kAnyRole, QStringLiteral("brindle's quillbox"));
  ASSERT_TRUE(frame);
  EXPECT_TRUE(ax.HasState(*frame, Accessibility::kStateVisible));
  EXPECT_FALSE(View().destroyed);

  // "Debug" by the user's hands: the debug size, then the compact size again.
  const auto debug = ax.Object(Accessibility::kRoleCheckBox, QStringLiteral("Debug"));
  ASSERT_TRUE(debug);
  for (auto size : {std::make_pair(700, 800), std::make_pair(165, 120)}) {
    ASSERT_TRUE(ax.Act(*debug, QStringLiteral("Toggle")));
    EXPECT_TRUE(WaitFor([&] { return View().OuterSize() == size; }))
        << size.first << " x " << size.second << "\n"
        << bridge.Output();
  }
  EXPECT_FALSE(View().destroyed);
  EXPECT_EQ(bridge.Terminate(), 0) << bridge.Output();
}

TEST_F(WaylandE2E, WaylandBeatsFlowAndSigtermKeepsTheStoredPosition) {
  // Wayland tells a client neither where its window is nor lets it choose: the position that
  // start-up read (or the window's own default) is what is written back, so the next start on
  // X11 puts the window where the user last had it there.
  struct Row {
    const char* stored;  // settings before the run, empty: first run
    const char* beat;
    std::vector<std::string> written;
  };
  const Row rows[] = {
      {"", "80 7F 19", {"xpos=172", "ypos=262", "channel=1"}},
      {"Quillbox\\Device=0\nQuillbox\\xpos=50\nQuillbox\\ypos=300\nQuillbox\\channel=17\n",
       "90 7F 19",
       {"xpos=50", "ypos=300", "channel=17"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.stored);
    QTemporaryDir home;
    Bridge run(home.path().toStdString());
    InWaylandSession(run);
    if (*row.stored) {
      QDir().mkpath(home.path() + "/quillbox");
      std::ofstream(run.SettingsFile()) << "[Software]\n" << row.stored;
    }
    MidiSink sink;
    log_from = CompositorLogSize();
    run.Start(/*with_display=*/false);
    ASSERT_TRUE(WaitFor([&] { return View().found; })) << run.Output();
    ASSERT_TRUE(WaitFor([&] { return sink.ConnectFrom("quillbox"); })) << run.Output();
    // Wait until the window has been on screen a while (its first frames are configured and
    // Qt has learnt what little the compositor tells), then beat.
    ASSERT_TRUE(WaitFor([&] { return View().minimised; })) << run.Output();
    OscSend("127.0.0.1", 10001, "/Traktor.Deck0.Beat", "f", {"1.0"});
    EXPECT_TRUE(sink.WaitForMessage(row.beat)) << run.Output();

    EXPECT_EQ(run.Terminate(), 0) << run.Output();
    const std::string ini = run.Settings();
    for (const std::string& value : row.written)
      EXPECT_NE(ini.find(value), std::string::npos) << ini;
  }
}
