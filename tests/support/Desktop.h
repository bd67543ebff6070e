// The real program on a desktop, as a user and their tools see it: child processes, xdotool, the
// program's own copy with a settings folder of its own, and its tray icon.
#pragma once

#include "Wait.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <xcb/xcb.h>

#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <optional>

inline QString run(const QString& program, const QStringList& args, int* status = nullptr,
                   const QProcessEnvironment& env = QProcessEnvironment::systemEnvironment()) {
    QProcess p;
    p.setProcessEnvironment(env);
    p.start(program, args);
    p.waitForFinished(20000);
    if (status) *status = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    return QString::fromUtf8(p.readAllStandardOutput()).trimmed();
}

inline QString xdotool(const QStringList& args, int* status = nullptr) {
    return run("xdotool", args, status);
}

// Raises a window as a click on it would and waits until the keyboard is really its own: the
// window manager sets _NET_ACTIVE_WINDOW (what --sync waits for) a moment before the input focus
// follows.
inline bool focusWindow(const QString& id) {
    xdotool({"windowactivate", "--sync", id});
    return waitFor([&] { return xdotool({"getwindowfocus"}) == id; }, 3000);
}

// Keys typed into a window as on the keyboard. Chained after windowactivate, xdotool would send
// them to the window itself (XSendEvent) whenever the focus had not yet followed, and the window
// manager's own bindings (Alt+F4) would never see them.
inline bool typeInto(const QString& id, const QString& keys) {
    if (!focusWindow(id)) return false;
    xdotool({"key", keys});
    return true;
}

// Closes a window through the window manager, as its close box or a task bar does: the manager
// is asked with _NET_CLOSE_WINDOW and sends the window WM_DELETE_WINDOW. (Alt+F4 typed with
// xdotool proved unreliable: now and then the window manager's key binding missed it.) Waits
// until the window is unmapped.
inline bool closeWindow(const QString& id) {
    const xcb_window_t window = id.toUInt();
    xcb_connection_t* c = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(c)) {
        xcb_disconnect(c);
        return false;
    }
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
    xcb_intern_atom_reply_t* atom =
        xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, 17, "_NET_CLOSE_WINDOW"), nullptr);
    xcb_client_message_event_t ev{};
    ev.response_type = XCB_CLIENT_MESSAGE;
    ev.format = 32;
    ev.window = window;
    ev.type = atom ? atom->atom : xcb_atom_t(XCB_ATOM_NONE);
    ev.data.data32[0] = XCB_CURRENT_TIME;
    ev.data.data32[1] = 2; // from a pager or task bar: the user asked
    std::free(atom);
    xcb_send_event(c, 0, root,
                   XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                   reinterpret_cast<const char*>(&ev));
    auto viewable = [&] {
        xcb_get_window_attributes_reply_t* a =
            xcb_get_window_attributes_reply(c, xcb_get_window_attributes(c, window), nullptr);
        const bool shown = a && a->map_state == XCB_MAP_STATE_VIEWABLE;
        std::free(a);
        return shown;
    };
    const bool gone = waitFor([&] { return !viewable(); }, 5000);
    xcb_disconnect(c);
    return gone;
}

// The first visible window whose name matches, or "".
inline QString visibleWindow(const QString& name) {
    return xdotool({"search", "--onlyvisible", "--name", name}).section('\n', 0, 0);
}

inline QString profilesWindow() {
    return visibleWindow("^Kelvaro - Profiles$");
}

// The visible windows of the program's class, and the geometry X reports for one.
inline QStringList programWindows() {
    return xdotool({"search", "--onlyvisible", "--classname", "^kelvaro$"})
        .split('\n', Qt::SkipEmptyParts);
}
inline bool hasSize(const QString& id, const QString& size) {
    return xdotool({"getwindowgeometry", id}).contains("Geometry: " + size);
}

// The splash (304 x 80), or "" while it is not up.
inline QString splashWindow() {
    for (const QString& id : programWindows())
        if (hasSize(id, "304x80")) return id;
    return QString();
}

