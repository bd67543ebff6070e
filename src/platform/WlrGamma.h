// Display gamma on wlroots compositors (sway, Hyprland, river, labwc, Wayfire): one gamma
// control per output on a Wayland connection of the program's own, whichever platform the
// toolkit itself runs on.
#pragma once

#include "gamma/Gamma.h"

#include <QByteArray>
#include <QString>
#include <functional>
#include <memory>

namespace platform {

class WlrGamma {
public:
    WlrGamma();
    ~WlrGamma(); // destroys every control: the compositor puts the outputs' own tables back
    WlrGamma(const WlrGamma&) = delete;
    WlrGamma& operator=(const WlrGamma&) = delete;

    // Connects to the compositor (socket: WAYLAND_DISPLAY when empty) and reads its registry.
    // True when it offers the gamma-control manager; otherwise the connection is closed.
    bool connect(const QByteArray& socket = {});
    bool connected() const;

    // Loads the ramp into every output, resampled to each output's gamma size, and keeps it
    // in force for outputs that appear later. Outputs that are not ready yet get it as soon
    // as the compositor has told their size.
    void load(const GammaRamp& ramp);
    // Gives every output back: the controls are destroyed and the compositor restores the
    // tables each output had before. The next load takes the outputs again.
    void restore();

    // Outputs known, and of those the ones whose gamma this program holds right now.
    int outputCount() const;
    int controlledCount() const;
    // Sends everything asked so far and handles what the compositor has answered. The
    // connection's socket drives this from the event loop; tests call it to wait.
    bool roundtrip();

    // Told once per connection, in words, when the compositor refuses an output's gamma
    // (another program holds it, or the output has no gamma tables).
    std::function<void(const QString&)> onRefused;

    struct Private;

private:
    std::unique_ptr<Private> d;
};

} // namespace platform
