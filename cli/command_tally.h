#pragma once
#include <cstdint>

#include "device/forwarding_host.h"

// Passes every call to another host and counts the device commands that
// went out through it, by the CDB's opcode, on the pass-through and the ASPI
// path alike. What the tool says about a device's state afterwards follows
// from these counts, not from where the form's sequence is thought to stand.
// One per form, on the form's thread.
class CCommandTally final : public CForwardingHost {
public:
    explicit CCommandTally(IScsiHost& inner) : CForwardingHost(inner) {}

    // Commands handed to the system, whatever their outcome.
    uint32_t Count(uint8_t opcode) const { return m_counts[opcode]; }

    bool SendPassThrough(HostHandle device, PassThroughRequest& request) override;
    uint32_t CallSendASPI32Command(AspiEntryPoint entry, void* srb) override;

private:
    uint32_t m_counts[256] = {};
};
