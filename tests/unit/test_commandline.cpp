// The command line as a user types it, and the channel through which a later start reaches
// the running copy: parsed in-process, and run as the real program against a copy this test
// plays itself (no display is ever opened).
#include "TestMain.h"
#include "app/CommandLine.h"
#include "platform/system/Instance.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

Q_DECLARE_METATYPE(CommandAction)

namespace {

struct Outcome {
    int status = -1;
    QString out, err;
    qint64 ms = 0;
};

// No display of any kind unless the row gives one.
QProcessEnvironment bareEnvironment(const QString& display) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        env.remove(QLatin1String(name));
    if (!display.isEmpty()) env.insert(QStringLiteral("DISPLAY"), display);
    return env;
}

// Runs the program while this test's event loop keeps answering as the running copy would.
Outcome kelvaro(const QStringList& args, const QString& display = QString()) {
    QProcess p;
    p.setProcessEnvironment(bareEnvironment(display));
    QElapsedTimer t;
    t.start();
    p.start(qEnvironmentVariable("KELVARO_BUILD") + QStringLiteral("/src/kelvaro"), args);
    Outcome o;
    if (!p.waitForStarted()) return o;
    while (p.state() != QProcess::NotRunning && t.elapsed() < 15000)
        QTest::qWait(10);
    o.ms = t.elapsed();
    o.status = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    o.out = QString::fromLocal8Bit(p.readAllStandardOutput());
    o.err = QString::fromLocal8Bit(p.readAllStandardError());
    return o;
}

const QString NoDisplay =
    QStringLiteral("kelvaro: cannot open the X display; Kelvaro needs a graphical session\n");
const QString NotRunning = QStringLiteral("kelvaro: Kelvaro is not running on this display\n");

} // namespace

class CommandLineTest : public QObject {
    Q_OBJECT
    QTemporaryDir runtime;
    QStringList requests;

private slots:
    void initTestCase() {
        QVERIFY(runtime.isValid());
        qputenv("XDG_RUNTIME_DIR", runtime.path().toUtf8());
        qunsetenv("WAYLAND_DISPLAY");
        qunsetenv("QT_QPA_PLATFORM"); // the key of a display this test names itself
    }

    void parse_data() {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<CommandAction>("action");
        QTest::addColumn<int>("step");
        QTest::addColumn<QString>("error");
        using A = CommandAction;
        QTest::newRow("nothing") << QStringList{} << A::Run << 0 << "";
        QTest::newRow("help") << QStringList{"--help"} << A::Help << 0 << "";
        QTest::newRow("-h") << QStringList{"-h"} << A::Help << 0 << "";
        QTest::newRow("version") << QStringList{"--version"} << A::Version << 0 << "";
        QTest::newRow("help first wins") << QStringList{"--help", "--bogus"} << A::Help << 0 << "";
        QTest::newRow("after --step")
            << QStringList{"--step", "up", "--version"} << A::Version << 0 << "";
        QTest::newRow("step up") << QStringList{"--step", "up"} << A::Step << 1 << "";
        QTest::newRow("step=down") << QStringList{"--step=down"} << A::Step << -1 << "";
        QTest::newRow("reset") << QStringList{"--reset"} << A::Reset << 0 << "";
        QTest::newRow("reset with step")
            << QStringList{"--reset", "--step", "up"} << A::BadUsage << 0
            << "kelvaro: '--step' cannot be combined with another "
               "option";
        QTest::newRow("last step counts")
            << QStringList{"--step", "up", "--step", "down"} << A::Step << -1 << "";
        QTest::newRow("unknown") << QStringList{"--bogus"} << A::BadUsage << 0
                                 << "kelvaro: unrecognized option '--bogus'";
        QTest::newRow("unknown first") << QStringList{"--bogus", "--help"} << A::BadUsage << 0
                                       << "kelvaro: unrecognized option '--bogus'";
        QTest::newRow("case matters") << QStringList{"--STEP", "up"} << A::BadUsage << 0
                                      << "kelvaro: unrecognized option '--STEP'";
        QTest::newRow("single dash")
            << QStringList{"-step"} << A::BadUsage << 0 << "kelvaro: unrecognized option '-step'";
        QTest::newRow("a file") << QStringList{"game.exe"} << A::BadUsage << 0
                                << "kelvaro: unexpected argument 'game.exe'";
        QTest::newRow("a dash") << QStringList{"-"} << A::BadUsage << 0
                                << "kelvaro: unexpected argument '-'";
        QTest::newRow("step without value") << QStringList{"--step"} << A::BadUsage << 0
                                            << "kelvaro: option '--step' needs up|down";
        QTest::newRow("step sideways") << QStringList{"--step", "sideways"} << A::BadUsage << 0
                                       << "kelvaro: option '--step' takes up|down, not 'sideways'";
        QTest::newRow("step empty") << QStringList{"--step="} << A::BadUsage << 0
                                    << "kelvaro: option '--step' takes up|down, not ''";
        QTest::newRow("value on a flag") << QStringList{"--version=2"} << A::BadUsage << 0
                                         << "kelvaro: option '--version' doesn't take a value";
    }
    void parse() {
        QFETCH(QStringList, args);
        QFETCH(CommandAction, action);
        QFETCH(int, step);
        QFETCH(QString, error);
        const Command c = ParseCommandLine(args);
        QCOMPARE(c.action, action);
        QCOMPARE(c.step, step);
        QCOMPARE(c.error, error);
    }

