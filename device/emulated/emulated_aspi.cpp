#include "device/emulated/emulated_aspi.h"

#include <algorithm>
#include <cstring>
#include <string_view>

namespace {

constexpr uint32_t kWaitInfinite = 0xFFFFFFFF;

constexpr uint8_t kSsInvalidHa = 0x81;
constexpr uint8_t kSsInvalidSrb = 0xE0;
constexpr uint8_t kHaStatSelectionTimeout = 0x11;
constexpr uint8_t kPeripheralTypeDisk = 0;

constexpr HostHandle kAspiModule = 0x10000000;
// Entry points are tokens only the emulated layer compares; never called.
char g_getSupportInfoToken;
char g_sendCommandToken;

bool SameTextIgnoringCase(std::string_view a, std::string_view b)
{
    const auto upper = [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; };
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [&](char x, char y) { return upper(x) == upper(y); });
}

// Whether a query block names a device of the one adapter: target 0 is the
// system's disk, targets 1..deviceCount the emulated drives.
uint8_t AddressStatus(uint8_t haId, uint8_t target, uint8_t lun, int deviceCount)
{
    if (haId != 0 || deviceCount == 0)
        return kSsInvalidHa;
    if (lun != 0 || target > deviceCount)
        return SS_NO_DEVICE;
    return SS_COMP;
}

}  // namespace

HostHandle CEmulatedAspi::LoadAspiLibrary(const char* name)
{
    m_bus.CompleteDueRequests();
    // Only a Windows 9x bench has the layer installed.
    if (!m_bInstalled || name == nullptr ||
        !(SameTextIgnoringCase(name, "WNASPI32") || SameTextIgnoringCase(name, "WNASPI32.DLL")))
        return 0;
    return kAspiModule;
}

AspiEntryPoint CEmulatedAspi::FindAspiEntryPoint(HostHandle library, const char* name)
{
    m_bus.CompleteDueRequests();
    if (library != kAspiModule || name == nullptr)
        return nullptr;
    // Export names are case-sensitive.
    if (std::strcmp(name, "GetASPI32SupportInfo") == 0)
        return &g_getSupportInfoToken;
    if (std::strcmp(name, "SendASPI32Command") == 0)
        return &g_sendCommandToken;
    return nullptr;
}

void CEmulatedAspi::FreeAspiLibrary(HostHandle)
{
    m_bus.CompleteDueRequests();
}

uint32_t CEmulatedAspi::CallGetASPI32SupportInfo(AspiEntryPoint entry)
{
    m_bus.CompleteDueRequests();
    if (entry != &g_getSupportInfoToken)
        return 0;
    // Without devices there is no adapter to report.
    if (m_bus.DeviceCount() == 0)
        return uint32_t{SS_NO_ADAPTERS} << 8;
    return (uint32_t{SS_COMP} << 8) | 1;
}

uint32_t CEmulatedAspi::CallSendASPI32Command(AspiEntryPoint entry, void* srb)
{
    m_bus.CompleteDueRequests();
    if (entry != &g_sendCommandToken || srb == nullptr)
        return kSsInvalidSrb;
    uint8_t* header = static_cast<uint8_t*>(srb);
    const int deviceCount = m_bus.DeviceCount();
    switch (header[0]) {
    case SC_GET_DEV_TYPE: {
        auto& block = *static_cast<SRB_GDEVBlock*>(srb);
        block.SRB_Status = AddressStatus(block.SRB_HaId, block.SRB_Target, block.SRB_Lun, deviceCount);
        if (block.SRB_Status == SS_COMP)
            block.SRB_DeviceType = block.SRB_Target == 0 ? kPeripheralTypeDisk : kPeripheralTypeCdrom;
        return block.SRB_Status;
    }
    case SC_GET_DISK_INFO: {
        auto& block = *static_cast<SRB_GetDiskInfo*>(srb);
        block.SRB_Status = AddressStatus(block.SRB_HaId, block.SRB_Target, block.SRB_Lun, deviceCount);
        // Target 0 is C:, target t is the drive of device t - 1.
        if (block.SRB_Status == SS_COMP)
            block.SRB_Int13HDriveInfo =
                block.SRB_Target == 0 ? 'C' - 'A' : static_cast<uint8_t>(m_bus.DriveOf(block.SRB_Target - 1) - 'A');
        return block.SRB_Status;
    }
    case SC_EXEC_SCSI_CMD:
        return SendExec(*static_cast<SRB_ExecSCSICmd*>(srb));
    default:
        // Refused in the answer alone, the block left as it came (as Wine's
        // layer refuses every block): callers must not wait on its status.
        return kSsInvalidSrb;
    }
}

