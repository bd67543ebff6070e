#include "Fakes.h"
#include "platform/process/Autostart.h"
#include "settings/Registry.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <sqlite3.h>
#include <sys/stat.h>

using platform::Hive;

class StoreTest : public QObject {
    Q_OBJECT

    std::unique_ptr<TempStore> store;

    static QString regTool() { return qEnvironmentVariable("KELVARO_BUILD") + "/src/kelvaro-reg"; }
    static int runReg(const QStringList& args, QString* output = nullptr) {
        QProcess p;
        p.start(regTool(), args);
        p.waitForFinished(30000);
        if (output)
            *output = QString::fromUtf8(p.readAllStandardOutput() + p.readAllStandardError());
        return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    }

private slots:
    void init() { store = std::make_unique<TempStore>(); }
    void cleanup() { store.reset(); }

    void storeFileAndFolderArePrivate() {
        struct stat st {};
        QCOMPARE(::stat(QFile::encodeName(Hive::defaultPath()).constData(), &st), 0);
        QCOMPARE(int(st.st_mode & 0777), 0600);
        QCOMPARE(
            ::stat(QFile::encodeName(QFileInfo(Hive::defaultPath()).absolutePath()).constData(),
                   &st),
            0);
        QCOMPARE(int(st.st_mode & 0777), 0700);
    }

    // Both files the program keeps live in the XDG config folder; a relative or empty
    // XDG_CONFIG_HOME is ignored, as the base directory rules say.
    void configFolderFollowsXdg_data() {
        QTest::addColumn<QByteArray>("xdg");
        QTest::addColumn<QString>("folder");
        QTest::newRow("absolute") << QByteArray("/srv/conf") << "/srv/conf";
        QTest::newRow("unset") << QByteArray() << "/home/u/.config";
        QTest::newRow("empty") << QByteArray("") << "/home/u/.config";
        QTest::newRow("relative") << QByteArray("conf") << "/home/u/.config";
    }
    void configFolderFollowsXdg() {
        QFETCH(QByteArray, xdg);
        QFETCH(QString, folder);
        const QByteArray oldXdg = qgetenv("XDG_CONFIG_HOME");
        const QByteArray oldHome = qgetenv("HOME");
        qputenv("HOME", "/home/u");
        if (xdg.isNull())
            qunsetenv("XDG_CONFIG_HOME");
        else
            qputenv("XDG_CONFIG_HOME", xdg);
        const QString store = Hive::defaultPath();
        const QString entry = platform::autostart::entryPath();
        qputenv("HOME", oldHome);
        qputenv("XDG_CONFIG_HOME", oldXdg);
        QCOMPARE(store, folder + "/kelvaro/registry.db");
        QCOMPARE(entry, folder + "/autostart/kelvaro.desktop");
    }

    void openKeyAbsoluteRelativeAndCreate() {
        TRegistry reg;
        QCOMPARE(reg.Access, KEY_ALL_ACCESS);
        QVERIFY(!reg.HasCurrentKey());
        QVERIFY(!reg.OpenKey(ProgramKey, false));                     // missing without create
        QVERIFY(reg.OpenKey(ProgramKey, true));                       // created along the path
        QVERIFY(reg.OpenKey(QStringLiteral("Profiles\\Game"), true)); // relative to the open key
        QCOMPARE(reg.CurrentPath(), ProgramKey + QStringLiteral("\\Profiles\\Game"));
        QVERIFY(!reg.OpenKey(QStringLiteral("Nope"), false));
        QCOMPARE(reg.CurrentPath(), ProgramKey + QStringLiteral("\\Profiles\\Game")); // kept
        QVERIFY(reg.OpenKey(ProgramKey, false)); // absolute from anywhere
        QVERIFY(reg.KeyExists(QStringLiteral("Profiles")));
        QVERIFY(reg.KeyExists(ProfilesKey));
        QVERIFY(!reg.KeyExists(QStringLiteral("\\Software\\Nothing")));
    }

