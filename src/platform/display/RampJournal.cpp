#include "platform/display/RampJournal.h"

#include "platform/store/Hive.h"

#include <QDataStream>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <cerrno>
#include <csignal>
#include <unistd.h>

namespace platform {

namespace {

constexpr quint32 Magic = 0x4B524A31; // "KRJ1"
constexpr int MaxOutputs = 256;

// A process is known by its id and its start time (clock ticks after boot), so that an id
// used again by another process after a crash does not pass for the journal's owner.
struct Owner {
    qint64 pid = 0;
    quint64 started = 0;
};

// The start time from /proc/<pid>/stat; nothing when the process is gone or a zombie.
std::optional<quint64> StartTime(qint64 pid) {
    QFile f(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!f.open(QIODevice::ReadOnly)) return std::nullopt;
    const QByteArray stat = f.readAll();
    // The command name (field 2) is in parentheses and may hold anything, spaces included.
    const int close = stat.lastIndexOf(')');
    if (close < 0) return std::nullopt;
    const QList<QByteArray> fields = stat.mid(close + 2).split(' ');
    // fields[0] is field 3 (the state); the start time is field 22.
    if (fields.size() < 20 || fields[0] == "Z" || fields[0] == "X") return std::nullopt;
    bool ok = false;
    const quint64 started = fields[19].toULongLong(&ok);
    return ok ? std::optional<quint64>(started) : std::nullopt;
}

bool Alive(const Owner& owner) {
    if (owner.pid <= 0) return false;
    if (owner.started != 0) {
        const std::optional<quint64> started = StartTime(owner.pid);
        return started && *started == owner.started;
    }
    return ::kill(static_cast<pid_t>(owner.pid), 0) == 0 || errno == EPERM;
}

Owner Self() {
    const qint64 pid = ::getpid();
    return {pid, StartTime(pid).value_or(0)};
}

} // namespace

QString RampJournalFolder() {
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty() && QDir::isAbsolutePath(runtime) && QFileInfo(runtime).isDir())
        return runtime + QStringLiteral("/kelvaro");
    return QFileInfo(Hive::defaultPath()).absolutePath();
}

RampJournal::RampJournal(const std::string& displayKey) {
    if (!displayKey.empty())
        path_ =
            RampJournalFolder() + QStringLiteral("/ramps-") + QString::fromStdString(displayKey);
}

std::optional<RampJournal::Contents> RampJournal::read(std::int64_t serverStarted) const {
    if (path_.isEmpty()) return std::nullopt;
    QFile f(path_);
    if (!f.open(QIODevice::ReadOnly)) return std::nullopt;
    if (serverStarted > 0 &&
        f.fileTime(QFileDevice::FileModificationTime).toMSecsSinceEpoch() < serverStarted)
        return std::nullopt;
    QDataStream in(&f);
    quint32 magic = 0, count = 0;
    Owner owner;
    in >> magic >> owner.pid >> owner.started >> count;
    if (in.status() != QDataStream::Ok || magic != Magic || count > MaxOutputs) return std::nullopt;
    Contents contents;
    for (quint32 i = 0; i < count; ++i) {
        QByteArray id;
        quint32 size = 0;
        in >> id >> size;
        if (in.status() != QDataStream::Ok || size < 2 || size > 65535) return std::nullopt;
        OutputRamp ramp(static_cast<int>(size));
        for (std::uint16_t& entry : ramp.entries)
            in >> entry;
        if (in.status() != QDataStream::Ok) return std::nullopt;
        contents.ramps[id.toStdString()] = std::move(ramp);
    }
    if (!in.atEnd()) return std::nullopt;
    contents.ownerAlive = Alive(owner);
    return contents;
}

bool RampJournal::write(const OutputRamps& ramps) const {
    if (path_.isEmpty()) return false;
    const QString folder = QFileInfo(path_).absolutePath();
    if (!QDir().mkpath(folder)) return false;
    QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    // Written beside the journal and renamed over it: a reader sees the old one or the new.
    QSaveFile f(path_);
    if (!f.open(QIODevice::WriteOnly)) return false;
    QDataStream out(&f);
    const Owner self = Self();
    out << Magic << self.pid << self.started << static_cast<quint32>(ramps.size());
    for (const auto& [id, ramp] : ramps) {
        out << QByteArray::fromStdString(id) << static_cast<quint32>(ramp.size());
        for (std::uint16_t entry : ramp.entries)
            out << entry;
    }
    return out.status() == QDataStream::Ok && f.commit();
}

void RampJournal::remove() const {
    if (!path_.isEmpty()) QFile::remove(path_);
}

} // namespace platform
