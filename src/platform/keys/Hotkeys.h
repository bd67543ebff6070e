// platform/keys — global hot keys, for the profiles window's message hook: this interface; the
// X back-end with its tracking of the keys held (XcbHotkeys, HeldKeys) and the desktop portal's
// global shortcuts for Wayland sessions (PortalHotkeys).
//
// System-wide hot keys: RegisterHotKey/UnregisterHotKey. A registered key, pressed anywhere,
// posts WM_HOTKEY with its id in wParam to the application's message queue.
#pragma once

#include <cstdint>

constexpr unsigned MOD_ALT = 0x0001;
constexpr unsigned MOD_CONTROL = 0x0002;
constexpr unsigned MOD_SHIFT = 0x0004;
constexpr unsigned VK_ADD = 0x6B;
constexpr unsigned VK_SUBTRACT = 0x6D;

namespace platform {

class Hotkeys {
public:
    virtual ~Hotkeys() = default;
    virtual bool RegisterHotKey(int id, unsigned modifiers, unsigned virtualKey) = 0;
    virtual bool UnregisterHotKey(int id) = 0;
};

Hotkeys& hotkeys();
void setHotkeys(Hotkeys* h);

} // namespace platform