    void namesAreCaseInsensitive() {
        TRegistry reg;
        QVERIFY(reg.OpenKey(ProfilesKey + QStringLiteral("\\Doom"), true));
        reg.WriteString(QStringLiteral("FileName"), QStringLiteral("/usr/games/doom"));
        QVERIFY(reg.OpenKey(ProfilesKey.toUpper() + QStringLiteral("\\DOOM"), false));
        QCOMPARE(reg.ReadString(QStringLiteral("filename")), QStringLiteral("/usr/games/doom"));
        QVERIFY(reg.ValueExists(QStringLiteral("FILENAME")));
        QStringList names;
        QVERIFY(reg.OpenKey(ProfilesKey, false));
        reg.GetKeyNames(names);
        QCOMPARE(names, QStringList{QStringLiteral("Doom")}); // the stored spelling
    }

    void subKeysEnumerateCaseInsensitively() {
        TRegistry reg;
        for (const char* n : {"beta", "Alpha", "gamma", "Beta2", "alpha2"})
            QVERIFY(reg.OpenKey(ProfilesKey + "\\" + QString::fromLatin1(n), true));
        QVERIFY(reg.OpenKey(ProfilesKey, false));
        QStringList names{QStringLiteral("stale")};
        reg.GetKeyNames(names);
        QCOMPARE(names, (QStringList{"Alpha", "alpha2", "beta", "Beta2", "gamma"}));
    }

    void readsAndTheirErrors() {
        TRegistry reg;
        QVERIFY(reg.OpenKey(ProgramKey, true));
        // Missing values.
        QCOMPARE(reg.ReadString(QStringLiteral("None")), QString());
        QVERIFY_THROWS_EXCEPTION(ERegistryException, reg.ReadInteger(QStringLiteral("None")));
        try {
            reg.ReadBool(QStringLiteral("Exit"));
            QFAIL("no error");
        } catch (const ERegistryException& e) {
            QCOMPARE(QString::fromUtf8(e.what()), QStringLiteral("Failed to get data for 'Exit'"));
        }
        // Types.
        reg.WriteString(QStringLiteral("Desktop"), QStringLiteral("13"));
        try {
            reg.ReadInteger(QStringLiteral("Desktop"));
            QFAIL("no error");
        } catch (const ERegistryException& e) {
            QCOMPARE(QString::fromUtf8(e.what()),
                     QStringLiteral("Invalid data type for 'Desktop'"));
        }
        reg.WriteInteger(QStringLiteral("Gamma"), 15);
        try {
            reg.ReadString(QStringLiteral("Gamma"));
            QFAIL("no error");
        } catch (const ERegistryException& e) {
            QCOMPARE(QString::fromUtf8(e.what()), QStringLiteral("Invalid data type for 'Gamma'"));
        }
        // Data longer than four bytes is "Failed to get data", whatever its type.
        reg.WriteValue(QStringLiteral("Long"), {platform::REG_DWORD, QByteArray(8, '\1')});
        QVERIFY_THROWS_EXCEPTION(ERegistryException, reg.ReadInteger(QStringLiteral("Long")));
        // REG_EXPAND_SZ reads as a string, unexpanded, up to the first zero byte.
        reg.WriteValue(QStringLiteral("Path"),
                       {platform::REG_EXPAND_SZ, QByteArray("%HOME%\0junk", 11)});
        QCOMPARE(reg.ReadString(QStringLiteral("Path")), QStringLiteral("%HOME%"));
        // A zero-length string value reads as "".
        reg.WriteValue(QStringLiteral("Empty"), {platform::REG_SZ, QByteArray()});
        QCOMPARE(reg.ReadString(QStringLiteral("Empty")), QString());
        // Booleans: any non-zero integer is true.
        reg.WriteInteger(QStringLiteral("Flag"), 7);
        QVERIFY(reg.ReadBool(QStringLiteral("Flag")));
        reg.WriteBool(QStringLiteral("Flag"), false);
        QCOMPARE(reg.ReadInteger(QStringLiteral("Flag")), 0);
        reg.WriteInteger(QStringLiteral("Negative"), -5);
        QCOMPARE(reg.ReadInteger(QStringLiteral("Negative")), -5);
    }

