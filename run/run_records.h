#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "run/flash_events.h"
#include "run/image_trust.h"
#include "run/run_environment.h"
#include "run/run_options.h"

class CRecordFile;
class CRecordingHost;

// stdout failed: what the events and records on it carried is gone.
inline constexpr char kErrOutputLost[] = "standard output could not be written: records were lost";

// How one unit ended, as its end record tells it.
struct UnitEnd {
    std::string strUnit;  // the unit's id from UnitStart; empty: it never started
    char chDrive = 0;
    std::string strNode;
    std::string strIdentity;  // vendor and product, blanks folded
    std::string strOldRevision;
    std::string strNewRevision;
    const char* result = "failed";  // passed, failed or skipped
    const char* reason = nullptr;   // of a skipped unit
    int exit = 0;
    std::string strMessage;
    uint64_t nDurationMs = 0;
    uint32_t nBlocksSent = 0;
    uint32_t nBlocks = 0;
    std::string strChecksum;
    std::string strSha256;
};

// A unit whose start is in a log with no end after it: the tool stopped
// (a crash, a power cut) while that unit was under way.
struct UnfinishedUnit {
    std::string strUnit;
    std::string strRun;
    std::string strTime;  // of its start record
    std::string strDevice;
    std::string strNode;
    std::string strIdentity;
    uint32_t nBlocksSent = 0;  // block writes of that unit the log holds
};

// For a wait on an output's reader once the devices are done: says on
// stderr, after a moment, that the tool waits, and gives up at the next
// Ctrl-C (or a moment after one that came before).
std::function<bool()> StopWaitingForReader(CliEnvironment& env);

// The station's name on its line and in its unit records: several stations
// may share one log, and each sends the line only its own.
std::string StationName(const CliOptions& options);

// Reads the last tailBytes of a log for units that started and never ended.
std::vector<UnfinishedUnit> FindUnfinishedUnits(const std::string& path, uint64_t tailBytes);

// What a run leaves behind for the line: the log (every command, the run's
// start and each unit's start and end), the transcript and what stdout
// carried. Nothing goes to a device before the run's start is recorded, no
// unit's transfer starts before its start is; a run whose record failed
// never ends as a success, and a station does not go on flashing units it
// cannot account for.
class CRunRecords {
public:
    // log, transcript: the files, or null.
    CRunRecords(const CliOptions& options, CliEnvironment& env, CRecordFile* log, CRecordFile* transcript,
                const CRecordingHost& recorder, std::string runId);

    const std::string& RunId() const { return m_strRunId; }
    // The image's signature, as the run's and each unit's records carry it;
    // set before Begin.
    void SetImageTrust(const ImageTrust& trust) { m_trust = trust; }
    const ImageTrust& Trust() const { return m_trust; }
    // The run's start record, in the log (written, and on the disk where it
    // has one) and, when announce and --json, as the first event on stdout
    // (written). False, said on stderr, when either cannot be: nothing may
    // be sent.
    bool Begin(const char* command, bool announce);
    // A unit's transfer starts: its start record is in the log, on the disk
    // where the log has one, when this returns. Returns the unit's id. The
    // serial (empty: not known) goes into the unit's start and end records.
    std::string UnitStart(const FlashRecord& record, const std::string& identity, const std::string& sha256,
                          const std::string& serial);
    void RecordUnitEnd(const UnitEnd& end);
    // The log's line that a unit found unfinished was seen and reported.
    void RecordUnfinished(const UnfinishedUnit& unit);

    // Hands the log and the transcript to the disk; false when either does
    // not hold every line. Any thread: it reads nothing of stdout.
    bool Sync();
    // The transcript took every line so far, and a regular file has them on
    // its disk: a unit's flash may begin with its record whole.
    bool TranscriptHolds();
    bool HasTranscript() const { return m_pTranscript != nullptr; }
    // "cannot write the transcript file PATH: reason"
    std::string TranscriptUnwritable() const;
    // At a command's end, before its last word (the result or summary): the
    // records on the disk, and the exit code as they leave it (a success
    // whose record failed is exit 1).
    int Settle(int exit);
    // The first time a record has failed (the log, the transcript, stdout),
    // says so on stderr and in a JSON error event while stdout still takes
    // one; true from then on.
    bool CheckFailed();
    // A station's log and transcript follow a rotation by rename (the line
    // reads the renamed log to its end, then the new one).
    void FollowRenames();
    // Follows a rename of either at once, and says on stderr when a file was
    // opened anew at its path since the last call.
    void FollowRotation();
    // The layer every command of the run goes through.
    const CRecordingHost& Recorder() const { return m_recorder; }
    // The interrupt stops a wait for an output (a log on a disk that hangs).
    std::function<bool()> StopWaiting() const;

private:
    std::string NextId();
    std::string FailureText() const;

    const CliOptions& m_options;
    CliEnvironment& m_env;
    CRecordFile* m_pLog;
    CRecordFile* m_pTranscript;
    const CRecordingHost& m_recorder;
    std::string m_strRunId;
    ImageTrust m_trust;
    std::atomic<uint32_t> m_nNextRecord{1};
    std::atomic<uint32_t> m_nNextUnit{1};
    std::mutex m_mutex;
    bool m_bReported = false;
    std::string m_strUnread;  // a file whose reader stopped reading
    unsigned m_nLogReopened = 0;
    unsigned m_nTranscriptReopened = 0;
    std::mutex m_serialsMutex;
    std::map<std::string, std::string> m_serials;  // unit id -> serial, from its start to its end
};

// A flashed (or skipped) device's end record; identity: as its INQUIRY
// answered, empty for the form's own.
UnitEnd UnitEndOf(const FlashRecord& record, const std::string& identity);
