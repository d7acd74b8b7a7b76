#include "device/emulated/emulated_host.h"

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>

#include "device/sha256.h"

namespace {

constexpr uint32_t kPlatformWin32Nt = 2;
constexpr int64_t kCounterFrequency = 1000000;  // counter ticks in microseconds
constexpr uint32_t kDriveTypeNoRootDir = 1;
constexpr uint32_t kMaxTransferLength = 0x20000;
constexpr uint32_t kWaitInfinite = 0xFFFFFFFF;

constexpr uint8_t kSsInvalidHa = 0x81;
constexpr uint8_t kSsInvalidSrb = 0xE0;
constexpr uint8_t kHaStatSelectionTimeout = 0x11;
constexpr uint8_t kPeripheralTypeDisk = 0;

constexpr HostHandle kAspiModule = 0x10000000;
// Entry points are tokens only the emulated host compares; never called.
char g_getSupportInfoToken;
char g_sendCommandToken;

constexpr uint8_t kFixedSenseLength = 18;

// Why the calling thread's last pass-through call failed.
constexpr char kFailureNotOpen[] = "emulated host: not an open device";
constexpr char kFailureMalformed[] = "emulated host: malformed request";
constexpr char kFailureNoAnswer[] = "emulated host: the device did not answer";
constexpr char kFailureRemoved[] = "emulated host: the device was removed";
constexpr char kFailureLocked[] = "emulated host: another handle holds the drive's exclusive lock";
thread_local const char* t_pszLastFailure = "";

// Fixed-format sense data: response code 0x70, the key at byte 2, the
// additional length at byte 7, ASC and ASCQ at bytes 12 and 13.
void MakeFixedSense(const ScsiOutcome& outcome, uint8_t (&sense)[kFixedSenseLength])
{
    std::memset(sense, 0, sizeof(sense));
    sense[0] = 0x70;
    sense[2] = outcome.senseKey;
    sense[7] = kFixedSenseLength - 8;
    sense[12] = outcome.asc;
    sense[13] = outcome.ascq;
}

bool SameTextIgnoringCase(const char* a, const char* b)
{
    for (; *a != '\0' && *b != '\0'; ++a, ++b) {
        char ca = (*a >= 'a' && *a <= 'z') ? static_cast<char>(*a - 'a' + 'A') : *a;
        char cb = (*b >= 'a' && *b <= 'z') ? static_cast<char>(*b - 'a' + 'A') : *b;
        if (ca != cb)
            return false;
    }
    return *a == *b;
}

char UpperLetter(char ch)
{
    if (ch >= 'a' && ch <= 'z')
        return static_cast<char>(ch - 'a' + 'A');
    return (ch >= 'A' && ch <= 'Z') ? ch : '\0';
}

bool RequestWellFormed(const PassThroughRequest& request)
{
    const ScsiPassThroughDirect& sptd = request.sptd;
    if (sptd.Length != sizeof(ScsiPassThroughDirect) || sptd.CdbLength != 12 || sptd.DataIn > kDataIn)
        return false;
    if (sptd.DataTransferLength > kMaxTransferLength)
        return false;
    if (sptd.DataTransferLength != 0 && sptd.DataBuffer == nullptr)
        return false;
    // The sense area must lie inside the request and after the record.
    if (sptd.SenseInfoLength != 0 &&
        (sptd.SenseInfoOffset < sizeof(ScsiPassThroughDirect) ||
         sptd.SenseInfoOffset + sptd.SenseInfoLength > offsetof(PassThroughRequest, senseArea) + kSenseAreaLength))
        return false;
    return true;
}

}  // namespace

struct EmulatedHost::DeviceSlot {
    DeviceSlot(const EmulatorScenario& scenario, IClock& clock, char letter)
        : model(std::make_unique<EmulatedKt3916>(scenario, clock)), drive(letter)
    {
    }
    std::mutex mutex;  // one command at a time per device; devices run side by side
    std::unique_ptr<EmulatedKt3916> model;
    char drive;
    // Under the host's plug mutex: whether the drive is attached, and which
    // attachment it is (a handle opened before a detach stays dead).
    bool present = true;
    uint32_t generation = 0;
};

