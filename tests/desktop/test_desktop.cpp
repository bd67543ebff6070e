// The real program under a virtual desktop (Xvfb, openbox, trayer), driven with xdotool and
// watched through RandR and kelvaro-reg, as a user and their tools would see it.
#include "Crtc.h"

#include "Desktop.h"
#include "Games.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <csignal>
#include <optional>

namespace {

// A tray panel the tests started themselves; the desktop script stops only its own.
qint64 restartedTrayer = 0;

} // namespace

namespace {
// A point of the profiles window as designed (465 x 289), where the window is now: it grows
// as a whole with the desktop's font.
QStringList designed(const QString& win, int x, int y) {
    const QString geo = xdotool({"getwindowgeometry", "--shell", win});
    auto field = [&](const QString& name) {
        for (const QString& line : geo.split('\n'))
            if (line.startsWith(name + "=")) return line.mid(name.size() + 1).toInt();
        return 0;
    };
    const int w = field("WIDTH"), h = field("HEIGHT");
    return {QString::number(w ? x * w / 465 : x), QString::number(h ? y * h / 289 : y)};
}
} // namespace

class DesktopTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        QVERIFY2(!qEnvironmentVariable("DISPLAY").isEmpty(), "run under scripts/with-desktop");
        QVERIFY2(!crtc::ramp().isEmpty(), "the X server has no CRTC with a gamma ramp");
    }

    void startsHiddenAndPutsTheRampBackOnTerm() {
        QVERIFY(crtc::setRamp(crtc::rampOf(25)));
        Kelvaro k;
        QVERIFY(k.start());
        // Its key exists, the desktop gamma (1.0) is on the display, no window is up.
        QVERIFY(waitFor(
            [&k] {
                int status = 0;
                const QString out =
                    k.reg({"query", "HKCU\\Software\\Orvendale Software\\Kelvaro"}, &status);
                return status == 0 && out.contains("Kelvaro\\Profiles");
            },
            2000));
        QVERIFY2(
            waitFor([] { return same(crtc::ramp(), crtc::rampOver(crtc::rampOf(25), 10)); }, 2000),
            qPrintable(hex(crtc::ramp())));
        QVERIFY(pastTheSplash());
        QCOMPARE(profilesWindow(), QString());
        QCOMPARE(xdotool({"search", "--onlyvisible", "--name", "^(Options|About|Kelvaro)$"}),
                 QString());
        QCOMPARE(k.terminate(), 0);
        QVERIFY2(crtc::ramp() == crtc::rampOf(25), qPrintable(hex(crtc::ramp())));
    }

    void aBlackCaptureIsNeverRestored() {
        QVERIFY(crtc::setRamp(crtc::zeros())); // what a fresh server reads as
        Kelvaro k;
        k.seed("", "Desktop", "REG_DWORD", "13");
        QVERIFY(k.start());
        QVERIFY(waitFor([] { return same(crtc::ramp(), crtc::rampOf(13)); }, 2000));
        QCOMPARE(k.terminate(), 0);
        QVERIFY2(same(crtc::ramp(), crtc::rampOf(10)), qPrintable(hex(crtc::ramp())));
    }

    void trayGesturesAndTheWayBackToTheTray() {
        QVERIFY(crtc::setRamp(crtc::rampOf(10)));
        Kelvaro k;
        k.seed("", "Desktop", "REG_DWORD", "12");
        k.seed("", "Exit", "REG_DWORD", "0");
        k.seed("", "Hotkeys", "REG_DWORD", "0");
        k.seed("\\Profiles\\Bright", "FileName", "REG_SZ", "/bin/true");
        k.seed("\\Profiles\\Bright", "Gamma", "REG_DWORD", "25");
        QVERIFY(k.start());
        QVERIFY(pastTheSplash());
        k.clickIcon(1, 1); // a single click does nothing
        QVERIFY(holdsFor([] { return profilesWindow().isEmpty(); }, 700));
        k.clickIcon(1, 2);
        QVERIFY(waitFor([] { return !profilesWindow().isEmpty(); }, 5000));
        // Selecting the profile previews its gamma on the CRTC.
        const QString win = profilesWindow();
        xdotool(QStringList{"mousemove", "--window", win} + designed(win, 40, 80) +
                QStringList{"click", "1"});
        QVERIFY2(waitFor([] { return same(crtc::ramp(), crtc::rampOf(25)); }, 3000),
                 qPrintable(hex(crtc::ramp())));
        // Minimising sends it to the tray with the desktop ramp.
        xdotool({"windowminimize", win});
        QVERIFY(waitFor([] { return profilesWindow().isEmpty(); }, 5000));
        QVERIFY2(waitFor([] { return same(crtc::ramp(), crtc::rampOf(12)); }, 3000),
                 qPrintable(hex(crtc::ramp())));
        // Back, then closing with "Exit" off keeps the program.
        k.clickIcon(1, 2);
        QVERIFY(waitFor([] { return !profilesWindow().isEmpty(); }, 5000));
        // Through the window manager, as the close box does (xdotool's windowclose would
        // destroy the window outright).
        QVERIFY(closeWindow(profilesWindow()));
        QVERIFY(waitFor([] { return profilesWindow().isEmpty(); }, 5000));
        QVERIFY(holdsFor([&k] { return k.proc.state() == QProcess::Running; }, 500));
        // A panel that restarts gets the icon again.
        const QString trayerPid = qEnvironmentVariable("KELVARO_TRAYER_PID");
        if (!trayerPid.isEmpty()) {
            ::kill(trayerPid.toInt(), SIGTERM);
            QVERIFY(waitFor([&k] { return !k.trayIcon(); }, 5000));
            QVERIFY(startTrayer(&restartedTrayer));
            QVERIFY(waitFor([&k] { return k.trayIcon().has_value(); }, 10000));
            // The panel may map the icon before it passes it clicks: try again until it does.
            QVERIFY(waitFor(
                [&k] {
                    k.clickIcon(1, 2);
                    return waitFor([] { return !profilesWindow().isEmpty(); }, 1500);
                },
                6000));
        }
        QCOMPARE(k.terminate(), 0);
    }

    void desktopGammaIsOnTheDisplayAfterStartUp() {
        Kelvaro k;
        k.seed("", "Desktop", "REG_DWORD", "13");
        QVERIFY(k.start());
        QVERIFY2(waitFor([] { return same(crtc::ramp(), crtc::rampOf(13)); }, 2000),
                 qPrintable(hex(crtc::ramp())));
        QCOMPARE(k.terminate(), 0);
    }

    void splashShowsTheVersionThenGoes() {
        Kelvaro k;
        k.proc.setProcessEnvironment(k.env());
        k.proc.start(qEnvironmentVariable("KELVARO_BIN"), {});
        QVERIFY(waitFor(
            [] {
                return !xdotool({"search", "--onlyvisible", "--classname", "^kelvaro$"}).isEmpty();
            },
            5000));
        QString splash;
        QVERIFY(waitFor([&] { return !(splash = splashWindow()).isEmpty(); }, 5000));
        const QString geo = xdotool({"getwindowgeometry", splash});
        QVERIFY2(geo.contains("Position: 360,344"), qPrintable(geo)); // centred on 1024 x 768
        QDir().mkpath(qEnvironmentVariable("KELVARO_BUILD") + "/screenshots");
        run("import",
            {"-window", "root", qEnvironmentVariable("KELVARO_BUILD") + "/screenshots/splash.png"});
        QVERIFY(waitFor([&] { return !programWindows().contains(splash); }, 3000));
        QCOMPARE(k.terminate(), 0);
    }
};

