// Several monitors on a real X server (Xorg, dummy driver): each keeps its own ramp, a gamma
// reaches all of them composed onto each one's own ramp, and a monitor switched on while the
// program runs takes the gamma in force at once and still gets its own ramp back at the end.
#include "Crtc.h"
#include "Desktop.h"
#include "Games.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <cmath>
#include <csignal>

namespace {

// A monitor's own calibration: each channel, and each monitor, different.
QVector<std::uint16_t> calibrated(int size, int seed) {
    QVector<std::uint16_t> r(3 * size);
    for (int c = 0; c < 3; ++c)
        for (int j = 0; j < size; ++j)
            r[c * size + j] = std::uint16_t(std::lround(
                65535.0 * std::pow(double(j) / (size - 1), 0.7 + 0.1 * c + 0.2 * seed)));
    return r;
}

bool xrandr(const QStringList& args) {
    int status = -1;
    run("xrandr", args, &status);
    return status == 0;
}

// Switches the second monitor on (to the right of the first) or off.
bool secondMonitor(bool on) {
    if (!on) return xrandr({"--output", "DUMMY1", "--off"});
    xrandr({"--addmode", "DUMMY1", "1400x1050"}); // once per server; fails after that
    return xrandr({"--output", "DUMMY1", "--mode", "1400x1050", "--right-of", "DUMMY0"});
}

// The CRTC that drives the second monitor: the active one that isn't first's.
std::uint32_t otherCrtc(std::uint32_t first) {
    for (std::uint32_t id : crtc::active())
        if (id != first) return id;
    return 0;
}

// Waits, reading often, until id shows expected; the time it took, or -1.
qint64 msUntil(std::uint32_t id, const QVector<std::uint16_t>& expected, int limitMs) {
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < limitMs) {
        if (crtc::rawRamp(id) == expected) return t.elapsed();
        QThread::msleep(2);
    }
    return -1;
}

void seedGame(const Kelvaro& k, int desktop, int game = 20) {
    k.seed("", "Desktop", "REG_DWORD", QString::number(desktop));
    k.seed("", "Exit", "REG_DWORD", "0");
    k.seed("", "Hotkeys", "REG_DWORD", "0");
    k.seed("\\Profiles\\Game", "FileName", "REG_SZ", "/bin/sleep");
    k.seed("\\Profiles\\Game", "Args", "REG_SZ", "3");
    k.seed("\\Profiles\\Game", "Gamma", "REG_DWORD", QString::number(game));
}

} // namespace

class MonitorsTest : public QObject {
    Q_OBJECT
    std::uint32_t first = 0;

    static bool startQuiet(Kelvaro& k) {
        return k.start() && waitFor([&] { return !k.menuShown(); }, 5000);
    }

private slots:
    void initTestCase() {
        if (qEnvironmentVariable("KELVARO_XSERVER") != "xorg")
            QSKIP("several monitors need scripts/with-desktop --xorg");
        const QList<std::uint32_t> ids = crtc::active();
        QVERIFY(!ids.isEmpty());
        first = ids.front();
    }
    void init() {
        QVERIFY(secondMonitor(false));
        QVERIFY(waitFor([] { return crtc::active().size() == 1; }, 3000));
    }
    void cleanup() { secondMonitor(false); }

    void eachMonitorGetsItsOwnRampBack_data() {
        QTest::addColumn<QString>("quit");
        QTest::addColumn<int>("desktop");
        QTest::addColumn<int>("game");
        QTest::addColumn<bool>("scaled"); // the first monitor's own ramp is i * 200
        QTest::newRow("Exit") << "exit" << 13 << 20 << false;
        QTest::newRow("SIGTERM") << "term" << 13 << 20 << false;
        QTest::newRow("Exit, i * 200 on the first") << "exit" << 12 << 18 << true;
    }
    void eachMonitorGetsItsOwnRampBack() {
        QFETCH(QString, quit);
        QFETCH(int, desktop);
        QFETCH(int, game);
        QFETCH(bool, scaled);
        QVERIFY(secondMonitor(true));
        QVERIFY(waitFor([] { return crtc::active().size() == 2; }, 3000));
        const std::uint32_t second = otherCrtc(first);
        QVector<std::uint16_t> ownFirst = calibrated(crtc::gammaSize(first), 0);
        for (int i = 0; scaled && i < ownFirst.size(); ++i)
            ownFirst[i] = std::uint16_t(i % 256 * 200);
        const QVector<std::uint16_t> ownSecond = calibrated(crtc::gammaSize(second), 1);
        QVERIFY(crtc::setRawRamp(first, ownFirst));
        QVERIFY(crtc::setRawRamp(second, ownSecond));

        Kelvaro k;
        seedGame(k, desktop, game);
        QVERIFY(startQuiet(k));
        QVERIFY(msUntil(first, crtc::rampOver(ownFirst, desktop), 3000) >= 0);
        QVERIFY(msUntil(second, crtc::rampOver(ownSecond, desktop), 3000) >= 0);
        // A profile's gamma reaches both.
        k.pickFromMenu({"Down", "Down", "Down", "Down", "Down", "Return"});
        QVERIFY(msUntil(first, crtc::rampOver(ownFirst, game), 3000) >= 0);
        QVERIFY(msUntil(second, crtc::rampOver(ownSecond, game), 3000) >= 0);

        if (quit == "exit") {
            k.pickFromMenu({"Up", "Return"});
            QVERIFY(k.ended());
        } else {
            QCOMPARE(k.terminate(), 0);
        }
        QCOMPARE(crtc::rawRamp(first), ownFirst);
        QCOMPARE(crtc::rawRamp(second), ownSecond);
    }

