// Desktop measurements that need X directly, over connections of their own:
//   ramp_probe hotkey N       press Ctrl+Alt+Num+/- N times through XTEST and time each press to
//                             the CRTC ramp changing; prints the times in microseconds
//   ramp_probe change TIMEOUT_MS
//                             waits for the CRTC ramp to change; prints microseconds waited
//   ramp_probe startup CLASS PROGRAM [TIMEOUT_MS]
//                             starts PROGRAM and waits (at most 15 s) until a viewable window
//                             of that class, of the process started (its _NET_WM_PID), sits in
//                             the tray; prints microseconds and the program's PID
//   ramp_probe focus A B N    activates windows A and B in turn, N times in all, as a pager asks
//                             the window manager (_NET_ACTIVE_WINDOW), and times each request to
//                             the CRTC ramp changing; prints microseconds, -1 for none in 1 s
//   ramp_probe menu CLASS     clicks the right button where the pointer is (on the tray icon)
//                             and waits until a pop-up of that class is up; prints microseconds
#include "FirstCrtc.h"

#include <QElapsedTimer>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>
#include <vector>
#include <xcb/randr.h>
#include <xcb/xcb.h>
#include <xcb/xcb_keysyms.h>
#include <xcb/xtest.h>

namespace {

struct X {
    xcb_connection_t* c;
    xcb_window_t root;
    xcb_randr_crtc_t crtc = 0;
    X() {
        c = xcb_connect(nullptr, nullptr);
        root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
        std::free(xcb_randr_query_version_reply(c, xcb_randr_query_version(c, 1, 3), nullptr));
        crtc = FirstActiveCrtc(c, root);
    }
    ~X() { xcb_disconnect(c); }
    std::vector<uint16_t> ramp() {
        auto* g = xcb_randr_get_crtc_gamma_reply(c, xcb_randr_get_crtc_gamma(c, crtc), nullptr);
        std::vector<uint16_t> r;
        if (g) r.assign(xcb_randr_get_crtc_gamma_red(g), xcb_randr_get_crtc_gamma_red(g) + g->size);
        std::free(g);
        return r;
    }
    xcb_keycode_t code(xcb_keysym_t sym) {
        xcb_key_symbols_t* s = xcb_key_symbols_alloc(c);
        xcb_keycode_t* codes = xcb_key_symbols_get_keycode(s, sym);
        const xcb_keycode_t k = codes ? codes[0] : 0;
        std::free(codes);
        xcb_key_symbols_free(s);
        return k;
    }
    void key(xcb_keycode_t k, bool press) {
        xcb_test_fake_input(c, press ? XCB_KEY_PRESS : XCB_KEY_RELEASE, k, XCB_CURRENT_TIME,
                            XCB_NONE, 0, 0, 0);
    }
};

xcb_atom_t atom(xcb_connection_t* c, const char* name) {
    auto* a =
        xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, uint16_t(std::strlen(name)), name), nullptr);
    xcb_atom_t out = XCB_ATOM_NONE;
    if (a) out = a->atom;
    std::free(a);
    return out;
}

// Whether a window says it belongs to process pid (0: any process).
bool ofProcess(xcb_connection_t* c, xcb_window_t w, pid_t pid) {
    if (pid == 0) return true;
    static const xcb_atom_t wmPid = atom(c, "_NET_WM_PID");
    auto* p = xcb_get_property_reply(c, xcb_get_property(c, 0, w, wmPid, XCB_ATOM_CARDINAL, 0, 1),
                                     nullptr);
    const bool ours = p && xcb_get_property_value_length(p) == 4 &&
                      *static_cast<const uint32_t*>(xcb_get_property_value(p)) == uint32_t(pid);
    std::free(p);
    return ours;
}

// A viewable window of class `wanted` anywhere below `w`, of process pid (0: any): an icon left
// by a program that ended, or another's, is not the one started.
bool viewableBelow(xcb_connection_t* c, xcb_window_t w, const char* wanted, pid_t pid = 0,
                   int depth = 0) {
    if (depth > 6) return false;
    auto* tree = xcb_query_tree_reply(c, xcb_query_tree(c, w), nullptr);
    if (!tree) return false;
    bool found = false;
    const xcb_window_t* kids = xcb_query_tree_children(tree);
    for (int i = 0; i < xcb_query_tree_children_length(tree) && !found; ++i) {
        auto* attr =
            xcb_get_window_attributes_reply(c, xcb_get_window_attributes(c, kids[i]), nullptr);
        const bool viewable = attr && attr->map_state == XCB_MAP_STATE_VIEWABLE;
        std::free(attr);
        if (!viewable) continue;
        auto* cls = xcb_get_property_reply(
            c, xcb_get_property(c, 0, kids[i], XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 0, 64), nullptr);
        if (cls && xcb_get_property_value_length(cls) > 0 &&
            std::strcmp(static_cast<const char*>(xcb_get_property_value(cls)), wanted) == 0)
            found = ofProcess(c, kids[i], pid);
        std::free(cls);
        if (!found) found = viewableBelow(c, kids[i], wanted, pid, depth + 1);
    }
    std::free(tree);
    return found;
}

xcb_window_t trayManager(xcb_connection_t* c) {
    auto* o = xcb_get_selection_owner_reply(
        c, xcb_get_selection_owner(c, atom(c, "_NET_SYSTEM_TRAY_S0")), nullptr);
    const xcb_window_t owner = o ? o->owner : 0;
    std::free(o);
    return owner;
}

} // namespace

