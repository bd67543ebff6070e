// The tray icon on real panels (trayer, tint2, xfce4-panel; see scripts/with-desktop --tray):
// it stays docked through other programs' clipboard traffic, answers the mouse while a dialog
// is open, is drawn on the panel's own background, and a missing panel holds nothing up.
#include "Desktop.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QImage>
#include <QRegularExpression>
#include <QTest>
#include <xcb/xcb.h>

#include <cstdlib>

namespace {

// A window's position on the screen.
QPoint absolutePosition(const QString& id) {
    const QString info = run("xwininfo", {"-id", id});
    const auto x = QRegularExpression("Absolute upper-left X:\\s+(-?\\d+)").match(info);
    const auto y = QRegularExpression("Absolute upper-left Y:\\s+(-?\\d+)").match(info);
    return {x.captured(1).toInt(), y.captured(1).toInt()};
}

// Another program using the clipboard as editors, terminals and file dialogs do: it takes
// PRIMARY and CLIPBOARD and lets them go, again and again, and ends while owning both.
void clipboardTraffic(int rounds) {
    xcb_connection_t* c = xcb_connect(nullptr, nullptr);
    QVERIFY(!xcb_connection_has_error(c));
    const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
    const xcb_window_t w = xcb_generate_id(c);
    xcb_create_window(c, XCB_COPY_FROM_PARENT, w, screen->root, 0, 0, 1, 1, 0,
                      XCB_WINDOW_CLASS_INPUT_ONLY, XCB_COPY_FROM_PARENT, 0, nullptr);
    xcb_intern_atom_reply_t* clip =
        xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, 9, "CLIPBOARD"), nullptr);
    const xcb_atom_t clipboard = clip->atom;
    std::free(clip);
    for (int i = 0; i < rounds; ++i) {
        xcb_set_selection_owner(c, w, XCB_ATOM_PRIMARY, XCB_CURRENT_TIME);
        xcb_set_selection_owner(c, w, clipboard, XCB_CURRENT_TIME);
        xcb_flush(c);
        QTest::qWait(10);
        xcb_set_selection_owner(c, XCB_NONE, XCB_ATOM_PRIMARY, XCB_CURRENT_TIME);
        if (i % 2) xcb_set_selection_owner(c, XCB_NONE, clipboard, XCB_CURRENT_TIME);
        xcb_flush(c);
        QTest::qWait(10);
    }
    xcb_set_selection_owner(c, w, XCB_ATOM_PRIMARY, XCB_CURRENT_TIME);
    xcb_set_selection_owner(c, w, clipboard, XCB_CURRENT_TIME);
    xcb_disconnect(c);
}

bool darkPanel() {
    const QString tray = qEnvironmentVariable("KELVARO_TRAY");
    return tray == "tint2" || tray == "xfce4-panel";
}

} // namespace

class TrayTest : public QObject {
    Q_OBJECT

    static void startPastTheSplash(Kelvaro& k) {
        QVERIFY(k.start());
        QVERIFY(waitFor([] { return splashWindow().isEmpty(); }, 5000));
    }
    // Right after a window of ours closes, openbox may still move the focus about and take it
    // from a menu that has just opened, which closes it; a user clicks again, and so do we.
    static void openMenu(Kelvaro& k) {
        for (int attempt = 0; attempt < 2; ++attempt) {
            k.clickIcon(3, 1);
            if (waitFor([] { return !menuWindow().isEmpty(); }, 3000)) return;
        }
        QFAIL("no menu");
    }
    static void closeMenu() {
        xdotool({"key", "Escape"});
        QVERIFY(waitFor([] { return menuWindow().isEmpty(); }, 3000));
    }

private slots:
    void initTestCase() {
        QVERIFY2(!qEnvironmentVariable("DISPLAY").isEmpty(), "run under scripts/with-desktop");
    }

