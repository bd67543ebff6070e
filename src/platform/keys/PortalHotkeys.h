// Hot keys in Wayland sessions: the desktop portal's global shortcuts, where the desktop
// offers them (KDE Plasma). An X key grab on Xwayland only sees keys pressed in X programs.
#pragma once

#include "platform/keys/Hotkeys.h"

namespace platform {

// The hot keys the session calls for. `x` serves X11 sessions, and Xwayland ones whose
// desktop has no portal shortcuts or whose portal fails; a native Wayland client without them
// has none, and is told once how to bind the step command instead. Whether the portal offers
// them is asked on the bus without waiting: registrations made meanwhile are kept and go where
// the answer says.
Hotkeys* SessionHotkeys(Hotkeys* x);

} // namespace platform