EmulatedHost::EmulatedHost(const EmulatorScenario& scenario, IClock& clock, std::ostream* transcript)
    : m_scenario(scenario), m_clock(clock), m_pTranscript(transcript), m_startMs(clock.NowMs())
{
    for (int i = 0; i < scenario.devices; ++i)
        m_devices.push_back(std::make_unique<DeviceSlot>(scenario, clock, static_cast<char>('D' + i)));
    // A drive that first attaches is absent until its event.
    std::vector<bool> seen(m_devices.size());
    for (const PlugEvent& event : scenario.plugEvents) {
        const auto index = static_cast<std::size_t>(event.device);
        if (!seen[index])
            m_devices[index]->present = !event.attach;
        seen[index] = true;
    }
}

void EmulatedHost::ApplyPlugEvents()
{
    const uint64_t elapsed = m_clock.NowMs() - m_startMs;
    std::lock_guard lock(m_plugMutex);
    while (m_nPlugEventsApplied < m_scenario.plugEvents.size() &&
           m_scenario.plugEvents[m_nPlugEventsApplied].atMs <= elapsed) {
        const PlugEvent& event = m_scenario.plugEvents[m_nPlugEventsApplied++];
        DeviceSlot& slot = *m_devices[static_cast<std::size_t>(event.device)];
        if (event.attach == slot.present)
            continue;
        slot.present = event.attach;
        ++slot.generation;
        if (event.attach) {
            // Another unit on the same drive: it starts as a unit fresh from the box.
            std::lock_guard deviceLock(slot.mutex);
            slot.model = std::make_unique<EmulatedKt3916>(m_scenario, m_clock);
        }
    }
}

bool EmulatedHost::IsPresent(int device)
{
    std::lock_guard lock(m_plugMutex);
    return m_devices[static_cast<std::size_t>(device)]->present;
}

EmulatedHost::~EmulatedHost() = default;

bool EmulatedHost::GetVersionPlatformId(uint32_t& platformId)
{
    platformId = m_scenario.win9x ? kPlatformWin32Windows : kPlatformWin32Nt;
    return true;
}

int64_t EmulatedHost::QueryCounterFrequency()
{
    return kCounterFrequency;
}

int64_t EmulatedHost::QueryCounter()
{
    CompleteDueRequests();
    return static_cast<int64_t>(m_clock.NowMs()) * 1000;
}

uint32_t EmulatedHost::GetLogicalDriveRoots(uint32_t bufferLength, char* buffer)
{
    CompleteDueRequests();
    std::string roots = "C:\\";
    roots.push_back('\0');
    for (std::size_t i = 0; i < m_devices.size(); ++i) {
        const auto& slot = m_devices[i];
        if (!IsPresent(static_cast<int>(i)))
            continue;
        roots.push_back(slot->drive);
        roots += ":\\";
        roots.push_back('\0');
    }
    const uint32_t needed = static_cast<uint32_t>(roots.size()) + 1;  // with the closing empty string
    if (buffer == nullptr || bufferLength < needed)
        return needed;
    std::memcpy(buffer, roots.data(), roots.size());
    buffer[roots.size()] = '\0';
    return needed - 1;
}

uint32_t EmulatedHost::GetDriveKind(const char* rootPath)
{
    CompleteDueRequests();
    if (rootPath == nullptr)
        return kDriveTypeNoRootDir;
    const char letter = UpperLetter(rootPath[0]);
    if (letter == '\0' || rootPath[1] != ':')
        return kDriveTypeNoRootDir;
    if (rootPath[2] != '\0' && !(rootPath[2] == '\\' && rootPath[3] == '\0'))
        return kDriveTypeNoRootDir;
    if (letter == 'C')
        return kDriveTypeFixed;
    const int index = letter - 'D';
    if (index >= 0 && index < static_cast<int>(m_devices.size()) && IsPresent(index))
        return kDriveTypeCdrom;
    return kDriveTypeNoRootDir;
}

