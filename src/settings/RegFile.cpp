#include "settings/RegFile.h"

#include <QStringList>
#include <optional>
#include <vector>

namespace {

const QString RootName = QStringLiteral("HKEY_CURRENT_USER");

QString quote(const QString& s) {
    QString out = QStringLiteral("\"");
    for (const QChar c : s) {
        if (c == QLatin1Char('\\') || c == QLatin1Char('"')) out += QLatin1Char('\\');
        out += c;
    }
    return out + QLatin1Char('"');
}

QString hexList(const QByteArray& data) {
    QStringList bytes;
    for (const char b : data)
        bytes << QStringLiteral("%1").arg(quint8(b), 2, 16, QLatin1Char('0'));
    return bytes.join(QLatin1Char(','));
}

QString valueText(const platform::RegValue& v) {
    if (v.type == platform::REG_SZ && v.data.endsWith('\0') &&
        v.data.indexOf('\0') == v.data.size() - 1)
        return quote(QString::fromUtf8(v.data.left(v.data.size() - 1)));
    if (v.type == platform::REG_DWORD && v.data.size() == 4) {
        const quint32 n = quint8(v.data[0]) | quint32(quint8(v.data[1])) << 8 |
                          quint32(quint8(v.data[2])) << 16 | quint32(quint8(v.data[3])) << 24;
        return QStringLiteral("dword:%1").arg(n, 8, 16, QLatin1Char('0'));
    }
    if (v.type == platform::REG_BINARY) return QStringLiteral("hex:") + hexList(v.data);
    return QStringLiteral("hex(%1):").arg(v.type, 0, 16) + hexList(v.data);
}

void exportKey(platform::Hive& hive, platform::KeyId key, const QString& name, QString& out) {
    out += QLatin1Char('[') + name + QStringLiteral("]\n");
    for (const QString& v : hive.valueNames(key)) {
        const auto value = hive.value(key, v);
        if (!value) continue;
        out += (v.isEmpty() ? QStringLiteral("@") : quote(v)) + QLatin1Char('=') +
               valueText(*value) + QLatin1Char('\n');
    }
    out += QLatin1Char('\n');
    for (const QString& sub : hive.subKeyNames(key))
        if (auto id = hive.findKey(key, sub))
            exportKey(hive, *id, name + QLatin1Char('\\') + sub, out);
}

struct Op {
    enum Kind { OpenKey, DeleteKey, SetValue, DeleteValue } kind;
    QStringList path;
    QString name;
    platform::RegValue value;
};

[[noreturn]] void fail(int line, const QString& why) {
    throw RegFileError(line, QStringLiteral("line %1: %2").arg(line).arg(why).toStdString());
}

// "..." with \\ and \" escapes starting at s[*i]; leaves *i after the closing quote.
std::optional<QString> readQuoted(const QString& s, qsizetype* i) {
    if (*i >= s.size() || s[*i] != QLatin1Char('"')) return std::nullopt;
    QString out;
    for (++*i; *i < s.size(); ++*i) {
        const QChar c = s[*i];
        if (c == QLatin1Char('"')) {
            ++*i;
            return out;
        }
        if (c == QLatin1Char('\\')) {
            if (++*i >= s.size()) return std::nullopt;
            if (s[*i] != QLatin1Char('\\') && s[*i] != QLatin1Char('"')) return std::nullopt;
        }
        out += s[*i];
    }
    return std::nullopt;
}

std::optional<QByteArray> parseHex(const QString& text) {
    QByteArray out;
    const QString t = text.trimmed();
    if (t.isEmpty()) return out;
    for (const QString& part : t.split(QLatin1Char(','))) {
        bool ok = false;
        const QString p = part.trimmed();
        const uint b = p.toUInt(&ok, 16);
        if (!ok || p.size() > 2 || b > 0xFF) return std::nullopt;
        out += char(b);
    }
    return out;
}

std::optional<QStringList> keyPath(const QString& full) {
    if (full.compare(RootName, Qt::CaseInsensitive) == 0) return QStringList{};
    if (!full.startsWith(RootName + QLatin1Char('\\'), Qt::CaseInsensitive)) return std::nullopt;
    const QStringList parts = full.mid(RootName.size() + 1).split(QLatin1Char('\\'));
    for (const QString& p : parts)
        if (p.isEmpty() || p.size() > 255) return std::nullopt;
    return parts;
}

std::vector<Op> parse(const QString& text) {
    QStringList lines = text.split(QLatin1Char('\n'));
    for (QString& l : lines)
        if (l.endsWith(QLatin1Char('\r'))) l.chop(1);
    if (lines.isEmpty() || (lines[0] != QLatin1String("REGEDIT4") &&
                            lines[0] != QLatin1String("Windows Registry Editor Version 5.00")))
        fail(1, QStringLiteral("the file does not start with REGEDIT4"));
    std::vector<Op> ops;
    bool inKey = false;
    for (int i = 1; i < lines.size(); ++i) {
        const int lineNo = i + 1;
        QString line = lines[i];
        // Hex data may continue over lines ending in a backslash.
        while (line.endsWith(QLatin1Char('\\')) && line.contains(QStringLiteral("=hex")) &&
               i + 1 < lines.size())
            line = line.left(line.size() - 1) + lines[++i].trimmed();
        const QString trimmed = line.trimmed();
        if (trimmed.isEmpty() || trimmed.startsWith(QLatin1Char(';'))) continue;
        if (trimmed.startsWith(QLatin1Char('['))) {
            if (!trimmed.endsWith(QLatin1Char(']')))
                fail(lineNo, QStringLiteral("a key line must end with ]"));
            QString name = trimmed.mid(1, trimmed.size() - 2);
            const bool remove = name.startsWith(QLatin1Char('-'));
            if (remove) name = name.mid(1);
            const auto path = keyPath(name);
            if (!path)
                fail(lineNo, QStringLiteral("the key must be under HKEY_CURRENT_USER: ") + name);
            if (remove && path->isEmpty())
                fail(lineNo, QStringLiteral("the root can't be deleted"));
            ops.push_back({remove ? Op::DeleteKey : Op::OpenKey, *path, {}, {}});
            inKey = !remove;
            continue;
        }
        if (!inKey) fail(lineNo, QStringLiteral("a value line must follow a key line"));
        qsizetype at = 0;
        QString name;
        if (trimmed.startsWith(QLatin1Char('@'))) {
            at = 1;
        } else {
            const auto n = readQuoted(trimmed, &at);
            if (!n) fail(lineNo, QStringLiteral("a value name must be quoted"));
            name = *n;
        }
        if (at >= trimmed.size() || trimmed[at] != QLatin1Char('='))
            fail(lineNo, QStringLiteral("= expected"));
        const QString data = trimmed.mid(at + 1);
        Op op{Op::SetValue, ops.back().path, name, {}};
        if (data == QLatin1String("-")) {
            op.kind = Op::DeleteValue;
        } else if (data.startsWith(QLatin1Char('"'))) {
            qsizetype j = 0;
            const auto s = readQuoted(data, &j);
            if (!s || j != data.size())
                fail(lineNo, QStringLiteral("a string value is not closed properly"));
            op.value = {platform::REG_SZ, s->toUtf8() + '\0'};
        } else if (data.startsWith(QLatin1String("dword:"))) {
            bool ok = false;
            const QString digits = data.mid(6);
            const uint n = digits.toUInt(&ok, 16);
            if (!ok || digits.size() != 8)
                fail(lineNo, QStringLiteral("dword: needs 8 hexadecimal digits"));
            QByteArray b(4, '\0');
            for (int k = 0; k < 4; ++k)
                b[k] = char((n >> (8 * k)) & 0xFF);
            op.value = {platform::REG_DWORD, b};
        } else if (data.startsWith(QLatin1String("hex:"))) {
            const auto b = parseHex(data.mid(4));
            if (!b) fail(lineNo, QStringLiteral("bad hex data"));
            op.value = {platform::REG_BINARY, *b};
        } else if (data.startsWith(QLatin1String("hex("))) {
            const qsizetype close = data.indexOf(QStringLiteral("):"));
            bool ok = false;
            const int type = data.mid(4, close - 4).toInt(&ok, 16);
            const auto b = close > 4 ? parseHex(data.mid(close + 2)) : std::nullopt;
            if (!ok || !b) fail(lineNo, QStringLiteral("bad hex data"));
            op.value = {type, *b};
        } else {
            fail(lineNo, QStringLiteral("unknown value data: ") + data.left(40));
        }
        ops.push_back(op);
    }
    return ops;
}

} // namespace

