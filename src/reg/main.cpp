// kelvaro-reg: reads and writes Kelvaro's settings store from the command line, in the manner
// of the Windows registry tool.
//   kelvaro-reg query KEY [/v NAME]
//   kelvaro-reg add KEY [/v NAME /t REG_SZ|REG_DWORD /d DATA] [/f]
//   kelvaro-reg delete KEY [/v NAME] /f
//   kelvaro-reg export FILE [KEY]      (KEY defaults to the program's own key)
//   kelvaro-reg import FILE
// KEY is written HKCU\Software\Orvendale Software\Kelvaro\...
#include "platform/Hive.h"
#include "settings/RegFile.h"
#include "settings/Registry.h"

#include <QCoreApplication>
#include <QFile>
#include <QSaveFile>
#include <QTextStream>
#include <QtEndian>
#include <cstdio>
#include <optional>

namespace {

QTextStream out(stdout);
QTextStream err(stderr);

int fail(const QString& message) {
    err << "kelvaro-reg: " << message << Qt::endl;
    return 1;
}

std::optional<QString> keyPath(const QString& key) {
    for (const QString& root : {QStringLiteral("HKCU"), QStringLiteral("HKEY_CURRENT_USER")}) {
        if (key.compare(root, Qt::CaseInsensitive) == 0) return QStringLiteral("\\");
        if (key.startsWith(root + QLatin1Char('\\'), Qt::CaseInsensitive))
            return key.mid(root.size());
    }
    return std::nullopt;
}

QString typeName(int type) {
    switch (type) {
    case platform::REG_SZ:
        return QStringLiteral("REG_SZ");
    case platform::REG_EXPAND_SZ:
        return QStringLiteral("REG_EXPAND_SZ");
    case platform::REG_BINARY:
        return QStringLiteral("REG_BINARY");
    case platform::REG_DWORD:
        return QStringLiteral("REG_DWORD");
    default:
        return QStringLiteral("REG_UNKNOWN(%1)").arg(type);
    }
}

QString dataText(const platform::RegValue& v) {
    if (v.type == platform::REG_SZ || v.type == platform::REG_EXPAND_SZ) {
        const qsizetype end = v.data.indexOf('\0');
        return QString::fromUtf8(end < 0 ? v.data : v.data.left(end));
    }
    if (v.type == platform::REG_DWORD && v.data.size() == 4)
        return QStringLiteral("0x%1").arg(qFromLittleEndian<quint32>(v.data.constData()), 0, 16);
    return QString::fromLatin1(v.data.toHex().toUpper());
}

void printValue(const QString& name, const platform::RegValue& v) {
    out << "    " << (name.isEmpty() ? QStringLiteral("(Default)") : name) << "    "
        << typeName(v.type) << "    " << dataText(v) << Qt::endl;
}

struct Args {
    QString command, key, name, type = QStringLiteral("REG_SZ"), data;
    bool hasName = false, hasData = false, force = false;
};

std::optional<Args> parse(const QStringList& argv, QString* problem) {
    Args a;
    if (argv.size() < 3) {
        *problem = QStringLiteral("usage: kelvaro-reg query|add|delete KEY [/v NAME] [/t TYPE] "
                                  "[/d DATA] [/f]");
        return std::nullopt;
    }
    a.command = argv[1].toLower();
    a.key = argv[2];
    for (qsizetype i = 3; i < argv.size(); ++i) {
        const QString opt = argv[i].toLower();
        auto next = [&](QString* into) {
            if (i + 1 >= argv.size()) {
                *problem = QStringLiteral("%1 needs a value").arg(argv[i]);
                return false;
            }
            *into = argv[++i];
            return true;
        };
        if (opt == QLatin1String("/v")) {
            if (!next(&a.name)) return std::nullopt;
            a.hasName = true;
        } else if (opt == QLatin1String("/t")) {
            if (!next(&a.type)) return std::nullopt;
            a.type = a.type.toUpper();
        } else if (opt == QLatin1String("/d")) {
            if (!next(&a.data)) return std::nullopt;
            a.hasData = true;
        } else if (opt == QLatin1String("/f")) {
            a.force = true;
        } else {
            *problem = QStringLiteral("unknown option %1").arg(argv[i]);
            return std::nullopt;
        }
    }
    return a;
}

int query(TRegistry& reg, const Args& a, const QString& path) {
    if (!reg.OpenKey(path, false))
        return fail(QStringLiteral("the key %1 was not found").arg(a.key));
    out << a.key << Qt::endl;
    if (a.hasName) {
        const auto v = reg.ReadValue(a.name);
        if (!v) return fail(QStringLiteral("the value %1 was not found in %2").arg(a.name, a.key));
        printValue(a.name, *v);
        return 0;
    }
    QStringList names;
    reg.GetValueNames(names);
    for (const QString& name : names)
        if (auto v = reg.ReadValue(name)) printValue(name, *v);
    reg.GetKeyNames(names);
    for (const QString& s : names)
        out << a.key << '\\' << s << Qt::endl;
    return 0;
}

int add(TRegistry& reg, const Args& a, const QString& path) {
    if (a.hasData && !a.hasName) return fail(QStringLiteral("/d needs /v"));
    std::optional<platform::RegValue> value;
    if (a.hasName) {
        if (a.type == QLatin1String("REG_SZ") || a.type == QLatin1String("REG_EXPAND_SZ")) {
            value = platform::RegValue{a.type == QLatin1String("REG_SZ") ? platform::REG_SZ
                                                                         : platform::REG_EXPAND_SZ,
                                       a.data.toUtf8() + '\0'};
        } else if (a.type == QLatin1String("REG_DWORD")) {
            bool ok = false;
            const qulonglong n = a.data.startsWith(QLatin1String("0x"), Qt::CaseInsensitive)
                                     ? a.data.mid(2).toULongLong(&ok, 16)
                                     : a.data.toULongLong(&ok, 10);
            if (!ok || n > 0xFFFFFFFFull)
                return fail(QStringLiteral("%1 is not a REG_DWORD number").arg(a.data));
            QByteArray data(4, '\0');
            qToLittleEndian<quint32>(static_cast<quint32>(n), data.data());
            value = platform::RegValue{platform::REG_DWORD, data};
        } else {
            return fail(QStringLiteral("unsupported type %1 (REG_SZ, REG_EXPAND_SZ or REG_DWORD)")
                            .arg(a.type));
        }
    }
    platform::HiveTransaction tx(platform::Hive::instance());
    if (!reg.OpenKey(path, true))
        return fail(QStringLiteral("the key %1 can't be created").arg(a.key));
    if (value) {
        if (!a.force && reg.ValueExists(a.name))
            return fail(QStringLiteral("the value %1 exists; add /f to overwrite it").arg(a.name));
        reg.WriteValue(a.name, *value);
    }
    tx.commit();
    out << "The operation completed successfully." << Qt::endl;
    return 0;
}

int remove(TRegistry& reg, const Args& a, const QString& path) {
    if (!a.force) return fail(QStringLiteral("delete needs /f"));
    if (a.hasName) {
        if (!reg.OpenKey(path, false))
            return fail(QStringLiteral("the key %1 was not found").arg(a.key));
        if (!reg.DeleteValue(a.name))
            return fail(QStringLiteral("the value %1 was not found in %2").arg(a.name, a.key));
    } else if (!reg.DeleteKey(path)) {
        return fail(QStringLiteral("the key %1 was not found").arg(a.key));
    }
    out << "The operation completed successfully." << Qt::endl;
    return 0;
}

int exportFile(const QString& file, const QString& path) {
    const QString text = ExportRegFile(platform::Hive::instance(), path);
    QSaveFile f(file);
    if (!f.open(QIODevice::WriteOnly) || f.write(text.toUtf8()) < 0 || !f.commit())
        return fail(QStringLiteral("%1: %2").arg(file, f.errorString()));
    return 0;
}

int importFile(const QString& file) {
    QFile f(file);
    if (!f.open(QIODevice::ReadOnly))
        return fail(QStringLiteral("%1: %2").arg(file, f.errorString()));
    try {
        ImportRegFile(platform::Hive::instance(), QString::fromUtf8(f.readAll()));
    } catch (const RegFileError& e) {
        return fail(
            QStringLiteral("%1: %2 (nothing was changed)").arg(file, QString::fromUtf8(e.what())));
    }
    return 0;
}

bool openStore() {
    try {
        platform::Hive::instance();
        return true;
    } catch (const platform::HiveError& e) {
        fail(QStringLiteral("can't use the settings file %1: %2")
                 .arg(platform::Hive::defaultPath(), QString::fromUtf8(e.what())));
        return false;
    }
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList argv_ = app.arguments();
    const QString command = argv_.value(1).toLower();
    if (command == QLatin1String("export") || command == QLatin1String("import")) {
        if (argv_.size() < 3 || argv_.size() > (command == QLatin1String("export") ? 4 : 3))
            return fail(QStringLiteral("usage: kelvaro-reg export FILE [KEY] | import FILE"));
        if (!openStore()) return 1;
        try {
            if (command == QLatin1String("import")) return importFile(argv_[2]);
            const auto path = keyPath(argv_.value(3, QStringLiteral("HKCU") + ProgramKey));
            if (!path) return fail(QStringLiteral("KEY must start with HKCU\\"));
            return exportFile(argv_[2], *path);
        } catch (const std::exception& e) {
            return fail(QString::fromUtf8(e.what()));
        }
    }
    QString problem;
    const auto args = parse(app.arguments(), &problem);
    if (!args) return fail(problem);
    const auto path = keyPath(args->key);
    if (!path) return fail(QStringLiteral("KEY must start with HKCU\\ (was %1)").arg(args->key));
    if (!openStore()) return 1;
    try {
        TRegistry reg;
        if (args->command == QLatin1String("query")) return query(reg, *args, *path);
        if (args->command == QLatin1String("add")) return add(reg, *args, *path);
        if (args->command == QLatin1String("delete")) return remove(reg, *args, *path);
        return fail(QStringLiteral("unknown command %1 (query, add or delete)").arg(args->command));
    } catch (const std::exception& e) {
        return fail(QString::fromUtf8(e.what()));
    }
}
