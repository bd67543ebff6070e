// kelvaro-reg run as a user runs it: command lines as the Windows reg tool takes them, against
// a private store.
#include "Fakes.h"
#include "platform/process/Autostart.h"
#include "settings/RegFile.h"
#include "settings/Registry.h"

#include <QFile>
#include <QProcess>
#include <QStringEncoder>
#include <QTest>

namespace {

const QString Key = QStringLiteral("HKCU\\Software\\Orvendale Software\\Kelvaro");
const QString RunKeyName =
    QStringLiteral("HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Run");

struct Result {
    int code = -1;
    QString out, err;
};

Result reg(const QStringList& args, const QByteArray& input = QByteArray()) {
    QProcess p;
    p.start(qEnvironmentVariable("KELVARO_BUILD") + "/src/kelvaro-reg", args);
    if (!input.isNull()) p.write(input);
    p.closeWriteChannel();
    p.waitForFinished(30000);
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1,
            QString::fromUtf8(p.readAllStandardOutput()),
            QString::fromUtf8(p.readAllStandardError())};
}

QString deep(int levels) {
    QString key = QStringLiteral("HKCU");
    for (int i = 0; i < levels; ++i)
        key += QStringLiteral("\\k");
    return key;
}

} // namespace

class RegToolTest : public QObject {
    Q_OBJECT
    std::unique_ptr<TempStore> store;
    QString file(const QString& name) const { return store->dir.filePath(name); }

private slots:
    void init() {
        store = std::make_unique<TempStore>();
        platform::Hive::setInstance(nullptr); // the tool and the test share the file only
    }
    void cleanup() { store.reset(); }

