// The display back-end the session calls for, chosen once on first use: RandR in X11
// sessions; in Wayland sessions the wlroots gamma control or GNOME's display configuration,
// whichever the desktop offers; none elsewhere.
#pragma once

#include "platform/display/Display.h"
#include "platform/system/Session.h"

#include <QString>
#include <functional>

namespace platform {

Display& SessionDisplay();
GammaPath SessionGammaPath();
// True in a graphical session whose desktop offers programs no way to change the gamma.
bool GammaUnavailable();

// Where words for the user about the gamma go (a compositor refusing an output's gamma, for
// one); the program installs it before the display is first used.
void setGammaNotice(std::function<void(const QString&)> notice);
// Says text there, or on standard error where nothing was installed (kelvaro --reset).
void GammaNotice(const QString& text);

} // namespace platform
