#include "Crtc.h"
#include "FirstCrtc.h"
#include "Interpolate.h"

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
    Conn(const Conn&) = delete;
    Conn& operator=(const Conn&) = delete;
};

QVector<std::uint16_t> resample(const QVector<std::uint16_t>& in, int inSize, int outSize) {
    if (inSize == outSize) return in;
    QVector<std::uint16_t> out(3 * outSize);
    for (int c = 0; c < 3; ++c)
        for (int j = 0; j < outSize; ++j)
            out[c * outSize + j] = Interpolated(in.constData() + c * inSize, inSize, outSize, j);
    return out;
}

} // namespace

QList<std::uint32_t> active() {
    Conn conn;
    QList<std::uint32_t> out;
    auto* res = xcb_randr_get_screen_resources_current_reply(
        conn.c, xcb_randr_get_screen_resources_current(conn.c, conn.root), nullptr);
    if (!res) return out;
    const xcb_randr_crtc_t* ids = xcb_randr_get_screen_resources_current_crtcs(res);
    for (int i = 0; i < xcb_randr_get_screen_resources_current_crtcs_length(res); ++i) {
        auto* info = xcb_randr_get_crtc_info_reply(
            conn.c, xcb_randr_get_crtc_info(conn.c, ids[i], res->config_timestamp), nullptr);
        if (info && info->mode) out << ids[i];
        std::free(info);
    }
    std::free(res);
    return out;
}

int gammaSize(std::uint32_t id) {
    Conn conn;
    auto* size = xcb_randr_get_crtc_gamma_size_reply(
        conn.c, xcb_randr_get_crtc_gamma_size(conn.c, id), nullptr);
    const int n = size ? size->size : 0;
    std::free(size);
    return n;
}

QVector<std::uint16_t> rawRamp(std::uint32_t id) {
    Conn conn;
    auto* g = xcb_randr_get_crtc_gamma_reply(conn.c, xcb_randr_get_crtc_gamma(conn.c, id), nullptr);
    if (!g) return {};
    const int n = g->size;
    QVector<std::uint16_t> out(3 * n);
    std::copy_n(xcb_randr_get_crtc_gamma_red(g), n, out.begin());
    std::copy_n(xcb_randr_get_crtc_gamma_green(g), n, out.begin() + n);
    std::copy_n(xcb_randr_get_crtc_gamma_blue(g), n, out.begin() + 2 * n);
    std::free(g);
    return out;
}

bool setRawRamp(std::uint32_t id, const QVector<std::uint16_t>& r) {
    Conn conn;
    const int n = int(r.size() / 3);
    auto* err = xcb_request_check(
        conn.c, xcb_randr_set_crtc_gamma_checked(conn.c, id, std::uint16_t(n), r.constData(),
                                                 r.constData() + n, r.constData() + 2 * n));
    std::free(err);
    return err == nullptr;
}

QVector<std::uint16_t> atSize(const QVector<std::uint16_t>& ramp256, int size) {
    return resample(ramp256, 256, size);
}

QVector<std::uint16_t> ramp() {
    std::uint32_t id = 0;
    {
        Conn conn;
        id = FirstActiveCrtc(conn.c, conn.root);
    }
    if (!id) return {};
    const QVector<std::uint16_t> raw = rawRamp(id);
    if (raw.size() < 6) return {};
    return resample(raw, int(raw.size() / 3), 256);
}

bool setRamp(const QVector<std::uint16_t>& r) {
    std::uint32_t id = 0;
    {
        Conn conn;
        id = FirstActiveCrtc(conn.c, conn.root);
    }
    const int n = id ? gammaSize(id) : 0;
    return n >= 2 && setRawRamp(id, atSize(r, n));
}

QVector<std::uint16_t> rampOf(int position) {
    QVector<std::uint16_t> out(768);
    for (int i = 0; i < 256; ++i) {
        const int v = int(std::floor(255.0 * std::pow(i / 255.0, 1.0 / (position * 0.1))));
        out[i] = out[256 + i] = out[512 + i] = std::uint16_t(v * 256);
    }
    return out;
}

QVector<std::uint16_t> rampOver(const QVector<std::uint16_t>& startup, int position) {
    const int n = int(startup.size() / 3);
    QVector<std::uint16_t> r = atSize(rampOf(position), n);
    const QVector<std::uint16_t> identity = atSize(rampOf(10), n).mid(0, n), none(n, 0);
    for (int c = 0; c < 3; ++c) {
        const QVector<std::uint16_t> own = startup.mid(c * n, n);
        for (int i = c * n; own != identity && own != none && i < (c + 1) * n; ++i)
            r[i] = Interpolated(own.constData(), n, 65536, r[i]);
    }
    return r;
}

QVector<std::uint16_t> zeros() {
    return QVector<std::uint16_t>(768, 0);
}

} // namespace crtc
