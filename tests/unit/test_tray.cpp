#include "Fakes.h"
#include "TestMain.h"
#include "platform/tray/StatusNotifier.h"
#include "platform/tray/TrayMouse.h"
#include "tray/Trayicon.h"

#include <QGuiApplication>
#include <QMenu>
#include <QScreen>
#include <QSet>
#include <QSignalSpy>

namespace {

// Records which of the component's actions ran, in order.
class ProbeIcon : public TTrayIcon {
public:
    QStringList log;
    void Restore() override { log << "restore"; }
    void ShowMenu() override { log << "menu"; }
    void send(UINT mouse) {
        TMessage m{Handle(), WM_USER + 1, IconData().uID, LPARAM(mouse), 0};
        Application->SendMessage(m);
    }
};

} // namespace

class TrayTest : public QObject {
    Q_OBJECT
    FakeNotifyArea area;

private slots:
    void init() {
        area = FakeNotifyArea();
        platform::setNotifyArea(&area);
    }
    void cleanup() { platform::setNotifyArea(nullptr); }

    void recordAtConstruction() {
        TTrayIcon icon;
        const NOTIFYICONDATAA& d = icon.IconData();
        QCOMPARE(d.cbSize, 488u);
        QCOMPARE(d.hWnd, icon.Handle());
        QCOMPARE(d.uID, reinterpret_cast<quintptr>(&icon));
        QCOMPARE(d.uFlags, NIF_MESSAGE | NIF_ICON);
        QCOMPARE(d.uCallbackMessage, WM_USER + 1);
        QVERIFY(!icon.Visible());
        QVERIFY(icon.Hide);
        QCOMPARE(icon.RestoreOn, imDoubleClick);
        QCOMPARE(icon.PopupMenuOn, imNone);
        QCOMPARE(icon.AnimateInterval(), 1000);
        QVERIFY(area.calls.empty()); // Update sends nothing while not visible
    }

    void visibleAddsAndRemovesWithTheHook() {
        {
            TTrayIcon icon;
            icon.SetVisible(true);
            QCOMPARE(area.calls.back().message, NIM_ADD);
            QVERIFY(Application->HasMainWindowHook(&icon));
            icon.SetVisible(false);
            QCOMPARE(area.calls.back().message, NIM_DELETE);
            QVERIFY(!icon.Hide);
            QVERIFY(!Application->HasMainWindowHook(&icon));
            icon.SetVisible(true);
        }
        // The destructor deletes the icon and takes the hook away.
        QCOMPARE(area.calls.back().message, NIM_DELETE);
        QVERIFY(Application->HasMainWindowHook(nullptr) == false);
    }

    void visibleErrorsAndWhatTheyLeave() {
        TTrayIcon icon;
        area.fail = true;
        try {
            icon.SetVisible(true);
            QFAIL("no error");
        } catch (const EOutOfResources& e) {
            QCOMPARE(QString::fromUtf8(e.what()),
                     QStringLiteral("Cannot Create System Shell Notification Icon"));
        }
        QVERIFY(icon.Visible());
        QVERIFY(!Application->HasMainWindowHook(&icon));
        area.fail = false;
        icon.SetVisible(true);
        area.fail = true;
        icon.Hide = true;
        try {
            icon.SetVisible(false);
            QFAIL("no error");
        } catch (const EOutOfResources& e) {
            QCOMPARE(QString::fromUtf8(e.what()),
                     QStringLiteral("Cannot Remove System Shell Notification Icon"));
        }
        QVERIFY(!icon.Visible());
        QVERIFY(icon.Hide);
        QVERIFY(Application->HasMainWindowHook(&icon));
        area.fail = false;
    }

    void hintRules() {
        TTrayIcon icon;
        icon.SetVisible(true);
        area.calls.clear();
        const QString h63(63, QLatin1Char('h'));
        icon.SetHint(h63);
        QCOMPARE(area.calls.size(), size_t(1));
        QCOMPARE(area.calls.back().message, NIM_MODIFY);
        QCOMPARE(area.calls.back().data.tip(), h63);
        QCOMPARE(area.calls.back().data.uFlags, NIF_MESSAGE | NIF_ICON | NIF_TIP);
        icon.SetHint(QString(64, QLatin1Char('x')));
        QCOMPARE(icon.Hint(), h63);
        QCOMPARE(area.calls.size(), size_t(1));
        icon.SetHint(h63); // unchanged: nothing sent
        QCOMPARE(area.calls.size(), size_t(1));
        icon.SetHint(QString());
        QCOMPARE(area.calls.back().data.uFlags, NIF_MESSAGE | NIF_ICON);
    }

