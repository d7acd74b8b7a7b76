#pragma once
#include <cstdint>
#include <mutex>
#include <vector>

#include "base/clock.h"
#include "device/emulated/kt3916.h"
#include "device/emulated/scenario.h"
#include "device/transcript.h"
#include "emulator/tcmu_ring.h"

class COutputFile;

// The served devices' transcript file: each record's line is written whole
// before its command is answered. After a final block the device restarts:
// the file is on the disk first, so that a power cut then does not take the
// record of what it was sent.
class CServedTranscript final : public ITranscriptSink {
public:
    explicit CServedTranscript(COutputFile& file) : m_file(file) {}
    void Write(const TranscriptRecord& record) override;

private:
    std::mutex m_mutex;
    COutputFile& m_file;
};

// One emulated KT3916 behind the ring of its backstore: takes each command the
// kernel queues, runs it on the model when the scenario's latency has passed
// since it came (later commands are taken meanwhile), answers it and writes
// the model's record of it. A command whose time the kernel's timer has run
// out by then is neither run nor recorded: its initiator has seen it fail. Its unit sits on a target that stays while
// it restarts, so it answers NOT READY, becoming ready, then. A command the scenario drops gets no answer while the
// commands behind it are served, and the kernel's command timer ends it. Its entry is given back releaseMs after it
// came, by then past the kernel's timer, as CHECK CONDITION, ABORTED COMMAND, never as GOOD.
class CServedDevice {
public:
    CServedDevice(const EmulatorScenario& scenario, IClock& clock, uint64_t startMs, char drive,
                  ITranscriptSink* transcript, uint64_t releaseMs, uint64_t timeoutMs = UINT64_MAX);

    // Answers every command queued on the ring now, and gives back the dropped
    // ones that are due; true when the kernel must be told that answers are
    // waiting.
    bool ServeQueued(CTcmuRing& ring);
    // How long ServeQueued may wait for the kernel before it must run again
    // (a command's latency passes, a dropped one is due); -1: until the kernel
    // queues a command.
    int WaitMs();

    // replug_ms: the unit left the bus for its restart and is not back yet.
    // Asked from another thread than the one that serves.
    bool OffTheBus();

private:
    friend struct ServedDeviceProbe;
    struct Queued {
        CTcmuRing::Command command;
        uint64_t atMs = 0;  // held: when it is given back; pending: when it came
    };

    // Gives back the dropped commands that are due, or all of them.
    bool Release(CTcmuRing& ring, bool all);
    void Answer(CTcmuRing& ring, const CTcmuRing::Command& command);
    void Refuse(CTcmuRing& ring, const CTcmuRing::Command& command, const kt3916_sense::Code& sense);

    EmulatorScenario m_scenario;
    IClock& m_clock;
    char m_drive;
    ITranscriptSink* m_pTranscript;
    uint64_t m_nReleaseMs;
    EmulatedKt3916 m_model;
    uint64_t m_nTimeoutMs;
    std::vector<Queued> m_vecHeld;     // dropped commands, oldest first
    std::vector<Queued> m_vecPending;  // taken, waiting for their latency, oldest first
    std::vector<uint8_t> m_buffer;     // one command's data, sized once
    bool m_bBrokenReported = false;
    std::mutex m_modelMutex;  // the serving thread and OffTheBus
};