    // With "Profile gamma only where its program is in front", each monitor shows the profile
    // while the game's window is active on it or full screen on it, the desktop gamma otherwise,
    // whichever way the game was started; the hot keys step what is in front.
    void theProfileFollowsTheGameInFront_data() {
        QTest::addColumn<QString>("shape");
        QTest::addColumn<QString>("window"); // the game's own command
        const QString xterm = "xterm -title kelvaro-game -geometry 80x24+100+100 -e sleep 60";
        QTest::newRow("started itself") << "exec" << xterm;
        QTest::newRow("full screen") << "exec"
                                     << "xterm -fullscreen" + xterm.mid(5);
        QTest::newRow("through a wrapper that exited") << "game & exit" << xterm;
        QTest::newRow("inside bwrap --unshare-pid") << "bwrap --unshare-pid" << xterm;
        QTest::newRow("a Wine window") << "exec"
                                       << "wine notepad";
    }
    void theProfileFollowsTheGameInFront() {
        QFETCH(QString, shape);
        QFETCH(QString, window);
        const bool fullScreen = window.contains("-fullscreen");
        Kelvaro k;
        QTemporaryDir wine;
        if (window.startsWith("wine")) {
            if (QStandardPaths::findExecutable("wine").isEmpty()) QSKIP("Wine is not installed");
            k.extra.insert("WINEPREFIX", wine.path());
            k.extra.insert("WINEDEBUG", "-all");
            k.extra.insert("WINEDLLOVERRIDES", "mscoree,mshtml="); // no installer dialogs
            int made = -1;
            run("sh", {"-c", "wineboot -i && wineserver -w"}, &made, k.env());
            QCOMPARE(made, 0);
        }
        QVERIFY(secondMonitor(true));
        QVERIFY(waitFor([] { return crtc::active().size() == 2; }, 3000));
        const std::uint32_t second = otherCrtc(first);
        const QVector<std::uint16_t> ownFirst = crtc::rawRamp(first);
        const QVector<std::uint16_t> ownSecond = crtc::rawRamp(second);
        auto on = [&](int a, int b) {
            return crtc::rawRamp(first) == crtc::rampOver(ownFirst, a) &&
                   crtc::rawRamp(second) == crtc::rampOver(ownSecond, b);
        };
        Games games;
        games.window = window;
        const auto [program, args] = games.program(shape);
        seedGame(k, 12, 18);
        k.seed("", "Hotkeys", "REG_DWORD", "1");
        k.seed("", "FollowFocus", "REG_DWORD", "1");
        k.seed("\\Profiles\\Game", "FileName", "REG_SZ", program);
        k.seed("\\Profiles\\Game", "Args", "REG_SZ", args);
        QVERIFY(startQuiet(k));
        QProcess other;
        other.start("xterm", {"-title", "kelvaro-other", "-geometry", "80x24+1200+100"});
        QString xterm, game;
        QVERIFY(
            waitFor([&] { return !(xterm = visibleWindow("^kelvaro-other$")).isEmpty(); }, 5000));
        k.pickFromMenu({"Down", "Down", "Down", "Down", "Down", "Return"});
        QVERIFY(waitFor(
            [&] {
                return !(game = visibleWindow("^(kelvaro-game|Untitled - Notepad)$")).isEmpty();
            },
            10000));
        QVERIFY(focusWindow(game));
        QVERIFY2(waitFor([&] { return on(18, 12); }, 2000), qPrintable(hex(crtc::rawRamp(first))));

        // Activated as a pager asks (not waiting for the window manager), timed to the ramps.
        auto activate = [&](const QString& w, int a, int b) {
            QElapsedTimer t;
            t.start();
            xdotool({"windowactivate", w});
            while (!on(a, b) && t.elapsed() < 3000)
                QThread::msleep(1);
            return on(a, b) ? t.elapsed() : -1;
        };
        const qint64 away = activate(xterm, fullScreen ? 18 : 12, 12);
        QVERIFY2(away >= 0 && away <= 50, qPrintable(QString("%1 ms").arg(away)));
        const qint64 back = activate(game, 18, 12);
        QVERIFY2(back >= 0 && back <= 50, qPrintable(QString("%1 ms").arg(back)));
        qInfo("focus to ramp: %lld ms away from the game, %lld ms back", away, back);

        // The hot key steps what is in front: the profile while the game is active...
        QVERIFY(focusWindow(game));
        xdotool({"key", "ctrl+alt+KP_Add"});
        QVERIFY(waitFor([&] { return on(19, 12); }, 2000));
        // ...the desktop gamma while the other window is.
        QVERIFY(focusWindow(xterm));
        xdotool({"key", "ctrl+alt+KP_Add"});
        QVERIFY(waitFor([&] { return on(fullScreen ? 19 : 13, 13); }, 2000));
        QVERIFY(waitFor([&] { return k.desktopGamma() == 13; }, 2000));
        QVERIFY(k.reg({"query", "HKCU\\Software\\Orvendale Software\\Kelvaro\\Profiles\\Game", "/v",
                       "Gamma"})
                    .contains("0x13"));

        QVERIFY(closeWindow(game));
        QVERIFY(waitFor([&] { return on(13, 13); }, 3000)); // the game's end: the desktop
        other.kill();
        other.waitForFinished();
        QCOMPARE(k.terminate(), 0);
        QVERIFY(games.over());
        if (!k.extra.isEmpty()) run("wineserver", {"-k"}, nullptr, k.env());
    }

