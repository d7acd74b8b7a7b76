#include "device/recording_host.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "base/clock.h"
#include "base/sha256.h"
#include "device/aspi_srb.h"
#include "device/drive_name.h"
#include "device/transcript.h"

namespace {

uint16_t AspiAddress(uint8_t adapter, uint8_t target)
{
    return static_cast<uint16_t>(adapter << 8 | target);
}

}  // namespace

CRecordingHost::CRecordingHost(IScsiHost& inner, RecordingOptions options)
    : CForwardingHost(inner), m_options(std::move(options)), m_liFrequency(inner.QueryCounterFrequency()),
      m_liOrigin(inner.QueryCounter())
{
    if (m_liFrequency <= 0)
        m_liFrequency = 1;
}

CRecordingHost::~CRecordingHost() = default;

HostHandle CRecordingHost::OpenDevice(const char* path)
{
    const HostHandle handle = m_inner.OpenDevice(path);
    RememberDrive(handle, path);
    return handle;
}

HostHandle CRecordingHost::OpenDeviceExclusive(const char* path, ExclusiveAccess& access)
{
    const HostHandle handle = m_inner.OpenDeviceExclusive(path, access);
    RememberDrive(handle, path);
    return handle;
}

void CRecordingHost::RememberDrive(HostHandle handle, const char* path)
{
    if (handle == kInvalidHandle)
        return;
    OpenDrive drive{};
    drive.chDrive = DevicePathLetter(path);
    const std::string node = drive.chDrive != 0 && m_options.nodeName ? m_options.nodeName(drive.chDrive) : "";
    std::snprintf(drive.szNode, sizeof drive.szNode, "%s", !node.empty() ? node.c_str() : path != nullptr ? path : "");
    std::lock_guard lock(m_mutex);
    m_openDrives[handle] = drive;
}

void CRecordingHost::CloseDevice(HostHandle device)
{
    {
        std::lock_guard lock(m_mutex);
        m_openDrives.erase(device);
    }
    m_inner.CloseDevice(device);
}

bool CRecordingHost::SendPassThrough(HostHandle device, PassThroughRequest& request)
{
    // What went out, before the host writes its answer into the request.
    RecordedCommand command;
    std::memcpy(command.cdb, request.sptd.Cdb, sizeof command.cdb);
    command.bDataIn = request.sptd.DataIn == kDataIn;
    command.nLength = request.sptd.DataTransferLength;
    const uint8_t* data = static_cast<const uint8_t*>(request.sptd.DataBuffer);

    const int64_t liStart = m_inner.QueryCounter();
    const bool bCallOk = m_inner.SendPassThrough(device, request);
    const int64_t liStop = m_inner.QueryCounter();

    command.result = PassThroughResult(bCallOk, request.sptd.ScsiStatus);
    if (command.result == CommandResult::Lost) {
        m_inner.DescribeLastFailure(command.szError, sizeof command.szError);
    } else if (command.result != CommandResult::Good) {
        command.byScsiStatus = request.sptd.ScsiStatus;
        command.sense = DecodeSenseData(request.senseArea, kSenseAreaLength);
    }

    OpenDrive drive{};
    {
        std::lock_guard lock(m_mutex);
        auto it = m_openDrives.find(device);
        if (it != m_openDrives.end())
            drive = it->second;
    }
    Record(drive.chDrive, drive.szNode, command, data, liStart, liStop);
    return bCallOk;
}

uint32_t CRecordingHost::CallSendASPI32Command(AspiEntryPoint entry, void* srb)
{
    const uint8_t nCommand = srb != nullptr ? static_cast<const uint8_t*>(srb)[0] : 0;
    if (nCommand != SC_EXEC_SCSI_CMD) {
        const uint32_t nResult = InnerAspi().CallSendASPI32Command(entry, srb);
        // The layer names the drive letter of a target: lines of its
        // commands carry that letter.
        if (nCommand == SC_GET_DISK_INFO) {
            const auto& info = *static_cast<const SRB_GetDiskInfo*>(srb);
            if (info.SRB_Status == SS_COMP && info.SRB_Int13HDriveInfo < 26) {
                std::lock_guard lock(m_mutex);
                m_aspiLetters[AspiAddress(info.SRB_HaId, info.SRB_Target)] =
                    static_cast<char>('A' + info.SRB_Int13HDriveInfo);
            }
        }
        return nResult;
    }

    auto& exec = *static_cast<SRB_ExecSCSICmd*>(srb);
    const int64_t liStart = m_inner.QueryCounter();
    const uint32_t nResult = InnerAspi().CallSendASPI32Command(entry, srb);
    if (nResult == SS_PENDING && (exec.SRB_Flags & SRB_EVENT_NOTIFY) != 0) {
        // The block is the caller's until it is done with the wait; the
        // outcome is read when the wait ends.
        std::lock_guard lock(m_mutex);
        for (PendingExec& pending : m_pending) {
            if (pending.pSrb == nullptr) {
                pending = {&exec, exec.SRB_PostProc, liStart};
                return nResult;
            }
        }
    }
    RecordExec(exec, liStart, false);
    return nResult;
}

