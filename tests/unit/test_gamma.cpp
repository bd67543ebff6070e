#include "gamma/Gamma.h"

#include <QLocale>
#include <QTest>
#include <cmath>

class GammaTest : public QObject {
    Q_OBJECT
private slots:
    void everyRampMatchesTheClosedForm() {
        for (int position = GammaMin; position <= GammaMax; ++position) {
            const GammaRamp r = RampForPosition(position);
            for (int i = 0; i < 256; ++i) {
                const int v = static_cast<int>(
                    std::floor(255.0 * std::pow(i / 255.0, 1.0 / (position * 0.1))));
                QCOMPARE(int(r.red()[i]), v * 256);
                QCOMPARE(r.green()[i], r.red()[i]);
                QCOMPARE(r.blue()[i], r.red()[i]);
                if (i > 0) QVERIFY(r.red()[i] >= r.red()[i - 1]);
            }
            QCOMPARE(int(r.red()[0]), 0);
            QCOMPARE(int(r.red()[255]), 0xFF00);
        }
    }

    void tellingRows_data() {
        QTest::addColumn<int>("position");
        QTest::addColumn<QList<int>>("entries");
        // i = 0 1 2 4 8 16 32 64 128 192 224 254 255
        QTest::newRow("3") << 3
                           << QList<int>{0, 0, 0, 0, 0, 0, 0, 0x02, 0x19, 0x63, 0xA5, 0xFB, 0xFF};
        QTest::newRow("5") << 5
                           << QList<int>{0, 0, 0, 0, 0, 1, 4, 0x10, 0x40, 0x90, 0xC4, 0xFD, 0xFF};
        QTest::newRow("7") << 7 << QList<int>{0,    0,    0,    0,    1,    4,   0x0D,
                                              0x23, 0x5F, 0xAA, 0xD3, 0xFD, 0xFF};
        QTest::newRow("10") << 10 << QList<int>{0,    1,    2,    4,    8,    0x10, 0x20,
                                                0x40, 0x80, 0xC0, 0xE0, 0xFE, 0xFF};
        QTest::newRow("13") << 13 << QList<int>{0,    3,    6,    0x0A, 0x11, 0x1E, 0x33,
                                                0x58, 0x96, 0xCC, 0xE6, 0xFE, 0xFF};
        QTest::newRow("15") << 15 << QList<int>{0,    6,    0x0A, 0x0F, 0x19, 0x28, 0x3F,
                                                0x65, 0xA1, 0xD3, 0xE9, 0xFE, 0xFF};
        QTest::newRow("20") << 20 << QList<int>{0,    0x0F, 0x16, 0x1F, 0x2D, 0x3F, 0x5A,
                                                0x7F, 0xB4, 0xDD, 0xEE, 0xFE, 0xFF};
        QTest::newRow("25") << 25 << QList<int>{0,    0x1B, 0x24, 0x30, 0x3F, 0x54, 0x6F,
                                                0x92, 0xC1, 0xE3, 0xF2, 0xFE, 0xFF};
        QTest::newRow("30") << 30 << QList<int>{0,    0x28, 0x32, 0x3F, 0x50, 0x65, 0x7F,
                                                0xA0, 0xCA, 0xE7, 0xF4, 0xFE, 0xFF};
    }
    void tellingRows() {
        QFETCH(int, position);
        QFETCH(QList<int>, entries);
        const int at[] = {0, 1, 2, 4, 8, 16, 32, 64, 128, 192, 224, 254, 255};
        const GammaRamp r = RampForPosition(position);
        for (int k = 0; k < 13; ++k)
            QCOMPARE(int(r.red()[at[k]]), entries[k] << 8);
    }

    void identityAndFirstNonZero() {
        const GammaRamp identity = RampForPosition(10);
        for (int i = 0; i < 256; ++i)
            QCOMPARE(int(identity.red()[i]), i * 256);
        const GammaRamp dark = RampForPosition(3);
        for (int i = 0; i <= 48; ++i)
            QCOMPARE(int(dark.red()[i]), 0);
        QVERIFY(dark.red()[49] != 0);
        QCOMPARE(int(RampForPosition(5).red()[128]), 0x4000);
    }

    void gammaValueIsSinglePrecisionOfTenths() {
        QCOMPARE(GammaValue(13), 1.3f);
        QCOMPARE(GammaValue(3), 0.3f);
        QCOMPARE(GammaValue(30), 3.0f);
    }

    void gammaTextForEveryPosition() {
        QLocale::setDefault(QLocale::c());
        for (int p = GammaMin; p <= GammaMax; ++p) {
            const QString expected = QStringLiteral("%1.%2").arg(p / 10).arg(p % 10);
            QCOMPARE(GammaText(p), expected);
        }
    }

    void gammaTextUnderACommaLocale() {
        QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
        QCOMPARE(GammaText(13), QStringLiteral("1,3"));
        QCOMPARE(GammaText(3), QStringLiteral("0,3"));
        QCOMPARE(GammaText(10), QStringLiteral("1.0"));
        QCOMPARE(GammaText(20), QStringLiteral("2.0"));
        QLocale::setDefault(QLocale::c());
    }
};

QTEST_APPLESS_MAIN(GammaTest)
#include "test_gamma.moc"
