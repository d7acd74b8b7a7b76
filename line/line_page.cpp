#include "line/line_page.h"

#include <httplib.h>

#include <charconv>
#include <nlohmann/json.hpp>
#include <set>

#include "base/clock.h"
#include "line/figures_format.h"
#include "line/page_assets.h"

namespace {

constexpr int kUnitSearchLimit = 50;
constexpr size_t kCacheEntries = 64;
constexpr auto kIdleEvery = std::chrono::seconds(15);

// The page's script and styles come from this server only, and nothing
// inline runs: a record's text that slipped into the markup could not run.
constexpr char kSecurityPolicy[] =
    "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; connect-src 'self'; "
    "base-uri 'none'; form-action 'none'; frame-ancestors 'none'";

nlohmann::json ParsedOrText(const std::string& payload)
{
    nlohmann::json json = nlohmann::json::parse(payload, nullptr, false);
    return json.is_discarded() ? nlohmann::json(payload) : json;
}

std::string Dump(const nlohmann::json& json)
{
    return json.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

// The station's image is the approved one: length, sum and digest alike.
bool IsApproved(const nlohmann::json& status, const nlohmann::json& approved)
{
    if (!status.is_object() || !approved.is_object())
        return false;
    const auto same = [&](const char* ours, const char* theirs) {
        return status.contains(ours) && approved.contains(theirs) && status[ours] == approved[theirs];
    };
    return same("image_length", "length") && same("checksum", "checksum") && same("sha256", "sha256");
}

// A range of the query (since, until) in the records' form; false with the
// reason for a time that is not one.
bool RangeOf(const httplib::Request& request, FigureRange& range, std::string& error)
{
    for (auto [name, field] :
         {std::pair{"since", &FigureRange::strSince}, std::pair{"until", &FigureRange::strUntil}}) {
        const std::string text = request.get_param_value(name);
        if (!text.empty() && !ParseRangeTime(text, range.*field)) {
            error = std::string(name) + ": '" + text + "' is no UTC time like 2026-12-10T06:00";
            return false;
        }
    }
    return true;
}

void Refuse(httplib::Response& response, int status, const std::string& why)
{
    response.status = status;
    response.set_content(why + "\n", "text/plain; charset=utf-8");
}

}  // namespace

bool ParseHttpAddress(const std::string& text, std::string& host, int& port, std::string& error)
{
    const size_t colon = text.rfind(':');
    std::string name = colon == std::string::npos ? "" : text.substr(0, colon);
    if (name.size() > 2 && name.front() == '[' && name.back() == ']')
        name = name.substr(1, name.size() - 2);
    const std::string digits = colon == std::string::npos ? "" : text.substr(colon + 1);
    int value = -1;
    const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (name.empty() || name.find_first_of("[]") != std::string::npos || digits.empty() || ec != std::errc() ||
        end != digits.data() + digits.size() || value < 0 || value > 65535) {
        error = "--http '" + text + "': HOST:PORT (e.g. 127.0.0.1:8391, [::1]:8391; port 0 takes a free one)";
        return false;
    }
    host = name;
    port = value;
    return true;
}

CLinePage::CLinePage(CLineFigures& figures) : m_figures(figures), m_server(std::make_unique<httplib::Server>()) {}

CLinePage::~CLinePage()
{
    Stop();
}

void CLinePage::Changed()
{
    {
        std::lock_guard lock(m_mutex);
        ++m_nVersion;
    }
    m_changed.notify_all();
}

void CLinePage::LineMessage(const std::string& station, const std::string& payload)
{
    {
        std::lock_guard lock(m_mutex);
        if (station.empty())
            m_strApproved = payload;
        else if (payload.empty())
            m_statuses.erase(station);  // a retained status removed
        else
            m_statuses[station] = {payload, NowUtcText()};
    }
    Changed();
}

// New records show as the database's files change (two stat calls), so the
// page hears of a unit within kPollMs.
void CLinePage::Watch(CLineFigures::Stamp seen)
{
    std::unique_lock lock(m_mutex);
    while (!m_changed.wait_for(lock, std::chrono::milliseconds(kPollMs), [this]() { return m_bStopping; })) {
        lock.unlock();
        const CLineFigures::Stamp now = m_figures.Changes();
        lock.lock();
        if (!(now == seen)) {
            seen = now;
            ++m_nVersion;
            m_changed.notify_all();
        }
    }
}

CLinePage::Answer CLinePage::Cached(const std::string& key, const std::function<Answer()>& compute)
{
    std::lock_guard cacheLock(m_cacheMutex);
    uint64_t version;
    {
        std::lock_guard lock(m_mutex);
        version = m_nVersion;
    }
    if (version != m_nCachedVersion || m_cache.size() >= kCacheEntries) {
        m_cache.clear();
        m_nCachedVersion = version;
    }
    const auto it = m_cache.find(key);
    if (it != m_cache.end())
        return it->second;
    const Answer answer = compute();
    // A failure is not kept: the next page asks again.
    if (answer.first == 200)
        m_cache[key] = answer;
    return answer;
}

std::string CLinePage::BoardJson()
{
    std::vector<StationRecord> records;
    std::string error;
    char since[kTimeTextLength];
    FormatUtc(std::chrono::system_clock::now() - std::chrono::hours(kBoardHours), since);
    const bool read = m_figures.Stations(since, records, error);
    std::map<std::string, Status> statuses;
    std::string approvedText;
    {
        std::lock_guard lock(m_mutex);
        statuses = m_statuses;
        approvedText = m_strApproved;
    }
    const nlohmann::json approved = approvedText.empty() ? nlohmann::json(nullptr) : ParsedOrText(approvedText);
    std::map<std::string, nlohmann::json> stations;
    for (const auto& [name, status] : statuses) {
        const nlohmann::json parsed = ParsedOrText(status.strPayload);
        stations[name] = {{"station", name},
                          {"status", parsed},
                          {"status_received", status.strReceived},
                          {"approved", IsApproved(parsed, approved)},
                          {"last_time", nullptr},
                          {"last_result", nullptr},
                          {"under_way", nlohmann::json::array()}};
    }
    for (const StationRecord& record : records) {
        nlohmann::json& station = stations[record.strStation];
        if (!station.contains("status"))
            station = {{"station", record.strStation}, {"status", nullptr}, {"approved", nullptr}};
        nlohmann::json underWay = nlohmann::json::array();
        for (const UnitUnderWay& unit : record.underWay) {
            underWay.push_back({{"unit", unit.strUnit},
                                {"device", unit.strDevice},
                                {"serial", unit.strSerial},
                                {"started", unit.strStarted}});
        }
        station["last_time"] = record.strLastTime;
        station["last_result"] = record.strLastResult;
        station["under_way"] = underWay;
    }
    nlohmann::json list = nlohmann::json::array();
    for (auto& [name, station] : stations)
        list.push_back(std::move(station));
    nlohmann::json board = {{"approved", approved}, {"stations", list}};
    if (!read)
        board["error"] = error;
    return Dump(board);
}

bool CLinePage::Start(const std::string& host, int port, std::string& error)
{
    httplib::Server& server = *m_server;
    // Every open page holds a thread for its events; the rest serve requests.
    server.new_task_queue = [] { return new httplib::ThreadPool(kMaxEventClients + 8); };
    server.set_keep_alive_timeout(2);
    // The library's default adds SO_REUSEPORT: a second server on the same
    // port would start and share the connections without a word.
    server.set_socket_options([](socket_t sock) {
        const int on = 1;
        setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    });
    server.set_default_headers({{"Content-Security-Policy", kSecurityPolicy},
                                {"X-Content-Type-Options", "nosniff"},
                                {"Referrer-Policy", "no-referrer"},
                                {"Cache-Control", "no-store"}});
    for (size_t i = 0; i < kPageAssetCount; ++i) {
        const PageAsset& asset = kPageAssets[i];
        server.Get(asset.path, [&asset](const httplib::Request&, httplib::Response& response) {
            response.set_content(asset.body, asset.type);
        });
    }
    // No icon: an empty answer rather than a failed load in the browser's log.
    server.Get("/favicon.ico", [](const httplib::Request&, httplib::Response& response) { response.status = 204; });
    server.Get("/api/figures(\\.csv)?", [this](const httplib::Request& request, httplib::Response& response) {
        FigureRange range;
        std::string error;
        if (!RangeOf(request, range, error))
            return Refuse(response, 400, error);
        const bool csv = request.matches[1].length() != 0;
        const auto [status, body] =
            Cached((csv ? "csv " : "json ") + range.strSince + " " + range.strUntil, [&]() -> Answer {
                LineFigures figures;
                if (!m_figures.Figures(range, figures, error))
                    return {500, error};
                return {200, csv ? FiguresCsv(figures) : FiguresJson(figures)};
            });
        if (status != 200)
            return Refuse(response, status, body);
        if (csv)
            response.set_header("Content-Disposition", "attachment; filename=\"line-figures.csv\"");
        response.set_content(body, csv ? "text/csv; charset=utf-8" : "application/json");
    });
    server.Get("/api/board", [this](const httplib::Request&, httplib::Response& response) {
        const std::string board = Cached("board", [this]() -> Answer { return {200, BoardJson()}; }).second;
        // The server's clock, for the time each station has been in its state.
        response.set_content("{\"now\":\"" + NowUtcText() + "\"," + board.substr(1), "application/json");
    });
    server.Get("/api/units", [this](const httplib::Request& request, httplib::Response& response) {
        UnitQuery query;
        std::string error;
        if (!RangeOf(request, query.range, error))
            return Refuse(response, 400, error);
        query.strSerial = request.get_param_value("serial");
        query.strIdentity = request.get_param_value("identity");
        query.strStation = request.get_param_value("station");
        std::vector<std::string> records;
        if (!m_figures.FindUnits(query, kUnitSearchLimit, records, error))
            return Refuse(response, 500, error);
        nlohmann::json list = nlohmann::json::array();
        for (const std::string& record : records)
            list.push_back(ParsedOrText(record));
        response.set_content(Dump({{"limit", kUnitSearchLimit}, {"records", list}}), "application/json");
    });
    server.Get("/api/events", [this](const httplib::Request&, httplib::Response& response) {
        {
            std::lock_guard lock(m_mutex);
            if (m_nEventClients >= kMaxEventClients)
                return Refuse(response, 503, "too many pages are open on this server");
            ++m_nEventClients;
        }
        // The first event comes at once: the page loads what is there.
        response.set_chunked_content_provider(
            "text/event-stream",
            [this, seen = uint64_t{0}](size_t, httplib::DataSink& sink) mutable {
                std::unique_lock lock(m_mutex);
                const bool changed =
                    m_changed.wait_for(lock, kIdleEvery, [&]() { return m_bStopping || m_nVersion != seen; });
                if (m_bStopping)
                    return false;
                // A comment keeps a connection that idles past a proxy's patience.
                const std::string event =
                    changed ? "retry: 1000\nevent: change\ndata: " + std::to_string(m_nVersion) + "\n\n" : ":\n\n";
                seen = m_nVersion;
                lock.unlock();
                return sink.write(event.data(), event.size());
            },
            [this](bool) {
                std::lock_guard lock(m_mutex);
                --m_nEventClients;
            });
    });

    const bool bound = port == 0 ? (port = server.bind_to_any_port(host)) > 0 : server.bind_to_port(host, port);
    if (!bound) {
        error = "cannot listen on " + host + ":" + std::to_string(port) + ": " + std::strerror(errno);
        return false;
    }
    m_nPort = port;
    // What the files were as the server started: a change before the
    // watcher's first look is a change too.
    m_watcher = std::thread([this, seen = m_figures.Changes()]() { Watch(seen); });
    m_listener = std::thread([this]() { m_server->listen_after_bind(); });
    return true;
}

void CLinePage::Stop()
{
    {
        std::lock_guard lock(m_mutex);
        if (m_bStopping)
            return;
        m_bStopping = true;
    }
    m_changed.notify_all();
    m_server->stop();
    if (m_listener.joinable())
        m_listener.join();
    if (m_watcher.joinable())
        m_watcher.join();
}
