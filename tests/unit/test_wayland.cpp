// Wayland sessions: which session the program is in, which way to the gamma it takes, and the
// wlroots back-end against a compositor of our own.
#include "Compositor.h"
#include "TestMain.h"
#include "gamma/Gamma.h"
#include "platform/display/WlrGamma.h"
#include "platform/system/Session.h"

using platform::GammaPath;
using platform::SessionKind;

Q_DECLARE_METATYPE(platform::SessionKind)
Q_DECLARE_METATYPE(platform::GammaPath)

class WaylandTest : public QObject {
    Q_OBJECT
private slots:
    void sessionKind_data() {
        QTest::addColumn<QString>("platform");
        QTest::addColumn<QByteArray>("sessionType");
        QTest::addColumn<QByteArray>("waylandDisplay");
        QTest::addColumn<SessionKind>("kind");
        QTest::newRow("X11") << "xcb" << QByteArray("x11") << QByteArray() << SessionKind::X11;
        QTest::newRow("X11, no session type")
            << "xcb" << QByteArray() << QByteArray() << SessionKind::X11;
        QTest::newRow("X client of sway")
            << "xcb" << QByteArray("wayland") << QByteArray("wayland-1") << SessionKind::Xwayland;
        QTest::newRow("X client, socket name only")
            << "xcb" << QByteArray() << QByteArray("wayland-0") << SessionKind::Xwayland;
        QTest::newRow("X client, session type only")
            << "xcb" << QByteArray("wayland") << QByteArray() << SessionKind::Xwayland;
        QTest::newRow("native") << "wayland" << QByteArray("wayland") << QByteArray("wayland-0")
                                << SessionKind::Wayland;
        QTest::newRow("native, EGL plugin")
            << "wayland-egl" << QByteArray() << QByteArray("wayland-0") << SessionKind::Wayland;
        QTest::newRow("offscreen") << "offscreen" << QByteArray("wayland")
                                   << QByteArray("wayland-0") << SessionKind::Other;
    }
    void sessionKind() {
        QFETCH(QString, platform);
        QFETCH(QByteArray, sessionType);
        QFETCH(QByteArray, waylandDisplay);
        QFETCH(SessionKind, kind);
        QCOMPARE(platform::DetectSession({platform, sessionType, waylandDisplay}), kind);
    }

    void gammaPath_data() {
        QTest::addColumn<SessionKind>("kind");
        QTest::addColumn<bool>("wlr");
        QTest::addColumn<bool>("mutter");
        QTest::addColumn<GammaPath>("path");
        // RandR on an X server of its own, whatever else is about; never on Xwayland.
        QTest::newRow("X11") << SessionKind::X11 << true << true << GammaPath::RandR;
        QTest::newRow("Xwayland, sway")
            << SessionKind::Xwayland << true << false << GammaPath::WlrGammaControl;
        QTest::newRow("Xwayland, GNOME")
            << SessionKind::Xwayland << false << true << GammaPath::MutterDisplayConfig;
        QTest::newRow("Xwayland, Plasma")
            << SessionKind::Xwayland << false << false << GammaPath::None;
        QTest::newRow("native, sway")
            << SessionKind::Wayland << true << false << GammaPath::WlrGammaControl;
        QTest::newRow("native, GNOME")
            << SessionKind::Wayland << false << true << GammaPath::MutterDisplayConfig;
        QTest::newRow("native, both")
            << SessionKind::Wayland << true << true << GammaPath::WlrGammaControl;
        QTest::newRow("native, Plasma")
            << SessionKind::Wayland << false << false << GammaPath::None;
        QTest::newRow("offscreen") << SessionKind::Other << true << true << GammaPath::None;
    }
    void gammaPath() {
        QFETCH(SessionKind, kind);
        QFETCH(bool, wlr);
        QFETCH(bool, mutter);
        QFETCH(GammaPath, path);
        QCOMPARE(platform::ChooseGammaPath(kind, wlr, mutter), path);
    }

    void noGammaTextsFit() {
        QVERIFY(platform::NoGammaMessage().startsWith(
            "This desktop does not let programs change the display gamma"));
        // The tray's tooltip takes fewer than 64 characters.
        QVERIFY(platform::NoGammaTooltip().size() < 64);
    }

