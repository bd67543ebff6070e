#include "TestMain.h"
#include "platform/system/IconReader.h"
#include "toolkit/Toolkit.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtEndian>

class IconsTest : public QObject {
    Q_OBJECT
    QTemporaryDir tmp;

    static QString fixture(const QString& name) {
        return qEnvironmentVariable("KELVARO_FIXTURES") + "/" + name;
    }
    static QByteArray read(const QString& path) {
        QFile f(path);
        f.open(QIODevice::ReadOnly);
        return f.readAll();
    }
    QString write(const QString& name, const QByteArray& data) {
        const QString path = tmp.filePath(name);
        QFile f(path);
        f.open(QIODevice::WriteOnly);
        f.write(data);
        return path;
    }
    // ---- Hostile files, made here so that none of them needs to be kept in the tree.
    static quint32 crc32(const QByteArray& data) {
        quint32 c = 0xFFFFFFFFu;
        for (const char byte : data) {
            c ^= quint8(byte);
            for (int k = 0; k < 8; ++k)
                c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1u)));
        }
        return ~c;
    }
    // A PNG of side x side black pixels, written by hand so it can be far larger than it is.
    static QByteArray png(int side) {
        auto chunk = [](const QByteArray& type, const QByteArray& body) {
            QByteArray c(4, '\0');
            qToBigEndian<quint32>(quint32(body.size()), c.data());
            QByteArray crc(4, '\0');
            qToBigEndian<quint32>(crc32(type + body), crc.data());
            return c + type + body + crc;
        };
        QByteArray ihdr(13, '\0');
        qToBigEndian<quint32>(quint32(side), ihdr.data());
        qToBigEndian<quint32>(quint32(side), ihdr.data() + 4);
        ihdr[8] = 8, ihdr[9] = 2; // 8-bit RGB
        const QByteArray rows(qsizetype(side) * (1 + 3 * qsizetype(side)), '\0');
        const QByteArray zlib = qCompress(rows).mid(4); // without Qt's length prefix
        return QByteArray("\x89PNG\r\n\x1a\n", 8) + chunk("IHDR", ihdr) + chunk("IDAT", zlib) +
               chunk("IEND", {});
    }
    // An .ico whose every entry names the same image.
    static QByteArray icoOfOneImage(const QByteArray& image, int entries) {
        QByteArray ico(6 + 16 * entries, '\0');
        qToLittleEndian<quint16>(1, ico.data() + 2);
        qToLittleEndian<quint16>(quint16(entries), ico.data() + 4);
        for (int i = 0; i < entries; ++i) {
            char* e = ico.data() + 6 + 16 * i;
            qToLittleEndian<quint16>(1, e + 4);
            qToLittleEndian<quint16>(32, e + 6);
            qToLittleEndian<quint32>(quint32(image.size()), e + 8);
            qToLittleEndian<quint32>(quint32(ico.size()), e + 12);
        }
        return ico + image;
    }
    // The pe32.exe fixture with its first icon grown to image (padded to padTo bytes) and an
    // icon group of entries entries that all name it.
    static QByteArray programOfOneIcon(const QByteArray& image, int padTo, int entries) {
        QByteArray pe = read(fixture("pe32.exe"));
        const qint64 raw = 0x200, rva = 0x1000, dataEntries = raw + 160, section = 0x138;
        auto at = [&](qint64 fileOffset) { return quint32(rva + fileOffset - raw); };
        const qint64 icon = pe.size();
        pe += image + QByteArray(qMax<qsizetype>(0, padTo - image.size()), '\0');
        qToLittleEndian<quint32>(at(icon), pe.data() + dataEntries);
        qToLittleEndian<quint32>(quint32(pe.size() - icon), pe.data() + dataEntries + 4);
        QByteArray group(6 + 14 * entries, '\0');
        qToLittleEndian<quint16>(1, group.data() + 2);
        qToLittleEndian<quint16>(quint16(entries), group.data() + 4);
        for (int i = 0; i < entries; ++i) {
            char* e = group.data() + 6 + 14 * i;
            qToLittleEndian<quint32>(quint32(pe.size() - icon), e + 8);
            qToLittleEndian<quint16>(1, e + 12);
        }
        const qint64 groupAt = pe.size();
        pe += group;
        qToLittleEndian<quint32>(at(groupAt), pe.data() + dataEntries + 32);
        qToLittleEndian<quint32>(quint32(group.size()), pe.data() + dataEntries + 36);
        pe += QByteArray((-pe.size()) & 0x1FF, '\0');
        qToLittleEndian<quint32>(quint32(pe.size() - raw), pe.data() + section + 8);
        qToLittleEndian<quint32>(quint32(pe.size() - raw), pe.data() + section + 16);
        return pe;
    }
    struct Probe {
        int status = -1;
        qint64 beforeKb = 0, afterKb = 0;
        bool icon = false;
    };
    static Probe probe(const QString& file, qint64 limitBytes = 0) {
        const QString exe = qEnvironmentVariable("KELVARO_BUILD") + "/tests/icon_probe";
        QProcess p;
        if (limitBytes > 0)
            p.start("prlimit", {QStringLiteral("--as=%1").arg(limitBytes), exe, file});
        else
            p.start(exe, {file});
        p.waitForFinished(60000);
        Probe r;
        r.status = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
        const QList<QByteArray> words = p.readAllStandardOutput().trimmed().split(' ');
        if (words.size() == 3)
            r = {r.status, words[0].toLongLong(), words[1].toLongLong(), words[2] == "1"};
        return r;
    }

    static QColor at(const QIcon& icon, int side) {
        const QImage img = icon.pixmap(side, side).toImage();
        return img.pixelColor(img.width() / 2, img.height() / 2);
    }

