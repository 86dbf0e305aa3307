// quillbox on a desktop whose tray is a StatusNotifierItem host (KDE Plasma, GNOME with the
// AppIndicator extension): a watcher and host on a private session bus, an X11 window manager
// with a taskbar and no XEmbed notification area.
#include <gtest/gtest.h>

#include <QDBusArgument>
#include <QImage>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdlib>
#include <functional>

#include "tests/e2e/dbus_support.h"
#include "tests/e2e/e2e_support.h"

using namespace e2e;

namespace {

const std::string kTitle = "brindle's quillbox";
const QString kWatcher = QStringLiteral("org.kde.StatusNotifierWatcher");
const QString kItemInterface = QStringLiteral("org.kde.StatusNotifierItem");

struct Item {
  QString service, path;
};

// The item's IconPixmap entry of the given size as an image (ARGB32, bytes in network order).
QImage Pixmap(const QVariant& property, int size) {
  const QDBusArgument arg = property.value<QDBusArgument>();
  QImage found;
  arg.beginArray();
  while (!arg.atEnd()) {
    int w = 0, h = 0;
    QByteArray data;
    arg.beginStructure();
    arg >> w >> h >> data;
    arg.endStructure();
    if (w != size || h != size || data.size() != w * h * 4) continue;
    found = QImage(w, h, QImage::Format_ARGB32);
    const auto* p = reinterpret_cast<const uchar*>(data.constData());
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x, p += 4) found.setPixel(x, y, qRgba(p[1], p[2], p[3], p[0]));
  }
  arg.endArray();
  return found;
}

// The tooltip's title and text (the ToolTip property is (icon name, pixmaps, title, text)).
std::pair<QString, QString> ToolTip(const QVariant& property) {
  const QDBusArgument arg = property.value<QDBusArgument>();
  QString icon, title, text;
  arg.beginStructure();
  arg >> icon;
  arg.beginArray();
  while (!arg.atEnd()) {
    int w, h;
    QByteArray data;
    arg.beginStructure();
    arg >> w >> h >> data;
    arg.endStructure();
  }
  arg.endArray();
  arg >> title >> text;
  arg.endStructure();
  return {title, text};
}

class StatusNotifierE2E : public ::testing::Test {
 protected:
  QTemporaryDir config;
  Bridge bridge{config.path().toStdString()};
  DesktopPeer watcher{QStringLiteral("watcher")};
  BusClient bus;

  void SetUp() override {
    ASSERT_TRUE(watcher.Start()) << watcher.Output();
    bridge.SetEnv("DBUS_SESSION_BUS_ADDRESS", BusAddress());
  }

  std::vector<Item> Items() {
    std::vector<Item> items;
    const QStringList ids = bus.Property(kWatcher, QStringLiteral("/StatusNotifierWatcher"),
                                         kWatcher, QStringLiteral("RegisteredStatusNotifierItems"))
                                .toStringList();
    for (const QString& id : ids) {
      const auto slash = id.indexOf(QLatin1Char('/'));
      items.push_back({id.left(slash), id.mid(slash)});
    }
    return items;
  }
  std::optional<Item> WaitForItem() {
    std::vector<Item> items;
    if (!WaitFor([&] { return (items = Items()).size() == 1; })) return std::nullopt;
    return items.front();
  }
  QVariant Property(const Item& item, const char* name) {
    return bus.Property(item.service, item.path, kItemInterface, QString::fromLatin1(name));
  }
  // The tooltip's state line (its second), once cond holds of it; the last one read otherwise.
  std::string StateLine(const Item& item, const std::function<bool(const std::string&)>& cond,
                        std::chrono::milliseconds deadline = 20s) {
    std::string line;
    WaitFor(
        [&] {
          line = ToolTip(Property(item, "ToolTip"))
                     .first.section(QLatin1Char('\n'), 1, 1)
                     .toStdString();
          return cond(line);
        },
        deadline);
    return line;
  }
  void Activate(const Item& item) {
    QDBusMessage r =
        bus.Call(item.service, item.path, kItemInterface, QStringLiteral("Activate"), {0, 0});
    EXPECT_EQ(r.type(), QDBusMessage::ReplyMessage) << r.errorMessage().toStdString();
  }
};

