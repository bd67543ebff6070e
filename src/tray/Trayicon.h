// TTrayIcon: keeps one icon of the application in the notification area, turns mouse actions
// on it into events, pops up a menu beside it, and sends the application to the tray and back.
#pragma once

#include "platform/system/Messages.h"
#include "platform/tray/NotifyArea.h"
#include "toolkit/Toolkit.h"

#include <QIcon>
#include <QMenu>
#include <QPoint>
#include <QPointer>
#include <functional>
#include <memory>

class TMessageWindow;

enum TTrayIconMessage {
    imClick = 0,
    imDoubleClick = 1,
    imMouseDown = 2,
    imMouseUp = 3,
    imLeftClickUp = 4,
    imLeftDoubleClick = 5,
    imRightClickUp = 6,
    imRightDoubleClick = 7,
    imNone = 8
};

enum class TMouseButton { mbLeft, mbRight, mbMiddle };
enum TShiftFlag : unsigned {
    ssShift = 1,
    ssAlt = 2,
    ssCtrl = 4,
    ssLeft = 8,
    ssRight = 16,
    ssMiddle = 32,
    ssDouble = 64
};
using TShiftState = unsigned;

class TTrayIcon;
using TNotifyEvent = std::function<void(TTrayIcon* sender)>;
using TMouseEvent = std::function<void(TTrayIcon* sender, TMouseButton, TShiftState, int x, int y)>;
using TMouseMoveEvent = std::function<void(TTrayIcon* sender, TShiftState, int x, int y)>;

class TTrayIcon {
public:
    TTrayIcon();
    virtual ~TTrayIcon();
    TTrayIcon(const TTrayIcon&) = delete;
    TTrayIcon& operator=(const TTrayIcon&) = delete;

    bool Visible() const { return visible_; }
    // The icon is waiting for a tray that did not come in time.
    bool NoTray() const { return noTray_; }
    // ... because the tray that had it went away.
    bool TrayLost() const { return noTray_ && trayLost_; }
    virtual void SetVisible(bool value);
    QString Hint() const { return hint_; }
    void SetHint(const QString& value);
    QMenu* PopupMenu() const { return popupMenu_; }
    void SetPopupMenu(QMenu* menu);
    bool Hide = true;
    TTrayIconMessage RestoreOn = imDoubleClick;
    TTrayIconMessage PopupMenuOn = imNone;
    TImageList* Icons() const { return icons_; }
    void SetIcons(TImageList* icons);
    int IconIndex() const { return iconIndex_; }
    virtual void SetIconIndex(int value);
    int AnimateInterval() const { return timer_.Interval(); }
    void SetAnimateInterval(int ms) { timer_.SetInterval(ms); }
    bool Animate() const { return animate_; }
    void SetAnimate(bool value);
    HWND Handle() const;

    TNotifyEvent OnMinimize, OnRestore, OnClick, OnDblClick, OnAnimate;
    // An add that went on waiting for a tray found none in time, or the tray that had the
    // icon went away (NoTray() is true from then on): the icon waits on, and OnDocked is
    // raised when a tray takes it in after all.
    TNotifyEvent OnNoTray, OnDocked;
    TNotifyEvent OnCreate, OnDestroy, OnActivate, OnDeactivate; // never raised
    TMouseMoveEvent OnMouseMove, OnMouseEnter, OnMouseExit;     // enter/exit never raised
    TMouseEvent OnMouseUp, OnMouseDown;

    virtual void Minimize();
    virtual void Restore();
    virtual void Update();
    virtual void ShowMenu();
    virtual void SetDefaultIcon();
    void EndSession();
    TShiftState ShiftState() const;
    // Called once the owner has set the properties from its layout.
    void Loaded();
    // A component this one refers to is going away.
    void Notification(const void* component);

    const NOTIFYICONDATAA& IconData() const { return data_; }
    // The application's icon, which the tray shows unless an image list says otherwise.
    static QIcon ApplicationIcon();

protected:
    virtual void DoMessage(TMessage& msg);
    virtual void DoClick();
    virtual void DoDblClick();
    virtual void DoMouseMove(TShiftState shift, int x, int y);
    virtual void DoMouseDown(TMouseButton button, TShiftState shift, int x, int y);
    virtual void DoMouseUp(TMouseButton button, TShiftState shift, int x, int y);
    virtual void DoOnAnimate(TTrayIcon* sender);

private:
    bool ApplicationHookProc(TMessage& msg);
    void HookTrayState();
    void act(TTrayIconMessage mode);

    NOTIFYICONDATAA data_;
    QIcon icon_;
    std::unique_ptr<TMessageWindow> window_;
    TTimer timer_;
    bool visible_ = false;
    QString hint_;
    QPointer<QMenu> popupMenu_;
    TImageList* icons_ = nullptr;
    int iconIndex_ = 0;
    bool animate_ = false;
    bool loading_ = true;
    QMetaObject::Connection sessionEnd_;
    bool trayStateHooked_ = false;
    bool noTray_ = false;
    bool trayLost_ = false;
};
