// The notification area on X11: our own icon window docked into the XEmbed tray manager that
// owns _NET_SYSTEM_TRAY_S<screen>; through QSystemTrayIcon where only a StatusNotifierItem
// host exists.
#include "platform/NotifyArea.h"

#include "platform/X11.h"

#include <QAbstractNativeEventFilter>
#include <QCoreApplication>
#include <QCursor>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QMouseEvent>
#include <QPainter>
#include <QSystemTrayIcon>
#include <QThread>
#include <QTimer>
#include <QWidget>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <xcb/xfixes.h>

namespace platform {

namespace {

constexpr quint32 SYSTEM_TRAY_REQUEST_DOCK = 0;
constexpr quint32 XEMBED_EMBEDDED_NOTIFY = 0;

// How long an add waits for a tray to appear (a panel that starts after the program).
constexpr int TrayWaitMs = 10000;
NotifyArea* g_area = nullptr;

void postMouse(HWND wnd, UINT callback, quintptr id, UINT mouse) {
    TMessage m;
    m.Wnd = wnd;
    m.Msg = callback;
    m.WParam = id;
    m.LParam = static_cast<LPARAM>(mouse);
    PostMessage(m);
}

UINT mouseMessage(Qt::MouseButton b, UINT left, UINT right, UINT middle) {
    switch (b) {
    case Qt::LeftButton:
        return left;
    case Qt::RightButton:
        return right;
    case Qt::MiddleButton:
        return middle;
    default:
        return 0;
    }
}

xcb_window_t trayManager() {
    xcb_connection_t* c = x11::connection();
    if (!c) return XCB_NONE;
    const QByteArray name = "_NET_SYSTEM_TRAY_S" + QByteArray::number(x11::screenNumber());
    const xcb_atom_t sel = x11::atom(name.constData());
    xcb_get_selection_owner_reply_t* r =
        xcb_get_selection_owner_reply(c, xcb_get_selection_owner(c, sel), nullptr);
    const xcb_window_t owner = r ? r->owner : XCB_NONE;
    std::free(r);
    return owner;
}

// One icon in an XEmbed tray.
class XEmbedIcon : public QWidget {
public:
    XEmbedIcon() : QWidget(nullptr, Qt::Window | Qt::FramelessWindowHint) {
        setAttribute(Qt::WA_AlwaysShowToolTips);
        setMouseTracking(true);
        // XEmbed trays size a docked window from its minimum-size hint.
        setMinimumSize(22, 22);
        resize(22, 22);
        winId();
    }

    void apply(const NOTIFYICONDATAA& d) {
        wnd_ = d.hWnd;
        id_ = d.uID;
        callback_ = (d.uFlags & NIF_MESSAGE) ? d.uCallbackMessage : 0;
        if (d.uFlags & NIF_ICON) icon_ = d.hIcon;
        setToolTip((d.uFlags & NIF_TIP) ? d.tip() : QString());
        update();
    }

    bool dock(xcb_window_t manager) {
        embedded_ = false;
        xcb_connection_t* c = x11::connection();
        if (!c || manager == XCB_NONE) return false;
        // The manager sizes the icon from these hints when it takes the window in; Qt writes
        // them only when the window is shown, which must wait for the embedding.
        const quint32 side = 22;
        quint32 hints[18] = {};
        hints[0] = 16 | 256; // PMinSize | PBaseSize
        hints[5] = hints[6] = side;
        hints[15] = hints[16] = side;
        xcb_change_property(c, XCB_PROP_MODE_REPLACE, static_cast<xcb_window_t>(winId()),
                            XCB_ATOM_WM_NORMAL_HINTS, XCB_ATOM_WM_SIZE_HINTS, 32, 18, hints);
        // Not mapped yet: the manager must not show the window before it has taken it in.
        setXEmbedMapped(false);
        xcb_client_message_event_t ev{};
        ev.response_type = XCB_CLIENT_MESSAGE;
        ev.format = 32;
        ev.window = manager;
        ev.type = x11::atom("_NET_SYSTEM_TRAY_OPCODE");
        ev.data.data32[0] = XCB_CURRENT_TIME;
        ev.data.data32[1] = SYSTEM_TRAY_REQUEST_DOCK;
        ev.data.data32[2] = static_cast<quint32>(winId());
        xcb_send_event(c, 0, manager, XCB_EVENT_MASK_NO_EVENT, reinterpret_cast<const char*>(&ev));
        xcb_flush(c);
        return true;
    }

    // The manager has taken the window in: only now is it safe to show it.
    void embedded() {
        embedded_ = true;
        setXEmbedMapped(true);
        show();
        update();
        xcb_flush(x11::connection());
    }
    // In the tray and drawn there.
    bool isShown() const { return embedded_ && painted_; }
    std::function<void()> onShown;

