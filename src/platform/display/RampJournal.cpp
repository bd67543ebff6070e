#include "platform/display/RampJournal.h"

#include "platform/store/Hive.h"
#include "platform/system/Proc.h"
#include "platform/system/XdgDirs.h"

#include <QDataStream>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <csignal>
#include <unistd.h>

namespace platform {

namespace {

constexpr quint32 Magic = 0x4B524A31; // "KRJ1"
constexpr int MaxOutputs = 256;
// Far more than any machine's outputs at their largest tables need: a file beyond it is
// not one of ours, and is not read into memory.
constexpr qint64 MaxJournalBytes = 16 << 20;

using Owner = ProcessId;
// What follows the outputs when a computed ramp or held processes were written down.
constexpr quint32 MoreMagic = 0x4B524A32; // "KRJ2"

} // namespace

// The start time from /proc/<pid>/stat.
std::optional<quint64> ProcessStarted(qint64 pid) {
    const std::optional<proc::Stat> s = proc::ReadStat(static_cast<pid_t>(pid));
    return s && s->live() ? std::optional<quint64>(s->start) : std::nullopt;
}

namespace {

bool Alive(const Owner& owner) {
    if (owner.pid <= 0) return false;
    if (owner.started != 0) {
        const std::optional<quint64> started = ProcessStarted(owner.pid);
        return started && *started == owner.started;
    }
    return ::kill(static_cast<pid_t>(owner.pid), 0) == 0 || errno == EPERM;
}

Owner Self() {
    const qint64 pid = ::getpid();
    return {pid, ProcessStarted(pid).value_or(0)};
}

} // namespace

QString RampJournalFolder() {
    if (const auto runtime = xdg::sessionRuntimeDir())
        return QString::fromStdString(*runtime) + QStringLiteral("/kelvaro");
    return QFileInfo(Hive::defaultPath()).absolutePath();
}

bool PlausibleRamp(const OutputRamp& ramp) {
    const int size = ramp.size();
    if (size < 2) return false;
    for (const std::uint16_t* channel : {ramp.red(), ramp.green(), ramp.blue()}) {
        for (int i = 1; i < size; ++i)
            if (channel[i] < channel[i - 1]) return false;
        if (channel[size - 1] < 65536 / 4) return false;
    }
    return true;
}

RampJournal::RampJournal(const std::string& displayKey, const char* kind) {
    if (!displayKey.empty())
        path_ =
            RampJournalFolder() + u'/' + QLatin1String(kind) + QString::fromStdString(displayKey);
}

std::optional<RampJournal::Contents> RampJournal::read(std::int64_t serverStarted) const {
    if (path_.isEmpty()) return std::nullopt;
    struct stat st {};
    const std::optional<QByteArray> bytes =
        xdg::readPrivateFile(QFile::encodeName(path_).toStdString(), MaxJournalBytes, &st);
    if (!bytes) return std::nullopt;
    const std::int64_t written =
        std::int64_t(st.st_mtim.tv_sec) * 1000 + st.st_mtim.tv_nsec / 1000000;
    if (serverStarted > 0 && written < serverStarted) return std::nullopt;
    QDataStream in(*bytes);
    quint32 magic = 0, count = 0;
    Owner owner;
    in >> magic >> owner.pid >> owner.started >> count;
    if (in.status() != QDataStream::Ok || magic != Magic || count > MaxOutputs) return std::nullopt;
    Contents contents;
    for (quint32 i = 0; i < count; ++i) {
        QByteArray id;
        quint32 size = 0;
        in >> id >> size;
        if (in.status() != QDataStream::Ok || size < 2 || size > quint32(MaxGammaSize))
            return std::nullopt;
        OutputRamp ramp(static_cast<int>(size));
        for (std::uint16_t& entry : ramp.entries)
            in >> entry;
        if (in.status() != QDataStream::Ok) return std::nullopt;
        if (PlausibleRamp(ramp))
            contents.ramps[id.toStdString()] = std::move(ramp);
        else
            contents.implausible.push_back({id.toStdString(), static_cast<int>(size)});
    }
    if (!in.atEnd()) {
        quint32 more = 0, held = 0;
        quint8 hasRamp = 0;
        in >> more >> hasRamp;
        if (hasRamp) {
            GammaRamp ramp;
            for (std::uint16_t& entry : ramp.entries)
                in >> entry;
            contents.inForce = ramp;
        }
        in >> held;
        if (in.status() != QDataStream::Ok || more != MoreMagic || held > MaxOutputs)
            return std::nullopt;
        for (quint32 i = 0; i < held; ++i) {
            ProcessId p;
            in >> p.pid >> p.started;
            contents.held.push_back(p);
        }
        if (in.status() != QDataStream::Ok || !in.atEnd()) return std::nullopt;
    }
    contents.ownerAlive = Alive(owner);
    return contents;
}

bool RampJournal::write(const OutputRamps& ramps, const std::optional<GammaRamp>& inForce,
                        const std::vector<ProcessId>& held) const {
    if (path_.isEmpty()) return false;
    const QFileInfo info(path_);
    const QString folderPath = info.absolutePath();
    // The folders above are the session's or the settings'; the journal's own is made here.
    if (!QDir().mkpath(QFileInfo(folderPath).absolutePath())) return false;
    const int folder = xdg::openPrivateFolder(QFile::encodeName(folderPath).toStdString(), true);
    if (folder < 0) return false;
    QByteArray bytes;
    QDataStream out(&bytes, QIODevice::WriteOnly);
    const Owner self = Self();
    out << Magic << self.pid << self.started << static_cast<quint32>(ramps.size());
    for (const auto& [id, ramp] : ramps) {
        out << QByteArray::fromStdString(id) << static_cast<quint32>(ramp.size());
        for (std::uint16_t entry : ramp.entries)
            out << entry;
    }
    if (inForce || !held.empty()) {
        out << MoreMagic << quint8(inForce ? 1 : 0);
        if (inForce)
            for (std::uint16_t entry : inForce->entries)
                out << entry;
        out << static_cast<quint32>(held.size());
        for (const ProcessId& p : held)
            out << p.pid << p.started;
    }
    const bool ok =
        out.status() == QDataStream::Ok &&
        xdg::replacePrivateFile(folder, QFile::encodeName(info.fileName()).toStdString(), bytes);
    ::close(folder);
    return ok;
}

void RampJournal::remove() const {
    if (path_.isEmpty()) return;
    const QFileInfo info(path_);
    const int folder =
        xdg::openPrivateFolder(QFile::encodeName(info.absolutePath()).toStdString(), false);
    if (folder < 0) return;
    // Whatever is at the name goes (a link itself, never what it points to); a folder stays.
    ::unlinkat(folder, QFile::encodeName(info.fileName()).constData(), 0);
    ::close(folder);
}

} // namespace platform
