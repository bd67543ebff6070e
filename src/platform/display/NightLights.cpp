#include "platform/display/NightLights.h"

#include "platform/system/Proc.h"

#include <QDir>
#include <csignal>
#include <unistd.h>

namespace platform {

namespace {

QByteArray ReadProc(qint64 pid, const char* what, qsizetype limit = 4096, uid_t* owner = nullptr) {
    const QByteArray path = "/proc/" + QByteArray::number(pid) + '/' + what;
    return proc::ReadFile(path.constData(), limit, owner);
}

// Options after which both tools write once (-O, -o), reset (-x), print (-p) or only answer
// (-h, -V) and end.
bool RunsOn(const QByteArray& cmdline) {
    const QList<QByteArray> args = cmdline.split('\0');
    for (qsizetype i = 1; i < args.size(); ++i) {
        const QByteArray& a = args[i];
        if (a.size() >= 2 && a[0] == '-' && QByteArray("OoxphV").contains(a[1])) return false;
    }
    return true;
}

// The display a process draws on, from its environment.
QByteArray DisplayOf(qint64 pid) {
    const QByteArray name =
        qEnvironmentVariableIsSet("WAYLAND_DISPLAY") ? "WAYLAND_DISPLAY=" : "DISPLAY=";
    for (const QByteArray& entry : ReadProc(pid, "environ", 1 << 20).split('\0'))
        if (entry.startsWith(name)) return entry.mid(name.size());
    return {};
}

std::function<std::vector<NightLight>()> g_finder;

void Signal(const std::vector<ProcessId>& processes, int signal) {
    for (const ProcessId& p : processes)
        if (p.pid > 0 && ProcessStarted(p.pid) == p.started) ::kill(pid_t(p.pid), signal);
}

} // namespace

void setNightLightFinder(std::function<std::vector<NightLight>()> finder) {
    g_finder = std::move(finder);
}

std::vector<NightLight> RunningNightLights() {
    if (g_finder) return g_finder();
    std::vector<NightLight> found;
    const QByteArray ours =
        qgetenv(qEnvironmentVariableIsSet("WAYLAND_DISPLAY") ? "WAYLAND_DISPLAY" : "DISPLAY");
    const uid_t me = ::getuid();
    for (const QString& entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        bool number = false;
        const qint64 pid = entry.toLongLong(&number);
        if (!number) continue;
        uid_t owner = 0;
        const QByteArray comm = ReadProc(pid, "comm", 4096, &owner).trimmed();
        if ((comm != "gammastep" && comm != "redshift") || owner != me ||
            !RunsOn(ReadProc(pid, "cmdline")) || DisplayOf(pid) != ours)
            continue;
        if (const auto started = ProcessStarted(pid))
            found.push_back({{pid, *started}, QString::fromLocal8Bit(comm)});
    }
    return found;
}

void HoldStill(const std::vector<ProcessId>& processes) {
    Signal(processes, SIGSTOP);
}

void LetGo(const std::vector<ProcessId>& processes) {
    Signal(processes, SIGCONT);
}

} // namespace platform
