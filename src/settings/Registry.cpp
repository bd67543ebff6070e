#include "settings/Registry.h"

#include "platform/Autostart.h"

#include <QtEndian>

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
        platform::KeyId key = hive_.root();
        QString full;
        if (!absolute) {
            if (const auto open = currentKey()) {
                key = *open;
                full = currentPath_;
            }
        }
        // The keys a path lacks are made together or not at all.
        std::optional<platform::HiveTransaction> tx;
        for (const QString& part : splitPath(path)) {
            auto next = hive_.findKey(key, part);
            if (!next && create) {
                try {
                    if (!tx) tx.emplace(hive_);
                    next = hive_.createKey(key, part);
                } catch (const platform::HiveError& e) {
                    lastErrorMsg_ = QString::fromUtf8(e.what());
                    return std::nullopt;
                }
            }
            if (!next) return std::nullopt;
            key = *next;
            full += QLatin1Char('\\') + part;
        }
        if (tx) {
            try {
                tx->commit();
            } catch (const platform::HiveError& e) {
                lastErrorMsg_ = QString::fromUtf8(e.what());
                return std::nullopt;
            }
        }
        if (resolved) *resolved = full;
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
    auto key = resolve(path, canCreate, &full);
    // The log-on start list always exists, as the system's Run key does.
    if (!key && targetPath(path).compare(RunKey, Qt::CaseInsensitive) == 0)
        key = resolve(path, true, &full);
    if (!key) return false;
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
}

bool TRegistry::KeyExists(const QString& path) {
    return resolve(path, false, nullptr).has_value();
}

bool TRegistry::isRunValue(const QString& name) const {
    return current_ && currentPath_.compare(RunKey, Qt::CaseInsensitive) == 0 &&
           name.compare(RunValueName, Qt::CaseInsensitive) == 0;
}

std::optional<platform::RegValue> TRegistry::ReadValue(const QString& name) {
    if (isRunValue(name)) {
        const auto program = platform::autostart::read();
        if (!program) return std::nullopt;
        return platform::RegValue{platform::REG_SZ, program->toUtf8() + '\0'};
    }
    return guarded([&]() -> std::optional<platform::RegValue> {
        const auto key = currentKey();
        if (!key) return std::nullopt;
        return hive_.value(*key, name);
    });
}

void TRegistry::WriteValue(const QString& name, const platform::RegValue& value) {
    if (isRunValue(name)) {
        const QByteArray text = value.data.left(value.data.indexOf('\0'));
        if (value.type != platform::REG_SZ && value.type != platform::REG_EXPAND_SZ)
            raise("Failed to set data for '%1'", name);
        if (!platform::autostart::write(QString::fromUtf8(text)))
            raise("Failed to set data for '%1'", name);
        return;
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
    return key && guarded([&] { return hive_.deleteKey(*key); });
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
    if (!current_) return;
    guarded([&] {
        if (const auto key = currentKey()) names = hive_.valueNames(*key);
    });
    if (currentPath_.compare(RunKey, Qt::CaseInsensitive) == 0 && platform::autostart::exists())
        names << RunValueName;
}

QString TRegistry::ReadString(const QString& name) {
    const auto v = ReadValue(name);
    if (!v || v->data.isEmpty()) return QString();
    if (v->type != platform::REG_SZ && v->type != platform::REG_EXPAND_SZ)
        raise("Invalid data type for '%1'", name);
    const qsizetype end = v->data.indexOf('\0');
    return QString::fromUtf8(end < 0 ? v->data : v->data.left(end));
}

int TRegistry::ReadInteger(const QString& name) {
    const auto v = ReadValue(name);
    if (!v || v->data.size() > 4) raise("Failed to get data for '%1'", name);
    if (v->type != platform::REG_DWORD) raise("Invalid data type for '%1'", name);
    unsigned char bytes[4] = {0, 0, 0, 0};
    std::copy(v->data.begin(), v->data.end(), bytes);
    return static_cast<int>(qFromLittleEndian<quint32>(bytes));
}

bool TRegistry::ReadBool(const QString& name) {
    return ReadInteger(name) != 0;
}

void TRegistry::WriteString(const QString& name, const QString& value) {
    WriteValue(name, platform::RegValue{platform::REG_SZ, value.toUtf8() + '\0'});
}

void TRegistry::WriteInteger(const QString& name, int value) {
    QByteArray data(4, '\0');
    qToLittleEndian<quint32>(static_cast<quint32>(value), data.data());
    WriteValue(name, platform::RegValue{platform::REG_DWORD, data});
}

void TRegistry::WriteBool(const QString& name, bool value) {
    WriteInteger(name, value ? 1 : 0);
}