    // Each row: commands that must succeed first, then one command, its exit status, and
    // texts its output must (and must not) hold.
    void commandLines_data() {
        QTest::addColumn<QList<QStringList>>("setup");
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("code");
        QTest::addColumn<QStringList>("shows");
        QTest::addColumn<QString>("never");
        const QStringList usage{"query KEY",   "add KEY",  "delete KEY", "export KEY FILE [/y]",
                                "import FILE", "REG_QWORD"};
        QTest::newRow("no arguments")
            << QList<QStringList>{} << QStringList{} << 0 << usage << "ERROR";
        for (const char* help : {"/?", "-h", "--help"})
            QTest::newRow(help) << QList<QStringList>{} << QStringList{help} << 0 << usage
                                << "ERROR";
        QTest::newRow("command /?")
            << QList<QStringList>{} << QStringList{"export", "/?"} << 0 << usage << "ERROR";
        QTest::newRow("unknown command")
            << QList<QStringList>{} << QStringList{"copy", Key} << 1
            << QStringList{"ERROR: Invalid syntax", "kelvaro-reg /?"} << "";

        const QList<QStringList> program{{"add", Key}};
        QTest::newRow("add says so")
            << QList<QStringList>{} << QStringList{"add", Key + "\\New"} << 0
            << QStringList{"The operation completed successfully."} << "ERROR";
        QTest::newRow("root by its name")
            << program << QStringList{"query", "HKCU\\"} << 0
            << QStringList{"\nHKEY_CURRENT_USER\n", "\nHKEY_CURRENT_USER\\Software\n"} << "\\\\";
        QTest::newRow("root is not deleted")
            << program << QStringList{"delete", "HKCU\\", "/f"} << 1
            << QStringList{"ERROR: Invalid key name."} << "successfully";
        QTest::newRow("root spelt out is not deleted")
            << program << QStringList{"delete", "HKEY_CURRENT_USER", "/f"} << 1
            << QStringList{"ERROR: Invalid key name."} << "successfully";
        QTest::newRow("import of a file without end")
            << program << QStringList{"import", "/dev/zero"} << 1
            << QStringList{"/dev/zero: the file is larger than 64 MB; nothing was changed"} << "";
        QTest::newRow("missing key") << program << QStringList{"query", Key + "\\Nope"} << 1
                                     << QStringList{"ERROR: The system was unable to find the "
                                                    "specified registry key or value."}
                                     << "";

        // Every type, added and read back.
        struct Typed {
            const char* row;
            QStringList add;
            QString shown;
        };
        const QList<Typed> typed{
            {"REG_SZ", {"/d", "a b"}, "V    REG_SZ    a b"},
            {"REG_EXPAND_SZ",
             {"/t", "REG_EXPAND_SZ", "/d", "%HOME%/x"},
             "V    REG_EXPAND_SZ    %HOME%/x"},
            {"REG_MULTI_SZ",
             {"/t", "REG_MULTI_SZ", "/d", "a\\0b c"},
             "V    REG_MULTI_SZ    a\\0b c"},
            {"REG_MULTI_SZ /s",
             {"/t", "REG_MULTI_SZ", "/s", ",", "/d", "a,b"},
             "V    REG_MULTI_SZ    a\\0b"},
            {"REG_DWORD without /d", {"/t", "REG_DWORD"}, "V    REG_DWORD    0x0"},
            {"REG_DWORD hex", {"/t", "reg_dword", "/d", "0x1F"}, "V    REG_DWORD    0x1f"},
            {"REG_QWORD", {"/t", "REG_QWORD", "/d", "4294967296"}, "V    REG_QWORD    0x100000000"},
            {"REG_QWORD without /d", {"/t", "REG_QWORD"}, "V    REG_QWORD    0x0"},
            {"REG_BINARY", {"/t", "REG_BINARY", "/d", "01ff"}, "V    REG_BINARY    01FF"},
        };
        for (const Typed& t : typed)
            QTest::newRow(t.row) << QList<QStringList>{QStringList{"add", Key, "/v", "V"} + t.add}
                                 << QStringList{"query", Key, "/v", "v"} << 0
                                 << QStringList{t.shown} << "ERROR";
        QTest::newRow("default value") << QList<QStringList>{{"add", Key, "/ve", "/d", "dflt"}}
                                       << QStringList{"query", Key, "/ve"} << 0
                                       << QStringList{"    (Default)    REG_SZ    dflt"} << "";
        QTest::newRow("default value not set")
            << program << QStringList{"query", Key, "/ve"} << 0
            << QStringList{"    (Default)    REG_SZ    (value not set)"} << "";
        for (const auto& [row, args] : std::initializer_list<std::pair<const char*, QStringList>>{
                 {"DWORD too big", {"/t", "REG_DWORD", "/d", "4294967296"}},
                 {"QWORD not a number", {"/t", "REG_QWORD", "/d", "12x"}},
                 {"odd hex", {"/t", "REG_BINARY", "/d", "123"}},
                 {"not hex", {"/t", "REG_BINARY", "/d", "0g"}},
                 {"unknown type", {"/t", "REG_FOO", "/d", "1"}}})
            QTest::newRow(row) << program << (QStringList{"add", Key, "/v", "V"} + args) << 1
                               << QStringList{"ERROR: Invalid syntax"} << "successfully";

        // Searches.
        const QList<QStringList> tree{
            {"add", Key + "\\Profiles\\Alpha", "/v", "FileName", "/d", "/bin/true"},
            {"add", Key + "\\Profiles\\Beta", "/v", "Args", "/d", "alpha"},
            {"add", Key, "/v", "Desktop", "/t", "REG_DWORD", "/d", "13"}};
        QTest::newRow("/s")
            << tree << QStringList{"query", Key, "/s"} << 0
            << QStringList{Key.mid(5) + "\\Profiles\\Alpha\n    FileName    REG_SZ    /bin/true",
                           "Desktop    REG_DWORD    0xd"}
            << "End of search";
        QTest::newRow("/f everywhere")
            << tree << QStringList{"query", Key, "/f", "ALPHA", "/s"} << 0
            << QStringList{"\\Profiles\\Alpha\n", "Args    REG_SZ    alpha",
                           "End of search: 2 match(es) found."}
            << "Desktop";
        QTest::newRow("/f keys only")
            << tree << QStringList{"query", Key, "/f", "alpha", "/s", "/k"} << 0
            << QStringList{"End of search: 1 match(es) found."} << "Args";
        QTest::newRow("/f case and exact")
            << tree << QStringList{"query", Key, "/f", "ALPHA", "/s", "/c", "/e"} << 0
            << QStringList{"End of search: 0 match(es) found."} << "Args";
        QTest::newRow("/v with /s")
            << tree << QStringList{"query", Key, "/v", "Args", "/s"} << 0
            << QStringList{"Beta\n    Args    REG_SZ    alpha", "End of search: 1 match(es) found."}
            << "FileName";

        // The registry's bounds.
        QTest::newRow("key name of 255")
            << QList<QStringList>{} << QStringList{"add", "HKCU\\" + QString(255, 'n')} << 0
            << QStringList{"successfully"} << "ERROR";
        QTest::newRow("key name of 256")
            << QList<QStringList>{} << QStringList{"add", "HKCU\\a\\" + QString(256, 'n')} << 1
            << QStringList{"ERROR: The parameter is incorrect."} << "successfully";
        QTest::newRow("512 levels") << QList<QStringList>{} << QStringList{"add", deep(512)} << 0
                                    << QStringList{"successfully"} << "ERROR";
        QTest::newRow("513 levels")
            << QList<QStringList>{} << QStringList{"add", deep(513)} << 1
            << QStringList{"ERROR: The parameter is incorrect."} << "successfully";
    }
    void commandLines() {
        QFETCH(QList<QStringList>, setup);
        QFETCH(QStringList, args);
        QFETCH(int, code);
        QFETCH(QStringList, shows);
        QFETCH(QString, never);
        for (const QStringList& s : setup) {
            const Result r = reg(s);
            QVERIFY2(r.code == 0, qPrintable(s.join(' ') + ": " + r.err));
        }
        const Result r = reg(args);
        const QString all = r.out + r.err;
        QVERIFY2(r.code == code, qPrintable(QString::number(r.code) + "\n" + all));
        for (const QString& s : shows)
            QVERIFY2(all.contains(s), qPrintable("no \"" + s + "\" in:\n" + all));
        if (!never.isEmpty()) QVERIFY2(!all.contains(never), qPrintable(all));
        // Usage and results go to standard output, errors to standard error.
        QCOMPARE(r.err.isEmpty(), code == 0);
    }

