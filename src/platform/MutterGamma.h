// Display gamma on GNOME: Mutter's display-configuration service on the session bus. Each
// CRTC's ramp is captured at its own size when first seen and put back bit-exact on restore.
#pragma once

#include "gamma/Gamma.h"

#include <QString>
#include <memory>

namespace platform {

class MutterGamma {
public:
    MutterGamma();
    ~MutterGamma();
    MutterGamma(const MutterGamma&) = delete;
    MutterGamma& operator=(const MutterGamma&) = delete;

    // On the session bus, or on the bus at `address` when one is given. True when Mutter's
    // service answers; the active CRTCs' ramps are captured then.
    bool connect(const QString& address = {});
    bool connected() const;

    // Loads the ramp into every active CRTC, resampled to each one's gamma size.
    void load(const GammaRamp& ramp);
    // Puts back every CRTC's captured ramp.
    void restore();
    // The captured ramp of the first active CRTC, through 256 entries; false when none.
    bool startupRamp(GammaRamp& ramp) const;
    int crtcCount() const;

    struct Private;

private:
    std::unique_ptr<Private> d;
};

} // namespace platform
