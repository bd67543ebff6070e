#include "forms/Main.h"

#include "forms/About.h"
#include "forms/Option.h"
#include "forms/Osd.h"
#include "platform/display/SessionDisplay.h"
#include "platform/keys/Hotkeys.h"
#include "platform/process/Shell.h"
#include "platform/system/IconReader.h"
#include "screen/GammaInForce.h"
#include "settings/Registry.h"
#include "toolkit/Application.h"
#include "toolkit/Help.h"
#include "ui_Main.h"
#include "ui_Osd.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QMenu>
#include <QPixmap>
#include <QScopedValueRollback>
#include <QSignalBlocker>
#include <QSlider>
#include <QWindowStateChangeEvent>
#include <algorithm>
#include <map>

TForm_Main* Form_Main = nullptr;
platform::ProcessHandle LaunchedProcess;

namespace {

// Moves the editor's gamma slider by a hot key's step. Its change handler shows the new
// position; at either end of the range it doesn't move, and the value it shows is shown all the
// same: a preview of another gamma may be on the display.
void StepSlider(QSlider* bar, int step, const QString& profile) {
    const int before = bar->value();
    bar->setValue(before + step);
    if (bar->value() == before) InForce->ProfilePreviewed(before, profile);
}

// Which gamma a hot key stepped and to what, on the on-screen display.
void ShowStep(const QString& title, GammaPosition position, const QIcon& icon) {
    Form_OSD->ui->Label_Prof->setText(title);
    Form_OSD->ui->Label_Gamma->setText(QStringLiteral("Gamma - ") + GammaText(position));
    Form_OSD->SetIcon(icon);
    Form_OSD->Display();
}

// Set on a node that has never been saved: it has no image, and no key of its own. A saved
// node's image is the image lists' entry at its position.
constexpr int UnsavedRole = Qt::UserRole + 1;

bool Saved(const QTreeWidgetItem* node) {
    return node && !node->data(0, UnsavedRole).toBool();
}

// Where a stored profile's picture comes from: its icon file, or else (no icon file) its program.
std::pair<QString, QString> IconSource(const QString& name) {
    TRegistry item;
    item.OpenKey(ProfilesKey + QLatin1Char('\\') + name, false);
    const QString file = item.ReadString(Values::IconFile);
    return {file, file.isEmpty() ? item.ReadString(Values::FileName) : QString()};
}

void SetEnabled(std::initializer_list<QWidget*> widgets, bool enabled) {
    for (QWidget* w : widgets)
        w->setEnabled(enabled);
}

QString NameProblem(const QString& name) {
    if (name.contains(QLatin1Char('\\')))
        return QStringLiteral("A profile name can't contain \"\\\"");
    for (const QChar c : name)
        if (c.unicode() < 0x20 || c.unicode() == 0x7F)
            return QStringLiteral("A profile name can't contain control characters");
    if (name.size() > 255)
        return QStringLiteral("A profile name can't be longer than 255 characters");
    return QString();
}

} // namespace

TForm_Main::TForm_Main(QWidget* owner)
    : TForm(owner, Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                       Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint),
      ui(this, [this](Ui::TForm_Main& controls) { MakeControls(controls); }) {
    Position = TPosition::poScreenCenter;
    MinimizeBox = true;
    // 1. The components. The tray icon comes first and adds itself at once, so it is in the
    //    tray while the rest loads; its gestures stay off until the end. The window's own
    //    controls wait until it is first needed: most days it is never opened.
    TrayIcon = std::make_unique<TTrayIcon>();
    TrayIcon->RestoreOn = imNone;
    TrayIcon->PopupMenuOn = imNone;
    TrayIcon->SetVisible(true);
    TrayIcon->SetHint(QStringLiteral("Kelvaro"));

    PopupMenu = NewPopupMenu(this);
    PopupMenu->setSeparatorsCollapsible(true);
    Timer_Exit = new TTimer(this, 1500, false);
    Timer_Exit->OnTimer = [this] { Timer_ExitTimer(); };

    TrayIcon->SetPopupMenu(PopupMenu);
    TrayIcon->Hide = true;
    TrayIcon->OnMinimize = [this](TTrayIcon* s) { TrayIconMinimize(s); };
    TrayIcon->OnRestore = [this](TTrayIcon* s) { TrayIconRestore(s); };
    TrayIcon->Loaded();
    connect(PopupMenu, &QMenu::triggered, this,
            Guarded([this](QAction* a) { PopupMenuItemClick(a); }));

    // 2. The ramps the display had when the program started.
    InForce->Capture();
    ShowGammaState();
    connect(InForce, &GammaInForce::shownChanged, this, [this] { ShowGammaState(); });
    // 3-5.
    LoadOptions();
    LoadProfileList();
    BuildTrayMenu();
    // 6. Arm the tray icon.
    TrayIcon->RestoreOn = imDoubleClick;
    TrayIcon->PopupMenuOn = imRightClickUp;
}

