// One bridge per user and display session: a second start brings the running bridge's window
// back from the notification area and ends; a bridge that was killed does not keep the next one
// from starting; another user's bridge is not this user's and still meets the port taken.
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QTemporaryDir>
#include <sstream>

#include "tests/e2e/e2e_support.h"

using namespace e2e;

namespace {

const std::string kTitle = "brindle's quillbox";

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

bool InTray(unsigned long w) {
  return !IsViewable(w) && !Managed(w);
}

// Ready as a user finds it: listening, and with a display gone to the notification area.
std::optional<unsigned long> StartAndSettle(Bridge& bridge, bool with_display) {
  bridge.Start(with_display);
  EXPECT_TRUE(WaitFor([] { return PortTaken(10001); })) << bridge.Output();
  if (!with_display) return std::nullopt;
  std::optional<unsigned long> w;
  EXPECT_TRUE(WaitFor([&] { return (w = FindWindow(kTitle, false)).has_value(); }));
  EXPECT_TRUE(w && WaitFor([&] { return InTray(*w) && TrayIcon().has_value(); }))
      << bridge.Output();
  return w;
}

}  // namespace

TEST(SingleInstanceE2E, ASecondStartShowsTheRunningBridgeAndEndsWithOneLine) {
  for (const bool with_display : {true, false}) {
    SCOPED_TRACE(with_display ? "on the X display" : "headless");
    QTemporaryDir config;
    Bridge first(config.path().toStdString());
    const auto w = StartAndSettle(first, with_display);
    ASSERT_FALSE(HasFatalFailure());

    // A settings folder of its own only so that its output is its own: the lock is the user's.
    QTemporaryDir second_config;
    Bridge second(second_config.path().toStdString());
    const auto started = std::chrono::steady_clock::now();
    second.Start(with_display);
    ASSERT_TRUE(second.WaitExit(20s)) << second.Output();
    const auto took = std::chrono::steady_clock::now() - started;
    EXPECT_EQ(second.Terminate(), 0) << second.Output();
    const auto lines = Lines(second.Output());
    ASSERT_EQ(lines.size(), 1u) << second.Output();
    EXPECT_NE(lines[0].find("already running"), std::string::npos) << lines[0];
    EXPECT_NE(lines[0].find(std::to_string(first.Pid())), std::string::npos) << lines[0];
    EXPECT_LT(took, 5s);
    std::printf("second start ended after %lld ms\n",
                static_cast<long long>(
                    std::chrono::duration_cast<std::chrono::milliseconds>(took).count()));

    if (w) {
      EXPECT_TRUE(WaitFor([&] { return IsViewable(*w) && Managed(*w); })) << first.Output();
    }
    EXPECT_TRUE(first.Running());
    const auto [reply, from_port] = ProbeReply();
    EXPECT_EQ(reply, kPong) << first.Output();
    EXPECT_EQ(first.Terminate(), 0) << first.Output();
  }
}

TEST(SingleInstanceE2E, ABridgeKilledOutrightDoesNotKeepTheNextFromStarting) {
  for (const bool with_display : {true, false}) {
    SCOPED_TRACE(with_display ? "on the X display" : "headless");
    QTemporaryDir config;
    {
      Bridge killed(config.path().toStdString());
      StartAndSettle(killed, with_display);
      ASSERT_FALSE(HasFatalFailure());
      kill(killed.Pid(), SIGKILL);
      ASSERT_TRUE(killed.WaitExit());
    }
    ASSERT_TRUE(WaitFor([] { return !PortTaken(10001); }));
    // What it left behind: its lock and its socket.
    const QStringList left = QDir(QString::fromStdString(RuntimeDir()))
                                 .entryList({"quillbox-*"}, QDir::Files | QDir::System);
    EXPECT_EQ(left.size(), 2) << left.join(' ').toStdString();

    MidiSink sink;
    Bridge next(config.path().toStdString());
    StartAndSettle(next, with_display);
    ASSERT_TRUE(WaitFor([&] { return sink.ConnectFrom("quillbox"); })) << next.Output();
    OscSend("127.0.0.1", 10001, "/Traktor.Deck0.Beat", "f", {"1.0"});
    EXPECT_TRUE(sink.WaitForMessage("80 7F 19")) << next.Output();
    EXPECT_EQ(next.Output().find("already running"), std::string::npos) << next.Output();
    EXPECT_EQ(next.Terminate(), 0) << next.Output();
  }
}

