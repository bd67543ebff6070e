#include "platform/Hive.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <map>
#include <sqlite3.h>
#include <sys/stat.h>

namespace platform {

namespace {

constexpr int SchemaVersion = 1;

// Prepared statements, kept per connection and reused: preparing costs more than running
// most of these queries.
struct StmtCache {
    struct Entry {
        sqlite3_stmt* stmt = nullptr;
        bool busy = false;
    };
    std::map<std::pair<sqlite3*, const char*>, Entry> entries;
    void forget(sqlite3* db) {
        for (auto it = entries.begin(); it != entries.end();) {
            if (it->first.first == db) {
                sqlite3_finalize(it->second.stmt);
                it = entries.erase(it);
            } else {
                ++it;
            }
        }
    }
};

StmtCache& stmtCache() {
    // Never destroyed: stores may close during static destruction, after any cache would be.
    static StmtCache* cache = new StmtCache;
    return *cache;
}

// A statement for one use: taken from the cache (or prepared) and handed back reset.
class Stmt {
public:
    Stmt(sqlite3* db, const char* sql) : db_(db) {
        auto& entry = stmtCache().entries[{db, sql}];
        if (!entry.busy) {
            if (!entry.stmt && sqlite3_prepare_v3(db, sql, -1, SQLITE_PREPARE_PERSISTENT,
                                                  &entry.stmt, nullptr) != SQLITE_OK) {
                entry.stmt = nullptr;
                throw HiveError(std::string("the store rejected a query: ") + sqlite3_errmsg(db));
            }
            entry.busy = true;
            entry_ = &entry;
            stmt_ = entry.stmt;
        } else if (sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr) != SQLITE_OK) {
            throw HiveError(std::string("the store rejected a query: ") + sqlite3_errmsg(db));
        }
    }
    ~Stmt() {
        if (entry_) {
            sqlite3_reset(stmt_);
            sqlite3_clear_bindings(stmt_);
            entry_->busy = false;
        } else {
            sqlite3_finalize(stmt_);
        }
    }
    Stmt(const Stmt&) = delete;
    Stmt& operator=(const Stmt&) = delete;

    Stmt& bind(int i, KeyId v) {
        sqlite3_bind_int64(stmt_, i, v);
        return *this;
    }
    Stmt& bind(int i, const QString& s) {
        const QByteArray utf8 = s.toUtf8();
        sqlite3_bind_text(stmt_, i, utf8.constData(), static_cast<int>(utf8.size()),
                          SQLITE_TRANSIENT);
        return *this;
    }
    Stmt& bindBlob(int i, const QByteArray& b) {
        sqlite3_bind_blob(stmt_, i, b.constData(), static_cast<int>(b.size()), SQLITE_TRANSIENT);
        return *this;
    }
    // SQLITE_ROW, SQLITE_DONE or an error code.
    int step() { return sqlite3_step(stmt_); }
    bool row() {
        const int rc = step();
        if (rc == SQLITE_ROW) return true;
        if (rc != SQLITE_DONE)
            throw HiveError(std::string("the store could not be read: ") + sqlite3_errmsg(db_));
        return false;
    }
    bool done() { return step() == SQLITE_DONE; }
    KeyId integer(int col) const { return sqlite3_column_int64(stmt_, col); }
    QString text(int col) const {
        const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, col));
        return QString::fromUtf8(p, sqlite3_column_bytes(stmt_, col));
    }
    QByteArray blob(int col) const {
        const auto* p = static_cast<const char*>(sqlite3_column_blob(stmt_, col));
        return QByteArray(p, sqlite3_column_bytes(stmt_, col));
    }

private:
    sqlite3* db_;
    sqlite3_stmt* stmt_ = nullptr;
    StmtCache::Entry* entry_ = nullptr;
};

std::unique_ptr<Hive>& globalHive() {
    static std::unique_ptr<Hive> hive;
    return hive;
}

} // namespace

