// The program in a Wayland session: our test compositor stands for the compositor and the
// virtual desktop's X server for its Xwayland, as a user of sway or GNOME would run it.
#include "Compositor.h"
#include "Crtc.h"
#include "Desktop.h"
#include "Interpolate.h"
#include "SessionBus.h"
#include "WaylandSession.h"

namespace {

// A ramp at 1024 entries: entry 341 k is entry 85 k of the 256-entry ramp.
bool WideMatches(const Recorder::Tables& t, int position) {
    const std::vector<quint16> ramp = Expected(position);
    if (t.size != 1024) return false;
    for (int c = 0; c < 3; ++c)
        for (int k = 0; k <= 3; ++k)
            if (t.channel(c)[size_t(341 * k)] != ramp[size_t(256 * c + 85 * k)]) return false;
    return true;
}

// Gamma `position` read through a CRTC's own tables, at the entries where its size meets 256
// (all of them at 256; entry 341 k of 1024 is entry 85 k), to within `slack` units.
bool Over(const Recorder::Tables& t, const Recorder::Tables& own, int position, int slack = 0) {
    const std::vector<quint16> ramp = Expected(position);
    for (int c = 0; c < 3 && t.size == own.size && t.size > 1; ++c)
        for (int i = 0; i < 256; ++i)
            if (i * (t.size - 1) % 255 == 0 &&
                std::abs(int(t.channel(c)[size_t(i * (t.size - 1) / 255)]) -
                         int(Interpolated(own.channel(c).data(), own.size, 65536,
                                          ramp[size_t(256 * c + i)]))) > slack)
                return false;
    return t.size > 1 && t.size == own.size;
}

int step(const Kelvaro& k, const QString& direction) {
    int status = -1;
    run(qEnvironmentVariable("KELVARO_BIN"), {"--step", direction}, &status, k.env());
    return status;
}

} // namespace

class WaylandSessionTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() {
        QVERIFY2(!qEnvironmentVariable("DISPLAY").isEmpty(), "run under scripts/with-desktop");
    }

    void everyOutputStepsAndIsGivenBackOnTerm() {
        QVERIFY(crtc::setRamp(crtc::rampOf(25)));
        TestCompositor compositor({"--sizes", "256,1024"});
        QVERIFY(compositor.ready());
        Kelvaro k;
        inSession(k, compositor);
        k.seed("", "Desktop", "REG_DWORD", "13");
        QVERIFY(k.start());
        QVERIFY(compositor.waitUntil([&] {
            return compositor.lastRamp(0).entries == Expected(13) &&
                   WideMatches(compositor.lastRamp(1), 13);
        }));
        QCOMPARE(compositor.count("unsealed 0") + compositor.count("unsealed 1"), 0);

        QCOMPARE(step(k, "up"), 0);
        QVERIFY(compositor.waitUntil([&] {
            return compositor.lastRamp(0).entries == Expected(14) &&
                   WideMatches(compositor.lastRamp(1), 14);
        }));
        QCOMPARE(k.reg({"query", "HKCU\\Software\\Orvendale Software\\Kelvaro", "/v", "Desktop"})
                     .contains("0xe"),
                 true);
        // Xwayland's RandR gamma changes nothing on a Wayland screen: it was never used.
        QVERIFY2(same(crtc::ramp(), crtc::rampOf(25)), qPrintable(hex(crtc::ramp())));

        QCOMPARE(k.terminate(), 0);
        QVERIFY(compositor.waitForCount("destroyed 0", 1));
        QVERIFY(compositor.waitForCount("destroyed 1", 1));
    }

    void exitFromTheMenuGivesTheOutputsBack() {
        TestCompositor compositor;
        QVERIFY(compositor.ready());
        Kelvaro k;
        inSession(k, compositor);
        k.seed("", "Desktop", "REG_DWORD", "8");
        QVERIFY(k.start());
        QVERIFY(
            compositor.waitUntil([&] { return compositor.lastRamp(1).entries == Expected(8); }));
        QTest::qWait(1500); // past the splash
        menuPick(k, {"Up", "Return"});
        QVERIFY(k.proc.state() == QProcess::NotRunning || k.proc.waitForFinished(5000));
        QCOMPARE(k.proc.exitCode(), 0);
        QVERIFY(compositor.waitForCount("destroyed 0", 1));
        QVERIFY(compositor.waitForCount("destroyed 1", 1));
    }

    void aRefusedOutputIsToldOnce() {
        TestCompositor compositor({"--sizes", "256,256", "--refuse", "1"});
        QVERIFY(compositor.ready());
        Kelvaro k;
        inSession(k, compositor);
        k.channels = QProcess::SeparateChannels;
        QVERIFY(k.start());
        QCOMPARE(step(k, "up"), 0);
        QCOMPARE(step(k, "up"), 0);
        QVERIFY(
            compositor.waitUntil([&] { return compositor.lastRamp(0).entries == Expected(12); }));
        QCOMPARE(compositor.lastRamp(1).size, 0);
        QCOMPARE(k.terminate(), 0);
        const QString err = QString::fromLocal8Bit(k.proc.readAllStandardError());
        QCOMPARE(err.count("does not let Kelvaro change the gamma of TEST-1"), 1);
    }

    void noWayToTheGammaIsSaidAndNothingBreaks() {
        TestCompositor compositor({"--no-gamma"});
        QVERIFY(compositor.ready());
        Kelvaro k;
        inSession(k, compositor);
        k.channels = QProcess::SeparateChannels;
        QVERIFY(k.start());
        // One box with the words, besides the tray icon; stepping still stores the value.
        QVERIFY(waitFor(
            [] {
                for (const QString& id : xdotool({"search", "--onlyvisible", "--name", "^Kelvaro$"})
                                             .split('\n', Qt::SkipEmptyParts))
                    if (!xdotool({"getwindowgeometry", id}).contains("208x56")) return true;
                return false;
            },
            5000));
        QCOMPARE(step(k, "down"), 0);
        QVERIFY(k.reg({"query", "HKCU\\Software\\Orvendale Software\\Kelvaro", "/v", "Desktop"})
                    .contains("0x9"));
        QCOMPARE(k.proc.state(), QProcess::Running);
        QCOMPARE(k.terminate(), 0);
        const QString err = QString::fromLocal8Bit(k.proc.readAllStandardError());
        QCOMPARE(err.count("This desktop does not let programs change the display gamma"), 1);
        QVERIFY(compositor.ramps().empty());
    }

    // With GNOME's Night Light on, Mutter writes each monitor's ramp over the gamma at every
    // step of its fades; that ramp becomes the base the gamma is composed onto.
    void gnomeCapturesLoadsAndRestoresEachMonitor_data() {
        QTest::addColumn<bool>("nightLight");
        QTest::newRow("Mutter") << false;
        QTest::newRow("Mutter with Night Light") << true;
    }
    void gnomeCapturesLoadsAndRestoresEachMonitor() {
        QFETCH(bool, nightLight);
        SessionBus bus;
        FakeDisplayConfig mutter(bus, {"--crtcs", "256,1024", "--night-light"});
        QVERIFY(mutter.ready());
        TestCompositor compositor({"--no-gamma"});
        QVERIFY(compositor.ready());
        Kelvaro k;
        inSession(k, compositor, bus.address());
        k.seedHotkeysAt(21);
        QVERIFY(k.start());
        QByteArray base = "initial"; // what each monitor's gamma is composed onto
        // Mutter's Night Light ramp keeps a channel of full white at the identity, truncated entry
        // by entry; a channel within a unit of the identity is taken for it, and the gamma goes
        // on as computed: at 1024 entries a unit off that ramp read through.
        int slack = 0;
        const auto shows = [&](int position) {
            return mutter.waitUntil([&] {
                return Over(mutter.last("set", 40), mutter.last(base, 40), position, slack) &&
                       Over(mutter.last("set", 41), mutter.last(base, 41), position, slack);
            });
        };
        QVERIFY(shows(21));
        std::optional<GnomeNightLight> gsd;
        for (uint kelvin : {3500u, 4000u}) {
            if (!nightLight) break;
            gsd ? gsd->set(kelvin) : void(gsd.emplace(bus, kelvin));
            base = "nightlight";
            slack = 1;
            // A fade of about 5 s, in steps 50 ms apart: each write covered within 100 ms.
            QVERIFY(mutter.waitForCount("temperature " + QByteArray::number(kelvin), 1, 15000));
            QVERIFY(shows(21));
            for (const QByteArray& l : mutter.lines())
                if (l.startsWith("covered ")) QVERIFY2(l.split(' ')[2].toInt() <= 100, l);
        }
        QCOMPARE(step(k, "down"), 0);
        QVERIFY(mutter.waitUntil(
            [&] { return Over(mutter.last("set", 40), mutter.last(base, 40), 20, slack); }));
        // Mutter stopped: hot keys still store their steps and show the on-screen display at
        // once, nothing waits for Mutter, and the last of them goes out once it runs again.
        QVERIFY(pastTheSplash());
        ::kill(pid_t(mutter.pid()), SIGSTOP);
        xdotool({"key", "ctrl+alt+KP_Add"});
        QVERIFY(waitFor([] { return !osdWindow().isEmpty(); }, 1000));
        xdotool({"key", "--delay", "100", "ctrl+alt+KP_Add", "ctrl+alt+KP_Add"});
        const qint64 stall = longestStall(k.trayIcon().value_or("0"), 3000);
        QVERIFY2(stall <= 100, qPrintable(QString::number(stall)));
        QCOMPARE(k.desktopGamma(), 23);
        ::kill(pid_t(mutter.pid()), SIGCONT);
        QVERIFY(shows(23));
        QCOMPARE(k.terminate(), 0);
        // Each monitor's own ramp back (the latest Night Light's), entry for entry, at its own
        // size.
        QVERIFY(mutter.waitUntil([&] {
            return mutter.last("set", 40).entries == mutter.last(base, 40).entries &&
                   mutter.last("set", 41).entries == mutter.last(base, 41).entries;
        }));
    }
};

QTEST_GUILESS_MAIN(WaylandSessionTest)
#include "test_wayland_session.moc"
