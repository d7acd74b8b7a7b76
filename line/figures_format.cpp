#include "line/figures_format.h"

#include <cstdio>
#include <nlohmann/json.hpp>

namespace {

// A share of whole, or null when there is nothing to share.
nlohmann::json Ratio(int part, int whole)
{
    return whole == 0 ? nlohmann::json(nullptr) : nlohmann::json(static_cast<double>(part) / whole);
}

nlohmann::json TextOrNull(const std::string& text)
{
    return text.empty() ? nlohmann::json(nullptr) : nlohmann::json(text);
}

nlohmann::json MsOrNull(int64_t ms)
{
    return ms < 0 ? nlohmann::json(nullptr) : nlohmann::json(ms);
}

std::string Percent(int part, int whole)
{
    if (whole == 0)
        return "-";
    char text[16];
    std::snprintf(text, sizeof text, "%.1f %%", 100.0 * part / whole);
    return text;
}

std::string Seconds(int64_t ms)
{
    if (ms < 0)
        return "-";
    char text[24];
    std::snprintf(text, sizeof text, "%.1f s", ms / 1000.0);
    return text;
}

std::string Printable(const std::string& text)
{
    std::string out = text;
    for (char& c : out) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            c = '?';
    }
    return out;
}

// RFC 4180 quoting; a cell a spreadsheet would take for a formula is
// prefixed with a quote so that it stays text.
std::string Cell(const std::string& text)
{
    std::string cell = !text.empty() && std::string("=+-@").find(text[0]) != std::string::npos ? "'" + text : text;
    if (cell.find_first_of(",\"\r\n") == std::string::npos)
        return cell;
    std::string quoted = "\"";
    for (char c : cell)
        quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    return quoted + "\"";
}

std::string Number(const nlohmann::json& value)
{
    return value.is_null() ? "" : value.dump();
}

}  // namespace

