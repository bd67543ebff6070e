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
// Words for the tray icon's tooltip while no output takes the gamma (RampKeeper::NotSet).
QString GammaNotSetTooltip();

} // namespace platform
