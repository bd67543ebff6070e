// Nothing lost: a program killed in the middle of its Saves and Deletes, and several writers at
// once, always leave a store that is whole.
#include "Fakes.h"
#include "settings/Registry.h"

#include <QProcess>
#include <QRandomGenerator>
#include <QTest>
#include <csignal>
#include <sqlite3.h>

class ReliabilityTest : public QObject {
    Q_OBJECT

    static QString driver() {
        return qEnvironmentVariable("KELVARO_BUILD") + "/tests/store_driver";
    }
    static QString regTool() { return qEnvironmentVariable("KELVARO_BUILD") + "/src/kelvaro-reg"; }

    // Every profile holds all four values, and they belong to one Save.
    static QString checkStore(const QString& path) {
        sqlite3* db = nullptr;
        // Opened for writing, as every copy of the program opens it: the journal a killed
        // writer leaves is rolled back by the next reader that can write.
        if (sqlite3_open_v2(QFile::encodeName(path).constData(), &db, SQLITE_OPEN_READWRITE,
                            nullptr) != SQLITE_OK)
            return "can't open";
        sqlite3_stmt* st = nullptr;
        sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &st, nullptr);
        QString result =
            sqlite3_step(st) == SQLITE_ROW
                ? QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(st, 0)))
                : "no answer";
        sqlite3_finalize(st);
        sqlite3_close(db);
        if (result != "ok") return "integrity: " + result;
        platform::Hive hive(path);
        TRegistry reg(hive);
        QStringList names;
        if (!reg.OpenKey(ProfilesKey, false)) return QString();
        reg.GetKeyNames(names);
        for (const QString& name : names) {
            TRegistry p(hive);
            p.OpenKey(ProfilesKey + "\\" + name, false);
            for (const char* v : {"FileName", "Args", "IconFile", "Gamma"})
                if (!p.ValueExists(v)) return name + " lacks " + v;
            const QString args = p.ReadString("Args");
            if (p.ReadString("FileName") != "/gen/" + args ||
                p.ReadString("IconFile") != "/gen/" + args ||
                p.ReadInteger("Gamma") != 3 + args.toInt() % 28)
                return name + " is half old, half new";
        }
        return QString();
    }

private slots:
    void killedAtRandomMomentsLosesNothing() {
        TempStore store;
        const QString path = platform::Hive::defaultPath();
        platform::Hive::setInstance(nullptr);
        QRandomGenerator rng(20261207);
        const int rounds = qEnvironmentVariableIntValue("KELVARO_CRASH_ROUNDS") > 0
                               ? qEnvironmentVariableIntValue("KELVARO_CRASH_ROUNDS")
                               : 300;
        for (int round = 0; round < rounds; ++round) {
            QProcess p;
            p.start(driver(), {"crash"});
            QVERIFY(p.waitForReadyRead(20000));
            QTest::qSleep(int(rng.bounded(5, 120)));
            ::kill(pid_t(p.processId()), SIGKILL);
            QVERIFY(p.waitForFinished(10000));
            const QString problem = checkStore(path);
            QVERIFY2(problem.isEmpty(),
                     qPrintable(QStringLiteral("round %1: %2").arg(round).arg(problem)));
        }
    }

    void concurrentWritersLoseNothing() {
        TempStore store;
        platform::Hive::setInstance(nullptr);
        const int count = 1000;
        QProcess a, b, reg;
        a.start(driver(), {"save", "A", QString::number(count)});
        b.start(driver(), {"save", "B", QString::number(count)});
        // kelvaro-reg adding values at the same time, through a shell loop of real invocations.
        reg.start(
            "/bin/sh",
            {"-c", QStringLiteral("i=0; while [ $i -lt %1 ]; do '%2' add "
                                  "'HKCU\\Software\\Orvendale Software\\Kelvaro\\Extra' /v V$i /t "
                                  "REG_DWORD /d $i /f >/dev/null || exit 1; i=$((i+1)); done")
                       .arg(count)
                       .arg(regTool())});
        for (QProcess* p : {&a, &b, &reg}) {
            QVERIFY(p->waitForFinished(600000));
            QVERIFY2(p->exitCode() == 0, p->readAllStandardError().constData());
        }
        platform::Hive hive(platform::Hive::defaultPath());
        TRegistry check(hive);
        QVERIFY(check.OpenKey(ProfilesKey, false));
        QStringList names;
        check.GetKeyNames(names);
        QCOMPARE(names.size(), 2 * count);
        QVERIFY(check.OpenKey(ProgramKey + "\\Extra", false));
        check.GetValueNames(names);
        QCOMPARE(names.size(), count);
    }
};

QTEST_GUILESS_MAIN(ReliabilityTest)
#include "test_reliability.moc"
