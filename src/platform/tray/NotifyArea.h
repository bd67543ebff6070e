// platform/tray — the notification area, for the tray icon component: this interface; the
// XEmbed icon of our own (XEmbedTray) with its mouse reading (TrayMouse), and the
// StatusNotifierItem with its menu over D-Bus (StatusNotifier).
//
// The notification area: Shell_NotifyIcon's add, modify and delete of an icon record. Mouse
// actions on an icon come back as the record's callback message posted to its window, with
// the mouse message in lParam.
#pragma once

#include "platform/system/Messages.h"

#include <QCursor>
#include <QIcon>
#include <QPoint>
#include <QString>
#include <array>
#include <functional>

class QMenu;

constexpr quint32 NIM_ADD = 0;
constexpr quint32 NIM_MODIFY = 1;
constexpr quint32 NIM_DELETE = 2;
constexpr quint32 NIF_MESSAGE = 1;
constexpr quint32 NIF_ICON = 2;
constexpr quint32 NIF_TIP = 4;

struct NOTIFYICONDATAA {
    quint32 cbSize = 0;
    HWND hWnd = 0;
    quintptr uID = 0;
    quint32 uFlags = 0;
    UINT uCallbackMessage = 0;
    QIcon hIcon;
    std::array<char, 128> szTip{};
    // State and balloon fields: never used, kept zero.
    quint32 dwState = 0;
    quint32 dwStateMask = 0;
    std::array<char, 256> szInfo{};
    quint32 uTimeout = 0;
    std::array<char, 64> szInfoTitle{};
    quint32 dwInfoFlags = 0;

    QString tip() const { return QString::fromUtf8(szTip.data()); }
};

constexpr quint32 NOTIFYICONDATAA_SIZE = 488;

namespace platform {

class NotifyArea {
public:
    virtual ~NotifyArea() = default;
    virtual bool Shell_NotifyIcon(quint32 message, const NOTIFYICONDATAA& data) = 0;
    // Where the pointer was for the icon's latest mouse message, in screen coordinates: the
    // point a StatusNotifierItem host names (the X pointer may be anywhere then), else the
    // pointer now.
    virtual QPoint CursorPos() const { return QCursor::pos(); }
    // The icon's menu, for hosts that draw it themselves.
    virtual void SetMenu(const NOTIFYICONDATAA& data, QMenu* menu) {
        Q_UNUSED(data);
        Q_UNUSED(menu);
    }
    // An add made while no tray was there yet succeeds at once and docks when a tray comes.
    // When none has come within TrayWaitMs, OnNoTray is called with its record and the icon
    // goes on waiting, however long; OnDocked is called with it when a tray takes it in after
    // all. A tray or host that goes away while it holds the icon (a panel that quits, an
    // extension switched off) leaves the icon waiting too: OnNoTray with `lost` set.
    std::function<void(const NOTIFYICONDATAA&, bool lost)> OnNoTray;
    std::function<void(const NOTIFYICONDATAA&)> OnDocked;
    // How long an add waits for a tray to appear: at the session's start a panel may come
    // after the program.
    int TrayWaitMs = 10000;
};

NotifyArea& notifyArea();
void setNotifyArea(NotifyArea* area);

} // namespace platform
