// GNOME's way to the gamma: Mutter's display-configuration service, here a fake of our own on
// a private session bus.
#include "SessionBus.h"
#include "TestMain.h"
#include "gamma/Gamma.h"
#include "platform/MutterGamma.h"

namespace {

bool SameAs(const std::vector<quint16>& got, const GammaRamp& ramp) {
    return got.size() == ramp.entries.size() &&
           std::equal(got.begin(), got.end(), ramp.entries.begin());
}

} // namespace

class GnomeTest : public QObject {
    Q_OBJECT
private slots:
    void noServiceNoGamma() {
        SessionBus bus;
        QVERIFY(!bus.address().isEmpty());
        platform::MutterGamma gamma;
        QVERIFY(!gamma.connect(bus.address()));
        QVERIFY(!gamma.connected());
    }

    void capturesLoadsAndRestores_data() {
        QTest::addColumn<int>("position");
        for (int p : {3, 10, 22})
            QTest::addRow("%d", p) << p;
    }
    void capturesLoadsAndRestores() {
        QFETCH(int, position);
        SessionBus bus;
        FakeDisplayConfig mutter(bus, {"--crtcs", "256,1024", "--inactive"});
        QVERIFY(mutter.ready());
        platform::MutterGamma gamma;
        QVERIFY(gamma.connect(bus.address()));
        QCOMPARE(gamma.crtcCount(), 2);

        // What the program calls the start-up ramp is the first monitor's, as it was.
        GammaRamp startup;
        QVERIFY(gamma.startupRamp(startup));
        QVERIFY(SameAs(mutter.last("initial", 40).entries, startup));

        const GammaRamp ramp = RampForPosition(position);
        gamma.load(ramp);
        QVERIFY(mutter.waitForTables("set", 40, 1) && mutter.waitForTables("set", 41, 1));
        QVERIFY(SameAs(mutter.last("set", 40).entries, ramp));
        const Recorder::Tables wide = mutter.last("set", 41);
        QCOMPARE(wide.size, 1024);
        for (int c = 0; c < 3; ++c)
            for (int k = 0; k <= 3; ++k)
                QCOMPARE(wide.channel(c)[size_t(341 * k)], ramp.entries[size_t(256 * c + 85 * k)]);
        QCOMPARE(mutter.last("set", 42).size, 0); // switched off: left alone

        // Each monitor gets its own ramp back, entry for entry, at its own size.
        gamma.restore();
        for (int crtc : {40, 41}) {
            QVERIFY(mutter.waitForTables("set", crtc, 2));
            QVERIFY(mutter.last("set", crtc).entries == mutter.last("initial", crtc).entries);
        }
        QCOMPARE(mutter.last("set", 42).size, 0);
    }

    void aStaleSerialIsReadAgain() {
        SessionBus bus;
        FakeDisplayConfig mutter(bus);
        QVERIFY(mutter.ready());
        platform::MutterGamma gamma;
        QVERIFY(gamma.connect(bus.address()));
        mutter.command("stale 0");
        QVERIFY(mutter.waitForStart("serial 2"));
        gamma.load(RampForPosition(18));
        QVERIFY(mutter.waitForTables("set", 40, 1));
        QCOMPARE(mutter.count("stale 40"), 1);
        QVERIFY(SameAs(mutter.last("set", 40).entries, RampForPosition(18)));
    }

    void aMonitorSwitchedOnGetsTheGammaInForce() {
        SessionBus bus;
        FakeDisplayConfig mutter(bus);
        QVERIFY(mutter.ready());
        platform::MutterGamma gamma;
        QVERIFY(gamma.connect(bus.address()));
        gamma.load(RampForPosition(7));
        mutter.command("add 512");
        QVERIFY(mutter.waitForStart("set 41 "));
        QCOMPARE(gamma.crtcCount(), 2);
        const Recorder::Tables added = mutter.last("set", 41);
        QCOMPARE(added.size, 512);
        QCOMPARE(added.channel(2).back(), quint16(0xFF00));
        gamma.restore();
        QVERIFY(mutter.waitForTables("set", 41, 2) && mutter.waitForTables("set", 40, 2));
        QVERIFY(mutter.last("set", 41).entries == mutter.last("initial", 41).entries);
        QVERIFY(mutter.last("set", 40).entries == mutter.last("initial", 40).entries);
    }
};

KELVARO_TEST_MAIN(GnomeTest)
#include "test_gnome.moc"
