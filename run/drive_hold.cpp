#include "run/drive_hold.h"

#include <cctype>
#include <cstring>

#include "device/drive_name.h"
#include "device/drive_nodes.h"

namespace {

constexpr uint32_t kBusyRetryMs = 100;
constexpr uint64_t kBusyPatienceMs = 5000;

}  // namespace

CDriveHold::CDriveHold(IScsiHost& inner, char drive, IClock& clock) : CForwardingHost(inner), m_chDrive(drive)
{
    if (!drive)
        return;
    // Behind the ASPI layer (Windows 9x) a drive has no handle to hold.
    uint32_t platformId = 0;
    if (m_inner.GetVersionPlatformId(platformId) && platformId == kPlatformWin32Windows) {
        m_state = State::NotOffered;
        return;
    }
    char path[kDevicePathSize];
    FormatDevicePath(drive, path);
    ExclusiveAccess access = ExclusiveAccess::NotOffered;
    const uint64_t startMs = clock.NowMs();
    m_hDevice = m_inner.OpenDeviceExclusive(path, access);
    while (m_hDevice == kInvalidHandle && access == ExclusiveAccess::Busy &&
           clock.NowMs() - startMs < kBusyPatienceMs) {
        clock.SleepMs(kBusyRetryMs);
        m_hDevice = m_inner.OpenDeviceExclusive(path, access);
    }
    if (m_hDevice != kInvalidHandle) {
        m_state = access == ExclusiveAccess::Held ? State::Held : State::NotOffered;
        if (IDriveNodes* nodes = m_inner.DriveNodes(); nodes && m_state == State::Held)
            m_strNote = nodes->HoldNote(drive);
    } else if (access == ExclusiveAccess::Busy) {
        m_state = State::Busy;
    }
}

CDriveHold::~CDriveHold()
{
    Release();
}

void CDriveHold::Release()
{
    if (m_hDevice == kInvalidHandle)
        return;
    if (IDriveNodes* nodes = m_inner.DriveNodes(); nodes && m_tell) {
        const std::string waits = nodes->PendingCommandText(m_hDevice);
        if (!waits.empty())
            m_tell(std::string(1, m_chDrive) + ": " + waits);
    }
    if (m_state == State::Held)
        m_inner.ReleaseExclusiveAccess(m_hDevice);
    m_inner.CloseDevice(m_hDevice);
    m_hDevice = kInvalidHandle;
}

HostHandle CDriveHold::OpenDevice(const char* path)
{
    // A second open of a drive held with O_EXCL would fail as busy.
    if (m_hDevice != kInvalidHandle && m_chDrive != 0 &&
        DevicePathLetter(path) == std::toupper(static_cast<unsigned char>(m_chDrive)))
        return m_hDevice;
    return m_inner.OpenDevice(path);
}

void CDriveHold::CloseDevice(HostHandle device)
{
    if (device != kInvalidHandle && device == m_hDevice)
        return;
    m_inner.CloseDevice(device);
}
