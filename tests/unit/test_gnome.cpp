// GNOME's way to the gamma: Mutter's display-configuration service, here a fake of our own on
// a private session bus.
#include "SessionBus.h"
#include "TestMain.h"
#include "gamma/Gamma.h"
#include "platform/display/Display.h"
#include "platform/display/MutterGamma.h"

#include <QEventLoop>
#include <QTimer>

namespace {

std::vector<std::uint16_t> Resampled(const GammaRamp& ramp, int size) {
    return platform::ResampleRamp(ramp, size).entries;
}

// Runs f as the program's handlers run, from the event loop (else f itself waits for Mutter).
void Handled(bool fromTheLoop, const std::function<void()>& f) {
    if (!fromTheLoop) return f();
    QEventLoop loop;
    QTimer::singleShot(0, &loop, [&] {
        f();
        loop.quit();
    });
    loop.exec();
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

    void readsAndLoadsEachCrtcAtItsOwnSize() {
        SessionBus bus;
        FakeDisplayConfig mutter(bus, {"--crtcs", "256,1024", "--inactive"});
        QVERIFY(mutter.ready());
        platform::MutterGamma gamma;
        QVERIFY(gamma.connect(bus.address()));
        // The switched-off CRTC is not among them.
        const auto outputs = gamma.outputs();
        QCOMPARE(outputs.size(), size_t(2));
        QCOMPARE(outputs[0].id, std::string("40"));
        QCOMPARE(outputs[0].gammaSize, 256);
        QCOMPARE(outputs[1].id, std::string("41"));
        QCOMPARE(outputs[1].gammaSize, 1024);

        for (int crtc : {40, 41}) {
            std::vector<std::uint16_t> tables;
            QVERIFY(gamma.get(std::to_string(crtc), tables));
            QVERIFY(tables == mutter.last("initial", crtc).entries);
        }
        const std::vector<std::uint16_t> wide = Resampled(RampForPosition(22), 1024);
        gamma.set("41", wide);
        QVERIFY(mutter.waitForTables("set", 41, 1));
        QVERIFY(mutter.last("set", 41).entries == wide);
        gamma.set("41", mutter.last("initial", 41).entries);
        QVERIFY(mutter.waitForTables("set", 41, 2));
        QVERIFY(mutter.last("set", 41).entries == mutter.last("initial", 41).entries);
        QCOMPARE(mutter.last("set", 40).size, 0);
    }

    // Tables longer than X's 65,535 entries: a CRTC no display has, left out.
    void anImpossibleGammaSizeLeavesTheCrtcOut_data() {
        QTest::addColumn<QString>("size");
        QTest::addColumn<bool>("used");
        QTest::newRow("65535") << "65535" << true;
        QTest::newRow("65536") << "65536" << false;
    }
    void anImpossibleGammaSizeLeavesTheCrtcOut() {
        QFETCH(QString, size);
        QFETCH(bool, used);
        SessionBus bus;
        FakeDisplayConfig mutter(bus, {"--crtcs", "256," + size});
        QVERIFY(mutter.ready());
        platform::MutterGamma gamma;
        QVERIFY(gamma.connect(bus.address()));
        QCOMPARE(gamma.outputs().size(), size_t(used ? 2 : 1));
        std::vector<std::uint16_t> tables;
        QCOMPARE(gamma.get("41", tables), used);
    }

    void aStaleSerialIsReadAgain_data() {
        QTest::addColumn<bool>("fromTheLoop");
        QTest::newRow("waited for") << false;
        QTest::newRow("from the event loop") << true;
    }
    void aStaleSerialIsReadAgain() {
        QFETCH(bool, fromTheLoop);
        SessionBus bus;
        FakeDisplayConfig mutter(bus);
        QVERIFY(mutter.ready());
        platform::MutterGamma gamma;
        QVERIFY(gamma.connect(bus.address()));
        mutter.command("stale 0");
        QVERIFY(mutter.waitForStart("serial 2"));
        const std::vector<std::uint16_t> tables = Resampled(RampForPosition(18), 256);
        Handled(fromTheLoop, [&] { gamma.set("40", tables); });
        QVERIFY(mutter.waitForTables("set", 40, 1));
        QCOMPARE(mutter.count("stale 40"), 1);
        QVERIFY(mutter.last("set", 40).entries == tables);
    }

    // A burst of loads made while Mutter is busy: the first goes out, then only the latest.
    void aBurstLoadsOnlyItsLatest() {
        SessionBus bus;
        FakeDisplayConfig mutter(bus);
        QVERIFY(mutter.ready());
        platform::MutterGamma gamma;
        QVERIFY(gamma.connect(bus.address()));
        Handled(true, [&] {
            for (int position : {11, 12, 13, 14})
                gamma.set("40", Resampled(RampForPosition(position), 256));
        });
        QVERIFY(mutter.waitForTables("set", 40, 2));
        QTest::qWait(200);
        QCOMPARE(mutter.tables("set").size(), size_t(2));
        QVERIFY(mutter.last("set", 40).entries == Resampled(RampForPosition(14), 256));
    }

    void aMonitorSwitchedOnIsToldAbout() {
        SessionBus bus;
        FakeDisplayConfig mutter(bus);
        QVERIFY(mutter.ready());
        platform::MutterGamma gamma;
        QVERIFY(gamma.connect(bus.address()));
        int changes = 0;
        gamma.onOutputsChanged = [&] { ++changes; };
        mutter.command("add 512");
        QVERIFY(mutter.waitUntil([&] { return changes == 1; }));
        QCOMPARE(gamma.outputs().size(), size_t(2));
        QCOMPARE(gamma.outputs()[1].gammaSize, 512);
    }
};

KELVARO_TEST_MAIN(GnomeTest)
#include "test_gnome.moc"