class AcceptanceTest : public QObject {
    Q_OBJECT
    QTemporaryDir work;
    Games games;

    QString script(const QString& name, const QString& body) {
        QDir().mkpath(work.filePath("My Programs"));
        const QString path = work.filePath("My Programs/" + name);
        QFile f(path);
        f.open(QIODevice::WriteOnly);
        f.write(("#!/bin/sh\n" + body).toUtf8());
        f.close();
        f.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        return path;
    }
    static QStringList lines(const QString& path) {
        QFile f(path);
        if (!f.open(QIODevice::ReadOnly)) return {};
        return QString::fromUtf8(f.readAll()).split('\n', Qt::SkipEmptyParts);
    }
    static bool osdShown() { return !osdWindow().isEmpty(); }

private slots:
    // A user's typical launch, from the first click to Exit. The game runs until the test
    // lets it end.
    void typicalLaunchEndToEnd() {
        const QString record = work.filePath("record.txt");
        const QString done = work.filePath("done.txt");
        const QString release = work.filePath("release");
        const QString recorder = script(
            "record game",
            QStringLiteral("pwd > '%1'\nfor a in \"$@\"; do printf '%s\\n' \"$a\" >> '%1'; done\n"
                           "while [ ! -e '%3' ]; do sleep 0.1; done\ntouch '%2'\n")
                .arg(record, done, release));
        Kelvaro k;
        k.seed("", "Desktop", "REG_DWORD", "12");
        k.seed("", "Hotkeys", "REG_DWORD", "1");
        k.seed("", "Exit", "REG_DWORD", "0");
        k.seed("\\Profiles\\Recorder", "FileName", "REG_SZ", recorder);
        k.seed("\\Profiles\\Recorder", "Args", "REG_SZ", "-level 3 \"two words\" $HOME");
        k.seed("\\Profiles\\Recorder", "Gamma", "REG_DWORD", "10");
        k.seed("\\Profiles\\Other", "FileName", "REG_SZ", "/bin/true");
        k.seed("\\Profiles\\Other", "Gamma", "REG_DWORD", "20");
        QVERIFY(crtc::setRamp(crtc::rampOf(25)));
        QVERIFY(k.start());
        // The display's own ramp, under every gamma loaded over it.
        const auto shows = [](int position) {
            return [position] {
                return same(crtc::ramp(), crtc::rampOver(crtc::rampOf(25), position));
            };
        };
        QVERIFY(waitFor(shows(12), 2000));
        QVERIFY(pastTheSplash());

        // Profiles, Options, About, Help, Other, Recorder.
        // At 1.0 it is loaded all the same, though the editor's slider had nothing to move.
        menuPick(k, {"Down", "Down", "Down", "Down", "Down", "Down", "Return"});
        QVERIFY2(waitFor(shows(10), 3000), qPrintable(hex(crtc::ramp())));
        QVERIFY(waitFor([&] { return lines(record).size() == 5; }, 3000));
        QCOMPARE(lines(record), (QStringList{QFileInfo(recorder).absolutePath(), "-level", "3",
                                             "two words", "$HOME"}));

        // A hot key during the watch steps the running profile.
        xdotool({"key", "ctrl+alt+KP_Subtract"});
        QVERIFY2(waitFor(shows(9), 2000), qPrintable(hex(crtc::ramp())));
        QVERIFY(k.reg({"query", "HKCU\\Software\\Orvendale Software\\Kelvaro\\Profiles\\Recorder",
                       "/v", "Gamma"})
                    .contains("0x9"));
        QVERIFY(waitFor(osdShown, 1000));

        // Options during the game: its slider previews, and cancelling gives the game its
        // gamma back, not the desktop's.
        menuPick(k, {"Down", "Down", "Return"});
        const auto options = [] {
            return xdotool({"search", "--onlyvisible", "--name", "^Options$"}).section('\n', 0, 0);
        };
        QVERIFY(waitFor([&] { return !options().isEmpty(); }, 5000));
        QVERIFY(focusWindow(options()));
        xdotool({"key", "Tab", "Tab", "Tab", "Tab", "End"}); // past the four check boxes
        QVERIFY2(waitFor(shows(30), 2000), qPrintable(hex(crtc::ramp())));
        xdotool({"key", "Escape"});
        QVERIFY(waitFor([&] { return options().isEmpty(); }, 5000));
        QVERIFY2(waitFor(shows(9), 2000), qPrintable(hex(crtc::ramp())));

        // The program ends: the desktop gamma is back within 1.6 seconds.
        QFile(release).open(QIODevice::WriteOnly);
        QVERIFY(waitFor([&] { return QFile::exists(done); }, 5000));
        QElapsedTimer sinceEnd;
        sinceEnd.start();
        QVERIFY(waitFor(shows(12), 3000));
        QVERIFY2(sinceEnd.elapsed() <= 1600, qPrintable(QString::number(sinceEnd.elapsed())));
        // A hot key steps from the stored desktop gamma, not from the slider cancelled at 3.0.
        xdotool({"key", "ctrl+alt+KP_Add"});
        QVERIFY2(waitFor(shows(13), 2000), qPrintable(hex(crtc::ramp())));

        // The profiles window by double-click, Options from the menu.
        k.clickIcon(1, 2);
        QVERIFY(waitFor([] { return !profilesWindow().isEmpty(); }, 5000));
        menuPick(k, {"Down", "Down", "Return"});
        QVERIFY(waitFor([&] { return !options().isEmpty(); }, 5000));
        xdotool({"key", "Escape"});
        QVERIFY(waitFor([&] { return options().isEmpty(); }, 5000));

        // Exit, the last item: the start-up ramp, status 0, no icon.
        menuPick(k, {"Up", "Return"});
        QVERIFY(k.proc.state() == QProcess::NotRunning || k.proc.waitForFinished(5000));
        QCOMPARE(k.proc.exitStatus(), QProcess::NormalExit);
        QCOMPARE(k.proc.exitCode(), 0);
        QVERIFY2(same(crtc::ramp(), crtc::rampOf(25)), qPrintable(hex(crtc::ramp())));
        QVERIFY(!k.trayIcon());
    }

