#include "line/station_line.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <iterator>
#include <utility>
#include <nlohmann/json.hpp>

#include "base/clock.h"
#include "base/json_line.h"
#include "res/app_name.h"

namespace {

// How long the first connection, and then the approval, may take.
constexpr int kConnectTimeoutMs = 10000;
// The log is read this often even when nobody says it grew.
constexpr int kLookPeriodMs = 200;
// Records the collector has not stored this long are sent again, while it
// is online.
constexpr int kResendAfterMs = 10000;
// The broker's acknowledgement of the station's last status.
constexpr int kFinalStatusMs = 1000;

std::string TextOf(const nlohmann::json& json, const char* name)
{
    const auto it = json.find(name);
    return it != json.end() && it->is_string() ? it->get<std::string>() : std::string();
}

int64_t NumberOf(const nlohmann::json& json, const char* name)
{
    const auto it = json.find(name);
    return it != json.end() && it->is_number_integer() ? it->get<int64_t>() : 0;
}

const char* StateName(StationState state)
{
    static constexpr const char* kNames[] = {"waiting", "flashing"};
    const auto index = static_cast<size_t>(state);
    return index < std::size(kNames) ? kNames[index] : "stopped";
}

// The same bytes approved under another signature than the station checked.
std::string SignatureDifference(const LineImage& approved, const LineImage& own)
{
    if (approved.strKeyId == own.strKeyId && approved.strTrustedComment == own.strTrustedComment)
        return {};
    const auto signature = [](const LineImage& image) {
        return image.strKeyId.empty()
                   ? std::string("unsigned")
                   : "key " + image.strKeyId + ", trusted comment \"" + image.strTrustedComment + "\"";
    };
    return ": approved " + signature(approved) + ", this station's " + signature(own);
}

}  // namespace

std::string LineHostName()
{
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0 || !name[0])
        return "localhost";
    return name;
}

std::string LineImageJson(const LineImage& image, const std::string& time, const std::string& host)
{
    std::string json;
    CJsonLine out(json);
    out.String("name", image.strName).Number("length", image.nLength);
    out.String("checksum", image.strChecksum).String("sha256", image.strSha256);
    if (!image.strKeyId.empty())
        out.String("key_id", image.strKeyId).String("trusted_comment", image.strTrustedComment);
    if (!time.empty())
        out.String("time", time).String("host", host);
    out.Close();
    return json;
}

bool ParseLineImage(const std::string& payload, LineImage& image)
{
    const nlohmann::json json = nlohmann::json::parse(payload, nullptr, false);
    if (!json.is_object() || !json.contains("length") || !json["length"].is_number_integer() ||
        !json.contains("checksum") || !json["checksum"].is_string() || !json.contains("sha256") ||
        !json["sha256"].is_string())
        return false;
    image.nLength = json["length"].get<int64_t>();
    image.strChecksum = json["checksum"].get<std::string>();
    image.strSha256 = json["sha256"].get<std::string>();
    const auto text = [&json](const char* name) {
        return json.contains(name) && json[name].is_string() ? json[name].get<std::string>() : std::string();
    };
    image.strName = text("name");
    image.strKeyId = text("key_id");
    image.strTrustedComment = text("trusted_comment");
    return image.strSha256.size() == 64;
}

bool SameImage(const LineImage& a, const LineImage& b)
{
    return a.nLength == b.nLength && a.strChecksum == b.strChecksum && a.strSha256 == b.strSha256 &&
           a.strKeyId == b.strKeyId && a.strTrustedComment == b.strTrustedComment;
}

CStationLine::CStationLine(const StationLineOptions& options)
    : m_options(options), m_strHost(LineHostName()), m_spool(options.strLog, options.strStation, kRecordsInFlight),
      m_strSince(NowUtcText())
{
    m_link.onConnection = [this](bool connected) {
        if (!connected)
            return;
        // A clean session: the subscriptions are made anew on every
        // connection. The status sent after them is acknowledged only after
        // the retained approval came (the broker answers in order), and not
        // before this callback returns.
        const std::string& line = m_options.mqtt.url.strLine;
        m_link.Subscribe(ApprovedTopic(line));
        m_link.Subscribe(Topic("stored"));
        m_link.Subscribe(Topic("status"));
        m_link.Subscribe(CollectorTopic(line, "+"));
        const std::string status = [this]() {
            std::lock_guard lock(m_mutex);
            m_bStatusDirty = false;
            return StatusJson();
        }();
        const int mid = m_link.Publish(Topic("status"), status, true);
        std::lock_guard lock(m_mutex);
        m_nProbeMid = mid;
        m_bConnectedAgain = true;
        m_bWoken = true;
        m_wake.notify_all();
    };
    m_link.onAcked = [this](int mid) {
        std::lock_guard lock(m_mutex);
        if (mid == m_nProbeMid)
            m_bApprovalKnown = true;
        if (m_bClosing)
            m_closingAcks.insert(mid);
        m_wake.notify_all();
    };
    m_link.onMessage = [this](const std::string& topic, const std::string& payload, bool) {
        OnMessage(topic, payload);
    };
}