TForm_Main::~TForm_Main() {
    if (Application && Application->OnMessage) UnregisterHotkeys();
}

void TForm_Main::MakeControls(Ui::TForm_Main& controls) {
    controls.setupUi(this);
    const double growth = FitToFont(this, QSize(465, 289));
    setWindowIcon(TTrayIcon::ApplicationIcon());
    for (int i = 0; i < 5; ++i)
        ImgList_Btns.Add(QIcon(ArtPixmap(QStringLiteral("btn%1").arg(i))));
    controls.Btn_New->setIcon(ImgList_Btns.GetIcon(0));
    controls.Btn_Del->setIcon(ImgList_Btns.GetIcon(1));
    controls.Btn_Option->setIcon(ImgList_Btns.GetIcon(2));
    controls.Btn_About->setIcon(ImgList_Btns.GetIcon(3));
    controls.Btn_Help->setIcon(ImgList_Btns.GetIcon(4));
    controls.Image1->setPixmap(ArtPixmap(QStringLiteral("image1"), growth));

    controls.ProfileList->setHeaderHidden(true);
    connect(controls.ProfileList, &QTreeWidget::currentItemChanged, this,
            Guarded([this](QTreeWidgetItem* node, QTreeWidgetItem*) { ProfileListChange(node); }));
    connect(controls.Edit_ProfName, &QLineEdit::textChanged, this,
            Guarded([this](const QString&) { Edit_ProfNameChange(); }));
    connect(controls.Edit_ExecFile, &QLineEdit::textChanged, this,
            Guarded([this](const QString&) { Edit_ExecFileChange(); }));
    connect(controls.Bar_Gamma, &QSlider::valueChanged, this,
            Guarded([this](int) { Bar_GammaChange(); }));
    connect(controls.Btn_New, &QToolButton::clicked, this, Guarded([this] { Btn_NewClick(); }));
    connect(controls.Btn_Del, &QToolButton::clicked, this, Guarded([this] { Btn_DelClick(); }));
    connect(controls.Btn_Option, &QToolButton::clicked, this,
            Guarded([this] { Btn_OptionClick(); }));
    connect(controls.Btn_About, &QToolButton::clicked, this, Guarded([this] { Btn_AboutClick(); }));
    connect(controls.Btn_Help, &QToolButton::clicked, this, Guarded([this] { Btn_HelpClick(); }));
    connect(controls.Btn_Browse, &QPushButton::clicked, this,
            Guarded([this] { Btn_BrowseClick(); }));
    connect(controls.Btn_Icon, &QPushButton::clicked, this, Guarded([this] { Btn_IconClick(); }));
    connect(controls.Btn_Save, &QPushButton::clicked, this, Guarded([this] { Btn_SaveClick(); }));
    connect(controls.Btn_Launch, &QPushButton::clicked, this,
            Guarded([this] { Btn_LaunchClick(); }));
    SetEditorDisabled();
    FillProfileList();
}

void TForm_Main::ShowGammaState() {
    const QString session = platform::SessionHint();
    TrayIcon->SetHint(InForce->NotSet()   ? platform::GammaNotSetTooltip()
                      : session.isEmpty() ? QStringLiteral("Kelvaro")
                                          : session);
}

void TForm_Main::QuitSequence() {
    InForce->Restore();
    if (Application) Application->Terminate();
}

// ---- Settings -------------------------------------------------------------------------

void TForm_Main::LoadOptions() {
    TRegistry reg;
    reg.OpenKey(ProgramKey, true);
    // Each on its own: a missing Exit must not take the hot keys with it; a store from before
    // the option has no FollowFocus: off.
    InForce->FollowFocus(reg.ReadBoolIfAny(Values::FollowFocus).value_or(false));
    ExitOnClose = reg.ReadBoolIfAny(Values::Exit).value_or(false);
    const std::optional<bool> hotkeys = reg.ReadBoolIfAny(Values::Hotkeys);
    HotkeysEnabled = hotkeys.value_or(false);
    if (!hotkeys) return; // neither call while there is no setting
    if (HotkeysEnabled)
        RegisterHotkeys();
    else
        UnregisterHotkeys();
}

