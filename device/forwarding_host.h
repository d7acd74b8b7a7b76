#pragma once
#include "device/aspi_host.h"
#include "device/host.h"

// A host that passes every call to another one; layers over a host derive
// from it and override only what they watch or change. It offers the ASPI
// layer exactly when the host underneath does, and forwards those calls too.
class CForwardingHost : public IScsiHost, public IAspiHost {
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
    IAspiHost* Aspi() override { return m_inner.Aspi() != nullptr ? this : nullptr; }
    IDriveNodes* DriveNodes() override { return m_inner.DriveNodes(); }
    std::string DriveNodeText(char drive) override { return m_inner.DriveNodeText(drive); }
    std::string DriveSerial(char drive) override { return m_inner.DriveSerial(drive); }
    uint8_t* AllocateDataBuffer(uint32_t length) override { return m_inner.AllocateDataBuffer(length); }
    void FreeDataBuffer(uint8_t* buffer) override { m_inner.FreeDataBuffer(buffer); }

    // IAspiHost: only called when Aspi() offered it.
    HostHandle LoadAspiLibrary(const char* name) override { return InnerAspi().LoadAspiLibrary(name); }
    AspiEntryPoint FindAspiEntryPoint(HostHandle library, const char* name) override
    {
        return InnerAspi().FindAspiEntryPoint(library, name);
    }
    void FreeAspiLibrary(HostHandle library) override { InnerAspi().FreeAspiLibrary(library); }
    uint32_t CallGetASPI32SupportInfo(AspiEntryPoint entry) override
    {
        return InnerAspi().CallGetASPI32SupportInfo(entry);
    }
    uint32_t CallSendASPI32Command(AspiEntryPoint entry, void* srb) override
    {
        return InnerAspi().CallSendASPI32Command(entry, srb);
    }
    HostHandle CreateCompletionEvent() override { return InnerAspi().CreateCompletionEvent(); }
    bool WaitCompletionEvent(HostHandle event, uint32_t milliseconds) override
    {
        return InnerAspi().WaitCompletionEvent(event, milliseconds);
    }
    void CloseCompletionEvent(HostHandle event) override { InnerAspi().CloseCompletionEvent(event); }

protected:
    IAspiHost& InnerAspi() const { return *m_inner.Aspi(); }

    IScsiHost& m_inner;
};
