// The start-up ramps written down for the run that comes after a crash.
//
// While the program runs, the display shows its gamma, not the user's. The ramps it found at
// start are kept in a small file per display server, owned by the running process; a clean
// quit removes it. A run that finds a file whose owner is gone knows the display still shows
// what the crashed run left, and takes the file's ramps as the ones to put back.
// A clean quit leaves a record of its own (RampJournal::LastRun): the ramps it put back and the
// gamma it had composed onto them, so that the next start knows its own curve again when
// another program has left it on the screen.
#pragma once

#include "platform/display/Display.h"

#include <QString>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace platform {

using OutputRamps = std::map<std::string, OutputRamp>;

// A process known by its id and its start time (clock ticks after boot), so that an id used
// again by another process does not pass for it.
struct ProcessId {
    qint64 pid = 0;
    quint64 started = 0;
    friend bool operator==(const ProcessId&, const ProcessId&) = default;
};
// A running process's start time; nothing when it is gone or a zombie.
std::optional<quint64> ProcessStarted(qint64 pid);

class RampJournal {
public:
    struct Contents {
        bool ownerAlive = false;
        OutputRamps ramps;
        // Outputs whose journalled ramp no display would have (falling somewhere, or topping
        // out under a quarter of the range): never loaded; the identity stands in for them.
        std::vector<GammaOutput> implausible;
        // The computed ramp that was composed onto `ramps` last, where it was written down.
        std::optional<GammaRamp> inForce;
        // In the journal, night lights held still while its writer ran; in the last run's
        // record, those that composed on top of its gamma (RampKeeper).
        std::vector<ProcessId> held;
    };

    // The journal of one display server (Display::displayKey): in $XDG_RUNTIME_DIR/kelvaro/,
    // which ends with the session as the server's gamma does, or in the settings folder
    // without one. An empty key has no journal: reading finds nothing, writing does nothing.
    explicit RampJournal(const std::string& displayKey, const char* kind = "ramps-");
    // What the last clean quit on that display put back, and the gamma it took off.
    static RampJournal LastRun(const std::string& displayKey) {
        return RampJournal(displayKey, "last-");
    }

    QString path() const { return path_; }
    // Nothing when there is no journal, it can't be read whole, or it is older than
    // serverStarted (ms since the epoch; 0 unknown): that one was for an earlier server. Only a
    // regular file of this user's counts, in a folder of theirs; a link, a FIFO or another
    // account's file at its name is not read.
    std::optional<Contents> read(std::int64_t serverStarted = 0) const;
    // Replaces the journal, atomically, with this process as its owner: whatever was at its name
    // (a link included) is replaced, never written through.
    bool write(const OutputRamps& ramps, const std::optional<GammaRamp>& inForce = {},
               const std::vector<ProcessId>& held = {}) const;
    void remove() const;

private:
    QString path_;
};

// The folder journals live in.
QString RampJournalFolder();

// Whether a ramp is one a display could have shown: each channel never falls, and ends at a
// quarter of the range or above.
bool PlausibleRamp(const OutputRamp& ramp);

} // namespace platform
