#pragma once
#include <cstdint>
#include <map>
#include <mutex>
#include <vector>

#include "base/clock.h"
#include "device/aspi_host.h"
#include "device/aspi_srb.h"
#include "device/emulated/kt3916.h"

// The longest transfer an emulated bench carries, on either path.
constexpr uint32_t kEmulatedMaxTransfer = 0x20000;

// What the emulated ASPI layer needs of the bench that carries it: its
// drives, and its time taking effect.
class IEmulatedBus {
public:
    virtual int DeviceCount() const = 0;
    virtual char DriveOf(int device) const = 0;
    // Runs one command on a device and records it.
    virtual ScsiOutcome RunCommand(int device, const uint8_t* cdb, bool dataIn, uint8_t* buffer, uint32_t length) = 0;
    // What is due by the bench's clock takes effect: plug events, and the
    // layer's own requests.
    virtual void CompleteDueRequests() = 0;
    // Handles of the bench: device handles and events never share a value.
    virtual HostHandle NewHandle() = 0;

protected:
    ~IEmulatedBus() = default;
};

// The ASPI layer of an emulated Windows 9x bench (win9x=1), on adapter 0:
// target 0 is the fixed disk (device type 0), targets 1..N the KT3916
// devices; with devices=0 it reports SS_NO_ADAPTERS and no adapter. A device
// that does not answer (rebooting, drop_block) ends a request with SS_ERR and
// a selection time-out in SRB_HaStat. With latency_ms > 0 an execute request
// stays pending until the clock reaches its due time; it completes in
// WaitCompletionEvent or, after a wait that gave up, at the first host call
// past that time, writing the request block and signalling its event then.
// Without win9x=1 the library is not installed: it never loads.
class CEmulatedAspi final : public IAspiHost {
public:
    // installed: the bench is a Windows 9x one (win9x=1); latencyMs: how long
    // each execute request stays pending.
    CEmulatedAspi(IEmulatedBus& bus, IClock& clock, bool installed, uint32_t latencyMs)
        : m_bus(bus), m_clock(clock), m_bInstalled(installed), m_nLatencyMs(latencyMs)
    {
    }

    HostHandle LoadAspiLibrary(const char* name) override;
    AspiEntryPoint FindAspiEntryPoint(HostHandle library, const char* name) override;
    void FreeAspiLibrary(HostHandle library) override;
    uint32_t CallGetASPI32SupportInfo(AspiEntryPoint entry) override;
    uint32_t CallSendASPI32Command(AspiEntryPoint entry, void* srb) override;
    HostHandle CreateCompletionEvent() override;
    bool WaitCompletionEvent(HostHandle event, uint32_t milliseconds) override;
    void CloseCompletionEvent(HostHandle event) override;

    // Completes the execute requests whose due time has come.
    void CompleteDueRequests();

private:
    friend class EmulatedHostProbe;

    struct PendingRequest {
        SRB_ExecSCSICmd* srb;
        int device;
        uint64_t dueMs;
        HostHandle event;  // 0 without event notification
    };

    uint32_t SendExec(SRB_ExecSCSICmd& srb);
    void CompleteExec(SRB_ExecSCSICmd& srb, int device);

    IEmulatedBus& m_bus;
    IClock& m_clock;
    const bool m_bInstalled;
    const uint32_t m_nLatencyMs;
    mutable std::mutex m_mutex;           // events and pending requests
    std::map<HostHandle, bool> m_events;  // event -> signalled
    std::vector<PendingRequest> m_pending;
};
