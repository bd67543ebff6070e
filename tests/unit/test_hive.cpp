// The store under hostile conditions: another program holding it, read-only files and folders,
// backups copied out and in, deep trees, names in any script, damaged files.
#include "Program.h"
#include "TestMain.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

using platform::Hive;

namespace {

// A connection of its own to a store file, as another program or a backup tool has it.
class Raw {
public:
    explicit Raw(const QString& path) {
        sqlite3_open(QFile::encodeName(path).constData(), &db_);
        sqlite3_busy_timeout(db_, 5000);
    }
    ~Raw() { sqlite3_close(db_); }
    Raw(const Raw&) = delete;
    Raw& operator=(const Raw&) = delete;
    bool exec(const QString& sql) {
        return sqlite3_exec(db_, sql.toUtf8().constData(), nullptr, nullptr, nullptr) == SQLITE_OK;
    }
    // The first column of every row, joined by "|"; "error: ..." when the query fails.
    QString query(const QString& sql) {
        sqlite3_stmt* st = nullptr;
        if (sqlite3_prepare_v2(db_, sql.toUtf8().constData(), -1, &st, nullptr) != SQLITE_OK)
            return "error: " + QString::fromUtf8(sqlite3_errmsg(db_));
        QStringList rows;
        int rc = SQLITE_ROW;
        while ((rc = sqlite3_step(st)) == SQLITE_ROW)
            rows << QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(st, 0)));
        sqlite3_finalize(st);
        if (rc != SQLITE_DONE) return "error: " + QString::fromUtf8(sqlite3_errmsg(db_));
        return rows.join('|');
    }

private:
    sqlite3* db_ = nullptr;
};

QString driver() {
    return qEnvironmentVariable("KELVARO_BUILD") + "/tests/store_driver";
}

int mode(const QString& path) {
    struct stat st {};
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? int(st.st_mode & 0777) : -1;
}

QString profileKey(const QString& name) {
    return ProfilesKey + QLatin1Char('\\') + name;
}

} // namespace

class HiveTest : public QObject {
    Q_OBJECT
    std::unique_ptr<TempStore> store;

    static QString path() { return Hive::defaultPath(); }

    // A store of the first layout with names that fold together now.
    static bool writeFirstLayout() {
        QFile::remove(path());
        Raw raw(path());
        return raw.exec(
            "PRAGMA journal_mode = WAL;" // as that version kept it
            "CREATE TABLE keys(id INTEGER PRIMARY KEY,"
            " parent INTEGER REFERENCES keys(id) ON DELETE CASCADE,"
            " name TEXT NOT NULL COLLATE NOCASE, UNIQUE(parent, name));"
            "CREATE TABLE vals(key INTEGER NOT NULL REFERENCES keys(id) ON DELETE CASCADE,"
            " name TEXT NOT NULL COLLATE NOCASE, type INTEGER NOT NULL, data BLOB NOT NULL,"
            " PRIMARY KEY(key, name));"
            "INSERT INTO keys VALUES(1, NULL, ''), (2, 1, 'Software'), (3, 2, 'Äpfel'),"
            " (4, 2, 'äpfel'), (5, 3, 'Sub'), (6, 2, 'Ärger'), (7, 2, 'ärger (2)'),"
            " (8, 2, 'ärger');"
            "INSERT INTO vals VALUES(3, 'Größe', 4, x'01000000'), (3, 'grÖße', 4, x'02000000'),"
            " (4, 'FileName', 1, x'6200'), (5, 'Deep', 4, x'03000000');"
            "PRAGMA user_version = 1;");
    }

private slots:
    void init() { store = std::make_unique<TempStore>(); }
    void cleanup() { store.reset(); }

