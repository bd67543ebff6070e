// platform/display — the display's gamma, for the windows and the command line: this interface;
// its back-ends, RandR (XcbDisplay), wlr-gamma-control (WlrGamma) and Mutter's DisplayConfig
// (MutterGamma); the session's choice among them (SessionDisplay); the ramps found at start-up
// and their journal (RampKeeper, RampJournal).
//
// Display gamma: the outputs that show a picture, each with a gamma ramp of its own size.
//
// A back-end (RandR CRTCs on X; a compositor's protocol elsewhere) only lists outputs, reads
// and loads one output's ramp as it is, and says when outputs come and go. What the program
// does with that (the start-up ramps, the ramp in force, the journal) is RampKeeper's.
#pragma once

#include "gamma/Gamma.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace platform {

// The most entries a gamma table may have per channel (X's own limit): an output that reports
// more can't be used, like one that reports fewer than two.
constexpr int MaxGammaSize = 65535;

// One output's ramp at that output's gamma size: size() red entries, then green, then blue.
struct OutputRamp {
    std::vector<std::uint16_t> entries;

    OutputRamp() = default;
    explicit OutputRamp(int size) : entries(3 * static_cast<std::size_t>(size)) {}

    int size() const { return static_cast<int>(entries.size() / 3); }
    std::uint16_t* red() { return entries.data(); }
    std::uint16_t* green() { return entries.data() + size(); }
    std::uint16_t* blue() { return entries.data() + 2 * size(); }
    const std::uint16_t* red() const { return entries.data(); }
    const std::uint16_t* green() const { return entries.data() + size(); }
    const std::uint16_t* blue() const { return entries.data() + 2 * size(); }
    bool isZero() const;
    friend bool operator==(const OutputRamp&, const OutputRamp&) = default;
};

// Resamples one channel of inSize entries to outSize entries (both >= 2) by linear
// interpolation, rounded to the nearest entry; equal sizes copy.
void ResampleChannel(const std::uint16_t* in, int inSize, std::uint16_t* out, int outSize);
// A computed ramp at an output's size, and an output's ramp brought to 256 entries.
OutputRamp ResampleRamp(const GammaRamp& ramp, int size);
GammaRamp ResampleRamp(const OutputRamp& ramp);

struct GammaOutput {
    // Stable for as long as the display server runs: the CRTC's number on X, the output's
    // name on Wayland.
    std::string id;
    int gammaSize = 0; // entries per channel, >= 2
    friend bool operator==(const GammaOutput&, const GammaOutput&) = default;
};

class Display {
public:
    virtual ~Display() = default;
    // False when there is no screen to talk to (no display server, no gamma): then nothing
    // is done.
    virtual bool hasDeviceContext() = 0;
    // Names this display server among the others the user may run at once ("x11-0"), for
    // files kept per display; empty when there is none.
    virtual std::string displayKey() = 0;
    // When the display server started (its socket was made), in ms since the epoch; 0 when
    // unknown. A journal older than the server was written for an earlier one.
    virtual std::int64_t serverStarted() { return 0; }
    // The outputs that show a picture now, the primary one first.
    virtual std::vector<GammaOutput> outputs() = 0;
    // Reads one output's ramp at its own size; false when it can't be read.
    virtual bool getOutputRamp(const std::string& id, OutputRamp& ramp) = 0;
    // Loads a ramp onto one output exactly as it is. The ramp has the output's size; an
    // output that is gone, or a refusal, is silently ignored.
    virtual void setOutputRamp(const std::string& id, const OutputRamp& ramp) = 0;
    // Asks for one output's ramp as it is once every load asked for before this call has gone
    // out. `answer(now, sent)` is called from the event loop with the ramp (nothing where it
    // can't be read) and, where loads queue (a compositor's), the caller's last ramp that went
    // out before the read; nothing for `sent` means the last one loaded before asking. Never
    // waits for the display server, so a hot key's load follows at once. By default the ramp is
    // read at once.
    using RampAnswer =
        std::function<void(std::optional<OutputRamp> now, std::optional<OutputRamp> sent)>;
    virtual void readOutputRampLater(const std::string& id, RampAnswer answer);
    // From now on calls `wrote` from the event loop soon after another program loads a ramp,
    // where the display server says so; false where it doesn't (then only looking tells). An
    // empty function stops it.
    virtual bool watchWrites(std::function<void()> wrote) {
        (void)wrote;
        return false;
    }
    // Gives an output whose ramp could not be read back to the system: for servers that
    // put their own ramp back when a client lets go. Nothing by default.
    virtual void releaseOutput(const std::string& id) { (void)id; }
    // From now on calls `changed` from the event loop after outputs appeared, left or changed
    // their gamma size (a burst of changes may give one call); an empty function stops it.
    virtual void watchOutputs(std::function<void()> changed) = 0;
};

// RandR CRTC gamma on the X connection Qt holds.
class XcbDisplay : public Display {
public:
    XcbDisplay();
    ~XcbDisplay() override;
    bool hasDeviceContext() override;
    std::string displayKey() override;
    std::int64_t serverStarted() override;
    std::vector<GammaOutput> outputs() override;
    bool getOutputRamp(const std::string& id, OutputRamp& ramp) override;
    void readOutputRampLater(const std::string& id, RampAnswer answer) override;
    void setOutputRamp(const std::string& id, const OutputRamp& ramp) override;
    void watchOutputs(std::function<void()> changed) override;
    bool watchWrites(std::function<void()> wrote) override;

private:
    class Watch;
    class Writes;
    Watch* watch_ = nullptr;
    std::unique_ptr<Writes> writes_;
};

Display& display();
void setDisplay(Display* display); // nullptr restores the real one

} // namespace platform
