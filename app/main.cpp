// quillbox: turns OSC from DJ software into MIDI beats and time code.
#include <QStringList>
#include <cstdio>
#include <cstdlib>

#include "app/launcher.h"
#include "app/signalclose.h"
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

  qb::GuardedApplication app(argc, argv);
  qb::AcceptLauncherArguments(QCoreApplication::arguments());
  // The main window ends the program when it closes; error boxes and hiding in the tray do not.
  QApplication::setQuitOnLastWindowClosed(false);
  qb::Application().Title = "quillbox";

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
    result = app.exec();

    qb::Application().SetMainForm(nullptr);
    Form1 = nullptr;
  }

  qb::SetMidiService(nullptr);
  qb::Guarded([] { qb::StopSocketLibrary(); });
  return result;
}
