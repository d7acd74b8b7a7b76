#pragma once
#include <string>

struct sqlite3;
struct sqlite3_stmt;

// The line's records in SQLite: one row per unit record, keyed by its id,
// so a record that arrives twice (a resend, an import of a log the broker
// already carried) is stored once. The view 'units' puts each unit's start
// and end side by side.
class CRecordDb {
public:
    CRecordDb() = default;
    ~CRecordDb();
    CRecordDb(const CRecordDb&) = delete;
    CRecordDb& operator=(const CRecordDb&) = delete;

    bool Open(const std::string& path, std::string& error);
    enum class Added {
        Stored,
        Repeat,
        NotARecord,
        Failed
    };
    // record: the JSON line as the station's log holds it; source: "line" or
    // "import". Failed leaves the reason in error.
    Added Add(const std::string& record, const std::string& station, const char* source, std::string& error);
    bool Begin();
    bool Commit();

private:
    sqlite3* m_pDb = nullptr;
    sqlite3_stmt* m_pInsert = nullptr;
};
