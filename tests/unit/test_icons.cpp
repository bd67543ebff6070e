#include "TestMain.h"
#include "platform/IconReader.h"
#include "toolkit/Toolkit.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>

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
