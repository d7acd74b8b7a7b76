#include "device/scsi_device.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <mutex>
#include <new>

#include "device/aspi_srb.h"

// One ASPI command in flight: the request block the layer writes and the event
// it signals. Both live on the heap so that a request that timed out can
// outlive the call that sent it.
struct AspiRequest {
    SRB_ExecSCSICmd srb;
    HostHandle hEvent;
    // The data buffer a timed-out request points at, once later commands
    // have moved on to a fresh one; freed with the request.
    uint8_t* pOwnBuffer;
    // It still points at the object's current buffer: no fresh one could be had.
    bool bHoldsCurrentBuffer;
};

namespace {

constexpr uint32_t kMaxWaitMilliseconds = 0xFFFFFFFEu;  // one below INFINITE

// Memory that a request still pending at the device object's end may write:
// its block and the data buffer it points at (which the request owns, unless
// it is the object's current one). Neither can be freed while the layer may
// still complete the request, and nothing tells us when that ends, so they
// are parked here for the rest of the process. The list is never destroyed,
// so the parked memory stays reachable (and is no leak to a checker) while
// static destructors run and the layer's threads may still be alive.
struct ParkedMemory {
    std::mutex lock;
    std::vector<AspiRequest*> requests;
    std::vector<uint8_t*> buffers;
};

ParkedMemory& Parked()
{
    static ParkedMemory* parked = new ParkedMemory;
    return *parked;
}

uint8_t ReadStatus(const AspiRequest& request)
{
    // The layer may write the status from its own thread.
    return *static_cast<const volatile uint8_t*>(&request.srb.SRB_Status);
}

}  // namespace

CScsiDevice::CScsiDevice(IScsiHost& host) : m_host(host)
{
    m_deviceList.reserve(10);

    uint32_t platformId = 0;
    if (!m_host.GetVersionPlatformId(platformId))
        platformId = 0;
    m_bWin9x = platformId == kPlatformWin32Windows ? 1 : 0;

    EnumerateDevices();

    // Zeroed, so that reading the identity after a failed first INQUIRY shows
    // an empty text rather than whatever the heap held. Without it every
    // command fails (ExecCommand).
    m_pDataBuffer = m_host.AllocateDataBuffer(kDataBufferSize);
    if (m_pDataBuffer != nullptr)
        std::memset(m_pDataBuffer, 0, kDataBufferSize);
    m_pCdb = m_request.sptd.Cdb;
    m_liFrequency = m_host.QueryCounterFrequency();
}

CScsiDevice::~CScsiDevice()
{
    ReclaimAbandonedRequests();
    const bool bRequestsPending = !m_abandonedRequests.empty();
    if (bRequestsPending) {
        // Still pending at the end of the object: the layer may yet write the
        // block, signal its event and fill the data buffer, and may still be
        // running code of the library. Park the memory, leave the event open
        // (its handle value must not be reused while it can be signalled) and
        // keep the library loaded.
        ParkedMemory& parked = Parked();
        std::lock_guard<std::mutex> guard(parked.lock);
        parked.requests.insert(parked.requests.end(), m_abandonedRequests.begin(), m_abandonedRequests.end());
        if (m_bDataBufferHeld)
            parked.buffers.push_back(m_pDataBuffer);
        m_abandonedRequests.clear();
    }
    if (m_pDataBuffer != nullptr && !m_bDataBufferHeld)
        m_host.FreeDataBuffer(m_pDataBuffer);
    m_pDataBuffer = nullptr;

    CloseAllDevices();
    if (m_hAspiDll != 0 && !bRequestsPending)
        m_pAspi->FreeAspiLibrary(m_hAspiDll);
    m_hAspiDll = 0;
}

void CScsiDevice::BuildCommand(uint32_t length, uint8_t direction, uint32_t timeoutSeconds)
{
    std::memset(&m_request, 0, sizeof(m_request));
    m_request.sptd.Length = static_cast<uint16_t>(sizeof(ScsiPassThroughDirect));
    m_request.sptd.CdbLength = 12;
    m_request.sptd.SenseInfoLength = static_cast<uint8_t>(kSenseAreaLength);
    m_request.sptd.SenseInfoOffset = static_cast<uint32_t>(offsetof(PassThroughRequest, senseArea));
    m_request.sptd.DataIn = direction;
    m_request.sptd.DataTransferLength = length;
    m_request.sptd.TimeOutValue = timeoutSeconds;
    m_request.sptd.DataBuffer = m_pDataBuffer;
}

