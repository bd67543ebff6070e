// Display gamma on wlroots compositors (sway, Hyprland, river, labwc, Wayfire): one gamma
// control per output on a Wayland connection of the program's own, whichever platform the
// toolkit itself runs on.
#pragma once

#include "gamma/Gamma.h"

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace platform {

class WlrGamma {
public:
    struct Output {
        std::string id; // the compositor's name for it ("DP-1")
        int gammaSize = 0;
    };

    WlrGamma();
    ~WlrGamma(); // destroys every control: the compositor puts the outputs' own tables back
    WlrGamma(const WlrGamma&) = delete;
    WlrGamma& operator=(const WlrGamma&) = delete;

    // Connects to the compositor (socket: WAYLAND_DISPLAY when empty), reads its registry and
    // takes every output's gamma control. True when it offers the gamma-control manager;
    // otherwise the connection is closed again.
    bool connect(const QByteArray& socket = {});
    bool connected() const;

    // The outputs whose gamma this program may set, in the compositor's order. An output the
    // compositor refused is not among them.
    std::vector<Output> outputs() const;
    // Loads tables (red, green, blue; the output's gamma size each) into one output. An output
    // given back is taken again first, and gets them once the compositor has told its size.
    void set(const std::string& id, const std::vector<std::uint16_t>& tables);
    // Gives an output back: its control is destroyed and the compositor restores its tables.
    void release(const std::string& id);
    // A computed ramp into every output, resampled to each one's size; and every output back.
    void load(const GammaRamp& ramp);
    void restore();

    // Called from the event loop when outputs came, left, or were refused.
    std::function<void()> onOutputsChanged;
    // Told once per connection, in words, when the compositor refuses an output's gamma
    // (another program holds it, or the output has no gamma tables).
    std::function<void(const QString&)> onRefused;

    // Sends everything asked so far and handles what the compositor has answered. The
    // connection's socket drives this from the event loop; tests call it to wait.
    bool roundtrip();

    struct Private;

private:
    std::unique_ptr<Private> d;
};

} // namespace platform
