// kelvaro-reg: reads and writes Kelvaro's settings store from the command line, the way the
// Windows registry tool does: the same commands, options, output and messages (see Usage).
#include "platform/store/Hive.h"
#include "settings/RegFile.h"
#include "settings/Registry.h"
#include "settings/Values.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QTextStream>
#include <cstdio>
#include <map>
#include <optional>

namespace {

const char* const Usage =
    R"(kelvaro-reg: reads and writes Kelvaro's settings, like the Windows reg tool.

  kelvaro-reg query KEY [/v NAME | /ve] [/s] [/f DATA [/k] [/d] [/c] [/e]]
  kelvaro-reg add KEY [/v NAME | /ve] [/t TYPE] [/s SEPARATOR] [/d DATA] [/f]
  kelvaro-reg delete KEY [/v NAME | /ve | /va] /f
  kelvaro-reg export KEY FILE [/y]
  kelvaro-reg import FILE
  kelvaro-reg /?

  KEY   HKCU\... or HKEY_CURRENT_USER\..., for example
        "HKCU\Software\Orvendale Software\Kelvaro"
  /v    the value NAME; /ve the unnamed value, (Default); /va every value of KEY
  /s    query: KEY and every key below it; add: the separator of REG_MULTI_SZ items in DATA
        (default \0)
  /f    query: search key names, value names and data for DATA (/k key names only, /d data
        only, /c letter case counts, /e whole text only); add: overwrite an existing value;
        delete: delete without asking (needed)
  /t    REG_SZ (the default), REG_EXPAND_SZ, REG_MULTI_SZ, REG_DWORD, REG_QWORD, REG_BINARY or
        REG_NONE
  /d    the data: text; a number, decimal or hexadecimal with 0x (REG_DWORD and REG_QWORD,
        0 without /d); hexadecimal digits (REG_BINARY, REG_NONE)
  FILE  a .reg file: REGEDIT4, or the registry editor's version 5.00 in UTF-16; "-" is standard
        output (export) or standard input (import). export writes REGEDIT4.
  /y    export: replace FILE when it exists
)";

QTextStream out(stdout);
QTextStream err(stderr);

const QString Done = QStringLiteral("The operation completed successfully.");
const QString NotFound =
    QStringLiteral("The system was unable to find the specified registry key or value.");

int fail(const QString& message) {
    err << "ERROR: " << message << Qt::endl;
    return 1;
}

// A command line that can't be run as written.
int syntax(const QString& why = QString()) {
    err << "ERROR: " << (why.isEmpty() ? QStringLiteral("Invalid syntax.") : why) << Qt::endl
        << "Type \"kelvaro-reg /?\" for usage." << Qt::endl;
    return 1;
}

int succeeded() {
    out << Done << Qt::endl;
    return 0;
}

// One command line: the command, its words and its options (lower case, with their data).
struct Args {
    QString command;
    QStringList words;
    std::map<QString, QString> options;
    bool has(const char* option) const { return options.count(QLatin1String(option)) > 0; }
    QString operator[](const char* option) const {
        const auto it = options.find(QLatin1String(option));
        return it == options.end() ? QString() : it->second;
    }
};

// The options of each command: those that take data end in ":".
const std::map<QString, QStringList> CommandOptions = {
    {QStringLiteral("query"), {"/v:", "/ve", "/s", "/f:", "/k", "/d", "/c", "/e"}},
    {QStringLiteral("add"), {"/v:", "/ve", "/t:", "/s:", "/d:", "/f"}},
    {QStringLiteral("delete"), {"/v:", "/ve", "/va", "/f"}},
    {QStringLiteral("export"), {"/y"}},
    {QStringLiteral("import"), {}},
};

