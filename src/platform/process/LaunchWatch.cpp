#include "platform/process/LaunchWatch.h"

#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <optional>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace platform {

const std::vector<LauncherRule>& launcherRules() {
    static const std::vector<LauncherRule> rules{
        // Steam: "steam -applaunch N", "steam steam://rungameid/N" and "steam://run/N" pass the
        // game to the client already running (starting it first when none runs) and exit. The
        // client gives the game and everything it starts SteamAppId=N (and SteamGameId); the
        // client itself, which stays, is not the game. Two minutes cover the client's start, a
        // sign-in and a small update.
        {{QStringLiteral("steam"), QStringLiteral("steam.sh"),
          QStringLiteral("com.valvesoftware.Steam")},
         {QStringLiteral("-applaunch"), QStringLiteral("steam://rungameid/"),
          QStringLiteral("steam://run/")},
         QByteArrayLiteral("SteamAppId"),
         120},
    };
    return rules;
}

namespace {

// What the session a game runs in starts for itself and keeps after the game has gone: these
// never keep a watch going. Wine's server waits a few seconds for another program (for ever
// with -p) and its system processes end with it; a bus, agents and a sound server started on
// demand stay for the whole desktop session.
constexpr const char* SessionHelpers[] = {
    "wineserver", "services.exe", "winedevice.exe", "plugplay.exe", "svchost.exe",
    "rpcss.exe",  "explorer.exe", "dbus-daemon",    "dbus-launch",  "gpg-agent",
    "ssh-agent",  "pulseaudio",   "kdeinit5",       "klauncher",    "kded5",
};

struct Stat {
    pid_t pid;
    char state;
    pid_t ppid;
    pid_t sid;
    unsigned long long start; // clock ticks after boot
};

// The whole of a small /proc file, or an empty text.
QByteArray readProc(const char* path, qsizetype limit = 4096, uid_t* owner = nullptr) {
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

std::optional<Stat> readStat(pid_t pid) {
    char path[40];
    std::snprintf(path, sizeof path, "/proc/%d/stat", pid);
    const QByteArray s = readProc(path);
    // The name, in parentheses, may hold anything: the fields follow its last ")".
    const qsizetype close = s.lastIndexOf(')');
    if (close < 0) return std::nullopt;
    const QList<QByteArray> f = s.mid(close + 2).split(' ');
    if (f.size() < 20 || f[0].isEmpty()) return std::nullopt;
    return Stat{pid, f[0][0], f[1].toInt(), f[3].toInt(), f[19].toULongLong()};
}

template <typename F> void eachNumber(const char* folder, F&& f) {
    DIR* d = ::opendir(folder);
    if (!d) return;
    while (const dirent* e = ::readdir(d))
        if (e->d_name[0] >= '1' && e->d_name[0] <= '9') f(std::atoi(e->d_name));
    ::closedir(d);
}

// Every live process of the system.
std::vector<Stat> processes() {
    std::vector<Stat> out;
    eachNumber("/proc", [&](pid_t pid) {
        if (auto s = readStat(pid); s && s->state != 'Z' && s->state != 'X') out.push_back(*s);
    });
    return out;
}

// Our own children, the adopted ones included, from each thread's list of them.
std::vector<pid_t> children() {
    std::vector<pid_t> out;
    bool listed = false;
    eachNumber("/proc/self/task", [&](pid_t tid) {
        char path[64];
        std::snprintf(path, sizeof path, "/proc/self/task/%d/children", tid);
        if (::access(path, R_OK) != 0) return;
        listed = true;
        for (const QByteArray& pid : readProc(path, 1 << 20).split(' '))
            if (pid.toInt() > 0) out.push_back(pid.toInt());
    });
    if (!listed) { // a kernel without the lists: look for them among all processes
        eachNumber("/proc", [&](pid_t pid) {
            if (auto s = readStat(pid); s && s->ppid == ::getpid()) out.push_back(pid);
        });
    }
    return out;
}

bool isSessionHelper(pid_t pid) {
    char path[40];
    std::snprintf(path, sizeof path, "/proc/%d/comm", pid);
    const QByteArray name = readProc(path).trimmed();
    for (const char* helper : SessionHelpers)
        if (name == helper) return true;
    return false;
}

// Whether a process of this user has the mark ("SteamAppId=570") in its environment.
bool carriesMark(pid_t pid, const QByteArray& mark) {
    char path[40];
    std::snprintf(path, sizeof path, "/proc/%d/environ", pid);
    uid_t owner = 0;
    const QByteArray env = '\0' + readProc(path, 1 << 20, &owner);
    return owner == ::getuid() && env.contains('\0' + mark + '\0');
}

// The game's id in the launcher's arguments, or an empty text.
QString gameId(const LauncherRule& rule, const QStringList& args) {
    auto digits = [](const QString& s) {
        qsizetype n = 0;
        while (n < s.size() && s[n].isDigit())
            ++n;
        return s.left(n);
    };
    for (qsizetype i = 0; i < args.size(); ++i) {
        for (const QString& g : rule.gameArguments) {
            if (g.endsWith(QLatin1Char('/')) && args[i].startsWith(g))
                return digits(args[i].mid(g.size()));
            if (args[i] == g && i + 1 < args.size() && digits(args[i + 1]) == args[i + 1])
                return args[i + 1];
        }
    }
    return QString();
}

} // namespace

LaunchWatch::LaunchWatch(pid_t pid, const QString& program, const QStringList& arguments)
    : pid_(pid) {
    since_.start();
    if (auto s = readStat(pid)) start_ = s->start;
    const QString file = program.section(QLatin1Char('/'), -1);
    for (const LauncherRule& rule : launcherRules()) {
        bool launcher = rule.programs.contains(file);
        for (const QString& a : arguments) // flatpak run <application id>
            launcher = launcher || (file == QLatin1String("flatpak") && rule.programs.contains(a));
        const QString id = launcher ? gameId(rule, arguments) : QString();
        if (id.isEmpty()) continue;
        mark_ = rule.mark + '=' + id.toLatin1();
        appearSeconds_ = rule.appearSeconds;
        break;
    }
}

bool LaunchWatch::running(bool primaryAlive, const std::set<pid_t>& held) {
    if (mark_.isEmpty()) return primaryAlive || treeRunning(held);
    return gameRunning();
}

// The program's tree: the processes of its session; descendants of a member, also those that
// left for a session of their own; and orphans handed to us (we are the subreaper of the tree)
// that started after the program did, in neither our session nor an earlier launch's.
bool LaunchWatch::treeRunning(const std::set<pid_t>& held) {
    const pid_t self = ::getpid();
    const pid_t ownSession = ::getsid(0);
    const std::vector<Stat> all = processes();
    std::multimap<pid_t, const Stat*> byParent;
    std::map<pid_t, Known> members;
    std::vector<const Stat*> todo;
    auto add = [&](const Stat& s) {
        const auto k = known_.find(s.pid);
        const bool seen = k != known_.end() && k->second.start == s.start;
        if (members
                .emplace(s.pid, Known{s.start, seen ? k->second.counts : !isSessionHelper(s.pid)})
                .second)
            todo.push_back(&s);
    };
    for (const Stat& s : all) {
        byParent.emplace(s.ppid, &s);
        const auto k = known_.find(s.pid);
        if (s.sid == pid_ || (k != known_.end() && k->second.start == s.start) ||
            (s.ppid == self && s.sid != ownSession && s.start >= start_ && !held.count(s.sid)))
            add(s);
    }
    while (!todo.empty()) {
        const pid_t parent = todo.back()->pid;
        todo.pop_back();
        for (auto [it, end] = byParent.equal_range(parent); it != end; ++it)
            add(*it->second);
    }
    known_.swap(members);
    for (const auto& [pid, m] : known_)
        if (m.counts) return true;
    return false;
}

// A hand-off: the processes that carry the game's mark, once they have appeared; until then
// the launch waits for them for the rule's time.
bool LaunchWatch::gameRunning() {
    std::map<pid_t, Known> now;
    bool any = false;
    for (const Stat& s : processes()) {
        const auto k = known_.find(s.pid);
        const bool marked = k != known_.end() && k->second.start == s.start
                                ? k->second.counts
                                : carriesMark(s.pid, mark_);
        now.emplace(s.pid, Known{s.start, marked});
        any = any || marked;
    }
    known_.swap(now);
    appeared_ = appeared_ || any;
    return any || (!appeared_ && since_.elapsed() < appearSeconds_ * 1000LL);
}

bool LaunchWatch::follows(pid_t pid) const {
    if (!mark_.isEmpty()) {
        const auto k = known_.find(pid);
        return k != known_.end() ? k->second.counts : carriesMark(pid, mark_);
    }
    const pid_t self = ::getpid();
    const pid_t ownSession = ::getsid(0);
    for (int depth = 0; pid > 1 && pid != self && depth < 64; ++depth) {
        const std::optional<Stat> s = readStat(pid);
        if (!s) return false;
        const auto k = known_.find(pid);
        if ((k != known_.end() && k->second.start == s->start) || s->sid == pid_ ||
            (s->ppid == self && s->sid != ownSession && s->start >= start_))
            return true;
        pid = s->ppid;
    }
    return false;
}

std::vector<pid_t> reapAdopted(const std::set<pid_t>& held) {
    std::vector<pid_t> running;
    const pid_t ownSession = ::getsid(0);
    for (const pid_t pid : children()) {
        if (held.count(pid)) continue;
        const auto s = readStat(pid);
        // Children in our own session are the toolkit's, which waits for them itself.
        if (!s || s->sid == ownSession) continue;
        siginfo_t info{};
        if (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG) == 0 &&
            info.si_pid == 0)
            running.push_back(pid);
    }
    return running;
}

} // namespace platform
