// The real program under a virtual desktop (Xvfb, openbox, trayer), driven with xdotool and
// watched through RandR and kelvaro-reg, as a user and their tools would see it.
#include "Crtc.h"

#include "Desktop.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
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
        int status = 0;
        const QString out =
            k.reg({"query", "HKCU\\Software\\Orvendale Software\\Kelvaro"}, &status);
        QCOMPARE(status, 0);
        QVERIFY(out.contains("Kelvaro\\Profiles"));
        QVERIFY2(same(crtc::ramp(), crtc::rampOf(10)), qPrintable(hex(crtc::ramp())));
        QTest::qWait(1800); // past the splash
        QCOMPARE(profilesWindow(), QString());
        QCOMPARE(xdotool({"search", "--onlyvisible", "--name", "^(Options|About|Kelvaro)$"}),
                 QString());
        QCOMPARE(k.terminate(), 0);
        QVERIFY2(same(crtc::ramp(), crtc::rampOf(25)), qPrintable(hex(crtc::ramp())));
    }

    void aBlackCaptureIsNeverRestored() {
        QVERIFY(crtc::setRamp(crtc::zeros())); // what a fresh server reads as
        Kelvaro k;
        k.seed("", "Desktop", "REG_DWORD", "13");
        QVERIFY(k.start());
        QVERIFY(same(crtc::ramp(), crtc::rampOf(13)));
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
        QTest::qWait(1500);
        k.clickIcon(1, 1); // a single click does nothing
        QTest::qWait(700);
        QCOMPARE(profilesWindow(), QString());
        k.clickIcon(1, 2);
        QVERIFY(waitFor([] { return !profilesWindow().isEmpty(); }, 5000));
        // Selecting the profile previews its gamma on the CRTC.
        const QString win = profilesWindow();
        xdotool({"mousemove", "--window", win, "40", "80", "click", "1"});
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
        xdotool({"windowactivate", "--sync", profilesWindow(), "key", "alt+F4"});
        QVERIFY(waitFor([] { return profilesWindow().isEmpty(); }, 5000));
        QTest::qWait(500);
        QCOMPARE(k.proc.state(), QProcess::Running);
        // A panel that restarts gets the icon again.
        const QString trayerPid = qEnvironmentVariable("KELVARO_TRAYER_PID");
        if (!trayerPid.isEmpty()) {
            ::kill(trayerPid.toInt(), SIGTERM);
            QVERIFY(waitFor([&k] { return !k.trayIcon(); }, 5000));
            QVERIFY(startTrayer(&restartedTrayer));
            QVERIFY(waitFor([&k] { return k.trayIcon().has_value(); }, 10000));
            QTest::qWait(500);
            k.clickIcon(1, 2);
            QVERIFY(waitFor([] { return !profilesWindow().isEmpty(); }, 5000));
        }
        QCOMPARE(k.terminate(), 0);
    }

    void desktopGammaIsOnTheDisplayAfterStartUp() {
        Kelvaro k;
        k.seed("", "Desktop", "REG_DWORD", "13");
        QVERIFY(k.start());
        QVERIFY2(same(crtc::ramp(), crtc::rampOf(13)), qPrintable(hex(crtc::ramp())));
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
        QVERIFY(waitFor(
            [&] {
                for (const QString& id :
                     xdotool({"search", "--onlyvisible", "--classname", "^kelvaro$"})
                         .split('\n', Qt::SkipEmptyParts))
                    if (xdotool({"getwindowgeometry", id}).contains("304x80")) {
                        splash = id;
                        return true;
                    }
                return false;
            },
            5000));
        const QString geo = xdotool({"getwindowgeometry", splash});
        QVERIFY2(geo.contains("Position: 360,344"), qPrintable(geo)); // centred on 1024 x 768
        QDir().mkpath(qEnvironmentVariable("KELVARO_BUILD") + "/screenshots");
        run("import",
            {"-window", "root", qEnvironmentVariable("KELVARO_BUILD") + "/screenshots/splash.png"});
        QTest::qWait(2000);
        QVERIFY(!xdotool({"search", "--onlyvisible", "--classname", "^kelvaro$"})
                     .split('\n')
                     .contains(splash));
        QCOMPARE(k.terminate(), 0);
    }
};

