#include "platform/store/Hive.h"

#include "platform/system/Signals.h"
#include "platform/system/XdgDirs.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QSet>
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <sqlite3.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace platform {

namespace {

// 1: names compared with SQLite's NOCASE (ASCII only). 2: names compared by their case-folded
// form, kept in a column of their own; keys delete as a whole subtree in one statement.
constexpr int SchemaVersion = 2;

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

bool writable(const QString& path) {
    return ::access(QFile::encodeName(path).constData(), W_OK) == 0;
}

// The last failure of db in words for the user: whether the settings are in use by another
// program, read-only, or broken in some other way.
[[noreturn]] void failOn(sqlite3* db, bool write) {
    const int code = sqlite3_extended_errcode(db);
    const int primary = code & 0xFF;
    const QString path = QString::fromUtf8(sqlite3_db_filename(db, "main"));
    const std::string why = sqlite3_errmsg(db);
    if (QuitSignalled() && (primary == SQLITE_BUSY || primary == SQLITE_INTERRUPT))
        throw HiveError("Kelvaro is quitting");
    if (primary == SQLITE_BUSY || primary == SQLITE_LOCKED)
        throw HiveError("Kelvaro's settings are in use by another program; try again when it "
                        "has finished (" +
                        path.toStdString() + " is locked)");
    if (write && (primary == SQLITE_READONLY || primary == SQLITE_CANTOPEN ||
                  primary == SQLITE_PERM || primary == SQLITE_IOERR)) {
        const QString dir = QFileInfo(path).absolutePath();
        if (!writable(path) || sqlite3_db_readonly(db, "main") == 1)
            throw HiveError("Kelvaro's settings can't be changed: the file " + path.toStdString() +
                            " is read-only");
        if (!writable(dir))
            throw HiveError("Kelvaro's settings can't be changed: the folder " + dir.toStdString() +
                            " is read-only");
    }
    throw HiveError(std::string("Kelvaro's settings could not be ") + (write ? "changed" : "read") +
                    " (" + why + ")");
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
        if (rc != SQLITE_DONE) failOn(db_, false);
        return false;
    }
    // Runs a write; throws when it fails.
    void run() {
        if (step() != SQLITE_DONE) failOn(db_, true);
    }
    KeyId integer(int col) const { return sqlite3_column_int64(stmt_, col); }
    bool isNull(int col) const { return sqlite3_column_type(stmt_, col) == SQLITE_NULL; }
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

std::int64_t nowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Keeps the owner's access only (0700 for the folder, 0600 for the files), taking nothing away
// from the owner and giving nothing: a store the user made read-only stays read-only.
void keepPrivate(const QString& path) {
    struct stat st {};
    const QByteArray name = QFile::encodeName(path);
    if (::stat(name.constData(), &st) != 0 || st.st_uid != ::geteuid()) return;
    if (st.st_mode & 077) ::chmod(name.constData(), st.st_mode & 0700);
}

// The first name not yet taken among name, "name (2)", "name (3)" ... (by folded form).
QString freeName(const QString& name, const QSet<QString>& taken) {
    QString candidate = name;
    for (int n = 2; taken.contains(Hive::fold(candidate)); ++n)
        candidate = QStringLiteral("%1 (%2)").arg(name).arg(n);
    return candidate;
}

} // namespace

Hive::Hive(const QString& path) : path_(path) {
    // Pages are taken from the heap one at a time as the store needs them, not in one block
    // of twenty up front: the store is a few pages and the program stays resident all day.
    // Only possible before SQLite's first use; later calls are refused harmlessly.
    [[maybe_unused]] static const int pageCache =
        sqlite3_config(SQLITE_CONFIG_PAGECACHE, nullptr, 0, 0);
    open();
}

// The changes handed over and the thread that writes them.
struct Hive::Behind {
    struct Change {
        QString key;
        std::function<void()> change;
        std::function<void(const std::string&)> failed;
    };
    std::mutex lock;
    std::condition_variable wake, done;
    std::deque<Change> waiting;
    bool writing = false;
    bool stop = false;
    std::thread thread;
    std::thread::id id;

    void run(Hive& hive) {
        std::unique_lock<std::mutex> hold(lock);
        for (;;) {
            wake.wait(hold, [this] { return stop || !waiting.empty(); });
            if (waiting.empty()) return;
            Change next = std::move(waiting.front());
            waiting.pop_front();
            writing = true;
            hold.unlock();
            try {
                HiveTransaction tx(hive);
                next.change();
                tx.commit();
            } catch (const std::exception& e) {
                if (QCoreApplication* app = QCoreApplication::instance())
                    QMetaObject::invokeMethod(
                        app,
                        [failed = std::move(next.failed), why = std::string(e.what())] {
                            if (failed) failed(why);
                        },
                        Qt::QueuedConnection);
            }
            hold.lock();
            writing = false;
            if (waiting.empty()) done.notify_all();
        }
    }
};

Hive::~Hive() {
    if (behind_ && behind_->thread.joinable()) {
        {
            const std::lock_guard<std::mutex> hold(behind_->lock);
            behind_->stop = true;
        }
        behind_->wake.notify_all();
        behind_->thread.join(); // what was handed over is written first
    }
    close();
}

void Hive::writeBehind(const QString& key, std::function<void()> change,
                       std::function<void(const std::string& why)> failed) {
    if (!behind_) {
        behind_ = std::make_unique<Behind>();
        // The thread knows itself by its id (settle() on it returns at once): it starts once
        // the id is there.
        const std::lock_guard<std::mutex> hold(behind_->lock);
        behind_->thread = std::thread([this] { behind_->run(*this); });
        behind_->id = behind_->thread.get_id();
    }
    {
        std::unique_lock<std::mutex> hold(behind_->lock);
        // While the thread writes, the transaction open is its own; otherwise it is ours, and
        // a change made inside it belongs in it.
        if (!behind_->writing && behind_->waiting.empty() && (depth_ > 0 || readers_ > 0)) {
            hold.unlock();
            change();
            return;
        }
        auto same = std::find_if(behind_->waiting.begin(), behind_->waiting.end(),
                                 [&](const Behind::Change& c) { return c.key == key; });
        if (same != behind_->waiting.end())
            *same = {key, std::move(change), std::move(failed)};
        else
            behind_->waiting.push_back({key, std::move(change), std::move(failed)});
    }
    behind_->wake.notify_one();
}

void Hive::settle() const {
    if (!behind_ || std::this_thread::get_id() == behind_->id) return;
    std::unique_lock<std::mutex> hold(behind_->lock);
    behind_->done.wait(hold, [this] { return behind_->waiting.empty() && !behind_->writing; });
}

void Hive::close() {
    if (!db_) return;
    reading_ = false;
    stmtCache().forget(db_);
    sqlite3_close(db_);
    db_ = nullptr;
}

int Hive::onBusy(void* self, int count) {
    auto* hive = static_cast<Hive*>(self);
    if (QuitSignalled()) return 0;
    if (count == 0) hive->busySince_ = nowMs();
    if (nowMs() - hive->busySince_ >= hive->busyWaitMs_) return 0;
    // Short naps: a signal cuts one short and the next call sees it.
    sqlite3_sleep(5);
    return QuitSignalled() ? 0 : 1;
}

void Hive::open() {
    const QFileInfo info(path_);
    const bool existed = info.exists();
    const QString dir = info.absolutePath();
    if (!existed) {
        if (!QDir().mkpath(dir)) throw HiveError("cannot create the folder " + dir.toStdString());
        ::chmod(QFile::encodeName(dir).constData(), 0700);
    } else if (!info.isFile()) {
        throw HiveError("it is not a regular file");
    }
    keepPrivate(dir);
    tidyModes();
    // A file or folder the user made read-only opens for reading: SQLite falls back to reading
    // by itself when the file can't be written, and in a read-only folder nothing is written
    // until a change is made.
    const int flags =
        SQLITE_OPEN_READWRITE | (existed ? 0 : SQLITE_OPEN_CREATE) | SQLITE_OPEN_FULLMUTEX;
    const mode_t oldMask = ::umask(077);
    const int rc = sqlite3_open_v2(QFile::encodeName(path_).constData(), &db_, flags, nullptr);
    ::umask(oldMask);
    if (rc != SQLITE_OK) {
        const std::string why = db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc);
        close();
        throw HiveError("it cannot be opened (" + why + ")");
    }
    sqlite3_busy_handler(db_, &Hive::onBusy, this);
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
        if (version > 0) {
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
            // Pages not yet written back from a write-ahead log are not in the file.
            const bool walPending = QFileInfo(path_ + QStringLiteral("-wal")).size() > 0;
            if (!walPending && QFileInfo(path_).size() < pages * pageSize)
                throw HiveError("it is damaged (cut off at " +
                                std::to_string(QFileInfo(path_).size()) + " of " +
                                std::to_string(pages * pageSize) + " bytes)");
            Stmt t(db_, "SELECT count(*) FROM sqlite_master WHERE type = 'table' AND "
                        "name IN ('keys', 'vals')");
            if (!t.row() || t.integer(0) != 2) throw HiveError("its tables are missing");
        }
        // Every committed change goes straight into the file, so the file alone is always a
        // whole copy of the settings (for backups), and a read-only store leaves no side file
        // behind. Stores written by earlier versions kept a write-ahead log; it is folded back
        // in here, when it can be.
        QString mode;
        {
            Stmt s(db_, "PRAGMA journal_mode");
            if (s.row()) mode = s.text(0).toLower();
        }
        if (mode != QLatin1String("delete"))
            sqlite3_exec(db_, "PRAGMA journal_mode = DELETE", nullptr, nullptr, nullptr);
        // Should the log stay (another copy of an earlier version has the store open), each
        // commit is written back into the file at once.
        sqlite3_wal_hook(
            db_,
            [](void*, sqlite3* db, const char* name, int) {
                sqlite3_wal_checkpoint_v2(db, name, SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr);
                return SQLITE_OK;
            },
            nullptr);
        exec("PRAGMA foreign_keys = ON", false);
        if (version == 0) createSchema();
        if (version == 1) upgradeNames();
        Stmt s(db_, "SELECT id FROM keys WHERE parent IS NULL");
        if (!s.row()) throw HiveError("its root key is missing");
        root_ = s.integer(0);
    } catch (...) {
        close();
        throw;
    }
    tidyModes();
    file_ = {};
    sync();
}