void TForm_Main::SaveProfileGamma(bool behind) {
    QTreeWidgetItem* node = Selected();
    if (!node) return; // nothing to store to
    InForce->ProfileStored(node->text(0), ui->Bar_Gamma->value());
    // A step stored for an unsaved node makes a key the list doesn't show: the next Save or
    // Delete reads the store in whole, as it would after another program's change.
    if (behind && !Saved(node)) storeMark_ = -1;
    const auto write = [name = node->text(0), gamma = ui->Bar_Gamma->value()] {
        TRegistry reg;
        reg.OpenKey(ProfilesKey, false);
        reg.OpenKey(name, true);
        reg.WriteInteger(Values::Gamma, gamma);
    };
    if (behind)
        WriteBehind(ProfilesKey + QLatin1Char('\\') + platform::Hive::fold(node->text(0)), write);
    else
        write();
}

// ---- Profile list -----------------------------------------------------------------------

QTreeWidgetItem* TForm_Main::Selected() const {
    // No controls yet: nothing can have been selected.
    return ui.Made() ? ui->ProfileList->currentItem() : nullptr;
}

QIcon TForm_Main::ProfileIcon(const QString& iconFile, const QString& fileName,
                              const platform::DesktopEntries* entries) const {
    QString path = iconFile.isEmpty() ? fileName : iconFile;
    if (path.isEmpty() || !QFileInfo(path).isFile()) path = platform::GenericIconFile;
    QIcon icon = platform::ExtractIcon(path, entries);
    // A file that yields no icon still needs its entry, so entry i stays node i's.
    return icon.isNull() ? GenericProgramIcon() : icon;
}

void TForm_Main::LoadProfileList() {
    IconListSm.Clear();
    IconListLg.Clear();
    ProfileNames.clear();
    // Profiles often share a program or an icon file: read each file once per rebuild, and
    // the desktop entries (native programs' icons) at most once.
    std::map<std::pair<QString, QString>, QIcon> icons;
    const platform::DesktopEntries entries;
    {
        // One look at the store for the whole list.
        platform::HiveReading reading(platform::Hive::instance());
        TRegistry reg;
        reg.OpenKey(ProfilesKey, true);
        reg.GetKeyNames(ProfileNames);
        for (int i = 0; i < ProfileNames.size(); ++i) {
            const auto source = IconSource(ProfileNames[i]);
            auto cached = icons.find(source);
            if (cached == icons.end())
                cached =
                    icons.emplace(source, ProfileIcon(source.first, source.second, &entries)).first;
            IconListSm.Insert(i, cached->second);
            IconListLg.Insert(i, cached->second);
        }
        storeMark_ = platform::Hive::instance().othersWrites();
    }
    if (ui.Made()) FillProfileList();
}

QTreeWidgetItem* TForm_Main::NewNode(int index) const {
    auto* node = new QTreeWidgetItem(QStringList{ProfileNames[index]});
    node->setIcon(0, IconListSm.GetIcon(index));
    return node;
}

int TForm_Main::ProfilePosition(const QString& name, bool* found) const {
    // The store enumerates by the folded names' bytes (UTF-8), which is how QByteArray compares.
    const QByteArray key = platform::Hive::fold(name).toUtf8();
    const auto at = std::lower_bound(ProfileNames.begin(), ProfileNames.end(), key,
                                     [](const QString& stored, const QByteArray& k) {
                                         return platform::Hive::fold(stored).toUtf8() < k;
                                     });
    *found = at != ProfileNames.end() && platform::Hive::fold(*at).toUtf8() == key;
    return int(at - ProfileNames.begin());
}

