// One running copy per display: later starts reach the copy that runs instead of adding a
// second one, and `kelvaro --step` steps its gamma as a hot key does.
#include "Crtc.h"
#include "Desktop.h"
#include "Wait.h"

#include <QElapsedTimer>

namespace {

// Every docked icon of ours: a 22 x 22 window of class kelvaro.
int trayIcons() {
    int n = 0;
    for (const QString& id : xdotool({"search", "--onlyvisible", "--classname", "^kelvaro$"})
                                 .split('\n', Qt::SkipEmptyParts))
        if (xdotool({"getwindowgeometry", id}).contains("Geometry: 22x22")) ++n;
    return n;
}

struct Run {
    int status = -1;
    qint64 ms = 0;
    QString err;
};

// The program started once more, as the user would, in the running copy's settings.
Run startAgain(const Kelvaro& k, const QStringList& args = {}) {
    QProcess p;
    p.setProcessEnvironment(k.env());
    QElapsedTimer t;
    t.start();
    p.start(qEnvironmentVariable("KELVARO_BIN"), args);
    Run r;
    if (!p.waitForFinished(10000)) {
        p.kill();
        p.waitForFinished();
        return r;
    }
    r.ms = t.elapsed();
    r.status = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.err = QString::fromLocal8Bit(p.readAllStandardError());
    return r;
}

} // namespace

class InstanceTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        QVERIFY2(!qEnvironmentVariable("DISPLAY").isEmpty(), "run under scripts/with-desktop");
        QVERIFY2(!crtc::ramp().isEmpty(), "the X server has no CRTC with a gamma ramp");
    }

    void aSecondStartShowsTheRunningCopy() {
        QVERIFY(crtc::setRamp(crtc::rampOf(25)));
        Kelvaro k;
        k.seedHotkeysAt(10);
        QVERIFY(k.start());
        QVERIFY(waitFor([] { return same(crtc::ramp(), crtc::rampOf(10)); }, 3000));
        QVERIFY(profilesWindow().isEmpty());
        const Run second = startAgain(k);
        QCOMPARE(second.err, QString());
        QCOMPARE(second.status, 0);
        QVERIFY2(second.ms < 1000, qPrintable(QString::number(second.ms)));
        QVERIFY(waitFor([] { return !profilesWindow().isEmpty(); }, 3000));
        QVERIFY(waitFor([] { return trayIcons() == 1; }, 3000));
        QTest::qWait(500);
        QVERIFY2(trayIcons() == 1,
                 qPrintable(run("sh", {"-c", "xwininfo -root -tree | grep -E 'kelvaro|panel'"})));
        // Only the one copy answers the hot key: one press, one tenth.
        xdotool({"key", "ctrl+alt+KP_Add"});
        QVERIFY(waitFor([&] { return k.desktopGamma() == 11; }, 2000));
        QTest::qWait(500);
        QCOMPARE(k.desktopGamma(), 11);
        QVERIFY2(same(crtc::ramp(), crtc::rampOf(11)), qPrintable(hex(crtc::ramp())));
        // Quitting the one copy puts back the ramp from before it started.
        QCOMPARE(k.terminate(), 0);
        QVERIFY2(same(crtc::ramp(), crtc::rampOf(25)), qPrintable(hex(crtc::ramp())));
    }

    void twoStartsAtOnceMakeOneCopy() {
        Kelvaro k;
        k.seedHotkeysAt(10);
        QProcess other;
        other.setProcessEnvironment(k.env());
        other.start(qEnvironmentVariable("KELVARO_BIN"), QStringList());
        k.proc.setProcessEnvironment(k.env());
        k.proc.start(qEnvironmentVariable("KELVARO_BIN"), QStringList());
        // Whichever came second hands over and ends; the other one stays.
        QVERIFY(waitFor(
            [&] {
                return other.state() == QProcess::NotRunning ||
                       k.proc.state() == QProcess::NotRunning;
            },
            5000));
        QProcess& gone = other.state() == QProcess::NotRunning ? other : k.proc;
        QProcess& stays = &gone == &other ? k.proc : other;
        QCOMPARE(gone.exitCode(), 0);
        QVERIFY(waitFor([] { return trayIcons() == 1; }, 10000));
        QTest::qWait(500);
        QCOMPARE(trayIcons(), 1);
        QCOMPARE(stays.state(), QProcess::Running);
        ::kill(pid_t(stays.processId()), SIGTERM);
        QVERIFY(stays.waitForFinished(10000));
        QCOMPARE(stays.exitCode(), 0);
    }

    void stepFromTheCommandLine_data() {
        QTest::addColumn<QStringList>("steps");
        QTest::addColumn<int>("expected");
        QTest::newRow("up") << QStringList{"up"} << 13;
        QTest::newRow("down twice") << QStringList{"down", "down"} << 10;
        QTest::newRow("top stays") << QStringList{"up", "up", "up"} << 30;
    }
    void stepFromTheCommandLine() {
        QFETCH(QStringList, steps);
        QFETCH(int, expected);
        Kelvaro k;
        const int start = expected == 30 ? 29 : 12;
        k.seedHotkeysAt(start);
        // The command line steps whether or not the hot keys themselves are on.
        k.seed("", "Hotkeys", "REG_DWORD", "0");
        QVERIFY(k.start());
        for (const QString& step : steps) {
            const Run r = startAgain(k, {"--step", step});
            QCOMPARE(r.err, QString());
            QCOMPARE(r.status, 0);
        }
        QCOMPARE(k.desktopGamma(), expected);
        QVERIFY2(same(crtc::ramp(), crtc::rampOf(expected)), qPrintable(hex(crtc::ramp())));
        QVERIFY(waitFor([] { return !osdWindow().isEmpty(); }, 1000));
        QCOMPARE(k.terminate(), 0);
        const Run after = startAgain(k, {"--step", "up"});
        QCOMPARE(after.status, 1);
        QCOMPARE(after.err, "kelvaro: Kelvaro is not running on this display\n");
    }
};

QTEST_GUILESS_MAIN(InstanceTest)
#include "test_instance.moc"
