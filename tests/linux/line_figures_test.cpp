#include <httplib.h>
#include <unistd.h>

#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <tuple>
#include <vector>

#include "line/figures_format.h"
#include "line/line_figures.h"
#include "line/line_page.h"
#include "cli_test_support.h"
#include "base/clock.h"
#include "line/record_db.h"

namespace {

namespace fs = std::filesystem;

// One unit record as a station's log writes it.
struct Rec {
    const char* station;
    const char* record;  // unit-start or unit-end
    const char* unit;    // "" for a skipped unit that never started
    const char* run;
    const char* time;  // HH:MM on 2026-12-10
    const char* result;
    const char* exitName;
    int durationMs;
    const char* serial;  // "" when the record has none
};

// A known shift on two stations: serials S1 (passed, then failed on the
// other station), S2 (failed, then passed), S3 (failed twice), a unit without
// a serial, a skipped device, and units just outside 06:00..14:00.
const Rec kShift[] = {
    {"bench-1", "unit-end", "u1", "r1", "06:10", "passed", "success", 10000, "S1"},
    {"bench-1", "unit-end", "u2", "r1", "06:20", "failed", "send-failure", 4000, "S2"},
    {"bench-1", "unit-end", "u3", "r1", "06:40", "passed", "success", 12000, "S2"},
    {"bench-1", "unit-end", "u4", "r1", "07:05", "failed", "no-return", 30000, "S3"},
    {"bench-1", "unit-end", "u5", "r1", "07:30", "failed", "no-return", 31000, "S3"},
    {"bench-1", "unit-end", "u6", "r1", "07:50", "passed", "success", 11000, ""},
    {"bench-1", "unit-end", "", "r1", "07:55", "skipped", "wrong-device", 0, ""},
    {"bench-2", "unit-end", "u7", "r2", "06:15", "passed", "success", 9000, "S4"},
    {"bench-2", "unit-end", "u8", "r2", "06:50", "failed", "wrong-revision", 15000, "S1"},
    {"bench-2", "unit-end", "u9", "r2", "08:00", "failed", "interrupted", 2000, "S5"},
    {"bench-2", "unit-end", "u10", "r2", "05:59", "passed", "success", 9000, "S6"},
    {"bench-2", "unit-end", "u11", "r2", "14:00", "passed", "success", 9000, "S7"},
    // Under way: u12 in bench-1's newest run; u0 of an older run never ended.
    {"bench-1", "unit-start", "u0", "r0", "05:00", "", "", 0, "S8"},
    {"bench-1", "unit-start", "u12", "r1", "13:59", "", "", 0, "S9"},
    {"bench-1", "unit-start", "u2", "r1", "06:19", "", "", 0, "S2"},
};

std::string Json(const Rec& r, int n)
{
    std::string json = std::string("{\"record\":\"") + r.record + "\",\"id\":\"id" + std::to_string(n) + "\"";
    if (*r.unit)
        json += std::string(",\"unit\":\"") + r.unit + "\"";
    json += std::string(",\"run\":\"") + r.run + "\",\"time\":\"2026-12-10T" + r.time + ":00.000Z\"";
    json += std::string(",\"device\":\"D:\",\"station\":\"") + r.station + "\"";
    if (std::string(r.record) == "unit-end") {
        const bool passed = std::string(r.result) == "passed";
        json += std::string(",\"result\":\"") + r.result + "\",\"exit_code\":" + (passed ? "0" : "6") +
                ",\"exit_name\":\"" + r.exitName + "\",\"duration_ms\":" + std::to_string(r.durationMs);
    }
    if (*r.serial)
        json += std::string(",\"serial\":\"") + r.serial + "\"";
    return json + ",\"identity\":\"KTDEV KT3916 FLASHER\"}";
}

// Stores one record as the collector would; the id it names is not needed.
CRecordDb::Added Store(CRecordDb& db, const std::string& json, const std::string& station, const char* source,
                       std::string& why)
{
    std::string id;
    return db.Add(json, station, source, id, why);
}

// The database's files, removed once every connection to them is closed:
// SQLite keeps what it knows of an open file by its inode, which a new file
// may get again.
struct DbFiles {
    fs::path path = fs::temp_directory_path() / ("kt3916-figures-" + std::to_string(getpid()) + ".db");
    ~DbFiles()
    {
        for (const char* end : {"", "-wal", "-shm"})
            fs::remove(path.string() + end);
    }
};

class LineFiguresTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        CRecordDb db;
        std::string error;
        ASSERT_TRUE(db.Open(m_path.string(), error)) << error;
        int n = 0;
        for (const Rec& r : kShift)
            ASSERT_EQ(Store(db, Json(r, ++n), r.station, "import", error), CRecordDb::Added::Stored) << error;
        ASSERT_TRUE(m_figures.Open(m_path.string(), error)) << error;
    }
    DbFiles m_files;  // before the connections: it goes after them
    const fs::path& m_path = m_files.path;
    CLineFigures m_figures;
};

