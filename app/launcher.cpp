#include "app/launcher.h"

#include <QGuiApplication>
#include <QStringList>
#include <cstdio>
#include <string_view>

#include "app/registry.h"

namespace qb {
namespace {

// Set by the build from the project's version and application id.
constexpr const char* kVersion = QUILLBOX_VERSION;
constexpr const char* kAppId = QUILLBOX_APP_ID;

void PrintHelp() {
  std::printf(
      "Usage: quillbox [Qt options]\n"
      "\n"
      "quillbox turns Open Sound Control from DJ software (Traktor, VirtualDJ) into MIDI:\n"
      "a beat message on every beat of the live deck and a MIDI Time Code full message for\n"
      "every seek position, so that lights, video and DAWs follow the DJ.\n"
      "It needs no options: start it, choose the MIDI output in its window, and it sits\n"
      "in the notification area.\n"
      "\n"
      "  UDP port 10001   OSC input on all local IPv4 addresses\n"
      "  UDP port 10000   where the reply to a /__PING probe goes, on the sender's host\n"
      "  MIDI outputs     its own port \"quillbox\", ALSA sequencer and JACK ports, and\n"
      "                   \"quillbox monitor (stdout)\", which prints every message\n"
      "  Settings         %s\n"
      "\n"
      "  --help      show this text and exit\n"
      "  --version   show the version and exit\n"
      "\n"
      "Qt's own options (-platform, -display, -style, ...) work as in every Qt program;\n"
      "any other argument is ignored. More in quillbox(1).\n",
      TRegistry::FileName().c_str());
}

}  // namespace

std::optional<int> AnswerInformationArguments(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--version") {
      std::printf("quillbox %s\n", kVersion);
      return 0;
    }
    if (arg == "--help" || arg == "-h") {
      PrintHelp();
      return 0;
    }
  }
  return std::nullopt;
}

void AcceptLauncherArguments(const QStringList& arguments) {
  // Wayland compositors and portals find the desktop entry, and so the icon, by this name.
  QGuiApplication::setDesktopFileName(QString::fromLatin1(kAppId));
  if (arguments.size() <= 1) return;
  QString line = arguments.size() == 2 ? QStringLiteral("quillbox: ignoring argument")
                                       : QStringLiteral("quillbox: ignoring arguments");
  for (qsizetype i = 1; i < arguments.size(); ++i) {
    QString arg = arguments[i];
    for (QChar& c : arg)
      if (c.category() == QChar::Other_Control) c = u'?';  // the report stays one line
    line += QStringLiteral(" '%1'").arg(arg);
  }
  line += QStringLiteral(" (it needs none; see --help)\n");
  std::fputs(line.toLocal8Bit().constData(), stderr);
}

}  // namespace qb
