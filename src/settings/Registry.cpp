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

} // namespace

TRegistry::TRegistry() : TRegistry(platform::Hive::instance()) {}

TRegistry::TRegistry(platform::Hive& hive) : hive_(hive) {}

TRegistry::~TRegistry() {
    CloseKey();
}

std::optional<platform::KeyId> TRegistry::resolve(const QString& path, bool create,
                                                  QString* resolved) {
    const bool absolute = path.startsWith(QLatin1Char('\\'));
    platform::KeyId key = hive_.root();
    QString full;
    if (!absolute && current_) {
        key = *current_;
        full = currentPath_;
    }
    for (const QString& part : splitPath(path)) {
        auto next = create ? hive_.createKey(key, part) : hive_.findKey(key, part);
        if (!next) return std::nullopt;
        key = *next;
        full += QLatin1Char('\\') + part;
    }
    if (resolved) *resolved = full;
    return key;
}

bool TRegistry::OpenKey(const QString& path, bool canCreate) {
    QString full;
    std::optional<platform::KeyId> key;
    try {
        key = resolve(path, canCreate, &full);
        // The log-on start list always exists, as the system's Run key does.
        if (!key && targetPath(path).compare(RunKey, Qt::CaseInsensitive) == 0)
            key = resolve(path, true, &full);
    } catch (const platform::HiveError&) {
        return false;
    }
    if (!key) return false;
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
}

bool TRegistry::KeyExists(const QString& path) {
    try {
        return resolve(path, false, nullptr).has_value();
    } catch (const platform::HiveError&) {
        return false;
    }
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
    if (!current_) return std::nullopt;
    try {
        return hive_.value(*current_, name);
    } catch (const platform::HiveError&) {
        return std::nullopt;
    }
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
    bool ok = false;
    try {
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
    try {
        const auto key = resolve(path, false, nullptr);
        return key && hive_.deleteKey(*key);
    } catch (const platform::HiveError&) {
        return false;
    }
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
    if (!current_) return;
    try {
        names = hive_.valueNames(*current_);
    } catch (const platform::HiveError&) {
    }
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
