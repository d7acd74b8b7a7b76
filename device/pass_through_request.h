#pragma once
#include <cstddef>
#include <cstdint>

// The SCSI_PASS_THROUGH_DIRECT record, field for field. In the 32-bit Windows
// build this is exactly the system's record (44 bytes); elsewhere DataBuffer is
// pointer-sized and the record grows accordingly.
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

#if defined(_WIN32) && !defined(_WIN64)
static_assert(sizeof(PassThroughRequest) == 80);
static_assert(offsetof(ScsiPassThroughDirect, Length) == 0);
static_assert(offsetof(ScsiPassThroughDirect, ScsiStatus) == 2);
static_assert(offsetof(ScsiPassThroughDirect, PathId) == 3);
static_assert(offsetof(ScsiPassThroughDirect, TargetId) == 4);
static_assert(offsetof(ScsiPassThroughDirect, Lun) == 5);
static_assert(offsetof(ScsiPassThroughDirect, CdbLength) == 6);
static_assert(offsetof(ScsiPassThroughDirect, SenseInfoLength) == 7);
static_assert(offsetof(ScsiPassThroughDirect, DataIn) == 8);
static_assert(offsetof(ScsiPassThroughDirect, DataTransferLength) == 12);
static_assert(offsetof(ScsiPassThroughDirect, TimeOutValue) == 16);
static_assert(offsetof(ScsiPassThroughDirect, DataBuffer) == 20);
static_assert(offsetof(ScsiPassThroughDirect, SenseInfoOffset) == 24);
static_assert(offsetof(ScsiPassThroughDirect, Cdb) == 28);
static_assert(sizeof(ScsiPassThroughDirect) == 44);
static_assert(offsetof(PassThroughRequest, reserved) == 44);
static_assert(offsetof(PassThroughRequest, senseArea) == 48);
#endif