    void writesStoreTheRegistryEncoding() {
        TRegistry reg;
        QVERIFY(reg.OpenKey(ProgramKey, true));
        reg.WriteString(QStringLiteral("Text"), QStringLiteral("ab"));
        reg.WriteInteger(QStringLiteral("Number"), 0x0D);
        const auto text = reg.ReadValue(QStringLiteral("Text"));
        QCOMPARE(text->type, int(platform::REG_SZ));
        QCOMPARE(text->data, QByteArray("ab\0", 3));
        const auto number = reg.ReadValue(QStringLiteral("Number"));
        QCOMPARE(number->type, int(platform::REG_DWORD));
        QCOMPARE(number->data, QByteArray("\x0D\0\0\0", 4));
    }

    void writeWithoutAnOpenKeyFails() {
        TRegistry reg;
        try {
            reg.WriteString(QStringLiteral("FileName"), QStringLiteral("x"));
            QFAIL("no error");
        } catch (const ERegistryException& e) {
            QCOMPARE(QString::fromUtf8(e.what()),
                     QStringLiteral("Failed to set data for 'FileName'"));
        }
        // A key deleted under an open wrapper: the write fails the same way.
        TRegistry a, b;
        QVERIFY(a.OpenKey(ProfilesKey + QStringLiteral("\\Gone"), true));
        QVERIFY(b.DeleteKey(ProfilesKey + QStringLiteral("\\Gone")));
        QVERIFY_THROWS_EXCEPTION(ERegistryException, a.WriteInteger(QStringLiteral("Gamma"), 1));
    }

    void deleteValueAndKey() {
        TRegistry reg;
        QVERIFY(reg.OpenKey(ProfilesKey + QStringLiteral("\\P\\Nested\\Deeper"), true));
        reg.WriteInteger(QStringLiteral("Gamma"), 3);
        QVERIFY(reg.DeleteValue(QStringLiteral("Gamma")));
        QVERIFY(!reg.DeleteValue(QStringLiteral("Gamma")));
        QVERIFY(reg.OpenKey(ProfilesKey, false));
        QVERIFY(reg.DeleteKey(QStringLiteral("P"))); // with everything below it
        QVERIFY(!reg.KeyExists(QStringLiteral("P\\Nested")));
        QVERIFY(!reg.DeleteKey(QStringLiteral("P")));
        QCOMPARE(reg.CurrentPath(), ProfilesKey);
    }

    void survivesAReopen() {
        {
            TRegistry reg;
            QVERIFY(reg.OpenKey(ProgramKey, true));
            reg.WriteInteger(QStringLiteral("Desktop"), 13);
        }
        Hive::setInstance(std::make_unique<Hive>(Hive::defaultPath()));
        TRegistry reg;
        QVERIFY(reg.OpenKey(ProgramKey, false));
        QCOMPARE(reg.ReadInteger(QStringLiteral("Desktop")), 13);
    }

    void transactionRollsBackAsAWhole() {
        Hive& hive = Hive::instance();
        {
            platform::HiveTransaction tx(hive);
            TRegistry reg;
            QVERIFY(reg.OpenKey(ProfilesKey + QStringLiteral("\\Half"), true));
            reg.WriteString(QStringLiteral("FileName"), QStringLiteral("/bin/true"));
            // Leaves without commit, as a throwing Save would.
        }
        TRegistry reg;
        QVERIFY(!reg.KeyExists(ProfilesKey + QStringLiteral("\\Half")));
    }

    void runValueIsTheAutostartEntry() {
        TRegistry reg;
        QVERIFY(reg.OpenKey(RunKey, false)); // the log-on start list always opens
        QVERIFY(!reg.ValueExists(RunValueName));
        QVERIFY(!reg.DeleteValue(RunValueName)); // silent when absent
        const QString path = QStringLiteral("/opt/My Games/kel\"va$ro`\\100%.bin");
        reg.WriteString(QStringLiteral("kelvaro"), path);
        QVERIFY(QFile::exists(platform::autostart::entryPath()));
        QVERIFY(reg.ValueExists(RunValueName));
        QCOMPARE(reg.ReadString(RunValueName), path);
        // Other values under the Run key live in the store.
        reg.WriteString(QStringLiteral("Other"), QStringLiteral("x"));
        QStringList names;
        reg.GetValueNames(names);
        QCOMPARE(names, (QStringList{"Other", "Kelvaro"}));

        const QString validate =
            QStandardPaths::findExecutable(QStringLiteral("desktop-file-validate"));
        if (!validate.isEmpty()) {
            QProcess p;
            p.start(validate, {platform::autostart::entryPath()});
            QVERIFY(p.waitForFinished());
            QCOMPARE(QString::fromUtf8(p.readAll()), QString());
            QCOMPARE(p.exitCode(), 0);
        }
        QVERIFY(reg.DeleteValue(RunValueName));
        QVERIFY(!reg.ValueExists(RunValueName));
    }