    void messageTable_data() {
        QTest::addColumn<int>("restoreOn");
        QTest::addColumn<int>("menuOn");
        QTest::addColumn<QList<int>>("messages");
        QTest::addColumn<QStringList>("expected");
        const QList<int> all{WM_MOUSEMOVE,     WM_LBUTTONDOWN, WM_LBUTTONUP,
                             WM_LBUTTONDBLCLK, WM_RBUTTONDOWN, WM_RBUTTONUP,
                             WM_RBUTTONDBLCLK, WM_MBUTTONDOWN, WM_MBUTTONUP,
                             WM_MBUTTONDBLCLK, 0x0210};
        auto row = [&](const char* name, int r, int m, QStringList e) {
            QTest::newRow(name) << r << m << all << e;
        };
        row("none", imNone, imNone, {});
        row("click", imClick, imNone, {"restore"});
        row("double any button", imDoubleClick, imNone, {"restore", "restore", "restore"});
        row("down any button", imNone, imMouseDown, {"menu", "menu", "menu"});
        row("up any button", imMouseUp, imNone, {"restore", "restore", "restore"});
        row("left up", imLeftClickUp, imNone, {"restore"});
        row("left double", imNone, imLeftDoubleClick, {"menu"});
        row("right up", imNone, imRightClickUp, {"menu"});
        row("right double", imRightDoubleClick, imNone, {"restore"});
        // Both on the same gesture: restore first, then the menu.
        row("both double", imDoubleClick, imDoubleClick,
            {"restore", "menu", "restore", "menu", "restore", "menu"});
        // Left release with click and left-up: click step, then up step, then left-up.
        QTest::newRow("left up order")
            << int(imLeftClickUp) << int(imClick) << QList<int>{WM_LBUTTONUP}
            << QStringList{"menu", "restore"};
    }
    void messageTable() {
        QFETCH(int, restoreOn);
        QFETCH(int, menuOn);
        QFETCH(QList<int>, messages);
        QFETCH(QStringList, expected);
        ProbeIcon icon;
        icon.RestoreOn = TTrayIconMessage(restoreOn);
        icon.PopupMenuOn = TTrayIconMessage(menuOn);
        for (int m : messages)
            icon.send(UINT(m));
        QCOMPARE(icon.log, expected);
    }

    void eventsCarryButtonAndShift() {
        ProbeIcon icon;
        icon.RestoreOn = imNone;
        QStringList events;
        icon.OnMouseDown = [&](TTrayIcon*, TMouseButton b, TShiftState s, int, int) {
            events << QStringLiteral("down %1 %2").arg(int(b)).arg(s);
        };
        icon.OnMouseUp = [&](TTrayIcon*, TMouseButton b, TShiftState s, int, int) {
            events << QStringLiteral("up %1 %2").arg(int(b)).arg(s);
        };
        icon.OnClick = [&](TTrayIcon*) { events << "click"; };
        icon.OnDblClick = [&](TTrayIcon*) { events << "dbl"; };
        icon.OnMouseMove = [&](TTrayIcon*, TShiftState, int, int) { events << "move"; };
        for (UINT m : {WM_LBUTTONDOWN, WM_LBUTTONUP, WM_RBUTTONDOWN, WM_MBUTTONUP, WM_MBUTTONDBLCLK,
                       WM_MOUSEMOVE})
            icon.send(m);
        QCOMPARE(events, (QStringList{"down 0 8", "click", "up 0 8", "down 1 16", "up 2 32", "dbl",
                                      "move"}));
    }

    void sessionMessages() {
        TTrayIcon icon;
        icon.SetVisible(true);
        QCOMPARE(Application->SendMessage({icon.Handle(), WM_QUERYENDSESSION, 0, 0, 0}),
                 LRESULT(1));
        area.calls.clear();
        QCOMPARE(Application->SendMessage({icon.Handle(), WM_ENDSESSION, 0, 0, 0}), LRESULT(0));
        QCOMPARE(area.calls.back().message, NIM_DELETE);
        QVERIFY(icon.Visible());
        QCOMPARE(Application->SendMessage({icon.Handle(), 0x1234, 0, 0, 0}), LRESULT(0));
    }

