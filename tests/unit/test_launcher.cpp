#include "Games.h"
#include "Program.h"
#include "TestMain.h"
#include "platform/process/Process.h"

#include <QDir>
#include <QMap>
#include <QProcess>
#include <QTemporaryDir>
#include <csignal>
#include <dirent.h>
#include <unistd.h>

class LauncherTest : public QObject {
    Q_OBJECT
    std::unique_ptr<Program> p;
    QTemporaryDir tmp;
    Games games;

    // A program that writes its working directory and arguments, one per line, then sleeps.
    QString recorder(const QString& name, double sleepSeconds = 0) {
        QDir().mkpath(QFileInfo(tmp.filePath(name)).absolutePath());
        const QString path = tmp.filePath(name);
        QFile f(path);
        f.open(QIODevice::WriteOnly);
        f.write(QStringLiteral("#!/bin/sh\nout=\"$KELVARO_RECORD\"\npwd > \"$out\"\nfor a in "
                               "\"$@\"; do printf '%s\\n' \"$a\" >> \"$out\"; done\n"
                               "sleep %1\n")
                    .arg(sleepSeconds)
                    .toUtf8());
        f.close();
        f.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        return path;
    }
    QStringList record() {
        QFile f(tmp.filePath("record.txt"));
        if (!f.open(QIODevice::ReadOnly)) return {};
        QStringList lines = QString::fromUtf8(f.readAll()).split('\n');
        if (!lines.isEmpty() && lines.last().isEmpty()) lines.removeLast();
        return lines;
    }
    static int openDescriptors() {
        int n = 0;
        DIR* d = opendir("/proc/self/fd");
        while (dirent* e = readdir(d))
            n += e->d_name[0] != '.';
        closedir(d);
        return n;
    }
    // Our children that ended and were never reaped, as "pid name".
    static QStringList zombieList() {
        QStringList out;
        QDir proc("/proc");
        for (const QString& pid : proc.entryList(QDir::Dirs)) {
            QFile stat("/proc/" + pid + "/stat");
            if (!stat.open(QIODevice::ReadOnly)) continue;
            const QByteArray s = stat.readAll();
            const auto tail = s.mid(s.lastIndexOf(')') + 2).split(' ');
            if (tail.size() > 2 && tail[0] == "Z" && tail[1].toInt() == getpid())
                out << pid + " " +
                           QString::fromUtf8(
                               s.mid(s.indexOf('(') + 1, s.lastIndexOf(')') - s.indexOf('(') - 1));
        }
        return out;
    }
    static int zombies() { return int(zombieList().size()); }

private slots:
    void initTestCase() { qputenv("KELVARO_RECORD", tmp.filePath("record.txt").toUtf8()); }
    void init() {
        QFile::remove(tmp.filePath("record.txt"));
        p = std::make_unique<Program>();
    }
    void cleanup() { p.reset(); }

