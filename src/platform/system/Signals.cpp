#include "platform/system/Signals.h"

#include <QObject>
#include <QSocketNotifier>
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
    // Waits that look at QuitSignalled() (another program's lock on the settings) end now, so
    // the quit runs at once.
    g_quitSignalled = 1;
    const char byte = 1;
    [[maybe_unused]] const auto n = ::write(g_signalPipe[1], &byte, 1);
}

} // namespace

bool QuitSignalled() {
    return g_quitSignalled != 0;
}

void OnQuitSignals(QObject* owner, std::function<void()> onQuit) {
    if (g_signalPipe[0] < 0 &&
        ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, g_signalPipe) != 0)
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
    // Every ending that can still run code puts the display's ramps back: a broken pipe or a
    // user signal would otherwise end the process with the profile's gamma on the screen.
    for (int sig : {SIGTERM, SIGINT, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2, SIGPIPE})
        sigaction(sig, &sa, nullptr);
}

void HoldQuitSignals(bool hold) {
    g_held = hold;
    if (g_notifier) g_notifier->setEnabled(!hold);
}

} // namespace platform
