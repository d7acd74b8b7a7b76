#include "emulator/served_device.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "device/emulated/sha256.h"

namespace {

constexpr uint8_t kStatusGood = 0x00;
constexpr uint8_t kStatusCheckCondition = 0x02;
constexpr uint8_t kOpBlockWrite = 0xFA;
// Larger than any command of the device or of the kernel's CD-ROM driver.
constexpr uint32_t kMaxDataLength = 1u << 20;

}  // namespace

void CTranscriptWriter::Write(const TranscriptRecord& record)
{
    char line[kTranscriptLineMax];
    const std::size_t length = FormatTranscriptLine(record, line);
    std::lock_guard lock(m_mutex);
    if (std::fwrite(line, 1, length, m_pFile) != length || std::fputc('\n', m_pFile) == EOF ||
        std::fflush(m_pFile) != 0)
        m_bFailed = true;
    // The device restarts after its final block: a power cut then must not
    // take the record of what it was sent.
    if (record.cdb[0] == kOpBlockWrite && record.cdb[3] == 1 && !SyncLocked())
        m_bFailed = true;
}

bool CTranscriptWriter::Sync()
{
    std::lock_guard lock(m_mutex);
    return SyncLocked();
}

bool CTranscriptWriter::SyncLocked()
{
    // A file that cannot be put on a disk (a pipe, /dev/null) is no failure.
    return std::fflush(m_pFile) == 0 && (::fdatasync(fileno(m_pFile)) == 0 || errno == EINVAL || errno == EROFS);
}

CServedDevice::CServedDevice(const EmulatorScenario& scenario, IClock& clock, uint64_t startMs, char drive,
                             CTranscriptWriter* transcript)
    : m_scenario(scenario),
      m_clock(clock),
      m_startMs(startMs),
      m_drive(drive),
      m_pTranscript(transcript),
      m_model(scenario, clock),
      m_buffer(kMaxDataLength)
{
}

bool CServedDevice::ServeQueued(CTcmuRing& ring)
{
    bool answered = false;
    CTcmuRing::Command command;
    // A dropped command keeps its entry until another one is queued behind
    // it: by then the kernel has given up on it, and its late answer is
    // ignored.
    if (m_bHoldingDropped) {
        if (!ring.MoreQueued())
            return false;
        ring.Complete(kStatusGood, nullptr, 0, nullptr, 0);
        m_bHoldingDropped = false;
        answered = true;
    }
    while (!m_bHoldingDropped && ring.Next(command)) {
        Answer(ring, command);
        answered = answered || !m_bHoldingDropped;
    }
    return answered;
}

void CServedDevice::Answer(CTcmuRing& ring, const CTcmuRing::Command& command)
{
    uint8_t cdb[16] = {};
    std::memcpy(cdb, command.cdb, std::min<uint32_t>(command.cdbLength, sizeof cdb));
    const bool dataIn = !TcmuDataOut(cdb[0]);
    if (m_scenario.latencyMs != 0)
        m_clock.SleepMs(m_scenario.latencyMs);

    const bool fits = command.dataLength <= m_buffer.size();
    if (fits && !dataIn)
        ring.CopyDataOut(m_buffer.data(), command.dataLength);
    ScsiOutcome outcome;
    if (!fits) {
        outcome = {ScsiOutcome::Result::Check, kt3916_sense::kInvalidFieldInCdb.key,
                   kt3916_sense::kInvalidFieldInCdb.asc, kt3916_sense::kInvalidFieldInCdb.ascq};
    } else if (m_model.IsRebooting()) {
        outcome = {ScsiOutcome::Result::Check, kt3916_sense::kBecomingReady.key, kt3916_sense::kBecomingReady.asc,
                   kt3916_sense::kBecomingReady.ascq};
    } else {
        outcome = m_model.Execute(cdb, dataIn, m_buffer.data(), command.dataLength);
    }
    Record(cdb, command.cdbLength, dataIn, command.dataLength, outcome, outcome.result != ScsiOutcome::Result::Fail);

    switch (outcome.result) {
    case ScsiOutcome::Result::Good:
        ring.Complete(kStatusGood, nullptr, 0, m_buffer.data(), dataIn ? outcome.dataInLength : 0);
        break;
    case ScsiOutcome::Result::Check: {
        // Fixed format: response code, key at 2, additional length at 7,
        // ASC and ASCQ at 12 and 13.
        uint8_t sense[18] = {0x70, 0, outcome.senseKey, 0, 0, 0, 0, 10};
        sense[12] = outcome.asc;
        sense[13] = outcome.ascq;
        ring.Complete(kStatusCheckCondition, sense, sizeof sense, nullptr, 0);
        break;
    }
    case ScsiOutcome::Result::Fail:
        m_bHoldingDropped = true;
        break;
    }
}

void CServedDevice::Record(const uint8_t* cdb, uint32_t cdbLength, bool dataIn, uint32_t length,
                           const ScsiOutcome& outcome, bool answered)
{
    if (m_pTranscript == nullptr)
        return;
    TranscriptRecord record;
    record.tMs = m_clock.NowMs() - m_startMs;
    record.drive = m_drive;
    std::memcpy(record.cdb, cdb, std::min<uint32_t>(cdbLength, sizeof record.cdb));
    record.dataIn = dataIn;
    record.length = length;
    record.result = !answered ? "fail" : outcome.result == ScsiOutcome::Result::Good ? "good" : "check";
    if (outcome.result == ScsiOutcome::Result::Check) {
        record.sense[0] = outcome.senseKey;
        record.sense[1] = outcome.asc;
        record.sense[2] = outcome.ascq;
    }
    if (!dataIn)
        Sha256Hex(m_buffer.data(), std::min<std::size_t>(length, m_buffer.size()), record.dataSha256);
    m_pTranscript->Write(record);
}