    // The profile's gamma for the game's whole run, whatever starts it; hot keys step the profile.
    void wrappedGamesKeepTheProfile_data() {
        QTest::addColumn<QString>("shape");
        for (const QString& shape : Games::shapes())
            QTest::newRow(qPrintable(shape)) << shape;
    }
    void wrappedGamesKeepTheProfile() {
        QFETCH(QString, shape);
        if (!Games::missing(shape).isEmpty()) QSKIP(qPrintable(Games::missing(shape)));
        const auto [program, args] = games.program(shape);
        Kelvaro k;
        k.extra.insert("DESKTOP_AUTOSTART_ID", "kelvaro-by-the-session"); // autostarted by GNOME
        k.seedHotkeysAt(12);
        k.seed("\\Profiles\\Game", "FileName", "REG_SZ", program);
        k.seed("\\Profiles\\Game", "Args", "REG_SZ", args);
        k.seed("\\Profiles\\Game", "Gamma", "REG_DWORD", "15");
        QVERIFY(crtc::setRamp(crtc::rampOf(10))); // no calibration under the gammas
        QVERIFY(k.start() && pastTheSplash());
        menuPick(k, {"Down", "Down", "Down", "Down", "Down", "Return"});
        QVERIFY(waitFor([&] { return games.started(); }, 20000)); // Wine starts its server first
        // The game has the session's environment, without the program's own session id.
        const QString environ = run("sh", {"-c",
                                           "for p in $(pgrep -f \"$0\"); do "
                                           "tr '\\0' '\\n' </proc/$p/environ; done",
                                           games.gamePattern()});
        QVERIFY2(environ.contains("PATH=") && !environ.contains("DESKTOP_AUTOSTART_ID"),
                 qPrintable(environ));
        xdotool({"key", "ctrl+alt+KP_Subtract"});
        auto at = [](int gamma) {
            return [gamma] { return same(crtc::ramp(), crtc::rampOf(gamma)); };
        };
        QVERIFY2(waitFor(at(14), 2000), qPrintable(hex(crtc::ramp())));
        QVERIFY(k.reg({"query", "HKCU\\Software\\Orvendale Software\\Kelvaro\\Profiles\\Game", "/v",
                       "Gamma"})
                    .contains("0xe"));
        const qint64 back = games.endToBack(at(14), at(12));
        QVERIFY2(back >= 0 && back <= 1600, qPrintable(QString::number(back) + hex(crtc::ramp())));
        QCOMPARE(k.terminate(), 0);
    }

