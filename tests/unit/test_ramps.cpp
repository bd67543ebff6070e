// Every output's own ramp: resampling between gamma sizes, the start-up ramps put back
// bit-exact, outputs switched on and off while the program runs, the journal a crash leaves
// behind, and the reset that reads it.
#include "Interpolate.h"
#include "Program.h"
#include "TestMain.h"
#include "platform/display/RampKeeper.h"
#include "platform/display/SessionDisplay.h"

#include <QDataStream>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <cmath>
#include <sys/stat.h>
#include <unistd.h>

using platform::OutputRamp;
using platform::OutputRamps;
using platform::RampJournal;
using platform::ResampleRamp;

namespace {

// A monitor's own calibration: a curve no 256-entry ramp holds, different in each channel.
OutputRamp Calibrated(int size, int seed) {
    OutputRamp r(size);
    for (int c = 0; c < 3; ++c)
        for (int j = 0; j < size; ++j) {
            const double x = double(j) / (size - 1);
            const double v = 65535.0 * std::pow(x, 0.8 + 0.1 * c + 0.05 * seed);
            r.entries[std::size_t(c * size + j)] = std::uint16_t(std::lround(v) ^ (j % 7 ? 0 : 1));
        }
    return r;
}

OutputRamp At(int position, int size) {
    return ResampleRamp(RampForPosition(position), size);
}

// The formula's ramp at own's size read through own as a curve: entry f becomes own's value at
// f * (size - 1) / 65535, each channel through its own.
OutputRamp Through(const OutputRamp& own, int position) {
    OutputRamp r = At(position, own.size());
    const std::size_t n = std::size_t(own.size());
    for (std::size_t i = 0; i < r.entries.size(); ++i)
        r.entries[i] = Interpolated(&own.entries[i / n * n], int(n), 65536, r.entries[i]);
    return r;
}

// A process id that no process holds any more.
qint64 DeadPid() {
    QProcess p;
    p.start(QStringLiteral("true"), {});
    p.waitForStarted();
    const qint64 pid = p.processId();
    p.waitForFinished();
    return pid;
}

// Makes the journal look as if a run that has since died wrote it.
void OrphanJournal(const QString& path) {
    QFile f(path);
    QVERIFY(f.open(QIODevice::ReadWrite));
    QByteArray bytes = f.readAll();
    QByteArray head;
    QDataStream out(&head, QIODevice::WriteOnly);
    out << qint64(DeadPid()) << quint64(1);
    bytes.replace(4, head.size(), head);
    f.seek(0);
    f.write(bytes);
}

// A runtime folder of the test's own, so journals never meet those of other runs.
struct RuntimeDir {
    QTemporaryDir dir;
    QByteArray saved = qgetenv("XDG_RUNTIME_DIR");
    RuntimeDir() { qputenv("XDG_RUNTIME_DIR", dir.path().toUtf8()); }
    ~RuntimeDir() { qputenv("XDG_RUNTIME_DIR", saved); }
    RuntimeDir(const RuntimeDir&) = delete;
    RuntimeDir& operator=(const RuntimeDir&) = delete;
};

} // namespace

class RampsTest : public QObject {
    Q_OBJECT
    std::unique_ptr<RuntimeDir> runtime;
    std::unique_ptr<Program> p;

    FakeDisplay::FakeOutput& out(const char* id) { return *p->display.find(id); }
    static RampJournal journal() { return RampJournal("test-display"); }

private slots:
    void init() {
        runtime = std::make_unique<RuntimeDir>();
        p = std::make_unique<Program>();
        p->display.key = "test-display";
    }
    void cleanup() {
        p.reset();
        runtime.reset();
    }

    // ---- Resampling ----

