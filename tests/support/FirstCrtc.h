// The first CRTC that drives an output (has a mode): the one whose gamma ramp tools watch.
#pragma once

#include <cstdlib>
#include <xcb/randr.h>
#include <xcb/xcb.h>

inline xcb_randr_crtc_t FirstActiveCrtc(xcb_connection_t* c, xcb_window_t root) {
    auto* res = xcb_randr_get_screen_resources_current_reply(
        c, xcb_randr_get_screen_resources_current(c, root), nullptr);
    if (!res) return 0;
    xcb_randr_crtc_t found = 0;
    const xcb_randr_crtc_t* ids = xcb_randr_get_screen_resources_current_crtcs(res);
    for (int i = 0; i < xcb_randr_get_screen_resources_current_crtcs_length(res) && !found; ++i) {
        auto* info = xcb_randr_get_crtc_info_reply(
            c, xcb_randr_get_crtc_info(c, ids[i], res->config_timestamp), nullptr);
        if (info && info->mode) found = ids[i];
        std::free(info);
    }
    std::free(res);
    return found;
}