struct StationRow {
    const char* station;
    int passed, failed, skipped;
    int64_t median, p90;
    std::vector<std::tuple<std::string, int, int>> hours;
};

TEST_F(LineFiguresTest, YieldFirstPassParetoAndCycleTimesOfARange)
{
    struct {
        const char* since;
        const char* until;
        int passed, failed, skipped, units, firstPassed, retried;
        std::vector<std::pair<std::string, int>> pareto;
        std::vector<StationRow> stations;
    } rows[] = {
        {"2026-12-10T06:00:00.000Z",
         "2026-12-10T14:00:00.000Z",
         4,
         5,
         1,
         6,
         3,
         3,
         {{"no-return", 2}, {"interrupted", 1}, {"send-failure", 1}, {"wrong-revision", 1}},
         {{"bench-1", 3, 3, 1, 11000, 31000, {{"2026-12-10T06", 2, 1}, {"2026-12-10T07", 1, 2}}},
          {"bench-2", 1, 2, 0, 9000, 15000, {{"2026-12-10T06", 1, 1}, {"2026-12-10T08", 0, 1}}}}},
        // The end is not part of the range: u9 at 08:00 is left out.
        {"2026-12-10T07:00:00.000Z",
         "2026-12-10T08:00:00.000Z",
         1,
         2,
         1,
         2,
         1,
         1,
         {{"no-return", 2}},
         {{"bench-1", 1, 2, 1, 30000, 31000, {{"2026-12-10T07", 1, 2}}}}},
        // Open at both ends: the units before and after the shift count too.
        {"",
         "",
         6,
         5,
         1,
         8,
         5,
         3,
         {{"no-return", 2}, {"interrupted", 1}, {"send-failure", 1}, {"wrong-revision", 1}},
         {{"bench-1", 3, 3, 1, 11000, 31000, {{"2026-12-10T06", 2, 1}, {"2026-12-10T07", 1, 2}}},
          {"bench-2",
           3,
           2,
           0,
           9000,
           15000,
           {{"2026-12-10T05", 1, 0}, {"2026-12-10T06", 1, 1}, {"2026-12-10T08", 0, 1}, {"2026-12-10T14", 1, 0}}}}},
        {"2026-12-11T00:00:00.000Z", "", 0, 0, 0, 0, 0, 0, {}, {}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.since) + " .. " + row.until);
        LineFigures f;
        std::string error;
        ASSERT_TRUE(m_figures.Figures({row.since, row.until}, f, error)) << error;
        EXPECT_EQ(std::make_tuple(f.nPassed, f.nFailed, f.nSkipped, f.nUnits, f.nFirstPassed, f.nRetried),
                  std::make_tuple(row.passed, row.failed, row.skipped, row.units, row.firstPassed, row.retried));
        std::vector<std::pair<std::string, int>> pareto;
        for (const ParetoRow& p : f.pareto)
            pareto.emplace_back(p.strReason, p.nCount);
        EXPECT_EQ(pareto, row.pareto);
        ASSERT_EQ(f.stations.size(), row.stations.size());
        for (size_t i = 0; i < f.stations.size(); ++i) {
            const StationFigures& s = f.stations[i];
            const StationRow& want = row.stations[i];
            EXPECT_EQ(std::make_tuple(s.strStation, s.nPassed, s.nFailed, s.nSkipped, s.nCycleMedianMs, s.nCycleP90Ms),
                      std::make_tuple(std::string(want.station), want.passed, want.failed, want.skipped, want.median,
                                      want.p90));
            std::vector<std::tuple<std::string, int, int>> hours;
            for (const HourCount& h : s.hours)
                hours.emplace_back(h.strHour, h.nPassed, h.nFailed);
            EXPECT_EQ(hours, want.hours);
        }
    }
}

