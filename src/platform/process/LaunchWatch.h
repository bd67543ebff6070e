// What "still running" means for a launched program: every process of its tree, however it
// forked, detached or lost its parent on the way; or, for a launcher that hands the game to a
// client already running (Steam), the game's own processes as the table of launcher rules marks
// them. Read from /proc on the watch's tick, following only the launch's own processes: the
// children lists of the processes already known and of this process (the subreaper their
// orphans come to). Only a launcher rule lists the process table, reading no more than the
// processes that are new since the last look.
#pragma once

#include <QByteArray>
#include <QByteArrayList>
#include <QElapsedTimer>
#include <QString>
#include <QStringList>
#include <map>
#include <set>
#include <sys/types.h>
#include <vector>

namespace platform {

// A launcher that passes the game to its client and exits: the program it is, the argument that
// names the game, the environment variables the client gives the game's processes, and how long
// the game may take to appear (the client may update or sign in first).
struct LauncherRule {
    QStringList programs;      // file names; a Flatpak application id among flatpak's arguments
    QStringList gameArguments; // "-x": the next word; "scheme://path/": the digits after it
    QByteArrayList marks;      // the game's processes have one of mark=<id> in their environment
    int appearSeconds;
};
const std::vector<LauncherRule>& launcherRules();

// One launch being followed. The launched program runs in a session of its own, whose id is its
// pid; the program must have been started after this process became a child subreaper.
class LaunchWatch {
public:
    LaunchWatch(pid_t pid, const QString& program, const QStringList& arguments);
    // Whether the program is still going; primaryAlive tells whether the process we started
    // still runs. Orphans in the session of a process in held (programs launched before,
    // and what they left) are theirs, not this program's.
    bool running(bool primaryAlive, const std::set<pid_t>& held);
    // Whether a process is one this launch follows: for a tree, a member as of the last look or
    // a process whose parents lead to one (or to the launch's session, or are orphans handed to
    // us since the launch); for a hand-off, one the last look found to be the game's (the
    // session's helpers included) or, started since, one that carries the mark. Reads a few
    // small /proc files of that process and its parents, never the whole of /proc.
    bool follows(pid_t pid) const;
    // "SteamAppId=570" for a hand-off, empty for a process tree.
    QByteArray mark() const { return marks_.value(0); }

private:
    struct Known {
        unsigned long long start; // 0: a process of the table only listed, not the launch's
        bool counts;              // a member that keeps the watch (not a session helper)
    };
    using Todo = std::vector<std::pair<pid_t, unsigned long long>>; // pid, start (0: any)
    bool walk(Todo todo, std::map<pid_t, Known>& members) const;
    bool treeRunning(const std::set<pid_t>& held);
    bool gameRunning();

    pid_t pid_;
    unsigned long long start_ = 0;
    QByteArrayList marks_;
    int appearSeconds_ = 0;
    bool appeared_ = false;
    QElapsedTimer since_;
    // The tree's members; for a hand-off the game's, and every other process of the table
    // looked at (those that were there before the launch included: they are not the game).
    std::map<pid_t, Known> known_;
};

// Reaps our children that were adopted (orphans of a launch, in another session than ours) and
// have ended, except those in held, which their own handles reap. Returns the adopted children
// that still run.
std::vector<pid_t> reapAdopted(const std::set<pid_t>& held);

} // namespace platform
