#pragma once
#include <cstdint>
#include <mutex>
#include <string>
#include <tuple>
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
    CLineFigures(const CLineFigures&) = delete;
    CLineFigures& operator=(const CLineFigures&) = delete;

    bool Open(const std::string& path, std::string& error);
    bool Figures(const FigureRange& range, LineFigures& figures, std::string& error);
    // The stations with a record at since (records' form) or later.
    bool Stations(const std::string& since, std::vector<StationRecord>& stations, std::string& error);
    // Every record (as stored JSON, with the station it came from) of the
    // units that match, oldest first; at most the limit newest units.
    bool FindUnits(const UnitQuery& query, int limit, std::vector<std::string>& records, std::string& error);
    // What changes when a writer commits: the times and sizes of the file
    // and of its write-ahead log.
    struct Stamp {
        std::tuple<int64_t, int64_t, int64_t> file, log;  // seconds, nanoseconds, size
        bool operator==(const Stamp&) const = default;
    };
    Stamp Changes();

private:
    // One read-only connection per query: a connection kept open while a
    // writer closes as the last one (folding its log into the file) may
    // miss what that writer wrote.
    class CConnection {
    public:
        CConnection(const std::string& path, std::string& error);
        ~CConnection();
        CConnection(const CConnection&) = delete;
        CConnection& operator=(const CConnection&) = delete;
        explicit operator bool() const { return m_bReady; }
        sqlite3* Get() const { return m_pDb; }

    private:
        sqlite3* m_pDb = nullptr;
        bool m_bReady = false;
    };

    std::mutex m_mutex;
    std::string m_strPath;
};