void TForm_Main::ProfilesChanged(QTreeWidgetItem* touched, const QString& gone,
                                 const QString& saved) {
    if (platform::Hive::instance().othersWrites() != storeMark_) {
        // Someone else wrote: what the store holds now is anyone's guess.
        LoadProfileList();
        BuildTrayMenu();
        return;
    }
    QTreeWidget* list = ui.Made() ? ui->ProfileList : nullptr;
    {
        // What the rebuild drops goes quietly, as the rebuild's emptying does.
        const QSignalBlocker block(list);
        if (list) {
            // The node just saved has a place of its own to go to; unsaved nodes, the rebuild
            // drops, and they all stand after the saved ones.
            delete touched;
            while (list->topLevelItemCount() > 0 &&
                   !Saved(list->topLevelItem(list->topLevelItemCount() - 1)))
                delete list->takeTopLevelItem(list->topLevelItemCount() - 1);
        }
        // The image Save put up for the message belongs to no stored name yet.
        while (IconListSm.Count() > ProfileNames.size()) {
            IconListSm.Delete(IconListSm.Count() - 1);
            IconListLg.Delete(IconListLg.Count() - 1);
        }
        bool found = false;
        if (!gone.isEmpty()) {
            const int at = ProfilePosition(gone, &found);
            if (found) {
                ProfileNames.removeAt(at);
                IconListSm.Delete(at);
                IconListLg.Delete(at);
                delete PopupMenu->actions().value(5 + at);
            }
        }
        if (!saved.isEmpty()) {
            const auto [file, exe] = IconSource(saved);
            const QIcon icon = ProfileIcon(file, exe);
            const int at = ProfilePosition(saved, &found);
            if (found) {
                // Saved over a profile whose name folds alike: that key, and its name, stay.
                IconListSm.Replace(at, icon);
                IconListLg.Replace(at, icon);
                PopupMenu->actions().value(5 + at)->setIcon(IconListSm.GetIcon(at));
                if (list) list->topLevelItem(at)->setIcon(0, IconListSm.GetIcon(at));
            } else {
                TRegistry profiles;
                profiles.OpenKey(ProfilesKey, false);
                ProfileNames.insert(at, profiles.StoredName(saved));
                IconListSm.Insert(at, icon);
                IconListLg.Insert(at, icon);
                PopupMenu->insertAction(PopupMenu->actions().value(5 + at), NewMenuItem(at));
                if (list) list->insertTopLevelItem(at, NewNode(at));
            }
        }
        storeMark_ = platform::Hive::instance().othersWrites();
    }
    if (list) SelectByName();
}

// ProfileList rebuilt from ProfileNames; the node named in the editor is selected again.
void TForm_Main::FillProfileList() {
    {
        // Emptying the list is not a selection change the editor should see.
        const QSignalBlocker block(ui->ProfileList);
        ui->ProfileList->clear();
        QList<QTreeWidgetItem*> nodes;
        nodes.reserve(ProfileNames.size());
        for (int i = 0; i < ProfileNames.size(); ++i)
            nodes << NewNode(i);
        ui->ProfileList->addTopLevelItems(nodes);
    }
    SelectByName();
}

void TForm_Main::SelectByName() {
    {
        const QSignalBlocker block(ui->ProfileList);
        ui->ProfileList->setCurrentItem(nullptr);
    }
    if (isVisible() && ui->ProfileList->topLevelItemCount() > 0) {
        const QString wanted = ui->Edit_ProfName->text();
        for (int i = 0; i < ui->ProfileList->topLevelItemCount(); ++i) {
            QTreeWidgetItem* node = ui->ProfileList->topLevelItem(i);
            if (node->text(0) == wanted) {
                ui->ProfileList->setCurrentItem(node);
                break;
            }
        }
    }
    // The emptied list lost its selection without telling the editor: when nothing matched,
    // the editor must still show that nothing is selected.
    if (!ui->ProfileList->currentItem()) ProfileListChange(nullptr);
}

void TForm_Main::SetEditorDisabled() {
    ui->Edit_ProfName->setEnabled(false);
    ui->Edit_ProfName->clear();
    ui->Edit_ExecFile->setEnabled(false);
    ui->Edit_ExecFile->clear();
    ui->Edit_Arg->setEnabled(false);
    ui->Edit_Arg->clear();
    ui->Bar_Gamma->setEnabled(false);
    ui->Bar_Gamma->setValue(GammaNeutral);
    SetEnabled({ui->Btn_Browse, ui->Btn_Icon, ui->Btn_Save, ui->Btn_Launch, ui->Btn_Del, ui->Label1,
                ui->Label2, ui->Label3, ui->Label4},
               false);
    ShowIcon(QIcon());
}

void TForm_Main::ShowIcon(const QIcon& icon) {
    shownIcon_ = icon;
    if (icon.isNull())
        ui->Image_Icon->clear();
    else
        ui->Image_Icon->setPixmap(icon.pixmap(32, 32));
}

void TForm_Main::ProfileListChange(QTreeWidgetItem* node) {
    profileLoaded_ = false;
    if (!node) {
        SetEditorDisabled();
        return;
    }
    TRegistry reg;
    reg.OpenKey(ProfilesKey + QLatin1Char('\\') + node->text(0), false);
    ui->Edit_ProfName->setEnabled(true);
    ui->Edit_ProfName->setText(node->text(0));
    ui->Edit_ExecFile->setEnabled(true);
    ui->Edit_Arg->setEnabled(true);
    if (reg.ValueExists(Values::FileName)) {
        ui->Edit_ExecFile->setText(reg.ReadString(Values::FileName));
        ui->Btn_Launch->setEnabled(true);
    } else {
        ui->Edit_ExecFile->clear();
        ui->Btn_Launch->setEnabled(false);
    }
    // A profile without its own icon file must not inherit the previous profile's.
    IconFileName = reg.ValueExists(Values::IconFile) ? reg.ReadString(Values::IconFile) : QString();
    if (reg.ValueExists(Values::Args))
        ui->Edit_Arg->setText(reg.ReadString(Values::Args));
    else
        ui->Edit_Arg->clear();
    ui->Bar_Gamma->setEnabled(true);
    ui->Bar_Gamma->setValue(reg.ValueExists(Values::Gamma) ? reg.ReadInteger(Values::Gamma)
                                                           : GammaNeutral);
    const int index = ui->ProfileList->indexOfTopLevelItem(node);
    ShowIcon(index < IconListLg.Count() && Saved(node) ? IconListLg.GetIcon(index) : QIcon());
    SetEnabled(
        {ui->Btn_Browse, ui->Btn_Icon, ui->Btn_Del, ui->Label1, ui->Label2, ui->Label3, ui->Label4},
        true);
    profileLoaded_ = true;
}

