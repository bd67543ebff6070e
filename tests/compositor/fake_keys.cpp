// Presses keys in KWin as a keyboard does, through its org_kde_kwin_fake_input protocol (KWin
// run with KWIN_WAYLAND_NO_PERMISSION_CHECKS=1): the evdev codes given go down in order, then up
// in reverse. X input on KWin's Xwayland never reaches KWin's global shortcuts.
#include "fake-input-client-protocol.h"

#include <cstdlib>
#include <cstring>

static org_kde_kwin_fake_input* input = nullptr;

static void global(void*, wl_registry* registry, uint32_t name, const char* interface, uint32_t) {
    if (std::strcmp(interface, org_kde_kwin_fake_input_interface.name) == 0)
        input = static_cast<org_kde_kwin_fake_input*>(
            wl_registry_bind(registry, name, &org_kde_kwin_fake_input_interface, 4));
}
static const wl_registry_listener listener{global, [](void*, wl_registry*, uint32_t) {}};

int main(int argc, char** argv) {
    wl_display* display = wl_display_connect(nullptr);
    if (!display) return 1;
    wl_registry_add_listener(wl_display_get_registry(display), &listener, nullptr);
    if (wl_display_roundtrip(display) < 0 || !input) return 1;
    org_kde_kwin_fake_input_authenticate(input, "kelvaro-tests", "pressing the hot keys");
    for (int i = 1; i < argc; ++i)
        org_kde_kwin_fake_input_keyboard_key(input, uint32_t(std::atoi(argv[i])), 1);
    for (int i = argc - 1; i > 0; --i)
        org_kde_kwin_fake_input_keyboard_key(input, uint32_t(std::atoi(argv[i])), 0);
    return wl_display_roundtrip(display) < 0 ? 1 : 0;
}
