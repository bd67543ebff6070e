// Kelvaro: per-application display gamma, resident in the notification area.
#include "app/CommandLine.h"
#include "app/Startup.h"
#include "platform/display/RampKeeper.h"
#include "platform/system/Instance.h"
#include "platform/system/Version.h"
#include "toolkit/Application.h"

#include <QElapsedTimer>
#include <QGuiApplication>
#include <QThread>
#include <cstdio>
#include <vector>

namespace {

void print(std::FILE* to, const QString& text) {
    std::fputs(text.toLocal8Bit().constData(), to);
}

int fail(const QString& line) {
    print(stderr, QStringLiteral("kelvaro: ") + line + u'\n');
    return ExitFailure;
}

} // namespace

int main(int argc, char** argv) {
    // GNOME's session marks the programs it autostarts (entries of older versions too) with a
    // client id of their own. Read once, and kept from everything started from here: a game
    // that inherited it would register with the session under the program's id.
    const bool autostarted = !qgetenv("DESKTOP_AUTOSTART_ID").isEmpty();
    qunsetenv("DESKTOP_AUTOSTART_ID");
    QStringList args;
    for (int i = 1; i < argc; ++i)
        args << QString::fromLocal8Bit(argv[i]);
    const Command command = ParseCommandLine(args);
    const std::string session = platform::session::Key();
    switch (command.action) {
    case CommandAction::Help:
        print(stdout, UsageText());
        return ExitOk;
    case CommandAction::Version:
        print(stdout, QStringLiteral("kelvaro ") +
                          platform::version::ReadVersionString(QStringLiteral("FileVersion")) +
                          u'\n');
        return ExitOk;
    case CommandAction::BadUsage:
        print(stderr, command.error + QStringLiteral("\n\n") + UsageText());
        return ExitUsage;
    case CommandAction::Step: {
        const auto answer =
            platform::instance::Request(session, command.step > 0 ? "step up" : "step down", 3000);
        if (!answer) return fail(QStringLiteral("Kelvaro is not running on this display"));
        // Success is the running copy's own word that it stepped, nothing less.
        if (answer->empty())
            return fail(QStringLiteral("the running Kelvaro did not answer in time"));
        if (*answer != "ok")
            return fail(QStringLiteral("the running Kelvaro answered: ") +
                        QString::fromStdString(*answer));
        return ExitOk;
    }
    case CommandAction::Reset: {
        if (!platform::session::DisplayOpens())
            return fail(QStringLiteral("cannot open the display"));
        QGuiApplication app(argc, argv);
        switch (platform::RampKeeper::Reset()) {
        case platform::RampKeeper::ResetOutcome::NoDisplay:
            return fail(QStringLiteral("this display's gamma can't be set"));
        case platform::RampKeeper::ResetOutcome::NothingToPutBack:
            print(stdout, QStringLiteral("kelvaro: nothing to put back: no run of Kelvaro left "
                                         "its gamma on this display, so it is left as it is\n"));
            break;
        case platform::RampKeeper::ResetOutcome::PutBack:
            break;
        }
        return ExitOk;
    }
    case CommandAction::Run:
        break;
    }
    // One running copy per display and user: a second start shows the first one's profiles
    // window and ends before it opens the display or the store.
    if (!session.empty()) {
        QElapsedTimer waited;
        waited.start();
        for (;;) {
            if (platform::instance::Request(session, "show", 500)) return ExitOk;
            std::string problem;
            long holder = 0;
            const auto claim = platform::instance::ClaimSession(session, &problem, &holder);
            const QString why = QString::fromStdString(problem);
            if (claim == platform::instance::Claim::Ours) break;
            if (claim == platform::instance::Claim::Alone) {
                print(stderr, QStringLiteral("kelvaro: %1; this copy runs, but a later start "
                                             "can't reach it\n")
                                  .arg(why));
                break;
            }
            // Without the lock nothing tells whether another copy drives the gamma already.
            if (claim == platform::instance::Claim::Failed)
                return fail(why + QStringLiteral("; Kelvaro does not start, so that two copies "
                                                 "never set the display's gamma at once"));
            // Another copy is starting: it holds the session a moment before it listens.
            if (!problem.empty() || waited.elapsed() > 3000) {
                const QString which =
                    holder > 0 ? QStringLiteral("another Kelvaro (process %1)").arg(holder)
                               : QStringLiteral("another Kelvaro");
                return fail(which + QStringLiteral(" runs on this display but does not answer") +
                            (why.isEmpty() ? QString() : QStringLiteral(": ") + why));
            }
            QThread::msleep(50);
        }
    }
    if (!platform::session::DisplayOpens())
        return fail(QStringLiteral("cannot open the X display; Kelvaro needs a graphical session"));
    // In a Wayland session that has Xwayland, the windows run on X unless the user chose
    // otherwise: there the splash and the on-screen display can place themselves in the middle
    // of the screen, and the tray icon docks in XEmbed trays as well. The gamma does not depend
    // on it: it goes through the compositor either way.
    std::vector<char*> qtArgs(argv, argv + argc);
    char platformOption[] = "-platform";
    char xcb[] = "xcb";
    if (qgetenv("QT_QPA_PLATFORM").isEmpty() && !qgetenv("WAYLAND_DISPLAY").isEmpty() &&
        platform::session::XDisplayOpens()) {
        qtArgs.push_back(platformOption);
        qtArgs.push_back(xcb);
    }
    int qtArgc = static_cast<int>(qtArgs.size());
    qtArgs.push_back(nullptr);
    TApplication app(qtArgc, qtArgs.data());
    return RunKelvaro(app, command.bySession || autostarted);
}
