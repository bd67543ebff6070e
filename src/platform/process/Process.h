// platform/process — programs, for the profiles window and the options dialog: starting and
// watching them (this interface, PosixProcess), splitting their arguments (Shell) and the
// autostart entry (Autostart).
//
// Starting programs and asking whether they still run: CreateProcess, GetExitCodeProcess and
// CloseHandle over posix_spawn and pidfds, with this process a child subreaper while a launch is
// watched (LaunchWatch). No shell ever runs.
#pragma once

#include <QString>
#include <QStringList>
#include <cstdint>
#include <sys/types.h>

namespace platform {

constexpr std::uint32_t STILL_ACTIVE = 259;

struct ProcessHandle {
    int fd = -1; // pidfd; -1 is the empty handle
    pid_t pid = 0;
    bool empty() const { return fd < 0; }
};

// Splits an argument text into words as a POSIX shell would (single and double quotes,
// backslashes) without expanding or substituting anything. An open quote runs to the end.
QStringList SplitArguments(const QString& text);

class Processes {
public:
    virtual ~Processes() = default;
    // Starts program (searched in PATH only when it has no "/") with the split arguments in
    // directory (empty: our own). Returns the empty handle when it can't be started.
    virtual ProcessHandle CreateProcess(const QString& program, const QString& arguments,
                                        const QString& directory) = 0;
    // Why the last CreateProcess returned the empty handle, in words for the user; empty
    // after a start that succeeded, or when the reason is not one the user can act on.
    virtual QString StartError() const { return {}; }
    // STILL_ACTIVE while the launched program still runs: any process of its tree, or, where
    // the program is a launcher that hands the game to its client (launcherRules()), the
    // game's processes. Once it is over, the exit status (128 + signal) of the process started
    // (0 while a launcher's client stays). False when the query fails, which callers take as
    // ended. Asked on the watch's tick: this is where the tree is looked at and orphans reaped.
    virtual bool GetExitCodeProcess(ProcessHandle handle, std::uint32_t* code) = 0;
    // Whether process `pid` is one the watch of the handle follows (LaunchWatch::follows);
    // false for a handle not watched.
    virtual bool Follows(ProcessHandle handle, pid_t pid) { return (void)handle, (void)pid, false; }
    // Both end the watch of the handle; the process started is reaped whenever it ends.
    virtual void CloseHandle(ProcessHandle handle) = 0;
    virtual void Release(ProcessHandle handle) = 0;
};

Processes& processes();
void setProcesses(Processes* p);

} // namespace platform
