// The notification area on X11: a StatusNotifierItem where the session bus has a host for
// one; otherwise our own icon window docked into the XEmbed tray manager that owns
// _NET_SYSTEM_TRAY_S<screen>.
#include "platform/tray/NotifyArea.h"

#include "platform/system/X11.h"
#include "platform/tray/StatusNotifier.h"
#include "platform/tray/TrayMouse.h"

#include <QAbstractNativeEventFilter>
#include <QCursor>
#include <QEventLoop>
#include <QGuiApplication>
#include <QMenu>
#include <QPainter>
#include <QPointer>
#include <QStyleHints>
#include <QTimer>
#include <QWidget>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <vector>
#include <xcb/xfixes.h>
#include <xcb/xinput.h>

namespace platform {

namespace {

constexpr quint32 SYSTEM_TRAY_REQUEST_DOCK = 0;
constexpr quint32 XEMBED_EMBEDDED_NOTIFY = 0;

// How often an add waiting for a tray (NotifyArea::TrayWaitMs) looks for a StatusNotifierItem
// host meanwhile. After that it waits on without asking: a new tray owner and a new host are
// announced.
constexpr int HostPollMs = 500;
NotifyArea* g_area = nullptr;

void postMouse(HWND wnd, UINT callback, quintptr id, UINT mouse) {
    TMessage m;
    m.Wnd = wnd;
    m.Msg = callback;
    m.WParam = id;
    m.LParam = static_cast<LPARAM>(mouse);
    PostMessage(m);
}

xcb_atom_t traySelection() {
    const QByteArray name = "_NET_SYSTEM_TRAY_S" + QByteArray::number(x11::screenNumber());
    return x11::atom(name.constData());
}

xcb_window_t trayManager() {
    xcb_connection_t* c = x11::connection();
    if (!c) return XCB_NONE;
    const xcb_atom_t sel = traySelection();
    xcb_get_selection_owner_reply_t* r =
        xcb_get_selection_owner_reply(c, xcb_get_selection_owner(c, sel), nullptr);
    const xcb_window_t owner = r ? r->owner : XCB_NONE;
    std::free(r);
    return owner;
}

// Whether the visual the tray offers its icons (_NET_SYSTEM_TRAY_VISUAL) has an alpha channel.
bool trayVisualHasAlpha(xcb_window_t manager) {
    xcb_connection_t* c = x11::connection();
    xcb_get_property_reply_t* r =
        xcb_get_property_reply(c,
                               xcb_get_property(c, 0, manager, x11::atom("_NET_SYSTEM_TRAY_VISUAL"),
                                                XCB_ATOM_VISUALID, 0, 1),
                               nullptr);
    xcb_visualid_t visual = 0;
    if (r && r->format == 32 && xcb_get_property_value_length(r) >= 4)
        visual = *static_cast<const xcb_visualid_t*>(xcb_get_property_value(r));
    std::free(r);
    if (!visual) return false;
    xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(c));
    for (int i = x11::screenNumber(); screens.rem && i > 0; --i)
        xcb_screen_next(&screens);
    if (!screens.rem) return false;
    for (auto d = xcb_screen_allowed_depths_iterator(screens.data); d.rem; xcb_depth_next(&d))
        for (auto v = xcb_depth_visuals_iterator(d.data); v.rem; xcb_visualtype_next(&v))
            if (v.data->visual_id == visual) return d.data->depth == 32;
    return false;
}

// One icon in an XEmbed tray. Its mouse input is read from the X events themselves (see
// DesktopNotifyArea::nativeEventFilter), so no modal dialog can block it. It looks transparent
// on any panel: drawn on an alpha channel where the tray offers an ARGB visual, otherwise over
// the background it inherits from the tray (a parent-relative background read back once).
class XEmbedIcon : public QWidget {
public:
    explicit XEmbedIcon(bool alpha)
        : QWidget(nullptr, Qt::Window | Qt::FramelessWindowHint), alpha_(alpha),
          mouse_(QGuiApplication::styleHints()->mouseDoubleClickInterval()) {
        setAttribute(Qt::WA_AlwaysShowToolTips);
        setAttribute(Qt::WA_TranslucentBackground, alpha);
        setMouseTracking(true);
        // XEmbed trays size a docked window from its minimum-size hint.
        setMinimumSize(22, 22);
        resize(22, 22);
        winId();
        if (!alpha) {
            const quint32 parentRelative = XCB_BACK_PIXMAP_PARENT_RELATIVE;
            xcb_change_window_attributes(x11::connection(), window(), XCB_CW_BACK_PIXMAP,
                                         &parentRelative);
        }
    }
    xcb_window_t window() const { return static_cast<xcb_window_t>(winId()); }

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
        background_ = QImage();
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
        if (alpha_) {
            p.setCompositionMode(QPainter::CompositionMode_Source);
            p.fillRect(rect(), Qt::transparent);
            p.setCompositionMode(QPainter::CompositionMode_SourceOver);
        } else {
            if (background_.isNull()) background_ = trayBackground();
            if (!background_.isNull()) p.drawImage(rect(), background_);
        }
        const int side = qMin(width(), height());
        const QRect r((width() - side) / 2, (height() - side) / 2, side, side);
        icon_.paint(&p, r);
        painted_ = true;
        if (onShown) onShown();
    }
    void resizeEvent(QResizeEvent* e) override {
        // The tray background under the new size is read again before the next paint.
        if (!alpha_ && background_.size() != size() * devicePixelRatio()) {
            background_ = QImage();
            xcb_clear_area(x11::connection(), 0, window(), 0, 0, 0, 0);
        }
        QWidget::resizeEvent(e);
    }

public:
    // Raw X input on the icon's window.
    void pressed(int button, quint32 time) { send(mouse_.press(button, time)); }
    void released(int button) { send(mouse_.release(button)); }
    void moved() { send(WM_MOUSEMOVE); }

private:
    // What the tray shows through the window: its background, painted by the server into the
    // (still undrawn or just cleared) window.
    QImage trayBackground() {
        xcb_connection_t* c = x11::connection();
        const QSize px = size() * devicePixelRatio();
        xcb_get_image_reply_t* r =
            xcb_get_image_reply(c,
                                xcb_get_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, window(), 0, 0,
                                              uint16_t(px.width()), uint16_t(px.height()), ~0u),
                                nullptr);
        QImage image;
        if (r && r->depth == 24 && xcb_get_image_data_length(r) == px.width() * px.height() * 4) {
            image = QImage(xcb_get_image_data(r), px.width(), px.height(), px.width() * 4,
                           QImage::Format_RGB32)
                        .copy();
            image.setDevicePixelRatio(devicePixelRatio());
        }
        std::free(r);
        return image;
    }

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

    const bool alpha_;
    TrayMouse mouse_;
    QImage background_;
    HWND wnd_ = 0;
    quintptr id_ = 0;
    UINT callback_ = 0;
    QIcon icon_;
    bool embedded_ = false;
    bool painted_ = false;
};

