// Display gamma: the screen's device context and its gamma ramp.
#pragma once

#include "gamma/Gamma.h"

namespace platform {

class Display {
public:
    virtual ~Display() = default;
    // False when there is no screen to talk to (no X display, no RandR): then nothing is done.
    virtual bool hasDeviceContext() = 0;
    // Loads the ramp into every active output. Failures are silent.
    virtual void setDeviceGammaRamp(const GammaRamp& ramp) = 0;
    // Reads the primary output's ramp, resampled to 256 entries; false when it can't.
    virtual bool getDeviceGammaRamp(GammaRamp& ramp) = 0;
};

// RandR CRTC gamma on the X connection Qt holds.
class XcbDisplay : public Display {
public:
    bool hasDeviceContext() override;
    void setDeviceGammaRamp(const GammaRamp& ramp) override;
    bool getDeviceGammaRamp(GammaRamp& ramp) override;
};

// Resamples one 256-entry channel to n entries (n >= 2) by linear interpolation, and back.
void ResampleChannel(const std::uint16_t* in, int inSize, std::uint16_t* out, int outSize);

Display& display();
void setDisplay(Display* display); // nullptr restores the real one

} // namespace platform