    void lost() {
        embedded_ = false;
        hide();
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        const int side = qMin(width(), height());
        const QRect r((width() - side) / 2, (height() - side) / 2, side, side);
        icon_.paint(&p, r);
        painted_ = true;
        if (onShown) onShown();
    }
    void mousePressEvent(QMouseEvent* e) override {
        send(mouseMessage(e->button(), WM_LBUTTONDOWN, WM_RBUTTONDOWN, WM_MBUTTONDOWN));
    }
    void mouseReleaseEvent(QMouseEvent* e) override {
        send(mouseMessage(e->button(), WM_LBUTTONUP, WM_RBUTTONUP, WM_MBUTTONUP));
    }
    void mouseDoubleClickEvent(QMouseEvent* e) override {
        send(mouseMessage(e->button(), WM_LBUTTONDBLCLK, WM_RBUTTONDBLCLK, WM_MBUTTONDBLCLK));
    }
    void mouseMoveEvent(QMouseEvent*) override { send(WM_MOUSEMOVE); }

private:
    void setXEmbedMapped(bool mapped) {
        const quint32 info[2] = {0, mapped ? 1u : 0u}; // version 0, XEMBED_MAPPED
        const xcb_atom_t atom = x11::atom("_XEMBED_INFO");
        xcb_change_property(x11::connection(), XCB_PROP_MODE_REPLACE,
                            static_cast<xcb_window_t>(winId()), atom, atom, 32, 2, info);
        xcb_flush(x11::connection());
    }

    void send(UINT mouse) {
        if (mouse && callback_) postMouse(wnd_, callback_, id_, mouse);
    }

    HWND wnd_ = 0;
    quintptr id_ = 0;
    UINT callback_ = 0;
    QIcon icon_;
    bool embedded_ = false;
    bool painted_ = false;
};

// One icon shown by a StatusNotifierItem host.
class SniIcon {
public:
    SniIcon() {
        QObject::connect(&tray_, &QSystemTrayIcon::activated,
                         [this](QSystemTrayIcon::ActivationReason r) { activated(r); });
    }
    void apply(const NOTIFYICONDATAA& d) {
        wnd_ = d.hWnd;
        id_ = d.uID;
        callback_ = (d.uFlags & NIF_MESSAGE) ? d.uCallbackMessage : 0;
        if (d.uFlags & NIF_ICON) tray_.setIcon(d.hIcon);
        tray_.setToolTip((d.uFlags & NIF_TIP) ? d.tip() : QString());
    }
    void show() { tray_.show(); }

private:
    void activated(QSystemTrayIcon::ActivationReason r) {
        if (!callback_) return;
        switch (r) {
        case QSystemTrayIcon::Trigger:
        case QSystemTrayIcon::DoubleClick:
            postMouse(wnd_, callback_, id_, WM_LBUTTONDBLCLK); // the gesture that restores
            break;
        case QSystemTrayIcon::Context:
            postMouse(wnd_, callback_, id_, WM_RBUTTONDOWN);
            postMouse(wnd_, callback_, id_, WM_RBUTTONUP);
            break;
        case QSystemTrayIcon::MiddleClick:
            postMouse(wnd_, callback_, id_, WM_MBUTTONDOWN);
            postMouse(wnd_, callback_, id_, WM_MBUTTONUP);
            break;
        default:
            break;
        }
    }
    QSystemTrayIcon tray_;
    HWND wnd_ = 0;
    quintptr id_ = 0;
    UINT callback_ = 0;
};

class DesktopNotifyArea : public NotifyArea, public QAbstractNativeEventFilter {
public:
    bool Shell_NotifyIcon(quint32 message, const NOTIFYICONDATAA& data) override {
        const Key key{data.hWnd, data.uID};
        switch (message) {
        case NIM_ADD:
            return add(key, data);
        case NIM_MODIFY: {
            auto it = icons_.find(key);
            if (it == icons_.end()) return false;
            it->second.data = data;
            if (it->second.xembed) it->second.xembed->apply(data);
            if (it->second.sni) it->second.sni->apply(data);
            return true;
        }
        case NIM_DELETE:
            return icons_.erase(key) > 0;
        default:
            return false;
        }
    }

