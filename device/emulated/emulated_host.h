#pragma once
#include <cstdint>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

#include "device/emulated/clock.h"
#include "device/emulated/kt3916.h"
#include "device/emulated/scenario.h"
#include "device/host.h"

// One command as an emulated device received it: the record behind each
// transcript line.
struct TranscriptRecord {
    uint64_t tMs = 0;
    char drive = 'D';
    uint8_t cdb[12] = {};
    bool dataIn = true;
    uint32_t length = 0;
    std::string result;  // "good", "check" or "fail"
    uint8_t sense[3] = {};
    std::string dataSha256;  // out commands only
};

// The whole host of an emulated bench: a fixed disk C: and one CD-ROM-class
// drive per emulated KT3916 (D:, E:, ...), reached by pass-through or, with
// win9x=1, through an emulated ASPI layer. Every command is recorded, and
// written as a JSON line to the transcript stream when one is given.
class EmulatedHost final : public IScsiHost {
public:
    EmulatedHost(const EmulatorScenario& scenario, IClock& clock, std::ostream* transcript = nullptr);
    ~EmulatedHost() override;

    // IScsiHost
    bool GetVersionPlatformId(uint32_t& platformId) override;
    int64_t QueryCounterFrequency() override;
    int64_t QueryCounter() override;
    uint32_t GetLogicalDriveRoots(uint32_t bufferLength, char* buffer) override;
    uint32_t GetDriveKind(const char* rootPath) override;
    HostHandle OpenDevice(const char* path) override;
    void CloseDevice(HostHandle device) override;
    bool SendPassThrough(HostHandle device, PassThroughRequest& request) override;
    HostHandle LoadAspiLibrary(const char* name) override;
    AspiEntryPoint FindAspiEntryPoint(HostHandle library, const char* name) override;
    void FreeAspiLibrary(HostHandle library) override;
    uint32_t CallGetASPI32SupportInfo(AspiEntryPoint entry) override;
    uint32_t CallSendASPI32Command(AspiEntryPoint entry, void* srb) override;
    HostHandle CreateCompletionEvent() override;
    bool WaitCompletionEvent(HostHandle event, uint32_t milliseconds) override;
    void CloseCompletionEvent(HostHandle event) override;

    // For tests and tools.
    std::vector<TranscriptRecord> Records() const;
    int OpenHandleCount() const;
    EmulatedKt3916& Device(int index);  // 0 is drive D:
};