    void minimizeCommandIsComparedExactly() {
        TTrayIcon icon;
        icon.SetVisible(true);
        int minimized = 0, restored = 0;
        icon.OnMinimize = [&](TTrayIcon*) { ++minimized; };
        icon.OnRestore = [&](TTrayIcon*) { ++restored; };
        for (WPARAM cmd : {SC_MINIMIZE | 1, SC_MINIMIZE | 0xF, SC_RESTORE | 2}) {
            TMessage m{0, WM_SYSCOMMAND, cmd, 0, 0};
            Application->MainWindowMessage(m);
        }
        QCOMPARE(minimized + restored, 0);
        TMessage m{0, WM_SYSCOMMAND, SC_MINIMIZE, 0, 0};
        Application->MainWindowMessage(m);
        m.WParam = SC_RESTORE;
        Application->MainWindowMessage(m);
        QCOMPARE(minimized, 1);
        QCOMPARE(restored, 1);
    }

    void minimizeRestoreAndMenuWithoutIconOrMenu() {
        TTrayIcon icon; // not visible
        int events = 0;
        icon.OnMinimize = [&](TTrayIcon*) { ++events; };
        icon.OnRestore = [&](TTrayIcon*) { ++events; };
        icon.Minimize();
        icon.Restore();
        QCOMPARE(events, 2);
        icon.ShowMenu(); // no menu: nothing, no failure
        QMenu menu;
        menu.addAction(QStringLiteral("x"));
        icon.SetPopupMenu(&menu);
        icon.ShowMenu(); // no active form: the menu opens all the same
        QVERIFY(menu.isVisible());
        menu.hide();
        icon.Notification(&menu);
        QVERIFY(icon.PopupMenu() == nullptr);
    }

    // Raw presses ("button@ms") on the icon's window and the mouse messages they make, with a
    // double-click time of 500 ms.
    void pressesAndDoubleClicks_data() {
        QTest::addColumn<QStringList>("presses");
        QTest::addColumn<QList<UINT>>("messages");
        const UINT L = WM_LBUTTONDOWN, LL = WM_LBUTTONDBLCLK, R = WM_RBUTTONDOWN,
                   RR = WM_RBUTTONDBLCLK, M = WM_MBUTTONDOWN, MM = WM_MBUTTONDBLCLK;
        QTest::newRow("one click") << QStringList{"1@0"} << QList<UINT>{L};
        QTest::newRow("two quick") << QStringList{"1@0", "1@300"} << QList<UINT>{L, LL};
        QTest::newRow("on the limit") << QStringList{"1@0", "1@500"} << QList<UINT>{L, LL};
        QTest::newRow("two slow") << QStringList{"1@0", "1@501"} << QList<UINT>{L, L};
        QTest::newRow("a third starts over")
            << QStringList{"1@0", "1@100", "1@200", "1@300"} << QList<UINT>{L, LL, L, LL};
        QTest::newRow("other button") << QStringList{"1@0", "3@100"} << QList<UINT>{L, R};
        QTest::newRow("right double") << QStringList{"3@0", "3@100"} << QList<UINT>{R, RR};
        QTest::newRow("middle double") << QStringList{"2@0", "2@100"} << QList<UINT>{M, MM};
        QTest::newRow("wheel is no button")
            << QStringList{"1@0", "4@50", "1@100"} << QList<UINT>{L, 0, LL};
        QTest::newRow("server time wraps")
            << QStringList{"1@4294967200", "1@100"} << QList<UINT>{L, LL};
    }
    void pressesAndDoubleClicks() {
        QFETCH(QStringList, presses);
        QFETCH(QList<UINT>, messages);
        platform::TrayMouse mouse(500);
        QList<UINT> got;
        for (const QString& p : presses)
            got << mouse.press(p.section('@', 0, 0).toInt(), p.section('@', 1).toUInt());
        QCOMPARE(got, messages);
    }
    void releases() {
        platform::TrayMouse mouse(500);
        QCOMPARE(mouse.release(1), WM_LBUTTONUP);
        QCOMPARE(mouse.release(2), WM_MBUTTONUP);
        QCOMPARE(mouse.release(3), WM_RBUTTONUP);
        QCOMPARE(mouse.release(5), 0u);
    }