// Start-up is over once the splash has come and gone.
inline bool pastTheSplash() {
    waitFor([] { return !splashWindow().isEmpty(); }, 2000); // usually up already
    return waitFor([] { return splashWindow().isEmpty(); }, 5000);
}

// The open pop-up menu: an unnamed window of ours that is neither the tray icon nor the splash.
inline QString menuWindow() {
    for (const QString& id : programWindows())
        if (xdotool({"getwindowname", id}) == "kelvaro" && !hasSize(id, "22x22") &&
            !hasSize(id, "304x80"))
            return id;
    return QString();
}

// A trayer panel at the top right, as the virtual desktop starts it.
inline bool startTrayer(qint64* pid) {
    return QProcess::startDetached("trayer",
                                   {"--edge", "top", "--align", "right", "--widthtype", "request",
                                    "--height", "24", "--SetDockType", "true", "--transparent",
                                    "false"},
                                   QString(), pid);
}

// The on-screen display's window, or "" while it is not up.
inline QString osdWindow() {
    for (const QString& id : xdotool({"search", "--onlyvisible", "--name", "^Kelvaro$"})
                                 .split('\n', Qt::SkipEmptyParts))
        if (xdotool({"getwindowgeometry", id}).contains("208x56")) return id;
    return QString();
}

inline QString hex(const QVector<std::uint16_t>& r) {
    if (r.isEmpty()) return "<none>";
    return QStringLiteral("%1 %2 %3 %4")
        .arg(r[1], 4, 16)
        .arg(r[64], 4, 16)
        .arg(r[128], 4, 16)
        .arg(r[254], 4, 16);
}

// The ramp comparison tolerates the resampling of a CRTC whose size is not 256.
inline bool same(const QVector<std::uint16_t>& a, const QVector<std::uint16_t>& b) {
    if (a.size() != b.size()) return false;
    for (int i = 0; i < a.size(); ++i)
        if (std::abs(int(a[i]) - int(b[i])) > 0x100) return false;
    return true;
}

// One running copy of Kelvaro with a settings folder of its own.
class Kelvaro {
public:
    QTemporaryDir config;
    QProcess proc;

    // More of the session it runs in (WAYLAND_DISPLAY, DBUS_SESSION_BUS_ADDRESS, ...).
    QProcessEnvironment extra;
    // Standard error goes to the test's own unless a test reads it.
    QProcess::ProcessChannelMode channels = QProcess::ForwardedErrorChannel;