    void clipboardTrafficLeavesTheIconDocked() {
        Kelvaro k;
        k.seed("", "Exit", "REG_DWORD", "0");
        startPastTheSplash(k);
        const QString icon = k.trayIcon().value_or(QString());
        clipboardTraffic(40);
        QTest::qWait(300);
        QCOMPARE(k.trayIcon().value_or(QString()), icon);
        QVERIFY(waitFor(
            [&] {
                return run("xwininfo", {"-id", icon}).contains("IsViewable");
            },
            2000));
        // And it still answers both gestures.
        k.clickIcon(1, 2);
        QVERIFY(waitFor([] { return !profilesWindow().isEmpty(); }, 5000));
        QVERIFY(closeWindow(profilesWindow()));
        QVERIFY(waitFor([] { return profilesWindow().isEmpty(); }, 5000));
        openMenu(k);
        closeMenu();
        QCOMPARE(k.terminate(), 0);
    }

    void theMenuOpensWhileOptionsIsOpen() {
        Kelvaro k;
        startPastTheSplash(k);
        openMenu(k);
        for (const char* key : {"Down", "Down", "Return"}) {
            xdotool({"key", key});
            QTest::qWait(60);
        }
        QVERIFY2(waitFor([] { return !visibleWindow("^Options$").isEmpty(); }, 5000),
                 "Options did not open");
        // A double-click restores nothing while the dialog is open; the menu still opens.
        k.clickIcon(1, 2);
        QTest::qWait(600);
        QCOMPARE(profilesWindow(), QString());
        openMenu(k);
        closeMenu();
        QVERIFY(!visibleWindow("^Options$").isEmpty());
        QVERIFY(typeInto(visibleWindow("^Options$"), "Escape"));
        QVERIFY(waitFor([] { return visibleWindow("^Options$").isEmpty(); }, 5000));
        k.clickIcon(1, 2);
        QVERIFY(waitFor([] { return !profilesWindow().isEmpty(); }, 5000));
        QCOMPARE(k.terminate(), 0);
    }

