#pragma once
#include <memory>
#include <ostream>
#include <string>

#include "base/clock.h"
#include "base/output_file.h"
#include "device/host.h"
#include "device/transcript.h"

class CRecordingHost;

// What a face wants under its device objects.
struct HostStackSpec {
    bool bEmulate = false;  // the emulated bench instead of the platform's host
    std::string strScenario;
    IScsiHost* pHost = nullptr;  // replaces both (tests inject faults)
    IClock* pClock = nullptr;    // the emulated bench's; null: the system clock
    // The image to be flashed: records appended to it would corrupt it.
    std::string strImage;
    // Every command the devices receive, in the transcript's format: the
    // emulated devices write it themselves, real ones through a recording
    // layer. Empty path: none.
    std::string strTranscript;
    IOutputFile* pTranscript = nullptr;
    // Every command sent to any device, through the recording layer.
    std::string strLog;
    IOutputFile* pLog = nullptr;
    // Written on every line of the log: several runs may share one.
    std::string strRun;
    // The recording layer on top even without a log (its last command of
    // each drive names a failure's sense).
    bool bAlwaysRecord = false;
};

enum class HostStackFault {
    None,
    BadScenario,          // strDetail: what the scenario parser found
    TranscriptIsImage,    // the transcript file is the image itself
    TranscriptNotOpened,  // strDetail: the system's reason
    LogIsImage,
    LogIsTranscript,  // the log and the transcript name one file
    LogNotOpened,
    NoPlatformHost,  // the system's device access could not be set up
};

struct HostStackError {
    HostStackFault fault = HostStackFault::None;
    std::string strDetail;
    bool bFifoWithoutReader = false;  // a FIFO nobody reads: the command line's fault
};

// The host a face's device objects talk to, with all it needs to live: the
// platform's host or the emulated bench, and the recording layers over it.
// A request for the emulator never turns into real hardware access.
class CHostStack {
public:
    CHostStack();
    ~CHostStack();
    CHostStack(const CHostStack&) = delete;
    CHostStack& operator=(const CHostStack&) = delete;

    // In this order: the scenario, the transcript file, the host, the log
    // file, the recording layers. False at the first that fails, with the
    // reason in error; what was built before it stays (IsEmulated).
    bool Build(const HostStackSpec& spec, HostStackError& error);

    IScsiHost& Host() const { return *m_pTop; }
    bool IsEmulated() const { return m_bEmulated; }
    // The layer that records for the log; null without one.
    CRecordingHost* Recorder() const { return m_pRecorder.get(); }

private:
    std::unique_ptr<IClock> m_pOwnClock;
    std::unique_ptr<CTranscriptLines> m_pEmulatedTranscript;
    std::unique_ptr<IScsiHost> m_pOwnHost;
    std::unique_ptr<CRecordingHost> m_pTranscriptLayer;  // real devices' transcript
    std::unique_ptr<CRecordingHost> m_pRecorder;
    IScsiHost* m_pTop = nullptr;
    bool m_bEmulated = false;
};
