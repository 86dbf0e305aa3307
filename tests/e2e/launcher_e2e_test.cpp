// quillbox as menus, session managers and autostart entries start it: with arguments of their
// own, and with --version and --help. Runs against the built binary (QB_BINARY) or against the
// one inside the Debian package (QB_DEB), unpacked with dpkg-deb into a temporary folder.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <cstdlib>
#include <sstream>

#include "tests/e2e/e2e_support.h"

using namespace e2e;

namespace {

std::string Binary() {
  const char* deb = std::getenv("QB_DEB");
  if (!deb || !*deb) return BridgeBinary();
  static QTemporaryDir root;
  static const std::string unpacked = [&] {
    int status = -1;
    Run("dpkg-deb", {"-x", deb, root.path().toStdString()}, &status, 60s);
    return status == 0 ? root.path().toStdString() + "/usr/bin/quillbox" : std::string();
  }();
  return unpacked;
}

struct Outcome {
  int status = -1;
  std::string out, err;
};

// Runs the binary to its end with a settings folder of its own and, unless asked, no display.
Outcome RunBinary(const std::vector<std::string>& args, const std::string& display = "") {
  QTemporaryDir config;
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) env.remove(name);
  if (!display.empty()) env.insert("DISPLAY", QString::fromStdString(display));
  env.insert("XDG_CONFIG_HOME", config.path());
  env.insert("XDG_RUNTIME_DIR", QString::fromStdString(RuntimeDir()));
  QProcess p;
  p.setProcessEnvironment(env);
  QStringList a;
  for (const auto& s : args) a << QString::fromStdString(s);
  p.start(QString::fromStdString(Binary()), a);
  Outcome o;
  if (p.waitForFinished(20000) && p.exitStatus() == QProcess::NormalExit) o.status = p.exitCode();
  if (p.state() != QProcess::NotRunning) p.kill(), p.waitForFinished(2000);
  o.out = p.readAllStandardOutput().toStdString();
  o.err = p.readAllStandardError().toStdString();
  return o;
}

std::vector<std::string> LinesWith(const std::string& text, const std::string& needle) {
  std::vector<std::string> found;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);)
    if (line.find(needle) != std::string::npos) found.push_back(line);
  return found;
}

}  // namespace

TEST(Launcher, VersionPrintsTheProjectVersionWithoutNeedingADisplay) {
  ASSERT_FALSE(Binary().empty());
  const std::string expected = "quillbox " + std::string(std::getenv("QB_VERSION")) + "\n";
  // No display at all, and a display nobody serves: neither is needed.
  for (const std::string display : {"", ":9999"}) {
    SCOPED_TRACE(display);
    const Outcome o = RunBinary({"--version"}, display);
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(o.out, expected);
  }
  // Among a launcher's own arguments too.
  const Outcome o = RunBinary({"-session", "1234", "--version"});
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.out, expected);
}

TEST(Launcher, HelpNamesThePortsTheSettingsFileAndThatNoOptionIsNeeded) {
  ASSERT_FALSE(Binary().empty());
  for (const std::string flag : {"--help", "-h"}) {
    SCOPED_TRACE(flag);
    const Outcome o = RunBinary({flag}, ":9999");
    EXPECT_EQ(o.status, 0) << o.err;
    for (const char* part :
         {"Usage: quillbox", "Traktor", "VirtualDJ", "MIDI", "UDP port 10001", "UDP port 10000",
          "/__PING", "/quillbox/quillbox.ini", "It needs no options", "--version"})
      EXPECT_NE(o.out.find(part), std::string::npos) << part << " missing in\n" << o.out;
    EXPECT_EQ(o.err, "");
  }
}

// Every case starts the bridge headless, waits until it listens, sends a probe and closes it.
TEST(Launcher, OtherArgumentsAreIgnoredWithOneLineAndTheBridgeStartsAsAlways) {
  ASSERT_FALSE(Binary().empty());
  struct Row {
    std::vector<std::string> args;
    std::vector<std::string> reported;  // named in the one line on standard error
  };
  const Row rows[] = {
      {{"--stray-argument"}, {"'--stray-argument'"}},
      {{"%U", "file:///tmp/set.nml"}, {"'%U'", "'file:///tmp/set.nml'"}},
      {{"line\nbreak"}, {"'line?break'"}},
      // Qt's own arguments are Qt's: nothing to report.
      {{"-platform", "offscreen", "-session", "1234_5678"}, {}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.args.front());
    QTemporaryDir config;
    Bridge bridge(config.path().toStdString());
    bridge.SetBinary(Binary());
    bridge.Start(/*with_display=*/false, row.args);
    ASSERT_TRUE(WaitFor([] { return PortTaken(10001); })) << bridge.Output();
    const auto [reply, from_port] = ProbeReply();
    EXPECT_EQ(reply, kPong) << bridge.Output();
    EXPECT_EQ(from_port, 10001);
    EXPECT_EQ(bridge.Terminate(), 0) << bridge.Output();

    const std::vector<std::string> lines = LinesWith(bridge.Output(), "ignoring");
    if (row.reported.empty()) {
      EXPECT_TRUE(lines.empty()) << bridge.Output();
    } else {
      ASSERT_EQ(lines.size(), 1u) << bridge.Output();
      for (const auto& name : row.reported)
        EXPECT_NE(lines[0].find(name), std::string::npos) << name << " not in " << lines[0];
    }
  }
}

// As a service runs it: no display, so nobody would see an error box. The error goes to standard
// error (which the journal keeps) at once, as one line, and the bridge still ends cleanly.
TEST(Launcher, WithoutADisplayAnErrorGoesToStandardErrorNotToABox) {
  ASSERT_FALSE(Binary().empty());
  // Port 10001 held by someone else: the bridge's bind fails.
  const int holder = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(10001);
  a.sin_addr.s_addr = htonl(INADDR_ANY);
  ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr*>(&a), sizeof a), 0) << "port 10001 is in use";

  QTemporaryDir config;
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) env.remove(name);
  env.insert("XDG_CONFIG_HOME", config.path());
  env.insert("XDG_RUNTIME_DIR", QString::fromStdString(RuntimeDir()));
  QProcess p;
  p.setProcessEnvironment(env);
  p.start(QString::fromStdString(Binary()), {});
  ASSERT_TRUE(p.waitForStarted(20000));
  std::string err;
  const bool reported = WaitFor([&] {
    p.waitForReadyRead(50);
    err += p.readAllStandardError().toStdString();
    return !LinesWith(err, "'Bind'").empty();
  });
  // Nobody could see it deaf: it ends by itself, for a service manager to start it again.
  const bool ended = p.state() == QProcess::NotRunning || p.waitForFinished(20000);
  close(holder);
  err += p.readAllStandardError().toStdString();
  if (!ended) p.kill(), p.waitForFinished(2000);
  ASSERT_TRUE(reported) << "standard error:\n" << err;
  const std::vector<std::string> lines = LinesWith(err, "'Bind'");
  ASSERT_EQ(lines.size(), 1u) << err;
  // The box's title and text on one line: the program's name, the cause and the call.
  EXPECT_EQ(lines[0].rfind("quillbox: ", 0), 0u) << lines[0];
  EXPECT_NE(lines[0].find("Address already in use"), std::string::npos) << lines[0];
  ASSERT_TRUE(ended) << err;
  EXPECT_EQ(p.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(p.exitCode(), 1) << err;
}