int main(int argc, char** argv) {
    if ((argc == 4 || argc == 5) && std::strcmp(argv[1], "startup") == 0) {
        const int timeout = argc == 5 ? std::atoi(argv[4]) : 15000;
        xcb_connection_t* c = xcb_connect(nullptr, nullptr);
        const xcb_window_t tray = trayManager(c);
        // The panel the icons are docked into: the manager's parent for trayer.
        auto* geo = xcb_query_tree_reply(c, xcb_query_tree(c, tray), nullptr);
        const xcb_window_t top = geo ? geo->parent : tray;
        std::free(geo);
        QElapsedTimer t;
        t.start();
        const pid_t pid = fork();
        if (pid == 0) {
            execl(argv[3], argv[3], static_cast<char*>(nullptr));
            _exit(127);
        }
        while (t.elapsed() < timeout && !viewableBelow(c, top, argv[2], pid))
            usleep(500);
        std::printf("%lld %d\n", t.nsecsElapsed() / 1000, int(pid));
        xcb_disconnect(c);
        return 0;
    }
    if (argc == 3 && std::strcmp(argv[1], "menu") == 0) {
        xcb_connection_t* c = xcb_connect(nullptr, nullptr);
        const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
        // A viewable window of the class straight below the root and taller than an icon.
        auto popup = [&] {
            auto* tree = xcb_query_tree_reply(c, xcb_query_tree(c, root), nullptr);
            bool found = false;
            const xcb_window_t* kids = tree ? xcb_query_tree_children(tree) : nullptr;
            for (int i = 0; tree && i < xcb_query_tree_children_length(tree) && !found; ++i) {
                auto* geo = xcb_get_geometry_reply(c, xcb_get_geometry(c, kids[i]), nullptr);
                const bool tall = geo && geo->height > 40;
                std::free(geo);
                if (!tall) continue;
                auto* attr = xcb_get_window_attributes_reply(
                    c, xcb_get_window_attributes(c, kids[i]), nullptr);
                const bool viewable =
                    attr && attr->map_state == XCB_MAP_STATE_VIEWABLE && attr->override_redirect;
                std::free(attr);
                if (!viewable) continue;
                auto* cls = xcb_get_property_reply(
                    c, xcb_get_property(c, 0, kids[i], XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 0, 64),
                    nullptr);
                found = cls && xcb_get_property_value_length(cls) > 0 &&
                        std::strcmp(static_cast<const char*>(xcb_get_property_value(cls)),
                                    argv[2]) == 0;
                std::free(cls);
            }
            std::free(tree);
            return found;
        };
        QElapsedTimer t;
        t.start();
        for (const uint8_t type : {XCB_BUTTON_PRESS, XCB_BUTTON_RELEASE})
            xcb_test_fake_input(c, type, 3, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
        xcb_flush(c);
        while (t.elapsed() < 15000 && !popup())
            usleep(200);
        std::printf("%lld\n", t.nsecsElapsed() / 1000);
        xcb_disconnect(c);
        return 0;
    }
    if (argc < 3) return 2;
    X x;
    if (!x.crtc) return 1;
    if (std::strcmp(argv[1], "change") == 0) {
        const auto before = x.ramp();
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < std::atoi(argv[2]))
            if (x.ramp() != before) {
                std::printf("%lld\n", t.nsecsElapsed() / 1000);
                return 0;
            }
        return 1;
    }
    if (argc == 5 && std::strcmp(argv[1], "focus") == 0) {
        const char* name = "_NET_ACTIVE_WINDOW";
        auto* a = xcb_intern_atom_reply(
            x.c, xcb_intern_atom(x.c, 0, uint16_t(std::strlen(name)), name), nullptr);
        const xcb_window_t windows[2] = {xcb_window_t(std::strtoul(argv[2], nullptr, 0)),
                                         xcb_window_t(std::strtoul(argv[3], nullptr, 0))};
        for (int i = 0; i < std::atoi(argv[4]); ++i) {
            const auto before = x.ramp();
            xcb_client_message_event_t ev{};
            ev.response_type = XCB_CLIENT_MESSAGE;
            ev.format = 32;
            ev.window = windows[i % 2];
            ev.type = a ? a->atom : 0;
            ev.data.data32[0] = 2; // a pager: the user asked
            QElapsedTimer t;
            t.start();
            xcb_send_event(x.c, 0, x.root,
                           XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY |
                               XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT,
                           reinterpret_cast<const char*>(&ev));
            xcb_flush(x.c);
            bool changed = false;
            while (!changed && t.elapsed() < 1000)
                changed = x.ramp() != before;
            std::printf("%lld\n", changed ? t.nsecsElapsed() / 1000 : -1LL);
            std::fflush(stdout);
            usleep(150000);
        }
        std::free(a);
        return 0;
    }
    const int n = std::atoi(argv[2]);
    const xcb_keycode_t ctrl = x.code(0xffe3), alt = x.code(0xffe9), plus = x.code(0xffab),
                        minus = x.code(0xffad);
    for (int i = 0; i < n; ++i) {
        const auto before = x.ramp();
        const xcb_keycode_t k = i % 2 ? minus : plus;
        QElapsedTimer t;
        x.key(ctrl, true);
        x.key(alt, true);
        xcb_flush(x.c);
        t.start();
        x.key(k, true);
        xcb_flush(x.c);
        bool changed = false;
        while (t.elapsed() < 1000)
            if (x.ramp() != before) {
                changed = true;
                break;
            }
        const qint64 us = t.nsecsElapsed() / 1000;
        x.key(k, false);
        x.key(alt, false);
        x.key(ctrl, false);
        xcb_flush(x.c);
        std::printf("%lld\n", changed ? us : -1);
        std::fflush(stdout);
        // Let the stored value and the display settle between presses.
        usleep(30000);
    }
    return 0;
}
