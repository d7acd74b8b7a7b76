#include "line/record_db.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "line/line_record.h"

namespace {

// The JSON record is kept whole; the columns a person queries by are taken
// out of it by SQLite's own JSON functions.
constexpr char kSchema[] = R"SQL(
PRAGMA journal_mode = WAL;
PRAGMA synchronous = FULL;
CREATE TABLE IF NOT EXISTS unit_records (
    id TEXT PRIMARY KEY,
    record TEXT NOT NULL,
    unit TEXT,
    run TEXT,
    station TEXT,
    time TEXT,
    device TEXT,
    node TEXT,
    identity TEXT,
    revision TEXT,
    old_revision TEXT,
    new_revision TEXT,
    revision_changed INTEGER,
    result TEXT,
    exit_code INTEGER,
    exit_name TEXT,
    reason TEXT,
    message TEXT,
    duration_ms INTEGER,
    checksum TEXT,
    sha256 TEXT,
    blocks_sent INTEGER,
    blocks INTEGER,
    source TEXT NOT NULL,
    stored_at TEXT NOT NULL,
    json TEXT NOT NULL
);
CREATE TABLE IF NOT EXISTS rejected (
    received_at TEXT NOT NULL,
    topic TEXT NOT NULL,
    reason TEXT NOT NULL,
    size INTEGER NOT NULL,
    head BLOB
);
CREATE INDEX IF NOT EXISTS unit_records_unit ON unit_records(unit);
CREATE INDEX IF NOT EXISTS unit_records_identity ON unit_records(identity);
CREATE INDEX IF NOT EXISTS unit_records_time ON unit_records(time);
CREATE VIEW IF NOT EXISTS units AS
    SELECT e.unit, e.station, e.run, s.time AS started, e.time AS ended, e.device, e.node, e.identity,
           e.old_revision, e.new_revision, e.revision_changed, e.result, e.exit_name, e.reason, e.message,
           e.duration_ms, e.checksum, e.sha256, e.blocks_sent, e.blocks
    FROM unit_records e LEFT JOIN unit_records s ON s.unit = e.unit AND s.record = 'unit-start'
    WHERE e.record = 'unit-end';
)SQL";

constexpr char kInsert[] = R"SQL(
INSERT OR IGNORE INTO unit_records (id, record, unit, run, station, time, device, node, identity, revision,
    old_revision, new_revision, revision_changed, result, exit_code, exit_name, reason, message, duration_ms,
    checksum, sha256, blocks_sent, blocks, source, stored_at, json)
SELECT j('id'), j('record'), j('unit'), j('run'), ?2, j('time'), j('device'), j('node'), j('identity'),
    j('revision'), j('old_revision'), j('new_revision'), j('revision_changed'), j('result'), j('exit_code'),
    j('exit_name'), j('reason'), j('message'), j('duration_ms'), j('checksum'), j('sha256'), j('blocks_sent'),
    j('blocks'), ?3, strftime('%Y-%m-%dT%H:%M:%fZ', 'now'), ?1
)SQL";

constexpr char kStoredJson[] = "SELECT json FROM unit_records WHERE id = ?1";

// The first bytes of a message kept aside, as they came (a blob: they need
// not be text); the table keeps only its newest rows.
constexpr char kReject[] = R"SQL(
INSERT INTO rejected (received_at, topic, reason, size, head)
VALUES (strftime('%Y-%m-%dT%H:%M:%fZ', 'now'), ?1, ?2, ?3, ?4)
)SQL";
constexpr int kRejectedHeadBytes = 1024;

constexpr int kBusyWaitMs = 5000;

}  // namespace

CRecordDb::~CRecordDb()
{
    sqlite3_finalize(m_pInsert);
    sqlite3_finalize(m_pStoredJson);
    sqlite3_finalize(m_pReject);
    sqlite3_close(m_pDb);
    if (m_nLockFd >= 0)
        close(m_nLockFd);
}

std::string CRecordDb::ErrorText() const
{
    const int code = sqlite3_errcode(m_pDb);
    if (code == SQLITE_BUSY || code == SQLITE_LOCKED)
        return std::string(sqlite3_errmsg(m_pDb)) + " (another program held it for " +
               std::to_string(kBusyWaitMs / 1000) + " s)";
    return sqlite3_errmsg(m_pDb);
}

bool CRecordDb::Open(const std::string& path, std::string& error)
{
    m_strPath = path;
    if (sqlite3_open_v2(path.c_str(), &m_pDb, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                        nullptr) != SQLITE_OK) {
        error = "cannot open the database " + path + ": " + sqlite3_errmsg(m_pDb);
        return false;
    }
    sqlite3_busy_timeout(m_pDb, kBusyWaitMs);
    // j('field'): the field of the record in ?1, bound once per row.
    std::string insert = kInsert;
    for (size_t at; (at = insert.find("j('")) != std::string::npos;) {
        const size_t end = insert.find("')", at);
        insert.replace(at, end + 2 - at, "json_extract(?1, '$." + insert.substr(at + 3, end - at - 3) + "')");
    }
    char* message = nullptr;
    if (sqlite3_exec(m_pDb, kSchema, nullptr, nullptr, &message) != SQLITE_OK ||
        sqlite3_prepare_v2(m_pDb, insert.c_str(), -1, &m_pInsert, nullptr) != SQLITE_OK ||
        sqlite3_prepare_v2(m_pDb, kStoredJson, -1, &m_pStoredJson, nullptr) != SQLITE_OK ||
        sqlite3_prepare_v2(m_pDb, kReject, -1, &m_pReject, nullptr) != SQLITE_OK) {
        error = "cannot set up the database " + path + ": " + ErrorText();
        sqlite3_free(message);
        return false;
    }
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) {
        error = "cannot set up the database " + path + ": " + std::strerror(errno);
        return false;
    }
    m_nDevice = st.st_dev;
    m_nInode = st.st_ino;
    return true;
}

