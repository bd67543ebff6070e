#include "settings/RegFile.h"

#include "platform/process/Autostart.h"
#include "settings/Registry.h"
#include "settings/Values.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStringDecoder>
#include <QStringList>
#include <optional>
#include <vector>

namespace {

using values::RootName;
const QString Version5 = QStringLiteral("Windows Registry Editor Version 5.00");

// Why a key name can't stand in a file's [key] line, or nothing.
QString keyNameProblem(const QString& name) {
    if (name.size() > platform::Hive::MaxKeyName)
        return QStringLiteral("a key name is longer than %1 characters")
            .arg(platform::Hive::MaxKeyName);
    if (name.contains(QLatin1Char('\n')) || name.contains(QLatin1Char('\r')))
        return QStringLiteral("a key name holds a line break");
    return QString();
}

// What a name read from a file may not hold, as the profiles window refuses it too: control
// characters, and halves of a UTF-16 pair standing alone (no name in the store could match
// them, so nothing could read or delete what they named).
QString nameCharacterProblem(const QString& name, const char* what) {
    for (qsizetype i = 0; i < name.size(); ++i) {
        const char16_t c = name[i].unicode();
        if (c < 0x20 || c == 0x7F)
            return QStringLiteral("a %1 name holds a control character").arg(QLatin1String(what));
        if (QChar::isHighSurrogate(c) && i + 1 < name.size() &&
            QChar::isLowSurrogate(name[i + 1].unicode())) {
            ++i;
            continue;
        }
        if (QChar::isSurrogate(c))
            return QStringLiteral("a %1 name holds a lone UTF-16 surrogate")
                .arg(QLatin1String(what));
    }
    return QString();
}

bool hasLoneSurrogate(const QString& text) {
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t c = text[i].unicode();
        if (QChar::isHighSurrogate(c) && i + 1 < text.size() &&
            QChar::isLowSurrogate(text[i + 1].unicode()))
            ++i;
        else if (QChar::isSurrogate(c))
            return true;
    }
    return false;
}

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

// A string is written quoted only when reading the quotes back gives the same bytes: one
// line of valid UTF-8 with its one zero byte at the end. Anything else is written as hex.
bool quotable(const QByteArray& data) {
    if (!data.endsWith('\0') || data.indexOf('\0') != data.size() - 1) return false;
    const QByteArray text = data.left(data.size() - 1);
    return !text.contains('\n') && !text.contains('\r') && QString::fromUtf8(text).toUtf8() == text;
}

QString valueText(const platform::RegValue& v) {
    if (v.type == platform::REG_SZ && quotable(v.data)) return quote(values::Text(v.data));
    if (v.type == platform::REG_DWORD && v.data.size() == 4)
        return QStringLiteral("dword:%1").arg(*values::DwordOf(v.data), 8, 16, QLatin1Char('0'));
    if (v.type == platform::REG_BINARY) return QStringLiteral("hex:") + hexList(v.data);
    return QStringLiteral("hex(%1):").arg(v.type, 0, 16) + hexList(v.data);
}

[[noreturn]] void cannotExport(const QString& name, const QString& why) {
    throw RegFileError(
        0, (QStringLiteral("%1 can't be written to a .reg file: %2").arg(name, why)).toStdString());
}

void exportKey(platform::Hive& hive, platform::KeyId key, const QString& name, int depth,
               QString& out) {
    if (depth > platform::Hive::MaxKeyDepth)
        cannotExport(
            name, QStringLiteral("it is deeper than %1 levels").arg(platform::Hive::MaxKeyDepth));
    out += QLatin1Char('[') + name + QStringLiteral("]\n");
    for (const QString& v : hive.valueNames(key)) {
        const auto value = hive.value(key, v);
        if (!value) continue;
        if (v.contains(QLatin1Char('\n')) || v.contains(QLatin1Char('\r')))
            cannotExport(name, QStringLiteral("a value name holds a line break"));
        out += (v.isEmpty() ? QStringLiteral("@") : quote(v)) + QLatin1Char('=') +
               valueText(*value) + QLatin1Char('\n');
    }
    out += QLatin1Char('\n');
    for (const QString& sub : hive.subKeyNames(key)) {
        const QString problem = keyNameProblem(sub);
        if (!problem.isEmpty()) cannotExport(name + QLatin1Char('\\') + sub, problem);
        if (auto id = hive.findKey(key, sub))
            exportKey(hive, *id, name + QLatin1Char('\\') + sub, depth + 1, out);
    }
}