    void resampleIsExactLinearInterpolation_data() {
        QTest::addColumn<int>("inSize");
        QTest::addColumn<int>("outSize");
        QTest::addColumn<int>("position"); // 0: a calibrated ramp of inSize
        QTest::newRow("256 to 1024, darker") << 256 << 1024 << 5;
        QTest::newRow("256 to 4096, brighter") << 256 << 4096 << 20;
        QTest::newRow("256 to 2") << 256 << 2 << 13;
        QTest::newRow("256 to 17") << 256 << 17 << 30;
        QTest::newRow("256 to 257") << 256 << 257 << 3;
        QTest::newRow("256 to 256 copies") << 256 << 256 << 7;
        QTest::newRow("1024 to 256") << 1024 << 256 << 0;
        QTest::newRow("4096 to 256") << 4096 << 256 << 0;
        QTest::newRow("3 to 256") << 3 << 256 << 0;
    }
    void resampleIsExactLinearInterpolation() {
        QFETCH(int, inSize);
        QFETCH(int, outSize);
        QFETCH(int, position);
        const OutputRamp in = position ? At(position, 256) : Calibrated(inSize, 1);
        std::vector<std::uint16_t> got(static_cast<std::size_t>(outSize));
        for (int c = 0; c < 3; ++c) {
            const std::uint16_t* channel = in.entries.data() + c * inSize;
            platform::ResampleChannel(channel, inSize, got.data(), outSize);
            for (int j = 0; j < outSize; ++j)
                QCOMPARE(got[std::size_t(j)], Interpolated(channel, inSize, outSize, j));
            QCOMPARE(got.front(), channel[0]);
            QCOMPARE(got.back(), channel[inSize - 1]);
        }
    }

    // ---- Start-up ramps put back ----

    void eachOutputComesBackBitExact_data() {
        QTest::addColumn<QString>("quit");
        QTest::newRow("exit") << "exit";
        QTest::newRow("closing the window with Exit on") << "close";
    }
    void eachOutputComesBackBitExact() {
        QFETCH(QString, quit);
        const OutputRamp big = Calibrated(1024, 1), huge = Calibrated(4096, 2);
        p->display.ramp = RampForPosition(7);
        p->display.add("1", big);
        p->display.add("2", huge);
        Program::setValue(ProgramKey, "Desktop", 13);
        Program::setValue(ProgramKey, "Exit", quit == "close" ? 1 : 0);
        Program::setValue(ProgramKey, "Hotkeys", 0);
        p->start();
        // The desktop gamma on every output, at each one's size.
        QVERIFY(p->displayShows(13));
        QCOMPARE(out("1").ramp, Through(big, 13));
        QCOMPARE(out("2").ramp, Through(huge, 13));
        QCOMPARE(InForce->StartupRamp(), RampForPosition(7));
        QVERIFY(QFile::exists(journal().path()));
        if (quit == "close") {
            Form_Main->show();
            Form_Main->close();
        } else {
            Form_Main->QuitSequence();
        }
        QVERIFY(Application->Terminated());
        QVERIFY(p->displayIsBack(7));
        QCOMPARE(out("1").ramp, big);
        QCOMPARE(out("2").ramp, huge);
        QVERIFY(!QFile::exists(journal().path()));
    }

    void aZeroOutputComesBackAsIdentityAtItsSize() {
        p->display.add("1", OutputRamp(1024)); // a server that never had a ramp reads zeros
        p->start();
        Form_Main->QuitSequence();
        QCOMPARE(out("1").ramp, At(10, 1024));
    }

    void anOutputThatCantBeReadIsReleased() {
        p->display.add("1", Calibrated(512, 1)).readable = false;
        p->start();
        Form_Main->QuitSequence();
        QCOMPARE(p->display.released, std::vector<std::string>{"1"});
        QCOMPARE(out("1").ramp, At(10, 512)); // the desktop gamma went on all the same
    }

    // ---- A calibration kept under every gamma ----

