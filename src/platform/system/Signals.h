// The signals that ask the program to end.
#pragma once

#include <functional>

class QObject;

namespace platform {

// SIGTERM, SIGINT, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2 and SIGPIPE run onQuit from the event loop
// (never inside the signal handler), through a notifier owned by owner.
void OnQuitSignals(QObject* owner, std::function<void()> onQuit);

// True from the moment one of those signals arrived: a wait that would hold up the quit (another
// program's lock on the settings) gives up at once. Safe to call from any thread.
bool QuitSignalled();

} // namespace platform
