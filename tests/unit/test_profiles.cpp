#include "NativePrograms.h"
#include "Program.h"
#include "TestMain.h"
#include "platform/system/IconReader.h"

#include <QTemporaryDir>
#include <ctime>

// Profile list, editor and tray menu, driven as the user drives them.
class ProfilesTest : public QObject {
    Q_OBJECT
    std::unique_ptr<Program> p;
    QTemporaryDir files;

    QString makeFile(const QString& name, const QByteArray& content = "#!/bin/sh\nexit 0\n") {
        const QString path = files.filePath(name);
        QFile f(path);
        f.open(QIODevice::WriteOnly);
        f.write(content);
        f.close();
        f.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        return path;
    }
    static QString fixture(const QString& name) {
        return qEnvironmentVariable("KELVARO_FIXTURES") + "/" + name;
    }
    static QColor centre(const QIcon& icon) {
        const QImage img = icon.pixmap(32, 32).toImage();
        return img.pixelColor(img.width() / 2, img.height() / 2);
    }
    void select(const QString& name) {
        Form_Main->ui->ProfileList->setCurrentItem(Program::node(name));
    }
    void save() { Form_Main->ui->Btn_Save->click(); }
    // What the list, the two image lists and the menu show, each entry with its picture's
    // colour in the middle.
    static QStringList shown() {
        auto colour = [](const QIcon& icon) {
            const QImage img = icon.pixmap(16, 16).toImage();
            return icon.isNull() ? QStringLiteral("none")
                                 : img.pixelColor(img.width() / 2, img.height() / 2).name();
        };
        QStringList out;
        auto* list = Form_Main->ui->ProfileList;
        for (int i = 0; i < list->topLevelItemCount(); ++i)
            out << "node " + list->topLevelItem(i)->text(0) + " " +
                       colour(list->topLevelItem(i)->icon(0));
        for (int i = 0; i < Form_Main->IconListSm.Count(); ++i)
            out << "images " + colour(Form_Main->IconListSm.GetIcon(i)) + " " +
                       colour(Form_Main->IconListLg.GetIcon(i));
        for (QAction* a : Form_Main->PopupMenu->actions())
            out << "item " + a->text() + " " + colour(a->icon());
        return out;
    }
    static QAction* menuItem(const QString& name) {
        for (QAction* a : Form_Main->PopupMenu->actions())
            if (a->data().toString() == name) return a;
        return nullptr;
    }

private slots:
    void init() { p = std::make_unique<Program>(); }
    void cleanup() { p.reset(); }

    void listFollowsTheStoreOrderWithIcons() {
        const QString exe = makeFile("game");
        Program::addProfile("beta", exe, 15, QString(), fixture("red.ico"));
        Program::addProfile("Alpha", "/nonexistent/program", 12);
        Program::addProfile("gamma", QString(), -1, QString(), fixture("blue.ico"));
        p->start();
        QCOMPARE(Program::nodes(), (QStringList{"Alpha", "beta", "gamma"}));
        QCOMPARE(Form_Main->IconListSm.Count(), 3);
        QCOMPARE(Form_Main->IconListLg.Count(), 3);
        // IconFile wins over FileName; a missing program gets the generic icon.
        QCOMPARE(Form_Main->IconListLg.GetPixmap(1).toImage().pixelColor(16, 16),
                 QColor(255, 0, 0));
        QCOMPARE(Form_Main->IconListLg.GetPixmap(2).toImage().pixelColor(16, 16),
                 QColor(0, 0, 255));
        TImageList generic(32, 32);
        generic.Add(GenericProgramIcon());
        QCOMPARE(Form_Main->IconListLg.GetPixmap(0).toImage(), generic.GetPixmap(0).toImage());
        QVERIFY(Form_Main->ui->ProfileList->currentItem() == nullptr); // hidden: nothing selected
        // The tray menu follows the list, images included.
        QCOMPARE(Program::menu(), (QStringList{"*Profiles", "Options", "About", "Help", "-",
                                               "Alpha", "beta", "gamma", "-", "Exit"}));
        QCOMPARE(centre(Form_Main->PopupMenu->actions()[6]->icon()), QColor(255, 0, 0));
    }

