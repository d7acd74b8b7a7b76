#pragma once
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "base/clock.h"
#include "device/emulated/emulated_aspi.h"
#include "device/emulated/kt3916.h"
#include "device/emulated/scenario.h"
#include "device/host.h"
#include "device/transcript.h"

// The whole host of an emulated bench: a fixed disk C: and one CD-ROM-class
// drive per emulated KT3916 (D:, E:, ...), reached by pass-through or, with
// win9x=1, through the emulated ASPI layer (emulated_aspi.h). With a
// transcript, every command the devices run goes to it as its record; t_ms is
// the time the device ran the command, after latency_ms. A request the host
// refuses as malformed reaches no device and is not recorded.
//
// A drive takes an exclusive lock as the CD-ROM class driver gives it: while
// one handle holds it, another handle's lock is refused (Busy) and its
// commands fail without reaching the device; closing the handle releases it.
class EmulatedHost : public IScsiHost, private IEmulatedBus {
public:
    EmulatedHost(const EmulatorScenario& scenario, IClock& clock, ITranscriptSink* transcript = nullptr);
    ~EmulatedHost() override;

    // IScsiHost
    bool GetVersionPlatformId(uint32_t& platformId) override;
    int64_t QueryCounterFrequency() override;
    int64_t QueryCounter() override;
    uint32_t GetLogicalDriveRoots(uint32_t bufferLength, char* buffer) override;
    uint32_t GetDriveKind(const char* rootPath) override;
    HostHandle OpenDevice(const char* path) override;
    HostHandle OpenDeviceExclusive(const char* path, ExclusiveAccess& access) override;
    void ReleaseExclusiveAccess(HostHandle device) override;
    void CloseDevice(HostHandle device) override;
    bool SendPassThrough(HostHandle device, PassThroughRequest& request) override;
    void DescribeLastFailure(char* text, std::size_t size) override;
    IAspiHost* Aspi() override { return &m_aspi; }
    std::string DriveNodeText(char) override { return "emulated"; }
    std::string DriveSerial(char drive) override;

private:
    friend class EmulatedHostProbe;
    struct DeviceSlot {
        // A restarting unit leaves the bus, as a real one does: the call fails.
        DeviceSlot(const EmulatorScenario& scenario, IClock& clock, char letter, uint64_t startMs)
            : seat{letter, startMs, RestartFace::Gone}, model(std::make_unique<EmulatedKt3916>(scenario, clock, seat))
        {
        }
        std::mutex mutex;  // one command at a time per device; devices run side by side
        UnitSeat seat;
        std::unique_ptr<EmulatedKt3916> model;
        // Under the host's plug mutex: whether the drive is attached, and which
        // attachment it is (a handle opened before a detach stays dead).
        bool present = true;
        uint32_t generation = 0;
        uint32_t nUnit = 1;  // the how-manieth unit plugged into the drive
        // The drive where the unit of drive D: + home shows once it came back
        // elsewhere (replug_elsewhere); its own model is not used.
        int home = -1;
    };

    void ApplyPlugEvents();
    // Whether a plug step's time has come (m_plugMutex held).
    bool PlugEventDue(const PlugEvent& event, DeviceSlot& slot, uint64_t now);
    bool IsPresent(int device);
    // Whether the drive shows now: attached, and its unit on the bus there
    // (m_plugMutex held).
    bool OnBus(int device);
    // The drive's unit left it and is attached at another drive.
    bool BackElsewhere(int device);
    // The slot whose unit the drive reaches.
    int UnitOf(int device) const;
    // The drive behind the handle is still the attachment it was opened on.
    bool HandleStillAttached(HostHandle device);
    bool LockedByOtherHandle(int device, HostHandle handle) const;  // m_mutex held
    // IEmulatedBus: the emulated ASPI layer's view. RunCommand also writes
    // the command's transcript record.
    int DeviceCount() const override { return static_cast<int>(m_devices.size()); }
    char DriveOf(int device) const override { return m_devices[static_cast<std::size_t>(device)]->seat.drive; }
    ScsiOutcome RunCommand(int device, const uint8_t* cdb, bool dataIn, uint8_t* buffer, uint32_t length) override;
    void CompleteDueRequests() override;
    HostHandle NewHandle() override;

    EmulatorScenario m_scenario;
    IClock& m_clock;
    ITranscriptSink* m_pTranscript;
    uint64_t m_startMs;
    std::vector<std::unique_ptr<DeviceSlot>> m_devices;

    mutable std::mutex m_mutex;  // handles and their locks
    struct OpenDrive {
        int device = -1;
        uint32_t generation = 0;
    };
    std::map<HostHandle, OpenDrive> m_openDevices;
    std::map<int, HostHandle> m_locks;  // device index -> the handle holding its exclusive lock
    HostHandle m_nextHandle = 0x100;

    CEmulatedAspi m_aspi{*this, m_clock, m_scenario.win9x, m_scenario.latencyMs};

    std::mutex m_plugMutex;  // taken before a device's mutex, never after
    std::vector<bool> m_plugEventApplied;
};