    void aCalibrationStaysUnderEveryGamma_data() {
        QTest::addColumn<QString>("shape"); // of the output's start-up ramp
        QTest::addColumn<int>("size");
        QTest::newRow("identity, 2") << "identity" << 2;
        QTest::newRow("identity, 256") << "identity" << 256;
        QTest::newRow("identity, 1024") << "identity" << 1024;
        QTest::newRow("identity, 4096") << "identity" << 4096;
        QTest::newRow("X's identity i << 8, 256") << "x" << 256;
        QTest::newRow("X's identity, 1024") << "x" << 1024;
        QTest::newRow("i * 200, 256") << "scaled" << 256;
        QTest::newRow("scaled, 2") << "scaled" << 2;
        QTest::newRow("scaled, 4096") << "scaled" << 4096;
        QTest::newRow("not monotone, 1024") << "zigzag" << 1024;
        QTest::newRow("each channel its own, 1024") << "calibrated" << 1024;
    }
    void aCalibrationStaysUnderEveryGamma() {
        QFETCH(QString, shape);
        QFETCH(int, size);
        OutputRamp own = Calibrated(size, 2);
        for (std::size_t i = 0; i < own.entries.size(); ++i) {
            const auto j = static_cast<long long>(i) % size, last = size - 1LL;
            std::uint16_t& e = own.entries[i];
            if (shape == "identity") e = std::uint16_t((2 * j * 65535 + last) / (2 * last));
            if (shape == "x") e = std::uint16_t(j * 65280 / last);
            if (shape == "scaled") e = std::uint16_t(j * 51000 / last);
            if (shape == "zigzag") e = std::uint16_t(j * 40503 % 65536);
        }
        const bool identity = shape == "identity" || shape == "x";
        p->display.add("1", own);
        p->start();
        for (int position : {3, 10, 12, 18, 30}) {
            InForce->DesktopPreviewed(position);
            QCOMPARE(out("1").ramp, position == 10 ? own
                                    : identity     ? At(position, size)
                                                   : Through(own, position));
        }
        Form_Main->QuitSequence();
        QCOMPARE(out("1").ramp, own);
    }

    // ---- Other programs' writes ----

    // A ramp another program wrote becomes the output's base; one that is this program's own
    // scaled per channel (a night light on top, also when found at the next start) gives only
    // its scale to the base.
    void anotherProgramsWriteIsTakenIn_data() {
        QTest::addColumn<QString>("writes");
        QTest::newRow("a calibration loaded") << "calibration";
        QTest::newRow("a tint over this program's ramp") << "tint";
        QTest::newRow("that tint found at the next start") << "restart";
    }
    void anotherProgramsWriteIsTakenIn() {
        QFETCH(QString, writes);
        const OutputRamp own = Calibrated(1024, 1);
        const auto tint = [](OutputRamp r) {
            for (std::size_t i = 0; i < r.entries.size(); ++i)
                r.entries[i] = std::uint16_t(r.entries[i] * (1.0 - 0.2 * double(i / 1024)));
            return r;
        };
        const auto near = [](const OutputRamp& a, const OutputRamp& b) {
            for (std::size_t i = 0; i < a.entries.size(); ++i)
                if (std::abs(a.entries[i] - b.entries[i]) > 3) return false;
            return a.size() == b.size();
        };
        p->display.add("1", own);
        Program::setValue(ProgramKey, "Desktop", 12);
        p->start();
        const OutputRamp base = writes == "calibration" ? Calibrated(1024, 4) : tint(own);
        const OutputRamp written = writes == "calibration" ? base : tint(out("1").ramp);
        if (writes == "restart") {
            Form_Main->QuitSequence();
            p.reset();
            p = std::make_unique<Program>();
            p->display.key = "test-display";
            p->display.add("1", written);
            Program::setValue(ProgramKey, "Desktop", 12);
            p->start();
            QVERIFY(near(out("1").ramp, Through(base, 12)));
        } else {
            out("1").ramp = written;
        }
        InForce->DesktopPreviewed(15);
        // Taken in once the display answers, after the load the preview made.
        QTRY_VERIFY(near(out("1").ramp, Through(base, 15)));
        Form_Main->QuitSequence();
        QVERIFY(near(out("1").ramp, base));
    }

    // ---- Outputs switched on and off ----