std::string FiguresJson(const LineFigures& figures)
{
    nlohmann::json stations = nlohmann::json::array();
    for (const StationFigures& s : figures.stations) {
        nlohmann::json hours = nlohmann::json::array();
        for (const HourCount& h : s.hours)
            hours.push_back({{"hour", h.strHour}, {"passed", h.nPassed}, {"failed", h.nFailed}});
        stations.push_back({{"station", s.strStation},
                            {"passed", s.nPassed},
                            {"failed", s.nFailed},
                            {"skipped", s.nSkipped},
                            {"yield", Ratio(s.nPassed, s.nPassed + s.nFailed)},
                            {"cycle_median_ms", MsOrNull(s.nCycleMedianMs)},
                            {"cycle_p90_ms", MsOrNull(s.nCycleP90Ms)},
                            {"hours", hours}});
    }
    nlohmann::json pareto = nlohmann::json::array();
    for (const ParetoRow& row : figures.pareto)
        pareto.push_back({{"reason", row.strReason}, {"count", row.nCount}});
    const nlohmann::json json = {{"since", TextOrNull(figures.range.strSince)},
                                 {"until", TextOrNull(figures.range.strUntil)},
                                 {"passed", figures.nPassed},
                                 {"failed", figures.nFailed},
                                 {"skipped", figures.nSkipped},
                                 {"yield", Ratio(figures.nPassed, figures.nPassed + figures.nFailed)},
                                 {"units", figures.nUnits},
                                 {"first_pass", figures.nFirstPassed},
                                 {"retried", figures.nRetried},
                                 {"first_pass_yield", Ratio(figures.nFirstPassed, figures.nUnits)},
                                 {"pareto", pareto},
                                 {"stations", stations}};
    // Invalid UTF-8 from a record is replaced, not thrown over.
    return json.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string FiguresCsv(const LineFigures& figures)
{
    std::string csv = "kind,station,hour,reason,count,passed,failed,skipped,yield,first_pass_yield,cycle_median_ms,"
                      "cycle_p90_ms\r\n";
    auto row = [&csv](const std::vector<std::string>& cells) {
        for (size_t i = 0; i < cells.size(); ++i)
            csv += (i ? "," : "") + cells[i];
        csv += "\r\n";
    };
    const std::string passed = std::to_string(figures.nPassed), failed = std::to_string(figures.nFailed);
    row({"line", "", "", "", "", passed, failed, std::to_string(figures.nSkipped),
         Number(Ratio(figures.nPassed, figures.nPassed + figures.nFailed)),
         Number(Ratio(figures.nFirstPassed, figures.nUnits)), "", ""});
    for (const StationFigures& s : figures.stations) {
        row({"station", Cell(s.strStation), "", "", "", std::to_string(s.nPassed), std::to_string(s.nFailed),
             std::to_string(s.nSkipped), Number(Ratio(s.nPassed, s.nPassed + s.nFailed)), "",
             Number(MsOrNull(s.nCycleMedianMs)), Number(MsOrNull(s.nCycleP90Ms))});
        for (const HourCount& h : s.hours) {
            row({"hour", Cell(s.strStation), h.strHour, "", "", std::to_string(h.nPassed), std::to_string(h.nFailed),
                 "", "", "", "", ""});
        }
    }
    for (const ParetoRow& p : figures.pareto)
        row({"failure", "", "", Cell(p.strReason), std::to_string(p.nCount), "", "", "", "", "", "", ""});
    return csv;
}

std::string FiguresText(const LineFigures& figures)
{
    const LineFigures& f = figures;
    std::string text = "line report: " + (f.range.strSince.empty() ? "(start)" : f.range.strSince) + " .. " +
                       (f.range.strUntil.empty() ? "(now)" : f.range.strUntil) + "\n";
    text += "units: " + std::to_string(f.nPassed) + " passed, " + std::to_string(f.nFailed) + " failed, " +
            std::to_string(f.nSkipped) + " skipped; yield " + Percent(f.nPassed, f.nPassed + f.nFailed) + "\n";
    text += "first pass: " + std::to_string(f.nFirstPassed) + " of " + std::to_string(f.nUnits) +
            " units passed at their first attempt (" + Percent(f.nFirstPassed, f.nUnits) + "), " +
            std::to_string(f.nRetried) + " retried\n";
    char row[512];
    std::snprintf(row, sizeof row, "\n%-20s %7s %7s %7s %8s %12s %10s\n", "STATION", "PASSED", "FAILED", "SKIPPED",
                  "YIELD", "CYCLE MEDIAN", "CYCLE P90");
    text += row;
    for (const StationFigures& s : f.stations) {
        std::snprintf(row, sizeof row, "%-20s %7d %7d %7d %8s %12s %10s\n", Printable(s.strStation).c_str(), s.nPassed,
                      s.nFailed, s.nSkipped, Percent(s.nPassed, s.nPassed + s.nFailed).c_str(),
                      Seconds(s.nCycleMedianMs).c_str(), Seconds(s.nCycleP90Ms).c_str());
        text += row;
    }
    if (!f.pareto.empty()) {
        std::snprintf(row, sizeof row, "\n%-32s %7s %8s %10s\n", "FAILURE", "COUNT", "SHARE", "CUMULATIVE");
        text += row;
        int cumulative = 0;
        for (const ParetoRow& p : f.pareto) {
            cumulative += p.nCount;
            std::snprintf(row, sizeof row, "%-32s %7d %8s %10s\n", Printable(p.strReason).c_str(), p.nCount,
                          Percent(p.nCount, f.nFailed).c_str(), Percent(cumulative, f.nFailed).c_str());
            text += row;
        }
    }
    std::snprintf(row, sizeof row, "\n%-20s %-13s %7s %7s\n", "STATION", "HOUR (UTC)", "PASSED", "FAILED");
    text += row;
    for (const StationFigures& s : f.stations) {
        for (const HourCount& h : s.hours) {
            std::snprintf(row, sizeof row, "%-20s %-13s %7d %7d\n", Printable(s.strStation).c_str(), h.strHour.c_str(),
                          h.nPassed, h.nFailed);
            text += row;
        }
    }
    return text;
}
