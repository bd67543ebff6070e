#include "platform/system/X11.h"

#include <QAbstractNativeEventFilter>
#include <QEvent>
#include <QGuiApplication>
#include <QPointer>
#include <QTimer>
#include <QWidget>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace platform::x11 {

namespace {
QNativeInterface::QX11Application* native() {
    if (!qGuiApp) return nullptr;
    return qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
}
} // namespace

xcb_connection_t* connection() {
    auto* n = native();
    return n ? n->connection() : nullptr;
}

int screenNumber() {
    // Qt opens the default screen of DISPLAY; the tray selection is per screen.
    const QByteArray d = qgetenv("DISPLAY");
    const int dot = d.lastIndexOf('.');
    const int colon = d.lastIndexOf(':');
    return dot > colon ? d.mid(dot + 1).toInt() : 0;
}

xcb_window_t rootWindow() {
    xcb_connection_t* c = connection();
    if (!c) return XCB_NONE;
    xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(c));
    for (int i = screenNumber(); it.rem && i > 0; --i)
        xcb_screen_next(&it);
    return it.rem ? it.data->root : XCB_NONE;
}

xcb_atom_t atom(const char* name) {
    static std::unordered_map<std::string, xcb_atom_t> cache;
    auto found = cache.find(name);
    if (found != cache.end()) return found->second;
    xcb_connection_t* c = connection();
    if (!c) return XCB_NONE;
    xcb_intern_atom_reply_t* r = xcb_intern_atom_reply(
        c, xcb_intern_atom(c, 0, static_cast<uint16_t>(std::strlen(name)), name), nullptr);
    const xcb_atom_t a = r ? r->atom : XCB_NONE;
    std::free(r);
    if (a != XCB_NONE) cache.emplace(name, a);
    return a;
}

namespace {
template <class T> using Reply = std::unique_ptr<T, decltype(&std::free)>;
} // namespace

std::vector<std::uint32_t> property32(xcb_window_t w, xcb_atom_t name, xcb_atom_t type) {
    xcb_connection_t* c = connection();
    if (!c) return {};
    xcb_generic_error_t* err = nullptr;
    Reply<xcb_get_property_reply_t> r(
        xcb_get_property_reply(c, xcb_get_property(c, 0, w, name, type, 0, 4096), &err),
        &std::free);
    std::free(err);
    if (!r || r->format != 32 || r->type != type) return {};
    const auto* data = static_cast<const std::uint32_t*>(xcb_get_property_value(r.get()));
    return {data, data + xcb_get_property_value_length(r.get()) / 4};
}

std::optional<QRect> windowPlace(xcb_window_t w) {
    xcb_connection_t* c = connection();
    if (!c) return std::nullopt;
    const auto geometry = xcb_get_geometry(c, w);
    const auto place = xcb_translate_coordinates(c, w, rootWindow(), 0, 0);
    Reply<xcb_get_geometry_reply_t> g(xcb_get_geometry_reply(c, geometry, nullptr), &std::free);
    Reply<xcb_translate_coordinates_reply_t> t(xcb_translate_coordinates_reply(c, place, nullptr),
                                               &std::free);
    if (!g || !t) return std::nullopt;
    return QRect(t->dst_x, t->dst_y, g->width, g->height);
}

namespace {

bool mapped(xcb_connection_t* c, xcb_window_t w) {
    Reply<xcb_get_window_attributes_reply_t> r(
        xcb_get_window_attributes_reply(c, xcb_get_window_attributes(c, w), nullptr), &std::free);
    return r && r->map_state != XCB_MAP_STATE_UNMAPPED;
}

void sendToRoot(xcb_connection_t* c, xcb_window_t w, xcb_atom_t type,
                std::initializer_list<std::uint32_t> data) {
    xcb_client_message_event_t ev{};
    ev.response_type = XCB_CLIENT_MESSAGE;
    ev.format = 32;
    ev.window = w;
    ev.type = type;
    std::copy(data.begin(), data.end(), ev.data.data32);
    xcb_send_event(c, 0, rootWindow(),
                   XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY | XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT,
                   reinterpret_cast<const char*>(&ev));
}

bool supportedByWindowManager(xcb_atom_t a) {
    const auto supported = property32(rootWindow(), atom("_NET_SUPPORTED"), XCB_ATOM_ATOM);
    return std::find(supported.begin(), supported.end(), a) != supported.end();
}

} // namespace