void Hive::tidyModes() const {
    for (const char* suffix : {"", "-wal", "-shm", "-journal"}) {
        const QString file = path_ + QLatin1String(suffix);
        keepPrivate(file);
        // A side file left read-only by a run on a read-only store would make every later
        // write fail once the store is writable again.
        if (*suffix && writable(path_) && QFileInfo::exists(file) && !writable(file)) {
            struct stat st {};
            if (::stat(QFile::encodeName(file).constData(), &st) == 0 && st.st_uid == ::geteuid())
                ::chmod(QFile::encodeName(file).constData(), 0600);
        }
    }
}

void Hive::sync() const {
    settle();
    if (depth_ > 0 || reading_) return;
    struct stat st {};
    FileId now;
    if (::stat(QFile::encodeName(path_).constData(), &st) == 0)
        now = {std::uint64_t(st.st_dev), std::uint64_t(st.st_ino),
               std::int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec,
               std::int64_t(st.st_size)};
    if (!db_) {
        // The last attempt to open a replaced file failed: try again.
        const_cast<Hive*>(this)->reopen();
        return;
    }
    if (now == file_) return;
    const bool sameFile = now.ino == file_.ino && now.dev == file_.dev && now.size >= 0;
    const bool first = file_.size < 0;
    file_ = now;
    int schema = 0;
    if (sameFile || first) {
        // Written since we last looked: by us, by another program, or copied over. Only a
        // change of the tables' layout makes our statements wrong.
        Stmt s(db_, "PRAGMA schema_version");
        if (s.row()) schema = static_cast<int>(s.integer(0));
        if (first || schema == schema_) {
            schema_ = schema;
            return;
        }
    }
    // Another file now has our name (moved or copied over, or deleted): open that one.
    const_cast<Hive*>(this)->reopen();
}

