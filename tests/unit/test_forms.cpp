#include "Program.h"

#include "TestMain.h"
#include "platform/system/Version.h"
#include "toolkit/Help.h"

#include <QDir>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QProcess>
#include <QScopeGuard>
#include <QStyleOptionButton>
#include <QTemporaryDir>

class FormsTest : public QObject {
    Q_OBJECT
    std::unique_ptr<Program> p;

    static void seedDisplay(Program& prog, int position) {
        prog.display.ramp = RampForPosition(position);
    }
    // The desktop's font at that size (0: as it is) until the guard goes.
    static auto desktopFontAt(int points) {
        const QFont before = QApplication::font();
        QFont font = qApp->property("desktopFont").value<QFont>();
        if (points) font.setPointSize(points);
        QApplication::setFont(font);
        return qScopeGuard([before] { QApplication::setFont(before); });
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
        QCOMPARE(InForce->StartupRamp(), RampForPosition(7));
        QCOMPARE(InForce->Desktop(), 10);
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
        // The designed size, grown a little where the desktop's font needs it.
        QVERIFY(Form_Main->width() >= 465 && Form_Main->width() <= 465 * 1.1);
        QCOMPARE(Form_Main->height(), qRound(289.0 * Form_Main->width() / 465));
    }

    void loadOptionsFlags_data() {
        QTest::addColumn<int>("exitValue");
        QTest::addColumn<int>("hotkeysValue");
        QTest::addColumn<bool>("exitFlag");
        QTest::addColumn<bool>("hotkeysFlag");
        QTest::addColumn<QStringList>("calls");
        // Each value on its own, the missing one off.
        QTest::newRow("exit only") << 1 << -1 << true << false << QStringList{};
        QTest::newRow("hotkeys only")
            << -1 << 1 << false << true << QStringList{"register 1 3 6b", "register 2 3 6d"};
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
        QVERIFY(p->displayIsBack(25));
        QVERIFY(Application->Terminated());
    }

    // No tray in time: the program runs on, its window up unless the session started it;
    // closing the window then quits.
    void noTrayInTimeRunsOn_data() {
        QTest::addColumn<bool>("bySession");
        QTest::addColumn<bool>("lost"); // the tray went away later
        QTest::newRow("started by the user") << false << false;
        QTest::newRow("started at log-in") << true << false;
        QTest::newRow("tray gone after log-in") << true << true;
    }
    void noTrayInTimeRunsOn() {
        QFETCH(bool, bySession);
        QFETCH(bool, lost);
        seedDisplay(*p, 25);
        Program::setValue(ProgramKey, "Desktop", 13);
        p->start(bySession);
        p->area.OnNoTray(Form_Main->TrayIcon->IconData(), lost);
        QVERIFY(p->errors.isEmpty());
        QVERIFY(p->displayShows(13));
        QCOMPARE(Form_Main->isVisible(), !bySession || lost);
        Form_Main->show();
        // Minimised, it stays a window the desktop can bring back: no tray to hide in.
        Form_Main->setWindowState(Qt::WindowMinimized);
        QTest::qWait(50);
        QVERIFY(Form_Main->isVisible());
        QVERIFY(Form_Main->close());
        QVERIFY(p->displayIsBack(25));
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
        QVERIFY(p->displayIsBack(20));
        QVERIFY(Application->Terminated());
    }