    // Captions as a host that draws the menu itself shows them.
    void menuLabelsForHosts_data() {
        QTest::addColumn<QString>("caption");
        QTest::addColumn<QString>("label");
        QTest::newRow("plain") << "Profiles"
                               << "Profiles";
        QTest::newRow("ampersand") << "Bright && Dark"
                                   << "Bright & Dark";
        QTest::newRow("underscore") << "snake_case"
                                    << "snake__case";
        QTest::newRow("mnemonic") << "&Open"
                                  << "_Open";
        QTest::newRow("both") << "a&&_b"
                              << "a&__b";
        QTest::newRow("mnemonic on underscore") << "&_x"
                                                << "___x";
        QTest::newRow("ampersand at the end") << "end&"
                                              << "end&";
    }
    void menuLabelsForHosts() {
        QFETCH(QString, caption);
        QFETCH(QString, label);
        QCOMPARE(platform::DBusMenuLabel(caption), label);
    }
    void menuEntriesForHosts() {
        QMenu menu;
        QAction* plain = menu.addAction(QStringLiteral("Exit"));
        QCOMPARE(platform::DBusMenuProperties(plain),
                 (QVariantMap{{QStringLiteral("label"), QStringLiteral("Exit")}}));
        QCOMPARE(platform::DBusMenuProperties(menu.addSeparator()),
                 (QVariantMap{{QStringLiteral("type"), QStringLiteral("separator")}}));
        plain->setEnabled(false);
        plain->setVisible(false);
        const QVariantMap off = platform::DBusMenuProperties(plain);
        QCOMPARE(off.value(QStringLiteral("enabled")), QVariant(false));
        QCOMPARE(off.value(QStringLiteral("visible")), QVariant(false));
        QPixmap red(16, 16);
        red.fill(Qt::red);
        QAction* profile = menu.addAction(QIcon(red), QStringLiteral("Game"));
        const QByteArray png =
            platform::DBusMenuProperties(profile).value(QStringLiteral("icon-data")).toByteArray();
        QVERIFY(png.startsWith("\x89PNG"));
        QCOMPARE(QImage::fromData(png).pixelColor(8, 8), QColor(Qt::red));
    }

    // The ids a host knows entries by across rebuilds of the menu: a new entry, even one made
    // where a deleted one was in memory, never gets an id seen before, and an old id finds
    // nothing once its entry is gone.
    void dbusMenuIdsAcrossRebuilds_data() {
        QTest::addColumn<int>("replaced"); // entries deleted and made again, from the first
        QTest::addColumn<int>("rebuilds");
        QTest::newRow("nothing changes") << 0 << 3;
        QTest::newRow("one entry made again") << 1 << 3;
        QTest::newRow("every entry made again") << 4 << 1;
        QTest::newRow("every entry made again, many times") << 4 << 50;
    }
    void dbusMenuIdsAcrossRebuilds() {
        QFETCH(int, replaced);
        QFETCH(int, rebuilds);
        platform::DBusMenuIds ids;
        std::vector<QAction*> entries;
        for (int i = 0; i < 4; ++i)
            entries.push_back(new QAction(QStringLiteral("P%1").arg(i)));
        QSet<int> seen;
        std::vector<int> now;
        for (QAction* a : entries) {
            now.push_back(ids.idOf(a));
            seen.insert(now.back());
        }
        QCOMPARE(seen.size(), 4);
        for (int r = 0; r < rebuilds; ++r) {
            const std::vector<int> before = now;
            for (int i = 0; i < replaced; ++i) {
                delete entries[std::size_t(i)];
                entries[std::size_t(i)] = new QAction(QStringLiteral("N%1").arg(i));
            }
            ids.prune();
            for (std::size_t i = 0; i < entries.size(); ++i) {
                now[i] = ids.idOf(entries[i]);
                QCOMPARE(ids.actionOf(now[i]), entries[i]);
                if (int(i) < replaced) {
                    QVERIFY2(!seen.contains(now[i]), qPrintable(QString::number(now[i])));
                    QCOMPARE(ids.actionOf(before[i]), nullptr);
                } else {
                    QCOMPARE(now[i], before[i]); // a kept entry keeps its id
                }
                seen.insert(now[i]);
            }
        }
        QCOMPARE(ids.actionOf(0), nullptr);
        QCOMPARE(ids.actionOf(-1), nullptr);
        for (QAction* a : entries)
            delete a;
    }

