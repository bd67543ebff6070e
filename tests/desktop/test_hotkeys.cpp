// The hot keys on keymaps where the keypad key reaches programs instead of the X server: a
// remapped keypad, and AltGr held. Every press steps exactly once; a held key repeats and
// stops as soon as any of the three keys is let go; nothing is written while no key is down.
#include "Crtc.h"
#include "Desktop.h"
#include "OptionsDialog.h"

#include <QDir>
#include <QFileInfo>

namespace {

// The settings folder as the file system sees it: any write shows.
QStringList storeFiles(const Kelvaro& k) {
    QStringList out;
    const QDir dir(k.config.filePath("kelvaro"));
    for (const QFileInfo& f : dir.entryInfoList(QDir::Files, QDir::Name))
        out << QStringLiteral("%1 %2 %3")
                   .arg(f.fileName())
                   .arg(f.size())
                   .arg(f.lastModified().toMSecsSinceEpoch());
    return out;
}

QString keypadPlusLine() {
    return run("sh", {"-c", "xmodmap -pke | grep -E '^keycode +86 ='"});
}

} // namespace

class HotkeysTest : public QObject {
    Q_OBJECT
    QString stockKeypadPlus;

private slots:
    void initTestCase() {
        QVERIFY2(!qEnvironmentVariable("DISPLAY").isEmpty(), "run under scripts/with-desktop");
        stockKeypadPlus = keypadPlusLine();
        QVERIFY2(stockKeypadPlus.contains("KP_Add"), qPrintable(stockKeypadPlus));
        // Repeats at 20 a second after 200 ms; the program reads the rate when it starts.
        run("xset", {"r", "rate", "200", "20"});
    }
    void cleanup() {
        run("xmodmap", {"-e", stockKeypadPlus});
        xdotool({"keyup", "ISO_Level3_Shift", "KP_Add", "ctrl", "alt"});
        run("xset", {"r", "on"});
        run("xset", {"r", "86"});
        run("xset", {"r", "82"});
        run("xset", {"r", "rate", "200", "20"});
    }

    void pressesAndHolds_data() {
        QTest::addColumn<QString>("keymap");
        QTest::addColumn<QString>("letGoFirst");
        for (const char* keymap : {"remapped keypad", "AltGr held"})
            for (const char* key : {"KP_Add", "ctrl", "alt"})
                QTest::newRow(qPrintable(QStringLiteral("%1, %2 let go first").arg(keymap, key)))
                    << keymap << key;
    }
    void pressesAndHolds() {
        QFETCH(QString, keymap);
        QFETCH(QString, letGoFirst);
        const bool altGr = keymap == "AltGr held";
        // Without the server's own Ctrl+Alt+keypad action the key reaches programs.
        if (!altGr) run("xmodmap", {"-e", "keycode 86 = KP_Add"});
        Kelvaro k;
        k.seedHotkeysAt(4);
        QVERIFY(k.start());
        QTest::qWait(1000);
        if (altGr) xdotool({"keydown", "ISO_Level3_Shift"});
        for (int press = 1; press <= 3; ++press) {
            xdotool({"key", "ctrl+alt+KP_Add"});
            QVERIFY2(waitFor([&] { return k.desktopGamma() == 4 + press; }, 2000),
                     qPrintable(QStringLiteral("press %1: %2").arg(press).arg(k.desktopGamma())));
        }
        QTest::qWait(400);
        QCOMPARE(k.desktopGamma(), 7);

        xdotool({"keydown", "ctrl", "alt", "KP_Add"});
        QTest::qWait(700);
        xdotool({"keyup", letGoFirst});
        QTest::qWait(150);
        const int atRelease = k.desktopGamma();
        QVERIFY2(atRelease >= 7 + 4 && atRelease <= 7 + 16, qPrintable(QString::number(atRelease)));
        QTest::qWait(700);
        QCOMPARE(k.desktopGamma(), atRelease);
        xdotool({"keyup", "KP_Add", "alt", "ctrl"});
        if (altGr) xdotool({"keyup", "ISO_Level3_Shift"});
        QVERIFY2(same(crtc::ramp(), crtc::rampOf(atRelease)), qPrintable(hex(crtc::ramp())));

        // No key down: the display goes and nothing more is written.
        QVERIFY(waitFor([] { return osdWindow().isEmpty(); }, 2500));
        const QStringList before = storeFiles(k);
        QVERIFY(!before.isEmpty());
        QTest::qWait(1000);
        QCOMPARE(storeFiles(k), before);
        QVERIFY(osdWindow().isEmpty());
        // And the next press is one step again.
        if (altGr) xdotool({"keydown", "ISO_Level3_Shift"});
        xdotool({"key", "ctrl+alt+KP_Add"});
        QVERIFY(waitFor([&] { return k.desktopGamma() == atRelease + 1; }, 2000));
        QTest::qWait(400);
        QCOMPARE(k.desktopGamma(), atRelease + 1);
        QCOMPARE(k.terminate(), 0);
    }

