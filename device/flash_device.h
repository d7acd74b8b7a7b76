#pragma once
#include <cstdint>

#include "device/command_set.h"
#include "device/scsi_device.h"

// The three commands the flash tool sends: INQUIRY, START STOP UNIT and the
// vendor block write 0xFA.
class CFlashDevice : public CScsiDevice {
public:
    explicit CFlashDevice(IScsiHost& host) : CScsiDevice(host) {}
    ~CFlashDevice() override = default;

    CommandResult Inquiry();
    CommandResult StartStopUnit(uint8_t value);
    CommandResult WriteBlock(uint8_t final, uint16_t checksum, uint8_t marker);
};
