#include "Program.h"

#include "TestMain.h"
#include "platform/Version.h"

#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>

class FormsTest : public QObject {
    Q_OBJECT
    std::unique_ptr<Program> p;

    static void seedDisplay(Program& prog, int position) {
        prog.display.ramp = RampForPosition(position);
    }

private slots:
    void init() { p = std::make_unique<Program>(); }
    void cleanup() { p.reset(); }

    // ---- Start-up and shutdown ----

    void firstStart() {
        seedDisplay(*p, 7);
        p->start();
        QVERIFY(TRegistry().KeyExists(ProgramKey));
        QVERIFY(TRegistry().KeyExists(ProfilesKey));
        QVERIFY(!Form_Main->ExitOnClose);
        QVERIFY(!Form_Main->HotkeysEnabled);
        QVERIFY(p->keys.log.isEmpty()); // neither hot-key call when the options can't be read
        QCOMPARE(Form_Main->StartupRamp, RampForPosition(7));
        QCOMPARE(Form_Main->DesktopRamp, RampForPosition(10));
        QVERIFY(p->displayShows(10));
        QCOMPARE(Form_Main->TrayIcon->RestoreOn, imDoubleClick);
        QCOMPARE(Form_Main->TrayIcon->PopupMenuOn, imRightClickUp);
        QCOMPARE(Form_Main->TrayIcon->Hint(), QStringLiteral("Kelvaro"));
        QCOMPARE(p->area.calls.front().message, NIM_ADD);
        QVERIFY(!Form_Main->isVisible());
        QVERIFY(Form_Splash->isVisible());
        QVERIFY(!Form_Option->isVisible() && !Form_About->isVisible() && !Form_OSD->isVisible());
        QCOMPARE(Application->MainForm.data(), static_cast<QWidget*>(Form_Main));
        // The windows' controls wait until they are first needed, and come from the layout.
        QVERIFY(!Form_Main->ui.Made() && !Form_Option->ui.Made() && !Form_About->ui.Made());
        Form_Main->ui.get();
        QCOMPARE(Form_Main->windowTitle(), QStringLiteral("Kelvaro - Profiles"));
        QCOMPARE(Form_Main->size(), QSize(465, 289));
    }

    void loadOptionsFlags_data() {
        QTest::addColumn<int>("exitValue");
        QTest::addColumn<int>("hotkeysValue");
        QTest::addColumn<bool>("exitFlag");
        QTest::addColumn<bool>("hotkeysFlag");
        QTest::addColumn<QStringList>("calls");
        QTest::newRow("exit only") << 1 << -1 << false << false << QStringList{};
        QTest::newRow("both on") << 1 << 1 << true << true
                                 << QStringList{"register 1 3 6b", "register 2 3 6d"};
        QTest::newRow("hotkeys off")
            << 0 << 0 << false << false << QStringList{"unregister 1", "unregister 2"};
        QTest::newRow("non-zero is true")
            << 5 << 2 << true << true << QStringList{"register 1 3 6b", "register 2 3 6d"};
    }
    void loadOptionsFlags() {
        QFETCH(int, exitValue);
        QFETCH(int, hotkeysValue);
        QFETCH(bool, exitFlag);
        QFETCH(bool, hotkeysFlag);
        QFETCH(QStringList, calls);
        if (exitValue >= 0) Program::setValue(ProgramKey, "Exit", exitValue);
        if (hotkeysValue >= 0) Program::setValue(ProgramKey, "Hotkeys", hotkeysValue);
        p->start();
        QCOMPARE(Form_Main->ExitOnClose, exitFlag);
        QCOMPARE(Form_Main->HotkeysEnabled, hotkeysFlag);
        QCOMPARE(p->keys.log, calls);
        QCOMPARE(bool(Application->OnMessage), hotkeysFlag);
    }

    void quitLoadsTheStartupRamp() {
        seedDisplay(*p, 25);
        Program::setValue(ProgramKey, "Desktop", 13);
        p->start();
        QVERIFY(p->displayShows(13));
        Form_Main->QuitSequence();
        QVERIFY(p->displayShows(25));
        QVERIFY(Application->Terminated());
    }

    void noTrayInTimeEndsWithTheStartupRamp() {
        seedDisplay(*p, 25);
        Program::setValue(ProgramKey, "Desktop", 13);
        p->start();
        QVERIFY(p->displayShows(13));
        p->area.OnAddFailed(Form_Main->TrayIcon->IconData());
        QCOMPARE(p->errors, QStringList{"Cannot Create System Shell Notification Icon."});
        QVERIFY(p->displayShows(25));
        QVERIFY(Application->Terminated());
    }