// String data of a version 5 file is UTF-16LE; the store holds UTF-8. A lone surrogate has
// no UTF-8 form.
std::optional<QByteArray> fromUtf16(const QByteArray& data) {
    if (data.size() % 2) return std::nullopt;
    const QString text =
        QString::fromUtf16(reinterpret_cast<const char16_t*>(data.constData()), data.size() / 2);
    if (hasLoneSurrogate(text)) return std::nullopt;
    return text.toUtf8();
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

std::vector<Op> parse(const QString& text) {
    QStringList lines = text.split(QLatin1Char('\n'));
    for (QString& l : lines)
        if (l.endsWith(QLatin1Char('\r'))) l.chop(1);
    if (lines.isEmpty() || (lines[0] != QLatin1String("REGEDIT4") && lines[0] != Version5))
        fail(1, QStringLiteral("the file does not start with REGEDIT4"));
    const bool utf16 = lines[0] == Version5;
    std::vector<Op> ops;
    bool inKey = false;
    for (int i = 1; i < lines.size(); ++i) {
        const int lineNo = i + 1;
        QString line = lines[i];
        // Hex data may continue over lines ending in a backslash (appended in place: a value
        // over many thousand lines costs no more than the same value on one).
        if (line.contains(QStringLiteral("=hex")))
            while (line.endsWith(QLatin1Char('\\')) && i + 1 < lines.size()) {
                line.chop(1);
                line += QStringView(lines[++i]).trimmed();
            }
        const QString trimmed = line.trimmed();
        if (trimmed.isEmpty() || trimmed.startsWith(QLatin1Char(';'))) continue;
        if (trimmed.startsWith(QLatin1Char('['))) {
            if (!trimmed.endsWith(QLatin1Char(']')))
                fail(lineNo, QStringLiteral("a key line must end with ]"));
            QString name = trimmed.mid(1, trimmed.size() - 2);
            const bool remove = name.startsWith(QLatin1Char('-'));
            if (remove) name = name.mid(1);
            const auto path = values::KeyNameParts(name);
            if (!path)
                fail(lineNo, QStringLiteral("the key must be under HKEY_CURRENT_USER: ") + name);
            for (const QString& part : *path) {
                QString problem = keyNameProblem(part);
                if (problem.isEmpty()) problem = nameCharacterProblem(part, "key");
                if (!problem.isEmpty()) fail(lineNo, problem);
            }
            if (path->size() > platform::Hive::MaxKeyDepth)
                fail(lineNo, QStringLiteral("the key is deeper than %1 levels")
                                 .arg(platform::Hive::MaxKeyDepth));
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
            if (const QString problem = nameCharacterProblem(name, "value"); !problem.isEmpty())
                fail(lineNo, problem);
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
            if (hasLoneSurrogate(*s))
                fail(lineNo, QStringLiteral("a string value holds a lone UTF-16 surrogate"));
            op.value = values::String(*s);
        } else if (data.startsWith(QLatin1String("dword:"))) {
            bool ok = false;
            const QString digits = data.mid(6);
            const uint n = digits.toUInt(&ok, 16);
            if (!ok || digits.size() != 8)
                fail(lineNo, QStringLiteral("dword: needs 8 hexadecimal digits"));
            op.value = values::Dword(n);
        } else if (data.startsWith(QLatin1String("hex:"))) {
            const auto b = parseHex(data.mid(4));
            if (!b) fail(lineNo, QStringLiteral("bad hex data"));
            op.value = {platform::REG_BINARY, *b};
        } else if (data.startsWith(QLatin1String("hex("))) {
            const qsizetype close = data.indexOf(QStringLiteral("):"));
            bool ok = false;
            const int type = data.mid(4, close - 4).toInt(&ok, 16);
            auto b = close > 4 ? parseHex(data.mid(close + 2)) : std::nullopt;
            if (!ok || !b) fail(lineNo, QStringLiteral("bad hex data"));
            const bool text = type == platform::REG_SZ || type == platform::REG_EXPAND_SZ ||
                              type == platform::REG_MULTI_SZ;
            if (utf16 && text && b->size() % 2)
                fail(lineNo, QStringLiteral("string data in UTF-16 needs an even number of bytes"));
            if (utf16 && text && !(b = fromUtf16(*b)))
                fail(lineNo, QStringLiteral("string data holds a lone UTF-16 surrogate"));
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
    const QStringList parts = path.split(QLatin1Char('\\'), Qt::SkipEmptyParts);
    const auto key = values::WalkKeyPath(hive, hive.root(), parts, false);
    if (!key) throw RegFileError(0, ("the key " + path + " was not found").toStdString());
    QString out = QStringLiteral("REGEDIT4\n\n");
    exportKey(hive, *key, values::KeyName(parts), int(parts.size()), out);
    return out;
}

QString DecodeRegFile(const QByteArray& bytes) {
    // The registry editor writes UTF-16 with a byte-order mark; REGEDIT4 files are 8-bit.
    if (bytes.startsWith("\xFF\xFE") || bytes.startsWith("\xFE\xFF") ||
        bytes.startsWith("\xEF\xBB\xBF")) {
        auto encoding = QStringConverter::encodingForData(bytes);
        QStringDecoder decode(encoding.value_or(QStringConverter::Utf8));
        QString text = decode(bytes);
        if (text.startsWith(QChar(0xFEFF))) text.remove(0, 1);
        return text;
    }
    // Valid UTF-8 is read as such; anything else is what the registry editor writes in the
    // West, the Windows ANSI code page 1252.
    QStringDecoder utf8(QStringConverter::Utf8, QStringConverter::Flag::Stateless);
    QString text = utf8(bytes);
    if (!utf8.hasError()) return text;
    return FromWindows1252(bytes);
}

QString FromWindows1252(const QByteArray& bytes) {
    // 0x80-0x9F; the five bytes the code page leaves undefined stay the C1 controls they are
    // in ISO 8859-1, as Windows itself reads them.
    static const char16_t high[32] = {
        0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
        0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
        0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};
    QString text(bytes.size(), Qt::Uninitialized);
    QChar* out = text.data();
    for (const char b : bytes) {
        const auto u = static_cast<unsigned char>(b);
        *out++ = QChar(u >= 0x80 && u < 0xA0 ? high[u - 0x80] : char16_t(u));
    }
    return text;
}

void ImportRegFile(platform::Hive& hive, const QString& text) {
    const std::vector<Op> ops = parse(text); // nothing is touched before all of it parses
    // The Run key's "Kelvaro" is the autostart entry: changed once the rest has committed.
    const QStringList runPath = RunKey.split(QLatin1Char('\\'), Qt::SkipEmptyParts);
    auto isRunKey = [&](const QStringList& path, bool orAbove) {
        if (path.size() > runPath.size() || (!orAbove && path.size() != runPath.size()) ||
            path.isEmpty())
            return false;
        for (qsizetype i = 0; i < path.size(); ++i)
            if (path[i].compare(runPath[i], Qt::CaseInsensitive) != 0) return false;
        return true;
    };
    std::optional<std::optional<QString>> autostart; // set to a program, or removed
    platform::HiveTransaction tx(hive);
    platform::KeyId current = hive.root(); // values always follow their key's line
    auto resolve = [&](const QStringList& path, bool create) {
        return values::WalkKeyPath(hive, hive.root(), path, create);
    };
    for (const Op& op : ops) {
        const bool runValue = (op.kind == Op::SetValue || op.kind == Op::DeleteValue) &&
                              isRunKey(op.path, false) &&
                              op.name.compare(RunValueName, Qt::CaseInsensitive) == 0;
        switch (op.kind) {
        case Op::OpenKey: {
            const auto k = resolve(op.path, true);
            if (!k) throw RegFileError(0, "a key could not be created");
            current = *k;
            break;
        }
        case Op::DeleteKey:
            if (const auto k = resolve(op.path, false)) hive.deleteKey(*k);
            if (isRunKey(op.path, true)) autostart.emplace(std::nullopt);
            break;
        case Op::SetValue:
            if (runValue) {
                if (op.value.type != platform::REG_SZ && op.value.type != platform::REG_EXPAND_SZ)
                    throw RegFileError(0, "the value Kelvaro under the Run key must be a string");
                autostart.emplace(values::Text(op.value.data));
            } else if (!hive.setValue(current, op.name, op.value)) {
                throw RegFileError(
                    0, ("the value " + op.name + " could not be written").toStdString());
            }
            break;
        case Op::DeleteValue:
            if (runValue)
                autostart.emplace(std::nullopt);
            else
                hive.deleteValue(current, op.name);
            break;
        }
    }
    if (!autostart) {
        tx.commit();
        return;
    }
    // The autostart entry changes before the store commits, and goes back as it was when the
    // commit fails: the file is taken whole or not at all.
    const QString entry = platform::autostart::entryPath();
    std::optional<QByteArray> before;
    if (QFile f(entry); f.open(QIODevice::ReadOnly)) before = f.readAll();
    auto putBack = [&] {
        if (!before) {
            QFile::remove(entry);
            return;
        }
        QSaveFile f(entry);
        if (f.open(QIODevice::WriteOnly)) {
            f.write(*before);
            f.commit();
        }
    };
    const bool written = *autostart ? platform::autostart::write(**autostart)
                                    : (platform::autostart::remove(), !QFileInfo::exists(entry));
    if (!written) {
        putBack();
        throw RegFileError(0, "the autostart entry could not be written");
    }
    try {
        tx.commit();
    } catch (...) {
        putBack();
        throw;
    }
}
