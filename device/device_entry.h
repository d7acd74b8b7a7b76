#pragma once
#include <cstdint>

#include "device/host_types.h"

// One discovered device. A pass-through entry has hDevice and chDrive, an
// ASPI entry nAdapter and nTarget; the fields of the other kind keep their
// not-used values.
struct DeviceEntry {
    HostHandle hDevice = kInvalidHandle;
    uint8_t nAdapter = 0xFF;
    uint8_t nTarget = 0xFF;
    char chDrive = static_cast<char>(0xFF);
};
