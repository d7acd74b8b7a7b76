#include "line/line_figures.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <map>
#include <optional>
#include <string_view>

namespace {

// One prepared statement, finalized however its use ends.
class CStatement {
public:
    CStatement(sqlite3* db, const char* sql)
    {
        m_bPrepared = sqlite3_prepare_v2(db, sql, -1, &m_pStmt, nullptr) == SQLITE_OK;
    }
    ~CStatement() { sqlite3_finalize(m_pStmt); }
    CStatement(const CStatement&) = delete;
    CStatement& operator=(const CStatement&) = delete;

    bool Prepared() const { return m_bPrepared; }
    CStatement& Bind(int index, const std::string& text)
    {
        sqlite3_bind_text(m_pStmt, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
        return *this;
    }
    CStatement& Bind(int index, int64_t number)
    {
        sqlite3_bind_int64(m_pStmt, index, number);
        return *this;
    }
    // SQLITE_ROW, SQLITE_DONE or an error.
    int Step() { return sqlite3_step(m_pStmt); }
    std::string Text(int column) const
    {
        const unsigned char* text = sqlite3_column_text(m_pStmt, column);
        return text ? reinterpret_cast<const char*>(text) : "";
    }
    int64_t Number(int column) const { return sqlite3_column_int64(m_pStmt, column); }

private:
    sqlite3_stmt* m_pStmt = nullptr;
    bool m_bPrepared = false;
};

bool Failed(sqlite3* db, std::string& error)
{
    error = std::string("cannot read the line's records: ") + sqlite3_errmsg(db);
    return false;
}

// The value at rank ceil(p * n) of the sorted values.
int64_t NearestRank(const std::vector<int64_t>& sorted, double p)
{
    if (sorted.empty())
        return -1;
    const size_t rank = static_cast<size_t>(std::ceil(p * static_cast<double>(sorted.size())));
    return sorted[std::max<size_t>(rank, 1) - 1];
}

// Digits at text[at..at+count) as a number within [low, high].
std::optional<int> Digits(const std::string& text, size_t at, size_t count, int low, int high)
{
    if (at + count > text.size())
        return std::nullopt;
    int value = 0;
    for (size_t i = at; i < at + count; ++i) {
        if (text[i] < '0' || text[i] > '9')
            return std::nullopt;
        value = value * 10 + (text[i] - '0');
    }
    return value >= low && value <= high ? std::optional<int>(value) : std::nullopt;
}

constexpr char kFiguresSql[] = R"SQL(
SELECT station, coalesce(unit, ''), result, coalesce(exit_name, ''), coalesce(reason, ''),
       coalesce(duration_ms, 0), time, coalesce(json_extract(json, '$.serial'), '')
  FROM unit_records
 WHERE record = 'unit-end' AND time >= ?1 AND (?2 = '' OR time < ?2)
 ORDER BY time, rowid
)SQL";

// Of the records since ?1: each station's newest, and the result of its
// newest end.
constexpr char kStationsSql[] = R"SQL(
SELECT n.station, n.last, coalesce(e.result, '')
  FROM (SELECT station, max(time) AS last FROM unit_records WHERE time >= ?1 GROUP BY station) n
  LEFT JOIN (SELECT station, result, max(time) FROM unit_records WHERE time >= ?1 AND record = 'unit-end'
              GROUP BY station) e
         ON e.station = n.station
 ORDER BY n.station
)SQL";

// The starts since ?1 without an end, of each station's newest run.
constexpr char kUnderWaySql[] = R"SQL(
SELECT s.station, s.unit, coalesce(s.device, ''), coalesce(json_extract(s.json, '$.serial'), ''), s.time
  FROM unit_records s
 WHERE s.time >= ?1 AND s.record = 'unit-start'
   AND s.run IN (SELECT run FROM (SELECT run, max(time) FROM unit_records WHERE time >= ?1 GROUP BY station))
   AND NOT EXISTS (SELECT 1 FROM unit_records e WHERE e.unit = s.unit AND e.record = 'unit-end')
 ORDER BY s.station, s.time
)SQL";

