#include "Fakes.h"
#include "settings/RegFile.h"
#include "settings/Registry.h"

#include "platform/process/Autostart.h"

#include <QDir>
#include <QElapsedTimer>
#include <QTest>

using platform::Hive;

namespace {

// Every key (in enumeration order) with its values (name, type, data), as one comparable text.
QStringList dump(Hive& hive, platform::KeyId key, const QString& name) {
    QStringList out{name};
    for (const QString& v : hive.valueNames(key)) {
        const auto value = hive.value(key, v);
        out << QStringLiteral("  %1 %2 %3")
                   .arg(v)
                   .arg(value->type)
                   .arg(QString::fromLatin1(value->data.toHex()));
    }
    for (const QString& sub : hive.subKeyNames(key))
        out += dump(hive, *hive.findKey(key, sub), name + "\\" + sub);
    return out;
}

} // namespace

class RegFileTest : public QObject {
    Q_OBJECT
    std::unique_ptr<TempStore> store;

    static void seed() {
        TRegistry reg;
        reg.OpenKey(ProgramKey, true);
        reg.WriteBool("Exit", true);
        reg.WriteInteger("Desktop", 13);
        for (const QString& name :
             {QStringLiteral("Quote \"q\""), QStringLiteral("Back\\slash"), QStringLiteral("A&B"),
              QStringLiteral("Ünïcødé ゲーム"), QStringLiteral("zeta"), QStringLiteral("Alpha]")}) {
            reg.OpenKey(ProfilesKey + "\\" + name, true);
            reg.WriteString("FileName", "/games/" + name + "/run \"x\" \\ y");
            reg.WriteString("Args", QString());
            reg.WriteInteger("Gamma", -7);
        }
        reg.OpenKey(ProfilesKey + "\\zeta\\Nested", true);
        reg.WriteValue("Blob", {platform::REG_BINARY, QByteArray("\0\1\xff", 3)});
        reg.WriteValue("Expand", {platform::REG_EXPAND_SZ, QByteArray("%HOME%\0", 7)});
        reg.WriteValue("", {platform::REG_SZ, QByteArray("default\0", 8)});
    }

private slots:
    void init() { store = std::make_unique<TempStore>(); }
    void cleanup() { store.reset(); }

    void exportThenImportGivesTheSameStore() {
        seed();
        Hive& hive = Hive::instance();
        const QStringList before = dump(hive, hive.root(), "root");
        const QString text = ExportRegFile(hive, "\\Software");
        QVERIFY(text.startsWith("REGEDIT4\n\n[HKEY_CURRENT_USER\\Software]\n"));
        QVERIFY(text.contains("\"Desktop\"=dword:0000000d\n"));
        QVERIFY(text.contains("\"FileName\"=\"/games/Quote \\\"q\\\"/run \\\"x\\\" \\\\ y\"\n"));
        // Into an empty store.
        store = std::make_unique<TempStore>();
        ImportRegFile(Hive::instance(), text);
        QCOMPARE(dump(Hive::instance(), Hive::instance().root(), "root"), before);
        // Importing again changes nothing.
        ImportRegFile(Hive::instance(), text);
        QCOMPARE(dump(Hive::instance(), Hive::instance().root(), "root"), before);
    }

    void deletionsInTheFile() {
        seed();
        ImportRegFile(
            Hive::instance(),
            "REGEDIT4\r\n\r\n[-HKEY_CURRENT_USER\\Software\\Orvendale "
            "Software\\Kelvaro\\Profiles\\zeta]\r\n"
            "[HKEY_CURRENT_USER\\Software\\Orvendale Software\\Kelvaro]\r\n\"Exit\"=-\r\n");
        TRegistry reg;
        QVERIFY(!reg.KeyExists(ProfilesKey + "\\zeta"));
        QVERIFY(reg.OpenKey(ProgramKey, false));
        QVERIFY(!reg.ValueExists("Exit"));
        QVERIFY(reg.ValueExists("Desktop"));
    }