    void splitting_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QStringList>("words");
        QTest::newRow("empty") << "" << QStringList{};
        QTest::newRow("plain") << "-level 3" << QStringList{"-level", "3"};
        QTest::newRow("blanks") << "  a \t b  " << QStringList{"a", "b"};
        QTest::newRow("double quotes") << "\"a b\" c" << QStringList{"a b", "c"};
        QTest::newRow("single quotes") << "'a \"b\" \\c'" << QStringList{"a \"b\" \\c"};
        QTest::newRow("backslash") << "a\\ b \\\"c" << QStringList{"a b", "\"c"};
        QTest::newRow("escapes in double") << "\"x\\\"y\\\\z\\n\"" << QStringList{"x\"y\\z\\n"};
        QTest::newRow("empty quotes") << "'' \"\"" << QStringList{"", ""};
        QTest::newRow("joined") << "a'b'\"c\"" << QStringList{"abc"};
        QTest::newRow("shell syntax is literal")
            << "; $(rm -rf /) `id` * $HOME |x"
            << QStringList{";", "$(rm", "-rf", "/)", "`id`", "*", "$HOME", "|x"};
        QTest::newRow("open quote runs to the end") << "a \"b c" << QStringList{"a", "b c"};
    }
    void splitting() {
        QFETCH(QString, text);
        QFETCH(QStringList, words);
        QCOMPARE(platform::SplitArguments(text), words);
    }

    void launchRunsWithLiteralArgumentsInItsFolder() {
        const QString exe = recorder("My Games/run game", 0);
        Program::addProfile("Game", exe, 14, "-level 3 \"two words\" $(id) `id` *");
        p->start();
        // From the tray menu before the profiles window was ever made.
        QVERIFY(!Form_Main->ui.Made());
        Form_Main->LaunchProfile("Game");
        QVERIFY(Form_Main->Timer_Exit->Enabled());
        QCOMPARE(Form_Main->Timer_Exit->Interval(), 1500);
        QVERIFY(p->displayShows(14));
        QTRY_COMPARE(record().size(), 7);
        QCOMPARE(record(), (QStringList{QFileInfo(exe).absolutePath(), "-level", "3", "two words",
                                        "$(id)", "`id`", "*"}));
        // The watch sees the end and puts the desktop gamma back.
        QTRY_VERIFY_WITH_TIMEOUT(!Form_Main->Timer_Exit->Enabled(), 4000);
        QVERIFY(p->displayShows(10));
        QVERIFY(LaunchedProcess.empty());
    }

    // When the watched program is gone the watch loads the desktop gamma: not the ramp the
    // display had at start-up, not the identity, not the profile's. Each of those differs here.
    // A game behind a wrapper or a launcher keeps the watch to its last process, leaving no zombie.
    void theWatchPutsTheDesktopGammaBack_data() {
        QTest::addColumn<QString>("program");
        QTest::newRow("program ends") << recorder("quick");
        QTest::newRow("program never started") << QStringLiteral("/nonexistent/dir/prog");
        for (const QString& shape : Games::shapes())
            QTest::newRow(qPrintable(shape)) << shape;
    }
    void theWatchPutsTheDesktopGammaBack() {
        QFETCH(QString, program);
        const bool game = Games::shapes().contains(program);
        if (game && !Games::missing(program).isEmpty()) QSKIP(qPrintable(Games::missing(program)));
        QString args;
        if (game) std::tie(program, args) = games.program(program);
        Program::setValue(ProgramKey, "Desktop", 13);
        Program::addProfile("Game", program, 22, args);
        p->display.ramp = RampForPosition(6); // the ramp found at start-up
        p->start();
        QVERIFY(p->displayShows(13));
        Form_Main->LaunchProfile("Game");
        QVERIFY(p->displayShows(22));
        if (game) {
            // The game's processes are the launch's (Steam's by their mark), the test's is not.
            QVERIFY(waitFor([&] { return games.started(); }, 10000));
            QProcess pgrep;
            pgrep.start("pgrep", {"-f", games.gamePattern()});
            QVERIFY(pgrep.waitForFinished());
            const QList<QByteArray> pids = pgrep.readAllStandardOutput().split('\n');
            QVERIFY(pids.size() > 1);
            for (const QByteArray& pid : pids.mid(0, pids.size() - 1))
                QVERIFY2(platform::processes().Follows(LaunchedProcess, pid.toInt()), pid);
            QVERIFY(!platform::processes().Follows(LaunchedProcess, ::getpid()));
            auto watching = [] { return Form_Main->Timer_Exit->Enabled(); };
            const qint64 back = games.endToBack(watching, [&] { return !watching(); });
            QVERIFY2(back >= 0 && back <= 1600, qPrintable(QString::number(back)));
            QVERIFY(games.over());
            QTRY_COMPARE_WITH_TIMEOUT(zombieList(), QStringList(), 3000);
        }
        QTRY_VERIFY_WITH_TIMEOUT(!Form_Main->Timer_Exit->Enabled(), 4000);
        QVERIFY2(p->displayShows(13), "the watch loaded another ramp than the desktop gamma's");
    }

    void launchByAName_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("starts");
        QTest::newRow("exact") << "Game" << true;
        QTest::newRow("other case") << "game" << false;
        QTest::newRow("missing") << "Nope" << false;
    }
    void launchByAName() {
        QFETCH(QString, name);
        QFETCH(bool, starts);
        Program::addProfile("Game", recorder("g"), 20);
        p->start();
        // Where the profile starts, a ramp written meanwhile would become the base it goes
        // onto (test_ramps has that).
        if (!starts) p->display.ramp = RampForPosition(5);
        Form_Main->LaunchProfile(name);
        QCOMPARE(Form_Main->Timer_Exit->Enabled(), starts);
        // Without a match nothing is selected and the slider stays at 10, so no ramp is
        // loaded: the display keeps the one it had.
        QVERIFY(p->displayShows(starts ? 20 : 5));
        QCOMPARE(Form_Main->ui->ProfileList->currentItem() != nullptr, starts);
    }

    void noExecutableStartsNothing() {
        Program::addProfile("Empty", QString(), 18);
        p->start();
        Form_Main->LaunchProfile("Empty");
        QVERIFY(!Form_Main->Timer_Exit->Enabled());
        QVERIFY(p->displayShows(18)); // its ramp stays
    }

    void launchUnsavedEditsUseTheStoredProfile() {
        Program::addProfile("Game", recorder("g"), 12, "stored");
        p->start();
        Form_Main->show();
        Form_Main->ui->ProfileList->setCurrentItem(Program::node("Game"));
        Form_Main->ui->Edit_Arg->setText("edited");
        Form_Main->ui->Bar_Gamma->setValue(25);
        Form_Main->ui->Btn_Launch->click();
        QTRY_COMPARE(record().value(1), QStringLiteral("stored"));
        QVERIFY(p->displayShows(12));
    }

    // The user is told once which program and why; the watch runs its course as for a
    // program that ended at once.
    void missingProgramEndsTheWatchAtTheFirstTick() {
        Program::addProfile("Gone", "/nonexistent/dir/prog", 17);
        p->start();
        Form_Main->LaunchProfile("Gone");
        QVERIFY(Form_Main->Timer_Exit->Enabled());
        QVERIFY(LaunchedProcess.empty());
        QVERIFY(p->displayShows(17));
        QTRY_VERIFY_WITH_TIMEOUT(!Form_Main->Timer_Exit->Enabled(), 3000);
        QVERIFY(p->displayShows(10));
        QCOMPARE(p->prompts.boxes.size(), 1u);
        QCOMPARE(p->prompts.boxes[0].text,
                 "Cannot start /nonexistent/dir/prog: No such file or directory.");
        QVERIFY(p->errors.isEmpty());
    }

    void secondLaunchReplacesTheWatch() {
        Program::addProfile("Long", recorder("long", 2.5), 15);
        Program::addProfile("Short", recorder("short", 0.5), 25);
        p->start();
        Form_Main->LaunchProfile("Long");
        const auto first = LaunchedProcess;
        Form_Main->LaunchProfile("Short");
        QVERIFY(LaunchedProcess.pid != first.pid);
        QVERIFY(p->displayShows(25));
        QTRY_VERIFY_WITH_TIMEOUT(!Form_Main->Timer_Exit->Enabled(), 4000);
        QVERIFY(p->displayShows(10));
        // The first program is reaped when it ends: no zombie left behind.
        QTRY_COMPARE_WITH_TIMEOUT(zombies(), 0, 5000);
    }

    void relativeProgramPathMeansTheStartingFolder() {
        const QString exe = recorder("games/run.sh");
        const QString before = QDir::currentPath();
        QVERIFY(QDir::setCurrent(tmp.path()));
        Program::addProfile("Rel", "games/run.sh", 12, "a");
        p->start();
        Form_Main->LaunchProfile("Rel");
        QDir::setCurrent(before);
        QVERIFY(!LaunchedProcess.empty());
        // Started in its own folder, the one the name meant from where we were started.
        QTRY_COMPARE(record(), (QStringList{QFileInfo(exe).absolutePath(), "a"}));
    }

    void unreadableProfileIsNotLaunched_data() {
        QTest::addColumn<QString>("value");
        QTest::addColumn<QString>("error");
        QTest::newRow("gamma as text") << "Gamma"
                                       << "Invalid data type for 'Gamma'";
        QTest::newRow("args as number") << "Args"
                                        << "Invalid data type for 'Args'";
    }
    void unreadableProfileIsNotLaunched() {
        QFETCH(QString, value);
        QFETCH(QString, error);
        Program::addProfile("Bad", recorder("bad"), 20, "x");
        const QString key = ProfilesKey + "\\Bad";
        if (value == "Gamma")
            Program::setValue(key, value, QStringLiteral("1"));
        else
            Program::setValue(key, value, 7);
        p->start();
        Form_Main->LaunchProfile("Bad");
        QCOMPARE(p->errors.size(), 1);
        QVERIFY2(p->errors.first().startsWith(error), qPrintable(p->errors.first()));
        // The error ends the launch: nothing started, no watch.
        QVERIFY(LaunchedProcess.empty());
        QVERIFY(!Form_Main->Timer_Exit->Enabled());
    }

    void exitStatusOfNormalAndSignalledEnds() {
        auto& procs = platform::processes();
        auto h = procs.CreateProcess("/bin/sh", "-c 'exit 7'", QString());
        QVERIFY(!h.empty());
        std::uint32_t code = 0;
        // The first query that sees the end also reaps: ask once per round.
        auto ended = [&] {
            return procs.GetExitCodeProcess(h, &code) && code != platform::STILL_ACTIVE;
        };
        bool done = false;
        QTRY_VERIFY(done || (done = ended()));
        QCOMPARE(code, 7u);
        procs.CloseHandle(h);
        h = procs.CreateProcess("sleep", "30", QString()); // found through PATH
        QVERIFY(!h.empty());
        QVERIFY(procs.GetExitCodeProcess(h, &code));
        QCOMPARE(code, platform::STILL_ACTIVE);
        ::kill(h.pid, SIGKILL);
        done = false;
        QTRY_VERIFY(done || (done = ended()));
        QCOMPARE(code, 128u + SIGKILL);
        procs.CloseHandle(h);
        QVERIFY(!procs.GetExitCodeProcess({}, &code)); // a failed query
    }

    void childStartsCleanInItsOwnSession() {
        // cp reads its own status: what our start gave it, with no shell in between.
        const QString status = tmp.filePath("status.txt");
        auto h = platform::processes().CreateProcess(
            "/bin/cp", "/proc/self/status '" + status + "'", QString());
        QVERIFY(!h.empty());
        QTRY_VERIFY(QFileInfo(status).size() > 0);
        QTest::qWait(100);
        QFile f(status);
        QVERIFY(f.open(QIODevice::ReadOnly));
        QMap<QString, QString> fields;
        for (const QString& line : QString::fromUtf8(f.readAll()).split('\n'))
            fields[line.section(':', 0, 0)] = line.section(':', 1).trimmed();
        QCOMPARE(fields["SigBlk"], QStringLiteral("0000000000000000"));
        QCOMPARE(fields["NSsid"], fields["Pid"]); // a session of its own
        // Default dispositions, but for glibc's two internal signals (32, 33), which its
        // posix_spawn always leaves ignored in the child.
        QCOMPARE(fields["SigIgn"].toULongLong(nullptr, 16) & ~0x180000000ull, 0ull);
        platform::processes().Release(h);

        // None of our descriptors: find lists its own; past 0, 1 and 2 it holds only the
        // listing it writes and the folder it reads.
        const QString listing = tmp.filePath("fds.txt");
        h = platform::processes().CreateProcess(
            "/usr/bin/find", "/proc/self/fd/ -mindepth 1 -fprintf '" + listing + "' '%f -> %l\\n'",
            QString());
        QVERIFY(!h.empty());
        struct Release {
            platform::ProcessHandle h;
            ~Release() { platform::processes().Release(h); }
        } release{h};
        std::uint32_t code = platform::STILL_ACTIVE;
        QTRY_VERIFY(!platform::processes().GetExitCodeProcess(h, &code) ||
                    code != platform::STILL_ACTIVE);
        QFile fds(listing);
        QVERIFY(fds.open(QIODevice::ReadOnly));
        const QStringList lines = QString::fromUtf8(fds.readAll()).split('\n', Qt::SkipEmptyParts);
        QVERIFY(lines.size() >= 3);
        for (const QString& line : lines) {
            const int fd = line.section(" -> ", 0, 0).toInt();
            const QString target = line.section(" -> ", 1);
            if (fd <= 2) continue;
            // find also keeps the folder it started in, to return to.
            QVERIFY2(target == listing || target.startsWith("/proc/") ||
                         target == QDir::currentPath(),
                     qPrintable(line));
        }
    }

    void manyLaunchesLeakNothing() {
        Program::addProfile("T", "/bin/true", 10);
        p->start();
        const int fds = openDescriptors();
        for (int i = 0; i < 300; ++i)
            Form_Main->LaunchProfile("T");
        QTRY_VERIFY_WITH_TIMEOUT(!Form_Main->Timer_Exit->Enabled(), 5000);
        QTRY_COMPARE_WITH_TIMEOUT(zombieList(), QStringList(), 10000);
        QTRY_VERIFY_WITH_TIMEOUT(openDescriptors() <= fds, 10000); // none left open by us
    }

    // ---- Hot keys ----

    // What the display and the tray icon say follows what the outputs took: a display whose
    // outputs all refused the ramp shows the value as not set.
    void hotkeyStepsTheDesktopOutsideAWatch_data() {
        QTest::addColumn<bool>("refusing");
        QTest::addColumn<QString>("shown");
        QTest::addColumn<QString>("tooltip");
        QTest::newRow("taken") << false << "Gamma - 1.1"
                               << "Kelvaro";
        QTest::newRow("refused") << true << "Gamma - 1.1 (not set)"
                                 << "Kelvaro - the gamma is not set: no display takes it";
    }
    void hotkeyStepsTheDesktopOutsideAWatch() {
        QFETCH(bool, refusing);
        QFETCH(QString, shown);
        QFETCH(QString, tooltip);
        Program::setValue(ProgramKey, "Hotkeys", 1);
        Program::setValue(ProgramKey, "Exit", 0);
        p->start();
        // The compositor refuses after start-up (and says its outputs changed): the next step
        // tells.
        p->display.refusing = refusing;
        if (p->display.changed) p->display.changed();
        p->hotkey(1);
        QCOMPARE(Form_Option->ui->Bar_Gamma->value(), 11);
        QCOMPARE(Program::integer(ProgramKey, "Desktop"), 11);
        QCOMPARE(InForce->Desktop(), 11);
        QCOMPARE(p->displayShows(11), !refusing);
        QCOMPARE(Form_OSD->ui->Label_Prof->text(), QStringLiteral("Desktop"));
        QCOMPARE(Form_OSD->ui->Label_Gamma->text(), shown);
        QCOMPARE(p->area.calls.back().data.tip(), tooltip);
        QVERIFY(!Form_OSD->ui->Image_Icon->pixmap().isNull());
        QVERIFY(Form_OSD->isVisible());
        QCOMPARE(Form_OSD->pos(),
                 QPoint(0, 0) + QPoint((Form_OSD->screen()->geometry().width() - 208) / 2,
                                       (Form_OSD->screen()->geometry().height() - 56) / 2));
        QTRY_VERIFY_WITH_TIMEOUT(!Form_OSD->isVisible(), 2000);
    }

    void hotkeyStepsTheSelectedProfileDuringAWatch() {
        Program::setValue(ProgramKey, "Hotkeys", 1);
        Program::setValue(ProgramKey, "Exit", 0);
        Program::addProfile("Game", recorder("g", 3), 15, QString(),
                            qEnvironmentVariable("KELVARO_FIXTURES") + "/red.ico");
        Program::addProfile("Other", "/bin/true", 20);
        p->start();
        Form_Main->LaunchProfile("Game");
        p->hotkey(2);
        QCOMPARE(Program::integer(ProfilesKey + "\\Game", "Gamma"), 14);
        QVERIFY(p->displayShows(14));
        QCOMPARE(Form_OSD->ui->Label_Prof->text(), QStringLiteral("Game"));
        QCOMPARE(Form_OSD->ui->Label_Gamma->text(), QStringLiteral("Gamma - 1.4"));
        QCOMPARE(Form_OSD->ui->Image_Icon->pixmap().toImage().pixelColor(16, 16), QColor(Qt::red));
        QCOMPARE(Program::integer(ProgramKey, "Desktop"), std::nullopt);
        // Another profile selected: that one is stepped.
        Form_Main->ui->ProfileList->setCurrentItem(Program::node("Other"));
        p->hotkey(1);
        QCOMPARE(Program::integer(ProfilesKey + "\\Other", "Gamma"), 21);
        QCOMPARE(Program::integer(ProfilesKey + "\\Game", "Gamma"), 14);
        // No selection: the launched profile is stepped.
        Form_Main->ui->ProfileList->setCurrentItem(nullptr);
        p->hotkey(1);
        QCOMPARE(Program::integer(ProfilesKey + "\\Game", "Gamma"), 15);
        QVERIFY(p->displayShows(15));
        QCOMPARE(Form_OSD->ui->Label_Prof->text(), QStringLiteral("Game"));
    }

    void hotkeyAtTheEndsOfTheRange() {
        Program::setValue(ProgramKey, "Hotkeys", 1);
        Program::setValue(ProgramKey, "Exit", 0);
        Program::setValue(ProgramKey, "Desktop", 30);
        p->start();
        p->display.applied.clear();
        p->hotkey(1);
        QCOMPARE(Program::integer(ProgramKey, "Desktop"), 30);
        QCOMPARE(Form_OSD->ui->Label_Gamma->text(), QStringLiteral("Gamma - 3.0"));
        // The value shown is loaded again: a preview may have been on the display.
        QCOMPARE(p->display.applied, std::vector<GammaRamp>{RampForPosition(30)});
        Program::setValue(ProgramKey, "Desktop", 5);
        Form_Option->ui->Bar_Gamma->setValue(3);
        p->hotkey(2);
        QCOMPARE(Program::integer(ProgramKey, "Desktop"), 3);
        QCOMPARE(Form_OSD->ui->Label_Gamma->text(), QStringLiteral("Gamma - 0.3"));
    }

    // Every moment that loads a ramp loads the gamma in force, and a step starts from the value
    // the user sees. Steps: launch:NAME, mark (forget the ramps loaded so far), up, down,
    // options:N (the dialog open, its slider moved to N), cancel, close (the profiles window
    // to the tray), select:NAME, new.
    void everyMomentLoadsTheGammaInForce_data() {
        QTest::addColumn<int>("desktop");
        QTest::addColumn<QString>("steps");
        QTest::addColumn<int>("shown");      // the position on the display at the end
        QTest::addColumn<int>("loads");      // ramps loaded since "mark"; -1: not counted
        QTest::addColumn<QString>("stored"); // "Name=N" or "Desktop=N"
        QTest::newRow("a launch at 1.0 over a desktop at 1.3")
            << 13 << "mark launch:Neutral" << 10 << 1 << "";
        QTest::newRow("...and a hot key steps it")
            << 13 << "launch:Neutral up" << 11 << -1 << "Neutral=11";
        QTest::newRow("a second launch shows nothing between")
            << 10 << "launch:Game mark launch:Game" << 20 << 1 << "";
        QTest::newRow("a hot key at the end loads what it shows")
            << 3 << "select:Game down" << 3 << -1 << "Desktop=3";
        QTest::newRow("options cancelled: the step starts from the stored gamma")
            << 10 << "options:13 cancel up" << 11 << -1 << "Desktop=11";
        QTest::newRow("options cancelled during a watch")
            << 10 << "launch:Game options:13 cancel" << 20 << -1 << "";
        QTest::newRow("profiles window to the tray during a watch")
            << 10 << "launch:Game select:Neutral close" << 20 << -1 << "";
        QTest::newRow("a step during a watch with New selected")
            << 10 << "launch:Game new up" << 21 << -1 << "Game=21";
    }
    void everyMomentLoadsTheGammaInForce() {
        QFETCH(int, desktop);
        QFETCH(QString, steps);
        QFETCH(int, shown);
        QFETCH(int, loads);
        QFETCH(QString, stored);
        Program::setValue(ProgramKey, "Hotkeys", 1);
        Program::setValue(ProgramKey, "Exit", 0);
        Program::setValue(ProgramKey, "Desktop", desktop);
        Program::addProfile("Game", recorder("g", 5), 20);
        Program::addProfile("Neutral", recorder("n", 5), 10);
        p->start();
        Form_Main->show();
        std::size_t mark = 0;
        for (const QString& step : steps.split(' ')) {
            const QString arg = step.section(':', 1);
            if (step == "mark")
                mark = p->display.applied.size();
            else if (step.startsWith("launch:"))
                Form_Main->LaunchProfile(arg);
            else if (step == "up" || step == "down")
                p->hotkey(step == "up" ? HotkeyUp : HotkeyDown);
            else if (step.startsWith("options:")) {
                Form_Option->show();
                Form_Option->ui->Bar_Gamma->setValue(arg.toInt());
            } else if (step == "cancel")
                Form_Option->ui->Btn_Cancel->click();
            else if (step == "close")
                Form_Main->close();
            else if (step.startsWith("select:"))
                Form_Main->ui->ProfileList->setCurrentItem(Program::node(arg));
            else if (step == "new")
                Form_Main->ui->Btn_New->click();
        }
        QVERIFY2(p->displayShows(shown), qPrintable(steps));
        if (loads >= 0) QCOMPARE(p->display.applied.size() - mark, std::size_t(loads));
        const QString name = stored.section('=', 0, 0);
        if (!stored.isEmpty())
            QCOMPARE(name == "Desktop" ? Program::integer(ProgramKey, name)
                                       : Program::integer(ProfilesKey + "\\" + name, "Gamma"),
                     stored.section('=', 1).toInt());
        // Nothing writes a key for a profile that was never saved.
        QCOMPARE(Program::profileNames(), (QStringList{"Game", "Neutral"}));
    }

    void otherMessagesPassUntouched() {
        Program::setValue(ProgramKey, "Hotkeys", 1);
        Program::setValue(ProgramKey, "Exit", 0);
        p->start();
        for (TMessage m : {TMessage{0, WM_HOTKEY, 3, 0, 0}, TMessage{0, WM_USER, 1, 0, 0}}) {
            bool handled = false;
            Form_Main->AppMessage(m, handled);
            QVERIFY(!handled);
        }
        QCOMPARE(Program::integer(ProgramKey, "Desktop"), std::nullopt);
        bool handled = false;
        TMessage m{0, WM_HOTKEY, 1, 0, 0};
        Form_Main->AppMessage(m, handled);
        QVERIFY(handled);
    }

    void hotkeyWhileTheOptionsDialogIsOpen() {
        Program::setValue(ProgramKey, "Hotkeys", 1);
        Program::setValue(ProgramKey, "Exit", 0);
        p->start();
        Form_Option->show();
        p->hotkey(1);
        QCOMPARE(Form_Option->ui->Bar_Gamma->value(), 11);
        QCOMPARE(Form_Option->ui->Label1->text(), QStringLiteral("Desktop Gamma - 1.1"));
        QCOMPARE(Program::integer(ProgramKey, "Desktop"), 11);
        Form_Option->close();
    }
};

KELVARO_TEST_MAIN(LauncherTest)
#include "test_launcher.moc"