// ---- Editor -------------------------------------------------------------------------------

void TForm_Main::FormShow() {
    if (!Selected()) SetEditorDisabled();
    ui->Btn_New->setFocus();
}

void TForm_Main::Edit_ProfNameChange() {
    const QString name = ui->Edit_ProfName->text();
    if (name != QLatin1String("New Profile") && !name.isEmpty() &&
        !ui->Edit_ExecFile->text().isEmpty()) {
        ui->Btn_Save->setEnabled(true);
    } else {
        ui->Btn_Save->setEnabled(false);
        ui->Btn_Launch->setEnabled(false);
    }
}

void TForm_Main::Edit_ExecFileChange() {
    Edit_ProfNameChange();
}

void TForm_Main::Bar_GammaChange() {
    const GammaPosition position = ui->Bar_Gamma->value();
    if (!holdRamp_)
        InForce->ProfilePreviewed(position, Selected() ? Selected()->text(0) : QString());
    ui->Label4->setText(QStringLiteral("Gamma - ") + GammaText(position));
}

void TForm_Main::Btn_NewClick() {
    // No image of its own yet, but the room for one: its text lines up with the saved rows'
    // and the row is as high as theirs.
    static const QIcon room = [] {
        QPixmap blank(16, 16);
        blank.fill(Qt::transparent);
        return QIcon(blank);
    }();
    auto* node = new QTreeWidgetItem(QStringList{QStringLiteral("New Profile")});
    node->setData(0, UnsavedRole, true);
    node->setIcon(0, room);
    ui->ProfileList->addTopLevelItem(node);
    ui->ProfileList->setCurrentItem(node);
    IconFileName.clear();
    ui->Edit_ExecFile->clear();
    ui->Edit_Arg->clear();
    ui->Bar_Gamma->setValue(GammaNeutral);
    ShowIcon(QIcon());
    ui->Edit_ProfName->setFocus();
}

void TForm_Main::Btn_BrowseClick() {
    const auto file = platform::prompts().openFile(
        this, QStringLiteral("Executables|<executable>|All files|*"), ui->Edit_ExecFile->text());
    if (!file) return;
    ShowIcon(ProfileIcon(QString(), *file));
    ui->Edit_ExecFile->setText(*file);
    IconFileName = *file;
}

void TForm_Main::Btn_IconClick() {
    const auto file = platform::prompts().openFile(
        this,
        QStringLiteral("Icon Files|*.exe;*.dll;*.ico;*.png;*.svg;*.xpm|Executable Files|*.exe|"
                       "DLL Files|*.dll|Icon Files|*.ico|Images|*.png;*.svg;*.xpm"),
        IconFileName);
    if (!file) return;
    IconFileName = *file;
    ShowIcon(ProfileIcon(*file, QString()));
}

