// Where a launched program is in front: whether the active window is one of its own and on which
// output, and on which outputs it has a full-screen window. Followed from the X server's events
// (the root's _NET_ACTIVE_WINDOW and _NET_CLIENT_LIST, the program's windows' _NET_WM_STATE and
// geometry, RandR's monitor changes), never by polling. A window is the program's when its client
// process, as the server knows it (the X-Resource extension's client ids; _NET_WM_PID only where
// the server can't say), is one the caller counts as the program's.
#pragma once

#include <functional>
#include <string>
#include <sys/types.h>

namespace platform {

// What one output shows of the program.
struct InFront {
    bool known = false;      // the X server lists the output: windows are placed on it
    bool active = false;     // the active window is the program's, mostly on this output
    bool fullScreen = false; // a full-screen window of the program's lies mostly on this output
    friend bool operator==(const InFront&, const InFront&) = default;
};

class FocusFollower {
public:
    virtual ~FocusFollower() = default;
    // Follows the windows whose client process `ours` counts as the program's (asked once per
    // window) and calls `changed` on the user-interface thread after what the questions below
    // answer has changed. Replaces an earlier follow.
    virtual void Follow(std::function<bool(pid_t)> ours, std::function<void()> changed) = 0;
    // Stops following; Seen() is false again.
    virtual void Stop() = 0;
    // True once a window of the program's has been mapped: before it, and for a program with
    // no X window at all (a native Wayland client), there is nothing to follow.
    virtual bool Seen() const = 0;
    // An output by the display's id for it (a CRTC's number on X, an output's name elsewhere).
    // For an output the X server lists under no such id (Xwayland's CRTCs and names are its
    // own), known is false and the program counts as active or full screen on it wherever it
    // is so at all.
    virtual InFront On(const std::string& output) const = 0;
    // Whether the active window is the program's.
    virtual bool Active() const = 0;
};

// The X server's view, on the toolkit's connection; follows nothing where there is none.
FocusFollower& focusFollower();
void setFocusFollower(FocusFollower* follower); // nullptr restores the real one

} // namespace platform