    void noManagerNoConnection() {
        TestCompositor compositor({"--no-gamma"});
        QVERIFY(compositor.ready());
        platform::WlrGamma gamma;
        QVERIFY(!gamma.connect(compositor.socket()));
        QVERIFY(!gamma.connected());
        QVERIFY(!platform::WlrGamma().connect(QByteArray("/nonexistent/wayland-9")));
    }

    void everyOutputGetsTheRampAtItsOwnSize_data() {
        QTest::addColumn<int>("position");
        for (int p : {3, 10, 21, 30})
            QTest::addRow("%d", p) << p;
    }
    void everyOutputGetsTheRampAtItsOwnSize() {
        QFETCH(int, position);
        TestCompositor compositor({"--sizes", "256,1024"});
        QVERIFY(compositor.ready());
        platform::WlrGamma gamma;
        QVERIFY(gamma.connect(compositor.socket()));
        QCOMPARE(gamma.outputs().size(), size_t(2));
        const GammaRamp ramp = RampForPosition(position);
        gamma.load(ramp);
        QVERIFY(compositor.waitForStart("ramp 0 "));
        QVERIFY(compositor.waitForStart("ramp 1 "));
        QCOMPARE(compositor.count("unsealed 0") + compositor.count("unsealed 1"), 0);

        const Recorder::Tables same = compositor.lastRamp(0);
        QCOMPARE(same.size, 256);
        QCOMPARE(same.entries.size(), size_t(768));
        QVERIFY(std::equal(ramp.entries.begin(), ramp.entries.end(), same.entries.begin()));

        // 1024 entries: entry 341 k falls exactly on entry 85 k of the ramp; in between the
        // tables rise with the ramp, never above its end.
        const Recorder::Tables wide = compositor.lastRamp(1);
        QCOMPARE(wide.size, 1024);
        QCOMPARE(wide.entries.size(), size_t(3 * 1024));
        for (int c = 0; c < 3; ++c) {
            const std::vector<quint16> ch = wide.channel(c);
            for (int k = 0; k <= 3; ++k)
                QCOMPARE(ch[size_t(341 * k)], ramp.entries[size_t(256 * c + 85 * k)]);
            QVERIFY(std::is_sorted(ch.begin(), ch.end()));
            QCOMPARE(ch.back(), quint16(0xFF00));
        }
    }

    // A gamma size no display has (more than X's 65,535 entries) makes the output one that can't
    // be used, as a size under two does: nothing is allocated or sent for it.
    void anImpossibleGammaSizeLeavesTheOutputOut_data() {
        QTest::addColumn<QString>("size");
        QTest::addColumn<bool>("used");
        QTest::newRow("65535") << "65535" << true;
        QTest::newRow("65536") << "65536" << false;
        QTest::newRow("2^31 - 1") << "2147483647" << false;
        QTest::newRow("2^32 - 1") << "4294967295" << false;
        QTest::newRow("1") << "1" << false;
    }
    void anImpossibleGammaSizeLeavesTheOutputOut() {
        QFETCH(QString, size);
        QFETCH(bool, used);
        TestCompositor compositor({"--sizes", "256," + size});
        QVERIFY(compositor.ready());
        platform::WlrGamma gamma;
        QVERIFY(gamma.connect(compositor.socket()));
        QCOMPARE(gamma.outputs().size(), size_t(used ? 2 : 1));
        gamma.load(RampForPosition(15));
        QVERIFY(compositor.waitForStart("ramp 0 "));
        if (used) QVERIFY(compositor.waitForStart("ramp 1 "));
        QCOMPARE(compositor.lastRamp(1).size, used ? 65535 : 0);
    }

    void aRefusedOutputIsToldOnce() {
        TestCompositor compositor({"--sizes", "256,256", "--refuse", "1"});
        QVERIFY(compositor.ready());
        platform::WlrGamma gamma;
        QStringList told;
        gamma.onRefused = [&](const QString& text) { told << text; };
        QVERIFY(gamma.connect(compositor.socket()));
        for (int p : {12, 13, 14}) {
            gamma.load(RampForPosition(p));
            QVERIFY(gamma.roundtrip());
            QVERIFY(gamma.roundtrip());
        }
        QCOMPARE(told.size(), 1);
        QVERIFY2(told[0].contains("TEST-1"), qPrintable(told[0]));
        // The other output is not held back.
        QVERIFY(compositor.waitForStart("ramp 0 "));
        QCOMPARE(compositor.lastRamp(0).entries[1], RampForPosition(14).entries[1]);
        QCOMPARE(compositor.lastRamp(1).size, 0);
        QCOMPARE(gamma.outputs().size(), size_t(1));
        QCOMPARE(gamma.outputs()[0].id, std::string("TEST-0"));
    }

