// One running copy per display and user. The copy that claims the session listens on a Unix
// socket in the user's runtime folder; later starts hand it a one-line request ("show",
// "step up", ...) and read its one-line answer instead of starting a second copy.
#pragma once

#include <functional>
#include <optional>
#include <string>

namespace platform::session {

// The display this process shows on, as a name fit for a file: "wl-<name>" for a Wayland
// display, "x<host>-<number>" for an X display (":0" and ":0.1" are one display). Empty
// without either, and when the toolkit runs offscreen.
std::string Key();

// Whether an X display (an X server of its own, or the compositor's Xwayland) answers.
bool XDisplayOpens();

// Whether the toolkit will be able to open the display. Checked before it tries, since it aborts
// the process when it can't.
bool DisplayOpens();

} // namespace platform::session

namespace platform::instance {

// The socket and the lock of a session key: "<runtime dir>/kelvaro-<uid>-<key>.socket", ".lock".
std::string SocketPath(const std::string& key);

// Hands one request to the copy running for key. nullopt when no copy of this user's is
// listening; "" when one took the request but did not answer within waitMs (connecting
// included); otherwise its answer.
std::optional<std::string> Request(const std::string& key, const std::string& request, int waitMs);

enum class Claim {
    Ours,   // this process is the running copy; it listens from now on
    Alone,  // this process is the running copy, but later starts can't reach it (no socket)
    Taken,  // another process holds the session
    Failed, // no lock can be had: whether another copy runs can't be known
};
// Takes the session for this process until it ends (the lock is never inherited by programs
// it starts). The lock and the socket live in the user's runtime folder (xdg::runtimeDir); a
// link, a FIFO or another user's file at their names is never used. *problem says what is
// wrong for Alone and Failed, and for Taken when the holder can never be reached; *holder is
// the process id of the copy that holds a Taken session (0 unknown).
Claim ClaimSession(const std::string& key, std::string* problem = nullptr, long* holder = nullptr);

// Once the event loop exists: each request is passed to answer, whose result goes back. Only
// this user's programs are heard, a few at a time; one that sends no whole request within two
// seconds is closed.
void Serve(std::function<std::string(const std::string& request)> answer);

// Stops listening and removes the socket, while the session is still ours.
void Release();

} // namespace platform::instance
