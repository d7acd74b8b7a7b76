#pragma once
#include <cstdint>

#include "device/emulated/clock.h"
#include "device/host.h"

// Said once for the drives whose hold is NotOffered, named after it.
inline constexpr char kNoteNoExclusiveAccess[] =
    "exclusive access is not available on this system; other programs may still send commands to ";

// A drive taken for one flash run alone, before anything is sent to it, and
// the host as that run's form sees it: the drive's device path opens the
// handle taken here, and the form's closing it leaves it open, so that no
// other open of the drive comes between the survey, the transfer and the
// verification. Every other call goes to the host underneath. Taken on one
// thread, then used by the run's thread only.
class CDriveHold final : public IScsiHost {
public:
    enum class State {
        Held,        // no other program can send the drive commands
        Busy,        // another program has the drive: nothing may be sent to it
        NotOffered,  // the system cannot give a drive to one program: the run goes on without
        NotOpened,   // the drive could not be opened: the form finds out and says why
    };

    // drive: the letter; 0 (a device reached without one) takes nothing.
    // A drive that is busy is asked again for a while: another program's
    // listing of all drives has each open only for a moment.
    CDriveHold(IScsiHost& inner, char drive, IClock& clock);
    ~CDriveHold() override;
    CDriveHold(const CDriveHold&) = delete;
    CDriveHold& operator=(const CDriveHold&) = delete;

    State GetState() const { return m_state; }
    // Gives the drive back and closes the handle; once.
    void Release();

    bool GetVersionPlatformId(uint32_t& platformId) override { return m_inner.GetVersionPlatformId(platformId); }
    int64_t QueryCounterFrequency() override { return m_inner.QueryCounterFrequency(); }
    int64_t QueryCounter() override { return m_inner.QueryCounter(); }
    uint32_t GetLogicalDriveRoots(uint32_t length, char* buffer) override {
        return m_inner.GetLogicalDriveRoots(length, buffer);
    }
    uint32_t GetDriveKind(const char* rootPath) override { return m_inner.GetDriveKind(rootPath); }
    HostHandle OpenDevice(const char* path) override;
    void CloseDevice(HostHandle device) override;
    bool SendPassThrough(HostHandle device, PassThroughRequest& request) override {
        return m_inner.SendPassThrough(device, request);
    }
    void DescribeLastFailure(char* text, std::size_t size) override { m_inner.DescribeLastFailure(text, size); }
    HostHandle LoadAspiLibrary(const char* name) override { return m_inner.LoadAspiLibrary(name); }
    AspiEntryPoint FindAspiEntryPoint(HostHandle library, const char* name) override {
        return m_inner.FindAspiEntryPoint(library, name);
    }
    void FreeAspiLibrary(HostHandle library) override { m_inner.FreeAspiLibrary(library); }
    uint32_t CallGetASPI32SupportInfo(AspiEntryPoint entry) override { return m_inner.CallGetASPI32SupportInfo(entry); }
    uint32_t CallSendASPI32Command(AspiEntryPoint entry, void* srb) override {
        return m_inner.CallSendASPI32Command(entry, srb);
    }
    HostHandle CreateCompletionEvent() override { return m_inner.CreateCompletionEvent(); }
    bool WaitCompletionEvent(HostHandle event, uint32_t milliseconds) override {
        return m_inner.WaitCompletionEvent(event, milliseconds);
    }
    void CloseCompletionEvent(HostHandle event) override { m_inner.CloseCompletionEvent(event); }
    uint8_t* AllocateDataBuffer(uint32_t length) override { return m_inner.AllocateDataBuffer(length); }
    void FreeDataBuffer(uint8_t* buffer) override { m_inner.FreeDataBuffer(buffer); }

private:
    IScsiHost& m_inner;
    char m_chDrive;
    State m_state = State::NotOpened;
    HostHandle m_hDevice = kInvalidHandle;
};