    // A Save after any failed one is still all or nothing: none of its writes is in the file
    // before it commits, so a program killed in the middle leaves the profile as it was.
    void failedTransactionLeavesLaterOnesWhole_data() {
        QTest::addColumn<QString>("failure");
        QTest::newRow("begin while another program writes") << "begin";
        QTest::newRow("commit while another program reads") << "commit";
    }
    void failedTransactionLeavesLaterOnesWhole() {
        QFETCH(QString, failure);
        Program::addProfile("Old", "/bin/old", 12, "-o");
        Hive& hive = Hive::instance();
        hive.setBusyWait(50);
        Raw other(path());
        if (failure == "begin") {
            QVERIFY(other.exec("BEGIN EXCLUSIVE"));
            QVERIFY_THROWS_EXCEPTION(platform::HiveError, platform::HiveTransaction tx(hive));
        } else {
            QVERIFY(other.exec("BEGIN"));
            QCOMPARE(other.query("SELECT count(*) > 0 FROM keys"), "1"); // holds a read
            platform::HiveTransaction tx(hive);
            Program::addProfile("Lost", "/bin/lost");
            QVERIFY_THROWS_EXCEPTION(platform::HiveError, tx.commit());
        }
        QVERIFY(other.exec("COMMIT"));
        QCOMPARE(other.query("SELECT count(*) FROM keys WHERE name = 'Lost'"), "0");

        // The rename as Save does it, cut short before its commit.
        {
            platform::HiveTransaction tx(hive);
            TRegistry reg;
            QVERIFY(reg.OpenKey(ProfilesKey, false));
            QVERIFY(reg.DeleteKey("Old"));
            QVERIFY(reg.OpenKey(profileKey("New"), true));
            reg.WriteString("FileName", "/bin/new");
            // What a kill now would leave in the file: the old profile, whole.
            QCOMPARE(other.query("SELECT name FROM keys WHERE name IN ('Old', 'New')"), "Old");
            QCOMPARE(other.query("SELECT count(*) FROM vals"), "3");
        }
        QCOMPARE(Program::text(profileKey("Old"), "Args"), "-o");
        QVERIFY(!TRegistry().KeyExists(profileKey("New")));
        // And the next one commits as a whole.
        {
            platform::HiveTransaction tx(hive);
            Program::addProfile("New", "/bin/new", 15, "-n");
            tx.commit();
        }
        QCOMPARE(other.query("SELECT count(*) FROM vals"), "6");
    }

    // A run of reads holds the store only while it lasts; a write within it is committed at
    // once, not when the run ends.
    void readingRunLetsWritesThrough() {
        Program::setValue(ProgramKey, "Desktop", 11);
        Hive& hive = Hive::instance();
        hive.setBusyWait(50);
        Raw other(path());
        {
            platform::HiveReading reading(hive);
            QCOMPARE(Program::integer(ProgramKey, "Desktop"), 11);
            Program::setValue(ProgramKey, "Desktop", 12);
            QCOMPARE(other.query("SELECT count(*) FROM vals WHERE data = x'0c000000'"), "1");
            QCOMPARE(Program::integer(ProgramKey, "Desktop"), 12);
        }
        QVERIFY(other.exec("BEGIN EXCLUSIVE")); // nothing of ours is held any more
        QVERIFY(other.exec("COMMIT"));
        // A run of reads begun while the store's own thread writes what was handed to it (the
        // ThreadSanitizer run watches the two meet).
        for (int i = 0; i < 50; ++i) {
            hive.writeBehind("Desktop", [i] { Program::setValue(ProgramKey, "Desktop", i); }, {});
            platform::HiveReading reading(hive);
            QCOMPARE(Program::integer(ProgramKey, "Desktop"), i);
        }
    }

    // Another program holds the store: the window's Save gives up within about a second and
    // says why; nothing of it is written.
    void saveGivesUpOnAHeldStoreQuickly() {
        Program program;
        program.start();
        Form_Main->show();
        auto* ui = Form_Main->ui.get();
        ui->Btn_New->click();
        ui->Edit_ProfName->setText("Held");
        ui->Edit_ExecFile->setText("/bin/true");
        QProcess holder;
        holder.start(driver(), {"hold"});
        QVERIFY(holder.waitForReadyRead(10000));
        QCOMPARE(holder.readAllStandardOutput(), QByteArray("held\n"));
        QElapsedTimer clock;
        clock.start();
        ui->Btn_Save->click();
        const qint64 took = clock.elapsed();
        holder.closeWriteChannel();
        QVERIFY(holder.waitForFinished(10000));
        QVERIFY2(took < 1600, qPrintable(QString::number(took) + " ms"));
        QVERIFY2(program.errors.size() == 1, qPrintable(program.errors.join('\n')));
        QVERIFY2(program.errors[0].contains("in use by another program"),
                 qPrintable(program.errors[0]));
        QVERIFY(!TRegistry().KeyExists(profileKey("Held")));
        // Free again: the same Save goes through.
        ui->Btn_Save->click();
        QCOMPARE(program.errors.size(), 1);
        QCOMPARE(Program::text(profileKey("Held"), "FileName"), "/bin/true");
    }