CommandResult CScsiDevice::ExecCommand()
{
    // No buffer to move data through: nothing is sent anywhere.
    if (m_pDataBuffer == nullptr || m_nCurDevice < 0 || static_cast<size_t>(m_nCurDevice) >= m_deviceList.size())
        return CommandResult::NotSent;
    if (m_hAspiDll != 0)
        return ExecAspiCommand();
    return ExecPassThrough();
}

const DeviceEntry* CScsiDevice::GetDeviceEntry(int16_t index) const
{
    if (index < 0 || static_cast<size_t>(index) >= m_deviceList.size())
        return nullptr;
    return m_deviceList[static_cast<size_t>(index)].get();
}

void CScsiDevice::KeepTiming()
{
    m_dElapsedSeconds = static_cast<double>(m_liStop - m_liStart) / static_cast<double>(m_liFrequency);
}

CommandResult CScsiDevice::ExecPassThrough()
{
    const DeviceEntry& entry = *m_deviceList[static_cast<size_t>(m_nCurDevice)];
    m_liStart = m_host.QueryCounter();
    const bool bCallOk = m_host.SendPassThrough(entry.hDevice, m_request);
    m_liStop = m_host.QueryCounter();

    const CommandResult result = PassThroughResult(bCallOk, m_request.sptd.ScsiStatus);
    if (result == CommandResult::Good) {
        KeepTiming();
        return result;
    }
    // Whatever the sense area holds: zeros when the driver wrote none.
    m_bySenseKey = m_request.senseArea[2];
    m_byAsc = m_request.senseArea[12];
    m_byAscq = m_request.senseArea[13];
    return result;
}

void CScsiDevice::ReleaseAspiRequest(AspiRequest* request)
{
    if (request->hEvent != 0)
        m_pAspi->CloseCompletionEvent(request->hEvent);
    if (request->pOwnBuffer != nullptr)
        m_host.FreeDataBuffer(request->pOwnBuffer);
    if (request->bHoldsCurrentBuffer)
        m_bDataBufferHeld = false;
    delete request;
}

void CScsiDevice::LeaveDataBufferTo(AspiRequest& request, bool bCompleted)
{
    const SRB_ExecSCSICmd& srb = request.srb;
    if (srb.SRB_BufLen == 0 || srb.SRB_BufPointer != m_pDataBuffer)
        return;
    uint8_t* pFresh = m_host.AllocateDataBuffer(kDataBufferSize);
    if (pFresh == nullptr) {
        request.bHoldsCurrentBuffer = true;
        m_bDataBufferHeld = true;
        return;
    }
    // A request that only sends reads its buffer, so all of it carries over;
    // so does one the layer already reported done (its data is in, only the
    // event is still to come), whose result the caller is about to read.
    // One that may still receive can write its transfer range at any time:
    // what it moved so far is unknown, so that range starts cleared.
    const bool bSendsOnly = (srb.SRB_Flags & (SRB_DIR_IN | SRB_DIR_OUT)) == SRB_DIR_OUT;
    const uint32_t nRange = bSendsOnly || bCompleted ? 0 : std::min(srb.SRB_BufLen, kDataBufferSize);
    std::memset(pFresh, 0, nRange);
    std::memcpy(pFresh + nRange, m_pDataBuffer + nRange, kDataBufferSize - nRange);
    request.pOwnBuffer = m_pDataBuffer;
    m_pDataBuffer = pFresh;
    m_request.sptd.DataBuffer = m_pDataBuffer;
}

void CScsiDevice::ReclaimAbandonedRequests()
{
    // A request is over for the layer once it has left the pending status and
    // signalled its event, which the layer does last.
    size_t nKept = 0;
    for (AspiRequest* request : m_abandonedRequests) {
        const bool bDone = ReadStatus(*request) != SS_PENDING && request->hEvent != 0 &&
                           m_pAspi->WaitCompletionEvent(request->hEvent, 0);
        if (bDone)
            ReleaseAspiRequest(request);
        else
            m_abandonedRequests[nKept++] = request;
    }
    m_abandonedRequests.resize(nKept);
}

