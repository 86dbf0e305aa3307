// quillbox: turns OSC from DJ software into MIDI beats and time code.
#include <QGuiApplication>
#include <QStringList>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "app/launcher.h"
#include "app/signalclose.h"
#include "app/singleinstance.h"
#include "app/unit1.h"
#include "midi/backends.h"
#include "net/udpsockutil.h"
#include "platform/application.h"
#include "platform/errors.h"

int main(int argc, char** argv) {
  if (const auto status = qb::AnswerInformationArguments(argc, argv)) return *status;

  // Without a display the bridge still runs, on the offscreen platform.
  if (!std::getenv("DISPLAY") && !std::getenv("WAYLAND_DISPLAY") && !std::getenv("QT_QPA_PLATFORM"))
    setenv("QT_QPA_PLATFORM", "offscreen", 1);

  // Qt's xcb platform takes -display out of the arguments while it connects.
  QString display_argument;
  for (int i = 1; i + 1 < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "-display" || arg == "--display")
      display_argument = QString::fromLocal8Bit(argv[i + 1]);
  }

  qb::GuardedApplication app(argc, argv);
  qb::AcceptLauncherArguments(QCoreApplication::arguments());
  // The main window ends the program when it closes; error boxes and hiding in the tray do not.
  QApplication::setQuitOnLastWindowClosed(false);
  qb::Application().Title = "quillbox";

  // One bridge per user and display session, settled before the port is bound or a window
  // shown. A later start brings this one's window back as a double click on its tray icon
  // does. A holder that does not answer is hung, not gone (its process lives, so its lock is
  // not stale): a second bridge would be deaf beside it, so this start fails instead.
  qb::SingleInstance instance(qb::RuntimeFolder(), qb::DisplaySession(display_argument));
  // Offscreen nobody sees a window, and Qt would only complain that it cannot raise one.
  const bool shown = QGuiApplication::platformName() != QLatin1String("offscreen") &&
                     QGuiApplication::platformName() != QLatin1String("minimal");
  const auto claim = instance.Take(
      [shown] {
        if (shown) qb::Guarded([] { qb::Application().Restore(); });
      },
      std::chrono::seconds(10));
  switch (claim) {
    case qb::SingleInstance::Claim::kForwarded:
      std::fprintf(
          stderr, "quillbox: already running on this display (process %lld); its window is shown\n",
          static_cast<long long>(instance.HolderPid()));
      return 0;
    case qb::SingleInstance::Claim::kUnanswered:
      std::fprintf(stderr,
                   "quillbox: the quillbox already running on this display (process %lld) does not "
                   "answer; not starting a second one (lock %s)\n",
                   static_cast<long long>(instance.HolderPid()),
                   instance.LockPath().toLocal8Bit().constData());
      return 1;
    case qb::SingleInstance::Claim::kUnguarded:
    case qb::SingleInstance::Claim::kFirst:
      if (!instance.Problem().isEmpty())
        std::fprintf(stderr, "quillbox: %s; a second start would not find this one\n",
                     instance.Problem().toLocal8Bit().constData());
      break;
  }

  try {
    qb::StartSocketLibrary();
  } catch (const std::exception& e) {
    qb::ShowException(e);
    return 1;
  }

  // From here on a termination signal waits for the window instead of killing the process
  // before settings could be written.
  qb::CatchTerminationSignals();

  // The MIDI systems, in list order: the ALSA sequencer, a JACK server, then the monitor, so
  // there is always somewhere to send.
  std::vector<std::unique_ptr<qb::detail::DeviceProvider>> providers;
  providers.push_back(qb::detail::CreateAlsaProvider());
  providers.push_back(qb::detail::CreateJackProvider());
  providers.push_back(qb::detail::CreateMonitorProvider(stdout));
  qb::detail::SessionMidiService midi(std::move(providers));
  qb::SetMidiService(&midi);

  int result = 0;
  {
    TForm1 form;
    Form1 = &form;
    qb::Application().SetMainForm(&form);

    // SIGINT and SIGTERM close the window as its close button does, so settings get written.
    qb::CloseOnTerminationSignals(&form);

    form.show();
    // Offscreen nobody sees a deaf bridge, nor can start it again once the port is free: it
    // ends with a failure after its message, and a service manager tries again.
    result = !shown && form.Deaf() ? 1 : app.exec();

    qb::Application().SetMainForm(nullptr);
    Form1 = nullptr;
  }

  qb::SetMidiService(nullptr);
  qb::Guarded([] { qb::StopSocketLibrary(); });
  return result;
}