    // Native programs take their icons from the desktop entries, read once per rebuild:
    // 200 such profiles and 1000 entries, not 200 times 1000 files.
    void nativeProgramsReadTheDesktopEntriesOnce() {
        const NativePrograms native(200, 1000, fixture("png.png"));
        {
            platform::HiveTransaction tx(platform::Hive::instance());
            for (int i = 0; i < 200; ++i)
                Program::addProfile(QStringLiteral("Native %1").arg(i, 3, 10, QLatin1Char('0')),
                                    native.programs[i], 10);
            tx.commit();
        }
        p->start();
        QCOMPARE(Form_Main->IconListLg.Count(), 200);
        QCOMPARE(centre(Form_Main->IconListLg.GetIcon(199)), QColor(0, 255, 0));
        // Processor time, which the other programs on a busy machine don't add to: about
        // 40 ms here, a second when each profile read every entry.
        const std::clock_t start = std::clock();
        Form_Main->LoadProfileList();
        const double ms = 1000.0 * double(std::clock() - start) / CLOCKS_PER_SEC;
        QVERIFY2(ms < 300, qPrintable(QStringLiteral("%1 ms").arg(ms)));
        QCOMPARE(centre(Form_Main->IconListLg.GetIcon(0)), QColor(0, 255, 0));
    }

    void selectingLoadsTheEditorAndPreviews() {
        Program::addProfile("Doom", "/usr/games/doom", 15, "-level 3");
        Program::addProfile("NoGamma", "/usr/games/x");
        Program::addProfile("Bright", "/usr/games/y", 45);
        Program::addProfile("Dark", "/usr/games/z", 0);
        p->start();
        Form_Main->show();
        auto* ui = Form_Main->ui.get();
        QVERIFY(!ui->Edit_ProfName->isEnabled() && !ui->Btn_Save->isEnabled()); // disabled editor
        select("Doom");
        QCOMPARE(ui->Edit_ProfName->text(), QStringLiteral("Doom"));
        QCOMPARE(ui->Edit_ExecFile->text(), QStringLiteral("/usr/games/doom"));
        QCOMPARE(ui->Edit_Arg->text(), QStringLiteral("-level 3"));
        QCOMPARE(ui->Bar_Gamma->value(), 15);
        QCOMPARE(ui->Label4->text(), QStringLiteral("Gamma - 1.5"));
        QVERIFY(p->displayShows(15));
        QVERIFY(ui->Btn_Save->isEnabled() && ui->Btn_Launch->isEnabled() &&
                ui->Btn_Del->isEnabled());
        select("NoGamma");
        QCOMPARE(ui->Bar_Gamma->value(), 10);
        QCOMPARE(ui->Edit_Arg->text(), QString());
        QVERIFY(p->displayShows(10));
        select("Bright");
        QCOMPARE(ui->Bar_Gamma->value(), 30);
        select("Dark");
        QCOMPARE(ui->Bar_Gamma->value(), 3);
        QCOMPARE(Program::integer(ProfilesKey + "\\Dark", "Gamma"), 0); // unchanged in the store
        ui->ProfileList->setCurrentItem(nullptr);
        QVERIFY(!ui->Edit_ProfName->isEnabled());
        QCOMPARE(ui->Edit_ProfName->text(), QString());
        QVERIFY(p->displayShows(10));
    }

    void enablingRuleInEveryOrder() {
        p->start();
        Form_Main->show();
        auto* ui = Form_Main->ui.get();
        ui->Btn_New->click();
        QCOMPARE(ui->Edit_ProfName->text(), QStringLiteral("New Profile"));
        QVERIFY(!ui->Btn_Save->isEnabled() && !ui->Btn_Launch->isEnabled());
        p->prompts.files.push_back(makeFile("prog"));
        ui->Btn_Browse->click();
        QVERIFY(!ui->Btn_Save->isEnabled()); // still "New Profile"
        ui->Edit_ProfName->setText(QStringLiteral("new profile"));
        QVERIFY(ui->Btn_Save->isEnabled());    // case counts
        QVERIFY(!ui->Btn_Launch->isEnabled()); // only after a save and re-selection
        ui->Edit_ProfName->clear();
        QVERIFY(!ui->Btn_Save->isEnabled());
        ui->Edit_ProfName->setText(QStringLiteral("Game"));
        QVERIFY(ui->Btn_Save->isEnabled());
        // Name first, then the program.
        ui->Btn_New->click();
        ui->Edit_ProfName->setText(QStringLiteral("Other"));
        QVERIFY(!ui->Btn_Save->isEnabled());
        p->prompts.files.push_back(makeFile("prog2"));
        ui->Btn_Browse->click();
        QVERIFY(ui->Btn_Save->isEnabled());
        QCOMPARE(Program::nodes(), (QStringList{"New Profile", "New Profile"}));
        QVERIFY(Program::profileNames().isEmpty()); // nothing stored by New
        QCOMPARE(Program::menu().size(), 7);        // nor in the menu
    }

