// TRegistry: the registry wrapper the handlers use, with the toolkit's semantics: paths that
// begin with "\" are taken from HKEY_CURRENT_USER, failures to open return false, failures to
// read or write raise ERegistryException with the toolkit's messages.
#pragma once

#include "platform/store/Hive.h"

#include <QString>
#include <QStringList>
#include <optional>
#include <stdexcept>

class ERegistryException : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

constexpr unsigned KEY_ALL_ACCESS = 0xF003F;

// The program's keys under HKEY_CURRENT_USER.
extern const QString ProgramKey;
extern const QString ProfilesKey;
// What the program last told the user about a lasting situation: one value per topic, the
// words said (see platform::SessionNotice).
extern const QString NoticesKey;
extern const QString RunKey;
// The value under RunKey that the log-on start list stands for.
extern const QString RunValueName;

// The names of the values the program keeps.
namespace Values {
// Under ProgramKey: the options and the desktop gamma.
inline const QString Exit = QStringLiteral("Exit");
inline const QString Hotkeys = QStringLiteral("Hotkeys");
// 1: a launched profile's gamma only on the monitors where its program is in front.
inline const QString FollowFocus = QStringLiteral("FollowFocus");
inline const QString Desktop = QStringLiteral("Desktop");
// Under each profile's key below ProfilesKey.
inline const QString FileName = QStringLiteral("FileName");
inline const QString Args = QStringLiteral("Args");
inline const QString IconFile = QStringLiteral("IconFile");
inline const QString Gamma = QStringLiteral("Gamma");
} // namespace Values

class TRegistry {
public:
    TRegistry();
    explicit TRegistry(platform::Hive& hive);
    ~TRegistry();
    TRegistry(const TRegistry&) = delete;
    TRegistry& operator=(const TRegistry&) = delete;

    unsigned Access = KEY_ALL_ACCESS;

    bool OpenKey(const QString& path, bool canCreate);
    void CloseKey();
    bool KeyExists(const QString& path);
    // The key path names as the store keeps its name (in its own letter case); "" when there
    // is no such key.
    QString StoredName(const QString& path);
    bool ValueExists(const QString& name);
    bool DeleteKey(const QString& path);
    bool DeleteValue(const QString& name);
    void GetKeyNames(QStringList& names);
    void GetValueNames(QStringList& names);
    QString CurrentPath() const { return currentPath_; }
    // Why the last OpenKey with create returned false, in the registry's or the store's words.
    QString LastErrorMsg() const { return lastErrorMsg_; }
    bool HasCurrentKey() const { return current_.has_value(); }

    QString ReadString(const QString& name);
    int ReadInteger(const QString& name);
    bool ReadBool(const QString& name);
    // The value as ReadBool reads it; nullopt where that would raise (missing, another type).
    std::optional<bool> ReadBoolIfAny(const QString& name);
    void WriteString(const QString& name, const QString& value);
    void WriteInteger(const QString& name, int value);
    void WriteBool(const QString& name, bool value);

    // Raw typed access, for tools that copy whole keys.
    std::optional<platform::RegValue> ReadValue(const QString& name);
    void WriteValue(const QString& name, const platform::RegValue& value);

private:
    // Resolves path to a key id (creating it when asked); the resolved path in *resolved. A
    // key that can't be created is nullopt with the reason in lastErrorMsg_; a store that
    // can't be read throws ERegistryException.
    std::optional<platform::KeyId> resolve(const QString& path, bool create, QString* resolved);
    // The open key; looked up again by its path when the store file was opened anew.
    std::optional<platform::KeyId> currentKey();
    bool isRunValue(const QString& name) const;
    QString targetPath(const QString& path) const;

    platform::Hive& hive_;
    std::optional<platform::KeyId> current_;
    QString currentPath_;
    int generation_ = 0;
    QString lastErrorMsg_;
    // The Run key is open but not (yet) in the store.
    bool runKeyOnly_ = false;
};