void TForm_Main::Btn_SaveClick() {
    QTreeWidgetItem* node = Selected();
    if (!node) return;
    const QString name = ui->Edit_ProfName->text();
    const QString problem = NameProblem(name);
    if (!problem.isEmpty()) {
        platform::prompts().messageBox(this, problem + QLatin1Char('.'), QStringLiteral("Kelvaro"),
                                       platform::MessageKind::Error);
        return;
    }
    const QIcon icon = shownIcon_;
    const QString oldName = node->text(0);
    const bool wasSaved = Saved(node);
    try {
        // The old key goes and the new one comes in one transaction: a crash or a failed
        // write never leaves the profile half-saved or gone.
        platform::HiveTransaction tx(platform::Hive::instance());
        TRegistry reg;
        if (reg.OpenKey(ProfilesKey, false) && Saved(node)) {
            // Only a saved node owns a key; an unsaved "New Profile" must not delete a stored
            // profile whose name differs only in case.
            reg.DeleteKey(node->text(0));
        }
        node->setText(0, name);
        TRegistry profile;
        if (!profile.OpenKey(ProfilesKey + QLatin1Char('\\') + name, true))
            throw ERegistryException(
                QStringLiteral("Failed to set data for '%1'").arg(Values::FileName).toStdString());
        profile.WriteString(Values::FileName, ui->Edit_ExecFile->text());
        profile.WriteString(Values::Args, ui->Edit_Arg->text());
        profile.WriteString(Values::IconFile, IconFileName);
        SaveProfileGamma();
        tx.commit();
    } catch (...) {
        node->setText(0, oldName); // the store is as it was; so is the list
        throw;
    }
    const int index = ui->ProfileList->indexOfTopLevelItem(node);
    if (Saved(node) && index < IconListSm.Count()) {
        IconListSm.Replace(index, icon);
        IconListLg.Replace(index, icon);
    } else if (index == IconListSm.Count()) {
        IconListSm.Add(icon);
        IconListLg.Add(icon);
        node->setData(0, UnsavedRole, QVariant());
    }
    node->setIcon(0, IconListSm.GetIcon(index));
    platform::prompts().messageBox(this,
                                   QStringLiteral("Profile ") + name + QStringLiteral(" saved"),
                                   QStringLiteral("Saved"), platform::MessageKind::Information);
    ProfilesChanged(node, wasSaved ? oldName : QString(), name);
}

void TForm_Main::Btn_DelClick() {
    QTreeWidgetItem* node = Selected();
    if (!node) return;
    const int answer = platform::prompts().messageBox(
        this, QStringLiteral("Delete profile ") + node->text(0) + QLatin1Char('?'),
        QStringLiteral("Confirm"), platform::MessageKind::Confirmation);
    if (answer == platform::mrYes) {
        QString gone; // the key deleted, if any
        {
            platform::HiveTransaction tx(platform::Hive::instance());
            TRegistry reg;
            // The key named like the node goes whether the node was saved or not: a hot key
            // during a watch stores the gamma of an unsaved "New Profile" under that name. Only
            // a key of exactly that name: the store ignores case, and an unsaved node must not
            // take a stored profile whose name differs from it in case alone.
            if (reg.OpenKey(ProfilesKey, false) && reg.StoredName(node->text(0)) == node->text(0)) {
                reg.DeleteKey(node->text(0));
                gone = node->text(0);
            }
            tx.commit();
        }
        // The list moves the selection to a neighbour; the editor loads it once, when the
        // list is brought up to date and selects it again by the name in the editor. (Loaded on
        // the removal as well, a profile that can't be read would report its failure twice.)
        QString neighbour;
        {
            const QSignalBlocker block(ui->ProfileList);
            delete node;
            if (const QTreeWidgetItem* now = ui->ProfileList->currentItem())
                neighbour = now->text(0);
        }
        ui->Edit_ProfName->setText(neighbour);
        ProfilesChanged(nullptr, gone, QString());
    }
    if (ui->ProfileList->topLevelItemCount() == 0) SetEditorDisabled();
}

// ---- Launcher -------------------------------------------------------------------------------

void TForm_Main::LaunchProfile(const QString& name) {
    bool loaded = false;
    const GammaPosition before = ui->Bar_Gamma->value();
    {
        // Emptying the editor and loading the profile both move its slider; the display is
        // given one ramp when they are done, so no other gamma flashes up on the way.
        const QScopedValueRollback hold(holdRamp_, true);
        ui->ProfileList->setCurrentItem(nullptr);
        for (int i = 0; i < ui->ProfileList->topLevelItemCount(); ++i) {
            QTreeWidgetItem* node = ui->ProfileList->topLevelItem(i);
            if (node->text(0) == name) {
                ui->ProfileList->setCurrentItem(node);
                loaded = profileLoaded_;
                break;
            }
        }
    }
    // The launched profile's gamma, whether or not the slider had to move for it. A profile
    // that could not be read (its error has been shown) is not started, and a name the list
    // doesn't hold leaves the emptied editor's gamma, as any selection change would.
    const GammaPosition position = ui->Bar_Gamma->value();
    const QString exe = ui->Edit_ExecFile->text();
    if (loaded && !exe.isEmpty())
        InForce->Launched(name, position);
    else if (loaded || position != before)
        InForce->ProfilePreviewed(position, loaded ? name : QString());
    if (!loaded || exe.isEmpty()) return;
    const QString args = ui->Edit_Arg->text();
    const qsizetype slash = exe.lastIndexOf(QLatin1Char('/'));
    const QString directory = slash >= 0 ? exe.left(slash + 1) : QString();
    const platform::ProcessHandle started =
        platform::processes().CreateProcess(exe, args, directory);
    // The watch follows the newest program; an earlier one is reaped whenever it ends.
    if (!LaunchedProcess.empty()) platform::processes().Release(LaunchedProcess);
    LaunchedProcess = started;
    if (!started.empty())
        InForce->Watched(
            [started](pid_t pid) { return platform::processes().Follows(started, pid); });
    Timer_Exit->SetEnabled(true);
    // The watch runs its course as for any program that ended at once; the user learns why
    // nothing came up.
    if (const QString why = platform::processes().StartError(); started.empty() && !why.isEmpty())
        platform::prompts().messageBox(isVisible() ? this : nullptr,
                                       QStringLiteral("Cannot start %1: %2.").arg(exe, why),
                                       QStringLiteral("Kelvaro"), platform::MessageKind::Error);
}

