// Processes as /proc shows them: the few fields of /proc/<pid>/stat the program reads, and small
// /proc files read whole. Each read is a handful of system calls and no allocation beyond the
// text returned, so that the launch watch can afford them on every tick.
#pragma once

#include <QByteArray>
#include <optional>
#include <sys/types.h>

namespace platform::proc {

struct Stat {
    pid_t pid = 0;
    char state = 0; // 'R', 'S', ... 'Z' for a zombie, 'X' dead
    pid_t ppid = 0;
    pid_t sid = 0;
    unsigned long long start = 0; // clock ticks after boot: with pid, names one process
    bool live() const { return state != 'Z' && state != 'X'; }
};

// The process's stat line, or nothing when it is gone or the line can't be read.
std::optional<Stat> ReadStat(pid_t pid);
// A stat line's fields. The command name (in parentheses) may hold anything, spaces and
// parentheses included: the fields are read after its last ")".
std::optional<Stat> ParseStat(pid_t pid, const char* line, std::size_t size);

// The whole of a small /proc file (up to limit bytes), or an empty text; *owner, when asked,
// is the user the file belongs to (the process's, for a process's files).
QByteArray ReadFile(const char* path, qsizetype limit = 4096, uid_t* owner = nullptr);

} // namespace platform::proc
