// Night lights that rewrite the display's ramp every few seconds from a snapshot they took
// when they started (gammastep, redshift): found among the user's own processes, held still
// while a launched program's gamma is on, and let go after.
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

} // namespace platform
