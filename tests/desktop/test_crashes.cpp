// The display's own ramp survives whatever ends the program: every quit signal, kill -9 in the
// middle of a launch (the next run puts it back), and kelvaro --reset without a resident copy.
#include "Crtc.h"
#include "Desktop.h"

#include <QDir>
#include <QFile>
#include <QTest>
#include <QThread>
#include <cmath>
#include <csignal>

namespace {

// A display ramp of the user's own that no gamma of ours makes: each channel different.
QVector<std::uint16_t> calibrated(int size) {
    QVector<std::uint16_t> r(3 * size);
    for (int c = 0; c < 3; ++c)
        for (int j = 0; j < size; ++j)
            r[c * size + j] = std::uint16_t(
                std::lround(65535.0 * std::pow(double(j) / (size - 1), 0.85 + 0.1 * c)) | 1);
    return r;
}

std::uint32_t firstCrtc() {
    const QList<std::uint32_t> ids = crtc::active();
    return ids.isEmpty() ? 0 : ids.front();
}

// This display's journal, where the program keeps the ramps it found.
QString journalPath() {
    const QString display = qEnvironmentVariable("DISPLAY").mid(1).section('.', 0, 0);
    return qEnvironmentVariable("XDG_RUNTIME_DIR") + "/kelvaro/ramps-x-" + display;
}

// Desktop gamma 1.0 and one profile at 2.0 whose program runs a few seconds.
void seedGame(const Kelvaro& k) {
    k.seed("", "Desktop", "REG_DWORD", "10");
    k.seed("", "Exit", "REG_DWORD", "0");
    k.seed("", "Hotkeys", "REG_DWORD", "0");
    k.seed("\\Profiles\\Game", "FileName", "REG_SZ", "/bin/sleep");
    k.seed("\\Profiles\\Game", "Args", "REG_SZ", "4");
    k.seed("\\Profiles\\Game", "Gamma", "REG_DWORD", "20");
}

bool shows(const QVector<std::uint16_t>& expected) {
    return crtc::rawRamp(firstCrtc()) == expected;
}

} // namespace

class CrashesTest : public QObject {
    Q_OBJECT

    // Starts k with its splash gone, so the tray menu is the only other window it shows.
    static bool startQuiet(Kelvaro& k) {
        return k.start() && waitFor([&] { return !k.menuShown(); }, 5000);
    }
    // Launches the profile through the tray menu and waits for its gamma over the CRTC's own.
    static void launchGame(Kelvaro& k, const QVector<std::uint16_t>& own) {
        k.pickFromMenu({"Down", "Down", "Down", "Down", "Down", "Return"});
        QVERIFY2(waitFor([&] { return crtc::ramp() == crtc::rampOver(own, 20); }, 3000),
                 qPrintable(hex(crtc::ramp())));
    }

private slots:
    void initTestCase() {
        QVERIFY2(firstCrtc() != 0, "run under scripts/with-desktop: no CRTC");
        QVERIFY(QDir().mkpath(qEnvironmentVariable("XDG_RUNTIME_DIR")));
    }

    void everyQuitSignalPutsTheRampBack_data() {
        QTest::addColumn<int>("signal");
        QTest::addColumn<bool>("quits"); // else it has no effect
        QTest::newRow("SIGTERM") << SIGTERM << true;
        QTest::newRow("SIGINT") << SIGINT << true;
        QTest::newRow("SIGHUP") << SIGHUP << true;
        QTest::newRow("SIGQUIT") << SIGQUIT << true;
        QTest::newRow("SIGUSR1") << SIGUSR1 << false;
        QTest::newRow("SIGUSR2") << SIGUSR2 << false;
        QTest::newRow("SIGPIPE") << SIGPIPE << false;
    }
    void everyQuitSignalPutsTheRampBack() {
        QFETCH(int, signal);
        QFETCH(bool, quits);
        const std::uint32_t id = firstCrtc();
        const QVector<std::uint16_t> own = calibrated(crtc::gammaSize(id));
        QVERIFY(crtc::setRawRamp(id, own));
        Kelvaro k;
        k.seed("", "Desktop", "REG_DWORD", "15");
        QVERIFY(k.start());
        QVERIFY(waitFor([&] { return crtc::ramp() == crtc::rampOver(own, 15); }, 3000));
        QVERIFY(QFile::exists(journalPath()));
        ::kill(pid_t(k.proc.processId()), signal);
        if (!quits) {
            QVERIFY(!k.proc.waitForFinished(1500));
            QCOMPARE(crtc::ramp(), crtc::rampOver(own, 15));
            ::kill(pid_t(k.proc.processId()), SIGTERM);
        }
        QVERIFY(k.proc.waitForFinished(10000));
        QCOMPARE(k.proc.exitStatus(), QProcess::NormalExit);
        QCOMPARE(k.proc.exitCode(), 0);
        QVERIFY2(shows(own), qPrintable(hex(crtc::ramp())));
        QVERIFY(!QFile::exists(journalPath()));
    }

