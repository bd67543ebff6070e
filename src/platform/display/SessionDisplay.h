// The display back-end the session calls for, chosen once on first use: RandR in X11
// sessions; in Wayland sessions the wlroots gamma control or GNOME's display configuration,
// whichever the desktop offers; none elsewhere.
#pragma once

#include "platform/display/Display.h"
#include "platform/system/Session.h"

#include <QString>

namespace platform {

Display& SessionDisplay();
GammaPath SessionGammaPath();
// True in a graphical session whose desktop offers programs no way to change the gamma.
bool GammaUnavailable();
// True while no output takes the gamma in force: the desktop offers no way, or the display in
// use lists no output that takes a ramp (none has gamma tables, the compositor refused them
// all). What the program shows of the gamma follows this, not the value it stored.
bool GammaNotSet();
// Words for the tray icon's tooltip while the gamma is not set.
QString GammaNotSetTooltip();

} // namespace platform