std::optional<Args> parse(const QStringList& argv, QString* problem) {
    Args a;
    a.command = argv.value(1).toLower();
    const auto known = CommandOptions.find(a.command);
    if (known == CommandOptions.end()) {
        *problem = QStringLiteral("Invalid syntax: unknown command %1.").arg(argv.value(1));
        return std::nullopt;
    }
    for (qsizetype i = 2; i < argv.size(); ++i) {
        const QString word = argv[i].toLower();
        if (known->second.contains(word)) {
            if (a.options.count(word)) {
                *problem = QStringLiteral("Invalid syntax: %1 is given twice.").arg(argv[i]);
                return std::nullopt;
            }
            a.options[word];
        } else if (known->second.contains(word + QLatin1Char(':'))) {
            if (a.options.count(word) || i + 1 >= argv.size()) {
                *problem = QStringLiteral("Invalid syntax: %1 needs its data, once.").arg(argv[i]);
                return std::nullopt;
            }
            a.options[word] = argv[++i];
        } else {
            a.words << argv[i]; // a file's name may begin with "/" too
        }
    }
    return a;
}

QString dataText(const platform::RegValue& v) {
    switch (v.type) {
    case platform::REG_SZ:
    case platform::REG_EXPAND_SZ:
        return values::Text(v.data);
    case platform::REG_MULTI_SZ:
        return values::Strings(v.data).join(QStringLiteral("\\0"));
    case platform::REG_DWORD:
        if (v.data.size() == 4) return QStringLiteral("0x%1").arg(*values::DwordOf(v.data), 0, 16);
        break;
    case platform::REG_QWORD:
        if (v.data.size() == 8) return QStringLiteral("0x%1").arg(*values::QwordOf(v.data), 0, 16);
        break;
    }
    return QString::fromLatin1(v.data.toHex().toUpper());
}

void printValue(const QString& name, const platform::RegValue& v) {
    out << "    " << (name.isEmpty() ? QStringLiteral("(Default)") : name) << "    "
        << values::TypeName(v.type) << "    " << dataText(v) << Qt::endl;
}

// ---- query ------------------------------------------------------------------------------

struct Search {
    QString pattern;
    bool keys = true, names = true, data = true, caseMatters = false, exact = false;
    bool matches(const QString& text) const {
        const auto cs = caseMatters ? Qt::CaseSensitive : Qt::CaseInsensitive;
        return exact ? text.compare(pattern, cs) == 0 : text.contains(pattern, cs);
    }
};

// A value's name as the key stores it (names ignore letter case).
QString storedName(TRegistry& reg, const QString& name) {
    QStringList names;
    reg.GetValueNames(names);
    for (const QString& n : names)
        if (n.compare(name, Qt::CaseInsensitive) == 0) return n;
    return name;
}

class Query {
public:
    Query(const Args& a) : args_(a) {
        if (a.has("/f")) {
            search_ = Search{a["/f"]};
            if (a.has("/k") || a.has("/d")) {
                search_->keys = a.has("/k");
                search_->data = a.has("/d");
                search_->names = false;
            }
            search_->caseMatters = a.has("/c");
            search_->exact = a.has("/e");
        }
    }

    int run(const QStringList& parts) {
        TRegistry reg;
        if (!reg.OpenKey(path(parts), false)) return fail(NotFound);
        const bool one = args_.has("/v") || args_.has("/ve");
        if (!one && !search_ && !args_.has("/s")) {
            // The key's values, then the names of the keys below it.
            out << Qt::endl << values::KeyName(parts) << Qt::endl;
            QStringList names;
            reg.GetValueNames(names);
            for (const QString& name : names)
                if (const auto v = reg.ReadValue(name)) printValue(name, *v);
            reg.GetKeyNames(names);
            if (!names.isEmpty()) out << Qt::endl;
            for (const QString& sub : names)
                out << values::KeyName(parts + QStringList{sub}) << Qt::endl;
            return 0;
        }
        if (one && !search_ && !args_.has("/s")) {
            const QString name = storedName(reg, args_["/v"]);
            const auto v = reg.ReadValue(name);
            if (!v && !name.isEmpty()) return fail(NotFound);
            out << Qt::endl << values::KeyName(parts) << Qt::endl;
            if (v)
                printValue(name, *v);
            else
                out << "    (Default)    REG_SZ    (value not set)" << Qt::endl;
            out << Qt::endl;
            return 0;
        }
        walk(parts, true);
        if (search_ || one) {
            out << Qt::endl << "End of search: " << found_ << " match(es) found." << Qt::endl;
            if (found_ == 0 && one) return 1;
        }
        return 0;
    }

private:
    static QString path(const QStringList& parts) {
        return QLatin1Char('\\') + parts.join(QLatin1Char('\\'));
    }