    void anOutputTakenAwayIsToldOnce() {
        TestCompositor compositor;
        QVERIFY(compositor.ready());
        platform::WlrGamma gamma;
        int told = 0;
        gamma.onRefused = [&](const QString&) { ++told; };
        QVERIFY(gamma.connect(compositor.socket()));
        gamma.load(RampForPosition(20));
        QVERIFY(compositor.waitForCount("control 0", 1));
        QVERIFY(compositor.waitForStart("ramp 0 "));
        compositor.command("fail 0");
        QVERIFY(compositor.waitForCount("failed 0", 1));
        QTRY_COMPARE(told, 1);
        compositor.command("fail 1");
        QVERIFY(compositor.waitForCount("failed 1", 1));
        QVERIFY(gamma.roundtrip());
        QCOMPARE(told, 1);
    }

    void outputsFollowTheRegistry() {
        TestCompositor compositor({"--sizes", "256,256"});
        QVERIFY(compositor.ready());
        platform::WlrGamma gamma;
        QVERIFY(gamma.connect(compositor.socket()));
        const GammaRamp ramp = RampForPosition(17);
        gamma.load(ramp);
        QVERIFY(compositor.waitForStart("ramp 1 "));

        // A monitor plugged in is told about once its size is known; the gamma in force is
        // then loaded into every output, as the program does.
        int changes = 0;
        gamma.onOutputsChanged = [&] {
            ++changes;
            gamma.load(ramp);
        };
        compositor.command("add 4096");
        QVERIFY(compositor.waitForStart("ramp 2 "));
        QCOMPARE(gamma.outputs().size(), size_t(3));
        const Recorder::Tables added = compositor.lastRamp(2);
        QCOMPARE(added.size, 4096);
        QCOMPARE(added.entries[4095], quint16(0xFF00));
        QCOMPARE(added.entries[4095 + 4096], quint16(0xFF00));

        // One unplugged is forgotten, and told about: later loads go to the others only.
        gamma.onOutputsChanged = [&] { ++changes; };
        const int changesBefore = changes;
        compositor.command("remove 0");
        QTRY_COMPARE(gamma.outputs().size(), size_t(2));
        QCOMPARE(changes, changesBefore + 1);
        const int before = int(compositor.ramps().size());
        gamma.load(RampForPosition(8));
        QVERIFY(gamma.roundtrip());
        QVERIFY(compositor.waitForCount("destroyed 0", 1));
        QTRY_COMPARE(int(compositor.ramps().size()), before + 2);
        const std::vector<Recorder::Tables> all = compositor.ramps();
        for (size_t i = size_t(before); i < all.size(); ++i)
            QVERIFY(all[i].id != 0);
    }

    void restoreAndQuitGiveTheOutputsBack() {
        TestCompositor compositor({"--sizes", "256,512"});
        QVERIFY(compositor.ready());
        {
            platform::WlrGamma gamma;
            QVERIFY(gamma.connect(compositor.socket()));
            gamma.load(RampForPosition(25));
            QVERIFY(compositor.waitForStart("ramp 1 "));

            gamma.restore();
            QVERIFY(compositor.waitForCount("destroyed 0", 1));
            QVERIFY(compositor.waitForCount("destroyed 1", 1));

            // The next gamma takes the outputs again.
            gamma.load(RampForPosition(5));
            QVERIFY(compositor.waitForCount("control 0", 2));
            QVERIFY(compositor.waitForCount("control 1", 2));
            QVERIFY(compositor.waitForTables("ramp", 1, 2));
            QCOMPARE(compositor.lastRamp(1).size, 512);
        }
        // Gone with the object: the compositor puts the originals back.
        QVERIFY(compositor.waitForCount("destroyed 0", 2));
        QVERIFY(compositor.waitForCount("destroyed 1", 2));
    }
};

KELVARO_TEST_MAIN(WaylandTest)
#include "test_wayland.moc"