void Hive::reopen() {
    close();
    notices_.clear();
    ++generation_;
    try {
        open();
    } catch (const HiveError& e) {
        throw HiveError("Kelvaro's settings file " + path_.toStdString() +
                        " was replaced by one it can't use: " + e.what());
    }
}

void Hive::exec(const char* sql, bool write) {
    if (sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) != SQLITE_OK) failOn(db_, write);
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
        // Sub-keys are not deleted by the foreign key: a whole subtree goes in one statement
        // (deleteKey), however deep, where a cascade would stop at the trigger depth limit.
        exec("CREATE TABLE keys(id INTEGER PRIMARY KEY,"
             " parent INTEGER REFERENCES keys(id),"
             " name TEXT NOT NULL, fold TEXT NOT NULL, UNIQUE(parent, fold));"
             "CREATE TABLE vals(key INTEGER NOT NULL REFERENCES keys(id) ON DELETE CASCADE,"
             " name TEXT NOT NULL, fold TEXT NOT NULL, type INTEGER NOT NULL, data BLOB NOT NULL,"
             " PRIMARY KEY(key, fold));"
             "INSERT INTO keys(parent, name, fold) VALUES(NULL, '', '');"
             "PRAGMA user_version = 2;");
    }
    exec("COMMIT");
}