    // One key: its values (those asked for), then the keys below it with /s.
    void walk(const QStringList& parts, bool top) {
        TRegistry reg;
        if (!reg.OpenKey(path(parts), false)) return;
        const bool one = args_.has("/v") || args_.has("/ve");
        QStringList names;
        if (one)
            names << storedName(reg, args_["/v"]);
        else
            reg.GetValueNames(names);
        std::vector<std::pair<QString, platform::RegValue>> shown;
        for (const QString& name : names) {
            const auto v = reg.ReadValue(name);
            if (!v) continue;
            if (search_ && !((search_->names && search_->matches(name)) ||
                             (search_->data && search_->matches(dataText(*v)))))
                continue;
            shown.emplace_back(name, *v);
        }
        const bool keyMatch =
            search_ && search_->keys && !parts.isEmpty() && !top && search_->matches(parts.last());
        const bool filtered = search_ || one;
        if (!filtered || keyMatch || !shown.empty()) {
            out << Qt::endl << values::KeyName(parts) << Qt::endl;
            for (const auto& [name, v] : shown)
                printValue(name, v);
            found_ += int(shown.size()) + (keyMatch ? 1 : 0);
        }
        if (!top && !args_.has("/s")) return;
        QStringList subs;
        reg.GetKeyNames(subs);
        for (const QString& sub : subs)
            walk(parts + QStringList{sub}, false);
    }

    const Args& args_;
    std::optional<Search> search_;
    int found_ = 0;
};

// ---- add, delete ------------------------------------------------------------------------

std::optional<platform::RegValue> valueOf(const Args& a, QString* problem) {
    const QString typeName = a.has("/t") ? a["/t"] : QStringLiteral("REG_SZ");
    const auto type = values::TypeOf(typeName);
    if (!type) {
        *problem = QStringLiteral("Invalid syntax: unknown type %1.").arg(typeName);
        return std::nullopt;
    }
    const QString data = a["/d"];
    auto number = [&](quint64 max) -> std::optional<quint64> {
        if (data.isEmpty() && !a.has("/d")) return 0; // no data: zero
        bool ok = false;
        const quint64 n = data.startsWith(QLatin1String("0x"), Qt::CaseInsensitive)
                              ? data.mid(2).toULongLong(&ok, 16)
                              : data.toULongLong(&ok, 10);
        if (!ok || n > max) {
            *problem = QStringLiteral("Invalid syntax: %1 is not a %2 number.")
                           .arg(data, typeName.toUpper());
            return std::nullopt;
        }
        return n;
    };
    switch (*type) {
    case platform::REG_SZ:
    case platform::REG_EXPAND_SZ:
        return values::String(data, *type);
    case platform::REG_MULTI_SZ: {
        const QString separator = a.has("/s") ? a["/s"] : QStringLiteral("\\0");
        if (separator.isEmpty()) {
            *problem = QStringLiteral("Invalid syntax: /s needs a separator.");
            return std::nullopt;
        }
        return values::MultiString(data.isEmpty() ? QStringList{} : data.split(separator));
    }
    case platform::REG_DWORD:
        if (const auto n = number(0xFFFFFFFFull)) return values::Dword(quint32(*n));
        return std::nullopt;
    case platform::REG_QWORD:
        if (const auto n = number(~quint64(0))) return values::Qword(*n);
        return std::nullopt;
    default: {
        const QByteArray bytes = QByteArray::fromHex(data.toLatin1());
        if (data.size() % 2 || bytes.toHex() != data.toLatin1().toLower()) {
            *problem = QStringLiteral("Invalid syntax: %1 is not hexadecimal data.").arg(data);
            return std::nullopt;
        }
        return platform::RegValue{*type, bytes};
    }
    }
}