    // A host's point for the menu: kept on a screen, brought onto the screen from far off it.
    void hostPointsOffTheScreen_data() {
        QTest::addColumn<QPoint>("at");
        QTest::addColumn<bool>("kept");
        QTest::newRow("on the screen") << QPoint(300, 200) << true;
        QTest::newRow("the corner") << QPoint(0, 0) << true;
        QTest::newRow("32767,32767") << QPoint(32767, 32767) << false;
        QTest::newRow("negative") << QPoint(-5000, 40) << false;
    }
    void hostPointsOffTheScreen() {
        QFETCH(QPoint, at);
        QFETCH(bool, kept);
        const QPoint placed = platform::HostPointOnScreen(at);
        QVERIFY(QGuiApplication::primaryScreen()->geometry().contains(placed));
        if (kept) QCOMPARE(placed, at);
    }

    // The menu as a host is given it: the separators as the menu itself collapses them, so a
    // menu without profiles has no two lines in a row.
    void menuSeparatorsForHosts_data() {
        QTest::addColumn<QString>("entries"); // "-" a line, "." a hidden entry
        QTest::addColumn<bool>("collapsible");
        QTest::addColumn<QString>("exported");
        QTest::newRow("no profiles") << "POAH--X" << true << "POAH-X";
        QTest::newRow("profiles") << "POAH-ab-X" << true << "POAH-ab-X";
        QTest::newRow("a line as a profile") << "POAH--a-X" << true << "POAH-a-X";
        QTest::newRow("lines at the ends") << "-P-" << true << "P";
        QTest::newRow("a hidden entry between") << "P-.-X" << true << "P.-X";
        QTest::newRow("not collapsing") << "P--X" << false << "P--X";
    }
    void menuSeparatorsForHosts() {
        QFETCH(QString, entries);
        QFETCH(bool, collapsible);
        QFETCH(QString, exported);
        QMenu menu;
        menu.setSeparatorsCollapsible(collapsible);
        for (const QChar c : entries) {
            if (c == u'-')
                menu.addSeparator();
            else
                menu.addAction(QString(c))->setVisible(c != u'.');
        }
        QString out;
        for (const QAction* a : platform::DBusMenuEntries(menu))
            out += a->isSeparator() ? QStringLiteral("-") : a->text();
        QCOMPARE(out, exported);
    }

    // A host that draws the item itself names the point; the X pointer may be anywhere.
    void theHostsPointPlacesEventsAndMenu() {
        area.hostPoint = QPoint(300, 200);
        TTrayIcon icon;
        QMenu menu;
        menu.addAction(QStringLiteral("x"));
        icon.SetPopupMenu(&menu);
        icon.PopupMenuOn = imRightClickUp;
        QPoint up;
        icon.OnMouseUp = [&](TTrayIcon*, TMouseButton, TShiftState, int x, int y) { up = {x, y}; };
        TMessage m{icon.Handle(), WM_USER + 1, 0, LPARAM(WM_RBUTTONUP), 0};
        Application->SendMessage(m);
        QCOMPARE(up, QPoint(300, 200));
        QVERIFY(menu.isVisible());
        QCOMPARE(menu.pos(), QPoint(300, 200));
        menu.hide();
    }

    // An add that waited for a tray and got none in time is no error: the icon waits on.
    void anAddThatFindsNoTrayWaitsOn() {
        TTrayIcon icon;
        icon.SetVisible(true);
        NOTIFYICONDATAA other = icon.IconData();
        other.uID += 1;
        area.OnNoTray(other, false); // someone else's icon
        QVERIFY(!icon.NoTray());
        area.OnNoTray(icon.IconData(), false);
        QVERIFY(icon.NoTray() && Application->HasMainWindowHook(&icon));
        area.OnDocked(icon.IconData());
        QVERIFY(!icon.NoTray());
    }

    void iconsIndexAndAnimation() {
        TImageList list(16, 16);
        QPixmap red(16, 16), blue(16, 16);
        red.fill(Qt::red);
        blue.fill(Qt::blue);
        list.Add(QIcon(red));
        list.Add(QIcon(blue));
        TTrayIcon icon;
        icon.SetAnimate(true); // during loading: accepted
        icon.SetIcons(&list);
        icon.SetVisible(true);
        icon.Loaded();
        QVERIFY(icon.Animate());
        icon.SetIconIndex(1);
        const QImage shown = area.calls.back().data.hIcon.pixmap(16, 16).toImage();
        QCOMPARE(shown.pixelColor(8, 8), QColor(Qt::blue));
        icon.SetIcons(nullptr);
        icon.SetAnimate(false); // without Icons after loading: ignored
        QVERIFY(icon.Animate());
    }
};

KELVARO_TEST_MAIN(TrayTest)
#include "test_tray.moc"