CommandResult CScsiDevice::ExecAspiCommand()
{
    const DeviceEntry& entry = *m_deviceList[static_cast<size_t>(m_nCurDevice)];
    if (m_pfnSendASPI32Command == nullptr)
        return CommandResult::NotSent;
    ReclaimAbandonedRequests();
    // The layer may still write the current buffer for a request that timed
    // out; no command uses it until the layer is done.
    if (m_bDataBufferHeld)
        return CommandResult::NotSent;

    // Without an event the request could not be waited for; it is not sent.
    const HostHandle hEvent = m_pAspi->CreateCompletionEvent();
    if (hEvent == 0)
        return CommandResult::NotSent;

    auto* request = new (std::nothrow) AspiRequest{};
    if (request == nullptr) {
        m_pAspi->CloseCompletionEvent(hEvent);
        return CommandResult::NotSent;
    }
    request->hEvent = hEvent;
    SRB_ExecSCSICmd& srb = request->srb;
    srb.SRB_Cmd = SC_EXEC_SCSI_CMD;
    srb.SRB_HaId = entry.nAdapter;
    const uint8_t direction = m_request.sptd.DataIn;
    srb.SRB_Flags = SRB_EVENT_NOTIFY | (direction == kDataIn ? SRB_DIR_IN : direction == kDataOut ? SRB_DIR_OUT : 0);
    srb.SRB_Target = entry.nTarget;
    srb.SRB_Lun = 0;
    srb.SRB_BufLen = m_request.sptd.DataTransferLength;
    srb.SRB_BufPointer = m_request.sptd.DataBuffer;
    srb.SRB_SenseLen = kAspiSenseLength;
    srb.SRB_CDBLen = m_request.sptd.CdbLength;
    srb.SRB_PostProc = hEvent;
    std::memcpy(srb.CDBByte, m_request.sptd.Cdb, sizeof(srb.CDBByte));

    m_liStart = m_host.QueryCounter();
    const uint32_t nSendResult = m_pAspi->CallSendASPI32Command(m_pfnSendASPI32Command, &srb);
    bool bSignalled = false;
    if (nSendResult == SS_PENDING) {
        const uint64_t nWait = static_cast<uint64_t>(m_request.sptd.TimeOutValue) * 1000u;
        bSignalled = m_pAspi->WaitCompletionEvent(hEvent, nWait > kMaxWaitMilliseconds ? kMaxWaitMilliseconds
                                                                                       : static_cast<uint32_t>(nWait));
    }
    m_liStop = m_host.QueryCounter();

    // Any answer but pending ends the request in the call: a layer that
    // refuses the block may leave its status unwritten, still reading pending.
    const bool bRefused = nSendResult != SS_PENDING && ReadStatus(*request) == SS_PENDING;
    const uint8_t byStatus = bRefused ? static_cast<uint8_t>(nSendResult) : ReadStatus(*request);
    const uint8_t byTargStat = srb.SRB_TargStat;
    m_request.sptd.ScsiStatus = byTargStat;
    const CommandResult result = AspiResult(byStatus, byTargStat);
    const bool bOk = result == CommandResult::Good;
    if (!bOk && byTargStat == kScsiStatusCheckCondition) {
        std::memcpy(m_request.senseArea, srb.SenseArea, kAspiSenseLength);
        m_bySenseKey = srb.SenseArea[2];
        m_byAsc = srb.SenseArea[12];
        m_byAscq = srb.SenseArea[13];
    }
    KeepTiming();

    // A request that timed out may be completed by the layer at any later
    // time: its block, event and data buffer stay alive until the layer has
    // finished with them, which it shows by signalling the event after the
    // status. Later commands use another buffer.
    const bool bFinished =
        byStatus != SS_PENDING && (nSendResult != SS_PENDING || bSignalled || m_pAspi->WaitCompletionEvent(hEvent, 0));
    if (bFinished) {
        ReleaseAspiRequest(request);
    } else {
        m_abandonedRequests.push_back(request);
        LeaveDataBufferTo(*request, bOk);
    }
    return result;
}