class DesktopNotifyArea : public NotifyArea, public QAbstractNativeEventFilter {
public:
    DesktopNotifyArea() {
        wait_.setSingleShot(true);
        QObject::connect(&wait_, &QTimer::timeout, [this] { noTrayCame(); });
        poll_.setInterval(HostPollMs);
        QObject::connect(&poll_, &QTimer::timeout, [this] {
            if (StatusNotifierHostAvailable()) hostCame();
        });
    }

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
        case NIM_DELETE: {
            const bool found = icons_.erase(key) > 0;
            if (!waiting()) stopWaiting();
            return found;
        }
        default:
            return false;
        }
    }

    void SetMenu(const NOTIFYICONDATAA& data, QMenu* menu) override {
        auto it = icons_.find(Key{data.hWnd, data.uID});
        if (it == icons_.end()) return;
        it->second.menu = menu;
        if (it->second.sni) it->second.sni->setMenu(menu);
    }

    QPoint CursorPos() const override { return hostPoint_ ? *hostPoint_ : QCursor::pos(); }

    bool nativeEventFilter(const QByteArray& type, void* message, qintptr*) override {
        if (type != "xcb_generic_event_t") return false;
        auto* ev = static_cast<xcb_generic_event_t*>(message);
        const uint8_t kind = ev->response_type & 0x7F;
        switch (kind) {
        case XCB_CLIENT_MESSAGE: {
            auto* cm = reinterpret_cast<xcb_client_message_event_t*>(ev);
            if (cm->type == x11::atom("_XEMBED") && cm->data.data32[1] == XEMBED_EMBEDDED_NOTIFY)
                if (XEmbedIcon* icon = iconWindow(cm->window)) icon->embedded();
            return false;
        }
        case XCB_BUTTON_PRESS:
        case XCB_BUTTON_RELEASE: {
            auto* b = reinterpret_cast<xcb_button_press_event_t*>(ev);
            return button(kind == XCB_BUTTON_PRESS, b->event, b->detail, b->time);
        }
        case XCB_MOTION_NOTIFY:
            if (XEmbedIcon* icon =
                    iconWindow(reinterpret_cast<xcb_motion_notify_event_t*>(ev)->event))
                icon->moved();
            return false; // the toolkit's tooltip follows the pointer too
        case XCB_GE_GENERIC:
            return inputEvent(reinterpret_cast<xcb_ge_generic_event_t*>(ev));
        default:
            break;
        }
        if (xfixesBase_ && kind == xfixesBase_ + XCB_XFIXES_SELECTION_NOTIFY) {
            // Every program's clipboard traffic arrives here as well (the toolkit follows
            // PRIMARY and CLIPBOARD): only the tray's own selection concerns the icons.
            auto* sn = reinterpret_cast<xcb_xfixes_selection_notify_event_t*>(ev);
            if (sn->selection == traySelection()) trayChanged(sn->owner);
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
        std::unique_ptr<StatusNotifierIcon> sni;
        QPointer<QMenu> menu;
        bool shown() const { return xembed || sni; }
    };

    XEmbedIcon* iconWindow(xcb_window_t w) const {
        for (const auto& [key, icon] : icons_)
            if (icon.xembed && icon.xembed->window() == w) return icon.xembed.get();
        return nullptr;
    }

    bool button(bool press, xcb_window_t w, int number, quint32 time) {
        XEmbedIcon* icon = iconWindow(w);
        if (!icon) return false;
        hostPoint_.reset();
        if (press)
            icon->pressed(number, time);
        else
            icon->released(number);
        return true;
    }

    // The toolkit takes the pointer through XInput 2, so presses come as its device events:
    // once from the master pointer and, where the toolkit also follows the physical device
    // (for tablets), once more from that device. The master's count.
    bool inputEvent(xcb_ge_generic_event_t* ge) {
        if (!xiOpcode_ || ge->extension != xiOpcode_) return false;
        auto* e = reinterpret_cast<xcb_input_button_press_event_t*>(ge);
        switch (ge->event_type) {
        case XCB_INPUT_BUTTON_PRESS:
        case XCB_INPUT_BUTTON_RELEASE: {
            if (!iconWindow(e->event)) return false;
            if (e->deviceid != e->sourceid) // the master pointer's, not the device's own copy
                button(ge->event_type == XCB_INPUT_BUTTON_PRESS, e->event, int(e->detail), e->time);
            return true;
        }
        case XCB_INPUT_MOTION:
            if (e->deviceid != e->sourceid)
                if (XEmbedIcon* icon = iconWindow(e->event)) icon->moved();
            return false;
        default:
            return false;
        }
    }

    void watchTray() {
        if (watching_) return;
        xcb_connection_t* c = x11::connection();
        if (!c) return;
        watching_ = true;
        qApp->installNativeEventFilter(this);
        const xcb_query_extension_reply_t* input = xcb_get_extension_data(c, &xcb_input_id);
        if (input && input->present) xiOpcode_ = input->major_opcode;
        const xcb_query_extension_reply_t* ext = xcb_get_extension_data(c, &xcb_xfixes_id);
        if (!ext || !ext->present) return;
        std::free(xcb_xfixes_query_version_reply(c, xcb_xfixes_query_version(c, 5, 0), nullptr));
        xfixesBase_ = ext->first_event;
        xcb_xfixes_select_selection_input(
            c, x11::rootWindow(), traySelection(),
            XCB_XFIXES_SELECTION_EVENT_MASK_SET_SELECTION_OWNER |
                XCB_XFIXES_SELECTION_EVENT_MASK_SELECTION_WINDOW_DESTROY |
                XCB_XFIXES_SELECTION_EVENT_MASK_SELECTION_CLIENT_CLOSE);
        xcb_flush(c);
    }

    // An icon window for the tray that owner manages, asked to dock there.
    static std::unique_ptr<XEmbedIcon> dockedIcon(xcb_window_t owner, const NOTIFYICONDATAA& data) {
        auto icon = std::make_unique<XEmbedIcon>(trayVisualHasAlpha(owner));
        icon->apply(data);
        if (!icon->dock(owner)) return nullptr;
        return icon;
    }

    // A panel went away or a new one came: the icons follow it. An icon waiting for its
    // first tray docks now.
    void trayChanged(xcb_window_t owner) {
        if (owner == manager_) return;
        manager_ = owner;
        std::vector<NOTIFYICONDATAA> docked, lost;
        for (auto& [key, icon] : icons_) {
            if (icon.sni) continue;
            const bool waited = !icon.xembed;
            if (icon.xembed) icon.xembed->lost();
            icon.xembed = owner == XCB_NONE ? nullptr : dockedIcon(owner, icon.data);
            if (waited && icon.xembed) docked.push_back(icon.data);
            if (!waited && !icon.xembed) lost.push_back(icon.data);
        }
        if (!waiting()) stopWaiting();
        told(docked, OnDocked);
        trayLost(lost);
    }

    // The host that showed the items went away (its watcher left the bus, or the watcher has
    // no host left): they go to an XEmbed tray where there is one, else they wait.
    void hostLeft() {
        if (StatusNotifierHostAvailable()) return;
        std::vector<NOTIFYICONDATAA> lost;
        const xcb_window_t owner = x11::connection() ? trayManager() : XCB_NONE;
        for (auto& [key, icon] : icons_) {
            if (!icon.sni) continue;
            icon.sni.reset();
            if (owner != XCB_NONE) icon.xembed = dockedIcon(owner, icon.data);
            if (!icon.xembed) lost.push_back(icon.data);
        }
        if (owner != XCB_NONE) {
            manager_ = owner;
            watchTray();
        }
        trayLost(lost);
    }
    // Icons whose tray went away wait for the next one, and the program is told.
    void trayLost(const std::vector<NOTIFYICONDATAA>& lost) {
        if (lost.empty()) return;
        watchForHost();
        for (const NOTIFYICONDATAA& data : lost)
            if (OnNoTray) OnNoTray(data, true);
    }
    void followHost() {
        if (!hostLeaving_) hostLeaving_ = WatchForStatusNotifierHostLeaving([this] { hostLeft(); });
    }
    void watchForHost() {
        if (!hostWatch_)
            hostWatch_ = WatchForStatusNotifierHost([this] {
                if (waiting() && StatusNotifierHostAvailable()) hostCame();
            });
    }

    // The item for an icon, on the bus; null when the bus can't be reached.
    std::unique_ptr<StatusNotifierIcon> notifierItem(const Key& key, const NOTIFYICONDATAA& data,
                                                     QMenu* menu) {
        auto item = std::make_unique<StatusNotifierIcon>([this, key](UINT mouse, QPoint at) {
            auto it = icons_.find(key);
            if (it == icons_.end() || !(it->second.data.uFlags & NIF_MESSAGE)) return;
            hostPoint_ = at;
            postMouse(key.wnd, it->second.data.uCallbackMessage, key.id, mouse);
        });
        item->apply(data);
        item->setMenu(menu);
        if (!item->show()) return nullptr;
        return item;
    }

    // A StatusNotifierItem host came while icons waited for a tray.
    void hostCame() {
        std::vector<NOTIFYICONDATAA> docked;
        for (auto& [key, icon] : icons_)
            if (!icon.shown()) {
                icon.sni = notifierItem(key, icon.data, icon.menu);
                if (icon.sni) docked.push_back(icon.data);
                if (icon.sni) followHost();
            }
        if (!waiting()) stopWaiting();
        told(docked, OnDocked);
    }

    // No tray in time: the program is told, and the icons wait on for one.
    void noTrayCame() {
        poll_.stop();
        std::vector<NOTIFYICONDATAA> left;
        for (const auto& [key, icon] : icons_)
            if (!icon.shown()) left.push_back(icon.data);
        watchForHost();
        for (const NOTIFYICONDATAA& data : left)
            if (OnNoTray) OnNoTray(data, false);
    }

    // The callback may delete icons: it is given copies.
    static void told(const std::vector<NOTIFYICONDATAA>& icons,
                     const std::function<void(const NOTIFYICONDATAA&)>& callback) {
        for (const NOTIFYICONDATAA& data : icons)
            if (callback) callback(data);
    }

    bool waiting() const {
        for (const auto& [key, icon] : icons_)
            if (!icon.shown()) return true;
        return false;
    }
    void stopWaiting() {
        wait_.stop();
        poll_.stop();
        hostWatch_.reset();
    }

    bool add(const Key& key, const NOTIFYICONDATAA& data) {
        if (icons_.count(key)) return false;
        Icon icon;
        icon.data = data;
        // A desktop whose panel hosts StatusNotifierItems (KDE Plasma on X11 as on Wayland)
        // shows the item itself: with the program's own tooltip and menu, where an XEmbed icon
        // would reach it only through a proxy.
        if (StatusNotifierHostAvailable()) {
            icon.sni = notifierItem(key, data, nullptr);
            if (icon.sni) {
                followHost();
                icons_.emplace(key, std::move(icon));
                return true;
            }
        }
        if (x11::connection()) {
            manager_ = trayManager();
            if (manager_ != XCB_NONE) {
                icon.xembed = dockedIcon(manager_, data);
                if (!icon.xembed) return false;
                XEmbedIcon* added = icon.xembed.get();
                icons_.emplace(key, std::move(icon));
                // Following the tray's owner costs a round trip: made while the manager takes
                // the icon in rather than before asking it to.
                watchTray();
                waitForEmbedding(added);
                return true;
            }
            watchTray();
        }
        // No tray yet (a panel that starts after the program): the icon waits for one while
        // the program goes on starting, and fails late when none comes.
        icons_.emplace(key, std::move(icon));
        wait_.start(TrayWaitMs);
        poll_.start();
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
    std::optional<QPoint> hostPoint_; // where the host put the latest mouse action
    xcb_window_t manager_ = XCB_NONE;
    bool watching_ = false;
    uint8_t xfixesBase_ = 0;
    uint8_t xiOpcode_ = 0;
    QTimer wait_;
    QTimer poll_;
    std::unique_ptr<QObject> hostWatch_;   // after the wait: told when a host comes
    std::unique_ptr<QObject> hostLeaving_; // told when the host of the items may have gone
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