    void saveNewProfile() {
        const QString exe = makeFile("game");
        p->start();
        Form_Main->show();
        auto* ui = Form_Main->ui.get();
        ui->Btn_New->click();
        ui->Edit_ProfName->setText(QStringLiteral("Game"));
        p->prompts.files.push_back(exe);
        ui->Btn_Browse->click();
        ui->Edit_Arg->setText(QStringLiteral("--fast"));
        ui->Bar_Gamma->setValue(14);
        QVERIFY(p->displayShows(14));
        save();
        QCOMPARE(p->prompts.boxes.back().text, QStringLiteral("Profile Game saved"));
        QCOMPARE(p->prompts.boxes.back().caption, QStringLiteral("Saved"));
        QVERIFY(p->prompts.boxes.back().kind == platform::MessageKind::Information);
        const QString key = ProfilesKey + "\\Game";
        QCOMPARE(Program::text(key, "FileName"), exe);
        QCOMPARE(Program::text(key, "Args"), QStringLiteral("--fast"));
        QCOMPARE(Program::text(key, "IconFile"), exe);
        QCOMPARE(Program::integer(key, "Gamma"), 14);
        // Rebuilt and re-selected; Launch now on; the menu has it.
        QCOMPARE(Program::nodes(), QStringList{"Game"});
        QCOMPARE(ui->ProfileList->currentItem()->text(0), QStringLiteral("Game"));
        QVERIFY(ui->Btn_Launch->isEnabled());
        QVERIFY(Program::menu().contains("Game"));
        // An unsaved row is as high as a saved one, with the same room before its text.
        ui->Btn_New->click();
        QCOMPARE(ui->ProfileList->visualItemRect(Program::node("New Profile")).height(),
                 ui->ProfileList->visualItemRect(Program::node("Game")).height());
        QCOMPARE(Program::node("New Profile")->icon(0).actualSize(QSize(16, 16)), QSize(16, 16));
    }

    void renameAndRenameOntoAnother() {
        Program::addProfile("One", "/bin/one", 11, "a");
        Program::addProfile("Two", "/bin/two", 12, "b");
        p->start();
        Form_Main->show();
        auto* ui = Form_Main->ui.get();
        select("One");
        ui->Edit_ProfName->setText(QStringLiteral("Uno"));
        save();
        QCOMPARE(Program::profileNames(), (QStringList{"Two", "Uno"}));
        QCOMPARE(Program::integer(ProfilesKey + "\\Uno", "Gamma"), 11);
        // Onto an existing name: its values are replaced and the list shows it once.
        ui->Edit_ProfName->setText(QStringLiteral("Two"));
        save();
        QCOMPARE(Program::profileNames(), QStringList{"Two"});
        QCOMPARE(Program::text(ProfilesKey + "\\Two", "FileName"), QStringLiteral("/bin/one"));
        QCOMPARE(Program::text(ProfilesKey + "\\Two", "Args"), QStringLiteral("a"));
        QCOMPARE(Program::nodes(), QStringList{"Two"});
    }

    void savingANewProfileKeepsOneThatDiffersInCase() {
        Program::addProfile("new profile", "/bin/kept", 17);
        p->start();
        Form_Main->show();
        auto* ui = Form_Main->ui.get();
        ui->Btn_New->click();
        p->prompts.files.push_back(makeFile("x"));
        ui->Btn_Browse->click();
        ui->Edit_ProfName->setText(QStringLiteral("Fresh"));
        save();
        QCOMPARE(Program::profileNames(), (QStringList{"Fresh", "new profile"}));
        QCOMPARE(Program::text(ProfilesKey + "\\new profile", "FileName"),
                 QStringLiteral("/bin/kept"));
    }