    // An entry the user or the session switched off does not start the program: the options
    // show "start with the session" unticked.
    void switchedOffAutostartEntryDoesNotCount_data() {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<bool>("on");
        QTest::newRow("Hidden") << QByteArray("Hidden=true\n") << false;
        QTest::newRow("GNOME off") << QByteArray("X-GNOME-Autostart-enabled=false\n") << false;
        QTest::newRow("GNOME on") << QByteArray("X-GNOME-Autostart-enabled=true\n") << true;
        QTest::newRow("Hidden false") << QByteArray("Hidden=false\n") << true;
    }
    void switchedOffAutostartEntryDoesNotCount() {
        QFETCH(QByteArray, line);
        QFETCH(bool, on);
        QVERIFY(platform::autostart::write(QStringLiteral("/usr/bin/kelvaro")));
        QFile f(platform::autostart::entryPath());
        QVERIFY(f.open(QIODevice::Append));
        f.write(line);
        f.close();
        QCOMPARE(platform::autostart::exists(), on);
        TRegistry reg;
        QVERIFY(reg.OpenKey(RunKey, false));
        QCOMPARE(reg.ValueExists(RunValueName), on);
    }

    // GLib (and so a GLib-based session) starts the entry, also with a % in the program's path,
    // telling the program that the session started it.
    void autostartEntryStartsThroughGLib_data() {
        QTest::addColumn<QString>("folder");
        QTest::newRow("ordinary") << QStringLiteral("sure");
        QTest::newRow("a % in the path") << QStringLiteral("100% \"sure\"");
    }
    void autostartEntryStartsThroughGLib() {
        QFETCH(QString, folder);
        const QString gio = QStandardPaths::findExecutable(QStringLiteral("gio"));
        if (gio.isEmpty()) QSKIP("gio is not installed");
        QTemporaryDir dir;
        const QString marker = dir.filePath("started");
        QDir(dir.path()).mkpath(folder);
        const QString program = dir.filePath(folder + "/run $me");
        QFile f(program);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(QStringLiteral("#!/bin/sh\necho \"$*\" > '%1'\n").arg(marker).toUtf8());
        f.close();
        f.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        QVERIFY(platform::autostart::write(program));
        QCOMPARE(platform::autostart::read().value_or(QString()), program);
        QProcess p;
        p.setProcessChannelMode(QProcess::MergedChannels);
        p.start(gio, {"launch", platform::autostart::entryPath()});
        QVERIFY(p.waitForFinished());
        QVERIFY2(p.exitCode() == 0, p.readAll().constData());
        auto said = [&] {
            QFile started(marker);
            return started.open(QIODevice::ReadOnly) ? started.readAll() : QByteArray();
        };
        QTRY_COMPARE_WITH_TIMEOUT(said(), QByteArray("--autostart\n"), 5000);
    }

    void execQuotingCannotAddArguments_data() {
        QTest::addColumn<QString>("path");
        QTest::newRow("spaces") << QStringLiteral("/a b/c d");
        QTest::newRow("field code") << QStringLiteral("/x/%f %u");
        QTest::newRow("quote and backslash") << QStringLiteral("/x/\"q\\\" --evil");
        QTest::newRow("newline") << QStringLiteral("/x/a\nExec=evil");
    }
    void execQuotingCannotAddArguments() {
        QFETCH(QString, path);
        QVERIFY(platform::autostart::write(path));
        QCOMPARE(platform::autostart::read().value_or(QString()), path);
        QFile f(platform::autostart::entryPath());
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(f.readAll().count("\nExec="), 1);
    }