uint32_t CEmulatedAspi::SendExec(SRB_ExecSCSICmd& srb)
{
    const auto refuse = [&srb](uint8_t status) {
        srb.SRB_Status = status;
        return uint32_t{status};
    };
    const int deviceCount = m_bus.DeviceCount();
    if (srb.SRB_HaId != 0 || deviceCount == 0)
        return refuse(kSsInvalidHa);
    // Only the KT3916 targets are modelled; the fixed disk takes no commands.
    if (srb.SRB_Lun != 0 || srb.SRB_Target == 0 || srb.SRB_Target > deviceCount)
        return refuse(SS_NO_DEVICE);
    const bool bothDirections = (srb.SRB_Flags & (SRB_DIR_IN | SRB_DIR_OUT)) == (SRB_DIR_IN | SRB_DIR_OUT);
    if (srb.SRB_CDBLen != 12 || bothDirections || srb.SRB_BufLen > kEmulatedMaxTransfer ||
        (srb.SRB_BufLen != 0 && srb.SRB_BufPointer == nullptr))
        return refuse(kSsInvalidSrb);
    if ((srb.SRB_Flags & SRB_EVENT_NOTIFY) != 0) {
        std::lock_guard lock(m_mutex);
        auto it = m_events.find(srb.SRB_PostProc);
        if (it == m_events.end())
            return refuse(kSsInvalidSrb);
        it->second = false;
    }
    const int device = srb.SRB_Target - 1;
    if (m_nLatencyMs == 0) {
        CompleteExec(srb, device);
        return srb.SRB_Status;
    }
    srb.SRB_Status = SS_PENDING;
    std::lock_guard lock(m_mutex);
    const HostHandle event = (srb.SRB_Flags & SRB_EVENT_NOTIFY) != 0 ? srb.SRB_PostProc : 0;
    m_pending.push_back({&srb, device, m_clock.NowMs() + m_nLatencyMs, event});
    return SS_PENDING;
}

void CEmulatedAspi::CompleteExec(SRB_ExecSCSICmd& srb, int device)
{
    // With no direction bits the layer takes the command's own direction.
    bool dataIn = (srb.SRB_Flags & SRB_DIR_OUT) == 0;
    if ((srb.SRB_Flags & (SRB_DIR_IN | SRB_DIR_OUT)) == 0)
        dataIn = CommandDirection(srb.CDBByte[0]) != DataDirection::Out;
    const ScsiOutcome outcome =
        m_bus.RunCommand(device, srb.CDBByte, dataIn, static_cast<uint8_t*>(srb.SRB_BufPointer), srb.SRB_BufLen);
    srb.SRB_HaStat = 0;
    srb.SRB_TargStat = kScsiStatusGood;
    switch (outcome.result) {
    case CommandResult::Good:
        srb.SRB_Status = SS_COMP;
        break;
    case CommandResult::Check:
        srb.SRB_TargStat = kScsiStatusCheckCondition;
        FixedSense(outcome, srb.SenseArea, std::min<std::size_t>(srb.SRB_SenseLen, sizeof(srb.SenseArea)));
        srb.SRB_Status = SS_ERR;
        break;
    default:
        // A device that does not answer: the adapter reports a selection time-out.
        srb.SRB_HaStat = kHaStatSelectionTimeout;
        srb.SRB_Status = SS_ERR;
        break;
    }
    if ((srb.SRB_Flags & SRB_EVENT_NOTIFY) != 0) {
        std::lock_guard lock(m_mutex);
        auto it = m_events.find(srb.SRB_PostProc);
        if (it != m_events.end())
            it->second = true;
    }
}

void CEmulatedAspi::CompleteDueRequests()
{
    while (true) {
        PendingRequest due{};
        {
            std::lock_guard lock(m_mutex);
            if (m_pending.empty())
                return;
            auto earliest = std::min_element(m_pending.begin(), m_pending.end(),
                                             [](const auto& a, const auto& b) { return a.dueMs < b.dueMs; });
            if (earliest->dueMs > m_clock.NowMs())
                return;
            due = *earliest;
            m_pending.erase(earliest);
        }
        CompleteExec(*due.srb, due.device);
    }
}

HostHandle CEmulatedAspi::CreateCompletionEvent()
{
    m_bus.CompleteDueRequests();
    const HostHandle handle = m_bus.NewHandle();
    std::lock_guard lock(m_mutex);
    m_events[handle] = false;
    return handle;
}

bool CEmulatedAspi::WaitCompletionEvent(HostHandle event, uint32_t milliseconds)
{
    m_bus.CompleteDueRequests();
    uint64_t dueMs = UINT64_MAX;  // the earliest request that signals it
    {
        std::lock_guard lock(m_mutex);
        auto it = m_events.find(event);
        if (it == m_events.end())
            return false;
        if (it->second)
            return true;
        for (const PendingRequest& request : m_pending) {
            if (request.event == event)
                dueMs = std::min(dueMs, request.dueMs);
        }
    }
    const bool pending = dueMs != UINT64_MAX;
    // Nothing will ever signal it: an endless wait would hang for good.
    if (!pending && milliseconds == kWaitInfinite)
        return false;
    const uint64_t now = m_clock.NowMs();
    uint64_t wait = milliseconds;
    if (pending)
        wait = std::min<uint64_t>(wait, dueMs > now ? dueMs - now : 0);
    if (wait != 0)
        m_clock.SleepMs(static_cast<uint32_t>(wait));
    m_bus.CompleteDueRequests();
    std::lock_guard lock(m_mutex);
    auto it = m_events.find(event);
    return it != m_events.end() && it->second;
}

void CEmulatedAspi::CloseCompletionEvent(HostHandle event)
{
    m_bus.CompleteDueRequests();
    std::lock_guard lock(m_mutex);
    m_events.erase(event);
}