TEST_F(LineFiguresTest, JsonCarriesTheSharesAndNullForWhatHasNone)
{
    LineFigures f;
    std::string error;
    ASSERT_TRUE(m_figures.Figures({"2026-12-10T06:00:00.000Z", "2026-12-10T14:00:00.000Z"}, f, error));
    const std::string json = FiguresJson(f);
    for (const char* part :
         {"\"yield\":0.4444444444444444", "\"first_pass_yield\":0.5", "\"units\":6",
          "\"until\":\"2026-12-10T14:00:00.000Z\"", "\"cycle_p90_ms\":31000", "{\"count\":2,\"reason\":\"no-return\"}"})
        EXPECT_NE(json.find(part), std::string::npos) << part << " in " << json;
    ASSERT_TRUE(m_figures.Figures({"2026-12-11T00:00:00.000Z", ""}, f, error));
    EXPECT_EQ(FiguresJson(f), "{\"failed\":0,\"first_pass\":0,\"first_pass_yield\":null,\"pareto\":[],\"passed\":0,"
                              "\"retried\":0,\"since\":\"2026-12-11T00:00:00.000Z\",\"skipped\":0,\"stations\":[],"
                              "\"units\":0,\"until\":null,\"yield\":null}");
}

TEST(LineFiguresFormat, TextsFromRecordsStayTextInCsvAndOnATerminal)
{
    LineFigures f;
    f.nFailed = 1;
    f.stations.push_back({"=HYPERLINK(\"x\"),a", 0, 1, 0, 5, 5, {{"2026-12-10T06", 0, 1}}});
    f.stations.push_back({"bench\x1b[2J", 1, 0, 0, 5, 5, {}});
    f.pareto.push_back({"no-return", 1});
    const std::string csv = FiguresCsv(f);
    EXPECT_NE(csv.find("station,\"'=HYPERLINK(\"\"x\"\"),a\",,,,0,1,0,0.0,,5,5\r\n"), std::string::npos) << csv;
    EXPECT_NE(csv.find("hour,\"'=HYPERLINK(\"\"x\"\"),a\",2026-12-10T06,,,0,1,"), std::string::npos) << csv;
    EXPECT_NE(csv.find("failure,,,no-return,1,"), std::string::npos) << csv;
    const std::string text = FiguresText(f);
    EXPECT_EQ(text.find('\x1b'), std::string::npos);
    EXPECT_NE(text.find("bench?[2J"), std::string::npos) << text;
    EXPECT_NE(text.find("no-return                              1  100.0 %"), std::string::npos) << text;
}