// From names compared in ASCII only to names compared by their case-folded form. Names that
// fold together now ("Äpfel" and "äpfel") were two keys or values before: both are kept, the
// later one under a new name, and the user is told.
void Hive::upgradeNames() {
    if (sqlite3_db_readonly(db_, "main") == 1 || !writable(path_))
        throw HiveError("it was written by an older version of Kelvaro and must be brought up to "
                        "date, but it is read-only");
    exec("PRAGMA foreign_keys = OFF");
    try {
        exec("BEGIN IMMEDIATE");
        int version = 0;
        {
            Stmt s(db_, "PRAGMA user_version");
            if (s.row()) version = static_cast<int>(s.integer(0));
        }
        if (version == 1) {
            exec("CREATE TABLE new_keys(id INTEGER PRIMARY KEY,"
                 " parent INTEGER REFERENCES new_keys(id),"
                 " name TEXT NOT NULL, fold TEXT NOT NULL, UNIQUE(parent, fold));"
                 "CREATE TABLE new_vals(key INTEGER NOT NULL REFERENCES new_keys(id)"
                 " ON DELETE CASCADE, name TEXT NOT NULL, fold TEXT NOT NULL,"
                 " type INTEGER NOT NULL, data BLOB NOT NULL, PRIMARY KEY(key, fold));");
            QHash<KeyId, QString> paths; // for the notices
            QHash<KeyId, QSet<QString>> taken;
            // Parents before children: a key's id is larger than its parent's.
            for (Stmt s(db_, "SELECT id, parent, name FROM keys ORDER BY id"); s.row();) {
                const KeyId id = s.integer(0);
                const QString name = s.text(2);
                Stmt in(db_, "INSERT INTO new_keys(id, parent, name, fold) VALUES(?, ?, ?, ?)");
                in.bind(1, id);
                if (s.isNull(1)) {
                    paths.insert(id, QStringLiteral("HKEY_CURRENT_USER"));
                    in.bind(3, name).bind(4, fold(name));
                } else {
                    const KeyId parent = s.integer(1);
                    QSet<QString>& siblings = taken[parent];
                    const QString kept = freeName(name, siblings);
                    siblings.insert(fold(kept));
                    if (kept != name)
                        notices_ << QStringLiteral("The key \"%1\" in \"%2\" is now \"%3\": key "
                                                   "names that differ only in case name one key.")
                                        .arg(name, paths.value(parent), kept);
                    paths.insert(id, paths.value(parent) + QLatin1Char('\\') + kept);
                    in.bind(2, parent).bind(3, kept).bind(4, fold(kept));
                }
                in.run();
            }
            taken.clear();
            for (Stmt s(db_, "SELECT key, name, type, data FROM vals ORDER BY key, rowid");
                 s.row();) {
                const KeyId key = s.integer(0);
                const QString name = s.text(1);
                QSet<QString>& siblings = taken[key];
                const QString kept = freeName(name, siblings);
                siblings.insert(fold(kept));
                if (kept != name)
                    notices_ << QStringLiteral("The value \"%1\" in \"%2\" is now \"%3\": value "
                                               "names that differ only in case name one value.")
                                    .arg(name, paths.value(key), kept);
                Stmt in(db_, "INSERT INTO new_vals(key, name, fold, type, data) "
                             "VALUES(?, ?, ?, ?, ?)");
                in.bind(1, key).bind(2, kept).bind(3, fold(kept)).bind(4, s.integer(2));
                in.bindBlob(5, s.blob(3));
                in.run();
            }
            exec("DROP TABLE vals; DROP TABLE keys;"
                 "ALTER TABLE new_keys RENAME TO keys; ALTER TABLE new_vals RENAME TO vals;"
                 "PRAGMA user_version = 2;");
        }
        exec("COMMIT");
    } catch (...) {
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        sqlite3_exec(db_, "PRAGMA foreign_keys = ON", nullptr, nullptr, nullptr);
        throw;
    }
    exec("PRAGMA foreign_keys = ON");
}