bool CRecordDb::HoldForCollector(std::string& error)
{
    // A lock beside the database, held while the collector lives: the
    // kernel lets it go with the process, however that ends.
    const std::string path = m_strPath + ".collector";
    m_nLockFd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (m_nLockFd < 0) {
        error = "cannot create " + path + " (one collector per database): " + std::strerror(errno);
        return false;
    }
    if (flock(m_nLockFd, LOCK_EX | LOCK_NB) != 0) {
        char holder[256] = {};
        const ssize_t n = pread(m_nLockFd, holder, sizeof holder - 1, 0);
        std::string who(holder, n > 0 ? static_cast<size_t>(n) : 0);
        while (!who.empty() && who.back() == '\n')
            who.pop_back();
        error = "another collector stores into " + m_strPath + " (" + (who.empty() ? "process unknown" : who) +
                "): one collector per database";
        return false;
    }
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    const std::string who = "process " + std::to_string(getpid()) + " on " + host + "\n";
    if (ftruncate(m_nLockFd, 0) != 0 || pwrite(m_nLockFd, who.data(), who.size(), 0) < 0) {
        error = "cannot write " + path + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

bool CRecordDb::StillThere(std::string& error) const
{
    struct stat st {};
    if (stat(m_strPath.c_str(), &st) != 0) {
        error = "the database " + m_strPath + " was deleted while the collector stored into it (" +
                std::strerror(errno) + ")";
        return false;
    }
    if (st.st_dev != m_nDevice || st.st_ino != m_nInode) {
        error = "the database " + m_strPath + " was replaced by another file while the collector stored into it";
        return false;
    }
    return true;
}

CRecordDb::Added CRecordDb::Add(const std::string& record, const std::string& station, const char* source,
                                std::string& id, std::string& why)
{
    UnitRecordKey key;
    const bool valid = CheckUnitRecord(record, key, why);
    id = key.strId;
    if (!valid)
        return Added::Rejected;
    if (!key.strStation.empty() && key.strStation != station) {
        why = "a record of station " + key.strStation + " sent as station " + station + "'s";
        return Added::Rejected;
    }
    sqlite3_reset(m_pInsert);
    sqlite3_bind_text(m_pInsert, 1, record.data(), static_cast<int>(record.size()), SQLITE_TRANSIENT);
    sqlite3_bind_text(m_pInsert, 2, station.data(), static_cast<int>(station.size()), SQLITE_TRANSIENT);
    sqlite3_bind_text(m_pInsert, 3, source, -1, SQLITE_STATIC);
    if (sqlite3_step(m_pInsert) != SQLITE_DONE) {
        why = ErrorText();
        return Added::Failed;
    }
    if (sqlite3_changes(m_pDb) == 1)
        return Added::Stored;
    sqlite3_reset(m_pStoredJson);
    sqlite3_bind_text(m_pStoredJson, 1, key.strId.data(), static_cast<int>(key.strId.size()), SQLITE_TRANSIENT);
    if (sqlite3_step(m_pStoredJson) != SQLITE_ROW) {
        why = ErrorText();
        return Added::Failed;
    }
    const auto* stored = reinterpret_cast<const char*>(sqlite3_column_text(m_pStoredJson, 0));
    if (stored && record == stored)
        return Added::Repeat;
    why = "a conflict: the record " + key.strId + " was stored before with other content";
    return Added::Conflict;
}

bool CRecordDb::KeepAside(const std::string& topic, const std::string& payload, const std::string& why,
                          std::string& error)
{
    sqlite3_reset(m_pReject);
    sqlite3_bind_text(m_pReject, 1, topic.data(), static_cast<int>(topic.size()), SQLITE_TRANSIENT);
    sqlite3_bind_text(m_pReject, 2, why.data(), static_cast<int>(why.size()), SQLITE_TRANSIENT);
    sqlite3_bind_int64(m_pReject, 3, static_cast<sqlite3_int64>(payload.size()));
    sqlite3_bind_blob(m_pReject, 4, payload.data(),
                      static_cast<int>(std::min<size_t>(payload.size(), kRejectedHeadBytes)), SQLITE_TRANSIENT);
    if (sqlite3_step(m_pReject) != SQLITE_DONE ||
        sqlite3_exec(
            m_pDb,
            ("DELETE FROM rejected WHERE rowid <= last_insert_rowid() - " + std::to_string(kRejectedRows)).c_str(),
            nullptr, nullptr, nullptr) != SQLITE_OK) {
        error = ErrorText();
        return false;
    }
    return true;
}

bool CRecordDb::Begin()
{
    return sqlite3_exec(m_pDb, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) == SQLITE_OK;
}

bool CRecordDb::Commit()
{
    return sqlite3_exec(m_pDb, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK;
}