TEST_F(LineFiguresTest, StationsShowTheirNewestRunsUnfinishedUnitsAndSearchFindsEveryRecordOfAUnit)
{
    std::vector<StationRecord> stations;
    std::string error;
    ASSERT_TRUE(m_figures.Stations("", stations, error)) << error;
    ASSERT_EQ(stations.size(), 2u);
    EXPECT_EQ(std::make_tuple(stations[0].strStation, stations[0].strLastTime, stations[0].strLastResult),
              std::make_tuple(std::string("bench-1"), std::string("2026-12-10T13:59:00.000Z"), std::string("skipped")));
    ASSERT_EQ(stations[0].underWay.size(), 1u) << "u0 of an older run is not under way";
    EXPECT_EQ(stations[0].underWay[0].strUnit + " " + stations[0].underWay[0].strSerial, "u12 S9");
    EXPECT_EQ(std::make_tuple(stations[1].strLastResult, stations[1].underWay.size()),
              std::make_tuple(std::string("passed"), size_t{0}));
    // Since 13:59, the time of u12's start: it counts.
    ASSERT_TRUE(m_figures.Stations("2026-12-10T13:59:00.000Z", stations, error)) << error;
    ASSERT_EQ(stations.size(), 2u);
    EXPECT_EQ(std::make_tuple(stations[0].strLastResult, stations[0].underWay.size()),
              std::make_tuple(std::string(""), size_t{1}))
        << "bench-1's only record since then is u12's start";
    // Since 13:59:30: bench-2's last end alone.
    ASSERT_TRUE(m_figures.Stations("2026-12-10T13:59:30.000Z", stations, error)) << error;
    ASSERT_EQ(stations.size(), 1u);
    EXPECT_EQ(stations[0].strStation + " " + stations[0].strLastResult, "bench-2 passed");

    struct {
        UnitQuery query;
        int limit;
        std::vector<std::string> ids;
    } rows[] = {
        {{"S2", "", "", {}}, 10, {"id15", "id2", "id3"}},
        {{"S1", "", "bench-2", {}}, 10, {"id9"}},
        {{"", "KT3916", "", {"2026-12-10T07:00:00.000Z", "2026-12-10T07:40:00.000Z"}}, 10, {"id4", "id5"}},
        {{"", "", "bench-2", {}}, 2, {"id10", "id12"}},  // the newest units, oldest record first
        {{"", "OTHERCO", "", {}}, 10, {}},
        // A range holds its start and not its end.
        {{"", "", "bench-2", {"", "2026-12-10T08:00:00.000Z"}}, 10, {"id11", "id8", "id9"}},
        {{"", "", "", {"2026-12-10T14:00:00.000Z", ""}}, 10, {"id12"}},
    };
    for (const auto& row : rows) {
        std::vector<std::string> records;
        ASSERT_TRUE(m_figures.FindUnits(row.query, row.limit, records, error)) << error;
        std::vector<std::string> ids;
        for (const std::string& r : records) {
            const size_t at = r.find("\"id\":\"") + 6;
            ids.push_back(r.substr(at, r.find('"', at) - at));
        }
        EXPECT_EQ(ids, row.ids) << row.query.strSerial << row.query.strStation;
    }
}

TEST(LineFiguresTimes, RangeTimesTakeTheRecordsFormOrAreRefused)
{
    struct {
        const char* text;
        const char* utc;  // null: refused
    } rows[] = {
        {"2026-12-10", "2026-12-10T00:00:00.000Z"},
        {"2026-12-10T06", "2026-12-10T06:00:00.000Z"},
        {"2026-12-10 06:30", "2026-12-10T06:30:00.000Z"},
        {"2026-12-10T06:30:15Z", "2026-12-10T06:30:15.000Z"},
        {"2026-12-10T06:30:15.250Z", "2026-12-10T06:30:15.250Z"},
        {"2026-12-10T00:00:00.000Z", "2026-12-10T00:00:00.000Z"},
        {"1970-01-01 23:59:59.999", "1970-01-01T23:59:59.999Z"},
        {"1969-12-31", nullptr},
        {"2026-00-10", nullptr},
        {"2026-12-32", nullptr},
        {"2026x12-10", nullptr},
        {"2026-12x10", nullptr},
        {"2026-12-10T06x30", nullptr},
        {"2026-12-10T06:30x15", nullptr},
        {"2026-12-10T06:30:15x250", nullptr},
        {"2026-12-10T06:30:15.250ZZ", nullptr},
        {"2026-12", nullptr},
        {"2026-1/-10", nullptr},
        {"2026-12-10T24:00", nullptr},
        {"2026-13-01", nullptr},
        {"2026-12-10T06:3", nullptr},
        {"2026-12-10X06", nullptr},
        {"10.12.2026", nullptr},
        {"", nullptr},
        {"2026-12-10T06:30:15.2", nullptr},
    };
    for (const auto& row : rows) {
        std::string utc = "unchanged";
        EXPECT_EQ(ParseRangeTime(row.text, utc), row.utc != nullptr) << row.text;
        EXPECT_EQ(utc, row.utc ? row.utc : "unchanged") << row.text;
    }
}