// A bridge that holds the lock but is stopped (SIGSTOP: alive, so its lock is not stale) does not
// answer: the second start says so and fails, rather than run a second bridge beside it.
TEST(SingleInstanceE2E, ASecondStartBesideAHungBridgeFailsWithOneLine) {
  QTemporaryDir config, second_config;
  Bridge hung(config.path().toStdString());
  StartAndSettle(hung, false);
  ASSERT_FALSE(HasFatalFailure());
  kill(hung.Pid(), SIGSTOP);
  Bridge second(second_config.path().toStdString());
  second.Start(false);
  const bool ended = second.WaitExit(30s);
  kill(hung.Pid(), SIGCONT);
  ASSERT_TRUE(ended) << second.Output();
  EXPECT_EQ(second.Terminate(), 1) << second.Output();
  const auto lines = Lines(second.Output());
  ASSERT_EQ(lines.size(), 1u) << second.Output();
  EXPECT_NE(lines[0].find("does not answer"), std::string::npos) << lines[0];
  EXPECT_NE(lines[0].find(std::to_string(hung.Pid())), std::string::npos) << lines[0];
  EXPECT_EQ(hung.Terminate(), 0) << hung.Output();
}

// Another user on the same machine (nobody, through setpriv) has a lock of its own: it is not
// sent to this user's bridge but starts, and its bind fails with the usual message; without a
// display it then ends with a failure.
TEST(SingleInstanceE2E, AnotherUsersStartMeetsThePortTakenNotThisUsersBridge) {
  const passwd* pw = getpwnam("nobody");
  if (!pw || geteuid() != 0) GTEST_SKIP() << "needs root and the user nobody";
  QTemporaryDir config;
  Bridge mine(config.path().toStdString());
  StartAndSettle(mine, false);
  ASSERT_FALSE(HasFatalFailure());

  QTemporaryDir theirs;
  const std::string home = theirs.path().toStdString();
  QDir().mkpath(theirs.path() + "/config");
  QDir().mkpath(theirs.path() + "/runtime");
  for (const std::string& dir : {home, home + "/config", home + "/runtime"})
    ASSERT_EQ(chown(dir.c_str(), pw->pw_uid, pw->pw_gid), 0) << dir;
  ASSERT_EQ(chmod((home + "/runtime").c_str(), 0700), 0);  // as a runtime folder must be
  Bridge other(home + "/config");
  other.SetBinary("/usr/bin/setpriv");
  other.SetEnv("XDG_RUNTIME_DIR", home + "/runtime");
  other.SetJackServer("quillbox-none");
  other.Start(false,
              {"--reuid=" + std::to_string(pw->pw_uid), "--regid=" + std::to_string(pw->pw_gid),
               "--clear-groups", "--", BridgeBinary()});
  EXPECT_TRUE(WaitFor([&] {
    return other.Output().find("'Bind'") != std::string::npos || !other.Running();
  })) << other.Output();
  const std::string out = other.Output();
  EXPECT_NE(out.find("Address already in use"), std::string::npos) << out;
  EXPECT_EQ(out.find("already running"), std::string::npos) << out;
  EXPECT_TRUE(other.WaitExit(10s)) << out;
  EXPECT_EQ(other.Terminate(), 1) << out;
  // Its own lock, given up as it ended.
  EXPECT_FALSE(QFile::exists(theirs.path() + "/runtime/quillbox-offscreen.lock")) << out;
  EXPECT_EQ(mine.Terminate(), 0) << mine.Output();
}
