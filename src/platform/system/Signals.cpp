#include "platform/system/Signals.h"

#include <QObject>
#include <QSocketNotifier>
#include <cerrno>
#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

namespace platform {

namespace {

int g_signalPipe[2] = {-1, -1};
volatile std::sig_atomic_t g_quitSignalled = 0;
QSocketNotifier* g_notifier = nullptr;
bool g_held = false;

void onSignal(int) {
    const int saved = errno; // the interrupted code may be about to read it
    // Waits that look at QuitSignalled() (another program's lock on the settings) end now, so
    // the quit runs at once.
    g_quitSignalled = 1;
    const char byte = 1;
    // Never blocks: with bytes still unread the quit is already on its way.
    [[maybe_unused]] const auto n = ::write(g_signalPipe[1], &byte, 1);
    errno = saved;
}

// Taken and dropped. Unlike an ignored signal, a caught one is back at its default in every
// program started from here.
void noEffect(int) {}

} // namespace

bool QuitSignalled() {
    return g_quitSignalled != 0;
}

void OnQuitSignals(QObject* owner, std::function<void()> onQuit) {
    if (g_signalPipe[0] < 0 &&
        ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, g_signalPipe) != 0)
        return;
    auto* notifier = new QSocketNotifier(g_signalPipe[0], QSocketNotifier::Read, owner);
    notifier->setEnabled(!g_held);
    g_notifier = notifier;
    QObject::connect(notifier, &QObject::destroyed, [notifier] {
        if (g_notifier == notifier) g_notifier = nullptr;
    });
    QObject::connect(notifier, &QSocketNotifier::activated, owner, [onQuit = std::move(onQuit)] {
        char byte;
        [[maybe_unused]] const auto n = ::read(g_signalPipe[0], &byte, 1);
        onQuit();
    });
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    for (int sig : {SIGTERM, SIGINT, SIGHUP, SIGQUIT})
        sigaction(sig, &sa, nullptr);
    // A reader that went away (a closed terminal, a `--step` that gave up) is an EPIPE where
    // the write is made, and a stray user signal is nothing: neither may end the program in
    // the middle of a game, with the start-up ramp put back under it.
    sa.sa_handler = noEffect;
    for (int sig : {SIGPIPE, SIGUSR1, SIGUSR2})
        sigaction(sig, &sa, nullptr);
}

void HoldQuitSignals(bool hold) {
    g_held = hold;
    if (g_notifier) g_notifier->setEnabled(!hold);
}

} // namespace platform