    void exportTakesKeyThenFile() {
        QCOMPARE(reg({"add", Key, "/v", "Desktop", "/t", "REG_DWORD", "/d", "12"}).code, 0);
        const QString backup = file("backup.reg");
        Result r = reg({"export", Key, backup});
        QCOMPARE(r.code, 0);
        QCOMPARE(r.out, QStringLiteral("The operation completed successfully.\n"));
        QFile f(backup);
        QVERIFY(f.open(QIODevice::ReadOnly));
        QVERIFY(f.readAll().contains("\"Desktop\"=dword:0000000c"));
        // Not replaced without /y; replaced with it.
        QCOMPARE(reg({"export", Key, backup}).code, 1);
        QCOMPARE(reg({"export", Key, backup, "/y"}).code, 0);
        // The other way round is refused, and no file named after the key appears.
        QDir::setCurrent(store->dir.path());
        r = reg({"export", file("other.reg"), Key});
        QCOMPARE(r.code, 1);
        QVERIFY(QDir(store->dir.path()).entryList({"*Kelvaro*"}, QDir::Files).isEmpty());
        QVERIFY(!QFile::exists(file("other.reg")));
        // To standard output.
        r = reg({"export", Key, "-"});
        QCOMPARE(r.code, 0);
        QVERIFY(r.out.startsWith(
            "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Orvendale Software\\Kelvaro]\n"));
        // And back in, saying so.
        QCOMPARE(reg({"delete", Key, "/f"}).code, 0);
        r = reg({"import", backup});
        QCOMPARE(r.code, 0);
        QCOMPARE(r.out, QStringLiteral("The operation completed successfully.\n"));
        QVERIFY(reg({"query", Key, "/v", "Desktop"}).out.contains("0xc"));
    }

