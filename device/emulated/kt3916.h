#pragma once
#include <cstdint>
#include <vector>

#include "device/emulated/clock.h"
#include "device/emulated/scenario.h"

// How one command ended on the emulated device.
struct ScsiOutcome {
    enum class Result { Good, Check, Fail };  // Fail: the call itself failed
    Result result = Result::Good;
    uint8_t senseKey = 0;
    uint8_t asc = 0;
    uint8_t ascq = 0;
};

// A model of one KT3916: standard INQUIRY data, download mode entered by
// START STOP UNIT 2, the 0xFA block protocol with its length and checksum
// check, the reboot window and the new revision. Transport-neutral, so every
// host (pass-through, ASPI, SG_IO translation) can drive it.
class EmulatedKt3916 {
public:
    EmulatedKt3916(const EmulatorScenario& scenario, IClock& clock);

    // Executes one 12-byte CDB. For data-in commands the device writes at most
    // what the command asks for into buffer; for data-out it reads length bytes.
    ScsiOutcome Execute(const uint8_t* cdb, bool dataIn, uint8_t* buffer, uint32_t length);

    bool InDownloadMode() const;
    bool IsRebooting() const;
    const char* Revision() const;          // the revision INQUIRY reports now
    uint32_t BlockWrites() const;          // 0xFA commands received
    const std::vector<uint8_t>& LastImage() const;  // the last image accepted whole
};
