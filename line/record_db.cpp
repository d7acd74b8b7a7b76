#include "line/record_db.h"

#include <sqlite3.h>

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

}  // namespace

CRecordDb::~CRecordDb()
{
    sqlite3_finalize(m_pInsert);
    sqlite3_close(m_pDb);
}

bool CRecordDb::Open(const std::string& path, std::string& error)
{
    if (sqlite3_open_v2(path.c_str(), &m_pDb, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                        nullptr) != SQLITE_OK) {
        error = "cannot open the database " + path + ": " + sqlite3_errmsg(m_pDb);
        return false;
    }
    sqlite3_busy_timeout(m_pDb, 5000);
    // j('field'): the field of the record in ?1, bound once per row.
    std::string insert = kInsert;
    for (size_t at; (at = insert.find("j('")) != std::string::npos;) {
        const size_t end = insert.find("')", at);
        insert.replace(at, end + 2 - at, "json_extract(?1, '$." + insert.substr(at + 3, end - at - 3) + "')");
    }
    char* message = nullptr;
    if (sqlite3_exec(m_pDb, kSchema, nullptr, nullptr, &message) != SQLITE_OK ||
        sqlite3_prepare_v2(m_pDb, insert.c_str(), -1, &m_pInsert, nullptr) != SQLITE_OK) {
        error = "cannot set up the database " + path + ": " + (message ? message : sqlite3_errmsg(m_pDb));
        sqlite3_free(message);
        return false;
    }
    return true;
}

CRecordDb::Added CRecordDb::Add(const std::string& record, const std::string& station, const char* source,
                                std::string& error)
{
    UnitRecordKey key;
    if (!ParseUnitRecord(record, key))
        return Added::NotARecord;
    sqlite3_reset(m_pInsert);
    sqlite3_bind_text(m_pInsert, 1, record.data(), static_cast<int>(record.size()), SQLITE_TRANSIENT);
    sqlite3_bind_text(m_pInsert, 2, station.data(), static_cast<int>(station.size()), SQLITE_TRANSIENT);
    sqlite3_bind_text(m_pInsert, 3, source, -1, SQLITE_STATIC);
    if (sqlite3_step(m_pInsert) != SQLITE_DONE) {
        error = sqlite3_errmsg(m_pDb);
        return Added::Failed;
    }
    return sqlite3_changes(m_pDb) == 1 ? Added::Stored : Added::Repeat;
}

bool CRecordDb::Begin()
{
    return sqlite3_exec(m_pDb, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) == SQLITE_OK;
}

bool CRecordDb::Commit()
{
    return sqlite3_exec(m_pDb, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK;
}
