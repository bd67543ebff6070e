#include "platform/Display.h"

#include "platform/X11.h"

#include <cstdlib>
#include <vector>
#include <xcb/randr.h>

namespace platform {

namespace {

Display* g_display = nullptr;

template <typename T> struct Reply {
    T* p = nullptr;
    explicit Reply(T* r) : p(r) {}
    ~Reply() { std::free(p); }
    Reply(const Reply&) = delete;
    Reply& operator=(const Reply&) = delete;
    T* operator->() const { return p; }
    explicit operator bool() const { return p != nullptr; }
};

bool randrUsable(xcb_connection_t* c) {
    static int state = -1; // per process: the server does not lose RandR
    if (state < 0) {
        const xcb_query_extension_reply_t* ext = xcb_get_extension_data(c, &xcb_randr_id);
        state = 0;
        if (ext && ext->present) {
            xcb_generic_error_t* err = nullptr;
            Reply<xcb_randr_query_version_reply_t> v(
                xcb_randr_query_version_reply(c, xcb_randr_query_version(c, 1, 3), &err));
            std::free(err);
            state = v && (v->major_version > 1 || v->minor_version >= 3) ? 1 : 0;
        }
    }
    return state == 1;
}

struct Crtc {
    xcb_randr_crtc_t id;
    bool active;
};

std::vector<Crtc> listCrtcs(xcb_connection_t* c, xcb_window_t root) {
    std::vector<Crtc> out;
    xcb_generic_error_t* err = nullptr;
    Reply<xcb_randr_get_screen_resources_current_reply_t> res(
        xcb_randr_get_screen_resources_current_reply(
            c, xcb_randr_get_screen_resources_current(c, root), &err));
    std::free(err);
    if (!res) return out;
    const xcb_randr_crtc_t* ids = xcb_randr_get_screen_resources_current_crtcs(res.p);
    const int n = xcb_randr_get_screen_resources_current_crtcs_length(res.p);
    std::vector<xcb_randr_get_crtc_info_cookie_t> cookies;
    for (int i = 0; i < n; ++i)
        cookies.push_back(xcb_randr_get_crtc_info(c, ids[i], res->config_timestamp));
    for (int i = 0; i < n; ++i) {
        Reply<xcb_randr_get_crtc_info_reply_t> info(
            xcb_randr_get_crtc_info_reply(c, cookies[static_cast<size_t>(i)], &err));
        std::free(err);
        err = nullptr;
        out.push_back({ids[i], info && info->mode != XCB_NONE});
    }
    return out;
}

int gammaSize(xcb_connection_t* c, xcb_randr_crtc_t crtc) {
    xcb_generic_error_t* err = nullptr;
    Reply<xcb_randr_get_crtc_gamma_size_reply_t> r(
        xcb_randr_get_crtc_gamma_size_reply(c, xcb_randr_get_crtc_gamma_size(c, crtc), &err));
    std::free(err);
    return r ? r->size : 0;
}

} // namespace

void ResampleChannel(const std::uint16_t* in, int inSize, std::uint16_t* out, int outSize) {
    if (inSize == outSize) {
        std::copy(in, in + inSize, out);
        return;
    }
    for (int j = 0; j < outSize; ++j) {
        const double pos = outSize > 1 ? double(j) * (inSize - 1) / (outSize - 1) : 0.0;
        const int lo = static_cast<int>(pos);
        const int hi = lo + 1 < inSize ? lo + 1 : lo;
        const double t = pos - lo;
        out[j] = static_cast<std::uint16_t>(in[lo] + (in[hi] - in[lo]) * t + 0.5);
    }
}

bool XcbDisplay::hasDeviceContext() {
    xcb_connection_t* c = x11::connection();
    return c && randrUsable(c);
}

void XcbDisplay::setDeviceGammaRamp(const GammaRamp& ramp) {
    xcb_connection_t* c = x11::connection();
    if (!c || !randrUsable(c)) return;
    std::vector<xcb_void_cookie_t> pending;
    for (const Crtc& crtc : listCrtcs(c, x11::rootWindow())) {
        if (!crtc.active) continue;
        const int size = gammaSize(c, crtc.id);
        if (size < 2) continue;
        const auto n = static_cast<size_t>(size);
        std::vector<std::uint16_t> r(n), g(n), b(n);
        ResampleChannel(ramp.red(), 256, r.data(), size);
        ResampleChannel(ramp.green(), 256, g.data(), size);
        ResampleChannel(ramp.blue(), 256, b.data(), size);
        pending.push_back(xcb_randr_set_crtc_gamma_checked(c, crtc.id, std::uint16_t(size),
                                                           r.data(), g.data(), b.data()));
    }
    // Checked, so that a refusal is quietly dropped instead of reaching the event queue.
    for (xcb_void_cookie_t cookie : pending)
        std::free(xcb_request_check(c, cookie));
}

bool XcbDisplay::getDeviceGammaRamp(GammaRamp& ramp) {
    xcb_connection_t* c = x11::connection();
    if (!c || !randrUsable(c)) return false;
    const xcb_window_t root = x11::rootWindow();
    xcb_randr_crtc_t chosen = XCB_NONE;
    xcb_generic_error_t* err = nullptr;
    Reply<xcb_randr_get_output_primary_reply_t> primary(
        xcb_randr_get_output_primary_reply(c, xcb_randr_get_output_primary(c, root), &err));
    std::free(err);
    err = nullptr;
    if (primary && primary->output != XCB_NONE) {
        Reply<xcb_randr_get_output_info_reply_t> out(xcb_randr_get_output_info_reply(
            c, xcb_randr_get_output_info(c, primary->output, XCB_CURRENT_TIME), &err));
        std::free(err);
        err = nullptr;
        if (out) chosen = out->crtc;
    }
    if (chosen == XCB_NONE) {
        for (const Crtc& crtc : listCrtcs(c, root))
            if (crtc.active) {
                chosen = crtc.id;
                break;
            }
    }
    if (chosen == XCB_NONE) return false;
    Reply<xcb_randr_get_crtc_gamma_reply_t> g(
        xcb_randr_get_crtc_gamma_reply(c, xcb_randr_get_crtc_gamma(c, chosen), &err));
    std::free(err);
    if (!g || g->size < 2) return false;
    const int size = g->size;
    ResampleChannel(xcb_randr_get_crtc_gamma_red(g.p), size, ramp.red(), 256);
    ResampleChannel(xcb_randr_get_crtc_gamma_green(g.p), size, ramp.green(), 256);
    ResampleChannel(xcb_randr_get_crtc_gamma_blue(g.p), size, ramp.blue(), 256);
    return true;
}

Display& display() {
    static XcbDisplay real;
    return g_display ? *g_display : real;
}

void setDisplay(Display* d) {
    g_display = d;
}

} // namespace platform