// Hidden: neither mapped nor on the taskbar; only the item reaches it.
bool Hidden(unsigned long w) {
  return !IsViewable(w) && !Managed(w) && TaskbarButtons().empty();
}
bool Shown(unsigned long w) {
  return IsViewable(w) && Managed(w);
}

}  // namespace

TEST_F(StatusNotifierE2E, StatusNotifierItemIsTheYellowOAndActivateBringsTheWindowBack) {
  bridge.Start();
  std::optional<unsigned long> w;
  ASSERT_TRUE(WaitFor([&] { return (w = FindWindow(kTitle)).has_value(); })) << bridge.Output();
  const auto item = WaitForItem();
  ASSERT_TRUE(item) << watcher.Output() << bridge.Output();
  ASSERT_TRUE(WaitFor([&] { return Hidden(*w); })) << bridge.Output();

  // The "O": a 16 x 16 yellow square in a black frame, with the letter's ink in the middle and
  // the letter's hole in the middle of the ink.
  const QImage icon = Pixmap(Property(*item, "IconPixmap"), 16);
  ASSERT_FALSE(icon.isNull()) << "no 16 x 16 pixmap";
  icon.save(QString::fromStdString(ArtifactDir() + "/statusnotifier-icon.png"));
  const QRgb black = qRgb(0, 0, 0), yellow = qRgb(255, 255, 0);
  for (int i = 0; i < 16; ++i) {
    EXPECT_EQ(icon.pixel(i, 0), black) << i;
    EXPECT_EQ(icon.pixel(i, 15), black) << i;
    EXPECT_EQ(icon.pixel(0, i), black) << i;
    EXPECT_EQ(icon.pixel(15, i), black) << i;
  }
  QRect ink;
  for (int y = 1; y < 15; ++y)
    for (int x = 1; x < 15; ++x)
      if (icon.pixel(x, y) != yellow) ink |= QRect(x, y, 1, 1);
  EXPECT_EQ(icon.pixel(1, 1), yellow);
  ASSERT_FALSE(ink.isEmpty());
  EXPECT_EQ(icon.pixel(ink.center()), yellow);
  EXPECT_GE(ink.width(), 4);
  EXPECT_GE(ink.height(), 6);

  // The tip is the title; its first line is the program's name.
  const auto [title, text] = ToolTip(Property(*item, "ToolTip"));
  EXPECT_EQ(title.section(QLatin1Char('\n'), 0, 0), QStringLiteral("quillbox"))
      << title.toStdString();

  // The panel's primary action brings the window back as it was.
  Activate(*item);
  ASSERT_TRUE(WaitFor([&] { return Shown(*w); })) << bridge.Output();
  const Rect outer = OuterRect(*w);
  EXPECT_EQ(outer.x, 262);
  EXPECT_EQ(outer.y, 172);
  EXPECT_EQ(outer.w, 165);
  EXPECT_EQ(outer.h, 120);
}

TEST_F(StatusNotifierE2E, StatusNotifierItemComesBackAfterTheWatcherRestartsAndGoesAtExit) {
  bridge.Start();
  std::optional<unsigned long> w;
  ASSERT_TRUE(WaitFor([&] { return (w = FindWindow(kTitle)).has_value(); })) << bridge.Output();
  ASSERT_TRUE(WaitForItem()) << watcher.Output() << bridge.Output();
  ASSERT_TRUE(WaitFor([&] { return Hidden(*w); })) << bridge.Output();

  // The panel restarts (a crash, a new session of the shell).
  ASSERT_TRUE(watcher.Stop());
  ASSERT_TRUE(watcher.Start()) << watcher.Output();
  const auto item = WaitForItem();
  ASSERT_TRUE(item) << watcher.Output() << bridge.Output();
  EXPECT_EQ(ToolTip(Property(*item, "ToolTip")).first.section(QLatin1Char('\n'), 0, 0),
            QStringLiteral("quillbox"));

  // The item that came back still works, as often as the user wants.
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    Activate(*item);
    ASSERT_TRUE(WaitFor([&] { return Shown(*w) && IsActive(*w); })) << bridge.Output();
    X("xdotool", {"windowminimize", std::to_string(*w)});
    ASSERT_TRUE(WaitFor([&] { return Hidden(*w); })) << bridge.Output();
  }

  EXPECT_EQ(bridge.Terminate(), 0) << bridge.Output();
  EXPECT_TRUE(WaitFor([&] { return Items().empty(); })) << watcher.Output();
}