void TForm_Main::Btn_LaunchClick() {
    if (QTreeWidgetItem* node = Selected()) LaunchProfile(node->text(0));
}

void TForm_Main::Timer_ExitTimer() {
    std::uint32_t code = 0;
    if (platform::processes().GetExitCodeProcess(LaunchedProcess, &code) &&
        code == platform::STILL_ACTIVE)
        return;
    platform::processes().CloseHandle(LaunchedProcess);
    LaunchedProcess = {};
    InForce->ProgramEnded();
    Timer_Exit->SetEnabled(false);
}

// ---- Hot keys -------------------------------------------------------------------------------

void TForm_Main::RegisterHotkeys() {
    platform::hotkeys().RegisterHotKey(HotkeyUp, MOD_CONTROL | MOD_ALT, VK_ADD);
    platform::hotkeys().RegisterHotKey(HotkeyDown, MOD_CONTROL | MOD_ALT, VK_SUBTRACT);
    if (Application)
        Application->OnMessage = [this](TMessage& m, bool& handled) { AppMessage(m, handled); };
}

void TForm_Main::UnregisterHotkeys() {
    platform::hotkeys().UnregisterHotKey(HotkeyUp);
    platform::hotkeys().UnregisterHotKey(HotkeyDown);
    if (Application) Application->OnMessage = nullptr;
}

void TForm_Main::AppMessage(TMessage& msg, bool& handled) {
    if (msg.Msg != WM_HOTKEY) return;
    int step = 0;
    if (msg.WParam == HotkeyUp)
        step = 1;
    else if (msg.WParam == HotkeyDown)
        step = -1;
    else
        return;
    QTreeWidgetItem* node = Selected();
    const GammaInForce::Stepped stepped = InForce->WhatStepsNow(Saved(node));
    if (stepped == GammaInForce::Stepped::Launched) {
        // An unsaved "New Profile" (or nothing) in the editor has no key to store to: the step
        // goes to the profile the watch runs for.
        StepLaunchedProfile(step);
    } else if (stepped == GammaInForce::Stepped::Selected) {
        StepSlider(ui->Bar_Gamma, step, node->text(0));
        // A burst of presses shows every step at once; the disk follows.
        SaveProfileGamma(true);
        ShowStep(node->text(0), ui->Bar_Gamma->value(),
                 IconListLg.GetIcon(ui->ProfileList->indexOfTopLevelItem(node)));
    } else {
        ShowStep(QStringLiteral("Desktop"), InForce->StepDesktop(step),
                 TTrayIcon::ApplicationIcon());
    }
    handled = true;
}

void TForm_Main::StepLaunchedProfile(int step) {
    const GammaPosition gamma = InForce->StepLaunched(step);
    const QString name = InForce->LaunchedName();
    // The profiles window showing that profile shows its new gamma (a Save there would store
    // the old one otherwise), without previewing it.
    if (Saved(Selected()) &&
        platform::Hive::fold(Selected()->text(0)) == platform::Hive::fold(name)) {
        const QScopedValueRollback hold(holdRamp_, true);
        ui->Bar_Gamma->setValue(gamma);
    }
    bool found = false;
    const int at = ProfilePosition(name, &found);
    if (found) {
        // Written only into the profile's own key: a profile deleted meanwhile is not made
        // again holding nothing but a gamma.
        WriteBehind(ProfilesKey + QLatin1Char('\\') + platform::Hive::fold(name), [name, gamma] {
            TRegistry reg;
            if (reg.OpenKey(ProfilesKey + QLatin1Char('\\') + name, false))
                reg.WriteInteger(Values::Gamma, gamma);
        });
    }
    ShowStep(name, gamma, found ? IconListLg.GetIcon(at) : TTrayIcon::ApplicationIcon());
}

