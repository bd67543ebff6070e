// The per-user store that stands in for the registry hive: a tree of keys with typed values,
// kept in one SQLite file. Key and value names compare case-insensitively.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>

struct sqlite3;

namespace platform {

enum RegType : int {
    REG_NONE = 0,
    REG_SZ = 1,
    REG_EXPAND_SZ = 2,
    REG_BINARY = 3,
    REG_DWORD = 4,
    REG_MULTI_SZ = 7,
    REG_QWORD = 11
};

struct RegValue {
    int type = REG_SZ;
    QByteArray data;
};

// The store can't be opened or used as the store: not SQLite, damaged, newer, unreadable.
class HiveError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

using KeyId = std::int64_t;

class Hive {
public:
    // Opens (creating when absent) the store at path. Throws HiveError when a file exists
    // there that is not a usable store; such a file is never modified.
    explicit Hive(const QString& path);
    ~Hive();
    Hive(const Hive&) = delete;
    Hive& operator=(const Hive&) = delete;

    const QString& path() const { return path_; }
    KeyId root() const { return root_; }

    std::optional<KeyId> findKey(KeyId parent, const QString& name) const;
    // Returns the existing key or a new one; nullopt when it can't be written.
    std::optional<KeyId> createKey(KeyId parent, const QString& name);
    bool keyExists(KeyId key) const;
    // Sub-key names in enumeration order (case-insensitive name order).
    QStringList subKeyNames(KeyId key) const;
    // Deletes the key with everything below it; false when it doesn't exist.
    bool deleteKey(KeyId key);

    std::optional<RegValue> value(KeyId key, const QString& name) const;
    QStringList valueNames(KeyId key) const;
    bool setValue(KeyId key, const QString& name, const RegValue& value);
    bool deleteValue(KeyId key, const QString& name);

    // One write transaction at a time (they don't nest).
    void begin();
    void commit();
    void rollback();

    // The store used by the program: ${XDG_CONFIG_HOME:-$HOME/.config}/kelvaro/registry.db.
    static QString defaultPath();
    static Hive& instance();
    // Tests and tools point the program at another store (or none, to reopen the default).
    static void setInstance(std::unique_ptr<Hive> hive);

private:
    void exec(const char* sql);
    void createSchema();
    QString path_;
    sqlite3* db_ = nullptr;
    KeyId root_ = 0;
};

// Commits on success, rolls back when an exception leaves the scope.
class HiveTransaction {
public:
    explicit HiveTransaction(Hive& hive) : hive_(hive) { hive_.begin(); }
    ~HiveTransaction() {
        if (!done_) hive_.rollback();
    }
    void commit() {
        hive_.commit();
        done_ = true;
    }
    HiveTransaction(const HiveTransaction&) = delete;
    HiveTransaction& operator=(const HiveTransaction&) = delete;

private:
    Hive& hive_;
    bool done_ = false;
};

} // namespace platform
