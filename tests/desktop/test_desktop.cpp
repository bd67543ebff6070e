// The real program under a virtual desktop (Xvfb, openbox, trayer), driven with xdotool and
// watched through RandR and kelvaro-reg, as a user and their tools would see it.
#include "Crtc.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <csignal>
#include <optional>

namespace {

QString run(const QString& program, const QStringList& args, int* status = nullptr,
            const QProcessEnvironment& env = QProcessEnvironment::systemEnvironment()) {
    QProcess p;
    p.setProcessEnvironment(env);
    p.start(program, args);
    p.waitForFinished(20000);
    if (status) *status = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    return QString::fromUtf8(p.readAllStandardOutput()).trimmed();
}

QString xdotool(const QStringList& args, int* status = nullptr) { return run("xdotool", args, status); }

QString hex(const QVector<std::uint16_t>& r) {
    if (r.isEmpty()) return "<none>";
    return QStringLiteral("%1 %2 %3 %4").arg(r[1], 4, 16).arg(r[64], 4, 16).arg(r[128], 4, 16).arg(r[254], 4, 16);
}

// The ramp comparison tolerates the resampling of a CRTC whose size is not 256.
bool same(const QVector<std::uint16_t>& a, const QVector<std::uint16_t>& b) {
    if (a.size() != b.size()) return false;
    for (int i = 0; i < a.size(); ++i)
        if (std::abs(int(a[i]) - int(b[i])) > 0x100) return false;
    return true;
}

bool waitFor(const std::function<bool()>& ok, int ms) {
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms) {
        if (ok()) return true;
        QTest::qWait(50);
    }
    return ok();
}

// One running copy of Kelvaro with a settings folder of its own.
class Kelvaro {
public:
    QTemporaryDir config;
    QProcess proc;

    QProcessEnvironment env() const {
        QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
        e.insert("XDG_CONFIG_HOME", config.path());
        e.remove("QT_QPA_PLATFORM");
        return e;
    }
    QString reg(const QStringList& args, int* status = nullptr) const {
        return run(qEnvironmentVariable("KELVARO_REG"), args, status, env());
    }
    void seed(const QString& subkey, const QString& name, const QString& type, const QString& data) const {
        reg({"add", "HKCU\\Software\\Orvendale Software\\Kelvaro" + subkey, "/v", name, "/t", type, "/d", data, "/f"});
    }
    bool start() {
        proc.setProcessEnvironment(env());
        proc.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        proc.start(qEnvironmentVariable("KELVARO_BIN"), {});
        return proc.waitForStarted() && waitFor([this] { return trayIcon().has_value(); }, 15000);
    }
    int terminate() {
        ::kill(pid_t(proc.processId()), SIGTERM);
        if (!proc.waitForFinished(10000)) return -99;
        return proc.exitStatus() == QProcess::NormalExit ? proc.exitCode() : -1;
    }
    ~Kelvaro() {
        if (proc.state() != QProcess::NotRunning) {
            proc.kill();
            proc.waitForFinished();
        }
    }
    // The docked icon: our 22 x 22 window inside the tray.
    std::optional<QString> trayIcon() const {
        const QStringList ids = xdotool({"search", "--onlyvisible", "--classname", "^kelvaro$"}).split('\n', Qt::SkipEmptyParts);
        for (const QString& id : ids) {
            const QString geo = xdotool({"getwindowgeometry", id});
            if (geo.contains("Geometry: 22x22")) return id;
        }
        return std::nullopt;
    }
    void clickIcon(int button, int times) {
        const auto id = trayIcon();
        QVERIFY2(id, qPrintable(run("sh", {"-c", "xwininfo -root -tree | grep -E 'kelvaro|panel'"})));
        xdotool({"mousemove", "--window", *id, "11", "11"});
        QTest::qWait(150);
        xdotool({"click", "--repeat", QString::number(times), "--delay", "60", QString::number(button)});
    }
};

QString profilesWindow() {
    return xdotool({"search", "--onlyvisible", "--name", "^Kelvaro - Profiles$"}).section('\n', 0, 0);
}

} // namespace

class DesktopTest : public QObject {
    Q_OBJECT
    qint64 restartedTrayer = 0; // ours to stop; the desktop script stops the first one

private slots:
    void cleanupTestCase() {
        if (restartedTrayer) ::kill(pid_t(restartedTrayer), SIGTERM);
    }

    void initTestCase() {
        QVERIFY2(!qEnvironmentVariable("DISPLAY").isEmpty(), "run under scripts/with-desktop");
        QVERIFY2(!crtc::ramp().isEmpty(), "the X server has no CRTC with a gamma ramp");
    }

    void startsHiddenAndPutsTheRampBackOnTerm() {
        QVERIFY(crtc::setRamp(crtc::rampOf(25)));
        Kelvaro k;
        QVERIFY(k.start());
        // Its key exists, the desktop gamma (1.0) is on the display, no window is up.
        int status = 0;
        const QString out = k.reg({"query", "HKCU\\Software\\Orvendale Software\\Kelvaro"}, &status);
        QCOMPARE(status, 0);
        QVERIFY(out.contains("Kelvaro\\Profiles"));
        QVERIFY2(same(crtc::ramp(), crtc::rampOf(10)), qPrintable(hex(crtc::ramp())));
        QTest::qWait(1800); // past the splash
        QCOMPARE(profilesWindow(), QString());
        QCOMPARE(xdotool({"search", "--onlyvisible", "--name", "^(Options|About|Kelvaro)$"}), QString());
        QCOMPARE(k.terminate(), 0);
        QVERIFY2(same(crtc::ramp(), crtc::rampOf(25)), qPrintable(hex(crtc::ramp())));
    }

