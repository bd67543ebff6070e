#include "platform/system/IconReader.h"

#include <QBuffer>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QImageReader>
#include <QPainter>
#include <QSettings>
#include <QStandardPaths>
#include <QtEndian>
#include <algorithm>
#include <map>
#include <optional>
#include <set>

namespace platform {

namespace {

// Bounds-checked little-endian reads from a byte array.
struct Bytes {
    const QByteArray& d;
    bool has(qint64 off, qint64 len) const { return off >= 0 && len >= 0 && off + len <= d.size(); }
    std::optional<quint16> u16(qint64 off) const {
        if (!has(off, 2)) return std::nullopt;
        return qFromLittleEndian<quint16>(d.constData() + off);
    }
    std::optional<quint32> u32(qint64 off) const {
        if (!has(off, 4)) return std::nullopt;
        return qFromLittleEndian<quint32>(d.constData() + off);
    }
    std::optional<quint8> u8(qint64 off) const {
        if (!has(off, 1)) return std::nullopt;
        return static_cast<quint8>(d[off]);
    }
};

constexpr int MaxIcoEntries = 256;

// Reading a file as an icon stays within a fixed budget whatever the file claims: the part of
// a program that is read, the icon group rebuilt from it, each image's bytes, and all the
// decoded images together; the largest side an icon image may have.
constexpr qint64 MaxProgramBytes = 32 * 1024 * 1024;
constexpr qint64 MaxIcoFileBytes = 16 * 1024 * 1024;
constexpr qint64 MaxGroupBytes = 8 * 1024 * 1024;
constexpr qint64 MaxImageBytes = 8 * 1024 * 1024;
constexpr qint64 MaxDecodedBytes = 8 * 1024 * 1024;
constexpr int MaxIconSide = 1024;
constexpr qint64 MaxPictureBytes = 32 * 1024 * 1024;

// The size an icon entry's image says it has, read from its PNG or bitmap header before
// anything is decoded; nullopt when it is not one or is out of bounds.
std::optional<QSize> declaredSize(const Bytes& b, qint64 offset, qint64 size) {
    int w = 0, h = 0;
    if (size >= 24 && b.has(offset, 24) &&
        std::equal(b.d.constData() + offset, b.d.constData() + offset + 8, "\x89PNG\r\n\x1a\n")) {
        w = int(qMin<quint32>(qFromBigEndian<quint32>(b.d.constData() + offset + 16), 1u << 30));
        h = int(qMin<quint32>(qFromBigEndian<quint32>(b.d.constData() + offset + 20), 1u << 30));
    } else {
        // A bitmap's height counts its image and its mask.
        const auto bw = b.u32(offset + 4), bh = b.u32(offset + 8);
        if (!bw || !bh) return std::nullopt;
        const qint64 bitmapWidth = qAbs(qint64(qint32(*bw))),
                     bitmapHeight = qAbs(qint64(qint32(*bh))) / 2;
        if (bitmapWidth > MaxIconSide || bitmapHeight > MaxIconSide) return std::nullopt;
        w = int(bitmapWidth);
        h = int(bitmapHeight);
    }
    if (w <= 0 || h <= 0 || w > MaxIconSide || h > MaxIconSide) return std::nullopt;
    return QSize(w, h);
}

QIcon iconFromImages(const std::vector<QImage>& images) {
    if (images.empty()) return QIcon();
    // The best image for each size: exact if there is one, else the largest.
    QIcon icon;
    for (int side : {16, 32, 48}) {
        const QImage* best = nullptr;
        for (const QImage& img : images) {
            if (img.width() == side) {
                best = &img;
                break;
            }
            if (!best || img.width() > best->width()) best = &img;
        }
        if (best)
            icon.addPixmap(QPixmap::fromImage(
                best->scaled(side, side, Qt::KeepAspectRatio, Qt::SmoothTransformation)));
    }
    return icon;
}

} // namespace

std::vector<QImage> ReadIcoImages(const QByteArray& data) {
    std::vector<QImage> out;
    const Bytes b{data};
    const auto reserved = b.u16(0), type = b.u16(2), count = b.u16(4);
    if (!reserved || !type || !count || *reserved != 0 || (*type != 1 && *type != 2)) return out;
    if (*count == 0 || *count > MaxIcoEntries) return out;
    // Only what is used is decoded: each image once however many entries name it, the sizes
    // the icon is shown at first, then the largest, as long as the budget lasts.
    struct Entry {
        int index;
        quint32 offset, size;
        QSize side;
    };
    std::vector<Entry> entries;
    for (int i = 0; i < *count; ++i) {
        const qint64 e = 6 + 16 * i;
        const auto size = b.u32(e + 8), offset = b.u32(e + 12);
        if (!size || !offset || *size == 0 || *size > MaxImageBytes || !b.has(*offset, *size))
            continue;
        const auto side = declaredSize(b, *offset, *size);
        if (!side) continue;
        if (std::any_of(entries.begin(), entries.end(),
                        [&](const Entry& x) { return x.offset == *offset && x.size == *size; }))
            continue;
        entries.push_back({i, *offset, *size, *side});
    }
    auto shown = [](const Entry& x) {
        return x.side.width() == 16 || x.side.width() == 32 || x.side.width() == 48;
    };
    std::stable_sort(entries.begin(), entries.end(), [&](const Entry& x, const Entry& y) {
        if (shown(x) != shown(y)) return shown(x);
        return qint64(x.side.width()) * x.side.height() > qint64(y.side.width()) * y.side.height();
    });
    qint64 budget = MaxDecodedBytes;
    std::vector<std::pair<int, QImage>> decoded;
    for (const Entry& x : entries) {
        const qint64 cost = 4ll * x.side.width() * x.side.height();
        if (cost > budget) continue;
        const QByteArray image = QByteArray::fromRawData(data.constData() + x.offset, x.size);
        QImage img;
        if (image.startsWith("\x89PNG")) {
            img.loadFromData(image, "PNG");
        } else {
            // A single-entry .ico around this image, for Qt's ICO reader.
            const qint64 e = 6 + 16 * x.index;
            QByteArray one(22, '\0');
            qToLittleEndian<quint16>(1, one.data() + 2);
            qToLittleEndian<quint16>(1, one.data() + 4);
            std::copy(data.constData() + e, data.constData() + e + 12, one.data() + 6);
            qToLittleEndian<quint32>(22, one.data() + 18);
            one += image;
            QBuffer buf(&one);
            buf.open(QIODevice::ReadOnly);
            QImageReader reader(&buf, "ICO");
            img = reader.read();
        }
        if (img.isNull() || img.width() <= 0 || img.width() > MaxIconSide ||
            img.height() > MaxIconSide)
            continue;
        budget -= qMax(cost, img.sizeInBytes());
        decoded.emplace_back(x.index, std::move(img));
    }
    std::sort(decoded.begin(), decoded.end(),
              [](const auto& x, const auto& y) { return x.first < y.first; });
    for (auto& [index, img] : decoded)
        out.push_back(std::move(img));
    return out;
}

QByteArray ExtractPeIconGroup(const QByteArray& data) {
    const Bytes b{data};
    if (!data.startsWith("MZ")) return {};
    const auto lfanew = b.u32(0x3C);
    if (!lfanew || !b.has(*lfanew, 24) || data.mid(*lfanew, 4) != QByteArray("PE\0\0", 4))
        return {};
    const qint64 coff = *lfanew + 4;
    const auto sections = b.u16(coff + 2), optSize = b.u16(coff + 16);
    const qint64 opt = coff + 20;
    const auto magic = b.u16(opt);
    if (!sections || !optSize || !magic) return {};
    qint64 dirs = 0, countOff = 0;
    if (*magic == 0x10b) {
        dirs = opt + 96;
        countOff = opt + 92;
    } else if (*magic == 0x20b) {
        dirs = opt + 112;
        countOff = opt + 108;
    } else {
        return {};
    }
    const auto nDirs = b.u32(countOff);
    if (!nDirs || *nDirs < 3 || dirs + 24 > opt + *optSize) return {};
    const auto resRva = b.u32(dirs + 16);
    if (!resRva || *resRva == 0) return {};

    struct Section {
        quint32 va, vsize, raw, rawSize;
    };
    std::vector<Section> table;
    const qint64 secTable = opt + *optSize;
    for (int i = 0; i < *sections && i < 96; ++i) {
        const qint64 s = secTable + 40 * i;
        const auto vsize = b.u32(s + 8), va = b.u32(s + 12), rawSize = b.u32(s + 16),
                   raw = b.u32(s + 20);
        if (!vsize || !va || !rawSize || !raw) return {};
        table.push_back({*va, *vsize, *raw, *rawSize});
    }
    auto toOffset = [&](quint32 rva) -> qint64 {
        for (const Section& s : table) {
            const quint64 span = qMax(s.vsize, s.rawSize);
            if (rva >= s.va && quint64(rva) < quint64(s.va) + span) {
                const quint64 off = quint64(rva - s.va) + s.raw;
                return off < quint64(data.size()) ? qint64(off) : -1;
            }
        }
        return -1;
    };
    const qint64 root = toOffset(*resRva);
    if (root < 0) return {};

    // Entries of one resource directory: (id or name offset, offset-to-data with flag).
    auto entries = [&](qint64 dir) {
        std::vector<std::pair<quint32, quint32>> out;
        const auto named = b.u16(dir + 12), ids = b.u16(dir + 14);
        if (!named || !ids) return out;
        const int n = *named + *ids;
        for (int i = 0; i < n && i < 4096; ++i) {
            const auto name = b.u32(dir + 16 + 8 * i), off = b.u32(dir + 20 + 8 * i);
            if (!name || !off) break;
            out.emplace_back(*name, *off);
        }
        return out;
    };
    // The data (offset, size) under a type/id directory: first language.
    auto leaf = [&](quint32 off) -> std::optional<std::pair<qint64, quint32>> {
        qint64 at = root + (off & 0x7FFFFFFF);
        for (int depth = 0; (off & 0x80000000u) && depth < 4; ++depth) {
            const auto e = entries(at);
            if (e.empty()) return std::nullopt;
            off = e.front().second;
            at = root + (off & 0x7FFFFFFF);
        }
        if (off & 0x80000000u) return std::nullopt;
        const auto rva = b.u32(at), size = b.u32(at + 4);
        if (!rva || !size) return std::nullopt;
        const qint64 fo = toOffset(*rva);
        if (fo < 0 || !b.has(fo, *size)) return std::nullopt;
        return std::make_pair(fo, *size);
    };
    std::optional<quint32> groupDir, iconDir;
    for (const auto& [name, off] : entries(root)) {
        if (!(off & 0x80000000u) || (name & 0x80000000u)) continue;
        if (name == 14) groupDir = off;
        if (name == 3) iconDir = off;
    }
    if (!groupDir || !iconDir) return {};
    const auto groups = entries(root + (*groupDir & 0x7FFFFFFF));
    if (groups.empty()) return {};
    const auto group = leaf(groups.front().second);
    if (!group) return {};
    std::map<quint32, std::pair<qint64, quint32>> icons;
    for (const auto& [name, off] : entries(root + (*iconDir & 0x7FFFFFFF)))
        if (!(name & 0x80000000u))
            if (auto l = leaf(off)) icons[name] = *l;

    const qint64 g = group->first;
    const auto count = b.u16(g + 4);
    if (!count || *count == 0 || *count > MaxIcoEntries || !b.has(g + 6, 14 * qint64(*count)))
        return {};
    QByteArray header(6, '\0'), dir, images;
    qToLittleEndian<quint16>(1, header.data() + 2);
    int kept = 0;
    std::vector<std::pair<QByteArray, QByteArray>> parts;
    // Each image once, and the whole group within its budget, however many entries there are.
    std::set<quint16> taken;
    qint64 total = 0;
    for (int i = 0; i < *count; ++i) {
        const qint64 e = g + 6 + 14 * i;
        const quint16 id = *b.u16(e + 12);
        auto it = icons.find(id);
        if (it == icons.end() || it->second.second > MaxImageBytes ||
            total + it->second.second > MaxGroupBytes || !taken.insert(id).second)
            continue;
        total += it->second.second;
        QByteArray entry = data.mid(e, 12); // w h colors reserved planes bpp bytes
        parts.emplace_back(entry, data.mid(it->second.first, it->second.second));
        ++kept;
    }
    if (kept == 0) return {};
    qToLittleEndian<quint16>(quint16(kept), header.data() + 4);
    quint32 offset = quint32(6 + 16 * kept);
    for (auto& [entry, image] : parts) {
        QByteArray e = entry.left(8);
        QByteArray num(8, '\0');
        qToLittleEndian<quint32>(quint32(image.size()), num.data());
        qToLittleEndian<quint32>(offset, num.data() + 4);
        dir += e + num;
        images += image;
        offset += quint32(image.size());
    }
    return header + dir + images;
}

struct DesktopEntries::Entry {
    QStringList programs; // the canonical paths its Exec and TryExec start
    QStringList names;    // the same as written, for programs named without a folder
    QString icon;
};

DesktopEntries::DesktopEntries() = default;
DesktopEntries::~DesktopEntries() = default;

void DesktopEntries::read() const {
    read_ = true;
    std::map<QString, QString> found; // command name -> canonical path through PATH
    auto canonical = [&](const QString& command) {
        if (command.contains(QLatin1Char('/'))) return QFileInfo(command).canonicalFilePath();
        auto it = found.find(command);
        if (it == found.end()) {
            const QString path = QStandardPaths::findExecutable(command);
            it = found
                     .emplace(command,
                              path.isEmpty() ? QString() : QFileInfo(path).canonicalFilePath())
                     .first;
        }
        return it->second;
    };
    for (const QString& dir :
         QStandardPaths::standardLocations(QStandardPaths::ApplicationsLocation)) {
        QDirIterator it(dir, {QStringLiteral("*.desktop")}, QDir::Files,
                        QDirIterator::Subdirectories);
        while (it.hasNext()) {
            QFile f(it.next());
            if (!f.open(QIODevice::ReadOnly | QIODevice::Text) || f.size() > 256 * 1024) continue;
            QString exec, tryExec, icon;
            bool inGroup = false;
            while (!f.atEnd()) {
                const QString line = QString::fromUtf8(f.readLine()).trimmed();
                if (line.startsWith(QLatin1Char('['))) {
                    inGroup = line == QLatin1String("[Desktop Entry]");
                    continue;
                }
                if (!inGroup) continue;
                if (line.startsWith(QLatin1String("Exec=")))
                    exec = line.mid(5);
                else if (line.startsWith(QLatin1String("TryExec=")))
                    tryExec = line.mid(8);
                else if (line.startsWith(QLatin1String("Icon=")))
                    icon = line.mid(5);
            }
            if (icon.isEmpty()) continue;
            QString first = exec.section(QLatin1Char(' '), 0, 0);
            first.remove(QLatin1Char('"'));
            Entry entry{{}, {}, icon};
            for (const QString& command : {first, tryExec}) {
                if (command.isEmpty()) continue;
                entry.names << command;
                if (const QString path = canonical(command); !path.isEmpty())
                    entry.programs << path;
            }
            if (!entry.names.isEmpty()) entries_.push_back(std::move(entry));
        }
    }
}

QIcon DesktopEntries::iconFor(const QString& program) const {
    if (!read_) read();
    const QString canonical = QFileInfo(program).canonicalFilePath();
    const QString base = QFileInfo(program).fileName();
    const bool bare = !program.contains(QLatin1Char('/'));
    for (const Entry& e : entries_) {
        if (!(!canonical.isEmpty() && e.programs.contains(canonical)) &&
            !(bare && e.names.contains(base)))
            continue;
        if (QDir::isAbsolutePath(e.icon)) return PictureIcon(e.icon);
        const QIcon themed = QIcon::fromTheme(e.icon);
        if (!themed.isNull()) return themed;
    }
    return QIcon();
}

QIcon DesktopEntryIcon(const QString& program) {
    return DesktopEntries().iconFor(program);
}

QIcon ThemeProgramIcon() {
    static const QIcon icon = QIcon::fromTheme(QStringLiteral("application-x-executable"));
    return icon;
}

QIcon ExtractIcon(const QString& path, const DesktopEntries* entries) {
    if (path == GenericIconFile) return ThemeProgramIcon();
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return QIcon();
    const QByteArray head = f.peek(4);
    const QString suffix = QFileInfo(path).suffix().toLower();
    // Programs and icon files are mapped, not copied: their pages are the file's.
    auto mapped = [&f](qint64 most) {
        const qint64 size = qMin(f.size(), most);
        const uchar* p = size > 0 ? f.map(0, size) : nullptr;
        return p ? QByteArray::fromRawData(reinterpret_cast<const char*>(p), size) : f.read(most);
    };
    if (head.startsWith("MZ"))
        return iconFromImages(ReadIcoImages(ExtractPeIconGroup(mapped(MaxProgramBytes))));
    if (suffix == QLatin1String("ico") || head == QByteArray("\0\0\1\0", 4))
        return iconFromImages(ReadIcoImages(mapped(MaxIcoFileBytes)));
    f.close();
    if (head.startsWith("\x7F"
                        "ELF") ||
        head.startsWith("#!"))
        return entries ? entries->iconFor(path) : DesktopEntryIcon(path);
    return PictureIcon(path);
}

QIcon PictureIcon(const QString& path) {
    QImageReader reader(path);
    if (!reader.canRead()) return QIcon();
    // Drawings are drawn at each size; a picture is decoded once, and only when its size fits.
    const QByteArray format = reader.format();
    if (format == "svg" || format == "svgz") return QIcon(path);
    const QSize size = reader.size();
    if (!size.isValid() || 4ll * size.width() * size.height() > MaxPictureBytes) return QIcon();
    const QImage img = reader.read();
    if (img.isNull()) return QIcon();
    return iconFromImages({img});
}

} // namespace platform
