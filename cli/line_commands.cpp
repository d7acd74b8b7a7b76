#include "cli/line_commands.h"

#include "cli/commands.h"
#include "cli/exit_codes.h"

#ifdef _WIN32

namespace {
constexpr char kNoLineMode[] = "this build has no line mode: the line runs on the Linux build";
}

int CommandLine(const CliOptions&, CliEnvironment& env)
{
    PrintError(env, kNoLineMode);
    return kExitUsage;
}

std::unique_ptr<CLineSeat> JoinLine(const CliOptions&, const ImageCheck&, CliEnvironment& env, int& exit)
{
    PrintError(env, kNoLineMode);
    exit = kExitUsage;
    return nullptr;
}

#else

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <set>
#include <thread>

#include "cli/commands.h"
#include "cli/image_check.h"
#include "cli/line_page_commands.h"
#include "device/recording_host.h"
#include "device/sha256.h"
#include "line/line_url.h"
#include "line/record_db.h"
#include "line/station_line.h"

namespace {

constexpr int kConnectTimeoutMs = 10000;
constexpr int kCloseTimeoutMs = 5000;
constexpr char kCredentialsVariable[] = "KT3916FLASH_LINE_CREDENTIALS";

// The connection settings of --line and its options; false with the exit code.
bool LineSettings(const CliOptions& options, CliEnvironment& env, MqttSettings& settings, int& exit)
{
    std::string error;
    exit = kExitUsage;
    if (!ParseLineUrl(options.line.value_or(""), settings.url, error)) {
        PrintError(env, error);
        return false;
    }
    if (options.lineCa && !settings.url.bTls) {
        PrintError(env, "--line-ca is for an mqtts:// line");
        return false;
    }
    settings.strCaFile = options.lineCa.value_or("");
    const char* fromEnvironment = std::getenv(kCredentialsVariable);
    const std::string credentials =
        options.lineCredentials.value_or(fromEnvironment && *fromEnvironment ? fromEnvironment : "");
    if (!credentials.empty() && !ReadCredentialsFile(credentials, settings, error)) {
        PrintError(env, error);
        exit = kExitError;
        return false;
    }
    return true;
}

bool Connect(CMqttLink& link, MqttSettings& settings, const std::string& clientId, CliEnvironment& env, int& exit)
{
    settings.strClientId = clientId;
    std::string error;
    if (!link.Connect(settings, kConnectTimeoutMs, error)) {
        PrintError(env, error);
        exit = kExitError;
        return false;
    }
    return true;
}

LineImage LineImageOf(const ImageCheck& check)
{
    return {std::filesystem::path(check.strPath).filename().string(), check.nSize,
            ImageChecksumText(check.digest.nChecksum), Sha256Text(check.digest)};
}

int CommandApprove(const CliOptions& options, CliEnvironment& env, MqttSettings& settings)
{
    const ImageCheck check = CheckImage(options.strImage, true);
    if (check.exit != kExitSuccess) {
        PrintError(env, check.strError + "; nothing was approved");
        return check.exit;
    }
    CMqttLink link;
    std::mutex mutex;
    std::condition_variable acked;
    std::set<int> mids;
    link.onAcked = [&](int mid) {
        std::lock_guard lock(mutex);
        mids.insert(mid);
        acked.notify_all();
    };
    int exit;
    if (!Connect(link, settings, "kt3916-approve-" + std::to_string(getpid()), env, exit))
        return exit;
    const LineImage image = LineImageOf(check);
    const int mid =
        link.Publish(ApprovedTopic(settings.url.strLine), LineImageJson(image, NowUtcText(), LineHostName()), true);
    std::unique_lock lock(mutex);
    if (mid < 0 ||
        !acked.wait_for(lock, std::chrono::milliseconds(kConnectTimeoutMs), [&]() { return mids.count(mid) != 0; })) {
        PrintError(env, "the line's broker did not take the approval; nothing was approved");
        return kExitError;
    }
    *env.pOut << "line " << settings.url.strLine << ": approved " << image.strName << " (" << image.nLength
              << " bytes, checksum " << image.strChecksum << ", sha256 " << image.strSha256 << ")\n";
    return kExitSuccess;
}

// What watch knows of one station.
struct WatchedStation {
    nlohmann::json status;
    std::deque<std::string> lastUnits;  // "D: passed", newest first
};

std::string Field(const nlohmann::json& json, const char* name)
{
    const auto it = json.find(name);
    if (it == json.end())
        return "";
    return it->is_string() ? it->get<std::string>() : it->dump();
}

void DrawTable(std::ostream& out, const std::string& line, const std::string& approved,
               const std::map<std::string, WatchedStation>& stations, bool terminal)
{
    if (terminal)
        out << "\x1b[H\x1b[2J";
    out << "line " << line << "  approved: " << (approved.empty() ? "(none)" : approved) << "\n";
    char row[512];
    std::snprintf(row, sizeof row, "%-16s %-9s %6s %6s %-8s %-24s %s\n", "STATION", "STATE", "PASSED", "FAILED",
                  "IMAGE", "SINCE", "LAST UNITS / WHY");
    out << row;
    for (const auto& [name, station] : stations) {
        const nlohmann::json& s = station.status;
        std::string last;
        for (const std::string& unit : station.lastUnits)
            last += (last.empty() ? "" : ", ") + unit;
        const std::string why = Field(s, "why");
        if (!why.empty())
            last += (last.empty() ? "" : "; ") + why;
        std::snprintf(row, sizeof row, "%-16s %-9s %6s %6s %-8s %-24s %s\n", name.c_str(), Field(s, "state").c_str(),
                      Field(s, "passed").c_str(), Field(s, "failed").c_str(), Field(s, "checksum").c_str(),
                      Field(s, "since").c_str(), last.c_str());
        out << row;
    }
    out.flush();
}

int CommandWatch(const CliOptions& options, CliEnvironment& env, MqttSettings& settings)
{
    struct Message {
        std::string strTopic;
        std::string strPayload;
    };
    std::mutex mutex;
    std::deque<Message> queue;
    CMqttLink link;
    const std::string& line = settings.url.strLine;
    link.onConnection = [&](bool connected) {
        if (!connected)
            return;
        link.Subscribe(StationWildcard(line, "status"));
        link.Subscribe(StationWildcard(line, "unit"));
        link.Subscribe(ApprovedTopic(line));
    };
    link.onMessage = [&](const std::string& topic, const std::string& payload, bool) {
        std::lock_guard lock(mutex);
        queue.push_back({topic, payload});
    };
    int exit;
    if (!Connect(link, settings, "kt3916-watch-" + std::to_string(getpid()), env, exit))
        return exit;

    const bool terminal = isatty(STDOUT_FILENO) && !options.bJson;
    std::map<std::string, WatchedStation> stations;
    std::string approved;
    while (!env.Interrupted()) {
        std::deque<Message> batch;
        {
            std::lock_guard lock(mutex);
            batch.swap(queue);
        }
        for (const Message& message : batch) {
            const nlohmann::json payload = nlohmann::json::parse(message.strPayload, nullptr, false);
            const std::string station = StationOfTopic(message.strTopic);
            const bool isStatus = message.strTopic.ends_with("/status");
            if (station.empty()) {
                approved = payload.is_object() ? Field(payload, "name") + " " + Field(payload, "checksum") +
                                                     " sha256 " + Field(payload, "sha256").substr(0, 12) + "..."
                                               : "";
            } else if (isStatus) {
                stations[station].status = payload;
            } else if (payload.is_object()) {
                std::deque<std::string>& last = stations[station].lastUnits;
                const std::string what =
                    Field(payload, "record") == "unit-start" ? "started" : Field(payload, "result");
                last.push_front(Field(payload, "device") + " " + what);
                if (last.size() > 3)
                    last.pop_back();
            }
            if (options.bJson) {
                nlohmann::json change = {{"topic", message.strTopic}};
                if (!station.empty())
                    change["station"] = station;
                change[station.empty() ? "approved"
                       : isStatus      ? "status"
                                  : "unit"] = payload.is_discarded() ? nlohmann::json(message.strPayload) : payload;
                *env.pOut << change.dump() << '\n';
            }
        }
        if (!batch.empty()) {
            if (!options.bJson)
                DrawTable(*env.pOut, line, approved, stations, terminal);
            env.pOut->flush();
            if (!*env.pOut)
                return kExitError;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return kExitInterrupted;
}

// The records a store took, and those it had already.
struct StoredCounts {
    std::atomic<size_t> stored{0};
    std::atomic<size_t> repeats{0};
    CRecordDb::Added Count(CRecordDb::Added added)
    {
        if (added == CRecordDb::Added::Stored)
            ++stored;
        else if (added == CRecordDb::Added::Repeat)
            ++repeats;
        return added;
    }
};

// The collector's client id stays the same for one database, so its
// persistent session (the records queued while it was away) is found again.
std::string CollectorId(const std::string& line, const std::string& db)
{
    char resolved[PATH_MAX];
    const std::string path = realpath(db.c_str(), resolved) ? resolved : db;
    return "kt3916-collect-" + line + "-" +
           Sha256Hex(reinterpret_cast<const uint8_t*>(path.data()), path.size()).substr(0, 12);
}

int CommandImport(const CliOptions& options, CliEnvironment& env, CRecordDb& db)
{
    std::ifstream in(*options.importLog);
    if (!in) {
        PrintError(env, "cannot read the log " + *options.importLog);
        return kExitError;
    }
    std::string station = options.stationName.value_or("");
    StoredCounts counts;
    std::string error;
    db.Begin();
    for (std::string text; std::getline(in, text);) {
        if (station.empty() && text.find("\"run-start\"") != std::string::npos) {
            const nlohmann::json start = nlohmann::json::parse(text, nullptr, false);
            if (start.is_object())
                station = Field(start, "host");
        }
        if (counts.Count(db.Add(text, station, "import", error)) == CRecordDb::Added::Failed) {
            PrintError(env, "cannot store a record of " + *options.importLog + ": " + error + "; nothing was imported");
            return kExitError;
        }
    }
    if (!db.Commit()) {
        PrintError(env, "cannot store the records of " + *options.importLog + "; nothing was imported");
        return kExitError;
    }
    *env.pOut << "imported " << counts.stored << " unit records from " << *options.importLog << " into " << *options.db
              << " (" << counts.repeats << " were there already)\n";
    return kExitSuccess;
}

int CommandCollect(const CliOptions& options, CliEnvironment& env, MqttSettings& settings)
{
    CRecordDb db;
    std::string error;
    if (!db.Open(*options.db, error)) {
        PrintError(env, error);
        return kExitError;
    }
    if (options.importLog)
        return CommandImport(options, env, db);

    StoredCounts counts;
    CMqttLink link;
    const std::string& line = settings.url.strLine;
    link.onConnection = [&](bool connected) {
        if (connected)
            link.Subscribe(StationWildcard(line, "unit"));
    };
    link.onMessage = [&](const std::string& topic, const std::string& payload, bool) {
        std::string why;
        const CRecordDb::Added added = counts.Count(db.Add(payload, StationOfTopic(topic), "line", why));
        if (added == CRecordDb::Added::NotARecord)
            PrintError(env, "not a unit record on " + topic + ": " + payload.substr(0, 120));
        if (added != CRecordDb::Added::Failed)
            return;
        // The acknowledgement goes out only after this returns: ending here
        // leaves the record with the broker for the next start.
        PrintError(env, "cannot store a record in " + *options.db + ": " + why +
                            "; the collector stops and the broker keeps the record");
        std::_Exit(kExitError);
    };
    settings.bCleanSession = false;
    int exit;
    if (!Connect(link, settings, CollectorId(line, *options.db), env, exit))
        return exit;
    PrintError(env, "collecting the unit records of line " + line + " into " + *options.db + " (Ctrl-C stops)");
    while (!env.Interrupted())
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    link.Disconnect();
    *env.pOut << "collect: " << counts.stored << " unit records stored, " << counts.repeats << " repeats dropped\n";
    return kExitSuccess;
}

class CLineSeatImpl final : public CLineSeat {
public:
    CLineSeatImpl(std::unique_ptr<CStationLine> line, CliEnvironment& env) : m_line(std::move(line)), m_env(env) {}
    bool MayTakeUnits() override
    {
        std::string why;
        const bool may = m_line->MayTakeUnits(why);
        if (why != m_strWhy) {
            PrintError(m_env, why.empty() ? "station: the line approves this image again: units are taken"
                                          : "station: no unit is taken: " + why);
            m_strWhy = why;
        }
        return may;
    }
    void RecordsWritten() override { m_line->RecordsWritten(); }
    void Status(int inProgress, int passed, int failed, bool stopping) override
    {
        const bool held = !m_strWhy.empty();
        const StationState state = inProgress         ? StationState::Flashing
                                   : stopping || held ? StationState::Stopped
                                                      : StationState::Waiting;
        m_line->Status(state, passed, failed, stopping ? "stopping" : m_strWhy);
    }
    void Close(int passed, int failed) override
    {
        m_line->Status(StationState::Stopped, passed, failed, "stopping");
        const size_t left = m_line->Close(kCloseTimeoutMs);
        if (left != 0) {
            PrintError(m_env, std::to_string(left) +
                                  " unit records are not yet with the line's broker: the log keeps them and the "
                                  "station's next start sends them");
        }
    }

private:
    std::unique_ptr<CStationLine> m_line;
    CliEnvironment& m_env;
    std::string m_strWhy;
};

}  // namespace

int CommandLine(const CliOptions& options, CliEnvironment& env)
{
    if (env.armInterrupt)
        env.armInterrupt();
    MqttSettings settings;
    int exit;
    if (options.line && !LineSettings(options, env, settings, exit))
        return exit;
    if (options.strLineAction == "approve")
        return CommandApprove(options, env, settings);
    if (options.strLineAction == "watch")
        return CommandWatch(options, env, settings);
    if (options.strLineAction == "serve")
        return CommandLineServe(options, env, options.line ? &settings : nullptr);
    if (options.strLineAction == "report")
        return CommandLineReport(options, env);
    return CommandCollect(options, env, settings);
}

std::unique_ptr<CLineSeat> JoinLine(const CliOptions& options, const ImageCheck& check, CliEnvironment& env, int& exit)
{
    StationLineOptions line;
    if (!LineSettings(options, env, line.mqtt, exit))
        return nullptr;
    line.strStation = options.stationName.value_or(LineHostName());
    if (!IsTopicLevel(line.strStation)) {
        PrintError(env, "--station-name '" + line.strStation +
                            "': a station's name is 1 to 64 characters without '/', '+' or '#'");
        exit = kExitUsage;
        return nullptr;
    }
    line.strLog = *options.log;
    line.bWithoutApproval = options.bLineWithoutApproval;
    line.image = LineImageOf(check);
    std::string error;
    std::unique_ptr<CStationLine> joined = CStationLine::Connect(line, error);
    if (!joined) {
        PrintError(env, error + "; nothing was sent");
        exit = kExitError;
        return nullptr;
    }
    return std::make_unique<CLineSeatImpl>(std::move(joined), env);
}

#endif
