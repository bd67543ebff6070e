// Presses keys in KWin as a keyboard would, through its org_kde_kwin_fake_input protocol (KWin
// started with KWIN_WAYLAND_NO_PERMISSION_CHECKS=1): every evdev code given goes down in order,
// then up in reverse. X input on KWin's Xwayland never reaches KWin's global shortcuts.
//   kelvaro-fake-keys CODE...
#include "fake-input-client-protocol.h"

#include <cstdlib>
#include <cstring>
#include <vector>
#include <wayland-client.h>

namespace {

org_kde_kwin_fake_input* input = nullptr;

void global(void*, wl_registry* registry, uint32_t name, const char* interface, uint32_t) {
    if (std::strcmp(interface, org_kde_kwin_fake_input_interface.name) == 0)
        input = static_cast<org_kde_kwin_fake_input*>(
            wl_registry_bind(registry, name, &org_kde_kwin_fake_input_interface, 4));
}
void globalRemove(void*, wl_registry*, uint32_t) {}
const wl_registry_listener listener{global, globalRemove};

} // namespace

int main(int argc, char** argv) {
    wl_display* display = wl_display_connect(nullptr);
    if (!display) return 1;
    wl_registry_add_listener(wl_display_get_registry(display), &listener, nullptr);
    wl_display_roundtrip(display);
    if (!input) return 1;
    org_kde_kwin_fake_input_authenticate(input, "kelvaro-tests", "pressing the hot keys");
    std::vector<uint32_t> codes;
    for (int i = 1; i < argc; ++i)
        codes.push_back(uint32_t(std::strtoul(argv[i], nullptr, 10)));
    for (uint32_t code : codes)
        org_kde_kwin_fake_input_keyboard_key(input, code, WL_KEYBOARD_KEY_STATE_PRESSED);
    for (auto it = codes.rbegin(); it != codes.rend(); ++it)
        org_kde_kwin_fake_input_keyboard_key(input, *it, WL_KEYBOARD_KEY_STATE_RELEASED);
    const int status = wl_display_roundtrip(display) < 0 ? 1 : 0;
    wl_display_disconnect(display);
    return status;
}