    void malformedFilesChangeNothing_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("line");
        const QString head = "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\New]\n\"A\"=\"1\"\n";
        QTest::newRow("no header") << "[HKEY_CURRENT_USER\\X]\n" << 1;
        QTest::newRow("bad dword") << head + "\"B\"=dword:12\n" << 5;
        QTest::newRow("open string") << head + "\"B\"=\"abc\n" << 5;
        QTest::newRow("bad escape") << head + "\"B\"=\"a\\nb\"\n" << 5;
        QTest::newRow("other hive") << head + "[HKEY_LOCAL_MACHINE\\Software]\n" << 5;
        QTest::newRow("value before key") << "REGEDIT4\n\"A\"=\"1\"\n" << 2;
        QTest::newRow("bad hex") << head + "\"B\"=hex:1,zz\n" << 5;
        QTest::newRow("unknown data") << head + "\"B\"=qword:1\n" << 5;
        QTest::newRow("empty key part") << "REGEDIT4\n[HKEY_CURRENT_USER\\a\\\\b]\n" << 2;
        // Names the profiles window would refuse, and halves of UTF-16 pairs that no name in
        // the store could ever match again.
        const QString lone(QChar(0xD800)), loneLow(QChar(0xDC00));
        QTest::newRow("control character in a value name") << head + "\"B\x01\"=\"x\"\n" << 5;
        QTest::newRow("control character in a key name") << "REGEDIT4\n[HKEY_CURRENT_USER\\a\tb]\n"
                                                         << 2;
        QTest::newRow("lone surrogate in a key name")
            << "REGEDIT4\n[HKEY_CURRENT_USER\\a" + lone + "]\n"
            << 2;
        QTest::newRow("lone surrogate in a value name") << head + "\"" + loneLow + "\"=\"x\"\n"
                                                        << 5;
        QTest::newRow("lone surrogate in string data") << head + "\"B\"=\"a" + lone + "\"\n" << 5;
        QTest::newRow("lone surrogate in UTF-16 string data")
            << "Windows Registry Editor Version "
               "5.00\n[HKEY_CURRENT_USER\\N]\n\"B\"=hex(1):00,d8,00,00\n"
            << 3;
    }
    void malformedFilesChangeNothing() {
        QFETCH(QString, text);
        QFETCH(int, line);
        seed();
        const QStringList before = dump(Hive::instance(), Hive::instance().root(), "root");
        try {
            ImportRegFile(Hive::instance(), text);
            QFAIL("imported a malformed file");
        } catch (const RegFileError& e) {
            QCOMPARE(e.line, line);
            QVERIFY(QString::fromUtf8(e.what()).startsWith(QStringLiteral("line %1:").arg(line)));
        }
        QCOMPARE(dump(Hive::instance(), Hive::instance().root(), "root"), before);
    }

    // Whatever a value holds, the file export writes imports back to the same bytes.
    void everyValueImportsBackIdentically_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("type");
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<QString>("written"); // how the value's line begins after its name
        using B = QByteArray;
        QTest::newRow("plain text") << "A" << 1 << B("a \"q\" \\ b\0", 10) << "=\"a \\\"q";
        QTest::newRow("line break") << "A" << 1 << B("one\ntwo\0", 8) << "=hex(1):";
        QTest::newRow("carriage return") << "A" << 1 << B("one\r\0", 5) << "=hex(1):";
        QTest::newRow("zero inside") << "A" << 1 << B("a\0b\0", 4) << "=hex(1):";
        QTest::newRow("no zero") << "A" << 1 << B("abc") << "=hex(1):";
        QTest::newRow("empty string data") << "A" << 1 << B() << "=hex(1):";
        QTest::newRow("not UTF-8") << "A" << 1 << B("\xff\xfe\0", 3) << "=hex(1):";
        QTest::newRow("Unicode") << "Ünï ゲーム" << 1
                                 << QString("Äpfel ゲーム").toUtf8().append('\0') << "=\"Äpfel";
        QTest::newRow("expand") << "E" << 2 << B("%HOME%\n\0", 8) << "=hex(2):";
        QTest::newRow("multi") << "M" << 7 << B("a\0b\0\0", 5) << "=hex(7):";
        QTest::newRow("qword") << "Q" << 11 << B("\1\0\0\0\0\0\0\x80", 8) << "=hex(b):";
        QTest::newRow("dword") << "D" << 4 << B("\x0d\0\0\0", 4) << "=dword:0000000d";
        QTest::newRow("short dword") << "D" << 4 << B("\1\2", 2) << "=hex(4):";
        QTest::newRow("long dword") << "D" << 4 << B("\1\2\3\4\5", 5) << "=hex(4):";
        QTest::newRow("binary") << "B" << 3 << B("\0\n\r\\", 4) << "=hex:";
        QTest::newRow("none") << "N" << 0 << B("x") << "=hex(0):";
        QTest::newRow("unknown type") << "U" << 0x1234 << B("x") << "=hex(1234):";
        QTest::newRow("default value") << "" << 1 << B("d\0", 2) << "@=";
        QTest::newRow("odd name") << "=\"\\]" << 1 << B("\0", 1) << "=\"";
    }
    void everyValueImportsBackIdentically() {
        QFETCH(QString, name);
        QFETCH(int, type);
        QFETCH(QByteArray, data);
        QFETCH(QString, written);
        {
            TRegistry reg;
            QVERIFY(reg.OpenKey("\\Software\\Ünï]\\[x] y", true));
            reg.WriteValue(name, {type, data});
        }
        Hive& hive = Hive::instance();
        const QStringList before = dump(hive, hive.root(), "root");
        const QString text = ExportRegFile(hive, "\\");
        QVERIFY2(text.contains(written), qPrintable(text));
        store = std::make_unique<TempStore>();
        ImportRegFile(Hive::instance(), text);
        QCOMPARE(dump(Hive::instance(), Hive::instance().root(), "root"), before);
    }

    void namesAFileCantHoldAreRefused() {
        Hive& hive = Hive::instance();
        const auto key = hive.createKey(hive.root(), "Two\nlines");
        QVERIFY(key);
        try {
            ExportRegFile(hive, "\\");
            QFAIL("exported a key name with a line break");
        } catch (const RegFileError& e) {
            QVERIFY2(QString::fromUtf8(e.what()).contains("line break"), e.what());
        }
        hive.deleteKey(*key);
        hive.setValue(hive.root(), "Two\nlines", {1, QByteArray("\0", 1)});
        QVERIFY_THROWS_EXCEPTION(RegFileError, ExportRegFile(hive, "\\"));
    }

    void keyBoundsOnImport_data() {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("error");
        QString deep = "HKEY_CURRENT_USER";
        for (int i = 0; i < 513; ++i)
            deep += "\\k";
        QTest::newRow("name of 256")
            << "HKEY_CURRENT_USER\\" + QString(256, 'n') << "longer than 255 characters";
        QTest::newRow("513 levels") << deep << "deeper than 512 levels";
    }
    void keyBoundsOnImport() {
        QFETCH(QString, key);
        QFETCH(QString, error);
        try {
            ImportRegFile(Hive::instance(), "REGEDIT4\n[" + key + "]\n");
            QFAIL("imported a key the registry can't hold");
        } catch (const RegFileError& e) {
            QVERIFY2(QString::fromUtf8(e.what()).contains(error), e.what());
        }
        // One less is fine.
        key.chop(key.endsWith("\\k") ? 2 : 1);
        ImportRegFile(Hive::instance(), "REGEDIT4\n[" + key + "]\n");
    }

    // A file without a byte-order mark is UTF-8 when it is valid UTF-8, and otherwise what the
    // registry editor writes REGEDIT4 files in, Windows-1252.
    void decodingByTheFilesOwnEncoding_data() {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("text");
        QTest::newRow("UTF-8") << QByteArray("\"\xc3\x9c"
                                             "ber\"")
                               << QStringLiteral("\"Über\"");
        QTest::newRow("Windows-1252 letters")
            << QByteArray("\"\xdc\xe9\"") << QStringLiteral("\"Üé\"");
        QTest::newRow("Windows-1252 signs")
            << QByteArray("\x80 \x93q\x94 \x85 \x9f") << QStringLiteral("€ “q” … Ÿ");
        QTest::newRow("Windows-1252, undefined bytes")
            << QByteArray("\x81\x8d\x8f\x90\x9d")
            << QStringLiteral("\u0081\u008d\u008f\u0090\u009d");
        QTest::newRow("UTF-8 cut inside a character")
            << QByteArray("a\xc3") << QStringLiteral("aÃ");
        QTest::newRow("UTF-8 with its mark")
            << QByteArray("\xef\xbb\xbf\xc3\x9c") << QStringLiteral("Ü");
        QTest::newRow("UTF-16LE") << QByteArray("\xff\xfe\xdc\x00", 4) << QStringLiteral("Ü");
    }
    void decodingByTheFilesOwnEncoding() {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, text);
        QCOMPARE(DecodeRegFile(bytes), text);
    }

    // The autostart entry is part of the file: when it can't be written, nothing of the rest is
    // kept either.
    void aFailedAutostartWriteChangesNothing() {
        seed();
        const QStringList before = dump(Hive::instance(), Hive::instance().root(), "root");
        // A folder where the entry would go: it can't be written.
        QVERIFY(QDir().mkpath(platform::autostart::entryPath()));
        try {
            ImportRegFile(Hive::instance(),
                          "REGEDIT4\n[HKEY_CURRENT_USER\\Software\\New]\n\"A\"=\"1\"\n"
                          "[HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Run]"
                          "\n\"Kelvaro\"=\"/opt/k/kelvaro\"\n");
            QFAIL("imported a file whose autostart entry could not be written");
        } catch (const RegFileError& e) {
            QVERIFY2(QString::fromUtf8(e.what()).contains("autostart"), e.what());
        }
        QCOMPARE(dump(Hive::instance(), Hive::instance().root(), "root"), before);
    }

    void hexValuesOverSeveralLines() {
        ImportRegFile(
            Hive::instance(),
            "REGEDIT4\n[HKEY_CURRENT_USER\\K]\n\"B\"=hex:01,02,\\\n  03,ff\n\"E\"=hex(2):41,00\n");
        TRegistry reg;
        QVERIFY(reg.OpenKey("\\K", false));
        QCOMPARE(reg.ReadValue("B")->data, QByteArray("\x01\x02\x03\xff", 4));
        QCOMPARE(reg.ReadString("E"), QStringLiteral("A"));
        // Continued over 100,000 lines it costs what the same value does on one line.
        QString text = "REGEDIT4\n[HKEY_CURRENT_USER\\K]\n\"Long\"=hex:00";
        for (int i = 0; i < 100000; ++i)
            text += ",\\\n  " + QString::number(i % 200, 16);
        QElapsedTimer t;
        t.start();
        ImportRegFile(Hive::instance(), text + "\n");
        QVERIFY2(t.elapsed() < 5000, qPrintable(QString::number(t.elapsed())));
        QCOMPARE(reg.ReadValue("Long")->data.size(), 100001);
    }
};

QTEST_GUILESS_MAIN(RegFileTest)
#include "test_regfile.moc"