    // Three hundred profiles on a 1024 x 768 screen: the menu is one column that stays on the
    // screen and scrolls, so the last profile and Exit are reached like the first.
    void everyItemOfALongMenuIsReached() {
        Kelvaro k;
        const QString launched = k.config.filePath("launched");
        QString text = "REGEDIT4\n";
        for (int i = 1; i <= 300; ++i)
            text += QStringLiteral("\n[HKEY_CURRENT_USER\\Software\\Orvendale Software\\Kelvaro\\"
                                   "Profiles\\Profile %1]\n\"FileName\"=\"/usr/bin/touch\"\n"
                                   "\"Args\"=\"%2-%1\"\n")
                        .arg(i, 3, 10, QLatin1Char('0'))
                        .arg(launched);
        QFile file(k.config.filePath("many.reg"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(text.toUtf8());
        file.close();
        int status = -1;
        k.reg({"import", file.fileName()}, &status);
        QCOMPARE(status, 0);
        k.seed("", "Exit", "REG_DWORD", "0");
        startPastTheSplash(k);
        const QString screen = run("sh", {"-c", "xdpyinfo | awk '/dimensions:/ {print $2}'"});
        QCOMPARE(screen, QStringLiteral("1024x768"));
        for (const QStringList& keys : {QStringList{"End", "Up", "Return"}, QStringList{"End"}}) {
            openMenu(k);
            const QString menu = menuWindow();
            const QString size = run("sh", {"-c", "xwininfo -id " + menu +
                                                      " | awk "
                                                      "'/Width:/ {w=$2} /Height:/ {h=$2} "
                                                      "END {print w \"x\" h}'"});
            const QPoint at = absolutePosition(menu);
            const int w = size.section('x', 0, 0).toInt(), h = size.section('x', 1).toInt();
            QVERIFY2(at.x() >= 0 && at.y() >= 0 && at.x() + w <= 1024 && at.y() + h <= 768 &&
                         w < 400,
                     qPrintable(QStringLiteral("%1,%2 %3").arg(at.x()).arg(at.y()).arg(size)));
            for (const QString& key : keys) {
                xdotool({"key", key});
                QTest::qWait(100);
            }
        }
        // End, then Up: the last profile, launched.
        QVERIFY(waitFor([&] { return QFileInfo::exists(launched + "-300"); }, 5000));
        QVERIFY(!QFileInfo::exists(launched + "-299"));
        // End: Exit, chosen.
        xdotool({"key", "Return"});
        QVERIFY(k.ended());
        QCOMPARE(k.proc.exitCode(), 0);
    }

    // Where the icon's picture leaves the square empty, the panel shows through.
    void theIconIsDrawnOnThePanel() {
        if (!darkPanel()) QSKIP("needs a panel of a known colour (tint2, xfce4-panel)");
        Kelvaro k;
        startPastTheSplash(k);
        const QString icon = k.trayIcon().value_or(QString());
        const QPoint at = absolutePosition(icon);
        const QString shot = qEnvironmentVariable("KELVARO_BUILD") + "/screenshots/tray-" +
                             qEnvironmentVariable("KELVARO_TRAY") + ".png";
        QDir().mkpath(QFileInfo(shot).path());
        run("import", {"-window", "root", shot});
        const QImage screen(shot);
        QVERIFY(!screen.isNull());
        const QColor panel(0x20, 0x40, 0x60);
        for (const QPoint corner : {QPoint(0, 0), QPoint(21, 0), QPoint(0, 21), QPoint(21, 21)}) {
            const QColor seen = screen.pixelColor(at + corner);
            const int off = std::abs(seen.red() - panel.red()) +
                            std::abs(seen.green() - panel.green()) +
                            std::abs(seen.blue() - panel.blue());
            QVERIFY2(off < 24, qPrintable(QStringLiteral("(%1,%2) is %3")
                                              .arg(corner.x())
                                              .arg(corner.y())
                                              .arg(seen.name())));
        }
        // Nor is the picture's soft edge blended with a light square: the picture itself has
        // no light grey.
        int light = 0;
        for (int y = 0; y < 22; ++y)
            for (int x = 0; x < 22; ++x) {
                const QColor c = screen.pixelColor(at + QPoint(x, y));
                const int lo = qMin(c.red(), qMin(c.green(), c.blue()));
                const int hi = qMax(c.red(), qMax(c.green(), c.blue()));
                if (lo > 0x70 && hi - lo < 0x20) ++light;
            }
        QCOMPARE(light, 0);
        QCOMPARE(k.terminate(), 0);
    }
};

// Run on a desktop whose panel isn't there yet (scripts/with-desktop --no-tray).
class LateTrayTest : public QObject {
    Q_OBJECT
private slots:
    void theProgramGoesOnWhileItWaits() {
        Kelvaro k;
        QElapsedTimer t;
        t.start();
        QVERIFY(k.launch());
        QVERIFY2(waitFor([] { return !splashWindow().isEmpty(); }, 5000), "no splash");
        // A signal is answered at once, not after the wait for a panel.
        QCOMPARE(k.terminate(), 0);
        QVERIFY2(t.elapsed() < 8000, qPrintable(QString::number(t.elapsed())));
    }

    void aPanelThatComesLateGetsTheIcon() {
        Kelvaro k;
        QElapsedTimer t;
        t.start();
        QVERIFY(k.launch());
        QTest::qWait(2500);
        QVERIFY(!k.trayIcon());
        qint64 trayer = 0;
        QVERIFY(startTrayer(&trayer));
        QVERIFY(waitFor([&k] { return k.trayIcon().has_value(); }, 8000));
        QTest::qWait(500);
        k.clickIcon(1, 2);
        QVERIFY(waitFor([] { return !profilesWindow().isEmpty(); }, 5000));
        // Past the time an add waits: no error, still running.
        QTest::qWait(int(qMax<qint64>(0, 11000 - t.elapsed())));
        QCOMPARE(visibleWindow("^Kelvaro$"), QString());
        // The panel quits: the program is without a tray again, and its window says so.
        ::kill(pid_t(trayer), SIGTERM);
        QVERIFY(waitFor([] { return !visibleWindow("closing quits").isEmpty(); }, 5000));
        QCOMPARE(k.terminate(), 0);
    }
};

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (qEnvironmentVariable("KELVARO_TRAY") == "none") {
        LateTrayTest late;
        return QTest::qExec(&late, argc, argv);
    }
    TrayTest tray;
    return QTest::qExec(&tray, argc, argv);
}

#include "test_panels.moc"
