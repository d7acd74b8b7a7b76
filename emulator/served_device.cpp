#include "emulator/served_device.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

constexpr uint8_t kStatusGood = 0x00;
constexpr uint8_t kStatusCheckCondition = 0x02;
constexpr uint8_t kOpBlockWrite = 0xFA;
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
    : m_scenario(scenario), m_clock(clock), m_drive(drive), m_pTranscript(transcript), m_nReleaseMs(releaseMs),
      m_model(scenario, clock, UnitSeat{drive, startMs, RestartFace::NotReady}), m_buffer(EmulatedKt3916::kMaxTransfer)
{
}

bool CServedDevice::OffTheBus()
{
    std::lock_guard lock(m_modelMutex);
    return m_model.OffTheBus();
}

bool CServedDevice::ServeQueued(CTcmuRing& ring)
{
    std::lock_guard lock(m_modelMutex);
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
    uint8_t sense[kFixedSenseLength];
    FixedSense(code, sense);
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
    // The ring does not say which way the data goes: the unit's rule does.
    const bool dataIn = CommandDirection(cdb[0]) != DataDirection::Out;
    if (m_scenario.latencyMs != 0)
        m_clock.SleepMs(m_scenario.latencyMs);

    if (!dataIn && command.dataLength <= m_buffer.size())
        ring.CopyDataOut(command, m_buffer.data(), command.dataLength);
    TranscriptRecord record;
    const ScsiOutcome outcome =
        m_model.Execute(cdb, dataIn, m_buffer.data(), command.dataLength, m_pTranscript != nullptr ? &record : nullptr);
    if (m_pTranscript != nullptr)
        m_pTranscript->Write(record);

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