Hive::Hive(const QString& path) : path_(path) {
    // Pages are taken from the heap one at a time as the store needs them, not in one block
    // of twenty up front: the store is a few pages and the program stays resident all day.
    // Only possible before SQLite's first use; later calls are refused harmlessly.
    [[maybe_unused]] static const int pageCache =
        sqlite3_config(SQLITE_CONFIG_PAGECACHE, nullptr, 0, 0);
    const QFileInfo info(path);
    const bool existed = info.exists();
    if (!existed) {
        const QString dir = info.absolutePath();
        if (!QDir().mkpath(dir)) throw HiveError("cannot create the folder " + dir.toStdString());
        ::chmod(QFile::encodeName(dir).constData(), 0700);
    } else if (!info.isFile()) {
        throw HiveError("it is not a regular file");
    }
    const int flags =
        SQLITE_OPEN_READWRITE | (existed ? 0 : SQLITE_OPEN_CREATE) | SQLITE_OPEN_FULLMUTEX;
    const mode_t oldMask = ::umask(077);
    const int rc = sqlite3_open_v2(QFile::encodeName(path).constData(), &db_, flags, nullptr);
    ::umask(oldMask);
    if (rc != SQLITE_OK) {
        const std::string why = db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc);
        sqlite3_close(db_);
        db_ = nullptr;
        throw HiveError("it cannot be opened (" + why + ")");
    }
    sqlite3_busy_timeout(db_, 15000);
    sqlite3_extended_result_codes(db_, 1);

    try {
        // Read before anything is written: a file that is not our store is left untouched.
        int version = 0;
        int tables = 0;
        {
            Stmt s(db_, "PRAGMA user_version");
            if (s.row()) version = static_cast<int>(s.integer(0));
        }
        {
            Stmt s(db_, "SELECT count(*) FROM sqlite_master WHERE type = 'table'");
            if (s.row()) tables = static_cast<int>(s.integer(0));
        }
        if (version > SchemaVersion)
            throw HiveError("it was written by a newer version of Kelvaro (schema " +
                            std::to_string(version) + ")");
        if (version == 0 && tables > 0) throw HiveError("it is not a Kelvaro settings store");
        if (version == SchemaVersion) {
            // A cut-off file is caught here cheaply: the pages the header counts must all be
            // there (a full check would read the whole store at every start).
            qint64 pages = 0, pageSize = 0;
            {
                Stmt p(db_, "PRAGMA page_count");
                if (p.row()) pages = p.integer(0);
            }
            {
                Stmt p(db_, "PRAGMA page_size");
                if (p.row()) pageSize = p.integer(0);
            }
            // Pages not yet written back from the write-ahead log are not in the file.
            const bool walPending = QFileInfo(path + QStringLiteral("-wal")).size() > 0;
            if (!walPending && QFileInfo(path).size() < pages * pageSize)
                throw HiveError("it is damaged (cut off at " +
                                std::to_string(QFileInfo(path).size()) + " of " +
                                std::to_string(pages * pageSize) + " bytes)");
            Stmt t(db_, "SELECT count(*) FROM sqlite_master WHERE type = 'table' AND "
                        "name IN ('keys', 'vals')");
            if (!t.row() || t.integer(0) != 2) throw HiveError("its tables are missing");
        }
        exec("PRAGMA journal_mode = WAL");
        exec("PRAGMA foreign_keys = ON");
        if (version == 0) createSchema();
        Stmt s(db_, "SELECT id FROM keys WHERE parent IS NULL");
        if (!s.row()) throw HiveError("its root key is missing");
        root_ = s.integer(0);
    } catch (...) {
        stmtCache().forget(db_);
        sqlite3_close(db_);
        db_ = nullptr;
        throw;
    }
}

Hive::~Hive() {
    if (db_) {
        stmtCache().forget(db_);
        sqlite3_close(db_);
    }
}

void Hive::exec(const char* sql) {
    char* err = nullptr;
    if (sqlite3_exec(db_, sql, nullptr, nullptr, &err) != SQLITE_OK) {
        std::string why = err ? err : sqlite3_errmsg(db_);
        sqlite3_free(err);
        throw HiveError("it could not be used (" + why + ")");
    }
}