    void badNamesAreRefused_data() {
        QTest::addColumn<QString>("name");
        QTest::newRow("backslash") << QStringLiteral("a\\b");
        QTest::newRow("control") << QStringLiteral("a\tb");
        QTest::newRow("too long") << QString(256, QLatin1Char('n'));
    }
    void badNamesAreRefused() {
        QFETCH(QString, name);
        Program::addProfile("Keep", "/bin/keep", 13);
        p->start();
        Form_Main->show();
        select("Keep");
        Form_Main->ui->Edit_ProfName->setText(name);
        save();
        QVERIFY(p->prompts.boxes.back().kind == platform::MessageKind::Error);
        QCOMPARE(Program::profileNames(), QStringList{"Keep"});
        QCOMPARE(Form_Main->ui->Edit_ProfName->text(), name);
        QCOMPARE(Program::nodes(), QStringList{"Keep"});
    }

    void iconFileIsNotInheritedFromThePreviousProfile() {
        Program::addProfile("WithIcon", "/bin/a", 10, QString(), fixture("red.ico"));
        Program::addProfile("Without", "/bin/b", 10);
        p->start();
        Form_Main->show();
        select("WithIcon");
        select("Without");
        save();
        QCOMPARE(Program::text(ProfilesKey + "\\Without", "IconFile"), QString());
    }

    void browseAfterIconResetsTheIcon() {
        const QString exe = makeFile("prog");
        Program::addProfile("P", exe);
        p->start();
        Form_Main->show();
        select("P");
        p->prompts.files.push_back(fixture("red.ico"));
        Form_Main->ui->Btn_Icon->click();
        QCOMPARE(Form_Main->IconFileName, fixture("red.ico"));
        QCOMPARE(Form_Main->ui->Image_Icon->pixmap().toImage().pixelColor(16, 16),
                 QColor(255, 0, 0));
        p->prompts.files.push_back(exe);
        Form_Main->ui->Btn_Browse->click();
        save();
        QCOMPARE(Program::text(ProfilesKey + "\\P", "IconFile"), exe);
        // Cancelled dialogs change nothing.
        Form_Main->ui->Btn_Icon->click();
        Form_Main->ui->Btn_Browse->click();
        QCOMPARE(Form_Main->IconFileName, exe);
    }

    void deleteAskedNoThenYes() {
        Program::addProfile("A", "/bin/a");
        Program::addProfile("B", "/bin/b");
        TRegistry().OpenKey(ProfilesKey + "\\B\\Sub", true);
        p->start();
        Form_Main->show();
        select("B");
        p->prompts.answers.push_back(platform::mrNo);
        Form_Main->ui->Btn_Del->click();
        QCOMPARE(p->prompts.boxes.back().text, QStringLiteral("Delete profile B?"));
        QCOMPARE(p->prompts.boxes.back().caption, QStringLiteral("Confirm"));
        QCOMPARE(Program::profileNames(), (QStringList{"A", "B"}));
        QCOMPARE(Program::nodes(), (QStringList{"A", "B"}));
        Form_Main->ui->Btn_Del->click(); // Yes
        QCOMPARE(Program::profileNames(), QStringList{"A"});
        QVERIFY(!TRegistry().KeyExists(ProfilesKey + "\\B\\Sub"));
        QCOMPARE(Program::nodes(), QStringList{"A"});
        QVERIFY(!Program::menu().contains("B"));
        // The last one: the editor ends disabled.
        select("A");
        Form_Main->ui->Btn_Del->click();
        QVERIFY(Program::nodes().isEmpty());
        QVERIFY(!Form_Main->ui->Edit_ProfName->isEnabled());
        QCOMPARE(Program::menu(),
                 (QStringList{"*Profiles", "Options", "About", "Help", "-", "-", "Exit"}));
    }

    // A profile that can't be read, selected in place of a deleted one: its failure is
    // reported once, and the list and the menu have lost the deleted profile all the same.
    void deletingBesideAnUnreadableProfileReportsOnce() {
        Program::addProfile("A", "/bin/a", 12);
        Program::addProfile("B", "/bin/b");
        Program::setValue(ProfilesKey + "\\B", "Gamma", QStringLiteral("12"));
        p->start();
        Form_Main->show();
        select("A");
        Form_Main->ui->Btn_Del->click(); // Yes
        QCOMPARE(p->errors, QStringList{"Invalid data type for 'Gamma'"});
        QCOMPARE(Program::profileNames(), QStringList{"B"});
        QCOMPARE(Program::nodes(), QStringList{"B"});
        QVERIFY(!Program::menu().contains("A"));
    }

