#pragma once
#include "device/host.h"

// A host that passes every call to another one; layers over a host derive
// from it and override only what they watch or change.
class CForwardingHost : public IScsiHost {
public:
    explicit CForwardingHost(IScsiHost& inner) : m_inner(inner) {}

    IScsiHost& Inner() const { return m_inner; }

    bool GetVersionPlatformId(uint32_t& platformId) override { return m_inner.GetVersionPlatformId(platformId); }
    int64_t QueryCounterFrequency() override { return m_inner.QueryCounterFrequency(); }
    int64_t QueryCounter() override { return m_inner.QueryCounter(); }
    uint32_t GetLogicalDriveRoots(uint32_t length, char* buffer) override
    {
        return m_inner.GetLogicalDriveRoots(length, buffer);
    }
    uint32_t GetDriveKind(const char* rootPath) override { return m_inner.GetDriveKind(rootPath); }
    HostHandle OpenDevice(const char* path) override { return m_inner.OpenDevice(path); }
    HostHandle OpenDeviceExclusive(const char* path, ExclusiveAccess& access) override
    {
        return m_inner.OpenDeviceExclusive(path, access);
    }
    void ReleaseExclusiveAccess(HostHandle device) override { m_inner.ReleaseExclusiveAccess(device); }
    void CloseDevice(HostHandle device) override { m_inner.CloseDevice(device); }
    bool SendPassThrough(HostHandle device, PassThroughRequest& request) override
    {
        return m_inner.SendPassThrough(device, request);
    }
    void DescribeLastFailure(char* text, std::size_t size) override { m_inner.DescribeLastFailure(text, size); }
    HostHandle LoadAspiLibrary(const char* name) override { return m_inner.LoadAspiLibrary(name); }
    AspiEntryPoint FindAspiEntryPoint(HostHandle library, const char* name) override
    {
        return m_inner.FindAspiEntryPoint(library, name);
    }
    void FreeAspiLibrary(HostHandle library) override { m_inner.FreeAspiLibrary(library); }
    uint32_t CallGetASPI32SupportInfo(AspiEntryPoint entry) override { return m_inner.CallGetASPI32SupportInfo(entry); }
    uint32_t CallSendASPI32Command(AspiEntryPoint entry, void* srb) override
    {
        return m_inner.CallSendASPI32Command(entry, srb);
    }
    HostHandle CreateCompletionEvent() override { return m_inner.CreateCompletionEvent(); }
    bool WaitCompletionEvent(HostHandle event, uint32_t milliseconds) override
    {
        return m_inner.WaitCompletionEvent(event, milliseconds);
    }
    void CloseCompletionEvent(HostHandle event) override { m_inner.CloseCompletionEvent(event); }
    uint8_t* AllocateDataBuffer(uint32_t length) override { return m_inner.AllocateDataBuffer(length); }
    void FreeDataBuffer(uint8_t* buffer) override { m_inner.FreeDataBuffer(buffer); }

protected:
    IScsiHost& m_inner;
};