    // Held for 1.2 s, the key repeats as the X keyboard would repeat it: not at all with repeat
    // off, or off for the keypad's plus; at the rate set while the program runs.
    void heldKeysFollowTheKeyboardsRepeat_data() {
        QTest::addColumn<QStringList>("before");  // xset, before the start
        QTest::addColumn<QStringList>("running"); // xset, once it runs
        QTest::addColumn<int>("least");
        QTest::addColumn<int>("most");
        QTest::newRow("repeat off") << QStringList{"r", "off"} << QStringList{} << 1 << 1;
        QTest::newRow("off for keypad plus") << QStringList{"-r", "86"} << QStringList{} << 1 << 1;
        QTest::newRow("off for keypad minus")
            << QStringList{"-r", "82"} << QStringList{} << 10 << 26;
        QTest::newRow("turned off while running")
            << QStringList{} << QStringList{"r", "off"} << 1 << 1;
        // Four a second after 200 ms: about five steps, where twenty a second made twenty.
        QTest::newRow("slowed while running")
            << QStringList{} << QStringList{"r", "rate", "200", "4"} << 3 << 7;
    }
    void heldKeysFollowTheKeyboardsRepeat() {
        QFETCH(QStringList, before);
        QFETCH(QStringList, running);
        QFETCH(int, least);
        QFETCH(int, most);
        if (!before.isEmpty()) run("xset", before);
        Kelvaro k;
        k.seedHotkeysAt(4);
        QVERIFY(k.start());
        QVERIFY(pastTheSplash());
        if (!running.isEmpty()) run("xset", running);
        QTest::qWait(300);
        xdotool({"keydown", "ctrl", "alt", "KP_Add"});
        QTest::qWait(1200);
        xdotool({"keyup", "KP_Add", "alt", "ctrl"});
        QTest::qWait(400);
        const int steps = k.desktopGamma() - 4;
        QVERIFY2(steps >= least && steps <= most, qPrintable(QString::number(steps)));
        QCOMPARE(k.terminate(), 0);
    }

    // The program lags behind the keyboard (stopped here; a busy X server or a loaded machine
    // does the same): Ctrl and Alt went down long before the presses and are up again by the
    // time the program meets them. Each press was made, and each counts once.
    void pressesSeenLateCountOnce() {
        Kelvaro k;
        k.seedHotkeysAt(4);
        QVERIFY(k.start());
        QVERIFY(pastTheSplash());
        const pid_t pid = pid_t(k.proc.processId());
        ::kill(pid, SIGSTOP);
        xdotool({"keydown", "ctrl", "alt"});
        QTest::qWait(1300);
        for (int press = 0; press < 5; ++press)
            xdotool({"key", "KP_Add"});
        xdotool({"keyup", "alt", "ctrl"});
        ::kill(pid, SIGCONT);
        QVERIFY2(waitFor([&] { return k.desktopGamma() == 9; }, 3000),
                 qPrintable(QString::number(k.desktopGamma())));
        QTest::qWait(500);
        QCOMPARE(k.desktopGamma(), 9);
        QCOMPARE(k.terminate(), 0);
    }

    // Hot keys switched off while Ctrl is down, Ctrl let go, switched on again: Alt and the
    // keypad key without Ctrl are no hot key.
    void noStuckModifierAcrossOffAndOn() {
        Kelvaro k;
        k.seedHotkeysAt(10);
        QVERIFY(k.start());
        QTest::qWait(1000);
        toggleHotkeys(k, true); // off, Ctrl down as Ok is clicked
        QTest::qWait(300);
        QCOMPARE(k.reg({"query", "HKCU\\Software\\Orvendale Software\\Kelvaro", "/v", "Hotkeys"})
                     .section("0x", 1)
                     .trimmed(),
                 "0");
        xdotool({"keyup", "ctrl"});
        QTest::qWait(300);
        toggleHotkeys(k, false); // on
        QTest::qWait(500);
        xdotool({"key", "alt+KP_Add"});
        QTest::qWait(700);
        QCOMPARE(k.desktopGamma(), 10);
        xdotool({"key", "ctrl+alt+KP_Add"});
        QVERIFY(waitFor([&] { return k.desktopGamma() == 11; }, 2000));
        QCOMPARE(k.terminate(), 0);
    }
};

QTEST_GUILESS_MAIN(HotkeysTest)
#include "test_hotkeys.moc"
