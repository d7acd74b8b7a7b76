#include "emulator/served_device.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "base/output_file.h"
#include "device/command_set.h"

namespace {

constexpr uint8_t kStatusGood = 0x00;
constexpr uint8_t kStatusCheckCondition = 0x02;
constexpr kt3916_sense::Code kAbortedCommand{0x0B, 0x00, 0x00};
// When a command came is known only as well as the server's wake-ups: one
// run this close to the kernel's timer may already be past it.
constexpr uint64_t kTimeoutMarginMs = 500;

}  // namespace

void CServedTranscript::Write(const TranscriptRecord& record)
{
    char line[kTranscriptLineMax];
    const std::size_t length = FormatTranscriptLine(record, line);
    line[length] = '\n';  // in the room of the line's closing NUL
    std::lock_guard lock(m_mutex);
    if (m_file.Write(line, length + 1) && record.cdb[0] == kOpBlockWrite && record.cdb[3] == 1)
        m_file.Sync();
}

CServedDevice::CServedDevice(const EmulatorScenario& scenario, IClock& clock, uint64_t startMs, char drive,
                             ITranscriptSink* transcript, uint64_t releaseMs, uint64_t timeoutMs)
    : m_scenario(scenario), m_clock(clock), m_drive(drive), m_pTranscript(transcript), m_nReleaseMs(releaseMs),
      m_model(scenario, clock, UnitSeat{drive, startMs, RestartFace::NotReady}), m_nTimeoutMs(timeoutMs),
      m_buffer(EmulatedKt3916::kMaxTransfer)
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
    while (ring.Next(command))
        m_vecPending.push_back({command, m_clock.NowMs()});
    const uint64_t now = m_clock.NowMs();
    while (!m_vecPending.empty() && now - m_vecPending.front().atMs >= m_scenario.latencyMs) {
        const Queued pending = m_vecPending.front();
        m_vecPending.erase(m_vecPending.begin());
        // A kernel that takes answers only in order would wait for the
        // dropped one: it goes first, as aborted, early.
        if (!ring.OutOfOrder())
            answered = Release(ring, true) || answered;
        if (m_nTimeoutMs != UINT64_MAX && now - pending.atMs + kTimeoutMarginMs >= m_nTimeoutMs) {
            // Its initiator has seen it fail: the device never runs it.
            m_vecHeld.push_back({pending.command, pending.atMs + m_nReleaseMs});
            continue;
        }
        const std::size_t held = m_vecHeld.size();
        Answer(ring, pending.command);
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

int CServedDevice::WaitMs()
{
    uint64_t due = UINT64_MAX;
    if (!m_vecPending.empty())
        due = m_vecPending.front().atMs + m_scenario.latencyMs;
    if (!m_vecHeld.empty())
        due = std::min(due, m_vecHeld.front().atMs);
    if (due == UINT64_MAX)
        return -1;
    const uint64_t now = m_clock.NowMs();
    return due <= now ? 0 : static_cast<int>(std::min<uint64_t>(due - now, 1000));
}

bool CServedDevice::Release(CTcmuRing& ring, bool all)
{
    bool released = false;
    while (!m_vecHeld.empty() && (all || m_clock.NowMs() >= m_vecHeld.front().atMs)) {
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

    if (!dataIn && command.dataLength <= m_buffer.size())
        ring.CopyDataOut(command, m_buffer.data(), command.dataLength);
    TranscriptRecord record;
    const ScsiOutcome outcome =
        m_model.Execute(cdb, dataIn, m_buffer.data(), command.dataLength, m_pTranscript != nullptr ? &record : nullptr);
    if (m_pTranscript != nullptr)
        m_pTranscript->Write(record);

    switch (outcome.result) {
    case CommandResult::Good:
        ring.Complete(command, kStatusGood, nullptr, 0, dataIn ? m_buffer.data() : nullptr,
                      dataIn ? std::min(outcome.dataInLength, command.dataLength) : 0);
        break;
    case CommandResult::Check:
        Refuse(ring, command, {outcome.senseKey, outcome.asc, outcome.ascq});
        break;
    default:  // the unit does not answer
        m_vecHeld.push_back({command, m_clock.NowMs() + m_nReleaseMs});
        break;
    }
}
