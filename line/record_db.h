#pragma once
#include <cstdint>
#include <string>

struct sqlite3;
struct sqlite3_stmt;

// The line's records in SQLite: one row per unit record, keyed by its id,
// so a record that arrives twice (a resend, an import of a log the broker
// already carried) is stored once. The view 'units' puts each unit's start
// and end side by side. What is not a unit record is kept aside in the
// table 'rejected' (the newest kRejectedRows), never among the records.
class CRecordDb {
public:
    static constexpr int kRejectedRows = 10000;

    CRecordDb() = default;
    ~CRecordDb();
    CRecordDb(const CRecordDb&) = delete;
    CRecordDb& operator=(const CRecordDb&) = delete;

    // A database another program holds is waited for a few seconds, then
    // named as locked.
    bool Open(const std::string& path, std::string& error);
    // One collector per database: false, naming the process and host of the
    // one that holds it, when another does.
    bool HoldForCollector(std::string& error);
    // The file at the path is still the one opened: not deleted, not
    // replaced. False with what happened.
    bool StillThere(std::string& error) const;

    enum class Added {
        Stored,
        Repeat,    // the same record, stored before
        Conflict,  // another record of the same id was stored before: kept aside
        Rejected,  // not a unit record (why says why)
        Failed     // the database refused it (why says why)
    };
    // record: the JSON line as the station's log holds it; station: whose it
    // is (the topic's, or the log's); source: "line" or "import". A record
    // that names another station than station is rejected.
    Added Add(const std::string& record, const std::string& station, const char* source, std::string& id,
              std::string& why);
    // Keeps a message that is no unit record aside, with why.
    bool KeepAside(const std::string& topic, const std::string& payload, const std::string& why, std::string& error);
    bool Begin();
    bool Commit();

private:
    std::string ErrorText() const;

    std::string m_strPath;
    sqlite3* m_pDb = nullptr;
    sqlite3_stmt* m_pInsert = nullptr;
    sqlite3_stmt* m_pStoredJson = nullptr;
    sqlite3_stmt* m_pReject = nullptr;
    uint64_t m_nDevice = 0;
    uint64_t m_nInode = 0;
    int m_nLockFd = -1;
};