    void usageNamesEveryOption() {
        const QString usage = UsageText();
        QVERIFY(usage.startsWith("Usage: kelvaro [OPTION]\n"));
        for (const char* option : {"--help", "--version", "--step up|down", "--reset"})
            QVERIFY2(usage.contains(QLatin1String(option)), option);
        for (const QString& line : usage.split('\n'))
            QVERIFY2(line.size() <= 100, qPrintable(line));
    }

    // The real program, with no copy running anywhere.
    void program_data() {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("display");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("out");
        QTest::addColumn<QString>("err");
        QTest::newRow("help") << QStringList{"--help"} << "" << 0 << UsageText() << "";
        QTest::newRow("version") << QStringList{"--version"} << "" << 0 << "kelvaro 1.1.0.42\n"
                                 << "";
        QTest::newRow("bad option") << QStringList{"--bogus"} << "" << 2 << ""
                                    << "kelvaro: unrecognized option '--bogus'\n\n" + UsageText();
        QTest::newRow("no display") << QStringList{} << "" << 1 << "" << NoDisplay;
        QTest::newRow("display not there") << QStringList{} << ":4241" << 1 << "" << NoDisplay;
        QTest::newRow("step, no display")
            << QStringList{"--step", "up"} << "" << 1 << "" << NotRunning;
        QTest::newRow("step, no copy")
            << QStringList{"--step", "down"} << ":4241" << 1 << "" << NotRunning;
        QTest::newRow("reset, no display") << QStringList{"--reset"} << ":4241" << 1 << ""
                                           << "kelvaro: cannot open the display\n";
    }
    void program() {
        QFETCH(QStringList, args);
        QFETCH(QString, display);
        QFETCH(int, status);
        QFETCH(QString, out);
        QFETCH(QString, err);
        const Outcome o = kelvaro(args, display);
        QCOMPARE(o.err, err);
        QCOMPARE(o.out, out);
        QCOMPARE(o.status, status);
    }