    QProcessEnvironment env() const {
        QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
        e.insert("XDG_CONFIG_HOME", config.path());
        e.remove("QT_QPA_PLATFORM");
        e.insert(extra);
        return e;
    }
    QString reg(const QStringList& args, int* status = nullptr) const {
        return run(qEnvironmentVariable("KELVARO_REG"), args, status, env());
    }
    void seed(const QString& subkey, const QString& name, const QString& type,
              const QString& data) const {
        reg({"add", "HKCU\\Software\\Orvendale Software\\Kelvaro" + subkey, "/v", name, "/t", type,
             "/d", data, "/f"});
    }
    // Hot keys on, closing the profiles window keeps the program, the desktop gamma given.
    void seedHotkeysAt(int desktop) const {
        seed("", "Hotkeys", "REG_DWORD", "1");
        seed("", "Exit", "REG_DWORD", "0");
        seed("", "Desktop", "REG_DWORD", QString::number(desktop));
    }
    // The stored desktop gamma, in tenths.
    int desktopGamma() const {
        return reg({"query", "HKCU\\Software\\Orvendale Software\\Kelvaro", "/v", "Desktop"})
            .section("0x", 1)
            .trimmed()
            .toInt(nullptr, 16);
    }
    // Started; start() also waits for the icon in the tray.
    bool launch() {
        proc.setProcessEnvironment(env());
        proc.setProcessChannelMode(channels);
        proc.start(qEnvironmentVariable("KELVARO_BIN"), {});
        return proc.waitForStarted();
    }
    bool start() {
        return launch() && waitFor([this] { return trayIcon().has_value(); }, 15000);
    }
    int terminate() {
        ::kill(pid_t(proc.processId()), SIGTERM);
        if (!proc.waitForFinished(10000)) return -99;
        return proc.exitStatus() == QProcess::NormalExit ? proc.exitCode() : -1;
    }
    // Whether it has ended, or ends within ten seconds (the test's event loop may have seen it
    // end already).
    bool ended() { return proc.state() == QProcess::NotRunning || proc.waitForFinished(10000); }
    ~Kelvaro() {
        if (proc.state() != QProcess::NotRunning) {
            proc.kill();
            proc.waitForFinished();
        }
    }
    // The docked icon: our 22 x 22 window inside the tray.
    std::optional<QString> trayIcon() const {
        for (const QString& id : programWindows())
            if (hasSize(id, "22x22")) return id;
        return std::nullopt;
    }
    // Opens the tray menu and types keys into it: five Downs reach the first profile, Up the
    // last item (Exit).
    void pickFromMenu(const QStringList& keys) {
        clickIcon(3, 1);
        QVERIFY(waitFor([this] { return menuShown(); }, 3000));
        QTest::qWait(200);
        for (const QString& key : keys) {
            xdotool({"key", key});
            QTest::qWait(60);
        }
    }
    // A visible window of ours besides the tray icon: the menu.
    bool menuShown() const {
        const auto icon = trayIcon();
        for (const QString& id : xdotool({"search", "--onlyvisible", "--classname", "^kelvaro$"})
                                     .split('\n', Qt::SkipEmptyParts))
            if (id != icon) return true;
        return false;
    }
    void clickIcon(int button, int times) {
        // One look can miss the icon while xdotool walks a tree other clients are changing.
        std::optional<QString> id;
        waitFor([&] { return (id = trayIcon()).has_value(); }, 3000);
        QVERIFY2(id,
                 qPrintable(run("sh", {"-c", "xwininfo -root -tree | grep -E 'kelvaro|panel'"})));
        xdotool({"mousemove", "--window", *id, "11", "11"});
        // The pointer is on the icon as far as the X server is concerned before the buttons go
        // down.
        const QString at = xdotool({"getwindowgeometry", "--shell", *id});
        auto field = [](const QString& text, const QString& name) {
            for (const QString& line : text.split('\n'))
                if (line.startsWith(name + "=")) return line.mid(name.size() + 1).toInt();
            return -1;
        };
        const int x = field(at, "X") + 11, y = field(at, "Y") + 11;
        waitFor(
            [&] {
                const QString where = xdotool({"getmouselocation", "--shell"});
                return field(where, "X") == x && field(where, "Y") == y;
            },
            2000);
        xdotool({"click", "--repeat", QString::number(times), "--delay", "60",
                 QString::number(button)});
    }
};

// Right-click on the tray icon, then keys in its menu.
inline void menuPick(Kelvaro& k, const QStringList& keys) {
    k.clickIcon(3, 1);
    QVERIFY(waitFor([] { return !menuWindow().isEmpty(); }, 3000));
    xdotool(QStringList{"key", "--delay", "60"} + keys);
}

// A desktop without a tray: started by the user, the program shows its profiles window at once
// and says once how to get a tray (naming `how`, its words in *said); closing that window quits,
// whatever the option says.
inline void runsOnWithoutATray(Kelvaro& k, const QString& how, QString* said = nullptr) {
    k.seedHotkeysAt(10); // where there is a tray, closing the window would only hide it
    k.channels = QProcess::SeparateChannels;
    QVERIFY(k.launch());
    QString window;
    QVERIFY(waitFor([&] { return !(window = visibleWindow("closing quits")).isEmpty(); }, 4000));
    QVERIFY(closeWindow(window));
    QVERIFY(k.ended());
    QCOMPARE(k.proc.exitCode(), 0);
    const QString err = QString::fromLocal8Bit(k.proc.readAllStandardError());
    QCOMPARE(err.count(how), 1);
    if (said) *said = err;
}
