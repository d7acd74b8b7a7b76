#pragma once
#include <cstdint>
#include <memory>
#include <vector>

#include "device/aspi_host.h"
#include "device/command_result.h"
#include "device/device_entry.h"
#include "device/host.h"
#include "device/pass_through_request.h"

struct SRB_ExecSCSICmd;
struct AspiRequest;

constexpr uint32_t kDataBufferSize = 0x20000;  // 131072

// The channel to the discovered SCSI targets: the device list, the current
// device, one prepared request and the data buffer it moves.
class CScsiDevice {
public:
    explicit CScsiDevice(IScsiHost& host);
    virtual ~CScsiDevice();
    CScsiDevice(const CScsiDevice&) = delete;
    CScsiDevice& operator=(const CScsiDevice&) = delete;

    void BuildCommand(uint32_t length, uint8_t direction, uint32_t timeoutSeconds);
    CommandResult ExecCommand();

    void SelectDevice(int16_t index) { m_nCurDevice = index; }
    int16_t GetDeviceCount() const { return static_cast<int16_t>(m_deviceList.size()); }
    uint8_t* GetDataBuffer() const { return m_pDataBuffer; }

    void EnumerateDevices();
    bool OpenDrive(const char* driveSpec);

    // Read-only views for diagnostics and tests.
    const PassThroughRequest& GetRequest() const { return m_request; }
    uint8_t GetSenseKey() const { return m_bySenseKey; }
    uint8_t GetAsc() const { return m_byAsc; }
    uint8_t GetAscq() const { return m_byAscq; }
    double GetElapsedSeconds() const { return m_dElapsedSeconds; }
    int16_t GetCurrentDevice() const { return m_nCurDevice; }
    bool IsWin9x() const { return m_bWin9x != 0; }
    const DeviceEntry* GetDeviceEntry(int16_t index) const;
    // The drive letter the ASPI layer reports for an ASPI entry's target, in
    // upper case; 0 for other entries or when the layer cannot tell.
    char QueryAspiDriveLetter(int16_t index);

protected:
    uint8_t* m_pCdb = nullptr;

private:
    CommandResult ExecPassThrough();
    CommandResult ExecAspiCommand();
    bool LoadAspi();
    // Adds every CD-ROM-class target to the list or, given driveSpec, the
    // first one the layer names as that drive (true when it found one).
    bool ScanAspi(const char* driveSpec);
    // Opens a CD-ROM-class drive by its root and adds it to the list.
    bool AddDriveLetter(const char* root);
    void CloseAllDevices();
    void KeepTiming();
    bool SendAspiDeviceQuery(uint8_t adapter, uint8_t target);
    // The drive the layer names for a target, counted from A: as 0; false
    // when the query did not complete.
    bool SendAspiDiskQuery(uint8_t adapter, uint8_t target, int& nDrive);
    void ReclaimAbandonedRequests();
    void ReleaseAspiRequest(AspiRequest* request);
    // Gives a request that timed out the data buffer it points at and the
    // object a fresh one; bCompleted: the layer already reported it done.
    void LeaveDataBufferTo(AspiRequest& request, bool bCompleted);

    IScsiHost& m_host;
    IAspiHost* m_pAspi = nullptr;  // the host's ASPI layer, once it is loaded
    uint8_t m_bySenseKey = 0;
    uint8_t m_byAsc = 0;
    uint8_t m_byAscq = 0;
    int16_t m_nCurDevice = 0;
    uint8_t m_nAdapterCount = 0;
    int32_t m_bWin9x = 0;
    uint8_t* m_pDataBuffer = nullptr;
    HostHandle m_hAspiDll = 0;
    AspiEntryPoint m_pfnGetASPI32SupportInfo = nullptr;
    AspiEntryPoint m_pfnSendASPI32Command = nullptr;
    PassThroughRequest m_request{};
    int64_t m_liStart = 0;
    int64_t m_liStop = 0;
    int64_t m_liFrequency = 0;
    double m_dElapsedSeconds = 0.0;
    std::vector<std::unique_ptr<DeviceEntry>> m_deviceList;
    // ASPI requests that timed out but that the layer may still complete.
    std::vector<AspiRequest*> m_abandonedRequests;
    // One of them still points at m_pDataBuffer: commands fail until it is done.
    bool m_bDataBufferHeld = false;
};