    // This test is the running copy of display :4243; the program hands it its requests.
    void laterStartsReachTheRunningCopy_data() {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("display");
        QTest::addColumn<QString>("request");
        QTest::newRow("second start") << QStringList{} << ":4243"
                                      << "show";
        QTest::newRow("step up") << QStringList{"--step", "up"} << ":4243"
                                 << "step up";
        QTest::newRow("step down") << QStringList{"--step=down"} << ":4243"
                                   << "step down";
        QTest::newRow("other screen") << QStringList{} << ":4243.1"
                                      << "show";
        QTest::newRow("unix:") << QStringList{"--step", "up"} << "unix:4243.0"
                               << "step up";
    }
    void laterStartsReachTheRunningCopy() {
        QFETCH(QStringList, args);
        QFETCH(QString, display);
        QFETCH(QString, request);
        requests.clear();
        QCOMPARE(platform::instance::ClaimSession("x-4243"), platform::instance::Claim::Ours);
        platform::instance::Serve([this](const std::string& r) {
            requests << QString::fromStdString(r);
            return std::string("ok");
        });
        // Another start of the same session finds it taken.
        QCOMPARE(platform::instance::ClaimSession("x-4243"), platform::instance::Claim::Taken);
        const Outcome o = kelvaro(args, display);
        platform::instance::Release();
        QCOMPARE(o.err, QString());
        QCOMPARE(o.status, 0);
        QCOMPARE(requests, QStringList{request});
        QVERIFY2(o.ms < 1000, qPrintable(QString::number(o.ms)));
        // Gone with the copy.
        QCOMPARE(kelvaro({"--step", "up"}, display).err, NotRunning);
    }

    void anotherDisplayIsAnotherSession() {
        QCOMPARE(platform::instance::ClaimSession("x-4244"), platform::instance::Claim::Ours);
        platform::instance::Serve([](const std::string&) { return std::string("ok"); });
        const Outcome o = kelvaro({"--step", "up"}, ":4245");
        platform::instance::Release();
        QCOMPARE(o.status, 1);
        QCOMPARE(o.err, NotRunning);
    }

    void anAnswerOtherThanOkFails() {
        QCOMPARE(platform::instance::ClaimSession("x-4246"), platform::instance::Claim::Ours);
        platform::instance::Serve(
            [](const std::string&) { return std::string("unknown request"); });
        const Outcome o = kelvaro({"--step", "up"}, ":4246");
        platform::instance::Release();
        QCOMPARE(o.status, 1);
        QCOMPARE(o.err, "kelvaro: the running Kelvaro answered: unknown request\n");
    }

    // A copy that died left its socket behind: nobody answers there, and the next copy takes
    // the session over.
    void aDeadCopysSocketIsTakenOver() {
        const std::string path = platform::instance::SocketPath("x-4247");
        QVERIFY(path.rfind(runtime.path().toStdString() + "/kelvaro-", 0) == 0);
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        path.copy(addr.sun_path, path.size());
        QCOMPARE(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        ::close(fd);
        QCOMPARE(kelvaro({"--step", "up"}, ":4247").err, NotRunning);
        QCOMPARE(platform::instance::ClaimSession("x-4247"), platform::instance::Claim::Ours);
        platform::instance::Serve([](const std::string&) { return std::string("ok"); });
        const Outcome o = kelvaro({"--step", "up"}, ":4247");
        platform::instance::Release();
        QCOMPARE(o.status, 0);
    }

    void sessionKeys_data() {
        QTest::addColumn<QString>("display");
        QTest::addColumn<QString>("wayland");
        QTest::addColumn<QString>("key");
        QTest::newRow(":0") << ":0"
                            << ""
                            << "x-0";
        QTest::newRow(":0.1") << ":0.1"
                              << ""
                              << "x-0";
        QTest::newRow("remote") << "host.example:10.0"
                                << ""
                                << "xhost.example-10";
        QTest::newRow("wayland") << ":0"
                                 << "wayland-1"
                                 << "wl-wayland-1";
        QTest::newRow("wayland path") << ""
                                      << "/run/user/1000/wayland-0"
                                      << "wl-_run_user_1000_wayland-0";
        QTest::newRow("nothing") << ""
                                 << ""
                                 << "";
    }
    void sessionKeys() {
        QFETCH(QString, display);
        QFETCH(QString, wayland);
        QFETCH(QString, key);
        const QByteArray oldDisplay = qgetenv("DISPLAY");
        qputenv("DISPLAY", display.toUtf8());
        qputenv("WAYLAND_DISPLAY", wayland.toUtf8());
        const std::string got = platform::session::Key();
        qputenv("DISPLAY", oldDisplay);
        qunsetenv("WAYLAND_DISPLAY");
        QCOMPARE(QString::fromStdString(got), key);
    }
};

KELVARO_TEST_MAIN(CommandLineTest)
#include "test_commandline.moc"