    void quitAfterAZeroCaptureLoadsIdentity() {
        p->display.ramp = GammaRamp{}; // a fresh X server reads as zeros
        Program::setValue(ProgramKey, "Desktop", 13);
        p->start();
        Form_Main->QuitSequence();
        QVERIFY(p->displayShows(10));
    }

    void closeWithExitOffGoesToTheTray() {
        seedDisplay(*p, 20);
        p->start();
        Form_Main->show();
        Form_Main->ui->Bar_Gamma->setEnabled(true);
        Form_Main->ui->Bar_Gamma->setValue(25); // some preview on the display
        QVERIFY(!Form_Main->close());
        QVERIFY(!Form_Main->isVisible());
        QVERIFY(p->displayShows(10)); // the desktop ramp
    }

    void closeWithExitOnQuits() {
        seedDisplay(*p, 20);
        Program::setValue(ProgramKey, "Exit", 1);
        Program::setValue(ProgramKey, "Hotkeys", 0);
        p->start();
        Form_Main->show();
        Form_Main->close();
        QVERIFY(p->displayShows(20));
        QVERIFY(Application->Terminated());
    }

    void minimiseGoesToTheTray() {
        p->start();
        Form_Main->show();
        p->display.ramp = RampForPosition(4);
        Form_Main->setWindowState(Qt::WindowMinimized);
        QTRY_VERIFY(!Form_Main->isVisible());
        QVERIFY(p->displayShows(10));
    }

    void trayDoubleClickRestores() {
        p->start();
        TMessage m{Form_Main->TrayIcon->Handle(), WM_USER + 1, 0, WM_LBUTTONDBLCLK, 0};
        m.LParam = WM_LBUTTONUP; // a single click does nothing
        Application->SendMessage(m);
        QVERIFY(!Form_Main->isVisible());
        m.LParam = WM_RBUTTONDBLCLK;
        Application->SendMessage(m);
        QVERIFY(Form_Main->isVisible());
    }

    void errorBoxText_data() {
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("shown");
        QTest::newRow("letter") << "No tray"
                                << "No tray.";
        QTest::newRow("quote") << "Failed to set data for 'X'"
                               << "Failed to set data for 'X'";
        QTest::newRow("digit") << "code 5"
                               << "code 5.";
        QTest::newRow("question") << "what?"
                                  << "what?.";
        QTest::newRow("full stop") << "done."
                                   << "done.";
        QTest::newRow("bang") << "stop!"
                              << "stop!";
        QTest::newRow("paren") << "(x)"
                               << "(x)";
        QTest::newRow("blank") << "end "
                               << "end ";
        QTest::newRow("empty") << ""
                               << "";
    }
    void errorBoxText() {
        QFETCH(QString, message);
        QFETCH(QString, shown);
        QCOMPARE(TApplication::ErrorText(message), shown);
    }

    void trayAddFailureEndsStartUp() {
        p->area.fail = true;
        try {
            p->start();
            QFAIL("start-up went on");
        } catch (const EOutOfResources& e) {
            QCOMPARE(QString::fromUtf8(e.what()),
                     QStringLiteral("Cannot Create System Shell Notification Icon"));
        }
        QVERIFY(Form_Main == nullptr);
    }

    // ---- Options dialog ----

    void optionsFirstShow() {
        p->start();
        Form_Option->show();
        QVERIFY(!Form_Option->ui->Check_AutoStart->isChecked());
        QVERIFY(!Form_Option->ui->Check_Exit->isChecked());
        QVERIFY(!Form_Option->ui->Check_Hotkey->isChecked());
        QCOMPARE(Form_Option->ui->Label1->text(), QStringLiteral("Desktop Gamma - 1.0"));
        QCOMPARE(Form_Main->TrayIcon->RestoreOn, imNone);
        // The restore gesture is off while the dialog is open.
        Application->SendMessage(
            {Form_Main->TrayIcon->Handle(), WM_USER + 1, 0, WM_LBUTTONDBLCLK, 0});
        QVERIFY(!Form_Main->isVisible());
        Form_Option->ui->Bar_Gamma->setValue(17);
        QVERIFY(p->displayShows(17));
        Form_Option->ui->Btn_Cancel->click();
        QVERIFY(!Form_Option->isVisible());
        QVERIFY(p->displayShows(10));
        QCOMPARE(Form_Main->TrayIcon->RestoreOn, imDoubleClick);
        QCOMPARE(Program::integer(ProgramKey, "Desktop"), std::nullopt);
        // The slider keeps the position it was left at until the next show.
        QCOMPARE(Form_Option->ui->Bar_Gamma->value(), 17);
        Form_Option->show();
        QCOMPARE(Form_Option->ui->Bar_Gamma->value(), 10);
        Form_Option->close();
    }

