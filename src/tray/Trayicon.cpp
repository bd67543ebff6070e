#include "tray/Trayicon.h"

#include "toolkit/Application.h"

#include <QGuiApplication>
#include <QMenu>
#include <QSessionManager>
#include <QWidget>
#include <cstring>

QIcon TTrayIcon::ApplicationIcon() {
    const QIcon icon = QGuiApplication::windowIcon();
    return icon.isNull() ? ArtIcon(QStringLiteral("icon")) : icon;
}

TTrayIcon::TTrayIcon() : timer_(nullptr, 1000, false) {
    icon_ = ApplicationIcon();
    window_ = std::make_unique<TMessageWindow>([this](TMessage& m) { DoMessage(m); });
    // The handler the timer calls is fixed now; assigning OnAnimate later changes nothing.
    OnAnimate = [this](TTrayIcon* s) { DoOnAnimate(s); };
    timer_.OnTimer = [this, h = OnAnimate] { h(this); };
    data_.cbSize = NOTIFYICONDATAA_SIZE;
    data_.hWnd = window_->Handle();
    data_.uID = reinterpret_cast<quintptr>(this);
    data_.uFlags = NIF_MESSAGE | NIF_ICON;
    data_.uCallbackMessage = WM_USER + 1;
    Update();
    // The session manager asking to end the session reaches the hidden window as the two
    // session-end messages: may it end (answered 1), then it ends.
    if (qGuiApp)
        sessionEnd_ = QObject::connect(
            qGuiApp, &QGuiApplication::commitDataRequest, qGuiApp, [this](QSessionManager&) {
                const HWND wnd = window_->Handle();
                TMessage query{wnd, WM_QUERYENDSESSION, 0, 0, 0};
                window_->Dispatch(query);
                TMessage end{wnd, WM_ENDSESSION, WPARAM(query.Result), 0, 0};
                window_->Dispatch(end);
            });
}

TTrayIcon::~TTrayIcon() {
    QObject::disconnect(sessionEnd_);
    if (trayStateHooked_) {
        platform::notifyArea().OnNoTray = nullptr;
        platform::notifyArea().OnDocked = nullptr;
    }
    platform::notifyArea().Shell_NotifyIcon(NIM_DELETE, data_);
    if (Application) Application->UnhookMainWindow(this);
}

HWND TTrayIcon::Handle() const {
    return window_->Handle();
}

void TTrayIcon::SetVisible(bool value) {
    visible_ = value;
    if (value) {
        if (!platform::notifyArea().Shell_NotifyIcon(NIM_ADD, data_))
            throw EOutOfResources("Cannot Create System Shell Notification Icon");
        Hide = true;
        if (Application)
            Application->HookMainWindow(this,
                                        [this](TMessage& m) { return ApplicationHookProc(m); });
        HookTrayState();
    } else {
        if (!platform::notifyArea().Shell_NotifyIcon(NIM_DELETE, data_))
            throw EOutOfResources("Cannot Remove System Shell Notification Icon");
        Hide = false;
        if (Application) Application->UnhookMainWindow(this);
    }
}

void TTrayIcon::HookTrayState() {
    trayStateHooked_ = true;
    platform::NotifyArea& area = platform::notifyArea();
    area.OnNoTray = [this](const NOTIFYICONDATAA& d, bool lost) {
        if (d.uID != data_.uID || noTray_) return;
        noTray_ = true;
        trayLost_ = lost;
        if (OnNoTray) OnNoTray(this);
    };
    area.OnDocked = [this](const NOTIFYICONDATAA& d) {
        if (d.uID != data_.uID || !noTray_) return;
        noTray_ = false;
        if (OnDocked) OnDocked(this);
    };
}

void TTrayIcon::SetHint(const QString& value) {
    if (value == hint_ || value.size() >= 64) return;
    hint_ = value;
    const QByteArray bytes = value.toUtf8().left(127);
    data_.szTip.fill(0);
    std::memcpy(data_.szTip.data(), bytes.constData(), static_cast<size_t>(bytes.size()));
    if (value.isEmpty())
        data_.uFlags &= ~NIF_TIP;
    else
        data_.uFlags |= NIF_TIP;
    Update();
}

void TTrayIcon::Update() {
    data_.hIcon = icon_;
    if (visible_) platform::notifyArea().Shell_NotifyIcon(NIM_MODIFY, data_);
}

void TTrayIcon::SetPopupMenu(QMenu* menu) {
    popupMenu_ = menu;
    platform::notifyArea().SetMenu(data_, menu);
}

void TTrayIcon::SetIcons(TImageList* icons) {
    icons_ = icons;
}

void TTrayIcon::SetIconIndex(int value) {
    iconIndex_ = value;
    if (icons_) icon_ = icons_->GetIcon(value);
    Update();
}

void TTrayIcon::SetAnimate(bool value) {
    if (!icons_ && !loading_) return;
    animate_ = value;
    if (icons_) timer_.SetEnabled(value);
}

void TTrayIcon::SetDefaultIcon() {
    icon_ = ApplicationIcon();
    Update();
}

