// What the display showed before the program changed it, and what it should show now.
//
// Each output's start-up ramp is kept at the output's own size and put back exactly as it
// was. A computed ramp goes onto every output, resampled to its size and passed through that
// output's start-up ramp, so a calibration (a colour profile's curve, a night light's warm
// ramp) stays under every gamma; an identity start-up ramp leaves the computed one as it is.
// The computed ramp stays "in force": an output switched on later gets it at once, after its
// own start-up ramp has been taken.
// The start-up ramps are journalled (RampJournal), so a crash cannot make a wrong ramp the
// next run's start-up ramp.
#pragma once

#include "gamma/Gamma.h"
#include "platform/display/Display.h"
#include "platform/display/RampJournal.h"

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace platform {

class RampKeeper {
public:
    RampKeeper() = default;
    ~RampKeeper();
    RampKeeper(const RampKeeper&) = delete;
    RampKeeper& operator=(const RampKeeper&) = delete;

    // Takes every output's start-up ramp (from the journal when the run that wrote it is
    // gone), journals them, and follows outputs as they come and go from then on.
    void Capture();
    // The computed ramp each output is to show, by the output's id.
    using RampFor = std::function<GammaRamp(const std::string& output)>;
    // Loads onto every output the ramp `rampFor` gives it, resampled to the output's size and
    // composed onto its start-up ramp. An output that appears later is asked about then.
    void Apply(RampFor rampFor);
    // The same computed ramp onto every output.
    void Apply(const GammaRamp& ramp);
    // Puts every output's start-up ramp back and removes the journal, for good: the program is
    // ending, and later captures and loads do nothing.
    void Restore();
    // True while no output takes the ramp in force: the desktop offers no way to the gamma, or
    // the display lists no output that takes one (none has gamma tables, the compositor refused
    // them all), as of the capture and the latest change of outputs. What the program shows of
    // the gamma follows this, not the value it stored.
    bool NotSet() const;
    // The first (primary) output's start-up ramp at 256 entries; zeros when none was taken.
    GammaRamp Primary() const;
    const OutputRamps& StartupRamps() const { return originals_; }

    // Puts the journal's ramps back on the current display (identity on outputs it doesn't
    // hold) without a resident program; removes the journal when its owner is gone. False
    // when there is no display, or no output of it takes a ramp.
    static bool Reset();

private:
    void OutputsChanged();
    // A computed ramp as output o takes it: at o's size, each channel read through o's start-up
    // channel (S(F[i]), ComposeChannel) unless that is the identity. An output with no start-up
    // ramp (one that can't be read: wlroots) or zeros for one (put back as the identity) takes
    // the ramp as it is.
    OutputRamp OnOutput(const GammaRamp& ramp, const GammaOutput& o) const;
    // Takes the start-up ramp of each output not seen before; true when one was taken.
    bool CaptureNew(const std::vector<GammaOutput>& outputs);

    Display* display_ = nullptr;
    std::vector<GammaOutput> outputs_;
    OutputRamps originals_;
    std::string primary_;
    RampFor inForce_;
    // The journal this run writes; none while another live copy owns this display's.
    std::optional<RampJournal> journal_;
    bool finished_ = false;
};

// What putting `ramp` back loads: a ramp that reads as zeros (a server that never had one,
// or a failed read) comes back as the identity, never as a black screen.
OutputRamp RestorableRamp(const OutputRamp& ramp);

} // namespace platform
