#pragma once
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <ostream>
#include <string>

#include "device/host.h"
#include "device/sense_text.h"

struct SRB_ExecSCSICmd;

// How a command came back.
enum class CommandResult {
    Good,    // the target answered GOOD
    Check,   // CHECK CONDITION: the target refused it, the sense says why
    Status,  // another SCSI status (BUSY, RESERVATION CONFLICT, ...)
    Fail,    // the call itself failed: the command got no answer from the target
};

constexpr std::size_t kRecordedErrorMax = 192;

constexpr std::size_t kTimeTextLength = 32;  // "2025-01-31T12:34:56.789Z", with room for any year

// The time in UTC to the millisecond, as log lines carry it.
void FormatUtc(std::chrono::system_clock::time_point time, char (&text)[kTimeTextLength]);

// One command as the recording layer saw it go out and come back.
struct RecordedCommand {
    uint8_t cdb[12] = {};
    bool bDataIn = true;
    uint32_t nLength = 0;
    CommandResult result = CommandResult::Good;
    uint8_t byScsiStatus = 0;
    SenseCode sense;
    char szError[kRecordedErrorMax] = {};  // Fail: why, in the host's words
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
    // The wall clock of each line; without it the system's.
    std::function<std::chrono::system_clock::time_point()> wallClock;
};

// A host that passes every call to another one and records every device
// command on the way: pass-through requests, and ASPI execute requests once
// they complete or their wait gives up. Real and emulated devices are
// recorded alike, since only the host underneath differs. Recording a
// command allocates nothing. Thread-safe, like the host it wraps.
class CRecordingHost final : public IScsiHost {
public:
    explicit CRecordingHost(IScsiHost& inner, RecordingOptions options = {});
    ~CRecordingHost() override;

    IScsiHost& Inner() const { return m_inner; }
    // The last command sent to drive (a letter); false when it got none.
    bool LastCommand(char drive, RecordedCommand& command) const;
    // A line could not be written whole: the log is incomplete.
    bool LogFailed() const;

    bool GetVersionPlatformId(uint32_t& platformId) override { return m_inner.GetVersionPlatformId(platformId); }
    int64_t QueryCounterFrequency() override { return m_inner.QueryCounterFrequency(); }
    int64_t QueryCounter() override { return m_inner.QueryCounter(); }
    uint32_t GetLogicalDriveRoots(uint32_t bufferLength, char* buffer) override
    {
        return m_inner.GetLogicalDriveRoots(bufferLength, buffer);
    }
    uint32_t GetDriveKind(const char* rootPath) override { return m_inner.GetDriveKind(rootPath); }
    HostHandle OpenDevice(const char* path) override;
    HostHandle OpenDeviceExclusive(const char* path, ExclusiveAccess& access) override;
    void ReleaseExclusiveAccess(HostHandle device) override { m_inner.ReleaseExclusiveAccess(device); }
    void CloseDevice(HostHandle device) override;
    bool SendPassThrough(HostHandle device, PassThroughRequest& request) override;
    void DescribeLastFailure(char* text, std::size_t size) override { m_inner.DescribeLastFailure(text, size); }
    HostHandle LoadAspiLibrary(const char* name) override { return m_inner.LoadAspiLibrary(name); }
    AspiEntryPoint FindAspiEntryPoint(HostHandle library, const char* name) override
    {
        return m_inner.FindAspiEntryPoint(library, name);
    }
    void FreeAspiLibrary(HostHandle library) override { m_inner.FreeAspiLibrary(library); }
    uint32_t CallGetASPI32SupportInfo(AspiEntryPoint entry) override { return m_inner.CallGetASPI32SupportInfo(entry); }
    uint32_t CallSendASPI32Command(AspiEntryPoint entry, void* srb) override;
    HostHandle CreateCompletionEvent() override { return m_inner.CreateCompletionEvent(); }
    bool WaitCompletionEvent(HostHandle event, uint32_t milliseconds) override;
    void CloseCompletionEvent(HostHandle event) override;
    uint8_t* AllocateDataBuffer(uint32_t length) override { return m_inner.AllocateDataBuffer(length); }
    void FreeDataBuffer(uint8_t* buffer) override { m_inner.FreeDataBuffer(buffer); }

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

    IScsiHost& m_inner;
    RecordingOptions m_options;
    int64_t m_liFrequency;
    int64_t m_liOrigin;

    mutable std::mutex m_mutex;
    std::map<HostHandle, OpenDrive> m_openDrives;
    std::map<uint16_t, char> m_aspiLetters;  // adapter << 8 | target -> drive letter
    PendingExec m_pending[kPendingMax];
    RecordedCommand m_last[26];
    bool m_bHasLast[26] = {};
    bool m_bLogFailed = false;
};

// host itself, or the host under its recording layers: the one that can say
// what only the platform or the emulator knows.
IScsiHost& UnrecordedHost(IScsiHost& host);
