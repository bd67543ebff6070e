// The real program while another program holds its settings: a write gives up within about a
// second and says why, and a signal ends the program at once, whatever it waits for.
#include "Desktop.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>

class StoreLockTest : public QObject {
    Q_OBJECT

    static QString driver() {
        return qEnvironmentVariable("KELVARO_BUILD") + "/tests/store_driver";
    }
    // Holds the store of k locked until the returned process's input closes.
    static bool hold(const Kelvaro& k, QProcess& holder) {
        holder.setProcessEnvironment(k.env());
        holder.start(driver(), {"hold"});
        return holder.waitForReadyRead(10000) && holder.readAllStandardOutput() == "held\n";
    }
    // A visible window captioned "Kelvaro" that is not the on-screen display.
    static QString errorBox() {
        for (const QString& id : xdotool({"search", "--onlyvisible", "--name", "^Kelvaro$"})
                                     .split('\n', Qt::SkipEmptyParts))
            if (!xdotool({"getwindowgeometry", id}).contains("208x56")) return id;
        return QString();
    }

    // Started and idle, the splash gone.
    static bool ready(Kelvaro& k) {
        return k.start() && waitFor([] { return errorBox().isEmpty(); }, 10000);
    }
    // One of the program's threads (the store's own, for a hot key's write) is asleep inside a
    // wait for the lock, not in a poll.
    static bool waitingForTheLock(const Kelvaro& k) {
        const QDir tasks(QStringLiteral("/proc/%1/task").arg(k.proc.processId()));
        for (const QString& task : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
            QFile f(tasks.filePath(task + "/wchan"));
            if (f.open(QIODevice::ReadOnly) && f.readAll().contains("nanosleep")) return true;
        }
        return false;
    }

    // The program with its hot keys on, its store held, and a desktop gamma step's write
    // waiting for the lock.
    static void waitingHotKey(Kelvaro& k, QProcess& holder) {
        k.seed("", "Exit", "REG_DWORD", "0");
        k.seed("", "Hotkeys", "REG_DWORD", "1");
        QVERIFY(ready(k));
        QVERIFY(hold(k, holder));
        xdotool({"key", "ctrl+alt+KP_Add"});
        QVERIFY(waitFor([&] { return waitingForTheLock(k); }, 2000));
    }

private slots:
    // A hot key's store write while the store is held: the signal that comes while it waits
    // ends the program at once, with the start-up ramp back and no error box in the way.
    void termDuringAWaitQuitsAtOnce() {
        Kelvaro k;
        QProcess holder;
        waitingHotKey(k, holder);
        if (QTest::currentTestFailed()) return;
        QElapsedTimer clock;
        clock.start();
        ::kill(pid_t(k.proc.processId()), SIGTERM);
        QVERIFY(k.proc.waitForFinished(5000));
        const qint64 took = clock.elapsed();
        holder.closeWriteChannel();
        holder.waitForFinished(5000);
        QVERIFY2(took < 500, qPrintable(QString::number(took) + " ms"));
        QCOMPARE(k.proc.exitStatus(), QProcess::NormalExit);
    }

    // The same write gives up within about a second and shows its error box.
    void heldStoreGivesUpWithinASecond() {
        Kelvaro k;
        QProcess holder;
        waitingHotKey(k, holder);
        if (QTest::currentTestFailed()) return;
        QElapsedTimer clock;
        clock.start();
        QVERIFY(waitFor([&] { return !waitingForTheLock(k); }, 5000));
        const qint64 took = clock.elapsed();
        QVERIFY2(took < 1300, qPrintable(QString::number(took) + " ms"));
        QVERIFY(waitFor([] { return !errorBox().isEmpty(); }, 3000));
        holder.closeWriteChannel();
        QVERIFY(holder.waitForFinished(5000));
    }
};

QTEST_GUILESS_MAIN(StoreLockTest)
#include "test_store_lock.moc"
