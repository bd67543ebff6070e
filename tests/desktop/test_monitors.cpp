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

    // Other programs write the ramp too: a calibration loader, night lights once (-O), their
    // reset (-x), night lights running on (started first, or while the program runs). The ramp
    // each leaves is the base every gamma goes onto: through a 10 s game, after it, at Exit
    // and at the next start. A night light running on has the desktop (no desktop gamma).
    void sharesTheDisplayWithOtherWriters_data() {
        QTest::addColumn<QString>("before");  // run once before the start
        QTest::addColumn<QString>("light");   // a night light running on
        QTest::addColumn<bool>("lightFirst"); // started before the program, else while it runs
        QTest::addColumn<QString>("during");  // run once while the program runs
        QTest::addColumn<QString>("base");    // leaves the expected base on the identity
        QTest::addColumn<bool>("desktop");    // the desktop gamma shows over the base
        const QString cal = "dispwin -d 1 /usr/share/color/argyll/ref/strange.cal", none;
        const QString gs = "gammastep -m randr -O 4000", rs = "redshift -m randr -O 4000";
        QTest::newRow("dispwin while running") << none << none << false << cal << cal << true;
        QTest::newRow("gammastep -O while running") << none << none << false << gs << gs << true;
        QTest::newRow("redshift -O while running") << none << none << false << rs << rs << true;
        QTest::newRow("gammastep -x over its tint")
            << gs << none << false << "gammastep -m randr -x" << none << true;
        QTest::newRow("redshift -x over its tint")
            << rs << none << false << "redshift -m randr -x" << none << true;
        QTest::newRow("gammastep running first")
            << none << "gammastep" << true << none << gs << false;
        QTest::newRow("redshift running first")
            << none << "redshift" << true << none << rs << false;
        QTest::newRow("gammastep started while running")
            << none << "gammastep" << false << none << gs << true;
    }
    void sharesTheDisplayWithOtherWriters() {
        QFETCH(QString, before);
        QFETCH(QString, light);
        QFETCH(bool, lightFirst);
        QFETCH(QString, during);
        QFETCH(QString, base);
        QFETCH(bool, desktop);
        const auto sh = [](const QString& line) {
            if (!line.isEmpty()) run("sh", {"-c", line + " >/dev/null 2>&1"});
        };
        const QVector<std::uint16_t> identity =
            crtc::atSize(crtc::rampOf(10), crtc::gammaSize(first));
        QVERIFY(crtc::setRawRamp(first, identity));
        sh(base);
        const QVector<std::uint16_t> own = crtc::rawRamp(first);
        QVERIFY(crtc::setRawRamp(first, identity));
        const QVector<std::uint16_t> shown = desktop ? crtc::rampOver(own, 12) : own;
        const QVector<std::uint16_t> game = crtc::rampOver(own, 20);
        // The share of 100 ms samples over `ms` that show `ramp`.
        const auto share = [&](const QVector<std::uint16_t>& ramp, int ms) {
            int hits = 0, n = 0;
            QElapsedTimer t;
            t.start();
            for (; t.elapsed() < ms; ++n, QTest::qWait(100))
                hits += same(crtc::rawRamp(first), ramp);
            return double(hits) / n;
        };
        QProcess night;
        const auto startLight = [&] {
            night.start(light, {"-m", "randr", "-l", "0:0", "-t", "4000:4000"});
            QTest::qWait(5000); // its fade in
        };
        sh(before);
        if (lightFirst) startLight();
        Kelvaro k;
        seedGame(k, 12);
        k.seed("\\Profiles\\Game", "Args", "REG_SZ", "10");
        QVERIFY(k.start());
        if (!light.isEmpty() && !lightFirst) {
            // Over the desktop gamma, which the night light takes into its snapshot.
            const QVector<std::uint16_t> desktopOnly = crtc::rampOver(identity, 12);
            QVERIFY(waitFor([&] { return same(crtc::rawRamp(first), desktopOnly); }, 3000));
            startLight();
        }
        sh(during);
        QElapsedTimer since;
        since.start();
        waitFor([&] { return same(crtc::rawRamp(first), shown); }, 3000);
        const qint64 took = since.elapsed();
        QTest::qWait(500);
        for (const QString& box : xdotool({"search", "--onlyvisible", "--name", "^Kelvaro$"})
                                      .split('\n', Qt::SkipEmptyParts))
            closeWindow(box); // what it says about the night light
        const double atDesktop = share(shown, 2000);
        k.pickFromMenu({"Down", "Down", "Down", "Down", "Down", "Return"});
        const double inGame = share(game, 9500);
        QTest::qWait(3500); // the game's end, and the watch's next look
        const double after = share(shown, 5500);
        k.pickFromMenu({"Up", "Return"});
        QVERIFY(k.ended());
        const bool exited = same(crtc::rawRamp(first), own);
        QVERIFY(k.start());
        QTest::qWait(6000); // a night light's next rewrite, and the look after it
        const double again = share(shown, 1000);
        QCOMPARE(k.terminate(), 0);
        qInfo("gamma back over the new ramp after %lld ms; desktop %.0f %%, game %.0f %% of 9.5 s, "
              "after it %.0f %% of 5.5 s, Exit %s, "
              "next start %.0f %%",
              took, 100 * atDesktop, 100 * inGame, 100 * after, exited ? "base" : "not the base",
              100 * again);
        night.terminate();
        night.waitForFinished();
        crtc::setRawRamp(first, identity);
        QVERIFY(took <= 100); // the server said when the tool wrote: no waiting for a look
        QCOMPARE(atDesktop, 1.0);
        QVERIFY(inGame >= 0.95);
        QCOMPARE(after, 1.0);
        QVERIFY(exited);
        QCOMPARE(again, 1.0);
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
