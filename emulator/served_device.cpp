#include "emulator/served_device.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "device/sha256.h"

namespace {

constexpr uint8_t kStatusGood = 0x00;
constexpr uint8_t kStatusCheckCondition = 0x02;
constexpr uint8_t kOpBlockWrite = 0xFA;
// Larger than any command of the device or of the kernel's CD-ROM driver.
constexpr uint32_t kMaxDataLength = 1u << 20;
constexpr kt3916_sense::Code kAbortedCommand{0x0B, 0x00, 0x00};

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
                             CTranscriptWriter* transcript, uint64_t releaseMs)
    : m_scenario(scenario), m_clock(clock), m_startMs(startMs), m_drive(drive), m_pTranscript(transcript),
      m_nReleaseMs(releaseMs), m_model(scenario, clock), m_buffer(kMaxDataLength)
{
}

bool CServedDevice::ServeQueued(CTcmuRing& ring)
{
    // A dropped command is given back only once the kernel has ended it by
    // its timer, and then as aborted: its late answer is ignored, and were it
    // not, it would still not read as a success.
    bool answered = Release(ring, false);
    CTcmuRing::Command command;
    while (ring.Next(command)) {
        // A kernel that takes answers only in order would wait for the
        // dropped one: it goes first, as aborted, early.
        if (!ring.OutOfOrder())
            answered = Release(ring, true) || answered;
        const std::size_t held = m_vecHeld.size();
        Answer(ring, command);
        answered = answered || m_vecHeld.size() == held;
    }
    if (ring.Broken() != nullptr && !m_bBrokenReported) {
        std::fprintf(stderr,
                     "kt3916flash-emulator: device %c: the command ring is broken (%s); commands stay "
                     "unanswered until the kernel's timer ends them\n",
                     m_drive, ring.Broken());
        m_bBrokenReported = true;
    }
    return answered;
}

bool CServedDevice::Release(CTcmuRing& ring, bool all)
{
    bool released = false;
    while (!m_vecHeld.empty() && (all || m_clock.NowMs() >= m_vecHeld.front().releaseAtMs)) {
        Refuse(ring, m_vecHeld.front().command, kAbortedCommand);
        m_vecHeld.erase(m_vecHeld.begin());
        released = true;
    }
    return released;
}

void CServedDevice::Refuse(CTcmuRing& ring, const CTcmuRing::Command& command, const kt3916_sense::Code& code)
{
    // Fixed format: response code, key at 2, additional length at 7, ASC and
    // ASCQ at 12 and 13.
    uint8_t sense[18] = {0x70, 0, code.key, 0, 0, 0, 0, 10};
    sense[12] = code.asc;
    sense[13] = code.ascq;
    ring.Complete(command, kStatusCheckCondition, sense, sizeof sense, nullptr, 0);
}

void CServedDevice::Answer(CTcmuRing& ring, const CTcmuRing::Command& command)
{
    if (command.fault != nullptr) {
        // Nothing of the entry can be trusted: no CDB to record, no data to read.
        std::fprintf(stderr, "kt3916flash-emulator: device %c: command %u refused: %s\n", m_drive,
                     static_cast<unsigned>(command.id), command.fault);
        Refuse(ring, command, kt3916_sense::kInvalidFieldInCdb);
        return;
    }
    uint8_t cdb[16] = {};
    std::memcpy(cdb, command.cdb, std::min<uint32_t>(command.cdbLength, sizeof cdb));
    const bool dataIn = !TcmuDataOut(cdb[0]);
    if (m_scenario.latencyMs != 0)
        m_clock.SleepMs(m_scenario.latencyMs);

    const bool fits = command.dataLength <= m_buffer.size();
    if (fits && !dataIn)
        ring.CopyDataOut(command, m_buffer.data(), command.dataLength);
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
        ring.Complete(command, kStatusGood, nullptr, 0, dataIn ? m_buffer.data() : nullptr,
                      dataIn ? std::min(outcome.dataInLength, command.dataLength) : 0);
        break;
    case ScsiOutcome::Result::Check:
        Refuse(ring, command, {outcome.senseKey, outcome.asc, outcome.ascq});
        break;
    case ScsiOutcome::Result::Fail:
        m_vecHeld.push_back({command, m_clock.NowMs() + m_nReleaseMs});
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