    void anOutputSwitchedOnTakesTheGammaInForce() {
        const OutputRamp own = Calibrated(1024, 3);
        p->display.add("1", own).active = false;
        Program::setValue(ProgramKey, "Desktop", 13);
        p->start();
        QCOMPARE(out("1").ramp, own); // off: left alone
        QVERIFY(!journal().read()->ramps.count("1"));

        p->display.plug("1", true);
        QCOMPARE(out("1").ramp, Through(own, 13));
        // Its own ramp was taken before the gamma went on, and journalled.
        QCOMPARE(journal().read()->ramps.at("1"), own);
        InForce->DesktopPreviewed(20);
        QCOMPARE(out("1").ramp, Through(own, 20));

        p->display.plug("1", false);
        const int loads = out("1").loads;
        InForce->DesktopPreviewed(25);
        QCOMPARE(out("1").loads, loads); // dropped
        QVERIFY(p->displayShows(25));

        // Back on: the gamma in force again, and still its own ramp at the end.
        p->display.plug("1", true);
        QCOMPARE(out("1").ramp, Through(own, 25));
        Form_Main->QuitSequence();
        QCOMPARE(out("1").ramp, own);
    }

    void anOutputSwitchedOnAfterQuittingIsLeftAlone() {
        const OutputRamp own = Calibrated(256, 1);
        p->display.add("1", own).active = false;
        p->start();
        Form_Main->QuitSequence();
        p->display.plug("1", true);
        QCOMPARE(out("1").ramp, own);
    }

    // ---- The journal ----

    void aDeadRunsJournalGivesTheStartupRamps() {
        // The crashed run found these, and left its profile's gamma on both outputs.
        const OutputRamp own = Calibrated(1024, 2);
        const OutputRamps found{{"0", At(7, 256)}, {"1", own}};
        QVERIFY(journal().write(found));
        OrphanJournal(journal().path());
        QVERIFY(!journal().read()->ownerAlive);
        p->display.ramp = RampForPosition(20);
        p->display.add("1", At(20, 1024));
        p->start();
        QCOMPARE(InForce->StartupRamp(), RampForPosition(7));
        const auto now = journal().read();
        QVERIFY(now && now->ownerAlive); // this run's now
        QCOMPARE(now->ramps, found);
        Form_Main->QuitSequence();
        QVERIFY(p->displayIsBack(7));
        QCOMPARE(out("1").ramp, own);
        QVERIFY(!QFile::exists(journal().path()));
    }

    void aLiveCopysJournalIsLeftAlone() {
        const OutputRamps theirs{{"0", At(7, 256)}};
        QVERIFY(journal().write(theirs)); // this process: alive
        p->display.ramp = RampForPosition(12);
        p->start();
        QCOMPARE(InForce->StartupRamp(), RampForPosition(12));
        Form_Main->QuitSequence();
        QVERIFY(p->displayIsBack(12));
        QCOMPARE(journal().read()->ramps, theirs);
    }

    void anUnreadableJournalIsReplaced_data() {
        QTest::addColumn<int>("cut");         // bytes kept; -1 all
        QTest::addColumn<QByteArray>("tail"); // appended
        QTest::addColumn<int>("flip");        // byte changed; -1 none
        QTest::addColumn<QString>("plant");   // what stands at the journal's name instead
        QTest::newRow("empty") << 0 << QByteArray() << -1 << "";
        QTest::newRow("cut short") << 100 << QByteArray() << -1 << "";
        QTest::newRow("bytes after the end") << -1 << QByteArray("x") << -1 << "";
        QTest::newRow("not a journal") << -1 << QByteArray() << 0 << "";
        QTest::newRow("a size out of range") << -1 << QByteArray() << 30 << "";
        QTest::newRow("a link to a journal") << -1 << QByteArray() << -1 << "link";
        QTest::newRow("a FIFO") << -1 << QByteArray() << -1 << "fifo";
        QTest::newRow("another user's journal") << -1 << QByteArray() << -1 << "foreign";
    }
    void anUnreadableJournalIsReplaced() {
        QFETCH(int, cut);
        QFETCH(QByteArray, tail);
        QFETCH(int, flip);
        QFETCH(QString, plant);
        QVERIFY(journal().write({{"0", At(7, 256)}}));
        OrphanJournal(journal().path());
        QFile f(journal().path());
        QVERIFY(f.open(QIODevice::ReadOnly));
        QByteArray bytes = f.readAll();
        f.close();
        if (cut >= 0) bytes.truncate(cut);
        if (flip >= 0) bytes[flip] = char(bytes[flip] ^ 0x40);
        bytes += tail;
        // A journal elsewhere, whole and readable, that the link points to: it stays as it is.
        const QString elsewhere = runtime->dir.path() + "/elsewhere";
        if (plant == "link") {
            QVERIFY(QFile::rename(journal().path(), elsewhere));
            QVERIFY(QFile::link(elsewhere, journal().path()));
        } else if (plant == "fifo") {
            QVERIFY(QFile::remove(journal().path()));
            QCOMPARE(::mkfifo(QFile::encodeName(journal().path()).constData(), 0600), 0);
        } else if (plant == "foreign") {
            if (::chown(QFile::encodeName(journal().path()).constData(), 65534, 65534) != 0)
                QSKIP("only root can give a file to another user");
        } else {
            QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
            f.write(bytes);
            f.close();
        }
        QVERIFY(!journal().read()); // and at once: a FIFO is not waited on

        p->display.ramp = RampForPosition(12);
        p->start();
        QCOMPARE(InForce->StartupRamp(), RampForPosition(12));
        QCOMPARE(journal().read()->ramps, (OutputRamps{{"0", At(12, 256)}}));
        if (plant == "link") {
            QVERIFY(!QFileInfo(journal().path()).isSymLink());
            QFile target(elsewhere);
            QVERIFY(target.open(QIODevice::ReadOnly));
            QCOMPARE(target.readAll(), bytes); // not written through the link
        }
    }