private slots:
    void readsEveryKindOfFile_data() {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QColor>("at32");
        QTest::addColumn<QColor>("at16");
        QTest::newRow("ico") << "red.ico" << QColor(Qt::red) << QColor(Qt::red);
        QTest::newRow("ico best fit per size")
            << "multi.ico" << QColor(Qt::red) << QColor(Qt::green);
        QTest::newRow("pe32") << "pe32.exe" << QColor(Qt::green) << QColor(Qt::green);
        QTest::newRow("pe32+ with png entry") << "pe64.exe" << QColor(Qt::blue) << QColor(Qt::blue);
        QTest::newRow("png") << "png.png" << QColor(Qt::green) << QColor(Qt::green);
        QTest::newRow("svg") << "image.svg" << QColor(Qt::blue) << QColor(Qt::blue);
    }
    void readsEveryKindOfFile() {
        QFETCH(QString, file);
        QFETCH(QColor, at32);
        QFETCH(QColor, at16);
        const QIcon icon = platform::ExtractIcon(fixture(file));
        QVERIFY(!icon.isNull());
        QCOMPARE(at(icon, 32), at32);
        QCOMPARE(at(icon, 16), at16);
    }

    void nothingToRead() {
        QVERIFY(platform::ExtractIcon(fixture("noicon.exe")).isNull());
        QVERIFY(platform::ExtractIcon(tmp.filePath("missing")).isNull());
        QVERIFY(platform::ExtractIcon(write("text.txt", "hello")).isNull());
        // The generic program icon never comes out empty: our artwork stands in for a theme
        // without one.
        QVERIFY(!GenericProgramIcon().isNull());
    }

    void desktopEntryOfANativeProgram() {
        const QString prog = write("mytool", "#!/bin/sh\n");
        QDir(tmp.path()).mkpath("data/applications");
        QDir(tmp.path()).mkpath("data/icons");
        QFile::copy(fixture("png.png"), tmp.filePath("data/icons/tool.png"));
        QFile entry(tmp.filePath("data/applications/mytool.desktop"));
        QVERIFY(entry.open(QIODevice::WriteOnly));
        entry.write(QStringLiteral(
                        "[Desktop Entry]\nType=Application\nName=Tool\nExec=\"%1\" %U\nIcon=%2\n")
                        .arg(prog, tmp.filePath("data/icons/tool.png"))
                        .toUtf8());
        entry.close();
        qputenv("XDG_DATA_HOME", tmp.filePath("data").toUtf8());
        qputenv("XDG_DATA_DIRS", tmp.filePath("none").toUtf8());
        const QIcon icon = platform::ExtractIcon(prog);
        QVERIFY(!icon.isNull());
        QCOMPARE(at(icon, 32), QColor(Qt::green));
    }

    // Truncated and corrupted copies: no icon or some icon, never a crash or a hang.
    void damagedFilesNeverCrash_data() {
        QTest::addColumn<QString>("file");
        for (const char* f : {"red.ico", "multi.ico", "pe32.exe", "pe64.exe", "png.png"})
            QTest::newRow(f) << f;
    }
    void damagedFilesNeverCrash() {
        QFETCH(QString, file);
        const QByteArray data = read(fixture(file));
        QRandomGenerator rng(1234);
        for (qsizetype cut = 0; cut < data.size(); cut += qMax<qsizetype>(1, data.size() / 97))
            platform::ExtractIcon(write("cut-" + file, data.left(cut)));
        for (int round = 0; round < 200; ++round) {
            QByteArray bad = data;
            for (int k = 0; k < 8; ++k)
                bad[rng.bounded(int(bad.size()))] = char(rng.bounded(256));
            platform::ExtractIcon(write("bad-" + file, bad));
            platform::ReadIcoImages(bad);
            platform::ExtractPeIconGroup(bad);
        }
    }

    // However much a small file claims, reading it as an icon stays within 64 MB more than
    // reading an ordinary icon takes, checked under an address-space limit.
    void hostileFilesStayWithinTheMemoryBudget_data() {
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<bool>("icon");
        const QByteArray big = png(1024);
        QTest::newRow("ico: 256 entries, one 1024x1024 image") << icoOfOneImage(big, 256) << true;
        QTest::newRow("program: 256 group entries, one 1 MB icon")
            << programOfOneIcon(big, 1 << 20, 256) << true;
        QTest::newRow("ico: a bitmap claiming 30000x30000")
            << icoOfOneImage(QByteArray::fromHex("28000000307500006000000001002000") +
                                 QByteArray(1024, '\0'),
                             4)
            << false;
        QTest::newRow("picture of 4500x4500") << png(4500) << false;
    }
    void hostileFilesStayWithinTheMemoryBudget() {
#ifdef __SANITIZE_THREAD__
        QSKIP("ThreadSanitizer's own memory keeps any address-space limit from holding");
#endif
        QFETCH(QByteArray, data);
        QFETCH(bool, icon);
        const Probe ordinary = probe(fixture("red.ico"));
        QCOMPARE(ordinary.status, 0);
        QVERIFY(ordinary.icon);
        const qint64 budget = 64ll << 20;
        const QString file = write("hostile", data);
        const Probe r = probe(file, ordinary.afterKb * 1024 + budget);
        QVERIFY2(r.status == 0, "the reader ran out of its memory budget");
        QVERIFY2((r.afterKb - r.beforeKb) * 1024 <= budget,
                 qPrintable(QStringLiteral("%1 MB").arg((r.afterKb - r.beforeKb) / 1024)));
        QCOMPARE(r.icon, icon);
    }

    void hostileOffsetsAreChecked() {
        // An .ico whose entry points far past the end, and one with a huge count.
        QByteArray ico = read(fixture("blue.ico"));
        QByteArray far = ico;
        far[18] = char(0xFF), far[19] = char(0xFF), far[20] = char(0xFF), far[21] = char(0x7F);
        QVERIFY(platform::ReadIcoImages(far).empty());
        QByteArray many = ico.left(6);
        many[4] = char(0xFF), many[5] = char(0xFF);
        QVERIFY(platform::ReadIcoImages(many).empty());
        // A PE whose resource directory points at itself.
        QByteArray pe = read(fixture("pe32.exe"));
        const int rsrc = 0x200;
        pe[rsrc + 20] = 0, pe[rsrc + 21] = 0, pe[rsrc + 22] = 0, pe[rsrc + 23] = char(0x80);
        platform::ExtractPeIconGroup(pe);
    }
};

KELVARO_TEST_MAIN(IconsTest)
#include "test_icons.moc"