HostHandle EmulatedHost::OpenDevice(const char* path)
{
    CompleteDueRequests();
    if (path == nullptr || std::strlen(path) != 6 || std::strncmp(path, "\\\\.\\", 4) != 0 || path[5] != ':')
        return kInvalidHandle;
    const char letter = UpperLetter(path[4]);
    const int index = letter - 'D';
    if (letter == '\0' || index < 0 || index >= static_cast<int>(m_devices.size()))
        return kInvalidHandle;
    uint32_t generation;
    {
        std::lock_guard plugLock(m_plugMutex);
        if (!m_devices[static_cast<std::size_t>(index)]->present)
            return kInvalidHandle;
        generation = m_devices[static_cast<std::size_t>(index)]->generation;
    }
    std::lock_guard lock(m_mutex);
    const HostHandle handle = m_nextHandle;
    m_nextHandle += 4;
    m_openDevices[handle] = OpenDrive{index, generation};
    return handle;
}

HostHandle EmulatedHost::OpenDeviceExclusive(const char* path, ExclusiveAccess& access)
{
    access = ExclusiveAccess::NotOffered;
    const HostHandle handle = OpenDevice(path);
    if (handle == kInvalidHandle)
        return handle;
    std::lock_guard lock(m_mutex);
    const int device = m_openDevices[handle].device;
    if (LockedByOtherHandle(device, handle)) {
        m_openDevices.erase(handle);
        access = ExclusiveAccess::Busy;
        return kInvalidHandle;
    }
    m_locks[device] = handle;
    access = ExclusiveAccess::Held;
    return handle;
}

void EmulatedHost::ReleaseExclusiveAccess(HostHandle device)
{
    std::lock_guard lock(m_mutex);
    auto it = m_openDevices.find(device);
    if (it != m_openDevices.end() && !LockedByOtherHandle(it->second.device, device))
        m_locks.erase(it->second.device);
}

void EmulatedHost::CloseDevice(HostHandle device)
{
    CompleteDueRequests();
    std::lock_guard lock(m_mutex);
    auto it = m_openDevices.find(device);
    if (it == m_openDevices.end()) {
        ++m_nBadCloses;
        return;
    }
    if (!LockedByOtherHandle(it->second.device, device))
        m_locks.erase(it->second.device);
    m_openDevices.erase(it);
}

bool EmulatedHost::LockedByOtherHandle(int device, HostHandle handle) const
{
    auto it = m_locks.find(device);
    return it != m_locks.end() && it->second != handle;
}

int EmulatedHost::DeviceForHandle(HostHandle device) const
{
    std::lock_guard lock(m_mutex);
    auto it = m_openDevices.find(device);
    return it == m_openDevices.end() ? -1 : it->second.device;
}

bool EmulatedHost::HandleStillAttached(HostHandle device)
{
    OpenDrive open;
    {
        std::lock_guard lock(m_mutex);
        auto it = m_openDevices.find(device);
        if (it == m_openDevices.end())
            return false;
        open = it->second;
    }
    std::lock_guard plugLock(m_plugMutex);
    const DeviceSlot& slot = *m_devices[static_cast<std::size_t>(open.device)];
    return slot.present && slot.generation == open.generation;
}

bool EmulatedHost::SendPassThrough(HostHandle device, PassThroughRequest& request)
{
    CompleteDueRequests();
    const int index = DeviceForHandle(device);
    if (index < 0) {
        t_pszLastFailure = kFailureNotOpen;
        return false;
    }
    {
        std::lock_guard lock(m_mutex);
        if (LockedByOtherHandle(index, device)) {
            t_pszLastFailure = kFailureLocked;
            return false;
        }
    }
    if (!RequestWellFormed(request)) {
        t_pszLastFailure = kFailureMalformed;
        return false;
    }
    if (!HandleStillAttached(device)) {
        t_pszLastFailure = kFailureRemoved;
        return false;
    }
    t_pszLastFailure = kFailureNoAnswer;
    if (m_scenario.latencyMs != 0)
        m_clock.SleepMs(m_scenario.latencyMs);
    ScsiPassThroughDirect& sptd = request.sptd;
    const ScsiOutcome outcome = RunCommand(index, sptd.Cdb, sptd.DataIn == kDataIn,
                                           static_cast<uint8_t*>(sptd.DataBuffer), sptd.DataTransferLength);
    if (outcome.result == ScsiOutcome::Result::Fail)
        return false;
    if (outcome.result == ScsiOutcome::Result::Good) {
        sptd.ScsiStatus = kScsiStatusGood;
        return true;
    }
    sptd.ScsiStatus = kScsiStatusCheckCondition;
    uint8_t sense[kFixedSenseLength];
    MakeFixedSense(outcome, sense);
    std::memcpy(reinterpret_cast<uint8_t*>(&request) + sptd.SenseInfoOffset, sense,
                std::min<std::size_t>(sptd.SenseInfoLength, sizeof(sense)));
    return true;
}

