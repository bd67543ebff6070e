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
//
// Other programs write the ramp too (colour managers, night lights). Before every load (the
// answer is taken after it, so a load never waits), once a second while the gamma in force is
// not 1.0, and when GNOME's Night Light changes, each output's ramp is compared with the one
// last loaded there. A ramp that is that one scaled per channel is a night light's tint
// composed on top: only the scale goes onto the output's base. Any other becomes the
// output's new base (journalled, put back at the end), and the gamma in force is composed
// onto it at once. So the start-up ramp is the base only until another program writes.
// Night lights that rewrite the ramp from a snapshot every few seconds (gammastep, redshift)
// have the display while no launched program runs (the base shows, gamma 1.0), and are held
// still while one runs, their tint kept as the base.
#pragma once

#include "gamma/Gamma.h"
#include "platform/display/Display.h"
#include "platform/display/RampJournal.h"

#include <QElapsedTimer>
#include <QString>
#include <array>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class QTimer;

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
    // composed onto its base (each channel of gamma 1.0 loads the base's exactly), after taking
    // in what other programs wrote since the last load. An output that appears later is asked
    // about then.
    void Apply(RampFor rampFor);
    // The same computed ramp onto every output.
    void Apply(const GammaRamp& ramp);
    // Asks for each output's ramp, and takes in what other programs wrote there since the last
    // load when the answers come: the load that follows a look never waits for them.
    // `nightLight`: GNOME's Night Light said it changed.
    void Look(bool nightLight = false);
    // A launched program runs (true) or ended (false): night lights that rewrite the ramp are
    // held still while it runs, and let go after.
    void ProgramRuns(bool runs);
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

    enum class ResetOutcome { NoDisplay, NothingToPutBack, PutBack };
    // Puts the journal's ramps back on the current display (identity on outputs it doesn't
    // hold) without a resident program, and lets go the night lights a crashed run held;
    // removes the journal when its owner is gone. Without a journal (no run, or the last one
    // quit cleanly) the display is left as it is. NoDisplay when there is no display, or no
    // output of it takes a ramp.
    static ResetOutcome Reset();

private:
    void OutputsChanged();
    // A computed ramp as output o takes it: at o's size, each channel read through o's start-up
    // channel (S(F[i]), ComposeChannel) unless that is the identity. An output with no start-up
    // ramp (one that can't be read: wlroots) or zeros for one (put back as the identity) takes
    // the ramp as it is.
    OutputRamp OnOutput(const GammaRamp& ramp, const GammaOutput& o) const;
    // Takes the start-up ramp of each output not seen before; true when one was taken. A ramp
    // that is the last clean run's own curve scaled per channel gives that run's base scaled.
    bool CaptureNew(const std::vector<GammaOutput>& outputs,
                    const std::optional<RampJournal::Contents>& lastRun = {});
    // What goes on the outputs now: the ramp in force, or gamma 1.0 (the bases) while a night
    // light that rewrites the ramp has the display.
    GammaRamp Effective(const std::string& output) const;
    void Load(const GammaOutput& o);
    void LoadAll();
    void Journal() const;
    // Looks for night lights that rewrite the ramp, tells the user once what happens to them,
    // and loads again when whether one has the display changed.
    // `onOurs`: the write that led here was this program's own ramp scaled, so a night light
    // that started since took that ramp into its snapshot: it composes on top and keeps the
    // gamma in force under its tint (it is only held while a launched program runs).
    void FindNightLights(bool onOurs = false);
    // One output's ramp as read back (`now`), against the last one of this program's that went
    // out before the read (`expected`).
    void TakeIn(const GammaOutput& o, const OutputRamp& expected, std::optional<OutputRamp> now,
                bool nightLight);

    Display* display_ = nullptr;
    std::vector<GammaOutput> outputs_;
    OutputRamps originals_;
    std::string primary_;
    RampFor inForce_;
    // Per output, the ramps this program loaded lately, newest first, each with the base it
    // was composed onto: a night light may have taken any of them into its snapshot. A tint
    // composed on top is measured against the ramp loaded, never against an earlier tint, so
    // a fade's many steps don't add up their rounding.
    struct Loaded {
        OutputRamp ramp, base;
        OutputRamp shown; // that tint, while it is on the screen
        const OutputRamp& onScreen() const { return shown.entries.empty() ? ramp : shown; }
    };
    std::map<std::string, std::deque<Loaded>> loaded_;
    bool capturedOurs_ = false; // a start-up ramp was the last run's own curve, scaled
    std::unique_ptr<QTimer> poll_, settle_;
    bool told_ = false;   // the display server says when another program writes
    QElapsedTimer found_; // when the processes were last looked through for night lights
    bool programRuns_ = false;
    bool nightLight_ = false; // a night light that rewrites the ramp runs, not held
    std::vector<ProcessId> held_;
    std::vector<ProcessId> seen_, onOurs_; // night lights found so far; those composing on top
    // The journal this run writes; none while another live copy owns this display's.
    std::optional<RampJournal> journal_;
    bool finished_ = false;
    std::shared_ptr<char> alive_ = std::make_shared<char>(); // for answers that come after it
};

// What putting `ramp` back loads: a ramp that reads as zeros (a server that never had one,
// or a failed read) comes back as the identity, never as a black screen.
OutputRamp RestorableRamp(const OutputRamp& ramp);
// Per channel, the factor k with now = k x was entry for entry (to within the rounding of a
// program that scaled it), or nothing when some channel is not `was` scaled.
std::optional<std::array<double, 3>> ScaleOf(const OutputRamp& now, const OutputRamp& was);

} // namespace platform