int add(const Args& a, const QStringList& parts) {
    if (a.has("/v") && a.has("/ve")) return syntax();
    if ((a.has("/d") || a.has("/t") || a.has("/s")) && !a.has("/v") && !a.has("/ve"))
        return syntax(QStringLiteral("Invalid syntax: /t, /s and /d need /v or /ve."));
    std::optional<platform::RegValue> value;
    if (a.has("/v") || a.has("/ve")) {
        QString problem;
        value = valueOf(a, &problem);
        if (!value) return syntax(problem);
    }
    const QString name = a["/v"];
    platform::HiveTransaction tx(platform::Hive::instance());
    TRegistry reg;
    // The store refuses what the registry refuses (names over 255 characters, keys deeper
    // than 512 levels), in the registry's words.
    if (!reg.OpenKey(QLatin1Char('\\') + parts.join(QLatin1Char('\\')), true))
        return fail(
            reg.LastErrorMsg().isEmpty()
                ? QStringLiteral("The key %1 could not be created.").arg(values::KeyName(parts))
                : reg.LastErrorMsg());
    if (value) {
        if (!a.has("/f") && reg.ValueExists(name))
            return fail(QStringLiteral("The value %1 exists; add /f to overwrite it.")
                            .arg(name.isEmpty() ? QStringLiteral("(Default)") : name));
        reg.WriteValue(name, *value);
    }
    tx.commit();
    return succeeded();
}

int remove(const Args& a, const QStringList& parts) {
    if (int(a.has("/v")) + int(a.has("/ve")) + int(a.has("/va")) > 1) return syntax();
    if (!a.has("/f")) return fail(QStringLiteral("Add /f to delete without being asked."));
    const QString key = QLatin1Char('\\') + parts.join(QLatin1Char('\\'));
    TRegistry reg;
    if (a.has("/va")) {
        if (!reg.OpenKey(key, false)) return fail(NotFound);
        QStringList names;
        reg.GetValueNames(names);
        platform::HiveTransaction tx(platform::Hive::instance());
        for (const QString& name : names)
            reg.DeleteValue(name);
        tx.commit();
    } else if (a.has("/v") || a.has("/ve")) {
        if (!reg.OpenKey(key, false) || !reg.DeleteValue(a["/v"])) return fail(NotFound);
    } else {
        if (parts.isEmpty()) return syntax(QStringLiteral("Invalid key name."));
        if (!reg.DeleteKey(key)) return fail(NotFound);
    }
    return succeeded();
}

// ---- export, import -----------------------------------------------------------------------

int exportFile(const Args& a) {
    // kelvaro-reg export FILE alone saves Kelvaro's own key.
    QStringList words = a.words;
    if (words.size() == 1 && !values::KeyNameParts(words[0]))
        words.prepend(QStringLiteral("HKCU") + ProgramKey);
    if (words.size() != 2)
        return syntax(QStringLiteral("Invalid syntax: export needs KEY and FILE."));
    const auto parts = values::KeyNameParts(words[0]);
    if (!parts) return syntax(QStringLiteral("Invalid key name."));
    const QString file = words[1];
    QString text;
    {
        // The whole key read in one look at the store, not one per value.
        const platform::HiveReading reading(platform::Hive::instance());
        text = ExportRegFile(platform::Hive::instance(),
                             QLatin1Char('\\') + parts->join(QLatin1Char('\\')));
    }
    if (file == QLatin1String("-")) {
        out << text;
        out.flush();
        return 0;
    }
    if (QFileInfo::exists(file) && !a.has("/y"))
        return fail(QStringLiteral("The file %1 exists; add /y to replace it.").arg(file));
    QSaveFile f(file);
    if (!f.open(QIODevice::WriteOnly) || f.write(text.toUtf8()) < 0 || !f.commit())
        return fail(QStringLiteral("%1: %2").arg(file, f.errorString()));
    return succeeded();
}