    void minimiseGoesToTheTray() {
        p->start();
        Form_Main->show();
        // Loaded again (a ramp planted instead would be another program's, the new base).
        const std::size_t loads = p->display.applied.size();
        Form_Main->setWindowState(Qt::WindowMinimized);
        QTRY_VERIFY(!Form_Main->isVisible());
        QVERIFY(p->display.applied.size() > loads);
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

    // While a box is up, the same failure again (from a nested event loop) shows no second box;
    // another failure does, and once the box is closed the first shows again.
    void errorBoxesDoNotPileUp() {
        QStringList shown;
        auto saved = Application->ErrorBox;
        Application->ErrorBox = [&](const QString&, const QString& text) {
            shown << text;
            if (shown.size() == 1) {
                Application->ShowException(std::runtime_error("in use"));
                Application->ShowException(std::runtime_error("other"));
            }
        };
        Application->ShowException(std::runtime_error("in use"));
        Application->ShowException(std::runtime_error("in use"));
        Application->ErrorBox = saved;
        QCOMPARE(shown, (QStringList{"in use.", "other.", "in use."}));
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
        // Cancelled, the slider is back at the stored gamma.
        QCOMPARE(Form_Option->ui->Bar_Gamma->value(), 10);
        QCOMPARE(Form_Option->ui->Label1->text(), QStringLiteral("Desktop Gamma - 1.0"));
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
        QCOMPARE(InForce->Desktop(), 13);
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
        QCOMPARE(InForce->Desktop(), 10);
        Form_Option->show();
        QCOMPARE(Form_Option->ui->Bar_Gamma->value(), 10);
        Form_Option->close();
    }

    void optionsDesktopOutOfRangeIsClamped() {
        Program::setValue(ProgramKey, "Desktop", 99);
        p->start();
        QCOMPARE(Form_Option->ui->Bar_Gamma->value(), 30);
        QCOMPARE(InForce->Desktop(), 30);
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
            while (up() && shown.elapsed() < ms + 3000)
                QTest::qWait(1);
            // Early is the fault a coarse timer makes; late only says the machine is busy (the
            // tests run two at a time), so that bound is loose.
            QVERIFY2(shown.elapsed() >= ms, qPrintable(QString::number(shown.elapsed())));
            QVERIFY2(shown.elapsed() < ms + 1000, qPrintable(QString::number(shown.elapsed())));
        }
    }

    // No caption is cut: every label, check box and button shows its whole text inside its
    // control, and no label's text runs under or touches a control beside it, in the five
    // windows at the desktop's default font and at 8 to 14 points; and no window is larger than
    // the screen's work area.
    void captionsFitTheirControls_data() {
        QTest::addColumn<int>("points"); // 0: the default font
        QTest::addColumn<bool>("whole"); // false: too large for the screen, only kept on it
        for (int points : {0, 8, 10, 11, 12, 13, 14})
            QTest::newRow(points ? qPrintable(QString("%1 pt").arg(points)) : "default")
                << points << true;
        QTest::newRow("30 pt") << 30 << false;
    }
    void captionsFitTheirControls() {
        QFETCH(int, points);
        QFETCH(bool, whole);
        const auto restore = desktopFontAt(points);
        p->start();
        const QList<QWidget*> windows{Form_Main, Form_Option, Form_About, Form_OSD, Form_Splash};
        Form_Main->ui.get();
        Form_Option->ui.get();
        Form_About->ui.get();
        Form_About->show(); // its version label gets its text
        Form_About->close();
        Form_OSD->Display(); // fitted to the font when first shown
        Form_OSD->hide();
        QStringList cut;
        for (QWidget* window : whole ? windows : QList<QWidget*>{}) {
            for (QWidget* w : window->findChildren<QWidget*>()) {
                if (w->window() != window) continue; // the dialogs the window owns
                QString text;
                QRect content = w->contentsRect();
                QStyleOptionButton opt;
                opt.initFrom(w);
                if (auto* label = qobject_cast<QLabel*>(w)) {
                    text = label->pixmap().isNull() ? label->text() : QString();
                } else if (auto* check = qobject_cast<QCheckBox*>(w)) {
                    text = opt.text = check->text();
                    content = w->style()->subElementRect(QStyle::SE_CheckBoxContents, &opt, w);
                } else if (auto* button = qobject_cast<QPushButton*>(w)) {
                    text = opt.text = button->text();
                    content = w->style()->subElementRect(QStyle::SE_PushButtonContents, &opt, w);
                }
                if (text.isEmpty()) continue;
                const QFontMetrics fm = w->fontMetrics();
                const int width = fm.horizontalAdvance(text);
                if (width > content.width() || fm.height() > content.height() + 1)
                    cut << QString("%1.%2 \"%3\" needs %4x%5, has %6x%7")
                               .arg(window->objectName(), w->objectName(), text)
                               .arg(width)
                               .arg(fm.height())
                               .arg(content.width())
                               .arg(content.height());
                if (!qobject_cast<QLabel*>(w)) continue;
                // Touching counts: two pixels past the text must be free.
                const QRect drawn(w->mapTo(window, content.topLeft()),
                                  QSize(width + 2, fm.height()));
                for (QWidget* other : window->findChildren<QWidget*>()) {
                    if (other->window() != window) continue;
                    if (!qobject_cast<QAbstractSlider*>(other) &&
                        !qobject_cast<QAbstractButton*>(other) && !qobject_cast<QLineEdit*>(other))
                        continue;
                    if (QRect(other->mapTo(window, QPoint(0, 0)), other->size()).intersects(drawn))
                        cut << QString("%1.%2 \"%3\" runs under or touches %4")
                                   .arg(window->objectName(), w->objectName(), text,
                                        other->objectName());
                }
            }
        }
        // The splash's number stays clear of its picture's words, which end at x = 240.
        if (Form_Splash->ui->Label_Ver->x() < 240)
            cut << QString("the splash's version starts at %1")
                       .arg(Form_Splash->ui->Label_Ver->x());
        // Grown, a window still fits the work area with a frame around it.
        const QRect work =
            QGuiApplication::primaryScreen()->availableGeometry().adjusted(0, 0, -8, -32);
        const QList<QSize> designed{{465, 289}, {313, 216}, {424, 220}, {208, 56}, {304, 80}};
        for (QWidget* window : windows)
            if ((window->width() > work.width() || window->height() > work.height()) &&
                window->size() != designed[windows.indexOf(window)])
                cut << QString("%1 is %2x%3, the work area %4x%5")
                           .arg(window->objectName())
                           .arg(window->width())
                           .arg(window->height())
                           .arg(work.width())
                           .arg(work.height());
        QVERIFY2(cut.isEmpty(), qPrintable(cut.join('\n')));
        // At the design font the windows keep about their designed sizes (a little more for
        // the room after each caption); larger fonts grow them.
        if (points == 8) {
            QVERIFY(Form_Main->width() <= 465 * 1.1 && Form_About->width() <= 424 * 1.1 &&
                    Form_OSD->width() <= 208 * 1.1);
        } else if (points >= 11) {
            QVERIFY(Form_Main->width() > 465 && Form_Option->width() > 233);
        }
    }