void setSkipTaskbar(QWidget* window) {
    xcb_connection_t* c = connection();
    if (!c || !window) return;
    const auto wid = static_cast<xcb_window_t>(window->winId());
    const xcb_atom_t state = atom("_NET_WM_STATE");
    const xcb_atom_t taskbar = atom("_NET_WM_STATE_SKIP_TASKBAR");
    const xcb_atom_t pager = atom("_NET_WM_STATE_SKIP_PAGER");
    if (mapped(c, wid)) {
        sendToRoot(c, wid, state, {1, taskbar, pager, 1}); // _NET_WM_STATE_ADD
    } else {
        // Whatever else the toolkit put there stays; it adds its own states to ours on mapping.
        std::vector<std::uint32_t> states = property32(wid, state, XCB_ATOM_ATOM);
        std::erase_if(states, [&](std::uint32_t a) { return a == taskbar || a == pager; });
        states.insert(states.end(), {taskbar, pager});
        xcb_change_property(c, XCB_PROP_MODE_REPLACE, wid, state, XCB_ATOM_ATOM, 32,
                            static_cast<std::uint32_t>(states.size()), states.data());
    }
    xcb_flush(c);
}

void setFrameButtons(QWidget* window, bool minimize) {
    xcb_connection_t* c = connection();
    if (!c || !window) return;
    constexpr std::uint32_t HintsFunctions = 1, HintsDecorations = 2;
    constexpr std::uint32_t FuncMove = 4, FuncMinimize = 8, FuncClose = 32;
    constexpr std::uint32_t DecorBorder = 2, DecorTitle = 8, DecorMenu = 16, DecorMinimize = 32;
    const std::uint32_t hints[5] = {
        HintsFunctions | HintsDecorations, FuncMove | FuncClose | (minimize ? FuncMinimize : 0u),
        DecorBorder | DecorTitle | DecorMenu | (minimize ? DecorMinimize : 0u), 0, 0};
    const xcb_atom_t motif = atom("_MOTIF_WM_HINTS");
    xcb_change_property(c, XCB_PROP_MODE_REPLACE, static_cast<xcb_window_t>(window->winId()), motif,
                        motif, 32, 5, hints);
    xcb_flush(c);
}

namespace {

// Left, right, top, bottom as the property lists them; none where it is missing or all zeros
// (what some window managers leave once the frame has gone).
std::optional<QMargins> readFrameExtents(xcb_window_t w) {
    const std::vector<std::uint32_t> e =
        property32(w, atom("_NET_FRAME_EXTENTS"), XCB_ATOM_CARDINAL);
    if (e.size() < 4 || (e[0] | e[1] | e[2] | e[3]) == 0) return std::nullopt;
    return QMargins(int(e[0]), int(e[2]), int(e[1]), int(e[3]));
}

// The frames seen, per watched window and last of all, and the windows whose frame is watched.
// A window's entries go when it is hidden or destroyed: each showing of a dialog may be a new
// X window, and its id is never seen again.
struct Frames : QAbstractNativeEventFilter {
    std::unordered_map<xcb_window_t, QMargins> seen;
    std::optional<QMargins> last;
    std::unordered_map<xcb_window_t, std::pair<QPointer<QWidget>, std::function<void(QMargins)>>>
        watched;

    void remember(xcb_window_t w, QMargins m) {
        if (watched.count(w)) seen[w] = m;
        last = m;
    }
    void forget(xcb_window_t w) {
        seen.erase(w);
        watched.erase(w);
    }

