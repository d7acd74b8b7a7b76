#include "cli/line_commands.h"

#include "run/exit_codes.h"
#include "run/run_environment.h"

#ifdef _WIN32

namespace {
constexpr char kNoLineMode[] = "this build has no line mode: the line runs on the Linux build";
}

int CommandLine(const CliOptions&, CliEnvironment& env)
{
    PrintError(env, kNoLineMode);
    return kExitUsage;
}

std::unique_ptr<ILineLink> JoinLine(const CliOptions&, const ImageCheck&, const ImageTrust&, CliEnvironment& env,
                                    int& exit)
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

#include "base/clock.h"
#include "base/json_line.h"
#include "base/sha256.h"
#include "cli/line_page_commands.h"
#include "device/command_set.h"
#include "line/line_record.h"
#include "line/line_url.h"
#include "line/record_db.h"
#include "line/station_line.h"
#include "run/image_check.h"
#include "run/image_trust.h"
#include "run/run_records.h"

namespace {

constexpr int kConnectTimeoutMs = 10000;
// While the collector is there, what is in flight gets this long at the end.
constexpr int kCloseTimeoutMs = 2000;
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

LineImage LineImageOf(const ImageCheck& check, const ImageTrust& trust)
{
    return {std::filesystem::path(check.strPath).filename().string(),
            check.nSize,
            ChecksumText(check.digest.nChecksum),
            Sha256Text(check.digest),
            trust.strKeyId,
            trust.strTrustedComment};
}

int CommandApprove(const CliOptions& options, CliEnvironment& env, MqttSettings& settings)
{
    const ImageCheck check = CheckImage(options.strImage, true);
    if (check.exit != kExitSuccess) {
        PrintError(env, check.strError + "; nothing was approved");
        return check.exit;
    }
    // The approval names the signature the stations must have checked too.
    const ImageTrust trust = CheckImageTrust(options);
    if (trust.exit != kExitSuccess) {
        PrintError(env, trust.strError + "; nothing was approved");
        return trust.exit;
    }
    if (!(trust.digest == check.digest) && trust.bChecked) {
        PrintError(env, "the image " + options.strImage + " changed while it was checked; nothing was approved");
        return kExitImageUnreadable;
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
    const LineImage image = LineImageOf(check, trust);
    const int mid =
        link.Publish(ApprovedTopic(settings.url.strLine), LineImageJson(image, NowUtcText(), LineHostName()), true);
    std::unique_lock lock(mutex);
    if (mid < 0 ||
        !acked.wait_for(lock, std::chrono::milliseconds(kConnectTimeoutMs), [&]() { return mids.count(mid) != 0; })) {
        PrintError(env, "the line's broker did not take the approval; nothing was approved");
        return kExitError;
    }
    *env.pOut << "line " << settings.url.strLine << ": approved " << image.strName << " (" << image.nLength
              << " bytes, checksum " << image.strChecksum << ", sha256 " << image.strSha256 << ")"
              << (trust.bChecked ? "; " + ImageTrustText(trust) : "") << "\n";
    return kExitSuccess;
}

// JSON text of anything a parser took: strings that are not UTF-8 are
// written with U+FFFD rather than throwing.
std::string Dump(const nlohmann::json& json)
{
    return json.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

// What watch knows of one station.
struct WatchedStation {
    nlohmann::json status;
    std::deque<std::string> lastUnits;  // "D: passed", newest first
};

// A field as a terminal may show it: what a client sent may hold escape
// sequences and bytes that are not UTF-8.
std::string Field(const nlohmann::json& json, const char* name)
{
    const auto it = json.find(name);
    if (it == json.end())
        return "";
    return ShownText(it->is_string() ? it->get<std::string>() : Dump(*it), 200);
}

void DrawTable(std::ostream& out, const std::string& line, const std::string& approved,
               const std::map<std::string, WatchedStation>& stations, bool terminal)
{
    if (terminal)
        out << "\x1b[H\x1b[2J";
    out << "line " << ShownText(line) << "  approved: " << (approved.empty() ? "(none)" : approved) << "\n";
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
        std::snprintf(row, sizeof row, "%-16s %-9s %6s %6s %-8s %-24s %s\n", ShownText(name).c_str(),
                      Field(s, "state").c_str(), Field(s, "passed").c_str(), Field(s, "failed").c_str(),
                      Field(s, "checksum").c_str(), Field(s, "since").c_str(), last.c_str());
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
                *env.pOut << Dump(change) << '\n';
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

// What a store made of the messages it was given.
struct StoredCounts {
    std::atomic<size_t> stored{0};
    std::atomic<size_t> repeats{0};
    std::atomic<size_t> conflicts{0};
    std::atomic<size_t> rejected{0};
    void Count(CRecordDb::Added added)
    {
        if (added == CRecordDb::Added::Stored)
            ++stored;
        else if (added == CRecordDb::Added::Repeat)
            ++repeats;
        else if (added == CRecordDb::Added::Conflict)
            ++conflicts;
        else if (added == CRecordDb::Added::Rejected)
            ++rejected;
    }
    std::string Text() const
    {
        return std::to_string(stored) + " unit records stored, " + std::to_string(repeats) + " repeats dropped, " +
               std::to_string(conflicts) + " conflicts and " + std::to_string(rejected) +
               " rejected messages kept aside";
    }
};

// The collector's client id stays the same for one database, so its
// persistent session (the records queued while it was away) is found again.
std::string CollectorId(const std::string& db)
{
    char resolved[PATH_MAX];
    const std::string path = realpath(db.c_str(), resolved) ? resolved : db;
    return Sha256Hex(reinterpret_cast<const uint8_t*>(path.data()), path.size()).substr(0, 12);
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
    db.Begin();
    for (std::string text; std::getline(in, text);) {
        if (station.empty() && text.find("\"run-start\"") != std::string::npos) {
            const nlohmann::json start = nlohmann::json::parse(text, nullptr, false);
            if (start.is_object())
                station = Field(start, "host");
        }
        // Commands and run records are the log's, not the line's.
        UnitRecordKey key;
        if (!ParseUnitRecord(text, key))
            continue;
        std::string id;
        std::string why;
        const CRecordDb::Added added =
            db.Add(text, key.strStation.empty() ? station : key.strStation, "import", id, why);
        counts.Count(added);
        std::string error;
        if (added == CRecordDb::Added::Failed ||
            ((added == CRecordDb::Added::Rejected || added == CRecordDb::Added::Conflict) &&
             !db.KeepAside("import:" + *options.importLog, text, why, error))) {
            PrintError(env, "cannot store a record of " + *options.importLog + ": " + why + error +
                                "; nothing was imported");
            return kExitError;
        }
        if (added == CRecordDb::Added::Conflict)
            PrintError(env, "import: " + ShownText(why, 200));
    }
    if (!db.Commit()) {
        PrintError(env, "cannot store the records of " + *options.importLog + "; nothing was imported");
        return kExitError;
    }
    *env.pOut << "imported " << counts.stored << " unit records from " << *options.importLog << " into " << *options.db
              << " (" << counts.repeats << " were there already, " << counts.conflicts << " conflicts, "
              << counts.rejected << " rejected)\n";
    return kExitSuccess;
}

// The collector's word on the line, retained: stations send their records
// again when it comes back.
std::string CollectorStatus(const char* state, const std::string& db)
{
    std::string json;
    CJsonLine(json)
        .String("state", state)
        .String("db", db)
        .String("host", LineHostName())
        .Number("pid", getpid())
        .String("time", NowUtcText())
        .Close();
    return json;
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
    if (!db.HoldForCollector(error)) {
        PrintError(env, error);
        return kExitError;
    }

    StoredCounts counts;
    CMqttLink link;
    const std::string& line = settings.url.strLine;
    const std::string id = CollectorId(*options.db);
    const std::string statusTopic = CollectorTopic(line, id);
    // The message callback runs on the link's thread; the first failure
    // ends the collector from this one, its reason said whole.
    std::mutex mutex;
    std::condition_variable failed;
    std::string failure;
    link.onConnection = [&](bool connected) {
        if (!connected)
            return;
        link.Subscribe(StationWildcard(line, "unit"));
        link.Publish(statusTopic, CollectorStatus("online", *options.db), true);
    };
    link.onMessage = [&](const std::string& topic, const std::string& payload, bool) {
        std::unique_lock lock(mutex);
        if (!failure.empty())
            return;
        const std::string station = StationOfTopic(topic);
        std::string recordId;
        std::string why;
        std::string problem;
        CRecordDb::Added added = CRecordDb::Added::Failed;
        if (db.StillThere(why)) {
            added = db.Add(payload, station, "line", recordId, why);
            if ((added == CRecordDb::Added::Rejected || added == CRecordDb::Added::Conflict) &&
                !db.KeepAside(topic, payload, why, problem)) {
                why = "cannot keep a rejected message aside: " + problem;
                added = CRecordDb::Added::Failed;
            }
        }
        counts.Count(added);
        if (added == CRecordDb::Added::Failed) {
            // No acknowledgement: the station keeps the record and sends it
            // again to the next collector.
            failure = why;
            failed.notify_all();
            return;
        }
        lock.unlock();
        if (added == CRecordDb::Added::Rejected || added == CRecordDb::Added::Conflict)
            PrintError(env, "collect: " + ShownText(topic) + ": " + ShownText(why, 200) + " (kept aside)");
        // Kept: the station's mark may pass it.
        if (!recordId.empty() && !station.empty())
            link.Publish(StationTopic(line, station, "stored"), recordId, false);
    };
    settings.bCleanSession = false;
    settings.strWillTopic = statusTopic;
    settings.strWillPayload = CollectorStatus("offline", *options.db);
    int exit;
    if (!Connect(link, settings, "kt3916-collect-" + line + "-" + id, env, exit))
        return exit;
    PrintError(env, "collecting the unit records of line " + line + " into " + *options.db + " (Ctrl-C stops)");
    std::unique_lock lock(mutex);
    while (!env.Interrupted() && failure.empty()) {
        // A database deleted or replaced while no record comes is noticed too.
        if (failed.wait_for(lock, std::chrono::milliseconds(200), [&]() { return !failure.empty(); }))
            break;
        std::string gone;
        if (!db.StillThere(gone))
            failure = gone;
    }
    lock.unlock();
    link.Publish(statusTopic, CollectorStatus("offline", *options.db), true);
    link.Disconnect();
    if (!failure.empty()) {
        PrintError(env,
                   "collect: " + failure + "; the collector stops (what it did not store stays with the stations)");
        *env.pOut << "collect: " << counts.Text() << "\n";
        return kExitError;
    }
    *env.pOut << "collect: " << counts.Text() << "\n";
    return kExitSuccess;
}

class CJoinedLine final : public ILineLink {
public:
    CJoinedLine(std::unique_ptr<CStationLine> line, CliEnvironment& env) : m_line(std::move(line)), m_env(env) {}
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
        for (const std::string& notice : m_line->TakeNotices())
            PrintError(m_env, "station: line: " + notice);
        const bool held = !m_strWhy.empty();
        const StationState state = inProgress         ? StationState::Flashing
                                   : stopping || held ? StationState::Stopped
                                                      : StationState::Waiting;
        m_line->Status(state, passed, failed, stopping ? "stopping" : m_strWhy);
    }
    void Close(int passed, int failed) override
    {
        m_line->Status(StationState::Stopped, passed, failed, "stopping");
        const bool all = m_line->Close(kCloseTimeoutMs);
        for (const std::string& notice : m_line->TakeNotices())
            PrintError(m_env, "station: line: " + notice);
        if (!all) {
            PrintError(m_env, "station: the line's collector has not stored all unit records yet: the log keeps "
                              "them and the station's next start sends them");
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

std::unique_ptr<ILineLink> JoinLine(const CliOptions& options, const ImageCheck& check, const ImageTrust& trust,
                                    CliEnvironment& env, int& exit)
{
    StationLineOptions line;
    if (!LineSettings(options, env, line.mqtt, exit))
        return nullptr;
    line.strStation = StationName(options);
    if (!IsTopicLevel(line.strStation)) {
        PrintError(env, "--station-name '" + ShownText(line.strStation) + "': a station's name is " + NameRule());
        exit = kExitUsage;
        return nullptr;
    }
    line.strLog = *options.log;
    line.bWithoutApproval = options.bLineWithoutApproval;
    line.image = LineImageOf(check, trust);
    std::string error;
    std::unique_ptr<CStationLine> joined = CStationLine::Connect(line, error);
    if (!joined) {
        PrintError(env, error + "; nothing was sent");
        exit = kExitError;
        return nullptr;
    }
    // Said before the first unit: another station of this name, a mark
    // that does not fit the log.
    for (const std::string& notice : joined->TakeNotices())
        PrintError(env, "station: line: " + notice);
    return std::make_unique<CJoinedLine>(std::move(joined), env);
}

#endif
