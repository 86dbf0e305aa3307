// SIGINT and SIGTERM close a window the way its close button does.
#pragma once

class QWidget;

namespace qb {

// Installs the handlers; a signal that arrives before a window is named waits in the pipe.
bool CatchTerminationSignals();
// Installs the handlers if needed; each signal then closes window from the event loop (the handler
// only writes a byte to a pipe). Returns false when the pipe cannot be made.
bool CloseOnTerminationSignals(QWidget* window);

}  // namespace qb
