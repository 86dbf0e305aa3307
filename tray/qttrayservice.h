// The notification area of the Qt desktop (QSystemTrayIcon), as a tray service.
#pragma once

#include <QSystemTrayIcon>
#include <vector>

#include "tray/trayservice.h"

namespace qb {

// The notification codes an activation is delivered as. Without a double click in the
// desktop's protocol the primary activation counts as a double click, so the window hidden in
// the notification area can always be brought back.
std::vector<LPARAM> ActivationCodes(QSystemTrayIcon::ActivationReason reason, bool noDoubleClick);

// Whether Qt talks to the notification area over StatusNotifierItem (which has no double click)
// rather than the XEmbed tray.
bool StatusNotifierInUse();

}  // namespace qb