bool CRecordingHost::WaitCompletionEvent(HostHandle event, uint32_t milliseconds)
{
    const bool bSignalled = InnerAspi().WaitCompletionEvent(event, milliseconds);
    PendingExec done;
    {
        std::lock_guard lock(m_mutex);
        for (PendingExec& pending : m_pending) {
            if (pending.pSrb != nullptr && pending.hEvent == event) {
                done = pending;
                pending = PendingExec{};
                break;
            }
        }
    }
    if (done.pSrb != nullptr)
        RecordExec(*done.pSrb, done.liStart, !bSignalled);
    return bSignalled;
}

void CRecordingHost::CloseCompletionEvent(HostHandle event)
{
    {
        // A request nobody waited for is not read after its event is gone.
        std::lock_guard lock(m_mutex);
        for (PendingExec& pending : m_pending) {
            if (pending.pSrb != nullptr && pending.hEvent == event)
                pending = PendingExec{};
        }
    }
    InnerAspi().CloseCompletionEvent(event);
}

void CRecordingHost::RecordExec(const SRB_ExecSCSICmd& srb, int64_t liStart, bool bWaitGaveUp)
{
    const int64_t liStop = m_inner.QueryCounter();
    // The layer may still be writing a request that timed out.
    const uint8_t byStatus = *static_cast<const volatile uint8_t*>(&srb.SRB_Status);

    RecordedCommand command;
    std::memcpy(command.cdb, srb.CDBByte, sizeof command.cdb);
    command.bDataIn = (srb.SRB_Flags & SRB_DIR_OUT) == 0;
    command.nLength = srb.SRB_BufLen;
    command.result = AspiResult(byStatus, srb.SRB_TargStat);
    if (command.result == CommandResult::Check || command.result == CommandResult::Status) {
        command.byScsiStatus = srb.SRB_TargStat;
        command.sense = DecodeSenseData(srb.SenseArea, std::min<std::size_t>(srb.SRB_SenseLen, sizeof srb.SenseArea));
    } else if (command.result == CommandResult::Lost) {
        if (byStatus == SS_PENDING) {
            std::snprintf(command.szError, sizeof command.szError, "ASPI: the request %s",
                          bWaitGaveUp ? "did not complete within its time-out" : "is still pending");
        } else {
            std::snprintf(command.szError, sizeof command.szError, "ASPI: status 0x%02x, host adapter status 0x%02x",
                          byStatus, srb.SRB_HaStat);
        }
    }

    char drive = 0;
    {
        std::lock_guard lock(m_mutex);
        auto it = m_aspiLetters.find(AspiAddress(srb.SRB_HaId, srb.SRB_Target));
        if (it != m_aspiLetters.end())
            drive = it->second;
    }
    char node[kNodeMax];
    std::snprintf(node, sizeof node, "aspi %u:%u", srb.SRB_HaId, srb.SRB_Target);
    Record(drive, node, command, static_cast<const uint8_t*>(srb.SRB_BufPointer), liStart, liStop);
}

void CRecordingHost::Record(char drive, const char* node, const RecordedCommand& command, const uint8_t* data,
                            int64_t liStart, int64_t liStop)
{
    char line[kTranscriptLineMax];
    std::size_t length = 0;
    if (m_options.pLog != nullptr) {
        TranscriptRecord record;
        record.tMs = static_cast<uint64_t>((liStart - m_liOrigin) * 1000 / m_liFrequency);
        char time[kTimeTextLength];
        FormatUtc(m_options.wallClock ? m_options.wallClock() : std::chrono::system_clock::now(), time);
        record.time = time;
        record.run = m_options.strRun;
        record.drive = drive;
        record.node = node;
        std::memcpy(record.cdb, command.cdb, sizeof record.cdb);
        record.dataIn = command.bDataIn;
        record.length = command.nLength;
        record.result = CommandResultName(command.result);
        if (command.result == CommandResult::Status)
            record.scsiStatus = command.byScsiStatus;
        record.sense[0] = command.sense.key;
        record.sense[1] = command.sense.asc;
        record.sense[2] = command.sense.ascq;
        record.bSenseWords = true;
        if (m_options.bDataDigest && !command.bDataIn)
            Sha256Hex(data, data == nullptr ? 0 : command.nLength, record.dataSha256);
        record.durationUs = (liStop - liStart) * 1000000 / m_liFrequency;
        record.error = command.szError;
        length = FormatTranscriptLine(record, line);
    }

    const int index = DriveLetterIndex(drive);
    std::lock_guard lock(m_mutex);
    if (index >= 0)
        m_last[index] = command;
    if (m_options.pLog != nullptr) {
        // Flushed line by line: a crash loses at most the line of the
        // command that was running.
        m_options.pLog->write(line, static_cast<std::streamsize>(length)).put('\n');
        m_options.pLog->flush();
        if (!*m_options.pLog)
            m_bLogFailed = true;
    }
}

bool CRecordingHost::LastCommand(char drive, RecordedCommand& command) const
{
    const int index = DriveLetterIndex(drive);
    if (index < 0)
        return false;
    std::lock_guard lock(m_mutex);
    if (m_last[index])
        command = *m_last[index];
    return m_last[index].has_value();
}

bool CRecordingHost::LogFailed() const
{
    std::lock_guard lock(m_mutex);
    return m_bLogFailed;
}
