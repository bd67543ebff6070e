// What every monitor shows and what a hot key steps, after what the windows report: one table of
// event sequences, driven through the windows' own handlers and a real launched program.
#include "Program.h"
#include "TestMain.h"

#include <csignal>

class InForceTest : public QObject {
    Q_OBJECT

    static void run(Program& p, const QString& event) {
        auto* ui = Form_Main->ui.get();
        const QString arg = event.section(':', 1);
        if (event.startsWith("launch:")) {
            Form_Main->LaunchProfile(arg);
        } else if (event == "end") {
            ::kill(LaunchedProcess.pid, SIGKILL);
            QTRY_VERIFY((Form_Main->Timer_ExitTimer(), !Form_Main->Timer_Exit->Enabled()));
        } else if (event.startsWith("select:")) {
            ui->ProfileList->setCurrentItem(Program::node(arg));
        } else if (event == "new") {
            ui->Btn_New->click();
        } else if (event.startsWith("save:")) { // save:NAME@GAMMA
            ui->Edit_ProfName->setText(arg.section('@', 0, 0));
            ui->Edit_ExecFile->setText("sleep");
            ui->Bar_Gamma->setValue(arg.section('@', 1).toInt());
            ui->Btn_Save->click();
        } else if (event.startsWith("slider:") || event.startsWith("opt:")) {
            (event[0] == 's' ? ui->Bar_Gamma : Form_Option->ui->Bar_Gamma)->setValue(arg.toInt());
        } else if (event == "options") {
            Form_Option->show();
        } else if (event == "ok" || event == "cancel") {
            (event == "ok" ? Form_Option->ui->Btn_Ok : Form_Option->ui->Btn_Cancel)->click();
        } else if (event == "follow") {
            InForce->FollowFocus(true);
        } else if (event.startsWith("active:") || event.startsWith("full:") || event == "away") {
            // The launch's processes are told from the others by the watch itself.
            QVERIFY(p.focus.ours && p.focus.ours(LaunchedProcess.pid) && !p.focus.ours(::getpid()));
            p.focus.moved(event);
        } else if (event == "tray") {
            Form_Main->TrayIconMinimize(Form_Main->TrayIcon.get());
        } else {
            QCOMPARE(event, QStringLiteral("up"));
            p.hotkey(HotkeyUp);
        }
    }

private slots:
    void eachMonitorShowsTheGammaInForce_data() {
        // The events, then every monitor's gamma, why and the profile named; what the next hot
        // key steps, as the on-screen display names it; and Ember's stored gamma.
        QTest::addColumn<QString>("row");
        // The desktop gamma, the options dialog's preview and its end.
        QTest::newRow("start") << "-> 12 desktop; Desktop; 9";
        QTest::newRow("options preview") << "options opt:20 -> 20 options; Desktop; 9";
        QTest::newRow("options cancelled") << "options opt:20 cancel -> 12 desktop; Desktop; 9";
        QTest::newRow("options kept") << "options opt:20 ok -> 20 desktop; Desktop; 9";
        QTest::newRow("desktop step from a preview")
            << "options opt:20 up -> 21 desktop; Desktop; 9";
        QTest::newRow("desktop step, dialog closed") << "up up -> 14 desktop; Desktop; 9";
        // The profiles window's preview, ended by the tray.
        QTest::newRow("selection previews") << "select:Glow -> 18 preview Glow; Desktop; 9";
        QTest::newRow("preview ends at the tray")
            << "select:Glow slider:25 tray -> 12 desktop; Desktop; 9";
        // A launch, what steps during it, and its end.
        QTest::newRow("launch") << "launch:Ember -> 9 profile Ember; Ember; 9";
        QTest::newRow("launch, another previewed")
            << "launch:Ember select:Glow -> 18 preview Glow; Glow; 9";
        QTest::newRow("launch, preview ends at the tray")
            << "launch:Ember select:Glow tray -> 9 profile Ember; Glow; 9";
        QTest::newRow("launch, new profile: the launched one steps")
            << "launch:Ember new up tray -> 10 profile Ember; Ember; 10";
        QTest::newRow("launch, selection steps")
            << "launch:Ember up -> 10 preview Ember; Ember; 10";
        QTest::newRow("launch, options closed")
            << "launch:Ember options opt:20 cancel -> 9 profile Ember; Ember; 9";
        QTest::newRow("launch ends") << "launch:Ember end -> 12 desktop; Desktop; 9";
        QTest::newRow("second launch replaces")
            << "launch:Ember launch:Glow -> 18 profile Glow; Glow; 9";
        QTest::newRow("a profile without a program previews its gamma")
            << "launch:Notes -> 15 preview Notes; Desktop; 9";
        // Names compare as the store compares them: a profile saved as "EMBER" is the running
        // Ember.
        QTest::newRow("case-variant save follows the store")
            << "launch:Ember new save:EMBER@30 tray up -> 30 profile EMBER; EMBER; 30";
        // Following the program's windows (FollowFocus): the profile where its window is active
        // or full screen, the desktop gamma elsewhere (monitors 0 | 1); the keys step what is in
        // front. Before its first window, as without the option.
        QTest::newRow("follow, no window yet")
            << "follow launch:Ember -> 9 profile Ember; Ember; 9";
        QTest::newRow("follow, active on 0")
            << "follow launch:Ember active:0 -> 9 profile Ember | 12 desktop; Ember; 9";
        QTest::newRow("follow, another window active")
            << "follow launch:Ember active:0 away -> 12 desktop; Desktop; 9";
        QTest::newRow("follow, full screen on 1, another window active")
            << "follow launch:Ember full:1 away -> 12 desktop | 9 profile Ember; Desktop; 9";
        QTest::newRow("follow, a step in front")
            << "follow launch:Ember active:1 up -> 12 desktop | 10 profile Ember; Ember; 10";
        QTest::newRow("follow, a step behind")
            << "follow launch:Ember active:1 away up -> 13 desktop; Desktop; 9";
        QTest::newRow("follow, the end")
            << "follow launch:Ember active:0 end -> 12 desktop; Desktop; 9";
    }
    void eachMonitorShowsTheGammaInForce() {
        QFETCH(QString, row);
        const QString events = row.section("->", 0, 0), expected = row.section("->", 1).trimmed();
        const QString shown = expected.section("; ", 0, 0);
        Program p;
        p.display.add("1", platform::OutputRamp(1024)); // a second monitor, another gamma size
        Program::setValue(ProgramKey, "Desktop", 12);
        Program::setValue(ProgramKey, "Exit", 0);
        Program::setValue(ProgramKey, "Hotkeys", 1);
        Program::addProfile("Ember", "sleep", 9, "30");
        Program::addProfile("Glow", "sleep", 18, "30");
        Program::addProfile("Notes", "", 15);
        p.start();
        for (const QString& event : events.split(' ', Qt::SkipEmptyParts))
            run(p, event);
        static const char* const why[] = {"desktop", "options", "profile", "preview"};
        const QStringList perOutput = shown.split(" | "); // one for both, or monitor 0 | 1
        for (const std::string output : {"0", "1"}) {
            const GammaInForce::Shown s = InForce->OnMonitor(output);
            QCOMPARE(
                QStringLiteral("%1 %2 %3").arg(s.gamma).arg(why[int(s.why)], s.profile).trimmed(),
                perOutput.value(output == "1" ? 1 : 0, perOutput[0]));
        }
        QVERIFY(p.displayShows(perOutput[0].section(' ', 0, 0).toInt()));
        QCOMPARE(p.display.find("1")->ramp,
                 platform::ResampleRamp(
                     RampForPosition(perOutput.last().section(' ', 0, 0).toInt()), 1024));
        QCOMPARE(Program::integer(ProfilesKey + "\\Ember", "Gamma"),
                 expected.section("; ", 2).toInt());
        p.hotkey(HotkeyUp);
        QCOMPARE(Form_OSD->ui->Label_Prof->text(), expected.section("; ", 1, 1));
    }
};

KELVARO_TEST_MAIN(InForceTest)
#include "test_inforce.moc"
