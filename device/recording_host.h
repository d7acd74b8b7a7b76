#pragma once
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>

#include "device/command_result.h"
#include "device/forwarding_host.h"
#include "device/sense_text.h"

struct SRB_ExecSCSICmd;

constexpr std::size_t kRecordedErrorMax = 192;

// One command as the recording layer saw it go out and come back.
struct RecordedCommand {
    uint8_t cdb[12] = {};
    bool bDataIn = true;
    uint32_t nLength = 0;
    CommandResult result = CommandResult::Good;
    uint8_t byScsiStatus = 0;
    SenseCode sense;
    char szError[kRecordedErrorMax] = {};  // Lost: why, in the host's words
};

struct RecordingOptions {
    // Every command as one JSON line in the transcript's format, flushed
    // after each; null: nothing is written, the last commands are still kept.
    std::ostream* pLog = nullptr;
    // data_sha256 on out commands: a hash of every block, so off by default.
    bool bDataDigest = false;
    // Where a drive lives (/dev/sg1, ...), asked once when it is opened;
    // without it, or when it says nothing, the path that opened it.
    std::function<std::string(char drive)> nodeName;
    // The run each line belongs to; empty: not written.
    std::string strRun;
    // The wall clock of each line; without it the system's.
    std::function<std::chrono::system_clock::time_point()> wallClock;
};

// A host that passes every call to another one and records every device
// command on the way: pass-through requests, and ASPI execute requests once
// they complete or their wait gives up. Real and emulated devices are
// recorded alike, since only the host underneath differs. Recording a
// command allocates nothing. Thread-safe, like the host it wraps.
class CRecordingHost final : public CForwardingHost {
public:
    explicit CRecordingHost(IScsiHost& inner, RecordingOptions options = {});
    ~CRecordingHost() override;

    // The last command sent to drive (a letter); false when it got none.
    bool LastCommand(char drive, RecordedCommand& command) const;
    // A line could not be written whole: the log is incomplete.
    bool LogFailed() const;

    HostHandle OpenDevice(const char* path) override;
    HostHandle OpenDeviceExclusive(const char* path, ExclusiveAccess& access) override;
    void CloseDevice(HostHandle device) override;
    bool SendPassThrough(HostHandle device, PassThroughRequest& request) override;
    uint32_t CallSendASPI32Command(AspiEntryPoint entry, void* srb) override;
    bool WaitCompletionEvent(HostHandle event, uint32_t milliseconds) override;
    void CloseCompletionEvent(HostHandle event) override;

private:
    static constexpr std::size_t kNodeMax = 64;
    struct OpenDrive {
        char chDrive;
        char szNode[kNodeMax];
    };
    // An ASPI request that went out pending: recorded when its wait ends.
    struct PendingExec {
        SRB_ExecSCSICmd* pSrb = nullptr;
        HostHandle hEvent = 0;
        int64_t liStart = 0;
    };
    static constexpr std::size_t kPendingMax = 16;

    // Keeps which drive an open handle is, for the records of its commands.
    void RememberDrive(HostHandle handle, const char* path);
    void Record(char drive, const char* node, const RecordedCommand& command, const uint8_t* data, int64_t liStart,
                int64_t liStop);
    void RecordExec(const SRB_ExecSCSICmd& srb, int64_t liStart, bool bWaitGaveUp);

    RecordingOptions m_options;
    int64_t m_liFrequency;
    int64_t m_liOrigin;

    mutable std::mutex m_mutex;
    std::map<HostHandle, OpenDrive> m_openDrives;
    std::map<uint16_t, char> m_aspiLetters;  // adapter << 8 | target -> drive letter
    PendingExec m_pending[kPendingMax];
    std::optional<RecordedCommand> m_last[26];
    bool m_bLogFailed = false;
};