class AcceptanceTest : public QObject {
    Q_OBJECT
    QTemporaryDir work;

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
    // A user's typical launch, from the first click to Exit.
    void typicalLaunchEndToEnd() {
        const QString record = work.filePath("record.txt");
        const QString done = work.filePath("done.txt");
        const QString recorder =
            script("record game", QStringLiteral("pwd > '%1'\nfor a in \"$@\"; do printf '%s\\n' "
                                                 "\"$a\" >> '%1'; done\nsleep 2\ntouch '%2'\n")
                                      .arg(record, done));
        Kelvaro k;
        k.seed("", "Desktop", "REG_DWORD", "12");
        k.seed("", "Hotkeys", "REG_DWORD", "1");
        k.seed("", "Exit", "REG_DWORD", "0");
        k.seed("\\Profiles\\Recorder", "FileName", "REG_SZ", recorder);
        k.seed("\\Profiles\\Recorder", "Args", "REG_SZ", "-level 3 \"two words\" $HOME");
        k.seed("\\Profiles\\Recorder", "Gamma", "REG_DWORD", "15");
        k.seed("\\Profiles\\Other", "FileName", "REG_SZ", "/bin/true");
        k.seed("\\Profiles\\Other", "Gamma", "REG_DWORD", "20");
        QVERIFY(crtc::setRamp(crtc::rampOf(25)));
        QVERIFY(k.start());
        QVERIFY(same(crtc::ramp(), crtc::rampOf(12)));
        QTest::qWait(1500);

        // Profiles, Options, About, Help, Other, Recorder.
        menuPick(k, {"Down", "Down", "Down", "Down", "Down", "Down", "Return"});
        QVERIFY2(waitFor([] { return same(crtc::ramp(), crtc::rampOf(15)); }, 3000),
                 qPrintable(hex(crtc::ramp())));
        QVERIFY(waitFor([&] { return lines(record).size() == 5; }, 3000));
        QCOMPARE(lines(record), (QStringList{QFileInfo(recorder).absolutePath(), "-level", "3",
                                             "two words", "$HOME"}));

        // A hot key during the watch steps the running profile.
        xdotool({"key", "ctrl+alt+KP_Subtract"});
        QVERIFY2(waitFor([] { return same(crtc::ramp(), crtc::rampOf(14)); }, 2000),
                 qPrintable(hex(crtc::ramp())));
        QVERIFY(k.reg({"query", "HKCU\\Software\\Orvendale Software\\Kelvaro\\Profiles\\Recorder",
                       "/v", "Gamma"})
                    .contains("0xe"));
        QVERIFY(waitFor(osdShown, 1000));

        // The program ends: the desktop gamma is back within 1.6 seconds.
        QVERIFY(waitFor([&] { return QFile::exists(done); }, 5000));
        QElapsedTimer sinceEnd;
        sinceEnd.start();
        QVERIFY(waitFor([] { return same(crtc::ramp(), crtc::rampOf(12)); }, 3000));
        QVERIFY2(sinceEnd.elapsed() <= 1600, qPrintable(QString::number(sinceEnd.elapsed())));

        // The profiles window by double-click, Options from the menu.
        k.clickIcon(1, 2);
        QVERIFY(waitFor([] { return !profilesWindow().isEmpty(); }, 5000));
        menuPick(k, {"Down", "Down", "Return"});
        QVERIFY(waitFor(
            [] {
                return !xdotool({"search", "--onlyvisible", "--name", "^Options$"}).isEmpty();
            },
            5000));
        xdotool({"key", "Escape"});
        QVERIFY(waitFor(
            [] {
                return xdotool({"search", "--onlyvisible", "--name", "^Options$"}).isEmpty();
            },
            5000));

        // Exit, the last item: the start-up ramp, status 0, no icon.
        menuPick(k, {"Up", "Return"});
        QVERIFY(k.proc.state() == QProcess::NotRunning || k.proc.waitForFinished(5000));
        QCOMPARE(k.proc.exitStatus(), QProcess::NormalExit);
        QCOMPARE(k.proc.exitCode(), 0);
        QVERIFY2(same(crtc::ramp(), crtc::rampOf(25)), qPrintable(hex(crtc::ramp())));
        QVERIFY(!k.trayIcon());
    }