    bool nativeEventFilter(const QByteArray& type, void* message, qintptr*) override {
        if (type != "xcb_generic_event_t") return false;
        auto* ev = static_cast<xcb_generic_event_t*>(message);
        const uint8_t kind = ev->response_type & 0x7F;
        if (kind == XCB_CLIENT_MESSAGE) {
            auto* cm = reinterpret_cast<xcb_client_message_event_t*>(ev);
            if (cm->type == x11::atom("_XEMBED") && cm->data.data32[1] == XEMBED_EMBEDDED_NOTIFY) {
                for (auto& [key, icon] : icons_)
                    if (icon.xembed && icon.xembed->winId() == cm->window) icon.xembed->embedded();
            }
        } else if (xfixesBase_ && kind == xfixesBase_ + XCB_XFIXES_SELECTION_NOTIFY) {
            auto* sn = reinterpret_cast<xcb_xfixes_selection_notify_event_t*>(ev);
            trayChanged(sn->owner);
        }
        return false;
    }

private:
    struct Key {
        HWND wnd;
        quintptr id;
        bool operator<(const Key& o) const { return wnd != o.wnd ? wnd < o.wnd : id < o.id; }
    };
    struct Icon {
        NOTIFYICONDATAA data;
        std::unique_ptr<XEmbedIcon> xembed;
        std::unique_ptr<SniIcon> sni;
    };

    void watchTray() {
        if (watching_) return;
        xcb_connection_t* c = x11::connection();
        if (!c) return;
        watching_ = true;
        const xcb_query_extension_reply_t* ext = xcb_get_extension_data(c, &xcb_xfixes_id);
        if (!ext || !ext->present) return;
        std::free(xcb_xfixes_query_version_reply(c, xcb_xfixes_query_version(c, 5, 0), nullptr));
        xfixesBase_ = ext->first_event;
        const QByteArray name = "_NET_SYSTEM_TRAY_S" + QByteArray::number(x11::screenNumber());
        xcb_xfixes_select_selection_input(
            c, x11::rootWindow(), x11::atom(name.constData()),
            XCB_XFIXES_SELECTION_EVENT_MASK_SET_SELECTION_OWNER |
                XCB_XFIXES_SELECTION_EVENT_MASK_SELECTION_WINDOW_DESTROY |
                XCB_XFIXES_SELECTION_EVENT_MASK_SELECTION_CLIENT_CLOSE);
        xcb_flush(c);
        qApp->installNativeEventFilter(this);
    }

    // A panel went away or a new one came: visible icons follow it.
    void trayChanged(xcb_window_t owner) {
        for (auto& [key, icon] : icons_) {
            if (!icon.xembed) continue;
            icon.xembed->lost();
            if (owner != XCB_NONE) icon.xembed->dock(owner);
        }
    }

    bool add(const Key& key, const NOTIFYICONDATAA& data) {
        if (icons_.count(key)) return false;
        Icon icon;
        icon.data = data;
        if (x11::connection()) {
            QElapsedTimer waited;
            waited.start();
            xcb_window_t manager = trayManager();
            while (manager == XCB_NONE && waited.elapsed() < TrayWaitMs &&
                   !QSystemTrayIcon::isSystemTrayAvailable()) {
                QThread::msleep(100);
                manager = trayManager();
            }
            XEmbedIcon* added = nullptr;
            if (manager != XCB_NONE) {
                icon.xembed = std::make_unique<XEmbedIcon>();
                icon.xembed->apply(data);
                if (!icon.xembed->dock(manager)) return false;
                added = icon.xembed.get();
                icons_.emplace(key, std::move(icon));
            }
            // Following the tray's owner costs a round trip: made while the manager takes the
            // icon in rather than before asking it to.
            watchTray();
            if (added) {
                waitForEmbedding(added);
                return true;
            }
        }
        if (!QSystemTrayIcon::isSystemTrayAvailable()) return false;
        icon.sni = std::make_unique<SniIcon>();
        icon.sni->apply(data);
        icon.sni->show();
        icons_.emplace(key, std::move(icon));
        return true;
    }

    // The icon is in the tray when the manager has taken it in and it is drawn: give it a
    // moment for both, so it shows now rather than after the rest of start-up. A slow panel
    // embeds it later, from the event loop.
    static void waitForEmbedding(XEmbedIcon* icon) {
        if (icon->isShown()) return;
        QEventLoop loop;
        QTimer::singleShot(250, &loop, &QEventLoop::quit);
        icon->onShown = [&loop] { loop.quit(); };
        loop.exec(QEventLoop::ExcludeUserInputEvents);
        icon->onShown = nullptr;
        xcb_flush(x11::connection());
    }

    std::map<Key, Icon> icons_;
    bool watching_ = false;
    uint8_t xfixesBase_ = 0;
};

} // namespace

NotifyArea& notifyArea() {
    static DesktopNotifyArea* real = new DesktopNotifyArea; // lives as long as the process
    return g_area ? *g_area : *real;
}

void setNotifyArea(NotifyArea* area) {
    g_area = area;
}

} // namespace platform