    void hotkeysFromAnywhereKeepTheFocus() {
        QVERIFY(crtc::setRamp(crtc::rampOf(10))); // uncalibrated: the formula's ramp as it is
        Kelvaro k;
        k.seed("", "Hotkeys", "REG_DWORD", "1");
        k.seed("", "Exit", "REG_DWORD", "0"); // without it neither option reads as on
        k.seed("", "Desktop", "REG_DWORD", "10");
        QVERIFY(k.start());
        QVERIFY(pastTheSplash());
        QProcess other;
        other.start("xmessage", {"-name", "focusholder", "-center", "focus stays here"});
        QVERIFY(other.waitForStarted());
        QString holder;
        QVERIFY(waitFor([&] { return !(holder = visibleWindow("focusholder")).isEmpty(); }, 5000));
        QVERIFY(focusWindow(holder));
        const QString key = "HKCU\\Software\\Orvendale Software\\Kelvaro";
        xdotool({"key", "ctrl+alt+KP_Add"});
        QVERIFY(waitFor(
            [&] {
                return k.reg({"query", key, "/v", "Desktop"}).contains("0xb");
            },
            2000));
        QVERIFY(same(crtc::ramp(), crtc::rampOf(11)));
        // The display: centred, and the focus stayed where it was.
        QString osd;
        QVERIFY(waitFor([&] { return !(osd = osdWindow()).isEmpty(); }, 1000));
        QVERIFY2(xdotool({"getwindowgeometry", osd}).contains("Position: 408,356"),
                 qPrintable(xdotool({"getwindowgeometry", osd})));
        QCOMPARE(xdotool({"getwindowfocus"}), holder);
        // Num Lock on: still a hot key. Keypad plus alone, or Ctrl+Alt and the main plus: not.
        xdotool({"key", "Num_Lock"});
        xdotool({"key", "ctrl+alt+KP_Add"});
        xdotool({"key", "Num_Lock"});
        QVERIFY(waitFor(
            [&] {
                return k.reg({"query", key, "/v", "Desktop"}).contains("0xc");
            },
            2000));
        xdotool({"key", "KP_Add"});
        xdotool({"key", "ctrl+alt+plus"});
        xdotool({"key", "shift+ctrl+alt+KP_Add"});
        QVERIFY(holdsFor(
            [&] {
                return k.reg({"query", key, "/v", "Desktop"}).contains("0xc");
            },
            500));
        // Gone about a second after the last press.
        QVERIFY(waitFor([] { return !osdShown(); }, 2500));
        QCOMPARE(xdotool({"getwindowfocus"}), holder);
        other.kill();
        other.waitForFinished();
        QCOMPARE(k.terminate(), 0);
    }

