#include "settings/Registry.h"

#include "platform/process/Autostart.h"
#include "settings/Values.h"

const QString ProgramKey = QStringLiteral("\\Software\\Orvendale Software\\Kelvaro");
const QString ProfilesKey = ProgramKey + QStringLiteral("\\Profiles");
const QString NoticesKey = ProgramKey + QStringLiteral("\\Notices");
const QString RunKey = QStringLiteral("\\Software\\Microsoft\\Windows\\CurrentVersion\\Run");
const QString RunValueName = QStringLiteral("Kelvaro");

namespace {

[[noreturn]] void raise(const char* format, const QString& name) {
    throw ERegistryException(QString::fromLatin1(format).arg(name).toStdString());
}

QStringList splitPath(const QString& path) {
    return path.split(QLatin1Char('\\'), Qt::SkipEmptyParts);
}

// Runs a store access; a store that can't be read or written is an error with the store's
// words (in use by another program, read-only, damaged), never "not there".
template <typename F> auto guarded(F&& f) -> decltype(f()) {
    try {
        return f();
    } catch (const platform::HiveError& e) {
        throw ERegistryException(e.what());
    }
}

} // namespace

TRegistry::TRegistry() : TRegistry(platform::Hive::instance()) {}

TRegistry::TRegistry(platform::Hive& hive) : hive_(hive) {}

TRegistry::~TRegistry() {
    CloseKey();
}

std::optional<platform::KeyId> TRegistry::resolve(const QString& path, bool create,
                                                  QString* resolved) {
    return guarded([&]() -> std::optional<platform::KeyId> {
        const bool absolute = path.startsWith(QLatin1Char('\\'));
        // Below a Run key that is not in the store yet: from the root, by its full path.
        if (!absolute && runKeyOnly_)
            return resolve(currentPath_ + QLatin1Char('\\') + path, create, resolved);
        platform::KeyId from = hive_.root();
        QString full;
        if (!absolute) {
            if (const auto open = currentKey()) {
                from = *open;
                full = currentPath_;
            }
        }
        const QStringList parts = splitPath(path);
        auto key = values::WalkKeyPath(hive_, from, parts, false);
        if (!key && create) {
            // The keys a path lacks are made together or not at all.
            try {
                platform::HiveTransaction tx(hive_);
                key = values::WalkKeyPath(hive_, from, parts, true);
                if (!key) return std::nullopt;
                tx.commit();
            } catch (const platform::HiveError& e) {
                lastErrorMsg_ = QString::fromUtf8(e.what());
                return std::nullopt;
            }
        }
        if (key && resolved) {
            for (const QString& part : parts)
                full += QLatin1Char('\\') + part;
            *resolved = full;
        }
        return key;
    });
}

std::optional<platform::KeyId> TRegistry::currentKey() {
    if (current_ && generation_ != hive_.generation()) {
        // The ids of the file we had open name nothing in this one.
        const QString path = currentPath_;
        current_.reset();
        generation_ = hive_.generation();
        current_ = resolve(path.isEmpty() ? QStringLiteral("\\") : path, false, nullptr);
        if (!current_) currentPath_.clear();
    }
    return current_;
}

bool TRegistry::OpenKey(const QString& path, bool canCreate) {
    QString full;
    lastErrorMsg_.clear();
    const auto key = resolve(path, canCreate, &full);
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
    generation_ = hive_.generation();
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
    return resolve(path, false, nullptr).has_value();
}

QString TRegistry::StoredName(const QString& path) {
    const auto key = resolve(path, false, nullptr);
    return key ? hive_.keyName(*key).value_or(QString()) : QString();
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
    return guarded([&]() -> std::optional<platform::RegValue> {
        const auto key = currentKey();
        if (!key) return std::nullopt;
        return hive_.value(*key, name);
    });
}

void TRegistry::WriteValue(const QString& name, const platform::RegValue& value) {
    if (isRunValue(name)) {
        if (value.type != platform::REG_SZ && value.type != platform::REG_EXPAND_SZ)
            raise("Failed to set data for '%1'", name);
        if (!platform::autostart::write(values::Text(value.data)))
            raise("Failed to set data for '%1'", name);
        return;
    }
    if (!current_ && runKeyOnly_) {
        current_ = resolve(currentPath_, true, nullptr);
        generation_ = hive_.generation();
    }
    const bool ok = guarded([&] {
        const auto key = currentKey();
        return key && hive_.setValue(*key, name, value);
    });
    if (!ok) raise("Failed to set data for '%1'", name);
}

bool TRegistry::ValueExists(const QString& name) {
    return ReadValue(name).has_value();
}

bool TRegistry::DeleteKey(const QString& path) {
    const auto key = resolve(path, false, nullptr);
    bool deleted = key && guarded([&] { return hive_.deleteKey(*key); });
    // The Run key, or a key above it, takes the log-on start entry with it.
    const QString target = targetPath(path);
    if (!target.isEmpty() && (RunKey.compare(target, Qt::CaseInsensitive) == 0 ||
                              RunKey.startsWith(target + QLatin1Char('\\'), Qt::CaseInsensitive)))
        deleted = platform::autostart::remove() || deleted;
    return deleted;
}

bool TRegistry::DeleteValue(const QString& name) {
    if (isRunValue(name)) return platform::autostart::remove();
    return guarded([&] {
        const auto key = currentKey();
        return key && hive_.deleteValue(*key, name);
    });
}

void TRegistry::GetKeyNames(QStringList& names) {
    names.clear();
    guarded([&] {
        if (const auto key = currentKey()) names = hive_.subKeyNames(*key);
    });
}

void TRegistry::GetValueNames(QStringList& names) {
    names.clear();
    guarded([&] {
        if (const auto key = currentKey()) names = hive_.valueNames(*key);
    });
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

std::optional<bool> TRegistry::ReadBoolIfAny(const QString& name) {
    try {
        return ReadBool(name);
    } catch (const ERegistryException&) {
        return std::nullopt;
    }
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
