// platform/store — the per-user settings file, for the registry wrapper and kelvaro-reg.
//
// The per-user store that stands in for the registry hive: a tree of keys with typed values,
// kept in one SQLite file. Key and value names compare case-insensitively over all of Unicode
// (by their case-folded form).
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <functional>
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

// The store can't be opened, read or written: not SQLite, damaged, newer, unreadable, in use by
// another program, read-only. The text says which, in words for the user.
class HiveError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A key the registry would not create either: a name over MaxKeyName characters, or a key
// deeper than MaxKeyDepth levels below the root. The text is the registry's own.
class HiveRefused : public HiveError {
public:
    using HiveError::HiveError;
};

using KeyId = std::int64_t;

class Hive {
public:
    static constexpr int MaxKeyName = 255;
    static constexpr int MaxKeyDepth = 512;

    // Opens (creating when absent) the store at path. Throws HiveError when a file exists
    // there that is not a usable store; such a file is never modified. A read-only file or
    // folder opens for reading; writes to it then fail with HiveError.
    explicit Hive(const QString& path);
    ~Hive();
    Hive(const Hive&) = delete;
    Hive& operator=(const Hive&) = delete;

    const QString& path() const { return path_; }
    KeyId root() const { return root_; }
    // Counts the times the file was found replaced under the program and opened again: key ids
    // taken before a change of generation name nothing.
    int generation() const {
        settle();
        return generation_;
    }
    // Changes as soon as another program has written to the store, or the file was replaced;
    // our own writes leave it as it is.
    std::int64_t othersWrites() const;
    // What opening the store had to tell the user (names that fold together since an upgrade).
    const QStringList& notices() const { return notices_; }

    std::optional<KeyId> findKey(KeyId parent, const QString& name) const;
    // Returns the existing key or a new one; nullopt when the parent is gone. Throws
    // HiveRefused for a name or depth the registry refuses, HiveError when it can't be written.
    std::optional<KeyId> createKey(KeyId parent, const QString& name);
    bool keyExists(KeyId key) const;
    // The key's name as stored (the case it was created with); nullopt when it is gone.
    std::optional<QString> keyName(KeyId key) const;
    // Sub-key names in enumeration order (case-insensitive name order).
    QStringList subKeyNames(KeyId key) const;
    // Deletes the key with everything below it, however deep; false when it doesn't exist.
    bool deleteKey(KeyId key);

    std::optional<RegValue> value(KeyId key, const QString& name) const;
    QStringList valueNames(KeyId key) const;
    bool setValue(KeyId key, const QString& name, const RegValue& value);
    bool deleteValue(KeyId key, const QString& name);

    // One write transaction; nested calls join the outer one. Whatever failed before, the
    // next outermost begin starts a transaction of its own or throws.
    void begin();
    void commit();
    void rollback();

    // A run of reads in one read transaction: one lock and one look at the file for all of
    // them instead of one per read. Nothing is written meanwhile by us; a write (or begin)
    // ends it early.
    void beginReading();
    void endReading();

    // Hands a change (a few writes) to a thread of the store's own and returns at once, so a
    // run of changes never waits for the disk. Changes are written in the order given, each in
    // a transaction of its own; one still waiting is replaced by a later one of the same key
    // (only the newest value counts). Every other use of the store first waits until all that
    // was handed over is written, so it always sees it. What a change throws reaches failed,
    // on the thread that handed it over, through its event loop. Inside a transaction or a run
    // of reads the change is made at once, as a plain call would make it.
    void writeBehind(const QString& key, std::function<void()> change,
                     std::function<void(const std::string& why)> failed);
    // Waits until every change handed over is written (at once on the store's own thread).
    void settle() const;
    // The same for the store in use, where one is open (none is opened for it).
    static void settleInstance();

    // How long an access waits for another program's lock before it gives up (default 1 s).
    void setBusyWait(int milliseconds) { busyWaitMs_ = milliseconds; }

    // The name as stored for comparison: case-folded.
    static QString fold(const QString& name) { return name.toCaseFolded(); }

    // The store used by the program: ${XDG_CONFIG_HOME:-$HOME/.config}/kelvaro/registry.db.
    static QString defaultPath();
    static Hive& instance();
    // Tests and tools point the program at another store (or none, to reopen the default).
    static void setInstance(std::unique_ptr<Hive> hive);

private:
    void open();
    void close();
    void exec(const char* sql, bool write = true);
    [[noreturn]] void fail(bool write) const;
    void createSchema();
    void upgradeNames();
    void tidyModes() const;
    // Ends a run of reads before a write.
    void stopReading();
    // Notices a store file replaced under the program and opens the new one.
    void sync() const;
    void reopen();
    static int onBusy(void* self, int count);

    QString path_;
    sqlite3* db_ = nullptr;
    KeyId root_ = 0;
    int depth_ = 0;
    bool failed_ = false;
    int readers_ = 0;
    bool reading_ = false; // the read transaction of beginReading is open
    int busyWaitMs_ = 1000;
    std::int64_t busySince_ = 0;
    int generation_ = 0;
    QStringList notices_;
    struct FileId {
        std::uint64_t dev = 0, ino = 0;
        std::int64_t mtime = 0, size = -1;
        bool operator==(const FileId&) const = default;
    };
    mutable FileId file_;
    mutable int schema_ = 0;
    struct Behind;
    std::unique_ptr<Behind> behind_;
};

// Reads in one read transaction for as long as it lives.
class HiveReading {
public:
    explicit HiveReading(Hive& hive) : hive_(hive) { hive_.beginReading(); }
    ~HiveReading() { hive_.endReading(); }
    HiveReading(const HiveReading&) = delete;
    HiveReading& operator=(const HiveReading&) = delete;

private:
    Hive& hive_;
};

// Commits on success, rolls back when an exception leaves the scope.
class HiveTransaction {
public:
    explicit HiveTransaction(Hive& hive) : hive_(hive) { hive_.begin(); }
    ~HiveTransaction() {
        if (!done_) hive_.rollback();
    }
    void commit() {
        done_ = true; // a failed commit has rolled back already
        hive_.commit();
    }
    HiveTransaction(const HiveTransaction&) = delete;
    HiveTransaction& operator=(const HiveTransaction&) = delete;

private:
    Hive& hive_;
    bool done_ = false;
};

} // namespace platform
