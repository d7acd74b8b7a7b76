#include "device/emulated/emulated_host.h"

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdio>
#include <cstring>

#include "device/drive_name.h"

namespace {

constexpr uint32_t kPlatformWin32Nt = 2;
constexpr int64_t kCounterFrequency = 1000000;  // counter ticks in microseconds
constexpr uint32_t kDriveTypeNoRootDir = 1;
// Why the calling thread's last pass-through call failed.
constexpr char kFailureNotOpen[] = "emulated host: not an open device";
constexpr char kFailureMalformed[] = "emulated host: malformed request";
constexpr char kFailureNoAnswer[] = "emulated host: the device did not answer";
constexpr char kFailureRemoved[] = "emulated host: the device was removed";
constexpr char kFailureElsewhere[] =
    "emulated host: the device left the bus and came back at another drive, where this handle does not follow it";
constexpr char kFailureLocked[] = "emulated host: another handle holds the drive's exclusive lock";
thread_local const char* t_pszLastFailure = "";

bool RequestWellFormed(const PassThroughRequest& request)
{
    const ScsiPassThroughDirect& sptd = request.sptd;
    if (sptd.Length != sizeof(ScsiPassThroughDirect) || sptd.CdbLength != 12 || sptd.DataIn > kDataIn)
        return false;
    if (sptd.DataTransferLength > kEmulatedMaxTransfer)
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

EmulatedHost::EmulatedHost(const EmulatorScenario& scenario, IClock& clock, ITranscriptSink* transcript)
    : m_scenario(scenario), m_clock(clock), m_pTranscript(transcript), m_startMs(clock.NowMs())
{
    for (int i = 0; i < scenario.devices; ++i)
        m_devices.push_back(std::make_unique<DeviceSlot>(scenario, clock, static_cast<char>('D' + i), m_startMs));
    for (int i = 0; scenario.replugElsewhere && i < scenario.devices && 'D' + scenario.devices + i <= 'Z'; ++i) {
        m_devices.push_back(
            std::make_unique<DeviceSlot>(scenario, clock, static_cast<char>('D' + scenario.devices + i), m_startMs));
        m_devices.back()->home = i;
    }
    m_plugEventApplied.resize(scenario.plugEvents.size());
    // A drive that first attaches is absent until its event.
    std::vector<bool> seen(m_devices.size());
    for (const PlugEvent& event : scenario.plugEvents) {
        const auto index = static_cast<std::size_t>(event.device);
        if (!seen[index]) {
            m_devices[index]->present = !event.attach;
            m_devices[index]->nUnit = event.attach ? 0 : 1;
        }
        seen[index] = true;
    }
}

void EmulatedHost::ApplyPlugEvents()
{
    const uint64_t now = m_clock.NowMs();
    std::lock_guard lock(m_plugMutex);
    // A drive's steps happen in their order: one not yet due holds the
    // drive's later ones.
    std::vector<bool> held(m_devices.size());
    for (std::size_t i = 0; i < m_scenario.plugEvents.size(); ++i) {
        const PlugEvent& event = m_scenario.plugEvents[i];
        const auto device = static_cast<std::size_t>(event.device);
        if (m_plugEventApplied[i] || held[device])
            continue;
        DeviceSlot& slot = *m_devices[device];
        if (!PlugEventDue(event, slot, now)) {
            held[device] = true;
            continue;
        }
        m_plugEventApplied[i] = true;
        if (event.attach == slot.present)
            continue;
        slot.present = event.attach;
        ++slot.generation;
        if (event.attach) {
            // Another unit on the same drive: it starts as a unit fresh from the box.
            ++slot.nUnit;
            std::lock_guard deviceLock(slot.mutex);
            slot.model = std::make_unique<EmulatedKt3916>(m_scenario, m_clock, slot.seat);
        }
    }
}

bool EmulatedHost::PlugEventDue(const PlugEvent& event, DeviceSlot& slot, uint64_t now)
{
    if (!event.afterUpdate)
        return now - m_startMs >= event.atMs;
    std::lock_guard deviceLock(slot.mutex);
    const std::optional<uint64_t> seen = slot.model->UpdateSeenMs();
    return seen && now - *seen >= event.atMs;
}

bool EmulatedHost::IsPresent(int device)
{
    std::lock_guard lock(m_plugMutex);
    return OnBus(device);
}

bool EmulatedHost::OnBus(int device)
{
    const DeviceSlot& slot = *m_devices[static_cast<std::size_t>(device)];
    DeviceSlot& unit = *m_devices[static_cast<std::size_t>(UnitOf(device))];
    if (!unit.present)
        return false;
    std::lock_guard deviceLock(unit.mutex);
    if (unit.model->OffTheBus())
        return false;
    const bool bBackElsewhere = m_scenario.replugElsewhere && unit.model->Returns() != 0;
    return slot.home < 0 ? !bBackElsewhere : bBackElsewhere;
}

bool EmulatedHost::BackElsewhere(int device)
{
    DeviceSlot& unit = *m_devices[static_cast<std::size_t>(UnitOf(device))];
    std::lock_guard deviceLock(unit.mutex);
    return m_scenario.replugElsewhere && unit.model->Returns() != 0 && !unit.model->OffTheBus();
}

int EmulatedHost::UnitOf(int device) const
{
    const int home = m_devices[static_cast<std::size_t>(device)]->home;
    return home < 0 ? device : home;
}

EmulatedHost::~EmulatedHost() = default;

std::string EmulatedHost::DriveSerial(char drive)
{
    const int device = std::toupper(static_cast<unsigned char>(drive)) - 'D';
    if (device < 0 || device >= DeviceCount())
        return {};
    std::lock_guard lock(m_plugMutex);
    // A unit that came back elsewhere keeps the serial it had at home.
    const DeviceSlot& unit = *m_devices[static_cast<std::size_t>(UnitOf(device))];
    return OnBus(device) ? m_scenario.serial + static_cast<char>('D' + UnitOf(device)) + std::to_string(unit.nUnit)
                         : std::string();
}

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
    std::string roots("C:\\\0", 4);
    for (int i = 0; i < DeviceCount(); ++i) {
        if (IsPresent(i))
            roots += std::string{DriveOf(i), ':', '\\', '\0'};
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
    const char letter = DriveRootLetter(rootPath);
    if (letter == 'C')
        return kDriveTypeFixed;
    const int index = letter - 'D';
    if (index >= 0 && index < DeviceCount() && IsPresent(index))
        return kDriveTypeCdrom;
    return kDriveTypeNoRootDir;
}

HostHandle EmulatedHost::OpenDevice(const char* path)
{
    CompleteDueRequests();
    const char letter = DevicePathLetter(path);
    const int index = letter - 'D';
    if (index < 0 || index >= DeviceCount())
        return kInvalidHandle;
    uint32_t generation;
    {
        std::lock_guard plugLock(m_plugMutex);
        if (!OnBus(index))
            return kInvalidHandle;
        generation = m_devices[static_cast<std::size_t>(UnitOf(index))]->generation;
    }
    const HostHandle handle = NewHandle();
    std::lock_guard lock(m_mutex);
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
    ReleaseExclusiveAccess(device);
    std::lock_guard lock(m_mutex);
    m_openDevices.erase(device);
}

bool EmulatedHost::LockedByOtherHandle(int device, HostHandle handle) const
{
    auto it = m_locks.find(device);
    return it != m_locks.end() && it->second != handle;
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
    // A unit that left the bus and is back at its drive is reached again
    // through the same handle, as the Windows host reopens a drive letter
    // whose device left; a new unit at that drive is not.
    std::lock_guard plugLock(m_plugMutex);
    return m_devices[static_cast<std::size_t>(UnitOf(open.device))]->generation == open.generation &&
           OnBus(open.device);
}

bool EmulatedHost::SendPassThrough(HostHandle device, PassThroughRequest& request)
{
    CompleteDueRequests();
    int index;
    {
        std::lock_guard lock(m_mutex);
        auto it = m_openDevices.find(device);
        index = it == m_openDevices.end() ? -1 : it->second.device;
        t_pszLastFailure = index < 0 ? kFailureNotOpen : kFailureLocked;
        if (index < 0 || LockedByOtherHandle(index, device))
            return false;
    }
    if (!RequestWellFormed(request)) {
        t_pszLastFailure = kFailureMalformed;
        return false;
    }
    if (!HandleStillAttached(device)) {
        t_pszLastFailure = BackElsewhere(index) ? kFailureElsewhere : kFailureRemoved;
        return false;
    }
    t_pszLastFailure = kFailureNoAnswer;
    if (m_scenario.latencyMs != 0)
        m_clock.SleepMs(m_scenario.latencyMs);
    ScsiPassThroughDirect& sptd = request.sptd;
    const ScsiOutcome outcome = RunCommand(index, sptd.Cdb, sptd.DataIn == kDataIn,
                                           static_cast<uint8_t*>(sptd.DataBuffer), sptd.DataTransferLength);
    if (outcome.result == CommandResult::Lost)
        return false;
    if (outcome.result == CommandResult::Good) {
        sptd.ScsiStatus = kScsiStatusGood;
        return true;
    }
    sptd.ScsiStatus = kScsiStatusCheckCondition;
    FixedSense(outcome, reinterpret_cast<uint8_t*>(&request) + sptd.SenseInfoOffset, sptd.SenseInfoLength);
    return true;
}

void EmulatedHost::DescribeLastFailure(char* text, std::size_t size)
{
    if (text != nullptr && size != 0)
        std::snprintf(text, size, "%s", t_pszLastFailure);
}

ScsiOutcome EmulatedHost::RunCommand(int device, const uint8_t* cdb, bool dataIn, uint8_t* buffer, uint32_t length)
{
    DeviceSlot& slot = *m_devices[static_cast<std::size_t>(UnitOf(device))];
    // The device lock stays held while the record is written, so each
    // device's records keep the order in which it ran its commands.
    std::lock_guard deviceLock(slot.mutex);
    if (m_pTranscript == nullptr)
        return slot.model->Execute(cdb, dataIn, buffer, length);
    TranscriptRecord record;
    const ScsiOutcome outcome = slot.model->Execute(cdb, dataIn, buffer, length, &record);
    m_pTranscript->Write(record);
    return outcome;
}

void EmulatedHost::CompleteDueRequests()
{
    ApplyPlugEvents();
    m_aspi.CompleteDueRequests();
}

HostHandle EmulatedHost::NewHandle()
{
    std::lock_guard lock(m_mutex);
    const HostHandle handle = m_nextHandle;
    m_nextHandle += 4;
    return handle;
}
