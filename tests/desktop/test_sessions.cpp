// The program in the desktop sessions Debian ships, each started by scripts/with-session with
// its real compositor and, where the desktop has them, the real portal and global shortcuts
// service; a tray (trayer) on the session's Xwayland, where the program runs. One row per kind
// of session, run under that session only: what it says about the gamma, what `--reset` answers,
// and how the hot keys reach it.
#include "Desktop.h"
#include "OptionsDialog.h"

namespace {

QString gdbus(const QStringList& args) {
    return run("gdbus", QStringList{"call", "--session"} + args);
}

// kglobalaccel's components and the actions of ours, as System Settings reads them.
QString components() {
    return gdbus({"--dest", "org.kde.kglobalaccel", "--object-path", "/kglobalaccel", "--method",
                  "org.kde.KGlobalAccel.allComponents"});
}
QString actions() {
    return gdbus({"--dest", "org.kde.kglobalaccel", "--object-path", "/kglobalaccel", "--method",
                  "org.kde.KGlobalAccel.allActionsForComponent", "['kelvaro', '', '', '']"});
}
// Whether a running program holds the component's shortcuts (they outlive it, inactive).
bool active() {
    return gdbus({"--dest", "org.kde.kglobalaccel", "--object-path", "/component/kelvaro",
                  "--method", "org.kde.kglobalaccel.Component.isActive"})
        .contains("true");
}
// A shortcut invoked as the desktop does when its keys are pressed.
void invoke(const QString& shortcut) {
    gdbus({"--dest", "org.kde.kglobalaccel", "--object-path", "/component/kelvaro", "--method",
           "org.kde.kglobalaccel.Component.invokeShortcut", shortcut});
}

QString sessionLog() {
    QFile f(qEnvironmentVariable("KELVARO_SESSION_LOG"));
    return f.open(QIODevice::ReadOnly) ? QString::fromLocal8Bit(f.readAll()) : QString();
}

// The icon in the tray: 22 wide (a kiosk compositor such as cage stretches the panel, and the
// icon with it, to the screen's height).
bool docked() {
    for (const QString& id : programWindows())
        if (xdotool({"getwindowgeometry", id}).contains("Geometry: 22x")) return true;
    return false;
}

// GNOME's custom shortcuts: their paths, and one's key; a user's own one, there before.
const QString Keys = "org.gnome.settings-daemon.plugins.media-keys";
const QString Mine = "/org/gnome/settings-daemon/plugins/media-keys/custom-keybindings/custom0/";
QStringList customShortcuts() {
    return run("gsettings", {"get", Keys, "custom-keybindings"})
        .split('\'')
        .filter(QRegularExpression("^/"));
}
QString shortcut(const QString& path, const QString& key, const QString& set = {}) {
    return run("gsettings", QStringList{set.isEmpty() ? "get" : "set",
                                        Keys + ".custom-keybinding:" + path, key, set}
                                .filter(QRegularExpression(".")));
}
void addMine() {
    shortcut(Mine, "name", "'Mine'");
    shortcut(Mine, "binding", "'<Super>t'");
    run("gsettings", {"set", Keys, "custom-keybindings", "['" + Mine + "']"});
}

// With the hot keys on, two shortcuts of the program's own after the user's, whose commands
// (run as GNOME runs them) step the running copy.
void gnomeShortcutsStep(Kelvaro& k) {
    QVERIFY(waitFor([] { return customShortcuts().size() == 3; }, 10000));
    const QStringList paths = customShortcuts();
    const QString program = qEnvironmentVariable("KELVARO_BIN");
    QCOMPARE(shortcut(paths[1], "command") + shortcut(paths[1], "binding") +
                 shortcut(paths[2], "command") + shortcut(paths[2], "binding"),
             "'" + program + " --step up''<Primary><Alt>KP_Add''" + program +
                 " --step down''<Primary><Alt>KP_Subtract'");
    QCOMPARE(run(program, {"--step", "up"}, nullptr, k.env()), QString());
    QVERIFY(waitFor([&] { return k.desktopGamma() == 11; }, 5000));
}

struct Tray {
    qint64 pid = 0;
    Tray() { startTrayer(&pid); }
    ~Tray() {
        if (pid > 0) ::kill(pid_t(pid), SIGTERM);
    }
};

} // namespace

class SessionsTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() {
        QVERIFY2(!qEnvironmentVariable("KELVARO_SESSION").isEmpty(),
                 "run under scripts/with-session");
    }

    void theSessionIsToldTheTruth_data() {
        QTest::addColumn<QString>("notice");  // said once about the gamma
        QTest::addColumn<QString>("hotkeys"); // "x": X key grabs; "kglobalaccel": the portal's
        // How often the keypad's keyboard option is named: KDE on Wayland without it, once.
        QTest::addColumn<int>("keypadAdvice");
        // Headless Mutter lists no CRTC; the only portal back-end there (KDE's) fails, and the
        // hot keys become GNOME's custom shortcuts.
        QTest::newRow("mutter") << "None of this desktop's displays takes a gamma ramp"
                                << "gnome" << 0;
        const QString kwin = "This desktop does not let programs change the display gamma";
        QTest::newRow("kwin") << kwin << "kglobalaccel" << 1;
        // With the option, the keypad's keys themselves, pressed in KWin, step the gamma.
        QTest::newRow("kwin-keypad") << kwin << "keypad" << 0;
        // cage refuses the gamma of its headless output; it has no portal.
        QTest::newRow("cage") << "does not let Kelvaro change the gamma of HEADLESS-1"
                              << "x" << 0;
    }
    void theSessionIsToldTheTruth() {
        QFETCH(QString, notice);
        QFETCH(QString, hotkeys);
        QFETCH(int, keypadAdvice);
        if (QString::fromLatin1(QTest::currentDataTag()) != qEnvironmentVariable("KELVARO_SESSION"))
            QSKIP("another kind of session");
        Tray tray;
        if (hotkeys == "gnome") addMine();
        Kelvaro k;
        QString earlier; // standard error of an earlier start
        // The session's settings folder, where KDE keeps the keyboard's (kxkbrc) and dconf's
        // readers find GNOME's settings.
        k.extra.insert("XDG_CONFIG_HOME", qEnvironmentVariable("HOME") + "/.config");
        k.seedHotkeysAt(10);
        k.channels = QProcess::SeparateChannels;
        QVERIFY(k.launch());
        QVERIFY(waitFor(docked, 15000));

        // No gamma to put back: said, and the exit status says it too.
        QProcess reset;
        reset.setProcessEnvironment(k.env());
        reset.start(qEnvironmentVariable("KELVARO_BIN"), {"--reset"});
        QVERIFY(reset.waitForFinished(20000));
        QCOMPARE(reset.exitCode(), 1);
        QVERIFY(QString::fromLocal8Bit(reset.readAllStandardError()).contains("can't be set"));

        QVERIFY(pastTheSplash());
        // What to look at when a step never arrives (seen once in a full run, never alone).
        auto why = [&] {
            return QString("desktop gamma %1\nprogram: %2\nsession: %3")
                .arg(k.desktopGamma())
                .arg(QString::fromLocal8Bit(k.proc.readAllStandardError()),
                     sessionLog().right(2000));
        };
        if (hotkeys == "gnome") {
            gnomeShortcutsStep(k);
            // After a restart still two; unticking the hot keys takes exactly those away.
            QCOMPARE(k.terminate(), 0);
            QVERIFY(k.launch() && waitFor(docked, 15000));
            QTest::qWait(2000);
            QCOMPARE(customShortcuts().size(), 3);
            toggleHotkeys(k, false);
            QVERIFY(waitFor([] { return customShortcuts() == QStringList{Mine}; }, 10000));
        } else if (hotkeys == "x") {
            xdotool({"key", "ctrl+alt+KP_Add"});
            if (!waitFor([&] { return k.desktopGamma() == 11; }, 5000)) QFAIL(qPrintable(why()));
        } else if (hotkeys == "keypad") {
            QVERIFY(waitFor([] { return actions().count("gamma-") == 2 && active(); }, 10000));
            // Left Ctrl, left Alt, keypad plus.
            run(qEnvironmentVariable("KELVARO_BUILD") + "/tests/kelvaro-fake-keys",
                {"29", "56", "78"});
            if (!waitFor([&] { return k.desktopGamma() == 11; }, 5000)) QFAIL(qPrintable(why()));
        } else {
            // Both under one component, named the same at every start, taken without a
            // settings page opening; the keypad's advice not given again at the second.
            for (int start = 0; start < 2; ++start) {
                QVERIFY(waitFor([] { return actions().count("gamma-") == 2 && active(); }, 10000));
                QCOMPARE(components().count("kelvaro"), 1);
                invoke("gamma-up");
                if (!waitFor([&] { return k.desktopGamma() == 11 + start; }, 5000))
                    QFAIL(qPrintable(why()));
                if (start == 0) {
                    QCOMPARE(k.terminate(), 0);
                    earlier = QString::fromLocal8Bit(k.proc.readAllStandardError());
                    QVERIFY(waitFor([] { return !active(); }, 5000));
                    QVERIFY(k.launch());
                }
            }
            QVERIFY(!sessionLog().contains("BindShortcuts called"));
        }
        QCOMPARE(k.terminate(), 0);
        const QString last = QString::fromLocal8Bit(k.proc.readAllStandardError());
        QVERIFY2(last.count(notice) == 1, qPrintable(last));
        const QString err = earlier + last;
        QVERIFY2(err.count("srvrkeys:none") == keypadAdvice, qPrintable(err));
    }

    // GNOME Shell 43 itself: as installed, with no tray, the program runs on, naming the
    // extension; switched on (from the start, or later), its watcher lists the program's item,
    // and switched off again, the window comes back. The user's custom shortcuts are theirs.
    void gnomeShell() {
        const QString session = qEnvironmentVariable("KELVARO_SESSION");
        if (!session.startsWith("gnome")) QSKIP("another kind of session");
        Kelvaro k;
        k.extra.insert("XDG_CONFIG_HOME", qEnvironmentVariable("HOME") + "/.config");
        const QString extensions = "enabled-extensions";
        auto boxes = [] { return xdotool({"search", "--onlyvisible", "--name", "^Kelvaro$"}); };
        if (session == "gnome") {
            QString said;
            runsOnWithoutATray(k, "ubuntu-appindicators@ubuntu.com", &said);
            if (QTest::currentTestFailed()) return;
            QVERIFY2(!said.contains("log out"), qPrintable(said)); // installed before the session
        }
        QVERIFY(k.launch());
        if (session == "gnome") {
            // The window at once, its two boxes (no gamma, no tray) over it, not on each other.
            QVERIFY(pastTheSplash() && waitFor([&] { return boxes().count('\n') == 1; }, 5000));
            const QStringList two = boxes().split('\n');
            auto centre = [](const QString& id) {
                QMap<QString, int> v;
                for (const QString& line :
                     xdotool({"getwindowgeometry", "--shell", id}).split('\n'))
                    v[line.section('=', 0, 0)] = line.section('=', 1).toInt();
                return QPoint(v["X"] + v["WIDTH"] / 2, v["Y"] + v["HEIGHT"] / 2);
            };
            QVERIFY((centre(two[0]) - centre(two[1])).manhattanLength() > 8);
            const QStringList stacking = run("xprop", {"-root", "_NET_CLIENT_LIST_STACKING"})
                                             .section("# ", 1)
                                             .split(", "); // bottom to top
            auto level = [&](const QString& id) {
                return stacking.indexOf("0x" + QString::number(id.toUInt(), 16));
            };
            const QString window = visibleWindow("closing quits");
            for (const QString& box : two) { // above it, and kept there as the window's own
                QVERIFY(level(box) > level(window));
                QVERIFY(run("xprop", {"-id", box, "WM_TRANSIENT_FOR"})
                            .endsWith("0x" + QString::number(window.toUInt(), 16)));
            }
            run("gsettings",
                {"set", "org.gnome.shell", extensions, "['ubuntu-appindicators@ubuntu.com']"});
        }
        const QString item = QString("StatusNotifierItem-%1-").arg(k.proc.processId());
        auto sni = [](const QString& service, const QString& path, const QString& property) {
            return gdbus({"--dest", service, "--object-path", path, "--method",
                          "org.freedesktop.DBus.Properties.Get", service.section('-', 0, 0),
                          property});
        };
        QVERIFY(waitFor(
            [&] {
                return sni("org.kde.StatusNotifierWatcher", "/StatusNotifierWatcher",
                           "RegisteredStatusNotifierItems")
                    .contains(item);
            },
            10000));
        QCOMPARE(sni("org.kde." + item + "1", "/StatusNotifierItem", "Title"), "(<'Kelvaro'>,)");
        if (session == "gnome") {
            // The no-tray box gone with the icon come; the extension switched off again, the
            // window comes back.
            QVERIFY(waitFor([&] { return !boxes().isEmpty() && !boxes().contains('\n'); }, 5000));
            QVERIFY(closeWindow(profilesWindow()));
            run("gsettings", {"set", "org.gnome.shell", extensions, "@as []"});
            QVERIFY(waitFor([] { return !visibleWindow("closing quits").isEmpty(); }, 5000));
        }
        k.seedHotkeysAt(10); // the hot keys, as GNOME custom shortcuts, in GNOME Shell too
        k.terminate();
        addMine();
        if (session == "gnome-appindicator") {
            // A gsettings whose first read of the list fails: that pass writes nothing, the
            // user's shortcut stays.
            QTemporaryDir bin;
            QFile stand(bin.filePath("gsettings"));
            QVERIFY(stand.open(QIODevice::WriteOnly));
            stand.write(
                "#!/bin/sh\n[ \"$3\" = custom-keybindings ] && [ \"$1\" = get ] && "
                "mkdir \"$0.failed\" 2>/dev/null && exit 1\nexec /usr/bin/gsettings \"$@\"\n");
            stand.close();
            stand.setPermissions(QFile::ExeOwner | QFile::ReadOwner);
            k.extra.insert("PATH", bin.path() + ":" + qEnvironmentVariable("PATH"));
            QVERIFY(k.launch());
            QVERIFY(waitFor([&] { return QFile::exists(stand.fileName() + ".failed"); }, 10000));
            QTest::qWait(3000);
            QCOMPARE(customShortcuts().value(0), Mine);
            k.terminate();
            k.extra.remove("PATH");
        }
        k.channels = QProcess::SeparateChannels;
        QVERIFY(k.launch());
        gnomeShortcutsStep(k);
        if (session != "gnome-appindicator") return;
        // Re-bound by the user: kept at the next start, the command brought up to date.
        const QString up = customShortcuts()[1];
        shortcut(up, "binding", "'<Super>F9'");
        shortcut(up, "command", "'old'");
        // A name with a quote, printed in double quotes, on the key of ours not re-bound.
        shortcut(Mine, "name", "\"Mine's\"");
        shortcut(Mine, "binding", "'<Primary><Alt>KP_Subtract'");
        QString said;
        for (int start = 0; start < 2; ++start) {
            k.terminate();
            said += QString::fromLocal8Bit(k.proc.readAllStandardError());
            QVERIFY(k.launch());
            QVERIFY(waitFor([&] { return shortcut(up, "command") != "'old'"; }, 10000));
            QTest::qWait(2000);
            QCOMPARE(shortcut(up, "binding"), "'<Super>F9'");
        }
        k.terminate();
        said += QString::fromLocal8Bit(k.proc.readAllStandardError());
        QCOMPARE(said.count("\"Mine's\" already uses Ctrl+Alt+Num-"), 1); // once, not per start
    }
};

QTEST_GUILESS_MAIN(SessionsTest)
#include "test_sessions.moc"