    void aMonitorSwitchedOnTakesTheGammaInForce() {
        const QVector<std::uint16_t> ownFirst = calibrated(crtc::gammaSize(first), 0);
        QVERIFY(crtc::setRawRamp(first, ownFirst));
        Kelvaro k;
        seedGame(k, 15);
        QVERIFY(secondMonitor(true));
        QVERIFY(waitFor([] { return crtc::active().size() == 2; }, 3000));
        const std::uint32_t second = otherCrtc(first);
        const QVector<std::uint16_t> ownSecond = calibrated(crtc::gammaSize(second), 2);
        QVERIFY(crtc::setRawRamp(second, ownSecond));
        QVERIFY(secondMonitor(false));
        QVERIFY(waitFor([] { return crtc::active().size() == 1; }, 3000));

        QVERIFY(startQuiet(k));
        QVERIFY(msUntil(first, crtc::rampOver(ownFirst, 15), 3000) >= 0);
        QCOMPARE(crtc::rawRamp(second), ownSecond); // off: left alone

        QVERIFY(secondMonitor(true));
        QCOMPARE(otherCrtc(first), second);
        const qint64 ms = msUntil(second, crtc::rampOver(ownSecond, 15), 1000);
        QVERIFY2(ms >= 0 && ms <= 100, qPrintable(QStringLiteral("%1 ms").arg(ms)));
        qInfo("the monitor switched on showed the gamma in force after %lld ms", ms);

        // Off and on again: the gamma in force, and its own ramp at the end all the same.
        QVERIFY(secondMonitor(false));
        QVERIFY(waitFor([] { return crtc::active().size() == 1; }, 3000));
        QVERIFY(secondMonitor(true));
        QVERIFY(msUntil(second, crtc::rampOver(ownSecond, 15), 1000) >= 0);
        k.pickFromMenu({"Up", "Return"});
        QVERIFY(k.ended());
        QCOMPARE(crtc::rawRamp(first), ownFirst);
        QCOMPARE(crtc::rawRamp(second), ownSecond);
    }

    // The on-screen display comes up on the monitor of the window in front, and a click on
    // it reaches that window: one that covers the second monitor's middle and reports clicks.
    void theOnScreenDisplayFollowsTheFocusAndTakesNoClicks() {
        QVERIFY(secondMonitor(true));
        QVERIFY(waitFor([] { return crtc::active().size() == 2; }, 3000));
        Kelvaro k;
        seedGame(k, 10);
        k.seed("", "Hotkeys", "REG_DWORD", "1");
        QVERIFY(startQuiet(k));
        QProcess game;
        game.start("xev", {"-name", "ongame", "-event", "button", "-geometry", "1200x900+1124+75"});
        QString holder, osd;
        QVERIFY(waitFor([&] { return !(holder = visibleWindow("ongame")).isEmpty(); }, 5000));
        QVERIFY(focusWindow(holder));
        xdotool({"key", "ctrl+alt+KP_Add"});
        QVERIFY(waitFor([&] { return !(osd = osdWindow()).isEmpty(); }, 2000));
        xdotool({"mousemove", "--window", osd, "20", "20", "click", "1"});
        QVERIFY(
            waitFor([&] { return game.readAllStandardOutput().contains("ButtonPress"); }, 2000));
        game.kill();
        game.waitForFinished();
        QCOMPARE(k.terminate(), 0);
    }
};

QTEST_GUILESS_MAIN(MonitorsTest)
#include "test_monitors.moc"