// Each query reads the file the path names now: a database put in its
// place (a restored copy) is read, a removed one is said.
TEST_F(LineFiguresTest, EachQueryReadsTheFileThePathNamesNow)
{
    const CLineFigures::Stamp before = m_figures.Changes();
    const std::string other = m_path.string() + ".restored";
    {
        CRecordDb db;
        std::string error;
        ASSERT_TRUE(db.Open(other, error)) << error;
        Rec restored = kShift[0];
        restored.station = "bench-7";
        ASSERT_EQ(Store(db, Json(restored, 1), "bench-7", "import", error), CRecordDb::Added::Stored) << error;
    }
    fs::rename(other, m_path);
    EXPECT_FALSE(m_figures.Changes() == before);
    LineFigures f;
    std::string error;
    ASSERT_TRUE(m_figures.Figures({}, f, error)) << error;
    ASSERT_EQ(f.stations.size(), 1u);
    EXPECT_EQ(f.stations[0].strStation + " " + std::to_string(f.nPassed), "bench-7 1");
    fs::remove(m_path);
    EXPECT_FALSE(m_figures.Figures({}, f, error));
    EXPECT_NE(error.find("cannot open the database " + m_path.string()), std::string::npos) << error;
}

TEST(LineFiguresOpen, ANonDatabaseOrAMissingFileIsSaidAndNothingIsCreated)
{
    const fs::path dir = fs::temp_directory_path() / ("kt3916-figures-open-" + std::to_string(getpid()));
    fs::create_directories(dir);
    std::ofstream(dir / "text.db") << "not a database\n";
    for (const char* name : {"missing.db", "text.db"}) {
        CLineFigures figures;
        std::string error;
        EXPECT_FALSE(figures.Open((dir / name).string(), error)) << name;
        EXPECT_NE(error.find((dir / name).string()), std::string::npos) << error;
    }
    EXPECT_FALSE(fs::exists(dir / "missing.db"));
    fs::remove_all(dir);
}

}  // namespace