    void optionsOkStoresAndTakesEffect() {
        p->start();
        Form_Option->show();
        Form_Option->ui->Bar_Gamma->setValue(13);
        Form_Option->ui->Check_Exit->setChecked(true);
        Form_Option->ui->Check_Hotkey->setChecked(true);
        Form_Option->ui->Check_AutoStart->setChecked(true);
        Form_Option->ui->Btn_Ok->click();
        QVERIFY(!Form_Option->isVisible());
        QCOMPARE(Program::integer(ProgramKey, "Desktop"), 13);
        QCOMPARE(Program::integer(ProgramKey, "Exit"), 1);
        QCOMPARE(Program::integer(ProgramKey, "Hotkeys"), 1);
        QVERIFY(Form_Main->ExitOnClose && Form_Main->HotkeysEnabled);
        QCOMPARE(p->keys.registered, (std::vector<int>{1, 2}));
        QCOMPARE(Form_Main->DesktopRamp, RampForPosition(13));
        QVERIFY(p->displayShows(13));
        QCOMPARE(Form_Option->ui->Label1->text(), QStringLiteral("Desktop Gamma - 1.3"));
        QCOMPARE(Program::text(RunKey, RunValueName), QCoreApplication::applicationFilePath());
        // Unticking turns them off again.
        Form_Option->show();
        QVERIFY(Form_Option->ui->Check_AutoStart->isChecked());
        Form_Option->ui->Check_Hotkey->setChecked(false);
        Form_Option->ui->Check_AutoStart->setChecked(false);
        Form_Option->ui->Btn_Ok->click();
        QVERIFY(p->keys.registered.empty());
        QVERIFY(!Application->OnMessage);
        QVERIFY(!TRegistry().OpenKey(RunKey, false) || !([] {
            TRegistry r;
            r.OpenKey(RunKey, false);
            return r.ValueExists(RunValueName);
        })());
    }

    void optionsDesktopOfAnotherType() {
        Program::setValue(ProgramKey, "Desktop", QStringLiteral("13"));
        p->start();
        QCOMPARE(Form_Option->ui->Bar_Gamma->value(), 10);
        QCOMPARE(Form_Main->DesktopRamp, RampForPosition(10));
        Form_Option->show();
        QCOMPARE(Form_Option->ui->Bar_Gamma->value(), 10);
        Form_Option->close();
    }

    void optionsDesktopOutOfRangeIsClamped() {
        Program::setValue(ProgramKey, "Desktop", 99);
        p->start();
        QCOMPARE(Form_Option->ui->Bar_Gamma->value(), 30);
        QCOMPARE(Form_Main->DesktopRamp, RampForPosition(30));
    }

    void optionsAutostartUnwritableKeepsTheDialogOpen() {
        p->start();
        const QString dir =
            QFileInfo(qEnvironmentVariable("XDG_CONFIG_HOME") + "/autostart/x").absolutePath();
        // A file where the folder should be: the entry can't be written, even as root.
        QFile blocker(dir);
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        Form_Option->show();
        Form_Option->ui->Check_AutoStart->setChecked(true);
        Form_Option->ui->Btn_Ok->click();
        QCOMPARE(p->errors, QStringList{"Failed to set data for 'Kelvaro'"});
        QVERIFY(Form_Option->isVisible());
        QCOMPARE(Program::integer(ProgramKey, "Exit"), std::nullopt);
        Form_Option->ui->Btn_Cancel->click();
    }

    void showingAVisibleDialogModallyIsRefused() {
        p->start();
        Form_Option->show();
        QVERIFY_THROWS_EXCEPTION(EInvalidOperation, Form_Option->ShowModal());
        Form_Option->close();
    }

    // ---- Splash, About, Help ----

    void versionStrings() {
        QCOMPARE(platform::version::ReadVersionString("FileVersion"), QStringLiteral("1.1.0.42"));
        QCOMPARE(platform::version::ReadVersionString("ProductVersion"), QStringLiteral("1.1"));
        QCOMPARE(platform::version::ReadVersionString("CompanyName"),
                 QStringLiteral("Orvendale Software"));
        QCOMPARE(platform::version::ReadVersionString("NoSuchKey"), QString());
        QVERIFY(Form_About == nullptr); // works before the about dialog exists
    }