// The tip tells at a glance where OSC comes from and where MIDI goes: here the monitor device, as
// on a machine without a MIDI system, whose connections nobody can count.
TEST_F(StatusNotifierE2E, ToolTipNamesTheSenderThePortAndTheDeviceAndWarnsOfSilence) {
  bridge.Start();
  const auto item = WaitForItem();
  ASSERT_TRUE(item) << watcher.Output() << bridge.Output();
  ASSERT_TRUE(WaitFor([] { return PortTaken(10001); }));
  auto starts = [](const std::string& start) {
    return [start](const std::string& line) { return line.rfind(start, 0) == 0; };
  };
  EXPECT_EQ(StateLine(*item, starts("UDP 10001 · no OSC yet")),
            "UDP 10001 · no OSC yet · MIDI quillbox monitor (stdout)");

  OscSend("127.0.0.1", 10001, "/Traktor.XFader", "f", {"0.5"});
  const std::string fresh = StateLine(*item, starts("UDP 10001 · OSC 127.0.0.1 "));
  EXPECT_EQ(fresh.rfind("UDP 10001 · OSC 127.0.0.1 ", 0), 0u) << fresh;
  const std::string device = " s ago · MIDI quillbox monitor (stdout)";
  EXPECT_EQ(fresh.substr(fresh.size() - std::min(fresh.size(), device.size())), device) << fresh;

  // Five seconds without OSC: the warning leads.
  const std::string silent = StateLine(*item, starts("OSC silent "), 30s);
  EXPECT_NE(silent.find("OSC silent "), std::string::npos) << silent;
  EXPECT_NE(silent.find(" (from 127.0.0.1) · UDP 10001 · MIDI quillbox monitor (stdout)"),
            std::string::npos)
      << silent;
  EXPECT_EQ(bridge.Terminate(), 0) << bridge.Output();
}

// On a JACK server the bridge's own port comes first, and the tip counts its connections as the
// patchbay makes them.
TEST_F(StatusNotifierE2E, ToolTipCountsTheConnectionsOfTheJackPort) {
  const char* server = std::getenv("QB_SNI_JACK_SERVER");
  ASSERT_NE(server, nullptr) << "run under the jack fixture";
  MidiSink sink(server);
  bridge.SetJackServer(server);
  bridge.Start();
  const auto item = WaitForItem();
  ASSERT_TRUE(item) << watcher.Output() << bridge.Output();
  auto has = [](const std::string& part) {
    return [part](const std::string& line) { return line.find(part) != std::string::npos; };
  };
  std::string line = StateLine(*item, has("MIDI quillbox (0)"));
  EXPECT_NE(line.find("MIDI quillbox (0)"), std::string::npos) << line << bridge.Output();
  ASSERT_TRUE(WaitFor([&] { return sink.ConnectFrom("quillbox"); })) << bridge.Output();
  line = StateLine(*item, has("MIDI quillbox (1)"));
  EXPECT_NE(line.find("MIDI quillbox (1)"), std::string::npos) << line;
  OscSend("127.0.0.1", 10001, "/Traktor.Deck0.Beat", "f", {"1.0"});
  EXPECT_TRUE(sink.WaitForMessage("80 7F 19")) << bridge.Output();
  line = StateLine(*item, has("OSC 127.0.0.1 "));
  EXPECT_EQ(line.rfind("UDP 10001 · OSC 127.0.0.1 ", 0), 0u) << line;
  EXPECT_EQ(bridge.Terminate(), 0) << bridge.Output();
}
