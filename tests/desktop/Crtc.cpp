#include "Crtc.h"
#include "FirstCrtc.h"

#include <cmath>
#include <cstdlib>
#include <xcb/randr.h>
#include <xcb/xcb.h>

namespace crtc {

namespace {

struct Conn {
    xcb_connection_t* c = nullptr;
    xcb_window_t root = 0;
    Conn() {
        int screen = 0;
        c = xcb_connect(nullptr, &screen);
        if (xcb_connection_has_error(c)) return;
        xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(c));
        for (; screen > 0 && it.rem; --screen)
            xcb_screen_next(&it);
        root = it.data->root;
        std::free(xcb_randr_query_version_reply(c, xcb_randr_query_version(c, 1, 3), nullptr));
    }
    ~Conn() { xcb_disconnect(c); }
    xcb_randr_crtc_t firstActive() { return FirstActiveCrtc(c, root); }
};

} // namespace

QVector<std::uint16_t> ramp() {
    Conn conn;
    const xcb_randr_crtc_t id = conn.firstActive();
    if (!id) return {};
    auto* g = xcb_randr_get_crtc_gamma_reply(conn.c, xcb_randr_get_crtc_gamma(conn.c, id), nullptr);
    if (!g) return {};
    const int n = g->size;
    QVector<std::uint16_t> out(768);
    const std::uint16_t* ch[3] = {xcb_randr_get_crtc_gamma_red(g),
                                  xcb_randr_get_crtc_gamma_green(g),
                                  xcb_randr_get_crtc_gamma_blue(g)};
    for (int c = 0; c < 3; ++c)
        for (int i = 0; i < 256; ++i) {
            const double pos = double(i) * (n - 1) / 255.0;
            const int lo = int(pos), hi = lo + 1 < n ? lo + 1 : lo;
            out[c * 256 + i] =
                std::uint16_t(ch[c][lo] + (ch[c][hi] - ch[c][lo]) * (pos - lo) + 0.5);
        }
    std::free(g);
    return out;
}

bool setRamp(const QVector<std::uint16_t>& r) {
    Conn conn;
    const xcb_randr_crtc_t id = conn.firstActive();
    if (!id) return false;
    auto* size = xcb_randr_get_crtc_gamma_size_reply(
        conn.c, xcb_randr_get_crtc_gamma_size(conn.c, id), nullptr);
    if (!size) return false;
    const int n = size->size;
    std::free(size);
    QVector<std::uint16_t> ch[3];
    for (int c = 0; c < 3; ++c) {
        ch[c].resize(n);
        for (int j = 0; j < n; ++j)
            ch[c][j] = r[c * 256 + (n > 1 ? j * 255 / (n - 1) : 0)];
    }
    auto* err = xcb_request_check(
        conn.c, xcb_randr_set_crtc_gamma_checked(conn.c, id, std::uint16_t(n), ch[0].data(),
                                                 ch[1].data(), ch[2].data()));
    std::free(err);
    return err == nullptr;
}

QVector<std::uint16_t> rampOf(int position) {
    QVector<std::uint16_t> out(768);
    for (int i = 0; i < 256; ++i) {
        const int v = int(std::floor(255.0 * std::pow(i / 255.0, 1.0 / (position * 0.1))));
        out[i] = out[256 + i] = out[512 + i] = std::uint16_t(v * 256);
    }
    return out;
}

QVector<std::uint16_t> zeros() {
    return QVector<std::uint16_t>(768, 0);
}

} // namespace crtc
