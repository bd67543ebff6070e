#include "settings/Values.h"

#include <QtEndian>
#include <array>

namespace values {

namespace {

template <typename N> QByteArray littleEndian(N number) {
    QByteArray data(sizeof(N), '\0');
    qToLittleEndian<N>(number, data.data());
    return data;
}

template <typename N> std::optional<N> numberOf(const QByteArray& data) {
    if (data.size() > qsizetype(sizeof(N))) return std::nullopt;
    std::array<uchar, sizeof(N)> bytes{};
    std::copy(data.begin(), data.end(), bytes.begin());
    return qFromLittleEndian<N>(bytes.data());
}

struct Named {
    int type;
    const char* name;
};
constexpr Named TypeNames[] = {
    {platform::REG_NONE, "REG_NONE"},           {platform::REG_SZ, "REG_SZ"},
    {platform::REG_EXPAND_SZ, "REG_EXPAND_SZ"}, {platform::REG_BINARY, "REG_BINARY"},
    {platform::REG_DWORD, "REG_DWORD"},         {platform::REG_MULTI_SZ, "REG_MULTI_SZ"},
    {platform::REG_QWORD, "REG_QWORD"},
};

} // namespace

platform::RegValue String(const QString& text, int type) {
    return {type, text.toUtf8() + '\0'};
}

platform::RegValue Dword(quint32 number) {
    return {platform::REG_DWORD, littleEndian(number)};
}

platform::RegValue Qword(quint64 number) {
    return {platform::REG_QWORD, littleEndian(number)};
}

platform::RegValue MultiString(const QStringList& items) {
    QByteArray data;
    for (const QString& item : items)
        data += item.toUtf8() + '\0';
    return {platform::REG_MULTI_SZ, data + '\0'};
}

QString Text(const QByteArray& data) {
    const qsizetype end = data.indexOf('\0');
    return QString::fromUtf8(end < 0 ? data : data.left(end));
}

std::optional<quint32> DwordOf(const QByteArray& data) {
    return numberOf<quint32>(data);
}

std::optional<quint64> QwordOf(const QByteArray& data) {
    return numberOf<quint64>(data);
}

QStringList Strings(const QByteArray& data) {
    QStringList items;
    for (qsizetype at = 0; at < data.size();) {
        qsizetype end = data.indexOf('\0', at);
        if (end < 0) end = data.size();
        if (end == at) break; // the empty item that ends the list
        items << QString::fromUtf8(data.mid(at, end - at));
        at = end + 1;
    }
    return items;
}

QString TypeName(int type) {
    for (const Named& n : TypeNames)
        if (n.type == type) return QString::fromLatin1(n.name);
    return QStringLiteral("REG_UNKNOWN(%1)").arg(type);
}

std::optional<int> TypeOf(const QString& name) {
    for (const Named& n : TypeNames)
        if (name.compare(QLatin1String(n.name), Qt::CaseInsensitive) == 0) return n.type;
    return std::nullopt;
}

const QString RootName = QStringLiteral("HKEY_CURRENT_USER");

std::optional<QStringList> KeyNameParts(const QString& name) {
    for (const QString& root : {RootName, QStringLiteral("HKCU")}) {
        if (!name.startsWith(root, Qt::CaseInsensitive)) continue;
        QString rest = name.mid(root.size());
        if (rest.isEmpty()) return QStringList{};
        if (!rest.startsWith(QLatin1Char('\\'))) continue;
        rest.remove(0, 1);
        if (rest.endsWith(QLatin1Char('\\'))) rest.chop(1);
        if (rest.isEmpty()) return QStringList{};
        const QStringList parts = rest.split(QLatin1Char('\\'));
        if (parts.contains(QString())) return std::nullopt;
        return parts;
    }
    return std::nullopt;
}

QString KeyName(const QStringList& parts) {
    return parts.isEmpty() ? RootName
                           : RootName + QLatin1Char('\\') + parts.join(QLatin1Char('\\'));
}

std::optional<platform::KeyId> WalkKeyPath(platform::Hive& hive, platform::KeyId from,
                                           const QStringList& parts, bool create) {
    platform::KeyId key = from;
    for (const QString& part : parts) {
        const auto next = create ? hive.createKey(key, part) : hive.findKey(key, part);
        if (!next) return std::nullopt;
        key = *next;
    }
    return key;
}

} // namespace values