// ---- Tray menu --------------------------------------------------------------------------------

void TForm_Main::BuildTrayMenu() {
    PopupMenu->clear();
    PopupMenu->setDefaultAction(AddMenuCommand(QStringLiteral("Profiles"), MenuCommand::Profiles));
    AddMenuCommand(QStringLiteral("Options"), MenuCommand::Options);
    AddMenuCommand(QStringLiteral("About"), MenuCommand::About);
    AddMenuCommand(QStringLiteral("Help"), MenuCommand::Help);
    PopupMenu->addSeparator();
    QList<QAction*> items;
    items.reserve(ProfileNames.size());
    for (int i = 0; i < ProfileNames.size(); ++i)
        items << NewMenuItem(i);
    PopupMenu->addActions(items);
    PopupMenu->addSeparator();
    AddMenuCommand(QStringLiteral("Exit"), MenuCommand::Exit);
}

QAction* TForm_Main::AddMenuCommand(const QString& caption, MenuCommand command) {
    QAction* item = PopupMenu->addAction(caption);
    item->setData(QVariant::fromValue(command));
    return item;
}

QAction* TForm_Main::NewMenuItem(int index) const {
    const QString& name = ProfileNames[index];
    auto* item = new QAction(PopupMenu);
    if (name == QLatin1String("-")) {
        item->setSeparator(true); // the toolkit draws a caption of "-" as a line
        return item;
    }
    // Qt reads "&" as an accelerator mark; "&&" shows one ampersand. The name itself is kept in
    // the action's data so the launch gets it exactly.
    item->setText(QString(name).replace(QLatin1String("&"), QLatin1String("&&")));
    item->setIcon(IconListSm.GetIcon(index));
    item->setData(name);
    return item;
}

void TForm_Main::PopupMenuItemClick(QAction* item) {
    if (!item || !PopupMenu->actions().contains(item)) return;
    const QVariant what = item->data();
    const bool fixed = what.metaType() == QMetaType::fromType<MenuCommand>();
    const MenuCommand command = fixed ? what.value<MenuCommand>() : MenuCommand::Launch;
    if (command == MenuCommand::Profiles) {
        show();
        raise();
        TrayIcon->Restore();
    } else if (command == MenuCommand::Options) {
        Form_Option->ShowModal();
    } else if (command == MenuCommand::About) {
        Form_About->ShowModal();
    } else if (command == MenuCommand::Help) {
        OpenHelp();
    } else if (command == MenuCommand::Exit) {
        QuitSequence();
    } else {
        LaunchProfile(what.toString()); // a profile's item holds its name
    }
}

void TForm_Main::TrayIconRestore(TTrayIcon*) {
    show();
    raise();
    activateWindow();
}

void TForm_Main::TrayIconMinimize(TTrayIcon*) {
    // A preview ends with the window; a game still running keeps its own gamma.
    InForce->PreviewEnded();
}

// ---- Tool bar, close, minimise ----------------------------------------------------------------

void TForm_Main::Btn_OptionClick() {
    Form_Option->ShowModal();
}

void TForm_Main::Btn_AboutClick() {
    Form_About->ShowModal();
}

void TForm_Main::Btn_HelpClick() {
    OpenHelp();
}

void TForm_Main::FormClose(TCloseAction& action) {
    // Without a tray icon nothing could bring the window back: closing it quits.
    if (!ExitOnClose && !TrayIcon->NoTray()) {
        action = TCloseAction::caNone;
        TrayIcon->Minimize();
        return;
    }
    InForce->Restore();
    // The main form closing ends the program.
    if (Application) Application->Terminate();
}

void TForm_Main::changeEvent(QEvent* e) {
    TForm::changeEvent(e);
    if (e->type() != QEvent::WindowStateChange || !Application) return;
    const auto* change = static_cast<QWindowStateChangeEvent*>(e);
    const bool nowMinimized = windowState() & Qt::WindowMinimized;
    if (nowMinimized && !(change->oldState() & Qt::WindowMinimized) && TrayIcon->NoTray()) {
        // No tray icon to go to: an ordinary minimised window, which the task bar or the
        // desktop's overview brings back. A preview ends with it all the same.
        InForce->PreviewEnded();
        return;
    }
    if (nowMinimized && !(change->oldState() & Qt::WindowMinimized) && !KeepsFromMinimizing()) {
        // The minimise button, as the system command the main-window hooks expect.
        TMessage msg;
        msg.Msg = WM_SYSCOMMAND;
        msg.WParam = SC_MINIMIZE;
        try {
            Application->MainWindowMessage(msg);
        } catch (const std::exception& ex) {
            Application->HandleException(ex);
        }
    }
}
