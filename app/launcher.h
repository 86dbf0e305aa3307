// What a launcher hands quillbox: a command line and a desktop entry. The bridge needs no
// options, while menus, session managers and autostart entries pass arguments of their own
// (session ids, field codes, file names): none of them keeps the bridge from starting.
#pragma once

#include <QStringList>
#include <optional>

namespace qb {

// Answers "--version" and "--help" ("-h") on standard output. Runs before the application
// object exists, so neither needs a display. Returns the exit status when the program should
// end now, nothing when the bridge is to start.
std::optional<int> AnswerInformationArguments(int argc, char** argv);

// Runs once the application object has taken Qt's own arguments (-platform, -display,
// -session, -style, ...): ties the windows to the desktop entry and names whatever arguments
// are left in one line on standard error. They are ignored.
void AcceptLauncherArguments(const QStringList& arguments);

}  // namespace qb