    // Pictures are drawn from artwork made for the screen's scale: twice the pixels on a screen
    // scaled by two (run so by unit.test_forms_scaled), never a blown-up small picture; and
    // they grow with their window's layout where a larger font grows it.
    void artworkFollowsTheScreenScale_data() {
        QTest::addColumn<int>("points"); // 0: the default font
        QTest::newRow("default") << 0;
        QTest::newRow("14 pt") << 14;
    }
    void artworkFollowsTheScreenScale() {
        QFETCH(int, points);
        const auto restore = desktopFontAt(points);
        const qreal ratio = qApp->devicePixelRatio();
        p->start();
        Form_Main->ui.get();
        Form_About->ui.get();
        const double main = Form_Main->width() / 465.0, about = Form_About->width() / 424.0;
        if (points) QVERIFY(main > 1.2 && about > 1.2);
        struct Picture {
            const char* name;
            QPixmap pixmap;
            QSize size;
            double grown; // the layout's growth
        };
        const Picture pictures[] = {
            {"about logo", Form_About->ui->Image1->pixmap(), QSize(220, 40), about},
            {"about strip", Form_About->ui->Image2->pixmap(), QSize(424, 20), about},
            {"profiles picture", Form_Main->ui->Image1->pixmap(), QSize(132, 24), main},
            {"splash", Form_Splash->ui->Image_Logo->pixmap(), QSize(304, 80), 1},
            {"tool button", Form_Main->ImgList_Btns.GetPixmap(0), QSize(16, 16), 1},
            {"web button", Form_About->ui->Btn_Web->icon().pixmap(QSize(16, 16), ratio),
             QSize(16, 16), 1},
        };
        for (const Picture& picture : pictures) {
            QVERIFY2(!picture.pixmap.isNull(), picture.name);
            QCOMPARE(picture.pixmap.devicePixelRatio(), ratio);
            const QSize want = (QSizeF(picture.size) * picture.grown * ratio).toSize();
            QVERIFY2(std::abs(picture.pixmap.width() - want.width()) <= 2 &&
                         std::abs(picture.pixmap.height() - want.height()) <= 2,
                     qPrintable(QString("%1: %2x%3, not %4x%5")
                                    .arg(picture.name)
                                    .arg(picture.pixmap.width())
                                    .arg(picture.pixmap.height())
                                    .arg(want.width())
                                    .arg(want.height())));
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

    // Help opens the help file where the desktop has a viewer for it, else the HTML pages
    // installed beside it in the browser; where nothing can open either, a message names the
    // file. Nothing at all, and no message, when the help file is missing.
    void helpOpensWhatTheDesktopCanShow_data() {
        QTest::addColumn<bool>("helpFile");
        QTest::addColumn<bool>("pages");
        QTest::addColumn<QStringList>("handlers"); // the types the desktop has a program for
        QTest::addColumn<bool>("opens");           // whether it manages to start one
        QTest::addColumn<QString>("opened");       // relative to the program's folder; "" for none
        QTest::addColumn<QString>("named");        // the file a message names; "" for no message
        const QStringList both{HelpMimeType, "text/html"}, browser{"text/html"};
        QTest::newRow("viewer registered") << true << true << both << true << "gamma_help.chm"
                                           << "";
        QTest::newRow("no viewer") << true << true << browser << true << "help/index.html"
                                   << "";
        QTest::newRow("no viewer, no pages") << true << false << browser << true << ""
                                             << "gamma_help.chm";
        QTest::newRow("no viewer, no browser") << true << true << QStringList{} << true << ""
                                               << "help/index.html";
        QTest::newRow("viewer fails to start") << true << true << both << false << "gamma_help.chm"
                                               << "gamma_help.chm";
        QTest::newRow("help file missing") << false << true << browser << true << ""
                                           << "";
        QTest::newRow("help file missing, viewer") << false << true << both << true << ""
                                                   << "";
        QTest::newRow("help file missing, nothing") << false << true << QStringList{} << false << ""
                                                    << "";
    }
    void helpOpensWhatTheDesktopCanShow() {
        QFETCH(bool, helpFile);
        QFETCH(bool, pages);
        QFETCH(QStringList, handlers);
        QFETCH(bool, opens);
        QFETCH(QString, opened);
        QFETCH(QString, named);
        p->start();
        const QDir folder(QCoreApplication::applicationDirPath());
        auto put = [&](const QString& name, bool present) {
            QFile::remove(folder.filePath(name));
            if (!present) return;
            folder.mkpath(QFileInfo(folder.filePath(name)).path());
            QFile f(folder.filePath(name));
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write("x");
        };
        put("gamma_help.chm", helpFile);
        put("help/index.html", pages);
        p->shell.handled = handlers;
        p->shell.opens = opens;
        // Found from the program's folder whatever the current folder is.
        const QString old = QDir::currentPath();
        QDir::setCurrent(QDir::tempPath());
        Form_Main->Btn_HelpClick();
        QDir::setCurrent(old);
        put("gamma_help.chm", false);
        put("help/index.html", false);
        if (opened.isEmpty()) {
            QVERIFY(p->shell.opened.empty());
        } else {
            QCOMPARE(p->shell.opened.size(), size_t(1));
            QCOMPARE(p->shell.opened[0], QUrl::fromLocalFile(folder.filePath(opened)));
        }
        QVERIFY(p->errors.isEmpty());
        if (named.isEmpty()) {
            QVERIFY(p->prompts.boxes.empty());
        } else {
            QCOMPARE(p->prompts.boxes.size(), size_t(1));
            QCOMPARE(p->prompts.boxes[0].caption, QStringLiteral("Kelvaro"));
            QCOMPARE(p->prompts.boxes[0].text,
                     QStringLiteral("No program on this desktop can open the help file %1.")
                         .arg(QFileInfo(folder.filePath(named)).absoluteFilePath()));
        }
    }
};

KELVARO_TEST_MAIN(FormsTest)
#include "test_forms.moc"