    void splashShowsTheVersionAndHidesOnce() {
        p->start();
        QCOMPARE(Form_Splash->ui->Label_Ver->text(), QStringLiteral("1.1.0.42"));
        QCOMPARE(Form_Splash->ui->Label_Ver->geometry().right() + 1, 296);
        QVERIFY(Form_Splash->Timer_Splash->Enabled());
        QCOMPARE(Form_Splash->Timer_Splash->Interval(), 1300);
        QTRY_VERIFY_WITH_TIMEOUT(!Form_Splash->isVisible(), 3000);
        QVERIFY(!Form_Splash->Timer_Splash->Enabled());
        QTest::qWait(1500);
        QVERIFY(!Form_Splash->isVisible());
    }

    // The splash and the display stay up their whole time, never a coarse timer's 5 % less.
    void timedWindowsStayTheirFullTime_data() {
        QTest::addColumn<bool>("splash");
        QTest::addColumn<int>("ms");
        QTest::newRow("splash") << true << 1300;
        QTest::newRow("display") << false << 1000;
    }
    void timedWindowsStayTheirFullTime() {
        QFETCH(bool, splash);
        QFETCH(int, ms);
        for (int run = 0; run < 3; ++run) {
            QElapsedTimer shown;
            shown.start();
            if (splash) {
                p->stop();
                shown.restart();
                p->start();
            } else {
                if (run == 0) p->start();
                shown.restart();
                Form_OSD->Display();
            }
            auto up = [&] { return splash ? Form_Splash->isVisible() : Form_OSD->isVisible(); };
            QVERIFY(up());
            while (up() && shown.elapsed() < ms + 1000)
                QTest::qWait(1);
            QVERIFY2(shown.elapsed() >= ms, qPrintable(QString::number(shown.elapsed())));
            QVERIFY2(shown.elapsed() < ms + 200, qPrintable(QString::number(shown.elapsed())));
        }
    }

    void aboutDialog() {
        p->start();
        Form_About->show();
        QCOMPARE(Form_About->ui->Label_Ver->text(), QStringLiteral("Version 1.1.0.42"));
        QCOMPARE(Form_About->ui->Label_Ver->geometry().right() + 1, 416);
        QCOMPARE(Form_Main->TrayIcon->RestoreOn, imNone);
        QTest::keyClick(Form_About, Qt::Key_Escape);
        QVERIFY(Form_About->isVisible());
        Form_About->ui->Btn_Web->click();
        Form_About->ui->Btn_Email->click();
        QCOMPARE(p->shell.opened.size(), size_t(2));
        QCOMPARE(p->shell.opened[0].scheme(), QStringLiteral("https"));
        QCOMPARE(p->shell.opened[1].scheme(), QStringLiteral("mailto"));
        Form_About->ui->Btn_Ok->setFocus();
        QTest::keyClick(Form_About->ui->Btn_Ok, Qt::Key_Return);
        QVERIFY(!Form_About->isVisible());
        QCOMPARE(Form_Main->TrayIcon->RestoreOn, imDoubleClick);
    }

    void helpFileIsACompiledHelpFile() {
        const QString path = qEnvironmentVariable("KELVARO_BUILD") + "/src/gamma_help.chm";
        QFile f(path);
        QVERIFY2(f.open(QIODevice::ReadOnly), qPrintable(path));
        const QByteArray data = f.readAll();
        QVERIFY(data.startsWith("ITSF"));
        QProcess ls;
        ls.start("chmls", {"list", path});
        QVERIFY(ls.waitForFinished());
        const QString listing = QString::fromUtf8(ls.readAllStandardOutput());
        for (const char* page : {"/index.html", "/profiles.html", "/launching.html",
                                 "/hotkeys.html", "/options.html", "/settings.html"})
            QVERIFY2(listing.contains(QLatin1String(page)), page);
    }

    void helpOpensFromTheProgramFolder() {
        p->start();
        const QString path = QCoreApplication::applicationDirPath() + "/gamma_help.chm";
        QFile::remove(path);
        Form_Main->Btn_HelpClick();
        QVERIFY(p->shell.opened.empty()); // missing: nothing, no message
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("ITSF");
        f.close();
        const QString old = QDir::currentPath();
        QDir::setCurrent(QDir::tempPath());
        Form_Main->Btn_HelpClick();
        QDir::setCurrent(old);
        QFile::remove(path);
        QCOMPARE(p->shell.opened.size(), size_t(1));
        QCOMPARE(p->shell.opened[0], QUrl::fromLocalFile(path));
        QVERIFY(p->errors.isEmpty());
    }
};

KELVARO_TEST_MAIN(FormsTest)
#include "test_forms.moc"
