// A smoke test under real sway (headless, under scripts/with-sway): the program finds the
// compositor's gamma-control manager, is refused (headless outputs have no gamma tables), says
// so once, and runs on, as an X client on Xwayland and as a native Wayland client. sway has no
// portal for global shortcuts: the X client keeps its X hot keys (they miss keys pressed in
// Wayland windows), and both are told once the lines that bind the step command in sway.
#include "Desktop.h"

#include <QTemporaryDir>

namespace {

struct Run {
    int status = -99;
    QString err;
};

// Starts the program on the given Qt platform, lets it settle, then ends it with SIGTERM.
Run startAndTerminate(const QString& qtPlatform) {
    QTemporaryDir config;
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("XDG_CONFIG_HOME", config.path());
    env.remove("QT_QPA_PLATFORM");
    if (!qtPlatform.isEmpty()) env.insert("QT_QPA_PLATFORM", qtPlatform);
    // The hot keys on.
    for (const auto& [name, value] : {std::pair{"Hotkeys", "1"}, std::pair{"Exit", "0"}})
        run(qEnvironmentVariable("KELVARO_REG"),
            {"add", "HKCU\\Software\\Orvendale Software\\Kelvaro", "/v", name, "/t", "REG_DWORD",
             "/d", value, "/f"},
            nullptr, env);
    p.setProcessEnvironment(env);
    p.start(qEnvironmentVariable("KELVARO_BIN"), {});
    Run r;
    if (!p.waitForStarted()) return r;
    QString err;
    waitFor(
        [&] {
            p.waitForReadyRead(50);
            err += QString::fromLocal8Bit(p.readAllStandardError());
            return err.contains("kelvaro:") || p.state() != QProcess::Running;
        },
        10000);
    QTest::qWait(1500); // the splash comes and goes; nothing more is said
    if (p.state() == QProcess::Running) ::kill(pid_t(p.processId()), SIGTERM);
    if (!p.waitForFinished(10000)) {
        p.kill();
        p.waitForFinished();
        return r;
    }
    r.err = err + QString::fromLocal8Bit(p.readAllStandardError());
    r.status = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    return r;
}

} // namespace

class SwayTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() {
        QVERIFY2(!qEnvironmentVariable("WAYLAND_DISPLAY").isEmpty(), "run under scripts/with-sway");
    }

    void refusedGammaIsToldOnce_data() {
        QTest::addColumn<QString>("qtPlatform");
        QTest::addColumn<int>("hotkeysNotice");
        QTest::newRow("X client on Xwayland") << QString() << 1;
        QTest::newRow("native Wayland client") << QStringLiteral("wayland") << 1;
    }
    void refusedGammaIsToldOnce() {
        QFETCH(QString, qtPlatform);
        QFETCH(int, hotkeysNotice);
        const Run r = startAndTerminate(qtPlatform);
        QVERIFY2(r.status == 0, qPrintable(r.err));
        QCOMPARE(r.err.count("does not let Kelvaro change the gamma of"), 1);
        QCOMPARE(r.err.count("bindsym Ctrl+Alt+KP_Subtract exec " +
                             qEnvironmentVariable("KELVARO_BIN") + " --step down"),
                 hotkeysNotice);
    }
};

QTEST_GUILESS_MAIN(SwayTest)
#include "test_sway.moc"
