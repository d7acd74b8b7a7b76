#pragma once
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <vector>
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
// A collector's retained status says it is there to store records: its
// last will and anything else are not.
bool CollectorOnline(const std::string& status);

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

// At most this many of a station's records are on their way to the
// collector at once: the broker queues a collector's messages while it is
// away, 1000 per client by mosquitto's default, and a few stations' windows
// stay below that.
inline constexpr size_t kRecordsInFlight = 100;

// A station's connection to its line. The station's threads only ever take a
// short lock here and never wait on the broker: publishing, the collector's
// acknowledgements, reconnects and the reading of the log run on the line's
// own thread and libmosquitto's.
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
    // What the line has to say to the station's operator since the last call
    // (the log rotated, the mark unwritable, another station of this name).
    std::vector<std::string> TakeNotices();
    // Ends the connection: while the collector is there, the records in flight get
    // up to timeoutMs to be stored; then the status says stopped. False when
    // records are left in the log for the next start.
    bool Close(int timeoutMs);

private:
    explicit CStationLine(const StationLineOptions& options);
    void Run();
    void OnMessage(const std::string& topic, const std::string& payload);
    // The line thread's own round: no lock held.
    void Publish(std::chrono::steady_clock::time_point now);
    std::string StatusJson();
    void Notice(const std::string& text);
    // This station's topic of the kind leaf.
    std::string Topic(const char* leaf) const
    {
        return StationTopic(m_options.mqtt.url.strLine, m_options.strStation, leaf);
    }

    StationLineOptions m_options;
    const std::string m_strHost;
    CMqttLink m_link;
    std::thread m_thread;
    // The line thread's alone.
    CRecordSpool m_spool;
    std::string m_strMarkError;

    // Shared: taken briefly, never held across a call into the broker's
    // library or the file system.
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_bWoken = false;
    bool m_bClosing = false;  // set once, by Close
    std::chrono::steady_clock::time_point m_closeBy;
    bool m_bConnectedAgain = false;            // send the window again
    std::vector<std::string> m_stored;         // ids the collector stored
    std::map<std::string, bool> m_collectors;  // collector topic -> online
    bool m_bCollectorCameBack = false;
    int m_nProbeMid = -1;         // the status sent after subscribing
    std::set<int> m_closingAcks;  // acknowledged while closing
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
    size_t m_nHeld = 0;           // the spool's, for the status
    std::string m_strLogProblem;  // the spool's last notice, for the status
    bool m_bTwinTold = false;
    std::vector<std::string> m_notices;
};

std::string LineHostName();