void TTrayIcon::Loaded() {
    loading_ = false;
    if (icons_) {
        timer_.SetEnabled(animate_);
        icon_ = icons_->GetIcon(iconIndex_);
    } else {
        animate_ = false;
        timer_.SetEnabled(false);
        icon_ = ApplicationIcon();
    }
    Update();
}

void TTrayIcon::Notification(const void* component) {
    if (component == icons_) icons_ = nullptr;
    if (component == popupMenu_.data()) SetPopupMenu(nullptr);
}

void TTrayIcon::DoOnAnimate(TTrayIcon*) {
    if (!icons_ || icons_->Count() == 0) return;
    iconIndex_ = (iconIndex_ + 1) % icons_->Count();
    icon_ = icons_->GetIcon(iconIndex_);
    Update();
}

void TTrayIcon::EndSession() {
    platform::notifyArea().Shell_NotifyIcon(NIM_DELETE, data_);
}

TShiftState TTrayIcon::ShiftState() const {
    const Qt::KeyboardModifiers m = QGuiApplication::queryKeyboardModifiers();
    TShiftState s = 0;
    if (m & Qt::ShiftModifier) s |= ssShift;
    if (m & Qt::ControlModifier) s |= ssCtrl;
    if (m & Qt::AltModifier) s |= ssAlt;
    return s;
}

void TTrayIcon::act(TTrayIconMessage mode) {
    if (RestoreOn == mode) Restore();
    if (PopupMenuOn == mode) ShowMenu();
}

void TTrayIcon::DoMessage(TMessage& msg) {
    msg.Result = 0;
    if (msg.Msg == WM_QUERYENDSESSION) {
        msg.Result = 1;
        return;
    }
    if (msg.Msg == WM_ENDSESSION) {
        EndSession();
        return;
    }
    if (msg.Msg != WM_USER + 1) return;
    const QPoint p = platform::notifyArea().CursorPos();
    switch (static_cast<UINT>(msg.LParam)) {
    case WM_MOUSEMOVE:
        DoMouseMove(ShiftState(), p.x(), p.y());
        break;
    case WM_LBUTTONDOWN:
        DoMouseDown(TMouseButton::mbLeft, ShiftState() | ssLeft, p.x(), p.y());
        break;
    case WM_LBUTTONUP:
        DoClick();
        DoMouseUp(TMouseButton::mbLeft, ShiftState() | ssLeft, p.x(), p.y());
        act(imLeftClickUp);
        break;
    case WM_LBUTTONDBLCLK:
        DoDblClick();
        act(imLeftDoubleClick);
        break;
    case WM_RBUTTONDOWN:
        DoMouseDown(TMouseButton::mbRight, ShiftState() | ssRight, p.x(), p.y());
        break;
    case WM_RBUTTONUP:
        DoMouseUp(TMouseButton::mbRight, ShiftState() | ssRight, p.x(), p.y());
        act(imRightClickUp);
        break;
    case WM_RBUTTONDBLCLK:
        DoDblClick();
        act(imRightDoubleClick);
        break;
    case WM_MBUTTONDOWN:
        DoMouseDown(TMouseButton::mbMiddle, ShiftState() | ssMiddle, p.x(), p.y());
        break;
    case WM_MBUTTONUP:
        DoMouseUp(TMouseButton::mbMiddle, ShiftState() | ssMiddle, p.x(), p.y());
        break;
    case WM_MBUTTONDBLCLK:
        DoDblClick();
        break;
    default:
        break;
    }
}

void TTrayIcon::DoClick() {
    act(imClick);
    if (OnClick) OnClick(this);
}

void TTrayIcon::DoDblClick() {
    act(imDoubleClick);
    if (OnDblClick) OnDblClick(this);
}

void TTrayIcon::DoMouseMove(TShiftState shift, int x, int y) {
    if (OnMouseMove) OnMouseMove(this, shift, x, y);
}

void TTrayIcon::DoMouseDown(TMouseButton button, TShiftState shift, int x, int y) {
    act(imMouseDown);
    if (OnMouseDown) OnMouseDown(this, button, shift, x, y);
}

void TTrayIcon::DoMouseUp(TMouseButton button, TShiftState shift, int x, int y) {
    act(imMouseUp);
    if (OnMouseUp) OnMouseUp(this, button, shift, x, y);
}

bool TTrayIcon::ApplicationHookProc(TMessage& msg) {
    if (msg.Msg == WM_SYSCOMMAND) {
        if (msg.WParam == SC_MINIMIZE) Minimize();
        if (msg.WParam == SC_RESTORE) Restore();
    }
    return false;
}

void TTrayIcon::Minimize() {
    if (Application) Application->Minimize();
    if (OnMinimize) OnMinimize(this);
}

void TTrayIcon::Restore() {
    if (Application) {
        Application->Restore();
        if (QWidget* main = Application->MainForm) {
            main->showNormal();
            main->raise();
            main->activateWindow();
        }
    }
    if (OnRestore) OnRestore(this);
}

void TTrayIcon::ShowMenu() {
    const QPoint p = platform::notifyArea().CursorPos();
    if (Application) {
        if (QWidget* active = Application->ActiveForm()) {
            active->raise();
            active->activateWindow();
        }
    }
    if (!popupMenu_) return;
    popupMenu_->popup(p);
}
