#include "platform/process/LaunchWatch.h"

#include "platform/system/Proc.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <optional>
#include <sys/wait.h>
#include <unistd.h>

namespace platform {

const std::vector<LauncherRule>& launcherRules() {
    static const std::vector<LauncherRule> rules{
        // Steam: "steam -applaunch N", "steam steam://rungameid/N" and "steam://run/N" pass the
        // game to the client already running (starting it first when none runs) and exit. The
        // client gives the game and everything it starts SteamAppId=N and SteamGameId=N; for a
        // non-Steam game added to Steam, steam://rungameid/ names its 64-bit game id, which the
        // client puts in SteamGameId alone (SteamAppId is 0 or unset there). The client itself,
        // which stays, is not the game. Two minutes cover the client's start, a sign-in and a
        // small update.
        {{QStringLiteral("steam"), QStringLiteral("steam.sh"),
          QStringLiteral("com.valvesoftware.Steam")},
         {QStringLiteral("-applaunch"), QStringLiteral("steam://rungameid/"),
          QStringLiteral("steam://run/")},
         {QByteArrayLiteral("SteamAppId"), QByteArrayLiteral("SteamGameId")},
         120},
    };
    return rules;
}

namespace {

// What the session a game runs in starts for itself and keeps after the game has gone: these
// never keep a watch going. Wine's server waits a few seconds for another program (for ever
// with -p; Debian's is wineserver64 or wineserver32, run as "wineserver64 -p0"); a bus, agents
// and a sound server started on demand stay for the whole desktop session. Known by the file
// their process runs.
constexpr const char* SessionHelpers[] = {
    "wineserver", "wineserver64", "wineserver32", "dbus-daemon", "dbus-launch", "gpg-agent",
    "ssh-agent",  "pulseaudio",   "kdeinit5",     "klauncher",   "kded5",
};
// Wine's system programs, which its server and its first program start in every prefix and
// which end with the server. Wine's loader runs them; its command line names them first, from
// the prefix's system folder.
constexpr const char* WineSystem[] = {
    "services.exe", "winedevice.exe",      "plugplay.exe", "svchost.exe", "rpcss.exe",
    "explorer.exe", "winemenubuilder.exe", "wineboot.exe", "conhost.exe", "mscorsvw.exe",
};
// The file Wine's processes run, in Debian's, upstream's and Proton's builds.
constexpr const char* WineLoaders[] = {"wine", "wine64", "wine-preloader", "wine64-preloader"};

template <std::size_t N> bool among(const QByteArray& name, const char* const (&names)[N]) {
    for (const char* n : names)
        if (name == n) return true;
    return false;
}

QByteArray fileName(const QByteArray& path, char separator = '/') {
    return path.mid(path.lastIndexOf(separator) + 1);
}

template <typename F> void eachNumber(const char* folder, F&& f) {
    DIR* d = ::opendir(folder);
    if (!d) return;
    while (const dirent* e = ::readdir(d))
        if (e->d_name[0] >= '1' && e->d_name[0] <= '9') f(pid_t(std::atoi(e->d_name)));
    ::closedir(d);
}

// The children of processes, from the lists the kernel keeps per thread; where it keeps none,
// from one look at the whole table.
class Children {
public:
    std::vector<pid_t> of(pid_t pid) {
        std::vector<pid_t> out;
        if (!lists()) {
            if (!scanned_) scan();
            for (auto [it, end] = byParent_.equal_range(pid); it != end; ++it)
                out.push_back(it->second);
            return out;
        }
        char folder[40];
        std::snprintf(folder, sizeof folder, "/proc/%d/task", int(pid));
        eachNumber(folder, [&](pid_t tid) {
            char path[64];
            std::snprintf(path, sizeof path, "/proc/%d/task/%d/children", int(pid), int(tid));
            const QByteArray list = proc::ReadFile(path, 1 << 20);
            for (const char *p = list.constData(), *end = p + list.size(); p < end;) {
                char* after = nullptr;
                const long child = std::strtol(p, &after, 10);
                if (after == p) break;
                if (child > 0) out.push_back(pid_t(child));
                p = after;
            }
        });
        return out;
    }

private:
    static bool lists() {
        static const bool kept = ::access("/proc/thread-self/children", R_OK) == 0;
        return kept;
    }
    void scan() {
        scanned_ = true;
        eachNumber("/proc", [&](pid_t pid) {
            if (const auto s = proc::ReadStat(pid); s && s->live()) byParent_.emplace(s->ppid, pid);
        });
    }
    bool scanned_ = false;
    std::multimap<pid_t, pid_t> byParent_;
};

// The first word of a process's command line that is not Wine's loader: under Wine, the
// Windows program it runs ("C:\windows\system32\services.exe").
QByteArray programRun(pid_t pid) {
    char path[40];
    std::snprintf(path, sizeof path, "/proc/%d/cmdline", int(pid));
    for (const QByteArray& word : proc::ReadFile(path).split('\0'))
        if (!among(fileName(word), WineLoaders)) return word;
    return QByteArray();
}

// Whether a process is one of the session's helpers, by the file it runs: the name a process
// calls itself (its comm, 15 bytes) is any process's to set. Only where that file can't be read
// (another user's process) does the name count.
bool isSessionHelper(pid_t pid) {
    char path[40];
    std::snprintf(path, sizeof path, "/proc/%d/exe", int(pid));
    char target[PATH_MAX];
    const ssize_t n = ::readlink(path, target, sizeof target);
    if (n > 0) {
        QByteArray exe = fileName(QByteArray(target, n));
        if (exe.endsWith(" (deleted)")) exe.chop(10); // replaced by an upgrade while it runs
        if (among(exe, SessionHelpers)) return true;
        if (!among(exe, WineLoaders)) return false;
        const QByteArray program = programRun(pid).toLower().replace('/', '\\');
        return (program.startsWith("c:\\windows\\system32\\") ||
                program.startsWith("c:\\windows\\syswow64\\")) &&
               among(fileName(program, '\\'), WineSystem);
    }
    std::snprintf(path, sizeof path, "/proc/%d/comm", int(pid));
    const QByteArray name = proc::ReadFile(path).trimmed();
    auto named = [&](const char* helper) { return name == QByteArray(helper).left(15); };
    return std::any_of(std::begin(SessionHelpers), std::end(SessionHelpers), named) ||
           std::any_of(std::begin(WineSystem), std::end(WineSystem), named);
}

// Whether a process of this user has one of the marks ("SteamAppId=570") in its environment.
bool carriesMark(pid_t pid, const QByteArrayList& marks) {
    char path[40];
    std::snprintf(path, sizeof path, "/proc/%d/environ", int(pid));
    uid_t owner = 0;
    const QByteArray env = '\0' + proc::ReadFile(path, 1 << 20, &owner);
    if (owner != ::getuid()) return false;
    for (const QByteArray& mark : marks)
        if (env.contains('\0' + mark + '\0')) return true;
    return false;
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
    if (auto s = proc::ReadStat(pid)) start_ = s->start;
    const QString file = program.section(QLatin1Char('/'), -1);
    for (const LauncherRule& rule : launcherRules()) {
        bool launcher = rule.programs.contains(file);
        for (const QString& a : arguments) // flatpak run <application id>
            launcher = launcher || (file == QLatin1String("flatpak") && rule.programs.contains(a));
        const QString id = launcher ? gameId(rule, arguments) : QString();
        if (id.isEmpty()) continue;
        // A 64-bit game id (a non-Steam game in Steam) is also known by its upper half, the
        // shortcut's own 32-bit id.
        QByteArrayList ids{id.toLatin1()};
        if (const qulonglong n = id.toULongLong(); n > 0xffffffffull)
            ids << QByteArray::number(n >> 32);
        for (const QByteArray& variable : rule.marks)
            for (const QByteArray& each : ids)
                marks_ << variable + '=' + each;
        appearSeconds_ = rule.appearSeconds;
        // What runs already is not the game: it is never read.
        eachNumber("/proc", [&](pid_t p) {
            known_.emplace_hint(known_.end(), p, Known{0, false});
        });
        break;
    }
}

bool LaunchWatch::running(bool primaryAlive, const std::set<pid_t>& held) {
    if (marks_.isEmpty()) return treeRunning(held) || primaryAlive;
    return gameRunning();
}

// Adds each process of todo that still runs, and its descendants, to members, through the
// children lists: nothing else of the system is read. Returns whether any of them counts.
bool LaunchWatch::walk(Todo todo, std::map<pid_t, Known>& members) const {
    Children children;
    bool counts = false;
    while (!todo.empty()) {
        const auto [pid, start] = todo.back();
        todo.pop_back();
        if (members.count(pid)) continue;
        const auto s = proc::ReadStat(pid);
        if (!s || !s->live() || (start && s->start != start) || s->start < start_) continue;
        // Asked at every look: a process may become a helper, or stop being one, by exec.
        const bool member = !isSessionHelper(pid);
        members.emplace(pid, Known{s->start, member});
        counts = counts || member;
        for (const pid_t child : children.of(pid))
            todo.emplace_back(child, 0);
    }
    return counts;
}

// The program's tree: the process started and its descendants, also those that left for a
// session of their own; orphans handed to us (we are the subreaper of the tree) that started
// after the program did, in neither our session nor an earlier launch's, and theirs; and the
// members of the last look that still run.
bool LaunchWatch::treeRunning(const std::set<pid_t>& held) {
    const pid_t ownSession = ::getsid(0);
    Todo todo{{pid_, start_}};
    for (const auto& [pid, k] : known_)
        todo.emplace_back(pid, k.start);
    for (const pid_t pid : Children().of(::getpid())) {
        const auto s = proc::ReadStat(pid);
        if (s && s->live() &&
            (s->sid == pid_ || (s->sid != ownSession && s->start >= start_ && !held.count(s->sid))))
            todo.emplace_back(pid, s->start);
    }
    std::map<pid_t, Known> members;
    const bool counts = walk(std::move(todo), members);
    known_.swap(members);
    return counts;
}

// A hand-off: the processes that carry the game's mark, and theirs, once they have appeared;
// until then the launch waits for them for the rule's time. Until the game is found, each look
// lists the table, reading only the processes not seen before; then it follows the game's
// processes through their children lists, and lists the table again only when none of them is
// left, for one that went elsewhere (an orphan of the game handed to init).
bool LaunchWatch::gameRunning() {
    if (appeared_) {
        Todo todo;
        for (auto it = known_.begin(); it != known_.end();) {
            if (it->second.start == 0) {
                ++it;
                continue;
            }
            todo.emplace_back(it->first, it->second.start);
            it = known_.erase(it);
        }
        std::map<pid_t, Known> game;
        const bool counts = walk(std::move(todo), game);
        known_.merge(game);
        if (counts) return true;
    }
    // A process carrying the mark is the game's; the start time is read only for those.
    auto classify = [&](pid_t pid) -> std::optional<Known> {
        if (!carriesMark(pid, marks_)) return Known{0, false};
        const auto s = proc::ReadStat(pid);
        if (!s || !s->live()) return std::nullopt;
        return Known{s->start, !isSessionHelper(pid)};
    };
    std::map<pid_t, Known> now;
    auto last = known_.begin();
    bool any = false;
    eachNumber("/proc", [&](pid_t pid) {
        // Both lists are in the order of the process ids.
        while (last != known_.end() && last->first < pid)
            ++last;
        std::optional<Known> k;
        if (last == known_.end() || last->first != pid) {
            k = classify(pid);
        } else if (last->second.start == 0) {
            k = last->second;
        } else { // one of the game's: still the same process?
            const auto s = proc::ReadStat(pid);
            if (!s || !s->live()) return;
            k = s->start == last->second.start ? last->second : classify(pid);
        }
        if (!k) return;
        now.emplace_hint(now.end(), pid, *k);
        any = any || k->counts;
    });
    known_.swap(now);
    appeared_ = appeared_ || any;
    return any || (!appeared_ && since_.elapsed() < appearSeconds_ * 1000LL);
}

bool LaunchWatch::follows(pid_t pid) const {
    // The last look answers for what it found (a process it listed as not the game's included);
    // one started since is looked at itself.
    if (!marks_.isEmpty()) {
        const auto k = known_.find(pid);
        return k != known_.end() ? k->second.start != 0 : carriesMark(pid, marks_);
    }
    const pid_t self = ::getpid();
    const pid_t ownSession = ::getsid(0);
    for (int depth = 0; pid > 1 && pid != self && depth < 64; ++depth) {
        const auto s = proc::ReadStat(pid);
        if (!s || !s->live()) return false;
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
    for (const pid_t pid : Children().of(::getpid())) {
        if (held.count(pid)) continue;
        const auto s = proc::ReadStat(pid);
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