    // Read-only file or folder: reading works, writing fails in words, and once writable again
    // every write works (no side file left behind). Run as an ordinary user: root writes
    // through any mode.
    void readOnlyStoreReadsAndRecovers_data() {
        QTest::addColumn<QString>("what");
        QTest::newRow("file") << "file";
        QTest::newRow("folder") << "folder";
    }
    void readOnlyStoreReadsAndRecovers() {
        QFETCH(QString, what);
        store.reset();
        QTemporaryDir home;
        qputenv("XDG_CONFIG_HOME", home.path().toUtf8());
        const QString dir = home.path() + "/kelvaro";
        {
            Hive hive(path());
            TRegistry reg(hive);
            QVERIFY(reg.OpenKey(ProgramKey, true));
            reg.WriteInteger("Desktop", 11);
        }
        const bool root = ::geteuid() == 0;
        if (root) QCOMPARE(QProcess::execute("chown", {"-R", "nobody:nogroup", home.path()}), 0);
        auto probe = [&] {
            QProcess p;
            if (root)
                p.start("setpriv",
                        {"--reuid=nobody", "--regid=nogroup", "--clear-groups", driver(), "probe"});
            else
                p.start(driver(), {"probe"});
            p.waitForFinished(20000);
            return QString::fromUtf8(p.readAllStandardOutput() + p.readAllStandardError());
        };
        const QString target = what == "file" ? path() : dir;
        QFile::setPermissions(target, what == "file" ? QFile::ReadOwner
                                                     : QFile::ReadOwner | QFile::ExeOwner);
        QString out = probe();
        QVERIFY2(out.startsWith("read 11\nwrite: Kelvaro's settings can't be changed: the " + what +
                                " " + target + " is read-only"),
                 qPrintable(out));
        QCOMPARE(QDir(dir).entryList(QDir::Files), QStringList{"registry.db"});
        QFile::setPermissions(target, what == "file"
                                          ? QFile::ReadOwner | QFile::WriteOwner
                                          : QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        QCOMPARE(probe(), "read 11\nwrite ok\n");
        QCOMPARE(probe(), "read 12\nwrite ok\n");
        QCOMPARE(QDir(dir).entryList(QDir::Files), QStringList{"registry.db"});
    }

    // Modes are made private on stores that exist already; what the owner may do stays.
    void existingStoreIsMadePrivate_data() {
        QTest::addColumn<int>("fileBefore");
        QTest::addColumn<int>("dirBefore");
        QTest::addColumn<int>("fileAfter");
        QTest::addColumn<int>("dirAfter");
        QTest::newRow("open to all") << 0644 << 0755 << 0600 << 0700;
        QTest::newRow("group writable") << 0664 << 0775 << 0600 << 0700;
        QTest::newRow("read-only, readable by all") << 0444 << 0555 << 0400 << 0500;
        QTest::newRow("private already") << 0600 << 0700 << 0600 << 0700;
    }
    void existingStoreIsMadePrivate() {
        QFETCH(int, fileBefore);
        QFETCH(int, dirBefore);
        QFETCH(int, fileAfter);
        QFETCH(int, dirAfter);
        Hive::setInstance(nullptr);
        const QString dir = QFileInfo(path()).absolutePath();
        ::chmod(QFile::encodeName(path()).constData(), mode_t(fileBefore));
        ::chmod(QFile::encodeName(dir).constData(), mode_t(dirBefore));
        Hive hive(path());
        QCOMPARE(mode(path()), fileAfter);
        QCOMPARE(mode(dir), dirAfter);
        ::chmod(QFile::encodeName(dir).constData(), 0700);
    }

    // The file alone, copied while the program runs, holds every committed change.
    void fileAloneHoldsEveryChange() {
        Program::setValue(ProgramKey, "Desktop", 13);
        {
            platform::HiveTransaction tx(Hive::instance());
            Program::addProfile("Game", "/usr/games/game", 17, "-x");
            tx.commit();
        }
        TRegistry reg;
        QVERIFY(reg.OpenKey(profileKey("Game"), false));
        reg.WriteInteger("Gamma", 18);
        const QString copy = store->dir.filePath("backup.db");
        QVERIFY(QFile::copy(path(), copy));
        Hive backup(copy);
        TRegistry check(backup);
        QVERIFY(check.OpenKey(ProgramKey, false));
        QCOMPARE(check.ReadInteger("Desktop"), 13);
        QVERIFY(check.OpenKey(profileKey("Game"), false));
        QCOMPARE(check.ReadString("Args"), "-x");
        QCOMPARE(check.ReadInteger("Gamma"), 18);
    }

    // A backup put back while the program runs, by copying over the file or moving a file onto
    // its name: read from then on, written to, and left whole.
    void backupPutBackIsUsed_data() {
        QTest::addColumn<bool>("move");
        QTest::newRow("copied over") << false;
        QTest::newRow("moved over") << true;
    }
    void backupPutBackIsUsed() {
        QFETCH(bool, move);
        Program::addProfile("Game", "/usr/games/game", 11);
        const QString backup = store->dir.filePath("backup.db");
        QVERIFY(QFile::copy(path(), backup));
        Program::setValue(profileKey("Game"), "Gamma", 25);
        Program::addProfile("Later", "/bin/later", 20);
        TRegistry open; // a key open across the change names the same key afterwards
        QVERIFY(open.OpenKey(profileKey("Game"), false));

        if (move) {
            QVERIFY(QFile::copy(backup, path() + ".new"));
            QCOMPARE(::rename(QFile::encodeName(path() + ".new").constData(),
                              QFile::encodeName(path()).constData()),
                     0);
        } else {
            QFile in(backup), out(path());
            QVERIFY(in.open(QIODevice::ReadOnly));
            QVERIFY(out.open(QIODevice::WriteOnly)); // truncates, keeps the file
            out.write(in.readAll());
        }
        QCOMPARE(Program::integer(profileKey("Game"), "Gamma"), 11);
        QVERIFY(!TRegistry().KeyExists(profileKey("Later")));
        open.WriteInteger("Gamma", 14);
        Program::addProfile("After", "/bin/after", 16);

        Hive::setInstance(nullptr);
        Raw check(path());
        QCOMPARE(check.query("PRAGMA integrity_check"), "ok");
        QCOMPARE(check.query("PRAGMA foreign_key_check"), "");
        Hive::setInstance(std::make_unique<Hive>(path()));
        QCOMPARE(Program::integer(profileKey("Game"), "Gamma"), 14);
        QCOMPARE(Program::integer(profileKey("After"), "Gamma"), 16);
    }

    // A tree far deeper than the registry allows (written by an earlier version or another
    // tool) goes as a whole, values and all, and leaves no orphan.
    void deepTreeDeletesWhole() {
        const int levels = 1000;
        Program::addProfile("Deep", "/bin/deep");
        {
            Raw raw(path());
            QVERIFY(raw.exec("BEGIN"));
            const QString top = raw.query("SELECT k.id FROM keys k JOIN keys p ON k.parent = p.id "
                                          "WHERE k.name = 'Deep' AND p.name = 'Profiles'");
            QString parent = top;
            for (int i = 0; i < levels; ++i) {
                QVERIFY(raw.exec(QStringLiteral("INSERT INTO keys(parent, name, fold) "
                                                "VALUES(%1, 'L%2', 'l%2')")
                                     .arg(parent)
                                     .arg(i)));
                parent = raw.query("SELECT last_insert_rowid()");
                QVERIFY(raw.exec(QStringLiteral("INSERT INTO vals(key, name, fold, type, data) "
                                                "VALUES(%1, 'V', 'v', 4, x'01000000')")
                                     .arg(parent)));
            }
            QVERIFY(raw.exec("COMMIT"));
        }
        Program::addProfile("Kept", "/bin/kept");
        TRegistry reg;
        QVERIFY(reg.OpenKey(ProfilesKey, false));
        QVERIFY(reg.DeleteKey("Deep"));
        QVERIFY(!reg.KeyExists("Deep"));
        Raw check(path());
        QCOMPARE(check.query("SELECT count(*) FROM keys WHERE name LIKE 'L%'"), "0");
        QCOMPARE(check.query("SELECT count(*) FROM vals WHERE name = 'V'"), "0");
        QCOMPARE(check.query("PRAGMA foreign_key_check"), "");
        QCOMPARE(Program::text(profileKey("Kept"), "FileName"), "/bin/kept");
    }

    // Keys the registry refuses are refused here too, with its words, wherever keys are made.
    void keyLimits_data() {
        QTest::addColumn<int>("levels");
        QTest::addColumn<int>("nameLength");
        QTest::addColumn<bool>("made");
        QTest::newRow("name of 255") << 1 << 255 << true;
        QTest::newRow("name of 256") << 1 << 256 << false;
        QTest::newRow("512 levels") << 512 << 1 << true;
        QTest::newRow("513 levels") << 513 << 1 << false;
    }
    void keyLimits() {
        QFETCH(int, levels);
        QFETCH(int, nameLength);
        QFETCH(bool, made);
        QString path;
        for (int i = 0; i < levels; ++i)
            path += QLatin1Char('\\') + QString(nameLength, QChar(u'\u00e9'));
        TRegistry reg;
        QCOMPARE(reg.OpenKey(path, true), made);
        QCOMPARE(reg.LastErrorMsg(), made ? QString() : "The parameter is incorrect.");
        if (!made) {
            QVERIFY(!reg.HasCurrentKey());
            QVERIFY(!reg.KeyExists(path.left(3))); // none of the path was made
        }
        // The same through the store itself.
        Hive& hive = Hive::instance();
        platform::HiveTransaction tx(hive);
        platform::KeyId key = hive.root();
        for (int i = 0; i < levels - 1; ++i)
            key = *hive.createKey(key, QString(nameLength, QChar(u'e')));
        if (made)
            QVERIFY(hive.createKey(key, QString(nameLength, QChar(u'e'))));
        else
            QVERIFY_THROWS_EXCEPTION(platform::HiveRefused,
                                     hive.createKey(key, QString(nameLength, QChar(u'e'))));
    }

    // Names compare case-insensitively in every script, as the registry's do.
    void namesFoldInEveryScript_data() {
        QTest::addColumn<QString>("written");
        QTest::addColumn<QString>("asked");
        QTest::newRow("German") << "Äpfel"
                                << "äPFEL";
        QTest::newRow("Greek") << "Σίσυφος"
                               << "ΣΊΣΥΦΟΣ";
        QTest::newRow("Cyrillic") << "Ёлка"
                                  << "ёЛКА";
        QTest::newRow("Armenian") << "Բարի"
                                  << "բԱՐԻ";
        QTest::newRow("ASCII") << "Doom"
                               << "DOOM";
    }
    void namesFoldInEveryScript() {
        QFETCH(QString, written);
        QFETCH(QString, asked);
        Program::addProfile(written, "/bin/" + written);
        Program::setValue(profileKey(written), written, 7);
        TRegistry reg;
        QVERIFY(reg.OpenKey(profileKey(asked), true)); // opens, makes nothing new
        QCOMPARE(reg.ReadInteger(asked), 7);
        reg.WriteInteger(asked, 8);
        QStringList names;
        reg.GetValueNames(names);
        QCOMPARE(names, (QStringList{"FileName", written}));
        QVERIFY(reg.OpenKey(ProfilesKey, false));
        reg.GetKeyNames(names);
        QCOMPARE(names, QStringList{written});
        QVERIFY(reg.DeleteKey(asked));
        QVERIFY(!reg.KeyExists(written));
    }

    // A store of the first layout is brought up to date without losing a key or value: names
    // that fold together now are both kept, the later one renamed, and that is said.
    void upgradeKeepsEveryName() {
        Hive::setInstance(nullptr);
        QVERIFY(writeFirstLayout());
        {
            Hive hive(path());
            QCOMPARE(hive.notices().size(), 3);
            QVERIFY2(hive.notices()[0].contains("\"äpfel\" in \"HKEY_CURRENT_USER\\Software\" is "
                                                "now \"äpfel (2)\""),
                     qPrintable(hive.notices()[0]));
            QVERIFY2(hive.notices()[1].contains("\"ärger\" in \"HKEY_CURRENT_USER\\Software\" is "
                                                "now \"ärger (3)\""),
                     qPrintable(hive.notices()[1]));
            QVERIFY2(
                hive.notices()[2].contains("\"grÖße\" in \"HKEY_CURRENT_USER\\Software\\Äpfel\""
                                           " is now \"grÖße (2)\""),
                qPrintable(hive.notices()[2]));
            TRegistry reg(hive);
            QVERIFY(reg.OpenKey("\\Software", false));
            QStringList names;
            reg.GetKeyNames(names);
            QCOMPARE(names, (QStringList{"Äpfel", "äpfel (2)", "Ärger", "ärger (2)", "ärger (3)"}));
            QVERIFY(reg.OpenKey("\\SOFTWARE\\ÄPFEL", false));
            QCOMPARE(reg.ReadInteger("größe"), 1);
            QCOMPARE(reg.ReadInteger("Größe (2)"), 2);
            QVERIFY(reg.OpenKey("Sub", false));
            QCOMPARE(reg.ReadInteger("deep"), 3);
            QVERIFY(reg.OpenKey("\\Software\\Äpfel (2)", false));
            QCOMPARE(reg.ReadString("FileName"), "b");
        }
        Hive again(path());
        QVERIFY(again.notices().isEmpty());
        QCOMPARE(QDir(QFileInfo(path()).absolutePath()).entryList(QDir::Files),
                 QStringList{"registry.db"}); // the log folded back in and gone
        Raw check(path());
        QCOMPARE(check.query("PRAGMA user_version"), "2");
        QCOMPARE(check.query("PRAGMA integrity_check"), "ok");
        QCOMPARE(check.query("SELECT count(*) FROM keys"), "8");
        QCOMPARE(check.query("SELECT count(*) FROM vals"), "4");
    }

    // Whichever program opens the store first says what the upgrade changed.
    void upgradeByTheToolIsTold() {
        Hive::setInstance(nullptr);
        QVERIFY(writeFirstLayout());
        QProcess reg;
        reg.start(qEnvironmentVariable("KELVARO_BUILD") + "/src/kelvaro-reg",
                  {"query", "HKCU\\Software"});
        QVERIFY(reg.waitForFinished(20000));
        const QString said = QString::fromUtf8(reg.readAllStandardError());
        QVERIFY2(said.contains("\"äpfel\" in \"HKEY_CURRENT_USER\\Software\" is now \"äpfel (2)\""),
                 qPrintable(said));
        QCOMPARE(reg.exitCode(), 0);
    }

    // A store that can't be read is an error for every reader, never "there is nothing".
    void failedReadIsAnError() {
        Program::addProfile("Game", "/usr/games/game", 12);
        Hive::setInstance(nullptr);
        int page = 0, size = 0;
        {
            Raw raw(path());
            page = raw.query("SELECT rootpage FROM sqlite_master WHERE name = "
                             "'sqlite_autoindex_vals_1'")
                       .toInt();
            size = raw.query("PRAGMA page_size").toInt();
        }
        QVERIFY(page > 1);
        {
            QFile f(path());
            QVERIFY(f.open(QIODevice::ReadWrite));
            QVERIFY(f.seek(qint64(page - 1) * size));
            f.write(QByteArray(size, '\xff'));
        }
        Hive::setInstance(std::make_unique<Hive>(path()));
        TRegistry reg;
        QVERIFY(reg.OpenKey(profileKey("Game"), false));
        QVERIFY_THROWS_EXCEPTION(ERegistryException, reg.ValueExists("FileName"));
        QVERIFY_THROWS_EXCEPTION(ERegistryException, reg.ReadString("FileName"));
        QVERIFY_THROWS_EXCEPTION(ERegistryException, reg.ReadInteger("Gamma"));
        try {
            reg.ReadString("Args");
            QFAIL("no error");
        } catch (const ERegistryException& e) {
            QVERIFY2(QString::fromUtf8(e.what()).contains("could not be read"), e.what());
        }
    }
};

KELVARO_TEST_MAIN(HiveTest)
#include "test_hive.moc"
