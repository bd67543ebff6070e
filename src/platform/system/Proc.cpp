#include "platform/system/Proc.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform::proc {

std::optional<Stat> ParseStat(pid_t pid, const char* line, std::size_t size) {
    const char* end = line + size;
    const char* close = nullptr;
    for (const char* p = line; p < end; ++p)
        if (*p == ')') close = p;
    // ") S ppid pgrp sid": the state right after the name, then numbers separated by one blank.
    if (!close || end - close < 4 || close[1] != ' ') return std::nullopt;
    Stat s;
    s.pid = pid;
    s.state = close[2];
    const char* p = close + 3;
    // Fields 4 (ppid) to 22 (starttime): 19 numbers; field 6 is the session.
    unsigned long long field[19];
    for (unsigned long long& f : field) {
        if (p >= end || *p != ' ') return std::nullopt;
        char* after = nullptr;
        f = std::strtoull(p + 1, &after, 10);
        if (after == p + 1) return std::nullopt; // (tty_nr and tpgid may be -1: strtoull takes it)
        p = after;
    }
    s.ppid = static_cast<pid_t>(field[0]);
    s.sid = static_cast<pid_t>(field[2]);
    s.start = field[18];
    return s;
}

std::optional<Stat> ReadStat(pid_t pid) {
    char path[40];
    std::snprintf(path, sizeof path, "/proc/%d/stat", int(pid));
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    char line[1024];
    const ssize_t n = ::read(fd, line, sizeof line - 1);
    ::close(fd);
    if (n <= 0) return std::nullopt;
    line[n] = '\0'; // strtoull stops here at the latest
    return ParseStat(pid, line, std::size_t(n));
}

QByteArray ReadFile(const char* path, qsizetype limit, uid_t* owner) {
    QByteArray out;
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return out;
    struct stat st {};
    if (owner && ::fstat(fd, &st) == 0) *owner = st.st_uid;
    char buf[4096];
    ssize_t n;
    while (out.size() < limit && (n = ::read(fd, buf, sizeof buf)) > 0)
        out.append(buf, n);
    ::close(fd);
    return out;
}

} // namespace platform::proc