constexpr char kFindSql[] = R"SQL(
SELECT json_set(json, '$.station', station) FROM unit_records
 WHERE unit IN (SELECT unit FROM unit_records
                 WHERE unit IS NOT NULL
                   AND (?1 = '' OR json_extract(json, '$.serial') = ?1)
                   AND (?2 = '' OR instr(identity, ?2) > 0)
                   AND (?3 = '' OR station = ?3)
                   AND time >= ?4 AND (?5 = '' OR time < ?5)
                 GROUP BY unit ORDER BY max(time) DESC LIMIT ?6)
 ORDER BY time, rowid
)SQL";

}  // namespace

bool ParseRangeTime(const std::string& text, std::string& utc)
{
    std::string t = text;
    if (!t.empty() && t.back() == 'Z')
        t.pop_back();
    // Year, month, day, hour, minute, second, millisecond: the separator
    // before each, its digits and its range. The date is whole; each later
    // field comes only after the one before it.
    static constexpr struct {
        std::string_view before;
        size_t width;
        int low, high;
    } kFields[] = {{"", 4, 1970, 9999}, {"-", 2, 1, 12}, {"-", 2, 1, 31}, {"T ", 2, 0, 23},
                   {":", 2, 0, 59},     {":", 2, 0, 59}, {".", 3, 0, 999}};
    int values[std::size(kFields)] = {};
    size_t at = 0;
    for (size_t i = 0; i < std::size(kFields) && (i < 3 || at < t.size()); ++i) {
        if (i > 0 && (at >= t.size() || kFields[i].before.find(t[at++]) == std::string_view::npos))
            return false;
        const std::optional<int> value = Digits(t, at, kFields[i].width, kFields[i].low, kFields[i].high);
        if (!value)
            return false;
        values[i] = *value;
        at += kFields[i].width;
    }
    if (at != t.size())
        return false;
    char out[32];
    std::snprintf(out, sizeof out, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", values[0], values[1], values[2], values[3],
                  values[4], values[5], values[6]);
    utc = out;
    return true;
}

bool CLineFigures::Open(const std::string& path, std::string& error)
{
    std::lock_guard lock(m_mutex);
    m_strPath = path;
    return static_cast<bool>(CConnection(m_strPath, error));
}