    void importsTheRegistryEditorsUnicodeFiles_data() {
        QTest::addColumn<QByteArray>("bom");
        QTest::addColumn<QString>("encoding");
        QTest::newRow("UTF-16LE") << QByteArray("\xFF\xFE") << "UTF-16LE";
        QTest::newRow("UTF-16BE") << QByteArray("\xFE\xFF") << "UTF-16BE";
        QTest::newRow("UTF-8 with BOM") << QByteArray("\xEF\xBB\xBF") << "UTF-8";
    }
    void importsTheRegistryEditorsUnicodeFiles() {
        QFETCH(QByteArray, bom);
        QFETCH(QString, encoding);
        // As the registry editor writes it: CRLF, strings in quotes, hex(2) and hex(7) in
        // UTF-16LE whatever the file's own encoding.
        const QString text = QStringLiteral(
            "Windows Registry Editor Version 5.00\r\n\r\n"
            "[HKEY_CURRENT_USER\\Software\\Orvendale Software\\Kelvaro\\Profiles\\Äpfel ゲーム]\r\n"
            "\"FileName\"=\"/opt/äpfel/run\"\r\n"
            "\"Gamma\"=dword:00000011\r\n"
            "\"Path\"=hex(2):25,00,48,00,4f,00,4d,00,45,00,25,00,00,00\r\n"
            "\"List\"=hex(7):61,00,00,00,e4,00,00,00,00,00\r\n"
            "\"Big\"=hex(b):01,00,00,00,00,00,00,00\r\n");
        QStringEncoder encode(encoding == "UTF-8"      ? QStringConverter::Utf8
                              : encoding == "UTF-16LE" ? QStringConverter::Utf16LE
                                                       : QStringConverter::Utf16BE);
        QFile f(file("v5.reg"));
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(bom + QByteArray(encode(text)));
        f.close();
        const Result r = reg({"import", f.fileName()});
        QVERIFY2(r.code == 0, qPrintable(r.err));
        const QString profile = Key + QStringLiteral("\\Profiles\\Äpfel ゲーム");
        const QString out = reg({"query", profile}).out;
        QVERIFY2(out.contains("FileName    REG_SZ    /opt/äpfel/run"), qPrintable(out));
        QVERIFY(out.contains("Gamma    REG_DWORD    0x11"));
        QVERIFY(out.contains("Path    REG_EXPAND_SZ    %HOME%"));
        QVERIFY(out.contains("List    REG_MULTI_SZ    a\\0ä"));
        QVERIFY(out.contains("Big    REG_QWORD    0x1"));
    }

    void runKeyIsTheAutostartEntry() {
        const QString entry = platform::autostart::entryPath();
        // Reading the Run key makes nothing in the store.
        QCOMPARE(reg({"query", RunKeyName}).code, 0);
        QCOMPARE(reg({"query", RunKeyName, "/s"}).code, 0);
        QCOMPARE(reg({"query", "HKCU\\"}).out.contains("Software"), false);
        // Added and deleted as a value; deleted with the key or a key above it.
        for (const QStringList& del : {QStringList{"delete", RunKeyName, "/v", "kelvaro", "/f"},
                                       QStringList{"delete", RunKeyName, "/va", "/f"},
                                       QStringList{"delete", RunKeyName, "/f"},
                                       QStringList{"delete", "HKCU\\Software\\Microsoft", "/f"}}) {
            QCOMPARE(reg({"add", RunKeyName, "/v", "Kelvaro", "/d", "/usr/bin/kelvaro", "/f"}).code,
                     0);
            QVERIFY(QFile::exists(entry));
            QVERIFY(
                reg({"query", RunKeyName}).out.contains("Kelvaro    REG_SZ    /usr/bin/kelvaro"));
            const Result r = reg(del);
            QVERIFY2(r.code == 0, qPrintable(del.join(' ') + ": " + r.err));
            QVERIFY2(!QFile::exists(entry), qPrintable(del.join(' ')));
            QCOMPARE(reg({"query", RunKeyName, "/v", "Kelvaro"}).code, 1);
        }
        // Through a .reg file too, after the rest of the file.
        QFile f(file("run.reg"));
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("REGEDIT4\n[HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Run]\n"
                "\"Kelvaro\"=\"/opt/k/kelvaro\"\n");
        f.close();
        QCOMPARE(reg({"import", f.fileName()}).code, 0);
        QCOMPARE(platform::autostart::read(), std::optional<QString>("/opt/k/kelvaro"));
        QCOMPARE(
            reg({"import", "-"},
                "REGEDIT4\n[HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Run]\n"
                "\"Kelvaro\"=-\n")
                .code,
            0);
        QVERIFY(!QFile::exists(entry));
    }
};

QTEST_GUILESS_MAIN(RegToolTest)
#include "test_regtool.moc"