    void holdingAHotKeyRepeats() {
        Kelvaro k;
        k.seed("", "Hotkeys", "REG_DWORD", "1");
        k.seed("", "Exit", "REG_DWORD", "0");
        k.seed("", "Desktop", "REG_DWORD", "10");
        QVERIFY(k.start());
        QVERIFY(pastTheSplash());
        run("xset", {"r", "rate", "200", "20"});
        const QString key = "HKCU\\Software\\Orvendale Software\\Kelvaro";
        auto desktop = [&] {
            return k.reg({"query", key, "/v", "Desktop"})
                .section("0x", 1)
                .trimmed()
                .toInt(nullptr, 16);
        };
        QElapsedTimer held;
        held.start();
        xdotool({"keydown", "ctrl", "alt", "KP_Add"});
        // Held down: the press and then repeats, at 20 a second after 200 ms.
        const bool repeated = waitFor([&] { return desktop() >= 15; }, 3000);
        const qint64 heldMs = held.elapsed();
        xdotool({"keyup", "KP_Add", "alt", "ctrl"});
        QVERIFY2(repeated, qPrintable(QString::number(desktop())));
        QVERIFY2(heldMs >= 300, qPrintable(QString::number(heldMs))); // not five presses at once
        const int after = settled(desktop);
        QVERIFY(holdsFor([&] { return desktop() == after; }, 500)); // stopped with the release
        QCOMPARE(k.terminate(), 0);
    }