    // A quit signal while start-up is still under way (the splash showing, the options read,
    // the tray taking the icon in) ends with the display's own ramp, and no journal left.
    void aQuitSignalDuringStartUpPutsTheRampBack_data() {
        QTest::addColumn<int>("after"); // ms after the program started
        for (int ms = 0; ms <= 300; ms += 20)
            QTest::addRow("%d ms", ms) << ms;
    }
    void aQuitSignalDuringStartUpPutsTheRampBack() {
        QFETCH(int, after);
        const std::uint32_t id = firstCrtc();
        const QVector<std::uint16_t> own = calibrated(crtc::gammaSize(id));
        QVERIFY(crtc::setRawRamp(id, own));
        Kelvaro k;
        k.seed("", "Desktop", "REG_DWORD", "15");
        QVERIFY(k.launch());
        QThread::msleep(after);
        ::kill(pid_t(k.proc.processId()), SIGTERM);
        QVERIFY(k.proc.waitForFinished(10000));
        // A signal before the handlers are in ends the process by default, before any gamma.
        if (k.proc.exitStatus() == QProcess::NormalExit) QCOMPARE(k.proc.exitCode(), 0);
        QVERIFY2(shows(own), qPrintable(hex(crtc::ramp())));
        QVERIFY(!QFile::exists(journalPath()));
    }

    // kill -9 in the middle of a launch at 2.0 leaves 2.0 on the screen; what the display had
    // before comes back at the next run's Exit, or from kelvaro --reset.
    void whatAKilledRunFoundComesBack_data() {
        QTest::addColumn<bool>("reset");
        QTest::newRow("the next run's Exit") << false;
        QTest::newRow("kelvaro --reset") << true;
    }
    void whatAKilledRunFoundComesBack() {
        QFETCH(bool, reset);
        const std::uint32_t id = firstCrtc();
        const QVector<std::uint16_t> own = calibrated(crtc::gammaSize(id));
        QVERIFY(crtc::setRawRamp(id, own));
        Kelvaro crashed;
        seedGame(crashed);
        QVERIFY(startQuiet(crashed));
        launchGame(crashed, own);
        crashed.proc.kill(); // SIGKILL: nothing of the program runs
        QVERIFY(crashed.ended());
        QCOMPARE(crtc::ramp(), crtc::rampOver(own, 20));
        QVERIFY(QFile::exists(journalPath()));

        if (reset) {
            int status = -1;
            run(qEnvironmentVariable("KELVARO_BIN"), {"--reset"}, &status, crashed.env());
            QCOMPARE(status, 0);
            QVERIFY(!crashed.trayIcon()); // nothing resident started
        } else {
            Kelvaro next;
            seedGame(next);
            QVERIFY(startQuiet(next));
            // Gamma 1.0: the ramp the killed run found, exactly.
            QVERIFY(waitFor([&] { return shows(own); }, 3000));
            next.pickFromMenu({"Up", "Return"}); // Exit
            QVERIFY(next.ended());
        }
        QVERIFY2(shows(own), qPrintable(hex(crtc::ramp())));
        QVERIFY(!QFile::exists(journalPath()));
    }

    // Nothing of Kelvaro's is on the screen (a calibration, say): it stays, and the user is
    // told there was nothing to put back.
    void resetWithoutAJournalLeavesTheDisplayAlone() {
        QVERIFY(crtc::setRamp(crtc::rampOf(25)));
        Kelvaro k;
        int status = -1;
        const QString said =
            run(qEnvironmentVariable("KELVARO_BIN"), {"--reset"}, &status, k.env());
        QCOMPARE(status, 0);
        QVERIFY2(said.contains("nothing to put back"), qPrintable(said));
        QCOMPARE(crtc::ramp(), crtc::rampOf(25));
    }
};

QTEST_GUILESS_MAIN(CrashesTest)
#include "test_crashes.moc"