    bool nativeEventFilter(const QByteArray& type, void* message, qintptr*) override {
        if (type != "xcb_generic_event_t") return false;
        const auto* ev = static_cast<const xcb_generic_event_t*>(message);
        if ((ev->response_type & 0x7f) != XCB_PROPERTY_NOTIFY) return false;
        const auto* pn = reinterpret_cast<const xcb_property_notify_event_t*>(ev);
        if (pn->atom != atom("_NET_FRAME_EXTENTS")) return false;
        const auto found = watched.find(pn->window);
        if (found == watched.end() || !found->second.first) return false;
        const std::optional<QMargins> m = readFrameExtents(pn->window);
        if (!m) return false;
        remember(pn->window, *m);
        // Qt has its own use for the event: it is only looked at here. The window may be moved
        // in the callback, so that runs once the event has been handled.
        QTimer::singleShot(0, found->second.first, [cb = found->second.second, m = *m] { cb(m); });
        return false;
    }
};

Frames& frames();

// Ends a window's watch when it is hidden (a showing watches it again), destroyed or given
// another X window, and goes with it: a dialog may get a new X window at each showing.
class FrameWatchEnd : public QObject {
public:
    FrameWatchEnd(QWidget* window, xcb_window_t id) : QObject(window), id_(id) {
        window->installEventFilter(this);
    }
    ~FrameWatchEnd() override { frames().forget(id_); }
    xcb_window_t id() const { return id_; }

protected:
    bool eventFilter(QObject*, QEvent* e) override {
        if (e->type() == QEvent::Hide || e->type() == QEvent::WinIdChange) {
            frames().forget(id_);
            deleteLater();
        }
        return false;
    }

private:
    const xcb_window_t id_;
};

Frames& frames() {
    static Frames* f = [] {
        auto* made = new Frames; // lives as long as the application that holds it
        qGuiApp->installNativeEventFilter(made);
        return made;
    }();
    return *f;
}

} // namespace

QMargins frameExtents(QWidget* window) {
    xcb_connection_t* c = connection();
    if (!c || !window) return {};
    const auto wid = static_cast<xcb_window_t>(window->winId());
    if (const std::optional<QMargins> now = readFrameExtents(wid)) {
        frames().remember(wid, *now);
        return *now;
    }
    const auto seen = frames().seen.find(wid);
    if (seen != frames().seen.end()) return seen->second;
    return frames().last.value_or(QMargins());
}

void watchFrameExtents(QWidget* window, std::function<void(QMargins)> changed) {
    xcb_connection_t* c = connection();
    if (!c || !window) return;
    const auto wid = static_cast<xcb_window_t>(window->winId());
    frames().watched[wid] = {window, std::move(changed)};
    const auto ends = window->findChildren<FrameWatchEnd*>(Qt::FindDirectChildrenOnly);
    if (std::none_of(ends.begin(), ends.end(), [wid](FrameWatchEnd* e) { return e->id() == wid; }))
        new FrameWatchEnd(window, wid);
    if (!mapped(c, wid) && supportedByWindowManager(atom("_NET_REQUEST_FRAME_EXTENTS"))) {
        sendToRoot(c, wid, atom("_NET_REQUEST_FRAME_EXTENTS"), {});
        xcb_flush(c);
    }
}

std::optional<QPoint> activeWindowCentre() {
    const xcb_window_t root = rootWindow();
    if (root == XCB_NONE) return std::nullopt;
    const std::vector<std::uint32_t> active =
        property32(root, atom("_NET_ACTIVE_WINDOW"), XCB_ATOM_WINDOW);
    if (active.empty() || active.front() == XCB_NONE) return std::nullopt;
    const std::optional<QRect> place = windowPlace(active.front());
    if (!place) return std::nullopt;
    return QPoint(place->x() + place->width() / 2, place->y() + place->height() / 2);
}

} // namespace platform::x11
