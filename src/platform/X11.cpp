#include "platform/X11.h"

#include <QGuiApplication>
#include <QWidget>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unordered_map>

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

void setSkipTaskbar(QWidget* window) {
    xcb_connection_t* c = connection();
    if (!c || !window) return;
    const auto wid = static_cast<xcb_window_t>(window->winId());
    const xcb_atom_t state = atom("_NET_WM_STATE");
    const xcb_atom_t taskbar = atom("_NET_WM_STATE_SKIP_TASKBAR");
    const xcb_atom_t pager = atom("_NET_WM_STATE_SKIP_PAGER");
    if (window->isVisible()) {
        xcb_client_message_event_t ev{};
        ev.response_type = XCB_CLIENT_MESSAGE;
        ev.format = 32;
        ev.window = wid;
        ev.type = state;
        ev.data.data32[0] = 1; // _NET_WM_STATE_ADD
        ev.data.data32[1] = taskbar;
        ev.data.data32[2] = pager;
        ev.data.data32[3] = 1;
        xcb_send_event(c, 0, rootWindow(),
                       XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY | XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT,
                       reinterpret_cast<const char*>(&ev));
    } else {
        const xcb_atom_t atoms[2] = {taskbar, pager};
        xcb_change_property(c, XCB_PROP_MODE_REPLACE, wid, state, XCB_ATOM_ATOM, 32, 2, atoms);
    }
    xcb_flush(c);
}

} // namespace platform::x11
