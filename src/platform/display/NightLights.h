// Night lights that rewrite the display's ramp every few seconds from a snapshot they took
// when they started (gammastep, redshift): found among the user's own processes, held still
// while a launched program's gamma is on, and let go after. And GNOME's Night Light, which
// says when it changes.
#pragma once

#include "platform/display/RampJournal.h"

#include <QString>
#include <functional>
#include <vector>

namespace platform {

struct NightLight {
    ProcessId id;
    QString name; // its command name: "gammastep", "redshift"
};

// This user's night lights on this program's display (the same DISPLAY, or WAYLAND_DISPLAY)
// that run on and rewrite the ramp (not their one-shot, reset or print modes, which write once
// or never and end).
std::vector<NightLight> RunningNightLights();
// Tests look for night lights of their own; nullptr looks at the processes again.
void setNightLightFinder(std::function<std::vector<NightLight>()> finder);
// Stops (SIGSTOP) or continues (SIGCONT) each one that is still the same process.
void HoldStill(const std::vector<ProcessId>& processes);
void LetGo(const std::vector<ProcessId>& processes);

// Calls `changed` from the event loop whenever GNOME's Night Light (the settings daemon's
// colour service on the session bus) turns on or off or changes its colour temperature:
// Mutter then writes every monitor's ramp anew from its own state, over whatever was there.
// A fade gives one call per step. An empty function stops it.
void WatchGnomeNightLight(std::function<void()> changed);

} // namespace platform