    void aBlackCaptureIsNeverRestored() {
        QVERIFY(crtc::setRamp(crtc::zeros())); // what a fresh server reads as
        Kelvaro k;
        k.seed("", "Desktop", "REG_DWORD", "13");
        QVERIFY(k.start());
        QVERIFY(same(crtc::ramp(), crtc::rampOf(13)));
        QCOMPARE(k.terminate(), 0);
        QVERIFY2(same(crtc::ramp(), crtc::rampOf(10)), qPrintable(hex(crtc::ramp())));
    }

    void trayGesturesAndTheWayBackToTheTray() {
        QVERIFY(crtc::setRamp(crtc::rampOf(10)));
        Kelvaro k;
        k.seed("", "Desktop", "REG_DWORD", "12");
        k.seed("", "Exit", "REG_DWORD", "0");
        k.seed("", "Hotkeys", "REG_DWORD", "0");
        k.seed("\\Profiles\\Bright", "FileName", "REG_SZ", "/bin/true");
        k.seed("\\Profiles\\Bright", "Gamma", "REG_DWORD", "25");
        QVERIFY(k.start());
        QTest::qWait(1500);
        k.clickIcon(1, 1); // a single click does nothing
        QTest::qWait(700);
        QCOMPARE(profilesWindow(), QString());
        k.clickIcon(1, 2);
        QVERIFY(waitFor([] { return !profilesWindow().isEmpty(); }, 5000));
        // Selecting the profile previews its gamma on the CRTC.
        const QString win = profilesWindow();
        xdotool({"mousemove", "--window", win, "40", "80", "click", "1"});
        QVERIFY2(waitFor([] { return same(crtc::ramp(), crtc::rampOf(25)); }, 3000), qPrintable(hex(crtc::ramp())));
        // Minimising sends it to the tray with the desktop ramp.
        xdotool({"windowminimize", win});
        QVERIFY(waitFor([] { return profilesWindow().isEmpty(); }, 5000));
        QVERIFY2(waitFor([] { return same(crtc::ramp(), crtc::rampOf(12)); }, 3000), qPrintable(hex(crtc::ramp())));
        // Back, then closing with "Exit" off keeps the program.
        k.clickIcon(1, 2);
        QVERIFY(waitFor([] { return !profilesWindow().isEmpty(); }, 5000));
        // Through the window manager, as the close box does (xdotool's windowclose would
        // destroy the window outright).
        xdotool({"windowactivate", "--sync", profilesWindow(), "key", "alt+F4"});
        QVERIFY(waitFor([] { return profilesWindow().isEmpty(); }, 5000));
        QTest::qWait(500);
        QCOMPARE(k.proc.state(), QProcess::Running);
        // A panel that restarts gets the icon again.
        const QString trayerPid = qEnvironmentVariable("KELVARO_TRAYER_PID");
        if (!trayerPid.isEmpty()) {
            ::kill(trayerPid.toInt(), SIGTERM);
            QVERIFY(waitFor([&k] { return !k.trayIcon(); }, 5000));
            QVERIFY(QProcess::startDetached("trayer", {"--edge", "top", "--align", "right", "--widthtype", "request",
                                                        "--height", "24", "--SetDockType", "true", "--transparent", "false"},
                                            QString(), &restartedTrayer));
            QVERIFY(waitFor([&k] { return k.trayIcon().has_value(); }, 10000));
            QTest::qWait(500);
            k.clickIcon(1, 2);
            QVERIFY(waitFor([] { return !profilesWindow().isEmpty(); }, 5000));
        }
        QCOMPARE(k.terminate(), 0);
    }

    void desktopGammaIsOnTheDisplayAfterStartUp() {
        Kelvaro k;
        k.seed("", "Desktop", "REG_DWORD", "13");
        QVERIFY(k.start());
        QVERIFY2(same(crtc::ramp(), crtc::rampOf(13)), qPrintable(hex(crtc::ramp())));
        QCOMPARE(k.terminate(), 0);
    }

    void splashShowsTheVersionThenGoes() {
        Kelvaro k;
        k.proc.setProcessEnvironment(k.env());
        k.proc.start(qEnvironmentVariable("KELVARO_BIN"), {});
        QVERIFY(waitFor([] { return !xdotool({"search", "--onlyvisible", "--classname", "^kelvaro$"}).isEmpty(); }, 5000));
        QString splash;
        QVERIFY(waitFor([&] {
            for (const QString& id : xdotool({"search", "--onlyvisible", "--classname", "^kelvaro$"}).split('\n', Qt::SkipEmptyParts))
                if (xdotool({"getwindowgeometry", id}).contains("304x80")) {
                    splash = id;
                    return true;
                }
            return false;
        }, 5000));
        const QString geo = xdotool({"getwindowgeometry", splash});
        QVERIFY2(geo.contains("Position: 360,344"), qPrintable(geo)); // centred on 1024 x 768
        QDir().mkpath(qEnvironmentVariable("KELVARO_BUILD") + "/screenshots");
        run("import", {"-window", "root", qEnvironmentVariable("KELVARO_BUILD") + "/screenshots/splash.png"});
        QTest::qWait(2000);
        QVERIFY(!xdotool({"search", "--onlyvisible", "--classname", "^kelvaro$"}).split('\n').contains(splash));
        QCOMPARE(k.terminate(), 0);
    }
};

QTEST_GUILESS_MAIN(DesktopTest)
#include "test_desktop.moc"