void EmulatedHost::DescribeLastFailure(char* text, std::size_t size)
{
    if (text != nullptr && size != 0)
        std::snprintf(text, size, "%s", t_pszLastFailure);
}

ScsiOutcome EmulatedHost::RunCommand(int device, const uint8_t* cdb, bool dataIn, uint8_t* buffer, uint32_t length)
{
    DeviceSlot& slot = *m_devices[static_cast<std::size_t>(device)];
    TranscriptRecord record;
    record.drive = slot.drive;
    std::memcpy(record.cdb, cdb, sizeof(record.cdb));
    record.dataIn = dataIn;
    record.length = length;
    if (!dataIn)
        Sha256Hex(buffer, buffer == nullptr ? 0 : length, record.dataSha256);

    // The device lock stays held while the line is written, so each device's
    // lines keep the order in which it ran its commands.
    std::lock_guard deviceLock(slot.mutex);
    const ScsiOutcome outcome = slot.model->Execute(cdb, dataIn, buffer, length);
    record.tMs = m_clock.NowMs() - m_startMs;
    switch (outcome.result) {
    case ScsiOutcome::Result::Good:
        record.result = "good";
        break;
    case ScsiOutcome::Result::Check:
        record.result = "check";
        record.sense[0] = outcome.senseKey;
        record.sense[1] = outcome.asc;
        record.sense[2] = outcome.ascq;
        break;
    case ScsiOutcome::Result::Fail:
        record.result = "fail";
        break;
    }
    std::lock_guard transcriptLock(m_transcriptMutex);
    if (m_pTranscript != nullptr) {
        *m_pTranscript << FormatTranscriptLine(record) << '\n';
        m_pTranscript->flush();
    }
    m_records.push_back(record);
    return outcome;
}

std::string EmulatedHost::FormatTranscriptLine(const TranscriptRecord& record)
{
    char line[kTranscriptLineMax];
    return std::string(line, ::FormatTranscriptLine(record, line));
}

HostHandle EmulatedHost::LoadAspiLibrary(const char* name)
{
    CompleteDueRequests();
    // Only a Windows 9x bench has the layer installed.
    if (!m_scenario.win9x || name == nullptr ||
        !(SameTextIgnoringCase(name, "WNASPI32") || SameTextIgnoringCase(name, "WNASPI32.DLL")))
        return 0;
    std::lock_guard lock(m_mutex);
    ++m_nAspiLoads;
    return kAspiModule;
}

AspiEntryPoint EmulatedHost::FindAspiEntryPoint(HostHandle library, const char* name)
{
    CompleteDueRequests();
    if (library != kAspiModule || name == nullptr)
        return nullptr;
    // Export names are case-sensitive.
    if (std::strcmp(name, "GetASPI32SupportInfo") == 0)
        return &g_getSupportInfoToken;
    if (std::strcmp(name, "SendASPI32Command") == 0)
        return &g_sendCommandToken;
    return nullptr;
}

void EmulatedHost::FreeAspiLibrary(HostHandle library)
{
    CompleteDueRequests();
    if (library != kAspiModule)
        return;
    std::lock_guard lock(m_mutex);
    ++m_nAspiFrees;
}

uint32_t EmulatedHost::CallGetASPI32SupportInfo(AspiEntryPoint entry)
{
    CompleteDueRequests();
    if (entry != &g_getSupportInfoToken)
        return 0;
    // Without devices there is no adapter to report.
    if (m_devices.empty())
        return uint32_t{SS_NO_ADAPTERS} << 8;
    return (uint32_t{SS_COMP} << 8) | 1;
}