namespace {

TEST(LinePageAddress, HostAndPortOrSayWhatIsWrong)
{
    const struct {
        const char* text;
        const char* host;  // null: refused
        int port;
    } rows[] = {
        {"127.0.0.1:8391", "127.0.0.1", 8391},
        {"[::1]:0", "::1", 0},
        {"localhost:65535", "localhost", 65535},
        {"127.0.0.1", nullptr, 0},
        {":8391", nullptr, 0},
        {"127.0.0.1:65536", nullptr, 0},
        {"127.0.0.1:-1", nullptr, 0},
        {"127.0.0.1:80x", nullptr, 0},
        {"[::1:80", nullptr, 0},
        {"127.0.0.1:", nullptr, 0},
    };
    for (const auto& row : rows) {
        std::string host = "unchanged", error;
        int port = -2;
        EXPECT_EQ(ParseHttpAddress(row.text, host, port, error), row.host != nullptr) << row.text;
        EXPECT_EQ(host, row.host ? row.host : "unchanged") << row.text;
        EXPECT_EQ(port, row.host ? row.port : -2) << row.text;
        EXPECT_EQ(error.empty(), row.host != nullptr) << row.text;
    }
}

class LinePageTest : public LineFiguresTest {
protected:
    void SetUp() override
    {
        LineFiguresTest::SetUp();
        std::string error;
        ASSERT_TRUE(m_page.Start("127.0.0.1", 0, error)) << error;
    }
    httplib::Result Get(const std::string& path) { return httplib::Client("127.0.0.1", m_page.Port()).Get(path); }
    CLinePage m_page{m_figures};
};

TEST_F(LinePageTest, TheDataIsTheReportsAndThePageComesFromTheServerAlone)
{
    const FigureRange range{"2026-12-10T06:00:00.000Z", "2026-12-10T14:00:00.000Z"};
    LineFigures figures;
    std::string error;
    ASSERT_TRUE(m_figures.Figures(range, figures, error));
    const struct {
        std::string path;
        int status;
        const char* type;
        std::string body;  // what the body starts with
    } rows[] = {
        {"/api/figures?since=2026-12-10T06:00&until=2026-12-10T14:00", 200, "application/json", FiguresJson(figures)},
        {"/api/figures.csv?since=2026-12-10T06:00&until=2026-12-10T14", 200, "text/csv; charset=utf-8",
         FiguresCsv(figures)},
        {"/api/figures?since=bad", 400, "text/plain; charset=utf-8", "since: 'bad' is no UTC time"},
        {"/api/units?until=2026-12-10T25:00", 400, "text/plain; charset=utf-8", "until: '2026-12-10T25:00'"},
        {"/api/units?serial=S1&station=bench-2", 200, "application/json",
         "{\"limit\":50,\"records\":[{\"device\":\"D:\",\"duration_ms\":15000,\"exit_code\":6,\"exit_name\":"
         "\"wrong-revision\",\"id\":\"id9\""},
        {"/", 200, "text/html; charset=utf-8", "<!DOCTYPE html>"},
        {"/page.js", 200, "text/javascript; charset=utf-8", "// The line's page."},
        {"/page.css", 200, "text/css; charset=utf-8", ":root {"},
    };
    for (const auto& row : rows) {
        const httplib::Result result = Get(row.path);
        ASSERT_TRUE(result) << row.path;
        EXPECT_EQ(result->status, row.status) << row.path;
        EXPECT_EQ(result->get_header_value("Content-Type"), row.type) << row.path;
        EXPECT_EQ(result->body.substr(0, row.body.size()), row.body) << row.path;
        EXPECT_NE(result->get_header_value("Content-Security-Policy").find("script-src 'self'"), std::string::npos);
    }
    CLinePage second(m_figures);
    EXPECT_FALSE(second.Start("127.0.0.1", m_page.Port(), error)) << "a second server on the same port";
    EXPECT_NE(error.find("Address already in use"), std::string::npos) << error;
    const httplib::Result units = Get("/api/units?serial=S1&station=bench-2");
    ASSERT_TRUE(units);
    EXPECT_NE(units->body.find("\"station\":\"bench-2\""), std::string::npos) << units->body;
}

TEST_F(LinePageTest, TheBoardJoinsTheStationsStatusToTheirRecentRecords)
{
    const std::string image = R"("image_length":524288,"checksum":"1A2B","sha256":"ab12")";
    m_page.LineMessage("", R"({"name":"fw.bin","length":524288,"checksum":"1A2B","sha256":"ab12"})");
    m_page.LineMessage("bench-1", R"({"state":"flashing",)" + image + "}");
    m_page.LineMessage("bench-2", R"({"state":"waiting","image_length":524288,"checksum":"1A2B","sha256":"ff00"})");
    m_page.LineMessage("bench-3", "not json");
    m_page.LineMessage("bench-4", R"({"state":"waiting"})");
    m_page.LineMessage("bench-4", "");  // its retained status was removed
    {
        // A unit that started just now on a station without a status.
        CRecordDb db;
        std::string error;
        ASSERT_TRUE(db.Open(m_path.string(), error)) << error;
        const std::string start = R"({"record":"unit-start","id":"now-1","unit":"r5-u1","run":"r5","time":")" +
                                  NowUtcText() + R"(","device":"E:","serial":"S50"})";
        ASSERT_EQ(Store(db, start, "bench-5", "line", error), CRecordDb::Added::Stored) << error;
    }
    const httplib::Result result = Get("/api/board");
    ASSERT_TRUE(result);
    const nlohmann::json board = nlohmann::json::parse(result->body, nullptr, false);
    ASSERT_TRUE(board.is_object()) << result->body;
    EXPECT_EQ(board["approved"]["name"], "fw.bin");
    EXPECT_TRUE(board["now"].is_string());
    std::map<std::string, nlohmann::json> stations;
    for (const nlohmann::json& station : board["stations"])
        stations[station["station"]] = station;
    EXPECT_EQ(stations.count("bench-4"), 0u) << result->body;
    EXPECT_EQ(stations["bench-1"]["approved"], true);
    EXPECT_EQ(stations["bench-1"]["status"]["state"], "flashing");
    EXPECT_EQ(stations["bench-2"]["approved"], false) << "another digest";
    EXPECT_EQ(stations["bench-3"]["status"], "not json") << "kept as text, never dropped";
    EXPECT_EQ(stations["bench-5"]["status"], nullptr);
    EXPECT_EQ(stations["bench-5"]["under_way"].dump(), R"([{"device":"E:","serial":"S50","started":")" +
                                                           stations["bench-5"]["last_time"].get<std::string>() +
                                                           R"(","unit":"r5-u1"}])");
}