    // After every rebuild the editor is enabled exactly when a node is selected, and then
    // holds that node's profile; with nothing selected it is the disabled editor.
    // And the store holds the profiles it should: a Delete takes the key named exactly like the
    // node, saved or not. Save and Delete touch only the entries they change (a profile they
    // leave alone keeps its node and its menu item), and end exactly as a rebuild from the store
    // would.
    void editorFollowsTheSelectionAfterARebuild_data() {
        QTest::addColumn<QString>("steps");
        QTest::addColumn<QString>("selected"); // "" = nothing
        QTest::addColumn<QStringList>("stored");
        QTest::addColumn<QString>("untouched"); // "" = everything is rebuilt
        const QStringList both{"Other", "Quick"};
        QTest::newRow("two New, delete one") << "new new del"
                                             << "" << both << "Quick";
        QTest::newRow("save over a name differing in case") << "select:Quick new name:quick save"
                                                            << "" << both << "Other";
        QTest::newRow("save over an exact name") << "new name:Quick save"
                                                 << "Quick" << both << "Other";
        QTest::newRow("rename in place") << "select:Quick name:Slow save"
                                         << "Slow" << QStringList{"Other", "Slow"} << "Other";
        QTest::newRow("rename to the end") << "select:Other name:Zed save"
                                           << "Zed" << QStringList{"Quick", "Zed"} << "Quick";
        QTest::newRow("rename in letter case")
            << "select:Quick name:QUICK save"
            << "QUICK" << QStringList{"Other", "QUICK"} << "Other";
        QTest::newRow("save the second of two New")
            << "new new name:Middle save"
            << "Middle" << QStringList{"Middle", "Other", "Quick"} << "Quick";
        // The list itself picks the neighbour of a removed node; the rebuild keeps it.
        QTest::newRow("delete a stored one") << "select:Quick del"
                                             << "Other" << QStringList{"Other"} << "Other";
        QTest::newRow("New, then delete a stored one")
            << "new select:Other del"
            << "Quick" << QStringList{"Quick"} << "Quick";
        // A hot key's step stores an unsaved node's gamma: a key the list doesn't show yet.
        QTest::newRow("a step stored for an unsaved node")
            << "new gamma select:Other save"
            << "Other" << QStringList{"New Profile", "Other", "Quick"} << "";
        // A hot key during a watch stores the unsaved node's gamma under its name; Delete takes it.
        QTest::newRow("New given a gamma by a hot key, then deleted")
            << "select:Quick watch new up del"
            << "Quick" << both << "";
        QTest::newRow("New deleted beside a profile differing in case")
            << "add:new_profile new del"
            << "Quick" << QStringList{"new profile", "Other", "Quick"} << "";
        // Another program's change is read in whole, as before.
        QTest::newRow("another program wrote meanwhile")
            << "other:Added select:Quick del"
            << "Other" << QStringList{"Added", "Other"} << "";
    }
    void editorFollowsTheSelectionAfterARebuild() {
        QFETCH(QString, steps);
        QFETCH(QString, selected);
        QFETCH(QStringList, stored);
        QFETCH(QString, untouched);
        Program::addProfile("Other", "/bin/other", 14, QString(), fixture("blue.ico"));
        Program::addProfile("Quick", "/bin/quick", 12, QString(), fixture("red.ico"));
        p->start();
        Form_Main->show();
        auto* ui = Form_Main->ui.get();
        QTreeWidgetItem* const keptNode = Program::node(untouched);
        QAction* const keptItem = menuItem(untouched);
        for (const QString& step : steps.split(' ')) {
            if (step == "watch") {
                InForce->Launched(QString(), GammaNeutral); // as a launch does
            } else if (step == "up") {
                TMessage m{0, WM_HOTKEY, HotkeyUp, 0, 0};
                bool handled = false;
                Form_Main->AppMessage(m, handled);
            } else if (step.startsWith("add:")) {
                Program::addProfile(step.mid(4).replace('_', ' '), "/bin/added");
                Form_Main->LoadProfileList();
                Form_Main->BuildTrayMenu();
            } else if (step.startsWith("other:")) {
                platform::Hive other(platform::Hive::instance().path());
                TRegistry reg(other);
                reg.OpenKey(ProfilesKey + "\\" + step.mid(6), true);
                reg.WriteString("FileName", "/bin/added");
            } else if (step == "gamma") {
                Form_Main->SaveProfileGamma(true); // as a hot key stores it
            } else if (step == "new") {
                ui->Btn_New->click();
            } else if (step == "del") {
                ui->Btn_Del->click();
            } else if (step == "save") {
                ui->Edit_ExecFile->setText("/bin/quick2");
                QVERIFY2(ui->Btn_Save->isEnabled(), qPrintable(step));
                save();
            } else if (step.startsWith("select:")) {
                select(step.mid(7));
            } else if (step.startsWith("name:")) {
                ui->Edit_ProfName->setText(step.mid(5));
            }
        }
        InForce->ProgramEnded();
        QCOMPARE(Program::profileNames(), stored);
        QTreeWidgetItem* node = ui->ProfileList->currentItem();
        QCOMPARE(node ? node->text(0) : QString(), selected);
        const bool enabled = node != nullptr;
        for (QWidget* w : std::initializer_list<QWidget*>{
                 ui->Edit_ProfName, ui->Edit_ExecFile, ui->Edit_Arg, ui->Bar_Gamma, ui->Btn_Browse,
                 ui->Btn_Icon, ui->Btn_Del, ui->Label1, ui->Label4})
            QVERIFY2(w->isEnabled() == enabled, qPrintable(w->objectName()));
        if (node) {
            QCOMPARE(ui->Edit_ProfName->text(), selected);
            QVERIFY(ui->Btn_Save->isEnabled());
        } else {
            QVERIFY(!ui->Btn_Save->isEnabled() && !ui->Btn_Launch->isEnabled());
            QCOMPARE(ui->Edit_ProfName->text(), QString());
            QCOMPARE(ui->Bar_Gamma->value(), 10);
        }
        if (!untouched.isEmpty()) {
            QVERIFY(Program::node(untouched) == keptNode);
            QVERIFY(menuItem(untouched) == keptItem);
        }
        const QStringList now = shown();
        Form_Main->LoadProfileList();
        Form_Main->BuildTrayMenu();
        QCOMPARE(now, shown());
        QCOMPARE(Program::nodes(), Program::profileNames());
    }

