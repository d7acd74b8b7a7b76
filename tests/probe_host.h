#pragma once
#include <cctype>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "device/forwarding_host.h"

// Stands between the device object and a real (usually emulated) host: it
// records the drive texts that discovery asks about, can tag each device's
// INQUIRY data with its drive letter so that devices can be told apart, and
// can run a hook before each pass-through call.
class ProbeHost final : public CForwardingHost {
public:
    explicit ProbeHost(IScsiHost& inner) : CForwardingHost(inner) {}

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
    // No exclusive access of its own: a drive opens as OpenDevice opens it.
    HostHandle OpenDeviceExclusive(const char* path, ExclusiveAccess& access) override
    {
        return IScsiHost::OpenDeviceExclusive(path, access);
    }
    void ReleaseExclusiveAccess(HostHandle) override {}
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
    uint8_t* AllocateDataBuffer(uint32_t length) override
    {
        return m_bNoDataBuffer ? nullptr : m_inner.AllocateDataBuffer(length);
    }

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

    std::mutex m_mutex;  // forms on several threads share one probe
    std::map<HostHandle, char> m_driveOfHandle;
};
