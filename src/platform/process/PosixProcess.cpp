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
#include <spawn.h>
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
void reapWhenItEnds(pid_t pid) {
    auto* timer = new QTimer;
    QObject::connect(timer, &QTimer::timeout, timer, [timer, pid] {
        if (::waitpid(pid, nullptr, WNOHANG) == 0) return; // still running
        timer->stop();
        timer->deleteLater();
    });
    timer->start(500);
}

class PosixProcesses : public Processes {
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
        std::vector<QByteArray> args{QFile::encodeName(name)};
        for (const QString& a : SplitArguments(arguments))
            args.push_back(a.toLocal8Bit());

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
            return {};
        }
        const int fd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
        if (fd < 0) {
            // Without a pidfd we can't watch it; reap it in the background as it ends.
            reapWhenItEnds(pid);
            return {};
        }
        return {fd, pid};
    }

    bool GetExitCodeProcess(ProcessHandle h, std::uint32_t* code) override {
        if (h.empty()) return false;
        siginfo_t info{};
        if (::waitid(static_cast<idtype_t>(P_PIDFD), static_cast<id_t>(h.fd), &info,
                     WEXITED | WNOHANG) != 0)
            return false;
        if (info.si_pid == 0) {
            *code = STILL_ACTIVE;
            return true;
        }
        *code = info.si_code == CLD_EXITED ? static_cast<std::uint32_t>(info.si_status)
                                           : 128u + static_cast<std::uint32_t>(info.si_status);
        return true;
    }

    QString StartError() const override { return startError_; }

    void CloseHandle(ProcessHandle h) override {
        if (!h.empty()) ::close(h.fd);
    }

    void Release(ProcessHandle h) override {
        if (h.empty()) return;
        std::uint32_t code = 0;
        if (!GetExitCodeProcess(h, &code) || code != STILL_ACTIVE) {
            CloseHandle(h);
            return;
        }
        // The pidfd becomes readable when the program ends.
        auto* n = new QSocketNotifier(h.fd, QSocketNotifier::Read);
        QObject::connect(n, &QSocketNotifier::activated, n, [this, n, h] {
            std::uint32_t c = 0;
            if (GetExitCodeProcess(h, &c) && c == STILL_ACTIVE) return;
            n->setEnabled(false);
            n->deleteLater();
            CloseHandle(h);
        });
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
