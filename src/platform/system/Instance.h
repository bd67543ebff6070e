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

// Hands one request to the copy running for key. nullopt when no copy is listening; "" when
// one took the request but did not answer within waitMs; otherwise its answer.
std::optional<std::string> Request(const std::string& key, const std::string& request, int waitMs);

enum class Claim {
    Ours,   // this process is the running copy; it listens from now on
    Taken,  // another process holds the session
    Failed, // no runtime folder or socket: the program runs without the channel
};
// Takes the session for this process until it ends (the lock is never inherited by programs
// it starts).
Claim ClaimSession(const std::string& key);

// Once the event loop exists: each request is passed to answer, whose result goes back.
void Serve(std::function<std::string(const std::string& request)> answer);

// Stops listening and removes the socket, while the session is still ours.
void Release();

} // namespace platform::instance
