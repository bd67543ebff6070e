#include "settings/Registry.h"

#include "platform/Autostart.h"
#include "settings/Values.h"

const QString ProgramKey = QStringLiteral("\\Software\\Orvendale Software\\Kelvaro");
const QString ProfilesKey = ProgramKey + QStringLiteral("\\Profiles");
const QString RunKey = QStringLiteral("\\Software\\Microsoft\\Windows\\CurrentVersion\\Run");
const QString RunValueName = QStringLiteral("Kelvaro");

namespace {

[[noreturn]] void raise(const char* format, const QString& name) {
    throw ERegistryException(QString::fromLatin1(format).arg(name).toStdString());
}

QStringList splitPath(const QString& path) {
    return path.split(QLatin1Char('\\'), Qt::SkipEmptyParts);
}

} // namespace

TRegistry::TRegistry() : TRegistry(platform::Hive::instance()) {}

TRegistry::TRegistry(platform::Hive& hive) : hive_(hive) {}

TRegistry::~TRegistry() {
    CloseKey();
}

std::optional<platform::KeyId> TRegistry::resolve(const QString& path, bool create,
                                                  QString* resolved) {
    const bool absolute = path.startsWith(QLatin1Char('\\'));
    // Below a Run key that is not in the store yet: from the root, by its full path.
    if (!absolute && runKeyOnly_)
        return resolve(currentPath_ + QLatin1Char('\\') + path, create, resolved);
    platform::KeyId from = hive_.root();
    QString full;
    if (!absolute && current_) {
        from = *current_;
        full = currentPath_;
    }
    const QStringList parts = splitPath(path);
    const auto key = values::WalkKeyPath(hive_, from, parts, create);
    if (key && resolved)
        *resolved =
            parts.isEmpty() ? full : full + QLatin1Char('\\') + parts.join(QLatin1Char('\\'));
    return key;
}

bool TRegistry::OpenKey(const QString& path, bool canCreate) {
    QString full;
    std::optional<platform::KeyId> key;
    try {
        key = resolve(path, canCreate, &full);
    } catch (const platform::HiveError&) {
        return false;
    }
    if (!key) {
        // The log-on start list always exists, as the system's Run key does; opening it
        // makes nothing in the store (that waits for a value other than the program's own).
        const QString target = targetPath(path);
        if (target.compare(RunKey, Qt::CaseInsensitive) != 0) return false;
        CloseKey();
        currentPath_ = target;
        runKeyOnly_ = true;
        return true;
    }
    CloseKey();
    current_ = key;
    currentPath_ = full;
    return true;
}

QString TRegistry::targetPath(const QString& path) const {
    QString full = path.startsWith(QLatin1Char('\\')) ? QString() : currentPath_;
    for (const QString& part : splitPath(path))
        full += QLatin1Char('\\') + part;
    return full;
}

void TRegistry::CloseKey() {
    current_.reset();
    currentPath_.clear();
    runKeyOnly_ = false;
}

bool TRegistry::KeyExists(const QString& path) {
    try {
        return resolve(path, false, nullptr).has_value();
    } catch (const platform::HiveError&) {
        return false;
    }
}

bool TRegistry::isRunValue(const QString& name) const {
    return (current_ || runKeyOnly_) && currentPath_.compare(RunKey, Qt::CaseInsensitive) == 0 &&
           name.compare(RunValueName, Qt::CaseInsensitive) == 0;
}

std::optional<platform::RegValue> TRegistry::ReadValue(const QString& name) {
    if (isRunValue(name)) {
        const auto program = platform::autostart::read();
        if (!program) return std::nullopt;
        return values::String(*program);
    }
    if (!current_) return std::nullopt;
    try {
        return hive_.value(*current_, name);
    } catch (const platform::HiveError&) {
        return std::nullopt;
    }
}

void TRegistry::WriteValue(const QString& name, const platform::RegValue& value) {
    if (isRunValue(name)) {
        if (value.type != platform::REG_SZ && value.type != platform::REG_EXPAND_SZ)
            raise("Failed to set data for '%1'", name);
        if (!platform::autostart::write(values::Text(value.data)))
            raise("Failed to set data for '%1'", name);
        return;
    }
    bool ok = false;
    try {
        if (!current_ && runKeyOnly_) current_ = resolve(currentPath_, true, nullptr);
        ok = current_ && hive_.setValue(*current_, name, value);
    } catch (const platform::HiveError&) {
        ok = false;
    }
    if (!ok) raise("Failed to set data for '%1'", name);
}

bool TRegistry::ValueExists(const QString& name) {
    return ReadValue(name).has_value();
}

bool TRegistry::DeleteKey(const QString& path) {
    bool deleted = false;
    try {
        const auto key = resolve(path, false, nullptr);
        deleted = key && hive_.deleteKey(*key);
    } catch (const platform::HiveError&) {
        return false;
    }
    // The Run key, or a key above it, takes the log-on start entry with it.
    const QString target = targetPath(path);
    if (!target.isEmpty() && (RunKey.compare(target, Qt::CaseInsensitive) == 0 ||
                              RunKey.startsWith(target + QLatin1Char('\\'), Qt::CaseInsensitive)))
        deleted = platform::autostart::remove() || deleted;
    return deleted;
}

bool TRegistry::DeleteValue(const QString& name) {
    if (isRunValue(name)) return platform::autostart::remove();
    try {
        return current_ && hive_.deleteValue(*current_, name);
    } catch (const platform::HiveError&) {
        return false;
    }
}

void TRegistry::GetKeyNames(QStringList& names) {
    names.clear();
    if (!current_) return;
    try {
        names = hive_.subKeyNames(*current_);
    } catch (const platform::HiveError&) {
    }
}

void TRegistry::GetValueNames(QStringList& names) {
    names.clear();
    if (current_) {
        try {
            names = hive_.valueNames(*current_);
        } catch (const platform::HiveError&) {
        }
    }
    if (isRunValue(RunValueName)) {
        // The program's own entry is the autostart file, whatever the store holds.
        names.removeIf(
            [](const QString& n) { return n.compare(RunValueName, Qt::CaseInsensitive) == 0; });
        if (platform::autostart::exists()) names << RunValueName;
    }
}

QString TRegistry::ReadString(const QString& name) {
    const auto v = ReadValue(name);
    if (!v || v->data.isEmpty()) return QString();
    if (v->type != platform::REG_SZ && v->type != platform::REG_EXPAND_SZ)
        raise("Invalid data type for '%1'", name);
    return values::Text(v->data);
}

int TRegistry::ReadInteger(const QString& name) {
    const auto v = ReadValue(name);
    const auto number = v ? values::DwordOf(v->data) : std::nullopt;
    if (!number) raise("Failed to get data for '%1'", name);
    if (v->type != platform::REG_DWORD) raise("Invalid data type for '%1'", name);
    return static_cast<int>(*number);
}

bool TRegistry::ReadBool(const QString& name) {
    return ReadInteger(name) != 0;
}

void TRegistry::WriteString(const QString& name, const QString& value) {
    WriteValue(name, values::String(value));
}

void TRegistry::WriteInteger(const QString& name, int value) {
    WriteValue(name, values::Dword(static_cast<quint32>(value)));
}

void TRegistry::WriteBool(const QString& name, bool value) {
    WriteInteger(name, value ? 1 : 0);
}
