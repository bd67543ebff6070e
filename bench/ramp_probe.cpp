// Desktop measurements that need X directly, over connections of their own:
//   ramp_probe hotkey N       press Ctrl+Alt+Num+/- N times through XTEST and time each press to
//                             the CRTC ramp changing; prints the times in microseconds
//   ramp_probe change TIMEOUT_MS
//                             waits for the CRTC ramp to change; prints microseconds waited
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
        auto* res = xcb_randr_get_screen_resources_current_reply(
            c, xcb_randr_get_screen_resources_current(c, root), nullptr);
        const xcb_randr_crtc_t* ids = xcb_randr_get_screen_resources_current_crtcs(res);
        for (int i = 0; i < xcb_randr_get_screen_resources_current_crtcs_length(res) && !crtc;
             ++i) {
            auto* info = xcb_randr_get_crtc_info_reply(
                c, xcb_randr_get_crtc_info(c, ids[i], res->config_timestamp), nullptr);
            if (info && info->mode) crtc = ids[i];
            std::free(info);
        }
        std::free(res);
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

} // namespace

int main(int argc, char** argv) {
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
