#pragma once
#include <cstdint>

#include "device/host.h"

// Passes every call to another host and counts the device commands that
// went out through it, by the CDB's opcode, on the pass-through and the ASPI
// path alike. What the tool says about a device's state afterwards follows
// from these counts, not from where the form's sequence is thought to stand.
// One per form, on the form's thread.
class CCommandTally final : public IScsiHost {
public:
    explicit CCommandTally(IScsiHost& inner) : m_inner(inner) {}

    // Commands handed to the system, whatever their outcome.
    uint32_t Count(uint8_t opcode) const { return m_counts[opcode]; }

    bool GetVersionPlatformId(uint32_t& platformId) override { return m_inner.GetVersionPlatformId(platformId); }
    int64_t QueryCounterFrequency() override { return m_inner.QueryCounterFrequency(); }
    int64_t QueryCounter() override { return m_inner.QueryCounter(); }
    uint32_t GetLogicalDriveRoots(uint32_t length, char* buffer) override {
        return m_inner.GetLogicalDriveRoots(length, buffer);
    }
    uint32_t GetDriveKind(const char* rootPath) override { return m_inner.GetDriveKind(rootPath); }
    HostHandle OpenDevice(const char* path) override { return m_inner.OpenDevice(path); }
    HostHandle OpenDeviceExclusive(const char* path, ExclusiveAccess& access) override {
        return m_inner.OpenDeviceExclusive(path, access);
    }
    void ReleaseExclusiveAccess(HostHandle device) override { m_inner.ReleaseExclusiveAccess(device); }
    void CloseDevice(HostHandle device) override { m_inner.CloseDevice(device); }
    bool SendPassThrough(HostHandle device, PassThroughRequest& request) override;
    HostHandle LoadAspiLibrary(const char* name) override { return m_inner.LoadAspiLibrary(name); }
    AspiEntryPoint FindAspiEntryPoint(HostHandle library, const char* name) override {
        return m_inner.FindAspiEntryPoint(library, name);
    }
    void FreeAspiLibrary(HostHandle library) override { m_inner.FreeAspiLibrary(library); }
    uint32_t CallGetASPI32SupportInfo(AspiEntryPoint entry) override { return m_inner.CallGetASPI32SupportInfo(entry); }
    uint32_t CallSendASPI32Command(AspiEntryPoint entry, void* srb) override;
    HostHandle CreateCompletionEvent() override { return m_inner.CreateCompletionEvent(); }
    bool WaitCompletionEvent(HostHandle event, uint32_t milliseconds) override {
        return m_inner.WaitCompletionEvent(event, milliseconds);
    }
    void CloseCompletionEvent(HostHandle event) override { m_inner.CloseCompletionEvent(event); }

private:
    IScsiHost& m_inner;
    uint32_t m_counts[256] = {};
};
