#include "app/Startup.h"

#include "app/Application.h"
#include "forms/About.h"
#include "forms/Main.h"
#include "forms/Option.h"
#include "forms/Osd.h"
#include "forms/Splash.h"
#include "platform/Hive.h"
#include "platform/Shell.h"

#include <QSocketNotifier>
#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int g_signalPipe[2] = {-1, -1};

void onSignal(int) {
    // A wait for another program's lock on the settings ends now, so the quit runs at once.
    platform::Hive::interruptWaits();
    const char byte = 1;
    [[maybe_unused]] const auto n = ::write(g_signalPipe[1], &byte, 1);
}

// SIGTERM, SIGINT and SIGHUP end the program the way Exit does, from the event loop.
void InstallQuitSignals() {
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, g_signalPipe) != 0) return;
    auto* notifier = new QSocketNotifier(g_signalPipe[0], QSocketNotifier::Read, Application);
    QObject::connect(notifier, &QSocketNotifier::activated, Application, Guarded([] {
                         char byte;
                         [[maybe_unused]] const auto n = ::read(g_signalPipe[0], &byte, 1);
                         if (Form_Main)
                             Form_Main->QuitSequence();
                         else if (Application)
                             Application->Terminate();
                     }));
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    for (int sig : {SIGTERM, SIGINT, SIGHUP})
        sigaction(sig, &sa, nullptr);
}

} // namespace

void CreateForms() {
    Form_Main = new TForm_Main;
    if (Application && !Application->MainForm) Application->MainForm = Form_Main;
    Form_Splash = new TForm_Splash;
    // The two dialogs belong to the profiles window, so they open centred on it.
    Form_Option = new TForm_Option(Form_Main);
    Form_About = new TForm_About(Form_Main);
    Form_OSD = new TForm_OSD;
}

void DestroyForms() {
    delete Form_OSD;
    Form_OSD = nullptr;
    delete Form_About;
    Form_About = nullptr;
    delete Form_Option;
    Form_Option = nullptr;
    delete Form_Splash;
    Form_Splash = nullptr;
    delete Form_Main;
    Form_Main = nullptr;
}

int RunKelvaro(TApplication& app) {
    int status = 0;
    try {
        app.ShowMainForm = false;
        app.Title = QStringLiteral("Kelvaro");
        QGuiApplication::setApplicationDisplayName(QString());
        QGuiApplication::setApplicationName(QStringLiteral("kelvaro"));
        QGuiApplication::setDesktopFileName(QStringLiteral("kelvaro"));
        InstallQuitSignals();
        try {
            platform::Hive::instance();
        } catch (const platform::HiveError& e) {
            // Nothing else runs: the file is left exactly as it is.
            throw platform::HiveError("Kelvaro can't use its settings file " +
                                      platform::Hive::defaultPath().toStdString() + ": " +
                                      e.what() + ".");
        }
        CreateForms();
        // What bringing an older store up to date changed is told once, after the windows.
        if (const QStringList& notices = platform::Hive::instance().notices(); !notices.isEmpty())
            platform::prompts().messageBox(nullptr, notices.join(QLatin1Char('\n')),
                                           QStringLiteral("Kelvaro"),
                                           platform::MessageKind::Information);
        // Set once the windows exist, so the tray icon's window, made first, isn't given every
        // size of the icon to hand to the window manager before it can dock.
        QGuiApplication::setWindowIcon(ArtIcon(QStringLiteral("icon")));
        app.Run();
    } catch (const platform::HiveError& e) {
        app.ShowException(e);
        status = 1;
    } catch (const std::exception& e) {
        app.ShowException(e);
    }
    DestroyForms();
    return status;
}