void CStationLine::OnMessage(const std::string& topic, const std::string& payload)
{
    const std::string& line = m_options.mqtt.url.strLine;
    std::lock_guard lock(m_mutex);
    m_bWoken = true;
    m_wake.notify_all();
    if (topic == Topic("stored")) {
        m_stored.push_back(payload);  // one id a message
    } else if (topic == ApprovedTopic(line)) {
        m_bHasApproval = !payload.empty();
        m_strApprovalProblem.clear();
        if (m_bHasApproval && !ParseLineImage(payload, m_approved))
            m_strApprovalProblem = "the line's approval is no image digest: " + ShownText(payload);
        m_bStatusDirty = true;
    } else if (topic == Topic("status")) {
        // Another station of this name: its status and this one's take
        // turns on one topic, and the line sees only one of them.
        const nlohmann::json status = nlohmann::json::parse(payload, nullptr, false);
        if (!status.is_object() || m_bTwinTold || TextOf(status, "state") == "offline" ||
            (TextOf(status, "host") == m_strHost && NumberOf(status, "pid") == getpid()))
            return;
        m_bTwinTold = true;
        m_notices.push_back("another station named " + m_options.strStation + " is on the line, or was moments ago (" +
                            ShownText(TextOf(status, "host")) + ", process " + std::to_string(NumberOf(status, "pid")) +
                            ", since " + ShownText(TextOf(status, "since")) +
                            "): the line shows one status for both; give each station its own --station-name");
    } else if (topic.rfind(CollectorTopic(line, ""), 0) == 0) {
        const bool online = CollectorOnline(payload);
        bool& known = m_collectors[topic];
        m_bCollectorCameBack = m_bCollectorCameBack || (online && !known);
        known = online;
    }
}

bool CollectorOnline(const std::string& status)
{
    const nlohmann::json json = nlohmann::json::parse(status, nullptr, false);
    return json.is_object() && TextOf(json, "state") == "online";
}

std::unique_ptr<CStationLine> CStationLine::Connect(const StationLineOptions& options, std::string& error)
{
    std::unique_ptr<CStationLine> line(new CStationLine(options));
    if (!line->m_spool.Open(error))
        return nullptr;

    MqttSettings settings = options.mqtt;
    settings.strWillTopic = line->Topic("status");
    std::string will;
    CJsonLine(will)
        .String("station", options.strStation)
        .String("state", "offline")
        .String("host", line->m_strHost)
        .Number("pid", getpid())
        .String("version", KT_APP_VERSION_TEXT)
        .Close();
    settings.strWillPayload = will;
    // With the process id: two stations of one name (two on one host, both
    // named after it) must not throw each other off the broker.
    if (settings.strClientId.empty())
        settings.strClientId =
            "kt3916-station-" + settings.url.strLine + "-" + options.strStation + "-" + std::to_string(getpid());
    line->m_thread = std::thread([self = line.get()]() { self->Run(); });
    if (!line->m_link.Connect(settings, kConnectTimeoutMs, error))
        return nullptr;
    std::unique_lock lock(line->m_mutex);
    if (!line->m_wake.wait_for(lock, std::chrono::milliseconds(kConnectTimeoutMs),
                               [&line]() { return line->m_bApprovalKnown; })) {
        error = "the line's broker took the connection but did not answer its subscription";
        return nullptr;
    }
    return line;
}

CStationLine::~CStationLine()
{
    Close(0);
}

void CStationLine::RecordsWritten()
{
    std::lock_guard lock(m_mutex);
    m_bWoken = true;
    m_wake.notify_all();
}

void CStationLine::Status(StationState state, int passed, int failed, const std::string& why)
{
    std::lock_guard lock(m_mutex);
    if (state == m_state && passed == m_nPassed && failed == m_nFailed && why == m_strWhy)
        return;
    if (state != m_state || why != m_strWhy)
        m_strSince = NowUtcText();
    m_state = state;
    m_nPassed = passed;
    m_nFailed = failed;
    m_strWhy = why;
    m_bStatusDirty = true;
    m_bWoken = true;
    m_wake.notify_all();
}

bool CStationLine::MayTakeUnits(std::string& why)
{
    std::lock_guard lock(m_mutex);
    if (!m_strApprovalProblem.empty()) {
        why = m_strApprovalProblem;
        return false;
    }
    if (!m_bHasApproval) {
        if (m_options.bWithoutApproval)
            return true;
        why = "the line has no approved image (" + ApprovedTopic(m_options.mqtt.url.strLine) +
              "); approve one with 'line approve'";
        return false;
    }
    if (!SameImage(m_approved, m_options.image)) {
        why = "the line's approved image is " + ShownText(m_approved.strName) + " (" +
              ShownText(m_approved.strChecksum) + " sha256 " + ShownText(m_approved.strSha256.substr(0, 12)) +
              "...), not this station's (" + m_options.image.strChecksum + " sha256 " +
              m_options.image.strSha256.substr(0, 12) + "...)" + SignatureDifference(m_approved, m_options.image);
        return false;
    }
    return true;
}

