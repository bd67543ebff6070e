#include "platform/process/LaunchWatch.h"
#include "platform/process/Process.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSocketNotifier>
#include <QStandardPaths>
#include <QTimer>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <map>
#include <optional>
#include <set>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#ifndef P_PIDFD
#define P_PIDFD 3
#endif

extern char** environ;

namespace platform {

QStringList SplitArguments(const QString& text) {
    QStringList words;
    QString word;
    bool inWord = false;
    enum { Plain, Single, Double } mode = Plain;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        switch (mode) {
        case Single:
            if (c == QLatin1Char('\''))
                mode = Plain;
            else
                word += c;
            break;
        case Double:
            if (c == QLatin1Char('"')) {
                mode = Plain;
            } else if (c == QLatin1Char('\\') && i + 1 < text.size() &&
                       QStringLiteral("$`\"\\\n").contains(text[i + 1])) {
                if (text[++i] != QLatin1Char('\n')) word += text[i];
            } else {
                word += c;
            }
            break;
        case Plain:
            if (c == QLatin1Char(' ') || c == QLatin1Char('\t') || c == QLatin1Char('\n')) {
                if (inWord) words << word;
                word.clear();
                inWord = false;
            } else if (c == QLatin1Char('\'')) {
                mode = Single;
                inWord = true;
            } else if (c == QLatin1Char('"')) {
                mode = Double;
                inWord = true;
            } else if (c == QLatin1Char('\\')) {
                inWord = true;
                if (i + 1 < text.size()) {
                    if (text[++i] != QLatin1Char('\n')) word += text[i];
                }
            } else {
                word += c;
                inWord = true;
            }
            break;
        }
    }
    if (inWord) words << word;
    return words;
}

namespace {

Processes* g_processes = nullptr;

bool isPeFile(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) && f.read(2) == "MZ";
}