void Hive::createSchema() {
    exec("BEGIN IMMEDIATE");
    // Another copy may have created it while we waited for the lock.
    int version = 0;
    {
        Stmt s(db_, "PRAGMA user_version");
        if (s.row()) version = static_cast<int>(s.integer(0));
    }
    if (version == 0) {
        exec("CREATE TABLE keys(id INTEGER PRIMARY KEY,"
             " parent INTEGER REFERENCES keys(id) ON DELETE CASCADE,"
             " name TEXT NOT NULL COLLATE NOCASE, UNIQUE(parent, name));"
             "CREATE TABLE vals(key INTEGER NOT NULL REFERENCES keys(id) ON DELETE CASCADE,"
             " name TEXT NOT NULL COLLATE NOCASE, type INTEGER NOT NULL, data BLOB NOT NULL,"
             " PRIMARY KEY(key, name));"
             "INSERT INTO keys(parent, name) VALUES(NULL, '');"
             "PRAGMA user_version = 1;");
    }
    exec("COMMIT");
}

std::optional<KeyId> Hive::findKey(KeyId parent, const QString& name) const {
    Stmt s(db_, "SELECT id FROM keys WHERE parent = ? AND name = ?");
    s.bind(1, parent).bind(2, name);
    if (s.row()) return s.integer(0);
    return std::nullopt;
}

std::optional<KeyId> Hive::createKey(KeyId parent, const QString& name) {
    if (auto k = findKey(parent, name)) return k;
    Stmt s(db_, "INSERT INTO keys(parent, name) VALUES(?, ?)");
    s.bind(1, parent).bind(2, name);
    if (!s.done()) return findKey(parent, name); // another writer may have made it
    return sqlite3_last_insert_rowid(db_);
}

bool Hive::keyExists(KeyId key) const {
    Stmt s(db_, "SELECT 1 FROM keys WHERE id = ?");
    s.bind(1, key);
    return s.row();
}

QStringList Hive::subKeyNames(KeyId key) const {
    QStringList names;
    Stmt s(db_, "SELECT name FROM keys WHERE parent = ? ORDER BY name COLLATE NOCASE, id");
    s.bind(1, key);
    while (s.row())
        names << s.text(0);
    return names;
}

bool Hive::deleteKey(KeyId key) {
    if (key == root_ || !keyExists(key)) return false;
    Stmt s(db_, "DELETE FROM keys WHERE id = ?");
    s.bind(1, key);
    return s.done();
}

std::optional<RegValue> Hive::value(KeyId key, const QString& name) const {
    Stmt s(db_, "SELECT type, data FROM vals WHERE key = ? AND name = ?");
    s.bind(1, key).bind(2, name);
    if (!s.row()) return std::nullopt;
    return RegValue{static_cast<int>(s.integer(0)), s.blob(1)};
}

QStringList Hive::valueNames(KeyId key) const {
    QStringList names;
    Stmt s(db_, "SELECT name FROM vals WHERE key = ? ORDER BY rowid");
    s.bind(1, key);
    while (s.row())
        names << s.text(0);
    return names;
}

bool Hive::setValue(KeyId key, const QString& name, const RegValue& value) {
    Stmt s(db_, "INSERT INTO vals(key, name, type, data) VALUES(?, ?, ?, ?) "
                "ON CONFLICT(key, name) DO UPDATE SET type = excluded.type, data = excluded.data");
    s.bind(1, key).bind(2, name).bind(3, static_cast<KeyId>(value.type)).bindBlob(4, value.data);
    return s.done();
}

bool Hive::deleteValue(KeyId key, const QString& name) {
    Stmt s(db_, "DELETE FROM vals WHERE key = ? AND name = ?");
    s.bind(1, key).bind(2, name);
    return s.done() && sqlite3_changes(db_) > 0;
}

void Hive::begin() {
    exec("BEGIN IMMEDIATE");
}

void Hive::commit() {
    exec("COMMIT");
}

void Hive::rollback() {
    sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
}

QString Hive::defaultPath() {
    QString base = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (base.isEmpty() || !QDir::isAbsolutePath(base)) base = QDir::homePath() + "/.config";
    return base + "/kelvaro/registry.db";
}

Hive& Hive::instance() {
    auto& hive = globalHive();
    if (!hive) hive = std::make_unique<Hive>(defaultPath());
    return *hive;
}

void Hive::setInstance(std::unique_ptr<Hive> hive) {
    globalHive() = std::move(hive);
}

} // namespace platform
