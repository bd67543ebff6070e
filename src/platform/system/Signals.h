// The signals that ask the program to end.
#pragma once

#include <functional>

class QObject;

namespace platform {

// SIGTERM, SIGINT, SIGHUP and SIGQUIT run onQuit from the event loop (never inside the signal
// handler), through a notifier owned by owner. SIGPIPE, SIGUSR1 and SIGUSR2 have no effect.
void OnQuitSignals(QObject* owner, std::function<void()> onQuit);

// True from the moment one of those signals arrived: a wait that would hold up the quit (another
// program's lock on the settings) gives up at once. Safe to call from any thread.
bool QuitSignalled();

// While held, a quit signal waits (the signal itself is taken, so the process is not ended);
// onQuit runs from the first event loop after the hold is let go. Start-up holds them: event
// loops run inside it (a window's first showing, the wait for a tray), and a quit run there
// would put the ramps back before the rest of start-up loads a gamma again.
void HoldQuitSignals(bool hold);

} // namespace platform