    void unreadableStoreIsLeftAlone_data() {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("reason");
        QTest::newRow("not sqlite") << QByteArray("this is not a database at all, just text\n")
                                    << QStringLiteral("not a database");
        QTest::newRow("foreign db") << QByteArray("foreign") << QStringLiteral("not a Kelvaro");
        QTest::newRow("newer") << QByteArray("newer") << QStringLiteral("newer version");
        QTest::newRow("truncated") << QByteArray("truncated") << QStringLiteral("");
    }
    void unreadableStoreIsLeftAlone() {
        QFETCH(QByteArray, content);
        QFETCH(QString, reason);
        Hive::setInstance(nullptr);
        const QString path = Hive::defaultPath();
        QFile::remove(path);
        QFile::remove(path + "-wal");
        QFile::remove(path + "-shm");
        if (content == "foreign" || content == "newer") {
            sqlite3* db = nullptr;
            QCOMPARE(sqlite3_open(QFile::encodeName(path).constData(), &db), SQLITE_OK);
            sqlite3_exec(db, content == "foreign" ? "CREATE TABLE t(x)" : "PRAGMA user_version = 9",
                         nullptr, nullptr, nullptr);
            sqlite3_close(db);
        } else if (content == "truncated") {
            {
                Hive h(path);
                TRegistry reg(h);
                reg.OpenKey(ProfilesKey + QStringLiteral("\\X"), true);
            }
            for (const QString& f : {path + "-wal", path + "-shm"})
                QFile::remove(f);
            QFile f(path);
            QVERIFY(f.open(QIODevice::ReadWrite));
            QVERIFY(f.size() > 2048);
            f.resize(1500);
        } else {
            QFile f(path);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(content);
        }
        QFile before(path);
        QVERIFY(before.open(QIODevice::ReadOnly));
        const QByteArray bytes = before.readAll();
        before.close();
        try {
            Hive h(path);
            QFAIL("opened a store that isn't one");
        } catch (const platform::HiveError& e) {
            QVERIFY2(QString::fromUtf8(e.what()).contains(reason), e.what());
        }
        QString output;
        QCOMPARE(runReg({"query", "HKCU\\Software"}, &output), 1);
        QVERIFY(output.contains(path));
        QFile after(path);
        QVERIFY(after.open(QIODevice::ReadOnly));
        QCOMPARE(after.readAll(), bytes);
        QVERIFY(!QFile::exists(path + "-wal"));
        QFile::remove(path);
    }

    void regToolRoundTrip() {
        Hive::setInstance(nullptr); // the tool and we share the file, not the connection
        const QString key =
            QStringLiteral("HKCU\\Software\\Orvendale Software\\Kelvaro\\Profiles\\A&B");
        QCOMPARE(runReg({"add", key, "/v", "Gamma", "/t", "REG_DWORD", "/d", "15", "/f"}), 0);
        QCOMPARE(runReg({"add", key, "/v", "FileName", "/d", "/usr/bin/x y", "/f"}), 0);
        QCOMPARE(runReg({"add", key, "/v", "Gamma", "/t", "REG_DWORD", "/d", "16"}), 1); // no /f
        QCOMPARE(runReg({"add", key, "/v", "Gamma", "/t", "REG_DWORD", "/d", "x", "/f"}), 1);
        QCOMPARE(runReg({"add", key, "/v", "Gamma", "/t", "REG_FOO", "/d", "1", "/f"}), 1);
        QString output;
        QCOMPARE(runReg({"query", key, "/v", "gamma"}, &output), 0);
        QVERIFY2(output.contains("REG_DWORD    0xf"), qPrintable(output));
        QCOMPARE(runReg({"query", key}, &output), 0);
        QVERIFY(output.contains("FileName    REG_SZ    /usr/bin/x y"));
        QCOMPARE(runReg({"query", key, "/v", "Missing"}), 1);
        QCOMPARE(runReg({"query", key + "\\Missing"}), 1);
        QCOMPARE(runReg({"delete", key, "/v", "Gamma"}), 1); // no /f
        QCOMPARE(runReg({"delete", key, "/v", "Gamma", "/f"}), 0);
        QCOMPARE(runReg({"delete", key, "/f"}), 0);
        QCOMPARE(runReg({"delete", key, "/f"}), 1);
        QCOMPARE(runReg({"query", "HKLM\\Software"}), 1);
    }
};

QTEST_GUILESS_MAIN(StoreTest)
#include "test_store.moc"
