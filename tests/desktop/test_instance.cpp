// One running copy per display: later starts reach the copy that runs instead of adding a
// second one, and `kelvaro --step` steps its gamma as a hot key does.
#include "Crtc.h"
#include "Desktop.h"
#include "Wait.h"

#include <QDir>
#include <QFile>
#include <algorithm>
#include <cstring>

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QThread>
#include <fcntl.h>
#include <grp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// Every docked icon of ours: a 22 x 22 window of class kelvaro.
int trayIcons() {
    int n = 0;
    for (const QString& id : xdotool({"search", "--onlyvisible", "--classname", "^kelvaro$"})
                                 .split('\n', Qt::SkipEmptyParts))
        if (xdotool({"getwindowgeometry", id}).contains("Geometry: 22x22")) ++n;
    return n;
}

struct Run {
    int status = -1;
    qint64 ms = 0;
    QString err;
};

// The program started once more, as the user would, in the running copy's settings.
Run startAgain(const Kelvaro& k, const QStringList& args = {}, const QString& runtimeDir = {}) {
    QProcess p;
    QProcessEnvironment env = k.env();
    if (!runtimeDir.isEmpty()) env.insert("XDG_RUNTIME_DIR", runtimeDir);
    p.setProcessEnvironment(env);
    QElapsedTimer t;
    t.start();
    p.start(qEnvironmentVariable("KELVARO_BIN"), args);
    Run r;
    if (!p.waitForFinished(10000)) {
        p.kill();
        p.waitForFinished();
        return r;
    }
    r.ms = t.elapsed();
    r.status = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.err = QString::fromLocal8Bit(p.readAllStandardError());
    return r;
}

// This display's part of the program's file names: "x-<number>".
QString displayKey() {
    return "x-" + qEnvironmentVariable("DISPLAY").mid(1).section('.', 0, 0);
}
QString socketName() {
    return QStringLiteral("kelvaro-%1-%2.socket").arg(::getuid()).arg(displayKey());
}

// Connections that say nothing, held open until the end of the test.
struct IdleClients {
    std::vector<int> fds;
    explicit IdleClients(const QString& path, int count) {
        // More than a process has descriptors by default: this one's own limit goes up (after
        // the program started, so its limit stays the default).
        rlimit limit{};
        getrlimit(RLIMIT_NOFILE, &limit);
        limit.rlim_cur = std::max<rlim_t>(limit.rlim_cur, std::min<rlim_t>(limit.rlim_max, 4096));
        setrlimit(RLIMIT_NOFILE, &limit);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        const QByteArray p = QFile::encodeName(path);
        std::memcpy(addr.sun_path, p.constData(), size_t(p.size()));
        // Each waits its turn while the program's queue of connections is full, for as long
        // as the program goes on taking them in.
        QElapsedTimer t;
        t.start();
        for (int i = 0; i < count && t.elapsed() < 5000; ++i) {
            const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            if (fd < 0) break;
            fds.push_back(fd);
            while (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 &&
                   errno == EAGAIN && t.elapsed() < 5000)
                QThread::usleep(500);
        }
    }
    ~IdleClients() {
        for (int fd : fds)
            ::close(fd);
    }
};

