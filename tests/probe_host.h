#pragma once
#include <cctype>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "device/host.h"

// Stands between the device object and a real (usually emulated) host: it
// records the drive texts that discovery asks about, can tag each device's
// INQUIRY data with its drive letter so that devices can be told apart, and
// can run a hook before each pass-through call.
class ProbeHost final : public IScsiHost {
public:
    explicit ProbeHost(IScsiHost& inner) : m_inner(inner) {}

    bool GetVersionPlatformId(uint32_t& platformId) override { return m_inner.GetVersionPlatformId(platformId); }
    int64_t QueryCounterFrequency() override { return m_inner.QueryCounterFrequency(); }
    int64_t QueryCounter() override { return m_inner.QueryCounter(); }
    uint32_t GetLogicalDriveRoots(uint32_t bufferLength, char* buffer) override
    {
        return m_inner.GetLogicalDriveRoots(bufferLength, buffer);
    }
    uint32_t GetDriveKind(const char* rootPath) override
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_driveKindPaths.push_back(rootPath);
        }
        return m_inner.GetDriveKind(rootPath);
    }
    HostHandle OpenDevice(const char* path) override
    {
        const HostHandle handle = m_inner.OpenDevice(path);
        if (handle != kInvalidHandle && std::strlen(path) >= 5) {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_driveOfHandle[handle] = static_cast<char>(std::toupper(static_cast<unsigned char>(path[4])));
        }
        return handle;
    }
    void CloseDevice(HostHandle device) override { m_inner.CloseDevice(device); }
    bool SendPassThrough(HostHandle device, PassThroughRequest& request) override
    {
        if (m_beforePassThrough)
            m_beforePassThrough(request);
        const char drive = DriveOf(device);
        if (m_silentDrives.count(drive))
            return false;
        const bool ok = m_inner.SendPassThrough(device, request);
        const bool inquiry = request.sptd.Cdb[0] == 0x12;
        if (m_bTagInquiry && ok && inquiry && request.sptd.ScsiStatus == 0) {
            // Vendor "DRIVE x", revision "R-x ": identity and revision name the drive.
            auto* data = static_cast<uint8_t*>(request.sptd.DataBuffer);
            std::memcpy(data + 8, "DRIVE   ", 8);
            data[14] = static_cast<uint8_t>(drive);
            std::memcpy(data + 32, "R-  ", 4);
            data[34] = static_cast<uint8_t>(drive);
        }
        return ok;
    }
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
    uint8_t* AllocateDataBuffer(uint32_t length) override
    {
        return m_bNoDataBuffer ? nullptr : m_inner.AllocateDataBuffer(length);
    }
    void FreeDataBuffer(uint8_t* buffer) override { m_inner.FreeDataBuffer(buffer); }

    std::vector<std::string> m_driveKindPaths;  // every GetDriveKind argument, in order
    bool m_bTagInquiry = false;
    std::function<void(PassThroughRequest&)> m_beforePassThrough;
    bool m_bNoDataBuffer = false;   // the device object gets no data buffer
    std::set<char> m_silentDrives;  // their pass-through calls fail unsent

private:
    // The drive a handle was opened for, '?' when unknown.
    char DriveOf(HostHandle device)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto it = m_driveOfHandle.find(device);
        return it == m_driveOfHandle.end() ? '?' : it->second;
    }

    IScsiHost& m_inner;
    std::mutex m_mutex;  // forms on several threads share one probe
    std::map<HostHandle, char> m_driveOfHandle;
};