TEST_F(LinePageTest, AnOpenPageHearsOfEachNewRecordAndStatusAndOfTheEnd)
{
    std::mutex mutex;
    std::condition_variable heard;
    std::string events;
    std::thread listener([&]() {
        httplib::Client client("127.0.0.1", m_page.Port());
        client.Get("/api/events", [&](const char* data, size_t length) {
            std::lock_guard lock(mutex);
            events.append(data, length);
            heard.notify_all();
            return true;
        });
    });
    const auto count = [&](size_t n) {
        std::unique_lock lock(mutex);
        return heard.wait_for(lock, std::chrono::seconds(10), [&]() {
            size_t found = 0;
            for (size_t at = 0; (at = events.find("event: change\n", at)) != std::string::npos; ++at)
                ++found;
            return found >= n;
        });
    };
    EXPECT_TRUE(count(1)) << "at once, to load the page";
    // A collector that stays open: its write-ahead log appears, then holds
    // each record it stores.
    CRecordDb collector;
    std::string error;
    ASSERT_TRUE(collector.Open(m_path.string(), error)) << error;
    EXPECT_TRUE(count(2)) << "the collector's log";
    m_page.LineMessage("bench-1", R"({"state":"waiting"})");
    EXPECT_TRUE(count(3)) << "a station's status";
    const auto passed = [this]() {
        const httplib::Result all = Get("/api/figures");
        return all ? nlohmann::json::parse(all->body)["passed"].get<int>() : -1;
    };
    EXPECT_EQ(passed(), 6);
    const Rec end{"bench-1", "unit-end", "u13", "r1", "14:30", "passed", "success", 9000, "S10"};
    ASSERT_EQ(Store(collector, Json(end, 99), "bench-1", "line", error), CRecordDb::Added::Stored) << error;
    EXPECT_TRUE(count(4)) << "a record the collector stored";
    EXPECT_EQ(passed(), 7) << "the data as of the change, not as the page had it before";
    m_page.Stop();
    listener.join();  // the stream ended with the server
    EXPECT_EQ(events.rfind("retry: 1000\nevent: change\ndata: 1\n\n", 0), 0u) << events;
}

}  // namespace

namespace {

// line report and line serve as a user runs them: the figures of the range,
// in the form asked for, or why not and nothing else.
TEST_F(LineFiguresTest, TheReportPrintsItsRangesFiguresOrSaysWhyNot)
{
    LineFigures shift;
    std::string error;
    ASSERT_TRUE(m_figures.Figures({"2026-12-10T06:00:00.000Z", "2026-12-10T14:00:00.000Z"}, shift, error));
    const std::string db = m_path.string();
    const std::string missing = db + ".missing";
    const std::vector<std::string> range = {"--since", "2026-12-10T06:00", "--until", "2026-12-10 14"};
    const auto with = [&range](std::vector<std::string> args) {
        args.insert(args.end(), range.begin(), range.end());
        return args;
    };
    const struct {
        std::vector<std::string> args;
        int exit;
        std::string out;  // exactly
        const char* err;  // a part of it
    } rows[] = {
        {with({"line", "report", "--db", db, "--json"}), 0, FiguresJson(shift) + "\n", ""},
        {with({"line", "report", "--db", db, "--csv"}), 0, FiguresCsv(shift), ""},
        {with({"line", "report", "--db", db}), 0, FiguresText(shift), ""},
        {{"line", "report", "--db", db, "--since", "yesterday"}, 2, "", "--since 'yesterday': a UTC time like"},
        {{"line", "report", "--db", db, "--until", "2026-12-10T24"}, 2, "", "--until '2026-12-10T24'"},
        {{"line", "report", "--db", missing}, 1, "", "cannot open the database"},
        {{"line", "serve", "--db", missing, "--http", "127.0.0.1:0"}, 1, "", "cannot open the database"},
        {{"line", "serve", "--db", db, "--http", "127.0.0.1"}, 2, "", "--http '127.0.0.1': HOST:PORT"},
    };
    for (const auto& row : rows) {
        const cli_test::CliRun run = cli_test::RunTool(row.args);
        EXPECT_EQ(run.exit, row.exit) << run.err;
        EXPECT_EQ(run.out, row.out);
        EXPECT_NE(run.err.find(row.err), std::string::npos) << run.err;
    }
    EXPECT_FALSE(fs::exists(missing)) << "read only: nothing is created";
}

}  // namespace