std::optional<KeyId> Hive::findKey(KeyId parent, const QString& name) const {
    sync();
    Stmt s(db_, "SELECT id FROM keys WHERE parent = ? AND fold = ?");
    s.bind(1, parent).bind(2, fold(name));
    if (s.row()) return s.integer(0);
    return std::nullopt;
}

std::optional<KeyId> Hive::createKey(KeyId parent, const QString& name) {
    if (auto k = findKey(parent, name)) return k;
    stopReading();
    // The registry's own limits, and its words for them.
    if (name.size() > MaxKeyName) throw HiveRefused("The parameter is incorrect.");
    int depth = 0;
    {
        Stmt s(db_, "WITH RECURSIVE up(id, n) AS (SELECT ?, 0 UNION ALL "
                    "SELECT keys.parent, up.n + 1 FROM keys JOIN up ON keys.id = up.id "
                    "WHERE keys.parent IS NOT NULL AND up.n <= ?) "
                    "SELECT max(n) FROM up");
        s.bind(1, parent).bind(2, KeyId(MaxKeyDepth));
        if (s.row()) depth = static_cast<int>(s.integer(0));
    }
    if (depth + 1 > MaxKeyDepth) throw HiveRefused("The parameter is incorrect.");
    if (!keyExists(parent)) return std::nullopt;
    Stmt s(db_, "INSERT INTO keys(parent, name, fold) VALUES(?, ?, ?) "
                "ON CONFLICT(parent, fold) DO NOTHING");
    s.bind(1, parent).bind(2, name).bind(3, fold(name));
    s.run();
    if (sqlite3_changes(db_) == 0) return findKey(parent, name); // another writer made it
    return sqlite3_last_insert_rowid(db_);
}

bool Hive::keyExists(KeyId key) const {
    sync();
    Stmt s(db_, "SELECT 1 FROM keys WHERE id = ?");
    s.bind(1, key);
    return s.row();
}

std::optional<QString> Hive::keyName(KeyId key) const {
    sync();
    Stmt s(db_, "SELECT name FROM keys WHERE id = ?");
    s.bind(1, key);
    if (s.row()) return s.text(0);
    return std::nullopt;
}

std::int64_t Hive::othersWrites() const {
    sync();
    // data_version moves with every commit of another connection, never with our own.
    Stmt s(db_, "PRAGMA data_version");
    const std::int64_t version = s.row() ? s.integer(0) : 0;
    return (std::int64_t(generation_) << 40) + version;
}

QStringList Hive::subKeyNames(KeyId key) const {
    sync();
    QStringList names;
    Stmt s(db_, "SELECT name FROM keys WHERE parent = ? ORDER BY fold, id");
    s.bind(1, key);
    while (s.row())
        names << s.text(0);
    return names;
}

