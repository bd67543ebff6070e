// The windows as the window manager sees them: where they open, which frame buttons they ask
// for, and that the dialogs opened from the tray keep the program off the task bar.
#include "Desktop.h"

#include <QRect>
#include <QRegularExpression>

namespace {

// The values of a window property as xprop prints them ("A, B, C"), or none.
QStringList windowProperty(const QString& id, const QString& name) {
    const QString out = run("xprop", {"-id", id, name});
    const qsizetype eq = out.indexOf(" = ");
    if (eq < 0) return {};
    return out.mid(eq + 3).split(QStringLiteral(", "), Qt::SkipEmptyParts);
}

QList<uint> numbers(const QString& id, const QString& name) {
    QList<uint> out;
    for (const QString& v : windowProperty(id, name))
        out << v.trimmed().toUInt(nullptr, 0);
    return out;
}

// The window with its frame, as the user sees it on the screen.
QRect frameOf(const QString& id) {
    const QString geo = xdotool({"getwindowgeometry", id});
    const auto pos = QRegularExpression("Position: (-?\\d+),(-?\\d+)").match(geo);
    const auto size = QRegularExpression("Geometry: (\\d+)x(\\d+)").match(geo);
    if (!pos.hasMatch() || !size.hasMatch()) return {};
    QRect r(pos.captured(1).toInt(), pos.captured(2).toInt(), size.captured(1).toInt(),
            size.captured(2).toInt());
    const QList<uint> e = numbers(id, "_NET_FRAME_EXTENTS"); // left, right, top, bottom
    if (e.size() == 4) r.adjust(-int(e[0]), -int(e[2]), int(e[1]), int(e[3]));
    return r;
}

// The primary monitor's geometry (the first one where none is marked primary).
QRect primaryMonitor() {
    const QRegularExpression monitor(
        "\\d+: \\+(\\*?)\\S+ (\\d+)/\\d+x(\\d+)/\\d+\\+(\\d+)\\+(\\d+)");
    QRect first;
    for (const QString& line : run("xrandr", {"--listmonitors"}).split('\n')) {
        const auto m = monitor.match(line);
        if (!m.hasMatch()) continue;
        const QRect r(m.captured(4).toInt(), m.captured(5).toInt(), m.captured(2).toInt(),
                      m.captured(3).toInt());
        if (!m.captured(1).isEmpty()) return r;
        if (first.isNull()) first = r;
    }
    return first;
}

// Centred: the frame's middle within a pixel of the area's.
QString offCentre(const QRect& frame, const QRect& area) {
    const int dx = (frame.x() * 2 + frame.width()) - (area.x() * 2 + area.width());
    const int dy = (frame.y() * 2 + frame.height()) - (area.y() * 2 + area.height());
    if (std::abs(dx) <= 2 && std::abs(dy) <= 2) return QString();
    return QStringLiteral("frame %1,%2 %3x%4 in %5,%6 %7x%8")
        .arg(frame.x())
        .arg(frame.y())
        .arg(frame.width())
        .arg(frame.height())
        .arg(area.x())
        .arg(area.y())
        .arg(area.width())
        .arg(area.height());
}

// _MOTIF_WM_HINTS: flags, functions, decorations.
constexpr uint FuncMinimize = 8, FuncMaximize = 16, FuncClose = 32;
constexpr uint DecorMinimize = 32, DecorMaximize = 64;

// The program's visible window of that size, or "".
QString windowSized(const QString& size) {
    for (const QString& id : xdotool({"search", "--onlyvisible", "--classname", "^kelvaro$"})
                                 .split('\n', Qt::SkipEmptyParts))
        if (xdotool({"getwindowgeometry", id}).contains("Geometry: " + size)) return id;
    return QString();
}

} // namespace

class WindowsTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        QVERIFY2(!qEnvironmentVariable("DISPLAY").isEmpty(), "run under scripts/with-desktop");
    }

    // Opened from the tray before the profiles window was ever shown.
    void dialogsFromTheTray_data() {
        QTest::addColumn<QStringList>("keys");
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("closeKey");
        QTest::newRow("Options") << QStringList{"Down", "Down", "Return"} << "Options"
                                 << "Escape";
        QTest::newRow("About") << QStringList{"Down", "Down", "Down", "Return"} << "About"
                               << "Return";
    }
    void dialogsFromTheTray() {
        QFETCH(QStringList, keys);
        QFETCH(QString, title);
        QFETCH(QString, closeKey);
        if (qEnvironmentVariable("KELVARO_XSERVER") == "xorg") QSKIP("runs on the plain desktop");
        Kelvaro k;
        k.seed("", "Hotkeys", "REG_DWORD", "0");
        QVERIFY(k.start());
        QTest::qWait(1500); // past the splash
        for (int time = 1; time <= 2; ++time) {
            menuPick(k, keys);
            QString id;
            QVERIFY(
                waitFor([&] { return !(id = visibleWindow("^" + title + "$")).isEmpty(); }, 5000));
            // Off the task bar: the state was there when the window manager took the window.
            const QStringList state = windowProperty(id, "_NET_WM_STATE");
            QVERIFY2(state.contains("_NET_WM_STATE_SKIP_TASKBAR"), qPrintable(state.join(' ')));
            // System menu and close; no minimise, no maximise.
            const QList<uint> motif = numbers(id, "_MOTIF_WM_HINTS");
            QVERIFY(motif.size() >= 3);
            QCOMPARE(motif[1] & (FuncMinimize | FuncMaximize | FuncClose), FuncClose);
            QCOMPARE(motif[2] & (DecorMinimize | DecorMaximize), 0u);
            QVERIFY(!windowProperty(id, "_NET_WM_ALLOWED_ACTIONS").join(' ').contains("MAXIMIZE"));
            // Centred on the screen, frame and all, every time.
            const QString off = offCentre(frameOf(id), primaryMonitor());
            QVERIFY2(off.isEmpty(), qPrintable(QStringLiteral("show %1: ").arg(time) + off));
            if (time == 1) {
                // A window manager that minimises it anyway gets it straight back.
                xdotool({"windowminimize", id});
                QTest::qWait(300);
                QVERIFY(waitFor(
                    [&] {
                        return !visibleWindow("^" + title + "$").isEmpty() &&
                               !windowProperty(id, "_NET_WM_STATE")
                                    .contains("_NET_WM_STATE_HIDDEN");
                    },
                    3000));
                xdotool({"windowmove", id, "10", "40"});
            }
            QVERIFY(typeInto(id, closeKey));
            QVERIFY(waitFor([&] { return visibleWindow("^" + title + "$").isEmpty(); }, 5000));
        }
        QCOMPARE(k.terminate(), 0);
    }

    // Centred every time it is shown, the first time included; a minimise box and no
    // maximise.
    void profilesWindowCentredEveryTime() {
        if (qEnvironmentVariable("KELVARO_XSERVER") == "xorg") QSKIP("runs on the plain desktop");
        Kelvaro k;
        k.seed("", "Exit", "REG_DWORD", "0");
        QVERIFY(k.start());
        QTest::qWait(1500);
        for (int time = 1; time <= 2; ++time) {
            k.clickIcon(1, 2);
            QString id;
            QVERIFY(waitFor([&] { return !(id = profilesWindow()).isEmpty(); }, 5000));
            QTest::qWait(200); // the frame's extents are set as it maps
            const QString off = offCentre(frameOf(id), primaryMonitor());
            QVERIFY2(off.isEmpty(), qPrintable(QStringLiteral("show %1: ").arg(time) + off));
            const QList<uint> motif = numbers(id, "_MOTIF_WM_HINTS");
            QVERIFY(motif.size() >= 3);
            QCOMPARE(motif[1] & (FuncMinimize | FuncMaximize), FuncMinimize);
            QCOMPARE(motif[2] & (DecorMinimize | DecorMaximize), DecorMinimize);
            xdotool({"windowmove", id, "10", "40"}); // moved away; the next show centres again
            QVERIFY(closeWindow(id));
            QVERIFY(waitFor([] { return profilesWindow().isEmpty(); }, 5000));
        }
        QCOMPARE(k.terminate(), 0);
    }

    // Two monitors, the right-hand one primary: the splash and the on-screen display stand in
    // the middle of the primary one.
    void splashAndDisplayOnThePrimaryMonitor() {
        if (qEnvironmentVariable("KELVARO_XSERVER") != "xorg")
            QSKIP("needs several monitors: scripts/with-desktop --xorg");
        run("xrandr", {"--addmode", "DUMMY1", "1400x1050"});
        run("xrandr",
            {"--output", "DUMMY1", "--mode", "1400x1050", "--right-of", "DUMMY0", "--primary"});
        QVERIFY(waitFor([] { return primaryMonitor().x() == 1024; }, 5000));
        const QRect primary = primaryMonitor();
        Kelvaro k;
        k.seed("", "Hotkeys", "REG_DWORD", "1");
        k.seed("", "Exit", "REG_DWORD", "0"); // without it neither option reads as on
        k.proc.setProcessEnvironment(k.env());
        k.proc.start(qEnvironmentVariable("KELVARO_BIN"), {});
        QString splash;
        QVERIFY(waitFor([&] { return !(splash = windowSized("304x80")).isEmpty(); }, 5000));
        QString off = offCentre(frameOf(splash), primary);
        QVERIFY2(off.isEmpty(), qPrintable("splash: " + off));
        QVERIFY(waitFor([&] { return k.trayIcon().has_value(); }, 10000));
        QTest::qWait(1500);
        xdotool({"key", "ctrl+alt+KP_Add"});
        QString osd;
        QVERIFY(waitFor([&] { return !(osd = osdWindow()).isEmpty(); }, 2000));
        off = offCentre(frameOf(osd), primary);
        QVERIFY2(off.isEmpty(), qPrintable("display: " + off));
        QCOMPARE(k.terminate(), 0);
        run("xrandr", {"--output", "DUMMY0", "--primary", "--output", "DUMMY1", "--off"});
    }
};

QTEST_GUILESS_MAIN(WindowsTest)
#include "test_windows.moc"