std::vector<std::string> CStationLine::TakeNotices()
{
    std::lock_guard lock(m_mutex);
    return std::exchange(m_notices, {});
}

void CStationLine::Notice(const std::string& text)
{
    std::lock_guard lock(m_mutex);
    m_notices.push_back(text);
    m_strLogProblem = text;
    m_bStatusDirty = true;
}

// Under m_mutex.
std::string CStationLine::StatusJson()
{
    std::string json;
    CJsonLine out(json);
    out.String("station", m_options.strStation).String("state", StateName(m_state));
    if (!m_strWhy.empty())
        out.String("why", m_strWhy);
    out.String("image_name", m_options.image.strName).Number("image_length", m_options.image.nLength);
    out.String("checksum", m_options.image.strChecksum).String("sha256", m_options.image.strSha256);
    out.Number("passed", m_nPassed).Number("failed", m_nFailed);
    out.Number("unacked", m_nHeld);
    if (!m_strLogProblem.empty())
        out.String("log_problem", m_strLogProblem);
    out.String("version", KT_APP_VERSION_TEXT).String("host", m_strHost).Number("pid", getpid());
    out.String("since", m_strSince).String("time", NowUtcText());
    out.Close();
    return json;
}

void CStationLine::Publish(std::chrono::steady_clock::time_point now)
{
    const std::string unitTopic = Topic("unit");
    for (SpoolRecord* record : m_spool.Unsent()) {
        if (m_link.Publish(unitTopic, record->strLine, false) < 0)
            break;
        record->bSent = true;
        record->sentAt = now;
    }
}

void CStationLine::Run()
{
    std::unique_lock lock(m_mutex);
    while (true) {
        // Woken by what changed; else a look at the log now and then.
        m_wake.wait_for(lock, std::chrono::milliseconds(kLookPeriodMs), [this]() { return m_bWoken || m_bClosing; });
        m_bWoken = false;
        const bool connectedAgain = std::exchange(m_bConnectedAgain, false);
        const std::vector<std::string> stored = std::exchange(m_stored, {});
        const bool collectorBack = std::exchange(m_bCollectorCameBack, false);
        const bool collectorOnline =
            std::any_of(m_collectors.begin(), m_collectors.end(), [](const auto& c) { return c.second; });
        const bool closing = m_bClosing;
        const auto closeBy = m_closeBy;
        lock.unlock();

        const bool connected = m_link.IsConnected();
        for (const std::string& id : stored)
            m_spool.Stored(id);
        const auto now = std::chrono::steady_clock::now();
        m_spool.Look();
        for (const std::string& text : m_spool.TakeNotices())
            Notice(text);
        // The window goes again after a reconnect, and when the collector
        // came back or stores nothing of it for a while (the broker may
        // have dropped what passed its queue).
        if (connectedAgain || collectorBack)
            m_spool.SendAgain(now);
        else if (collectorOnline)
            m_spool.SendAgain(now - std::chrono::milliseconds(kResendAfterMs));
        if (connected)
            Publish(now);
        std::string error;
        if (!m_spool.SaveMark(error)) {
            if (error != m_strMarkError)
                Notice(error + "; the records are sent again after a restart");
            m_strMarkError = error;
        } else {
            m_strMarkError.clear();
        }

        lock.lock();
        m_nHeld = m_spool.Held();
        if (m_bStatusDirty && connected) {
            m_bStatusDirty = false;
            const std::string status = StatusJson();
            lock.unlock();
            m_link.Publish(Topic("status"), status, true);
            lock.lock();
        }
        // At the end the collector gets a moment for what is in flight,
        // while it is there to take it.
        if (closing && (m_nHeld == 0 || !connected || !collectorOnline || std::chrono::steady_clock::now() >= closeBy))
            break;
    }
    if (!m_link.IsConnected())
        return;
    m_state = StationState::Stopped;
    m_strWhy = "the station ended";
    m_strSince = NowUtcText();
    const std::string status = StatusJson();
    lock.unlock();
    const int mid = m_link.Publish(Topic("status"), status, true);
    lock.lock();
    m_wake.wait_for(lock, std::chrono::milliseconds(kFinalStatusMs),
                    [this, mid]() { return mid < 0 || m_closingAcks.count(mid) != 0; });
}

bool CStationLine::Close(int timeoutMs)
{
    {
        std::lock_guard lock(m_mutex);
        if (m_bClosing)
            return m_nHeld == 0;
        m_bClosing = true;
        m_closeBy = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        m_wake.notify_all();
    }
    if (m_thread.joinable())
        m_thread.join();
    m_link.Disconnect();
    std::lock_guard lock(m_mutex);
    return m_nHeld == 0;
}
