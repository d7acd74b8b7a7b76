#pragma once
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

struct sqlite3;

// A span of the line's record in the records' own UTC form
// ("2026-12-10T06:00:00.000Z"): a unit counts when since <= its end < until.
// Empty: open at that end.
struct FigureRange {
    std::string strSince;
    std::string strUntil;
};

// "2026-12-10", "2026-12-10T06", "2026-12-10 06:30", "2026-12-10T06:30:15Z"
// and so on, always UTC, into the records' form (seconds and milliseconds
// filled with zeros). False on anything else.
bool ParseRangeTime(const std::string& text, std::string& utc);

struct HourCount {
    std::string strHour;  // "2026-12-10T06"
    int nPassed = 0;
    int nFailed = 0;
};

struct StationFigures {
    std::string strStation;
    int nPassed = 0;
    int nFailed = 0;
    int nSkipped = 0;
    // Cycle time of the units it passed or failed (duration_ms), by nearest
    // rank; -1 when it flashed none.
    int64_t nCycleMedianMs = -1;
    int64_t nCycleP90Ms = -1;
    std::vector<HourCount> hours;  // oldest first, hours without a unit left out
};

struct ParetoRow {
    std::string strReason;  // exit_name, and "/reason" when the record has one
    int nCount = 0;
};

// What the page and the report show of a range.
struct LineFigures {
    FigureRange range;
    int nPassed = 0;
    int nFailed = 0;
    int nSkipped = 0;  // not the expected device, already updated...: no attempt
    // Units told apart by serial where the record has one, else by the
    // unit's id: each one that was flashed, those whose first attempt in the
    // range passed, and those flashed more than once.
    int nUnits = 0;
    int nFirstPassed = 0;
    int nRetried = 0;
    std::vector<ParetoRow> pareto;  // failures, most frequent first
    std::vector<StationFigures> stations;
};

// A unit under way: its start is recorded, its end is not, in its
// station's newest run.
struct UnitUnderWay {
    std::string strUnit;
    std::string strDevice;
    std::string strSerial;
    std::string strStarted;
};

// What the record says of a station, without asking its broker.
struct StationRecord {
    std::string strStation;
    std::string strLastTime;  // of its newest record
    std::string strLastResult;
    std::vector<UnitUnderWay> underWay;
};

// What the unit search matches; every empty field matches anything.
struct UnitQuery {
    std::string strSerial;
    std::string strIdentity;  // a part of it
    std::string strStation;
    FigureRange range;  // by the time of the unit's records
};

// The collector's database, read only: the one place that computes what
// the page and the report show. Any thread; calls take turns.
class CLineFigures {
public:
    CLineFigures() = default;
    ~CLineFigures();
    CLineFigures(const CLineFigures&) = delete;
    CLineFigures& operator=(const CLineFigures&) = delete;

    bool Open(const std::string& path, std::string& error);
    bool Figures(const FigureRange& range, LineFigures& figures, std::string& error);
    // The stations with a record at since (records' form) or later.
    bool Stations(const std::string& since, std::vector<StationRecord>& stations, std::string& error);
    // Every record (as stored JSON, with the station it came from) of the
    // units that match, oldest first; at most the limit newest units.
    bool FindUnits(const UnitQuery& query, int limit, std::vector<std::string>& records, std::string& error);
    // Changes whenever another connection commits to the database.
    int64_t DataVersion();
    // The path no longer names the file open: it was removed, or another
    // was put in its place. The open one is still read: a database copied
    // over a live one would meet the old one's write-ahead log.
    bool FileReplaced();

private:
    bool OpenLocked(const std::string& path, std::string& error);

    std::mutex m_mutex;
    sqlite3* m_pDb = nullptr;
    std::string m_strPath;
    uint64_t m_nDevice = 0;  // of the file open
    uint64_t m_nInode = 0;
};