    // A journalled ramp no display would have (a damaged or planted file) is never loaded:
    // the identity takes its place, and the user is told.
    void aJournalledRampNoDisplayWouldHaveIsNotLoaded_data() {
        QTest::addColumn<QString>("shape");
        QTest::addColumn<bool>("loaded");
        QTest::newRow("flat, all ones") << "flat" << false;
        QTest::newRow("falling") << "falling" << false;
        QTest::newRow("near black") << "dark" << false;
        QTest::newRow("tops out at a quarter") << "quarter" << true;
        QTest::newRow("a monitor's own") << "calibrated" << true;
    }
    void aJournalledRampNoDisplayWouldHaveIsNotLoaded() {
        QFETCH(QString, shape);
        QFETCH(bool, loaded);
        OutputRamp ramp = Calibrated(1024, 1);
        for (int c = 0; c < 3; ++c)
            for (int j = 0; j < 1024; ++j) {
                std::uint16_t& e = ramp.entries[std::size_t(c * 1024 + j)];
                if (shape == "flat") e = 1;
                if (shape == "falling") e = std::uint16_t(65535 - j * 64);
                if (shape == "dark") e = std::uint16_t(j * 8);
                if (shape == "quarter") e = std::uint16_t(j * 16384 / 1023);
            }
        QStringList notices;
        platform::setSessionNotice(
            [&](const QString& text, const QString&, platform::NoticeKept) { notices << text; });
        QVERIFY(journal().write({{"1", ramp}}));
        OrphanJournal(journal().path());
        p->display.add("1", At(20, 1024)); // the crashed run's gamma still on it
        p->start();
        Form_Main->QuitSequence();
        platform::setSessionNotice(nullptr);
        QCOMPARE(out("1").ramp, loaded ? ramp : At(10, 1024));
        QCOMPARE(notices.size(), loaded ? 0 : 1);
        if (!loaded) QVERIFY2(notices[0].contains("output 1"), qPrintable(notices[0]));
    }

    void aJournalOlderThanTheServerIsIgnored() {
        // Written for a server that has since been replaced by one on the same display.
        QVERIFY(journal().write({{"0", At(7, 256)}}));
        OrphanJournal(journal().path());
        p->display.started = QDateTime::currentMSecsSinceEpoch() + 60000;
        p->display.ramp = RampForPosition(12);
        p->start();
        QCOMPARE(InForce->StartupRamp(), RampForPosition(12));
        Form_Main->QuitSequence();
        QVERIFY(p->displayIsBack(12));
    }

