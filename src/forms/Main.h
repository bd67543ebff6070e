// The profiles window: the profile list and editor, the launcher, the hot-key handler, the tray
// icon and its menu, and the option flags the whole program shares. What the display shows is
// GammaInForce's: the handlers tell it what happened.
#pragma once

#include "gamma/Gamma.h"
#include "platform/process/Process.h"
#include "platform/system/Messages.h"
#include "toolkit/Toolkit.h"
#include "tray/Trayicon.h"

#include <QIcon>
#include <QStringList>
#include <cstdint>
#include <memory>

class QAction;
namespace platform {
class DesktopEntries;
}
class QMenu;
class QTreeWidgetItem;
namespace Ui {
class TForm_Main;
}

// The ids of the two hot keys in WM_HOTKEY's wParam.
constexpr int HotkeyUp = 1;
constexpr int HotkeyDown = 2;

class TForm_Main : public TForm {
    Q_OBJECT
public:
    explicit TForm_Main(QWidget* owner = nullptr);
    ~TForm_Main() override;

    // Made the first time the window or its editor is needed; until then the profiles live
    // in ProfileNames and the two image lists.
    mutable TLazyControls<Ui::TForm_Main> ui;

    // Components without a window.
    std::unique_ptr<TTrayIcon> TrayIcon;
    QMenu* PopupMenu = nullptr;
    TImageList IconListSm{16, 16};
    TImageList IconListLg{32, 32};
    TImageList ImgList_Btns{16, 16};
    TTimer* Timer_Exit = nullptr;
    // The stored profiles in the list's order: node i, image i and name i belong together.
    QStringList ProfileNames;
    // The file name OpenDialogIcon holds: the profile's icon file.
    QString IconFileName;

    // Shared state.
    bool ExitOnClose = false;
    bool HotkeysEnabled = false;

    // The tray icon's tooltip says so while no output takes the gamma.
    void ShowGammaState();
    QString GammaText(GammaPosition position) const { return ::GammaText(position); }

    // Settings.
    void LoadOptions();
    // behind: written by the store's own thread, the caller not waiting for the disk.
    void SaveProfileGamma(bool behind = false);

    // Profile list and editor.
    void LoadProfileList();
    void ProfileListChange(QTreeWidgetItem* node);
    QTreeWidgetItem* Selected() const;
    void Btn_NewClick();
    void Btn_DelClick();
    void Btn_BrowseClick();
    void Btn_IconClick();
    void Btn_SaveClick();
    void Edit_ProfNameChange();
    void Edit_ExecFileChange();
    void Bar_GammaChange();

    // Launcher.
    void LaunchProfile(const QString& name);
    void Btn_LaunchClick();
    void Timer_ExitTimer();

    // Hot keys.
    void RegisterHotkeys();
    void UnregisterHotkeys();
    void AppMessage(TMessage& msg, bool& handled);

    // Tray menu and tray handlers.
    void BuildTrayMenu();
    void PopupMenuItemClick(QAction* item);
    void TrayIconRestore(TTrayIcon* sender);
    void TrayIconMinimize(TTrayIcon* sender);

    // Tool bar.
    void Btn_OptionClick();
    void Btn_AboutClick();
    void Btn_HelpClick();

    // Puts back every output's start-up ramp (the identity where nothing usable was
    // captured) and ends.
    void QuitSequence();

    // What the tray menu's fixed items do; a profile's item (Launch) carries the profile's name.
    enum class MenuCommand { Profiles, Options, About, Help, Exit, Launch };

protected:
    void FormShow() override;
    void FormClose(TCloseAction& action) override;
    void changeEvent(QEvent* e) override;

private:
    void MakeControls(Ui::TForm_Main& controls);
    void FillProfileList();
    // The node whose text is the editor's name selected anew, as after a rebuild.
    void SelectByName();
    // After a Save or Delete of our own: the list, the image lists and the menu follow the
    // change alone (a key gone, a key saved; either may be "") and end as LoadProfileList and
    // BuildTrayMenu would leave them. When another program wrote meanwhile, both run.
    void ProfilesChanged(QTreeWidgetItem* touched, const QString& gone, const QString& saved);
    // Where a stored name stands, or would stand, in the list: the store's order.
    int ProfilePosition(const QString& name, bool* found) const;
    QTreeWidgetItem* NewNode(int index) const;
    QAction* NewMenuItem(int index) const;
    QAction* AddMenuCommand(const QString& caption, MenuCommand command);
    void SetEditorDisabled();
    void ShowIcon(const QIcon& icon);
    QIcon ProfileIcon(const QString& iconFile, const QString& fileName,
                      const platform::DesktopEntries* entries = nullptr) const;
    QIcon shownIcon_;
    // The last selection's profile was read into the editor without an error.
    bool profileLoaded_ = false;
    // The store's others-writes mark when the list was last in step with it.
    std::int64_t storeMark_ = -1;
    // Set while a launch moves the editor's slider on its way to the profile: the display
    // gets the launched profile's ramp once, at the end, and nothing on the way.
    bool holdRamp_ = false;
    // A hot key during a watch while the editor shows no saved profile: the launched one is
    // stepped and stored, the editor left as it is.
    void StepLaunchedProfile(int step);
};

extern TForm_Main* Form_Main;
// The process handle of the most recently launched program.
extern platform::ProcessHandle LaunchedProcess;