    void menuKeepsCaptionsExact() {
        Program::addProfile("A&B", "/bin/a");
        Program::addProfile("Exit", "/bin/b");
        Program::addProfile("-", "/bin/c");
        p->start();
        const QStringList m = Program::menu();
        QCOMPARE(m, (QStringList{"*Profiles", "Options", "About", "Help", "-", "-", "A&&B", "Exit",
                                 "-", "Exit"}));
        QCOMPARE(Form_Main->PopupMenu->actions()[6]->data().toString(), QStringLiteral("A&B"));
    }

    void menuPositions() {
        Program::addProfile("Exit", "/bin/true-but-missing", 16);
        seedDisplayAndStart(22);
        const auto items = Form_Main->PopupMenu->actions();
        // Help.
        Form_Main->PopupMenuItemClick(items[3]);
        QVERIFY(p->errors.isEmpty());
        // A profile named "Exit" launches; it is not the last item.
        Form_Main->PopupMenuItemClick(items[5]);
        QCOMPARE(Form_Main->ui->ProfileList->currentItem()->text(0), QStringLiteral("Exit"));
        QVERIFY(p->displayShows(16));
        QVERIFY(Form_Main->Timer_Exit->Enabled());
        QVERIFY(!Application->Terminated());
        // Profiles: shows the window.
        Form_Main->PopupMenuItemClick(items[0]);
        QVERIFY(Form_Main->isVisible());
        // The real Exit, last: the start-up ramp and the end.
        Form_Main->PopupMenuItemClick(items.last());
        QVERIFY(p->displayIsBack(22));
        QVERIFY(Application->Terminated());
    }

    void optionsFromTheMenuWhileOpenIsRefused() {
        p->start();
        Form_Option->show();
        emit Form_Main->PopupMenu->triggered(Form_Main->PopupMenu->actions()[1]);
        QCOMPARE(p->errors, QStringList{"Cannot make a visible window modal."});
        Form_About->show();
        emit Form_Main->PopupMenu->triggered(Form_Main->PopupMenu->actions()[2]);
        QCOMPARE(p->errors.size(), 2);
        Form_Option->close();
        Form_About->close();
    }

private:
    void seedDisplayAndStart(int position) {
        p->display.ramp = RampForPosition(position);
        p->start();
    }
};

KELVARO_TEST_MAIN(ProfilesTest)
#include "test_profiles.moc"