uint32_t EmulatedHost::CallSendASPI32Command(AspiEntryPoint entry, void* srb)
{
    CompleteDueRequests();
    if (entry != &g_sendCommandToken || srb == nullptr)
        return kSsInvalidSrb;
    uint8_t* header = static_cast<uint8_t*>(srb);
    const int deviceCount = static_cast<int>(m_devices.size());
    switch (header[0]) {
    case SC_GET_DEV_TYPE: {
        auto& block = *static_cast<SRB_GDEVBlock*>(srb);
        if (block.SRB_HaId != 0 || deviceCount == 0)
            block.SRB_Status = kSsInvalidHa;
        else if (block.SRB_Lun != 0 || block.SRB_Target > deviceCount)
            block.SRB_Status = SS_NO_DEVICE;
        else {
            block.SRB_DeviceType = block.SRB_Target == 0 ? kPeripheralTypeDisk : kPeripheralTypeCdrom;
            block.SRB_Status = SS_COMP;
        }
        return block.SRB_Status;
    }
    case SC_GET_DISK_INFO: {
        auto& block = *static_cast<SRB_GetDiskInfo*>(srb);
        if (block.SRB_HaId != 0 || deviceCount == 0)
            block.SRB_Status = kSsInvalidHa;
        else if (block.SRB_Lun != 0 || block.SRB_Target > deviceCount)
            block.SRB_Status = SS_NO_DEVICE;
        else {
            // Target 0 is C:, target t is the drive of device t - 1.
            block.SRB_Int13HDriveInfo =
                block.SRB_Target == 0 ? 'C' - 'A' : static_cast<uint8_t>(m_devices[block.SRB_Target - 1u]->drive - 'A');
            block.SRB_Status = SS_COMP;
        }
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

uint32_t EmulatedHost::SendExec(SRB_ExecSCSICmd& srb)
{
    const int deviceCount = static_cast<int>(m_devices.size());
    if (srb.SRB_HaId != 0 || deviceCount == 0) {
        srb.SRB_Status = kSsInvalidHa;
        return srb.SRB_Status;
    }
    // Only the KT3916 targets are modelled; the fixed disk takes no commands.
    if (srb.SRB_Lun != 0 || srb.SRB_Target == 0 || srb.SRB_Target > deviceCount) {
        srb.SRB_Status = SS_NO_DEVICE;
        return srb.SRB_Status;
    }
    const bool bothDirections = (srb.SRB_Flags & (SRB_DIR_IN | SRB_DIR_OUT)) == (SRB_DIR_IN | SRB_DIR_OUT);
    if (srb.SRB_CDBLen != 12 || bothDirections || srb.SRB_BufLen > kMaxTransferLength ||
        (srb.SRB_BufLen != 0 && srb.SRB_BufPointer == nullptr)) {
        srb.SRB_Status = kSsInvalidSrb;
        return srb.SRB_Status;
    }
    if ((srb.SRB_Flags & SRB_EVENT_NOTIFY) != 0) {
        std::lock_guard lock(m_mutex);
        auto it = m_events.find(srb.SRB_PostProc);
        if (it == m_events.end()) {
            srb.SRB_Status = kSsInvalidSrb;
            return srb.SRB_Status;
        }
        it->second = false;
    }
    const int device = srb.SRB_Target - 1;
    if (m_scenario.latencyMs == 0) {
        CompleteExec(srb, device);
        return srb.SRB_Status;
    }
    srb.SRB_Status = SS_PENDING;
    std::lock_guard lock(m_mutex);
    const HostHandle event = (srb.SRB_Flags & SRB_EVENT_NOTIFY) != 0 ? srb.SRB_PostProc : 0;
    m_pending.push_back({&srb, device, m_clock.NowMs() + m_scenario.latencyMs, event});
    return SS_PENDING;
}

void EmulatedHost::CompleteExec(SRB_ExecSCSICmd& srb, int device)
{
    // With no direction bits the layer takes the command's own direction.
    bool dataIn = (srb.SRB_Flags & SRB_DIR_OUT) == 0;
    if ((srb.SRB_Flags & (SRB_DIR_IN | SRB_DIR_OUT)) == 0)
        dataIn = srb.CDBByte[0] != 0xFA;
    const ScsiOutcome outcome =
        RunCommand(device, srb.CDBByte, dataIn, static_cast<uint8_t*>(srb.SRB_BufPointer), srb.SRB_BufLen);
    srb.SRB_HaStat = 0;
    srb.SRB_TargStat = kScsiStatusGood;
    switch (outcome.result) {
    case ScsiOutcome::Result::Good:
        srb.SRB_Status = SS_COMP;
        break;
    case ScsiOutcome::Result::Check: {
        srb.SRB_TargStat = kScsiStatusCheckCondition;
        uint8_t sense[kFixedSenseLength];
        MakeFixedSense(outcome, sense);
        std::memcpy(srb.SenseArea, sense, std::min<std::size_t>(srb.SRB_SenseLen, sizeof(srb.SenseArea)));
        srb.SRB_Status = SS_ERR;
        break;
    }
    case ScsiOutcome::Result::Fail:
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

void EmulatedHost::CompleteDueRequests()
{
    ApplyPlugEvents();
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

HostHandle EmulatedHost::CreateCompletionEvent()
{
    CompleteDueRequests();
    std::lock_guard lock(m_mutex);
    const HostHandle handle = m_nextHandle;
    m_nextHandle += 4;
    m_events[handle] = false;
    return handle;
}

bool EmulatedHost::WaitCompletionEvent(HostHandle event, uint32_t milliseconds)
{
    CompleteDueRequests();
    uint64_t dueMs = 0;
    bool pending = false;
    {
        std::lock_guard lock(m_mutex);
        auto it = m_events.find(event);
        if (it == m_events.end())
            return false;
        if (it->second)
            return true;
        for (const PendingRequest& request : m_pending) {
            if (request.event == event && (!pending || request.dueMs < dueMs)) {
                dueMs = request.dueMs;
                pending = true;
            }
        }
    }
    // Nothing will ever signal it: an endless wait would hang for good.
    if (!pending && milliseconds == kWaitInfinite)
        return false;
    const uint64_t now = m_clock.NowMs();
    uint64_t wait = milliseconds;
    if (pending)
        wait = std::min<uint64_t>(wait, dueMs > now ? dueMs - now : 0);
    if (wait != 0)
        m_clock.SleepMs(static_cast<uint32_t>(wait));
    CompleteDueRequests();
    std::lock_guard lock(m_mutex);
    auto it = m_events.find(event);
    return it != m_events.end() && it->second;
}

void EmulatedHost::CloseCompletionEvent(HostHandle event)
{
    CompleteDueRequests();
    std::lock_guard lock(m_mutex);
    if (m_events.erase(event) == 0)
        ++m_nBadCloses;
}

std::vector<TranscriptRecord> EmulatedHost::Records() const
{
    std::lock_guard lock(m_transcriptMutex);
    return m_records;
}

int EmulatedHost::OpenHandleCount() const
{
    std::lock_guard lock(m_mutex);
    return static_cast<int>(m_openDevices.size());
}

EmulatedKt3916& EmulatedHost::Device(int index)
{
    return *m_devices.at(static_cast<std::size_t>(index))->model;
}

int EmulatedHost::BadCloseCount() const
{
    std::lock_guard lock(m_mutex);
    return m_nBadCloses;
}

int EmulatedHost::OpenEventCount() const
{
    std::lock_guard lock(m_mutex);
    return static_cast<int>(m_events.size());
}

int EmulatedHost::PendingAspiCount() const
{
    std::lock_guard lock(m_mutex);
    return static_cast<int>(m_pending.size());
}

int EmulatedHost::AspiLoadCount() const
{
    std::lock_guard lock(m_mutex);
    return m_nAspiLoads;
}

int EmulatedHost::AspiFreeCount() const
{
    std::lock_guard lock(m_mutex);
    return m_nAspiFrees;
}
