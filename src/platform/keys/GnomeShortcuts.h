// Hot keys for GNOME on Wayland, which has no portal shortcuts: two custom keyboard shortcuts of
// GNOME's own that run the step command.
#pragma once

#include "platform/keys/Hotkeys.h"

#include <QString>

namespace platform {

// The session is GNOME's (XDG_CURRENT_DESKTOP).
bool GnomeSession();
// The custom shortcuts, kept while the hot keys are registered and taken away when they are
// unregistered; nullptr where GNOME's settings can't be reached.
Hotkeys* NewGnomeShortcuts();
// The command line that steps the running copy ("up" or "down"): this program's own path,
// quoted for a shell where it needs it.
QString StepCommand(const QString& step);

} // namespace platform