pid_t spawn(const QByteArray& path, const std::vector<QByteArray>& args, const QString& dir,
            int* error) {
    std::vector<char*> argv;
    for (const QByteArray& a : args)
        argv.push_back(const_cast<char*>(a.constData()));
    argv.push_back(nullptr);

    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t all, none;
    sigfillset(&all);
    sigemptyset(&none);
    posix_spawnattr_setsigdefault(&attr, &all);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setflags(&attr,
                             POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    const QByteArray cwd = QFile::encodeName(dir);
    if (!dir.isEmpty()) posix_spawn_file_actions_addchdir_np(&actions, cwd.constData());
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);

    pid_t pid = 0;
    *error = posix_spawn(&pid, path.constData(), &actions, &attr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    return *error == 0 ? pid : 0;
}

// Polls for the end of a child we hold no pidfd of, so it never lingers as a zombie.
void reapUnwatched(pid_t pid) {
    auto* timer = new QTimer;
    QObject::connect(timer, &QTimer::timeout, timer, [timer, pid] {
        if (::waitpid(pid, nullptr, WNOHANG) == 0) return; // still running
        timer->stop();
        timer->deleteLater();
    });
    timer->start(500);
}

std::uint32_t exitCode(const siginfo_t& info) {
    return info.si_code == CLD_EXITED ? static_cast<std::uint32_t>(info.si_status)
                                      : 128u + static_cast<std::uint32_t>(info.si_status);
}

class PosixProcesses : public Processes {
    struct Launch {
        std::optional<std::uint32_t> status; // once the process we started has ended
        LaunchWatch watch;
    };
    std::map<int, Launch> launches_; // by pidfd
    std::set<pid_t> held_;           // children reaped through a pidfd of ours

    // Reaps a child through its pidfd once it has ended (with WNOWAIT: only reads how it
    // ended); false when the query fails.
    static bool reap(int fd, std::optional<std::uint32_t>* status, int flags = 0) {
        if (*status) return true;
        siginfo_t info{};
        if (::waitid(static_cast<idtype_t>(P_PIDFD), static_cast<id_t>(fd), &info,
                     WEXITED | WNOHANG | flags) != 0)
            return false;
        if (info.si_pid != 0) *status = exitCode(info);
        return true;
    }

    // Nobody asks after this child any more: it is reaped when its pidfd says it has ended.
    void reapWhenItEnds(int fd, pid_t pid) {
        held_.insert(pid);
        auto* n = new QSocketNotifier(fd, QSocketNotifier::Read);
        QObject::connect(n, &QSocketNotifier::activated, n, [this, n, fd, pid] {
            std::optional<std::uint32_t> status;
            if (reap(fd, &status) && !status) return;
            n->setEnabled(false);
            n->deleteLater();
            ::close(fd);
            held_.erase(pid);
        });
    }

    // The last watch is over: orphans go to init again, and the ones we adopted are reaped
    // whenever they end.
    void endWatch() {
        ::prctl(PR_SET_CHILD_SUBREAPER, 0, 0, 0, 0);
        for (const pid_t pid : reapAdopted(held_)) {
            const int fd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
            if (fd >= 0) reapWhenItEnds(fd, pid);
        }
    }

public:
    ProcessHandle CreateProcess(const QString& program, const QString& arguments,
                                const QString& directory) override {
        startError_.clear();
        if (program.isEmpty()) return {};
        QString path = program;
        QString name = program;
        if (!program.contains(QLatin1Char('/'))) {
            path = QStandardPaths::findExecutable(program);
            if (path.isEmpty()) {
                startError_ = QStringLiteral("no program of that name in any folder of PATH");
                return {};
            }
        } else if (QDir::isRelativePath(program)) {
            // The child changes into its folder before it runs: a relative name means the
            // folder we were started from, so it is made absolute first (its own name too,
            // so that it can find the files beside it).
            path = name = QDir::current().absoluteFilePath(program);
        }
        const QStringList words = SplitArguments(arguments);
        std::vector<QByteArray> args{QFile::encodeName(name)};
        for (const QString& a : words)
            args.push_back(a.toLocal8Bit());

        // Whatever the program leaves behind when its parent exits (forks, setsid, daemons)
        // becomes our child rather than init's, so that the watch can follow it.
        ::prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0);
        int error = 0;
        pid_t pid = spawn(QFile::encodeName(path), args, directory, &error);
        bool windows = false;
        if (pid == 0 && (error == ENOEXEC || error == EACCES) && isPeFile(path)) {
            // A Windows program: through wine, when it is installed.
            windows = true;
            const QString wine = QStandardPaths::findExecutable(QStringLiteral("wine"));
            if (!wine.isEmpty()) {
                args.front() = QFile::encodeName(path);
                args.insert(args.begin(), QFile::encodeName(wine));
                pid = spawn(QFile::encodeName(wine), args, directory, &error);
                windows = false;
            }
        }
        if (pid == 0) {
            startError_ = windows ? QStringLiteral("it is a Windows program, and wine is not "
                                                   "installed")
                                  : QString::fromLocal8Bit(std::strerror(error));
            if (launches_.empty()) endWatch();
            return {};
        }
        const int fd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
        if (fd < 0) {
            // Without a pidfd we can't watch it; reap it in the background as it ends.
            reapUnwatched(pid);
            if (launches_.empty()) endWatch();
            return {};
        }
        held_.insert(pid);
        launches_.emplace(fd, Launch{std::nullopt, LaunchWatch(pid, path, words)});
        return {fd, pid};
    }

    // STILL_ACTIVE while the launched program goes on: the process we started, the rest of its
    // tree, or the game a launcher handed on.
    bool GetExitCodeProcess(ProcessHandle h, std::uint32_t* code) override {
        const auto it = launches_.find(h.fd);
        if (h.empty() || it == launches_.end()) return false;
        Launch& l = it->second;
        // Left unreaped while watched, the process we started keeps its pid, which is the id
        // of the tree's session, from being reused.
        if (!reap(h.fd, &l.status, WNOWAIT)) return false;
        reapAdopted(held_);
        const bool running = l.watch.running(!l.status, held_);
        *code = running ? STILL_ACTIVE : l.status.value_or(0);
        return true;
    }

    QString StartError() const override { return startError_; }

    bool Follows(ProcessHandle h, pid_t pid) override {
        const auto it = launches_.find(h.fd);
        return !h.empty() && it != launches_.end() && it->second.watch.follows(pid);
    }

    void CloseHandle(ProcessHandle h) override { Release(h); }

    void Release(ProcessHandle h) override {
        const auto it = launches_.find(h.fd);
        if (h.empty() || it == launches_.end()) return;
        launches_.erase(it);
        std::optional<std::uint32_t> status;
        if (reap(h.fd, &status) && !status) {
            reapWhenItEnds(h.fd, h.pid);
        } else {
            ::close(h.fd);
            held_.erase(h.pid);
        }
        if (launches_.empty()) endWatch();
    }

private:
    QString startError_;
};

} // namespace

Processes& processes() {
    static PosixProcesses real;
    return g_processes ? *g_processes : real;
}

void setProcesses(Processes* p) {
    g_processes = p;
}

} // namespace platform
