#pragma once
#include <cstddef>
#include <cstdint>

// The SCSI_PASS_THROUGH_DIRECT record, field for field. In the 32-bit Windows
// build this is exactly the system's record (44 bytes; the Win32 host checks
// every field against it); elsewhere DataBuffer is pointer-sized and the
// record grows accordingly.
struct ScsiPassThroughDirect {
    uint16_t Length;
    uint8_t ScsiStatus;
    uint8_t PathId;
    uint8_t TargetId;
    uint8_t Lun;
    uint8_t CdbLength;
    uint8_t SenseInfoLength;
    uint8_t DataIn;
    uint32_t DataTransferLength;
    uint32_t TimeOutValue;
    void* DataBuffer;
    uint32_t SenseInfoOffset;
    uint8_t Cdb[16];
};

constexpr std::size_t kSenseAreaLength = 32;

// The one request block: the pass-through record, four reserved bytes, then
// the sense area that the driver fills on failure.
struct PassThroughRequest {
    ScsiPassThroughDirect sptd;
    uint8_t reserved[4];
    uint8_t senseArea[kSenseAreaLength];
};

constexpr uint8_t kDataIn = 1;   // data from the device
constexpr uint8_t kDataOut = 0;  // data to the device
constexpr uint8_t kScsiStatusGood = 0x00;
constexpr uint8_t kScsiStatusCheckCondition = 0x02;
