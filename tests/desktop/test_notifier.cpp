// The tray icon through a StatusNotifierItem host: swaybar under a headless sway (see
// scripts/with-sway), the program on Xwayland. The test speaks to the item as a host does:
// it finds the item through the host's watcher, reads the exported menu, asks for the
// program's own menu at a point, and chooses from the exported one.
#include "Desktop.h"

#include <QElapsedTimer>
#include <QRegularExpression>
#include <QTest>

namespace {

QString gdbus(const QStringList& args) {
    return run("gdbus", QStringList{"call", "--session"} + args);
}

QString watcherProperty(const QString& name) {
    return gdbus({"--dest", "org.kde.StatusNotifierWatcher", "--object-path",
                  "/StatusNotifierWatcher", "--method", "org.freedesktop.DBus.Properties.Get",
                  "org.kde.StatusNotifierWatcher", name});
}

// The entries of a layout as (id, properties) pairs, in order.
QList<std::pair<QString, QString>> entryList(const QString& layout) {
    QList<std::pair<QString, QString>> out;
    static const QRegularExpression entry("<\\((\\d+), \\{(.*?)\\}, @av \\[\\]\\)>");
    for (auto m = entry.globalMatch(layout); m.hasNext();) {
        const auto e = m.next();
        out.append({e.captured(1), e.captured(2)});
    }
    return out;
}

// The menu as a host reads it: labels, "-" for a line.
QStringList entries(const QString& layout) {
    static const QRegularExpression label("'label': <'([^']*)'>");
    QStringList out;
    for (const auto& [id, properties] : entryList(layout))
        out << (properties.contains("'type': <'separator'>") ? QStringLiteral("-")
                                                             : label.match(properties).captured(1));
    return out;
}

// The id of the entry with that label.
QString entryId(const QString& layout, const QString& label) {
    for (const auto& [id, properties] : entryList(layout))
        if (properties.contains("'label': <'" + label + "'>")) return id;
    return QString();
}

} // namespace

class NotifierTest : public QObject {
    Q_OBJECT
    Kelvaro k;
    QString item; // the item's bus name
    qint64 trayer = 0;

    QString call(const QString& path, const QString& method, const QStringList& args) {
        return gdbus(QStringList{"--dest", item, "--object-path", path, "--method", method, "--"} +
                     args);
    }
    QString layout() {
        return call("/MenuBar", "com.canonical.dbusmenu.GetLayout", {"0", "-1", "@as []"});
    }

private slots:
    void initTestCase() {
        QVERIFY2(!qEnvironmentVariable("DBUS_SESSION_BUS_ADDRESS").isEmpty(),
                 "run under scripts/with-sway");
        QVERIFY(watcherProperty("IsStatusNotifierHostRegistered").contains("true"));
        // On Xwayland, where the test can see where windows are. An XEmbed tray there too, as
        // KDE Plasma on X11 has one (its proxy for XEmbed icons): the item is still preferred.
        k.extra.insert("QT_QPA_PLATFORM", "xcb");
        QVERIFY(startTrayer(&trayer));
        k.seed("\\Profiles\\Bright & Dark", "FileName", "REG_SZ", "/bin/true");
        k.seed("\\Profiles\\snake_case", "FileName", "REG_SZ", "/bin/true");
        QVERIFY(k.launch());
        static const QRegularExpression name("org\\.kde\\.StatusNotifierItem-\\d+-\\d+");
        QVERIFY2(
            waitFor(
                [&] {
                    item = name.match(watcherProperty("RegisteredStatusNotifierItems")).captured(0);
                    return !item.isEmpty();
                },
                10000),
            "the item never registered with the host");
    }

    void theItemExportsTheTrayMenu() {
        QVERIFY(call("/StatusNotifierItem", "org.freedesktop.DBus.Properties.Get",
                     {"org.kde.StatusNotifierItem", "Menu"})
                    .contains("'/MenuBar'"));
        // Headless sway refuses every output's gamma: the tooltip says so.
        const QString tip = call("/StatusNotifierItem", "org.freedesktop.DBus.Properties.Get",
                                 {"org.kde.StatusNotifierItem", "ToolTip"});
        QVERIFY2(tip.contains("Kelvaro - the gamma is not set"), qPrintable(tip));
        QCOMPARE(entries(layout()), QStringList({"Profiles", "Options", "About", "Help", "-",
                                                 "Bright & Dark", "snake__case", "-", "Exit"}));
    }

    void theMenuOpensWhereTheHostSays() {
        for (const QPoint at : {QPoint(300, 200), QPoint(520, 90)}) {
            call("/StatusNotifierItem", "org.kde.StatusNotifierItem.ContextMenu",
                 {QString::number(at.x()), QString::number(at.y())});
            QString menu;
            QVERIFY(waitFor([&] { return !(menu = menuWindow()).isEmpty(); }, 5000));
            const QString geo = xdotool({"getwindowgeometry", menu});
            QVERIFY2(geo.contains(QStringLiteral("Position: %1,%2").arg(at.x()).arg(at.y())),
                     qPrintable(geo));
            xdotool({"key", "Escape"});
            QVERIFY(waitFor([] { return menuWindow().isEmpty(); }, 5000));
        }
    }

    // A property asked of an entry that isn't there, or one an entry doesn't have, is an
    // error at once, not a wait for the caller's timeout.
    void askingForWhatIsNotThere_data() {
        QTest::addColumn<QString>("entry"); // a label, or an id
        QTest::addColumn<QString>("property");
        QTest::addColumn<QString>("answer"); // "" for an error
        QTest::newRow("a label") << "Exit"
                                 << "label"
                                 << "(<'Exit'>,)";
        QTest::newRow("an id no entry has") << "9999"
                                            << "label"
                                            << "";
        QTest::newRow("a property the entry lacks") << "Exit"
                                                    << "no-such-property"
                                                    << "";
    }
    void askingForWhatIsNotThere() {
        QFETCH(QString, entry);
        QFETCH(QString, property);
        QFETCH(QString, answer);
        const QString id = entry.toInt() ? entry : entryId(layout(), entry);
        QElapsedTimer t;
        t.start();
        int status = -1;
        const QString out =
            run("gdbus",
                {"call", "--session", "--timeout", "20", "--dest", item, "--object-path",
                 "/MenuBar", "--method", "com.canonical.dbusmenu.GetProperty", "--", id, property},
                &status);
        QVERIFY2(t.elapsed() < 3000, qPrintable(QString::number(t.elapsed())));
        QCOMPARE(status == 0, !answer.isEmpty());
        if (!answer.isEmpty()) QCOMPARE(out, answer);
    }

    void choosingFromTheExportedMenu() {
        const QString menu = layout();
        call("/MenuBar", "com.canonical.dbusmenu.Event",
             {entryId(menu, "About"), "clicked", "<0>", "0"});
        QVERIFY(waitFor([] { return !visibleWindow("^About$").isEmpty(); }, 5000));
        // Exit, chosen while the dialog is still open, ends the program.
        call("/MenuBar", "com.canonical.dbusmenu.Event",
             {entryId(menu, "Exit"), "clicked", "<0>", "0"});
        QVERIFY(k.proc.waitForFinished(5000));
        QCOMPARE(k.proc.exitCode(), 0);
    }

    void cleanupTestCase() {
        if (trayer > 0) ::kill(pid_t(trayer), SIGTERM);
    }
};

QTEST_GUILESS_MAIN(NotifierTest)
#include "test_notifier.moc"