CLineFigures::CConnection::CConnection(const std::string& path, std::string& error)
{
    // Read only: the page and the report never change the line's record.
    if (sqlite3_open_v2(path.c_str(), &m_pDb, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        error = "cannot open the database " + path + ": " + sqlite3_errmsg(m_pDb);
        return;
    }
    sqlite3_busy_timeout(m_pDb, 2000);
    CStatement check(m_pDb, "SELECT count(*) FROM unit_records WHERE 0");
    m_bReady = check.Prepared() && check.Step() == SQLITE_ROW;
    if (!m_bReady) {
        error = "cannot read the database " + path + ": " + sqlite3_errmsg(m_pDb) +
                " (is it one that 'line collect' writes?)";
    }
}

CLineFigures::CConnection::~CConnection()
{
    sqlite3_close(m_pDb);
}

bool CLineFigures::Figures(const FigureRange& range, LineFigures& figures, std::string& error)
{
    std::lock_guard lock(m_mutex);
    figures = LineFigures{};
    figures.range = range;
    const CConnection db(m_strPath, error);
    if (!db)
        return false;
    CStatement query(db.Get(), kFiguresSql);
    if (!query.Prepared())
        return Failed(db.Get(), error);
    query.Bind(1, range.strSince).Bind(2, range.strUntil);

    struct StationWork {
        StationFigures figures;
        std::vector<int64_t> cycles;
        std::map<std::string, HourCount> hours;
    };
    std::map<std::string, StationWork> stations;
    std::map<std::string, int> attempts;  // unit key -> attempts so far
    std::map<std::string, int> reasons;
    int step;
    while ((step = query.Step()) == SQLITE_ROW) {
        StationWork& station = stations[query.Text(0)];
        const std::string result = query.Text(2);
        if (result != "passed" && result != "failed") {
            ++station.figures.nSkipped;
            ++figures.nSkipped;
            continue;
        }
        const bool passed = result == "passed";
        (passed ? station.figures.nPassed : station.figures.nFailed)++;
        (passed ? figures.nPassed : figures.nFailed)++;
        station.cycles.push_back(query.Number(5));
        const std::string time = query.Text(6);
        HourCount& hour = station.hours[time.substr(0, 13)];
        (passed ? hour.nPassed : hour.nFailed)++;
        if (!passed) {
            const std::string reason = query.Text(4);
            ++reasons[query.Text(3) + (reason.empty() ? "" : "/" + reason)];
        }
        const std::string serial = query.Text(7);
        const int tries = ++attempts[serial.empty() ? "u:" + query.Text(1) : "s:" + serial];
        if (tries == 1) {
            ++figures.nUnits;
            figures.nFirstPassed += passed;
        } else if (tries == 2) {
            ++figures.nRetried;
        }
    }
    if (step != SQLITE_DONE)
        return Failed(db.Get(), error);

    for (auto& [name, work] : stations) {
        std::sort(work.cycles.begin(), work.cycles.end());
        work.figures.strStation = name;
        work.figures.nCycleMedianMs = NearestRank(work.cycles, 0.5);
        work.figures.nCycleP90Ms = NearestRank(work.cycles, 0.9);
        for (auto& [hourText, count] : work.hours) {
            count.strHour = hourText;
            work.figures.hours.push_back(count);
        }
        figures.stations.push_back(std::move(work.figures));
    }
    for (const auto& [reason, count] : reasons)
        figures.pareto.push_back({reason, count});
    std::stable_sort(figures.pareto.begin(), figures.pareto.end(),
                     [](const ParetoRow& a, const ParetoRow& b) { return a.nCount > b.nCount; });
    return true;
}

bool CLineFigures::Stations(const std::string& since, std::vector<StationRecord>& stations, std::string& error)
{
    std::lock_guard lock(m_mutex);
    stations.clear();
    const CConnection db(m_strPath, error);
    if (!db)
        return false;
    CStatement newest(db.Get(), kStationsSql);
    if (!newest.Prepared())
        return Failed(db.Get(), error);
    newest.Bind(1, since);
    int step;
    while ((step = newest.Step()) == SQLITE_ROW)
        stations.push_back({newest.Text(0), newest.Text(1), newest.Text(2), {}});
    if (step != SQLITE_DONE)
        return Failed(db.Get(), error);
    CStatement underWay(db.Get(), kUnderWaySql);
    if (!underWay.Prepared())
        return Failed(db.Get(), error);
    underWay.Bind(1, since);
    while ((step = underWay.Step()) == SQLITE_ROW) {
        const std::string name = underWay.Text(0);
        auto it = std::find_if(stations.begin(), stations.end(),
                               [&name](const StationRecord& s) { return s.strStation == name; });
        if (it != stations.end())
            it->underWay.push_back({underWay.Text(1), underWay.Text(2), underWay.Text(3), underWay.Text(4)});
    }
    return step == SQLITE_DONE || Failed(db.Get(), error);
}

bool CLineFigures::FindUnits(const UnitQuery& query, int limit, std::vector<std::string>& records, std::string& error)
{
    std::lock_guard lock(m_mutex);
    records.clear();
    const CConnection db(m_strPath, error);
    if (!db)
        return false;
    CStatement find(db.Get(), kFindSql);
    if (!find.Prepared())
        return Failed(db.Get(), error);
    find.Bind(1, query.strSerial).Bind(2, query.strIdentity).Bind(3, query.strStation);
    find.Bind(4, query.range.strSince).Bind(5, query.range.strUntil).Bind(6, static_cast<int64_t>(limit));
    int step;
    while ((step = find.Step()) == SQLITE_ROW)
        records.push_back(find.Text(0));
    return step == SQLITE_DONE || Failed(db.Get(), error);
}

CLineFigures::Stamp CLineFigures::Changes()
{
    std::lock_guard lock(m_mutex);
    Stamp stamp;
    struct stat file {};
    if (stat(m_strPath.c_str(), &file) == 0)
        stamp.file = {file.st_mtim.tv_sec, file.st_mtim.tv_nsec, file.st_size};
    if (stat((m_strPath + "-wal").c_str(), &file) == 0)
        stamp.log = {file.st_mtim.tv_sec, file.st_mtim.tv_nsec, file.st_size};
    return stamp;
}
