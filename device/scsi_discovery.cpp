#include <cstring>
#include <vector>

#include "device/aspi_srb.h"
#include "device/drive_name.h"
#include "device/scsi_device.h"

namespace {

constexpr uint32_t kDriveListLength = 80;
constexpr int kDriveListAttempts = 4;  // the list may grow between two calls
constexpr int kAspiTargets = 16;
constexpr uint32_t kAspiStatusShift = 8;

// The request block that discovery zeroes and sends for each address; the
// requests use only its first bytes.
union AspiQueryBlock {
    uint8_t raw[80];
    SRB_GDEVBlock devType;
    SRB_GetDiskInfo diskInfo;
};

// Reads the drive roots into a buffer that holds the whole list the system
// returns, with a zero after it, so that nothing past that list is examined.
// An empty buffer when the call fails.
std::vector<char> ReadDriveRoots(IScsiHost& host)
{
    std::vector<char> roots(kDriveListLength + 1, '\0');
    for (int nAttempt = 0; nAttempt < kDriveListAttempts; ++nAttempt) {
        const uint32_t nCapacity = static_cast<uint32_t>(roots.size() - 1);
        const uint32_t nResult = host.GetLogicalDriveRoots(nCapacity, roots.data());
        if (nResult == 0)
            break;
        if (nResult < nCapacity) {
            roots.resize(nResult);
            roots.push_back('\0');
            roots.push_back('\0');
            return roots;
        }
        // Too short: the result is the length needed.
        roots.assign(static_cast<size_t>(nResult) + 1, '\0');
    }
    return {};
}

}  // namespace

void CScsiDevice::EnumerateDevices()
{
    CloseAllDevices();
    if (m_bWin9x) {
        if (LoadAspi())
            ScanAspi(nullptr);
    } else {
        const std::vector<char> roots = ReadDriveRoots(m_host);
        // Each root is followed by a zero and the list by one more, all
        // inside the buffer, so a root of any length reads no further than
        // the list.
        for (size_t nPos = 0; nPos < roots.size() && roots[nPos] != '\0'; nPos += std::strlen(&roots[nPos]) + 1)
            AddDriveLetter(&roots[nPos]);
    }
}

bool CScsiDevice::OpenDrive(const char* driveSpec)
{
    CloseAllDevices();
    if (driveSpec == nullptr)
        return false;
    if (m_bWin9x ? !LoadAspi() || !ScanAspi(driveSpec) : !AddDriveLetter(driveSpec))
        return false;
    m_nCurDevice = static_cast<int16_t>(m_deviceList.size() - 1);
    return true;
}

bool CScsiDevice::LoadAspi()
{
    if (m_hAspiDll == 0) {
        m_pAspi = m_host.Aspi();
        if (m_pAspi == nullptr)
            return false;
        m_hAspiDll = m_pAspi->LoadAspiLibrary("WNASPI32");
        if (m_hAspiDll == 0)
            return false;
    }
    m_pfnGetASPI32SupportInfo = m_pAspi->FindAspiEntryPoint(m_hAspiDll, "GetASPI32SupportInfo");
    m_pfnSendASPI32Command = m_pAspi->FindAspiEntryPoint(m_hAspiDll, "SendASPI32Command");
    if (m_pfnGetASPI32SupportInfo == nullptr || m_pfnSendASPI32Command == nullptr)
        return false;

    const uint32_t nSupport = m_pAspi->CallGetASPI32SupportInfo(m_pfnGetASPI32SupportInfo);
    const uint8_t byStatus = static_cast<uint8_t>(nSupport >> kAspiStatusShift);
    if (byStatus != SS_COMP && byStatus != SS_NO_ADAPTERS)
        return false;
    m_nAdapterCount = static_cast<uint8_t>(nSupport);
    return true;
}

bool CScsiDevice::SendAspiDeviceQuery(uint8_t adapter, uint8_t target)
{
    AspiQueryBlock block;
    std::memset(&block, 0, sizeof(block));
    block.devType.SRB_Cmd = SC_GET_DEV_TYPE;
    block.devType.SRB_HaId = adapter;
    block.devType.SRB_Target = target;
    m_pAspi->CallSendASPI32Command(m_pfnSendASPI32Command, &block);
    return block.devType.SRB_Status == SS_COMP && block.devType.SRB_DeviceType == kPeripheralTypeCdrom;
}

bool CScsiDevice::SendAspiDiskQuery(uint8_t adapter, uint8_t target, int& nDrive)
{
    AspiQueryBlock block;
    std::memset(&block, 0, sizeof(block));
    block.diskInfo.SRB_Cmd = SC_GET_DISK_INFO;
    block.diskInfo.SRB_HaId = adapter;
    block.diskInfo.SRB_Target = target;
    m_pAspi->CallSendASPI32Command(m_pfnSendASPI32Command, &block);
    nDrive = block.diskInfo.SRB_Int13HDriveInfo;
    // The zeroed block of a query that did not complete would read as A:.
    return block.diskInfo.SRB_Status == SS_COMP;
}

bool CScsiDevice::ScanAspi(const char* driveSpec)
{
    for (int nAdapter = 0; nAdapter < m_nAdapterCount; ++nAdapter) {
        for (int nTarget = 0; nTarget < kAspiTargets; ++nTarget) {
            const auto adapter = static_cast<uint8_t>(nAdapter);
            const auto target = static_cast<uint8_t>(nTarget);
            if (!SendAspiDeviceQuery(adapter, target))
                continue;
            int nDrive;
            if (driveSpec != nullptr && (!SendAspiDiskQuery(adapter, target, nDrive) ||
                                         ('A' + nDrive != static_cast<unsigned char>(driveSpec[0]) &&
                                          'a' + nDrive != static_cast<unsigned char>(driveSpec[0]))))
                continue;
            auto entry = std::make_unique<DeviceEntry>();
            entry->nAdapter = adapter;
            entry->nTarget = target;
            m_deviceList.push_back(std::move(entry));
            if (driveSpec != nullptr)
                return true;
        }
    }
    return false;
}

bool CScsiDevice::AddDriveLetter(const char* root)
{
    if (m_host.GetDriveKind(root) != kDriveTypeCdrom)
        return false;
    char path[kDevicePathSize];
    FormatDevicePath(root, path);
    const HostHandle hDevice = m_host.OpenDevice(path);
    if (hDevice == kInvalidHandle)
        return false;
    auto entry = std::make_unique<DeviceEntry>();
    entry->hDevice = hDevice;
    entry->chDrive = root[0];
    m_deviceList.push_back(std::move(entry));
    return true;
}

void CScsiDevice::CloseAllDevices()
{
    for (const std::unique_ptr<DeviceEntry>& entry : m_deviceList) {
        if (entry->hDevice != kInvalidHandle)
            m_host.CloseDevice(entry->hDevice);
    }
    m_deviceList.clear();
}

char CScsiDevice::QueryAspiDriveLetter(int16_t index)
{
    const DeviceEntry* entry = GetDeviceEntry(index);
    if (entry == nullptr || entry->nAdapter == 0xFF || m_pfnSendASPI32Command == nullptr)
        return 0;
    int nDrive;
    if (!SendAspiDiskQuery(entry->nAdapter, entry->nTarget, nDrive) || nDrive >= 26)
        return 0;
    return static_cast<char>('A' + nDrive);
}
