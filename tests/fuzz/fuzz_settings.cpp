// libFuzzer target: one input is the settings file's bytes. The window starts on it (start-up
// reads the settings), is closed (close writes them), and starts a second time on what the
// first one wrote. The second start must see exactly that: the same device, position and
// channel, without a single settings error; and its own close writes the same values again.
//
// The window runs as in the product, on Qt's offscreen platform, with three scripted MIDI
// devices (the middle one cannot report its capabilities), a scripted notification area, and a
// socket library whose bind is refused, so that the target never holds UDP port 10001.
#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QEvent>
#include <QFile>
#include <QSpinBox>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/registry.h"
#include "app/unit1.h"
#include "midi/fake/fakemidiservice.h"
#include "midi/midiout.h"
#include "net/fake/scriptedsocketlib.h"
#include "platform/application.h"
#include "platform/errors.h"
#include "platform/messages.h"
#include "tray/fake/faketrayservice.h"

namespace {

[[noreturn]] void Broken(const char* promise, const std::string& detail = {}) {
  std::fprintf(stderr, "fuzz_settings: broken promise: %s %s\n", promise, detail.c_str());
  std::abort();
}

// Every error box the window opens (or counts into an open one), dismissed at once.
class Boxes : public qb::ErrorPresenter {
 public:
  void Open(const std::string&, const std::string& text) override { texts.push_back(text); }
  void Update(const std::string& text) override { texts.push_back(text); }
  std::vector<std::string> texts;
};

struct World {
  explicit World(qb::GuardedApplication* application) : app(application) {}
  qb::GuardedApplication* app;
  qb::FakeMidiService midi;
  qb::ScopedFakeTray tray;
  qb::ScriptedSocketLibrary sockets;
  Boxes boxes;
  QString file;
  QDateTime stamp = QDateTime::currentDateTimeUtc().addYears(1);
};

World* world = nullptr;

struct Seen {
  std::int32_t device, xpos, ypos, channel;
  bool operator==(const Seen&) const = default;
  std::string Text() const {
    return "device " + std::to_string(device) + " xpos " + std::to_string(xpos) + " ypos " +
           std::to_string(ypos) + " channel " + std::to_string(channel);
  }
};

// The four values as the store reads them after a close.
std::optional<Seen> Stored() {
  qb::TRegistry reg;
  if (!reg.OpenKey("\\Software\\Quillbox", false)) return std::nullopt;
  try {
    return Seen{reg.ReadInteger("Device"), reg.ReadInteger("xpos"), reg.ReadInteger("ypos"),
                reg.ReadInteger("channel")};
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

// Starts the window, notes what it took from the settings, and closes it.
Seen StartAndClose() {
  world->boxes.texts.clear();
  world->sockets.FailNext(qb::ScriptedSocketLibrary::kBind, 10048);
  auto form = std::make_unique<TForm1>();
  qb::ErrorBoxClosed();
  const Seen seen{
      form->Engine().Call([](qb::Engine::Components& c) { return c.MidiOutput1->DeviceID(); }),
      form->pos().y(), form->pos().x(), form->ChannelValue()};
  TCloseAction action = TCloseAction::caFree;
  form->FormClose(form.get(), action);
  qb::ErrorBoxClosed();
  form.reset();
  // What the window posted goes, as the event loop would take it; the doubles forget it too.
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  qb::ProcessMessages();
  world->tray.service.calls.clear();
  world->sockets.binds.clear();
  world->sockets.sent_from.clear();
  return seen;
}

bool OnlyTheRefusedBind() {
  for (const std::string& text : world->boxes.texts)
    if (text.find("'Bind'") == std::string::npos) return false;
  return true;
}

std::string BoxText() {
  std::string all;
  for (const std::string& text : world->boxes.texts) all += "[" + text + "] ";
  return all;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  setenv("QT_QPA_PLATFORM", "offscreen", 1);
  // In memory where the machine has it: every close makes the settings library sync the file
  // to disk twice per value, which would leave the fuzzer waiting for the disk.
  char shm[] = "/dev/shm/quillbox-fuzz-settings-XXXXXX";
  char tmp[] = "/tmp/quillbox-fuzz-settings-XXXXXX";
  const char* dir = mkdtemp(shm) ? shm : mkdtemp(tmp);
  if (!dir) Broken("a settings folder of its own");
  setenv("XDG_CONFIG_HOME", dir, 1);
  world = new World(new qb::GuardedApplication(*argc, *argv));
  world->midi.AddDevice("Synth A");
  world->midi.AddDevice("Synth B");
  world->midi.AddDevice("Synth C");
  world->midi.FailCapsOf(1, qb::MMSYSERR_NODRIVER);
  qb::SetMidiService(&world->midi);
  qb::SetErrorPresenter(&world->boxes);
  world->file = QString::fromStdString(qb::TRegistry::FileName());
  QDir().mkpath(QFileInfo(world->file).path());
  // Fonts, styles and the platform are set up by the first window; that is Qt's, once a process.
  StartAndClose();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  {
    QFile f(world->file);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate)) Broken("the settings file opens");
    f.write(reinterpret_cast<const char*>(data), static_cast<qint64>(size));
    f.flush();
    // The settings library trusts its parsed copy of a file while size and modification time
    // are unchanged: every input gets a time of its own.
    world->stamp = world->stamp.addSecs(1);
    f.setFileTime(world->stamp, QFileDevice::FileModificationTime);
  }

  StartAndClose();  // anything may be wrong with the input; nothing may crash
  const std::optional<Seen> written = Stored();
  if (!written) Broken("close writes all four values", BoxText());

  const Seen second = StartAndClose();
  if (!OnlyTheRefusedBind()) Broken("the second start reads without an error", BoxText());
  if (!(second == *written))
    Broken("the second start sees what the first wrote",
           "wrote " + written->Text() + ", saw " + second.Text());
  const std::optional<Seen> again = Stored();
  if (!again || !(*again == *written))
    Broken("the second close writes what it read", again ? again->Text() : "nothing");
  return 0;
}