    void hotkeysFromAnywhereKeepTheFocus() {
        Kelvaro k;
        k.seed("", "Hotkeys", "REG_DWORD", "1");
        k.seed("", "Exit", "REG_DWORD", "0"); // without it neither option reads as on
        k.seed("", "Desktop", "REG_DWORD", "10");
        QVERIFY(k.start());
        QTest::qWait(1500);
        QProcess other;
        other.start("xmessage", {"-name", "focusholder", "-center", "focus stays here"});
        QVERIFY(other.waitForStarted());
        QString holder;
        QVERIFY(waitFor([&] { return !(holder = visibleWindow("focusholder")).isEmpty(); }, 5000));
        xdotool({"windowactivate", "--sync", holder});
        QVERIFY(waitFor([&] { return xdotool({"getwindowfocus"}) == holder; }, 3000));
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
        QTest::qWait(500);
        QVERIFY(k.reg({"query", key, "/v", "Desktop"}).contains("0xc"));
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
        QTest::qWait(1500);
        run("xset", {"r", "rate", "200", "20"});
        xdotool({"keydown", "ctrl", "alt", "KP_Add"});
        QTest::qWait(800);
        xdotool({"keyup", "KP_Add", "alt", "ctrl"});
        QTest::qWait(300);
        const QString key = "HKCU\\Software\\Orvendale Software\\Kelvaro";
        const QString after = k.reg({"query", key, "/v", "Desktop"});
        const int steps = after.section("0x", 1).trimmed().toInt(nullptr, 16) - 10;
        QVERIFY2(steps >= 4 && steps <= 20, qPrintable(after)); // 1 + about 12 repeats at 20/s
        QTest::qWait(500);
        QCOMPARE(k.reg({"query", key, "/v", "Desktop"}), after); // stopped with the release
        QCOMPARE(k.terminate(), 0);
    }

    void programsOutliveKelvaro() {
        const QString marker = work.filePath("alive.txt");
        const QString prog =
            script("long runner", QStringLiteral("sleep 4\ntouch '%1'\n").arg(marker));
        Kelvaro k;
        k.seed("\\Profiles\\Long", "FileName", "REG_SZ", prog);
        QVERIFY(k.start());
        QTest::qWait(1500);
        menuPick(k, {"Down", "Down", "Down", "Down", "Down", "Return"});
        QTest::qWait(500);
        QCOMPARE(k.terminate(), 0);
        QVERIFY(waitFor([&] { return QFile::exists(marker); }, 8000));
    }

    void createAProfileThroughTheWindow() {
        const QString prog = script("made by hand", "exit 0\n");
        Kelvaro k;
        QVERIFY(k.start());
        QTest::qWait(1500);
        k.clickIcon(1, 2);
        QVERIFY(waitFor([] { return !profilesWindow().isEmpty(); }, 5000));
        const QString win = profilesWindow();
        xdotool({"windowactivate", "--sync", win});
        xdotool({"mousemove", "--window", win, "12", "15", "click", "1"}); // New
        QTest::qWait(300);
        xdotool({"key", "ctrl+a"});
        xdotool({"type", "--delay", "20", "Hand Made"});
        xdotool({"mousemove", "--window", win, "288", "145", "click", "1"}); // Browse...
        QString dialog;
        QVERIFY(waitFor(
            [&] {
                for (const QString& id :
                     xdotool({"search", "--onlyvisible", "--classname", "^kelvaro$"})
                         .split('\n', Qt::SkipEmptyParts))
                    if (id != win && !xdotool({"getwindowgeometry", id}).contains("22x22"))
                        dialog = id;
                return !dialog.isEmpty();
            },
            5000));
        QTest::qWait(500);
        xdotool({"type", "--delay", "20", prog});
        xdotool({"key", "Return"});
        QTest::qWait(700);
        // Move the slider with the keyboard: the CRTC follows.
        xdotool({"mousemove", "--window", win, "420", "220", "click", "1"});
        QTest::qWait(300);
        const auto before = crtc::ramp();
        xdotool({"key", "Right"});
        QVERIFY(waitFor([&] { return crtc::ramp() != before; }, 2000));
        xdotool({"mousemove", "--window", win, "408", "265", "click", "1"}); // Save
        QTest::qWait(700);
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
    void startUpWaitsForATrayThenEnds() {
        Kelvaro k;
        k.proc.setProcessEnvironment(k.env());
        QElapsedTimer t;
        t.start();
        k.proc.start(qEnvironmentVariable("KELVARO_BIN"), {});
        QString box;
        // The splash, named alike, comes and goes while the program waits.
        QVERIFY(waitFor(
            [&] {
                box = visibleWindow("^Kelvaro$");
                return !box.isEmpty() && !xdotool({"getwindowgeometry", box}).contains("304x80");
            },
            20000));
        QVERIFY2(t.elapsed() >= 9000,
                 qPrintable(QString::number(t.elapsed()))); // it waited for a panel
        const QString shot = qEnvironmentVariable("KELVARO_BUILD") + "/screenshots/no-tray.png";
        run("import", {"-window", "root", shot});
        xdotool({"windowactivate", "--sync", box});
        xdotool({"key", "Return"});
        QVERIFY(k.proc.state() == QProcess::NotRunning || k.proc.waitForFinished(5000));
        QCOMPARE(k.proc.exitCode(), 0);
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