bool Hive::deleteKey(KeyId key) {
    stopReading();
    if (key == root_ || !keyExists(key)) return false;
    // The whole subtree in one statement; the values go with their keys.
    Stmt s(db_, "WITH RECURSIVE sub(id) AS (SELECT ? UNION ALL "
                "SELECT keys.id FROM keys JOIN sub ON keys.parent = sub.id) "
                "DELETE FROM keys WHERE id IN sub");
    s.bind(1, key);
    s.run();
    return true;
}

std::optional<RegValue> Hive::value(KeyId key, const QString& name) const {
    sync();
    Stmt s(db_, "SELECT type, data FROM vals WHERE key = ? AND fold = ?");
    s.bind(1, key).bind(2, fold(name));
    if (!s.row()) return std::nullopt;
    return RegValue{static_cast<int>(s.integer(0)), s.blob(1)};
}

QStringList Hive::valueNames(KeyId key) const {
    sync();
    QStringList names;
    Stmt s(db_, "SELECT name FROM vals WHERE key = ? ORDER BY rowid");
    s.bind(1, key);
    while (s.row())
        names << s.text(0);
    return names;
}

bool Hive::setValue(KeyId key, const QString& name, const RegValue& value) {
    stopReading();
    if (!keyExists(key)) return false;
    Stmt s(db_, "INSERT INTO vals(key, name, fold, type, data) VALUES(?, ?, ?, ?, ?) "
                "ON CONFLICT(key, fold) DO UPDATE SET type = excluded.type, data = excluded.data");
    s.bind(1, key).bind(2, name).bind(3, fold(name)).bind(4, static_cast<KeyId>(value.type));
    s.bindBlob(5, value.data);
    s.run();
    return true;
}

bool Hive::deleteValue(KeyId key, const QString& name) {
    stopReading();
    sync();
    Stmt s(db_, "DELETE FROM vals WHERE key = ? AND fold = ?");
    s.bind(1, key).bind(2, fold(name));
    s.run();
    return sqlite3_changes(db_) > 0;
}

void Hive::beginReading() {
    // The thread that writes behind keeps its transaction's depth: read once it is done.
    settle();
    if (readers_++ > 0 || depth_ > 0) return;
    sync();
    if (sqlite3_get_autocommit(db_) &&
        sqlite3_exec(db_, "BEGIN", nullptr, nullptr, nullptr) == SQLITE_OK)
        reading_ = true;
}

void Hive::endReading() {
    if (readers_ == 0 || --readers_ > 0) return;
    stopReading();
}

void Hive::stopReading() {
    if (!reading_ || depth_ > 0) return;
    reading_ = false;
    sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr);
}

void Hive::begin() {
    settle(); // as in beginReading
    if (depth_ > 0) {
        ++depth_;
        return;
    }
    stopReading();
    sync();
    // A transaction left open by a failure outside our count goes first.
    if (!sqlite3_get_autocommit(db_)) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    failed_ = false;
    exec("BEGIN IMMEDIATE"); // counted only once it has begun
    depth_ = 1;
}

void Hive::commit() {
    if (depth_ == 0) return;
    if (--depth_ > 0) return;
    if (failed_) {
        failed_ = false;
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        throw HiveError("a change to the store was rolled back");
    }
    if (sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) {
        // Nothing of it is kept: the next begin starts afresh.
        try {
            failOn(db_, true);
        } catch (...) {
            sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
            throw;
        }
    }
}

void Hive::rollback() {
    if (depth_ == 0) return;
    if (--depth_ == 0) {
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        failed_ = false;
    } else {
        failed_ = true;
    }
}

QString Hive::defaultPath() {
    return xdg::configHome() + "/kelvaro/registry.db";
}

Hive& Hive::instance() {
    auto& hive = globalHive();
    if (!hive) hive = std::make_unique<Hive>(defaultPath());
    return *hive;
}

void Hive::settleInstance() {
    if (const auto& hive = globalHive()) hive->settle();
}

void Hive::setInstance(std::unique_ptr<Hive> hive) {
    globalHive() = std::move(hive);
}

} // namespace platform
