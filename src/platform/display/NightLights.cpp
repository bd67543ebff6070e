#include "platform/display/NightLights.h"

#include "platform/system/Proc.h"

#include <QDBusConnection>
#include <QDir>
#include <QObject>
#include <QVariantMap>
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

// The colour service's property changes, as a slot the bus can call.
class GnomeNightLight : public QObject {
    Q_OBJECT
public:
    std::function<void()> changed;
public slots:
    void propertiesChanged(const QString&, const QVariantMap& values, const QStringList& lost) {
        for (const char* name : {"NightLightActive", "Temperature"})
            if (values.contains(QLatin1String(name)) || lost.contains(QLatin1String(name))) {
                changed();
                return;
            }
    }
};

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

void WatchGnomeNightLight(std::function<void()> changed) {
    static GnomeNightLight* watch = nullptr;
    const QString service = QStringLiteral("org.gnome.SettingsDaemon.Color");
    QDBusConnection bus = QDBusConnection::sessionBus();
    delete watch; // the bus lets go of a receiver that is gone
    watch = nullptr;
    if (!changed || !bus.isConnected()) return;
    watch = new GnomeNightLight;
    watch->changed = std::move(changed);
    // Only the colour service's own interface: arg0 is the interface whose properties changed.
    bus.connect(service, QStringLiteral("/org/gnome/SettingsDaemon/Color"),
                QStringLiteral("org.freedesktop.DBus.Properties"),
                QStringLiteral("PropertiesChanged"), {service}, QString(), watch,
                SLOT(propertiesChanged(QString, QVariantMap, QStringList)));
}

} // namespace platform

#include "NightLights.moc"