    void programsOutliveKelvaro() {
        const QString marker = work.filePath("alive.txt");
        const QString prog =
            script("long runner", QStringLiteral("sleep 4\ntouch '%1'\n").arg(marker));
        Kelvaro k;
        k.seed("\\Profiles\\Long", "FileName", "REG_SZ", prog);
        QVERIFY(k.start());
        QVERIFY(pastTheSplash());
        menuPick(k, {"Down", "Down", "Down", "Down", "Down", "Return"});
        QVERIFY(waitFor([&] { return !run("pgrep", {"-f", prog}).isEmpty(); }, 3000));
        QCOMPARE(k.terminate(), 0);
        QVERIFY(waitFor([&] { return QFile::exists(marker); }, 8000));
    }

    void createAProfileThroughTheWindow() {
        const QString prog = script("made by hand", "exit 0\n");
        Kelvaro k;
        QVERIFY(k.start());
        QVERIFY(pastTheSplash());
        k.clickIcon(1, 2);
        QVERIFY(waitFor([] { return !profilesWindow().isEmpty(); }, 5000));
        const QString win = profilesWindow();
        QVERIFY(focusWindow(win));
        // Clicks and keys reach the window in the order they are sent: no pause between them.
        xdotool(QStringList{"mousemove", "--window", win} + designed(win, 12, 15) +
                QStringList{"click", "1"}); // New
        xdotool({"key", "ctrl+a"});
        xdotool({"type", "--delay", "20", "Hand Made"});
        xdotool(QStringList{"mousemove", "--window", win} + designed(win, 288, 145) +
                QStringList{"click", "1"}); // Browse...
        QString dialog;
        QVERIFY(waitFor(
            [&] {
                for (const QString& id : programWindows())
                    if (id != win && !hasSize(id, "22x22")) dialog = id;
                return !dialog.isEmpty();
            },
            5000));
        QVERIFY(waitFor([&] { return xdotool({"getwindowfocus"}) == dialog; }, 3000));
        xdotool({"type", "--delay", "20", prog});
        xdotool({"key", "Return"});
        QVERIFY(waitFor([&] { return !programWindows().contains(dialog); }, 3000));
        QVERIFY(waitFor([&] { return xdotool({"getwindowfocus"}) == win; }, 3000));
        // Move the slider with the keyboard: the CRTC follows. The click that gives the slider
        // the focus may page it: start from where that leaves the ramp.
        xdotool(QStringList{"mousemove", "--window", win} + designed(win, 420, 220) +
                QStringList{"click", "1"});
        const auto before = settled([] { return crtc::ramp(); });
        // A busy desktop can hand the focus back a moment late: press again until it moves.
        QVERIFY(waitFor(
            [&] {
                xdotool({"key", "Right"});
                return waitFor([&] { return crtc::ramp() != before; }, 700);
            },
            3000));
        xdotool(QStringList{"mousemove", "--window", win} + designed(win, 408, 265) +
                QStringList{"click", "1"}); // Save
        QVERIFY(waitFor([&] { return xdotool({"getwindowfocus"}) != win; }, 3000));
        xdotool({"key", "Return"}); // the "saved" message
        const QString out =
            k.reg({"query", "HKCU\\Software\\Orvendale Software\\Kelvaro\\Profiles\\Hand Made"});
        QVERIFY2(out.contains("FileName    REG_SZ    " + prog), qPrintable(out));
        QCOMPARE(k.terminate(), 0);
    }
};

// Run on a desktop without any tray (KELVARO_NO_TRAY=1).
class NoTrayTest : public QObject {
    Q_OBJECT
private slots:
    void startUpWithoutATrayRunsOn() {
        Kelvaro k;
        runsOnWithoutATray(k, "Add a system tray");
    }
};

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (qEnvironmentVariableIsSet("KELVARO_NO_TRAY")) {
        NoTrayTest noTray;
        return QTest::qExec(&noTray, argc, argv);
    }
    DesktopTest desktop;
    AcceptanceTest acceptance;
    const int status = QTest::qExec(&desktop, argc, argv) | QTest::qExec(&acceptance, argc, argv);
    if (restartedTrayer) ::kill(pid_t(restartedTrayer), SIGTERM);
    return status;
}

#include "test_desktop.moc"