QString ExportRegFile(platform::Hive& hive, const QString& path) {
    platform::KeyId key = hive.root();
    QString name = RootName;
    for (const QString& part : path.split(QLatin1Char('\\'), Qt::SkipEmptyParts)) {
        const auto next = hive.findKey(key, part);
        if (!next) throw RegFileError(0, ("the key " + path + " was not found").toStdString());
        key = *next;
        name += QLatin1Char('\\') + part;
    }
    QString out = QStringLiteral("REGEDIT4\n\n");
    exportKey(hive, key, name, out);
    return out;
}

void ImportRegFile(platform::Hive& hive, const QString& text) {
    const std::vector<Op> ops = parse(text); // nothing is touched before all of it parses
    platform::HiveTransaction tx(hive);
    platform::KeyId current = hive.root(); // values always follow their key's line
    auto resolve = [&](const QStringList& path, bool create) -> std::optional<platform::KeyId> {
        platform::KeyId k = hive.root();
        for (const QString& p : path) {
            const auto next = create ? hive.createKey(k, p) : hive.findKey(k, p);
            if (!next) return std::nullopt;
            k = *next;
        }
        return k;
    };
    for (const Op& op : ops) {
        switch (op.kind) {
        case Op::OpenKey: {
            const auto k = resolve(op.path, true);
            if (!k) throw RegFileError(0, "a key could not be created");
            current = *k;
            break;
        }
        case Op::DeleteKey:
            if (const auto k = resolve(op.path, false)) hive.deleteKey(*k);
            break;
        case Op::SetValue:
            if (!hive.setValue(current, op.name, op.value))
                throw RegFileError(
                    0, ("the value " + op.name + " could not be written").toStdString());
            break;
        case Op::DeleteValue:
            hive.deleteValue(current, op.name);
            break;
        }
    }
    tx.commit();
}