int importFile(const Args& a) {
    if (a.words.size() != 1) return syntax(QStringLiteral("Invalid syntax: import needs FILE."));
    const QString file = a.words[0];
    QFile f;
    const bool opened = file == QLatin1String("-")
                            ? f.open(stdin, QIODevice::ReadOnly)
                            : (f.setFileName(file), f.open(QIODevice::ReadOnly));
    if (!opened) return fail(QStringLiteral("%1: %2").arg(file, f.errorString()));
    // Read in pieces up to the bound: a device or pipe that never ends (/dev/zero) is refused
    // rather than read until memory runs out.
    QByteArray bytes;
    for (;;) {
        const QByteArray piece = f.read(1 << 20);
        if (piece.isEmpty()) break;
        bytes += piece;
        if (bytes.size() > MaxRegFileBytes)
            return fail(QStringLiteral("%1: the file is larger than %2 MB; nothing was changed")
                            .arg(file)
                            .arg(MaxRegFileBytes >> 20));
    }
    if (f.error() != QFileDevice::NoError)
        return fail(QStringLiteral("%1: %2").arg(file, f.errorString()));
    try {
        ImportRegFile(platform::Hive::instance(), DecodeRegFile(bytes));
    } catch (const RegFileError& e) {
        return fail(
            QStringLiteral("%1: %2 (nothing was changed)").arg(file, QString::fromUtf8(e.what())));
    }
    return succeeded();
}

bool openStore() {
    try {
        // What bringing an older store up to date changed is said once, by whoever opens it.
        // A command line may wait for the program's own write to finish; it is the window that
        // must give up after a second, so its user is never left with a frozen screen.
        platform::Hive::instance().setBusyWait(10000);
        for (const QString& notice : platform::Hive::instance().notices())
            err << notice << Qt::endl;
        return true;
    } catch (const platform::HiveError& e) {
        fail(QStringLiteral("can't use the settings file %1: %2")
                 .arg(platform::Hive::defaultPath(), QString::fromUtf8(e.what())));
        return false;
    }
}

int run(const QStringList& argv) {
    const QString first = argv.value(1).toLower();
    const QStringList help{"/?", "-?", "-h", "--help", "help"};
    if (argv.size() < 2 || help.contains(first) ||
        (argv.size() == 3 && help.contains(argv[2].toLower()))) {
        out << Usage;
        return 0;
    }
    QString problem;
    const auto args = parse(argv, &problem);
    if (!args) return syntax(problem);
    if (args->command == QLatin1String("export") || args->command == QLatin1String("import")) {
        if (!openStore()) return 1;
        return args->command == QLatin1String("export") ? exportFile(*args) : importFile(*args);
    }
    if (args->words.size() != 1)
        return syntax(QStringLiteral("Invalid syntax: %1 needs one KEY.").arg(first));
    const auto parts = values::KeyNameParts(args->words[0]);
    if (!parts) return syntax(QStringLiteral("Invalid key name."));
    if (!openStore()) return 1;
    if (args->command == QLatin1String("query")) {
        // However many keys it walks, one look at the store.
        const platform::HiveReading reading(platform::Hive::instance());
        return Query(*args).run(*parts);
    }
    if (args->command == QLatin1String("add")) return add(*args, *parts);
    return remove(*args, *parts);
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    try {
        return run(app.arguments());
    } catch (const std::exception& e) {
        return fail(QString::fromUtf8(e.what()));
    }
}
