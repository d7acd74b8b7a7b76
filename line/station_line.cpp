#include "line/station_line.h"

#include <unistd.h>

#include <chrono>
#include <iterator>
#include <nlohmann/json.hpp>

#include "device/json_line.h"
#include "device/recording_host.h"
#include "res/app_name.h"

namespace {

// How long the first connection, and then the approval, may take.
constexpr int kConnectTimeoutMs = 10000;
// The log is read this often even when nobody says it grew.
constexpr int kLookPeriodMs = 200;

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
    : m_options(options), m_spool(options.strLog), m_strSince(NowUtcText())
{
    m_link.onConnection = [this](bool connected) {
        if (!connected)
            return;
        // A clean session: the subscription is made anew on every connection,
        // and the status sent after it comes back only after the retained
        // approval (the broker answers in order).
        m_link.Subscribe(ApprovedTopic(m_options.mqtt.url.strLine));
        const std::string status = [this]() {
            std::lock_guard lock(m_mutex);
            return StatusJson();
        }();
        const int mid = m_link.Publish(Topic("status"), status, true);
        std::lock_guard lock(m_mutex);
        m_nProbeMid = mid;
        m_bResend = true;
        m_bStatusDirty = false;
        m_wake.notify_all();
    };
    m_link.onAcked = [this](int mid) {
        std::lock_guard lock(m_mutex);
        if (mid == m_nProbeMid)
            m_bApprovalKnown = true;
        if (mid == m_nFinalMid)
            m_bFinalAcked = true;
        const auto it = m_recordMids.find(mid);
        if (it != m_recordMids.end()) {
            m_spool.Acked(it->second);
            m_recordMids.erase(it);
        }
        m_wake.notify_all();
    };
    m_link.onMessage = [this](const std::string&, const std::string& payload, bool) {
        std::lock_guard lock(m_mutex);
        m_bHasApproval = !payload.empty();
        m_strApprovalProblem.clear();
        if (m_bHasApproval && !ParseLineImage(payload, m_approved))
            m_strApprovalProblem = "the line's approval is no image digest: " + payload.substr(0, 80);
        m_bStatusDirty = true;
        m_wake.notify_all();
    };
}

std::unique_ptr<CStationLine> CStationLine::Connect(const StationLineOptions& options, std::string& error)
{
    std::unique_ptr<CStationLine> line(new CStationLine(options));
    if (!line->m_spool.Open(error))
        return nullptr;
    line->m_spool.ReadNew();

    MqttSettings settings = options.mqtt;
    settings.strWillTopic = line->Topic("status");
    std::string will;
    CJsonLine(will)
        .String("station", options.strStation)
        .String("state", "offline")
        .String("host", LineHostName())
        .String("version", KT_APP_VERSION_TEXT)
        .Close();
    settings.strWillPayload = will;
    // With the process id: two stations of one name (two on one host, both
    // named after it) must not throw each other off the broker.
    if (settings.strClientId.empty())
        settings.strClientId =
            "kt3916-station-" + settings.url.strLine + "-" + options.strStation + "-" + std::to_string(getpid());
    if (!line->m_link.Connect(settings, kConnectTimeoutMs, error))
        return nullptr;
    {
        std::unique_lock lock(line->m_mutex);
        if (!line->m_wake.wait_for(lock, std::chrono::milliseconds(kConnectTimeoutMs),
                                   [&line]() { return line->m_bApprovalKnown; })) {
            error = "the line's broker took the connection but did not answer its subscription";
            return nullptr;
        }
    }
    line->m_thread = std::thread([self = line.get()]() { self->Run(); });
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
        why = "the line's approved image is " + m_approved.strName + " (" + m_approved.strChecksum + " sha256 " +
              m_approved.strSha256.substr(0, 12) + "...), not this station's (" + m_options.image.strChecksum +
              " sha256 " + m_options.image.strSha256.substr(0, 12) + "...)" +
              SignatureDifference(m_approved, m_options.image);
        return false;
    }
    return true;
}

std::string CStationLine::StatusJson() const
{
    std::string json;
    CJsonLine out(json);
    out.String("station", m_options.strStation).String("state", StateName(m_state));
    if (!m_strWhy.empty())
        out.String("why", m_strWhy);
    out.String("image_name", m_options.image.strName).Number("image_length", m_options.image.nLength);
    out.String("checksum", m_options.image.strChecksum).String("sha256", m_options.image.strSha256);
    out.Number("passed", m_nPassed).Number("failed", m_nFailed);
    out.Number("unacked", m_spool.UnackedCount());
    out.String("version", KT_APP_VERSION_TEXT).String("host", LineHostName()).Number("pid", getpid());
    out.String("since", m_strSince).String("time", NowUtcText());
    out.Close();
    return json;
}

// Under m_mutex.
void CStationLine::PublishRecords(bool all)
{
    const std::vector<SpoolRecord> fresh = m_spool.ReadNew();
    if (!m_link.IsConnected())
        return;
    const std::vector<SpoolRecord> records = all ? m_spool.Unacked() : fresh;
    if (all)
        m_recordMids.clear();
    const std::string topic = Topic("unit");
    for (const SpoolRecord& record : records) {
        const int mid = m_link.Publish(topic, record.strLine, false);
        if (mid < 0) {
            m_bResend = true;
            return;
        }
        m_recordMids[mid] = record.nOffset;
    }
}

void CStationLine::Run()
{
    std::unique_lock lock(m_mutex);
    while (true) {
        m_wake.wait_for(lock, std::chrono::milliseconds(kLookPeriodMs),
                        [this]() { return m_bWoken || m_bStatusDirty || m_bClosing || m_bResend; });
        m_bWoken = false;
        const bool resend = m_bResend && m_link.IsConnected();
        if (resend)
            m_bResend = false;
        PublishRecords(resend);
        if (m_bStatusDirty && m_link.IsConnected()) {
            m_bStatusDirty = false;
            m_link.Publish(Topic("status"), StatusJson(), true);
        }
        std::string error;
        if (!m_spool.SaveMark(error) && m_strError.empty())
            m_strError = error;
        if (m_bClosing && (m_spool.UnackedCount() == 0 || std::chrono::steady_clock::now() >= m_closeBy))
            break;
    }
}

size_t CStationLine::Close(int timeoutMs)
{
    {
        std::lock_guard lock(m_mutex);
        if (m_bClosing)
            return m_spool.UnackedCount();
        m_bClosing = true;
        m_closeBy = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        m_bWoken = true;
        m_wake.notify_all();
    }
    if (m_thread.joinable())
        m_thread.join();
    std::unique_lock lock(m_mutex);
    if (m_link.IsConnected()) {
        m_state = StationState::Stopped;
        m_strWhy = "the station ended";
        m_strSince = NowUtcText();
        m_nFinalMid = m_link.Publish(Topic("status"), StatusJson(), true);
        m_wake.wait_for(lock, std::chrono::milliseconds(std::min(timeoutMs, 2000)), [this]() { return m_bFinalAcked; });
    }
    const size_t left = m_spool.UnackedCount();
    std::string error;
    m_spool.SaveMark(error);
    lock.unlock();
    m_link.Disconnect();
    return left;
}
