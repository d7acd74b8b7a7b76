#pragma once
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "line/mqtt_link.h"
#include "line/record_spool.h"

// An image as the line compares it: what the station flashes must equal
// the line's approved one in all of length, 16-bit sum and SHA-256.
struct LineImage {
    std::string strName;  // the file name, for people
    int64_t nLength = 0;
    std::string strChecksum;  // four upper-case hex digits
    std::string strSha256;    // 64 lower-case hex digits
    // Of its minisign signature, as the approving host checked it; empty
    // for an image sent unsigned.
    std::string strKeyId;
    std::string strTrustedComment;
};
std::string LineImageJson(const LineImage& image, const std::string& time, const std::string& host);
// False when payload is no image digest.
bool ParseLineImage(const std::string& payload, LineImage& image);
bool SameImage(const LineImage& a, const LineImage& b);

enum class StationState {
    Waiting,
    Flashing,
    Stopped
};

struct StationLineOptions {
    MqttSettings mqtt;
    std::string strStation;
    std::string strLog;  // the spool
    bool bWithoutApproval = false;
    LineImage image;
};

// A station's seat on its line. Nothing here blocks the caller on the
// broker: publishing, acknowledgements and reconnects run on the line's own
// thread, which reads the unit records from the log after the station wrote
// them there.
class CStationLine {
public:
    // Joins the line, then waits until the line's approval is known.
    static std::unique_ptr<CStationLine> Connect(const StationLineOptions& options, std::string& error);
    ~CStationLine();

    // The log has new records: they go out without waiting for the next look.
    void RecordsWritten();
    void Status(StationState state, int passed, int failed, const std::string& why);
    // False, with the reason, while the line's approved image is not this
    // station's image (or the line has none).
    bool MayTakeUnits(std::string& why);
    // Ends the seat: the records not yet acknowledged get up to timeoutMs,
    // then the status says stopped. Returns how many records are still
    // unacknowledged (the next start sends them).
    size_t Close(int timeoutMs);

private:
    explicit CStationLine(const StationLineOptions& options);
    void Run();
    void PublishRecords(bool all);
    std::string StatusJson() const;
    // This station's topic of the kind leaf.
    std::string Topic(const char* leaf) const
    {
        return StationTopic(m_options.mqtt.url.strLine, m_options.strStation, leaf);
    }

    StationLineOptions m_options;
    CMqttLink m_link;
    CRecordSpool m_spool;
    std::thread m_thread;

    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_bWoken = false;
    bool m_bClosing = false;  // set once, by Close
    std::chrono::steady_clock::time_point m_closeBy;
    bool m_bResend = true;                 // after each (re)connect: all that is unacknowledged
    std::map<int, uint64_t> m_recordMids;  // publish id -> record offset
    int m_nProbeMid = -1;                  // the status sent after subscribing
    int m_nFinalMid = -1;
    bool m_bFinalAcked = false;
    bool m_bApprovalKnown = false;
    bool m_bHasApproval = false;
    LineImage m_approved;
    std::string m_strApprovalProblem;
    bool m_bStatusDirty = true;
    StationState m_state = StationState::Waiting;
    int m_nPassed = 0;
    int m_nFailed = 0;
    std::string m_strWhy;
    std::string m_strSince;
    std::string m_strError;  // the mark's, said once
};

std::string LineHostName();