    void journalsAreKeptPerDisplay() {
        QCOMPARE(RampJournal("x11-0").path(), runtime->dir.path() + "/kelvaro/ramps-x11-0");
        QVERIFY(RampJournal("x11-0").path() != RampJournal("x11-1").path());
        QVERIFY(RampJournal("x11-0").write({{"7", At(5, 256)}}));
        QVERIFY(!RampJournal("x11-1").read());
        QCOMPARE(QFile::permissions(runtime->dir.path() + "/kelvaro") & 0x0077,
                 QFile::Permissions());
        // No key, no journal.
        QVERIFY(!RampJournal("").write({{"7", At(5, 256)}}));
        // No runtime folder: the settings folder.
        qunsetenv("XDG_RUNTIME_DIR");
        QCOMPARE(RampJournal("x11-0").path(), p->store->dir.path() + "/kelvaro/ramps-x11-0");
    }

    // The runtime folder holds the journal only when no one else can enter it, as the XDG
    // rules require of it; otherwise the settings folder, which is the user's own.
    void anUnsafeRuntimeFolderIsNotUsed_data() {
        QTest::addColumn<int>("mode");
        QTest::addColumn<bool>("foreign"); // another user's
        QTest::addColumn<bool>("used");
        QTest::newRow("0700, ours") << 0700 << false << true;
        QTest::newRow("0755") << 0755 << false << false;
        QTest::newRow("1777, like /tmp") << 01777 << false << false;
        QTest::newRow("0700, another user's") << 0700 << true << false;
    }
    void anUnsafeRuntimeFolderIsNotUsed() {
        QFETCH(int, mode);
        QFETCH(bool, foreign);
        QFETCH(bool, used);
        const QByteArray dir = QFile::encodeName(runtime->dir.path());
        QCOMPARE(::chmod(dir.constData(), mode_t(mode)), 0);
        if (foreign && ::chown(dir.constData(), 65534, 65534) != 0)
            QSKIP("only root can give a folder to another user");
        const QString folder = used ? runtime->dir.path() : p->store->dir.path();
        QCOMPARE(RampJournal("x11-0").path(), folder + "/kelvaro/ramps-x11-0");
        QCOMPARE(::chown(dir.constData(), ::getuid(), ::getgid()), 0);
        QCOMPARE(::chmod(dir.constData(), 0700), 0);
    }

    // ---- Reset ----

    void resetPutsTheJournalsRampsBack_data() {
        QTest::addColumn<QString>("journalled"); // "dead", "live" or "none"
        QTest::newRow("a crashed run's journal") << "dead";
        QTest::newRow("a running copy's journal") << "live";
        QTest::newRow("no journal") << "none";
    }
    void resetPutsTheJournalsRampsBack() {
        QFETCH(QString, journalled);
        const OutputRamp own = Calibrated(1024, 1);
        p->display.ramp = RampForPosition(20);
        p->display.add("1", At(20, 1024));
        p->display.add("2", At(20, 4096));
        if (journalled != "none") {
            QVERIFY(journal().write({{"0", At(7, 256)}, {"1", own}}));
            if (journalled == "dead") OrphanJournal(journal().path());
        }
        // No journal: nothing of this program's is on the screen, which is left as it is.
        const bool none = journalled == "none";
        QCOMPARE(platform::RampKeeper::Reset(),
                 none ? platform::RampKeeper::ResetOutcome::NothingToPutBack
                      : platform::RampKeeper::ResetOutcome::PutBack);
        QVERIFY(p->displayIsBack(none ? 20 : 7));
        QCOMPARE(out("1").ramp, none ? At(20, 1024) : own);
        QCOMPARE(out("2").ramp, At(none ? 20 : 10, 4096)); // not in the journal: identity
        QCOMPARE(QFile::exists(journal().path()), journalled == "live");
    }

    void resetWithoutADisplayDoesNothing() {
        p->display.present = false;
        QCOMPARE(platform::RampKeeper::Reset(), platform::RampKeeper::ResetOutcome::NoDisplay);
        QVERIFY(p->display.applied.empty());
    }
};

KELVARO_TEST_MAIN(RampsTest)
#include "test_ramps.moc"