// Another account (nobody) on the same machine, in a runtime folder both can write (mode 1777):
// it listens at the program's socket name and writes down what reaches it. (That such a folder
// holds no journal either is the ramp unit test's.)
class Neighbour {
public:
    QTemporaryDir folder{"/tmp/kelvaro-shared-XXXXXX"};
    ~Neighbour() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        if (heard_ >= 0) ::close(heard_);
    }
    bool plant() {
        if (::chmod(QFile::encodeName(folder.path()).constData(), 01777) != 0) return false;
        const QByteArray socketPath = QFile::encodeName(folder.path() + "/" + socketName());
        int pipeFds[2];
        if (::pipe2(pipeFds, O_CLOEXEC) != 0) return false;
        pid_ = ::fork();
        if (pid_ == 0) {
            // Only system calls from here: the test's threads did not come along.
            ::close(pipeFds[0]);
            if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0)
                ::_exit(1);
            ::umask(0);
            sockaddr_un addr{};
            addr.sun_family = AF_UNIX;
            std::memcpy(addr.sun_path, socketPath.constData(), size_t(socketPath.size()));
            const int s = ::socket(AF_UNIX, SOCK_STREAM, 0);
            if (s < 0 || ::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
                ::listen(s, 16) != 0)
                ::_exit(1);
            [[maybe_unused]] auto n = ::write(pipeFds[1], "+", 1); // ready
            for (;;) {
                const int c = ::accept(s, nullptr, nullptr);
                if (c < 0) continue;
                char buf[256];
                const ssize_t got = ::read(c, buf, sizeof buf);
                if (got > 0) n = ::write(pipeFds[1], buf, size_t(got));
                n = ::write(c, "ok\n", 3);
                ::close(c);
            }
        }
        ::close(pipeFds[1]);
        heard_ = pipeFds[0];
        char ready = 0;
        return pid_ > 0 && ::read(heard_, &ready, 1) == 1 && ready == '+';
    }
    // What the program handed the neighbour's socket.
    QByteArray heard() const {
        QByteArray out;
        ::fcntl(heard_, F_SETFL, O_NONBLOCK);
        char buf[256];
        ssize_t n;
        while ((n = ::read(heard_, buf, sizeof buf)) > 0)
            out.append(buf, n);
        return out;
    }

private:
    pid_t pid_ = -1;
    int heard_ = -1;
};

QByteArray contents(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<none>");
}

} // namespace

class InstanceTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        QVERIFY2(!qEnvironmentVariable("DISPLAY").isEmpty(), "run under scripts/with-desktop");
        QVERIFY2(!crtc::ramp().isEmpty(), "the X server has no CRTC with a gamma ramp");
    }

    // Also from where the runtime folder is another (XDG_RUNTIME_DIR unset in a terminal, su):
    // the display itself says which copy runs on it.
    void aSecondStartShowsTheRunningCopy_data() {
        QTest::addColumn<bool>("otherRuntimeDir");
        QTest::newRow("same runtime folder") << false;
        QTest::newRow("another runtime folder") << true;
    }
    void aSecondStartShowsTheRunningCopy() {
        QFETCH(bool, otherRuntimeDir);
        QTemporaryDir other; // mode 0700, this user's
        QVERIFY(crtc::setRamp(crtc::rampOf(25)));
        Kelvaro k;
        k.seedHotkeysAt(10);
        QVERIFY(k.start());
        QVERIFY(
            waitFor([] { return same(crtc::ramp(), crtc::rampOver(crtc::rampOf(25), 10)); }, 3000));
        QVERIFY(profilesWindow().isEmpty());
        const Run second = startAgain(k, {}, otherRuntimeDir ? other.path() : QString());
        QCOMPARE(second.err, QString());
        QCOMPARE(second.status, 0);
        QVERIFY2(second.ms < 1000, qPrintable(QString::number(second.ms)));
        QVERIFY(waitFor([] { return !profilesWindow().isEmpty(); }, 3000));
        QVERIFY(waitFor([] { return trayIcons() == 1; }, 3000));
        QTest::qWait(500);
        QVERIFY2(trayIcons() == 1,
                 qPrintable(run("sh", {"-c", "xwininfo -root -tree | grep -E 'kelvaro|panel'"})));
        // Only the one copy answers the hot key: one press, one tenth.
        xdotool({"key", "ctrl+alt+KP_Add"});
        QVERIFY(waitFor([&] { return k.desktopGamma() == 11; }, 2000));
        QTest::qWait(500);
        QCOMPARE(k.desktopGamma(), 11);
        QVERIFY2(same(crtc::ramp(), crtc::rampOver(crtc::rampOf(25), 11)),
                 qPrintable(hex(crtc::ramp())));
        // Quitting the one copy puts back the ramp from before it started.
        QCOMPARE(k.terminate(), 0);
        QVERIFY2(same(crtc::ramp(), crtc::rampOf(25)), qPrintable(hex(crtc::ramp())));
    }

    void twoStartsAtOnceMakeOneCopy() {
        Kelvaro k;
        k.seedHotkeysAt(10);
        QProcess other;
        other.setProcessEnvironment(k.env());
        other.start(qEnvironmentVariable("KELVARO_BIN"), QStringList());
        k.proc.setProcessEnvironment(k.env());
        k.proc.start(qEnvironmentVariable("KELVARO_BIN"), QStringList());
        // Whichever came second hands over and ends; the other one stays.
        QVERIFY(waitFor(
            [&] {
                return other.state() == QProcess::NotRunning ||
                       k.proc.state() == QProcess::NotRunning;
            },
            5000));
        QProcess& gone = other.state() == QProcess::NotRunning ? other : k.proc;
        QProcess& stays = &gone == &other ? k.proc : other;
        QCOMPARE(gone.exitCode(), 0);
        QVERIFY(waitFor([] { return trayIcons() == 1; }, 10000));
        QTest::qWait(500);
        QCOMPARE(trayIcons(), 1);
        QCOMPARE(stays.state(), QProcess::Running);
        ::kill(pid_t(stays.processId()), SIGTERM);
        QVERIFY(stays.waitForFinished(10000));
        QCOMPARE(stays.exitCode(), 0);
    }

    void stepFromTheCommandLine_data() {
        QTest::addColumn<QStringList>("steps");
        QTest::addColumn<int>("expected");
        QTest::addColumn<int>("idle"); // connections held open meanwhile, saying nothing
        QTest::newRow("up") << QStringList{"up"} << 13 << 0;
        QTest::newRow("down twice") << QStringList{"down", "down"} << 10 << 0;
        QTest::newRow("top stays") << QStringList{"up", "up", "up"} << 30 << 0;
        QTest::newRow("past 1100 idle clients") << QStringList{"up", "down"} << 12 << 1100;
    }
    void stepFromTheCommandLine() {
        QVERIFY(crtc::setRamp(crtc::rampOf(10))); // uncalibrated: the formula's ramp as it is
        QFETCH(QStringList, steps);
        QFETCH(int, expected);
        QFETCH(int, idle);
        Kelvaro k;
        const int start = expected == 30 ? 29 : 12;
        k.seedHotkeysAt(start);
        // The command line steps whether or not the hot keys themselves are on.
        k.seed("", "Hotkeys", "REG_DWORD", "0");
        // The descriptors a desktop session usually gives a process, whatever this one has.
        k.proc.setChildProcessModifier([] {
            const rlimit usual{1024, 1024};
            setrlimit(RLIMIT_NOFILE, &usual);
        });
        QVERIFY(k.start());
        IdleClients clients(qEnvironmentVariable("XDG_RUNTIME_DIR") + "/" + socketName(), idle);
        for (const QString& step : steps) {
            const Run r = startAgain(k, {"--step", step});
            QCOMPARE(r.err, QString());
            QCOMPARE(r.status, 0);
        }
        QCOMPARE(k.desktopGamma(), expected);
        QVERIFY2(same(crtc::ramp(), crtc::rampOf(expected)), qPrintable(hex(crtc::ramp())));
        QVERIFY(waitFor([] { return !osdWindow().isEmpty(); }, 1000));
        QCOMPARE(k.terminate(), 0);
        const Run after = startAgain(k, {"--step", "up"});
        QCOMPARE(after.status, 1);
        QCOMPARE(after.err, "kelvaro: Kelvaro is not running on this display\n");
    }

    // What another account or a stray file in the runtime folder may leave: the program starts
    // as the one copy all the same, never talks to a socket it doesn't own, never writes
    // through a link, never waits on a FIFO, and puts back the ramp the display had.
    void hostileNeighbours_data() {
        QTest::addColumn<QString>("plant");
        QTest::newRow("another account's socket in a shared folder") << "shared";
        QTest::newRow("a link at the journal") << "journal link";
        QTest::newRow("a FIFO at the journal") << "journal fifo";
        QTest::newRow("a link at the lock") << "lock link";
        QTest::newRow("a folder at the lock") << "lock folder";
        QTest::newRow("a runtime folder too deep for a socket") << "deep";
        QTest::newRow("started with umask 000") << "umask";
    }
    void hostileNeighbours() {
        QFETCH(QString, plant);
        QVERIFY(crtc::setRamp(crtc::rampOf(25)));
        QTemporaryDir own; // mode 0700, this user's
        const QString precious = own.path() + "/precious";
        {
            QFile f(precious);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write("mine");
        }
        const QString journalFolder = own.path() + "/kelvaro";
        const QString journal = journalFolder + "/ramps-" + displayKey();
        const QString lock = own.path() + "/" + socketName().replace(".socket", ".lock");
        Neighbour neighbour;
        Kelvaro k;
        k.seedHotkeysAt(10);
        k.extra.insert("XDG_RUNTIME_DIR", own.path());
        if (plant == "shared") {
            QVERIFY(neighbour.plant());
            k.extra.insert("XDG_RUNTIME_DIR", neighbour.folder.path());
        } else if (plant == "journal link") {
            QVERIFY(QDir().mkdir(journalFolder));
            QVERIFY(QFile::link(precious, journal));
        } else if (plant == "journal fifo") {
            QVERIFY(QDir().mkdir(journalFolder));
            QCOMPARE(::mkfifo(QFile::encodeName(journal).constData(), 0600), 0);
            // kelvaro --reset reads the journal too, and must not wait on the FIFO.
            QElapsedTimer t;
            t.start();
            int status = -1;
            run(qEnvironmentVariable("KELVARO_BIN"), {"--reset"}, &status, k.env());
            QCOMPARE(status, 0);
            QVERIFY2(t.elapsed() < 5000, qPrintable(QString::number(t.elapsed())));
            QVERIFY(crtc::setRamp(crtc::rampOf(25))); // as the test found it
        } else if (plant == "umask") {
            k.proc.setChildProcessModifier([] { ::umask(0); });
        } else if (plant == "deep") {
            // The socket's name would be longer than a socket's address can hold.
            const QString deep = own.path() + "/" + QString(100, 'd');
            QVERIFY(QDir().mkdir(deep));
            QVERIFY(QFile::setPermissions(deep,
                                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
            k.extra.insert("XDG_RUNTIME_DIR", deep);
        } else if (plant.startsWith("lock")) {
            if (plant == "lock folder")
                QVERIFY(QDir().mkdir(lock));
            else
                QVERIFY(QFile::link(own.path() + "/elsewhere", lock));
            // Whether another copy holds the session can't be known: this one says why and
            // does not start, and nothing is made where the link points.
            k.channels = QProcess::SeparateChannels;
            QVERIFY(k.launch());
            QVERIFY(k.proc.waitForFinished(10000));
            QCOMPARE(k.proc.exitCode(), 1);
            const QString err = QString::fromLocal8Bit(k.proc.readAllStandardError());
            QVERIFY2(err.contains(
                         lock + (plant == "lock folder" ? " is a folder" : " is a symbolic link")),
                     qPrintable(err));
            QVERIFY(!QFile::exists(own.path() + "/elsewhere"));
            return;
        }
        QVERIFY(k.start());
        QVERIFY2(
            waitFor([] { return same(crtc::ramp(), crtc::rampOver(crtc::rampOf(25), 10)); }, 3000),
            qPrintable(hex(crtc::ramp())));
        if (plant == "umask") {
            // Only this user may connect to the socket, whatever the umask said.
            struct stat st {};
            QCOMPARE(::stat(QFile::encodeName(own.path() + "/" + socketName()).constData(), &st),
                     0);
            QCOMPARE(st.st_mode & 0777, mode_t(0600));
        }
        if (plant == "deep") {
            // The copy that runs can't be reached: a second start names it and does not run.
            const Run second = startAgain(k);
            QCOMPARE(second.status, 1);
            QVERIFY2(second.err.contains(
                         QStringLiteral("another Kelvaro (process %1)").arg(k.proc.processId())) &&
                         second.err.contains("longer than"),
                     qPrintable(second.err));
            QCOMPARE(trayIcons(), 1);
        }
        QCOMPARE(k.terminate(), 0);
        QVERIFY2(crtc::ramp() == crtc::rampOf(25), qPrintable(hex(crtc::ramp())));
        QCOMPARE(contents(precious), QByteArray("mine"));
        QCOMPARE(neighbour.heard(), QByteArray());
    }
};

QTEST_GUILESS_MAIN(InstanceTest)
#include "test_instance.moc"
