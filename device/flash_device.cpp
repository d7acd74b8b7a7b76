#include "device/flash_device.h"

#include <cstring>

#include "device/command_set.h"

namespace {

constexpr uint8_t kInquiryAllocationLength = 36;
// More than the allocation length: the device returns at most the 36 bytes.
constexpr uint32_t kInquiryTransferLength = 60;
// START STOP UNIT goes with a data phase from the device.
constexpr uint32_t kStartStopTransferLength = 512;

// The identity (vendor and product) and the revision in standard INQUIRY
// data: bytes 8 to 35.
constexpr uint32_t kInquiryIdentityOffset = 8;
constexpr uint32_t kInquiryRevisionEnd = 36;

constexpr uint32_t kInquiryTimeout = 30;
constexpr uint32_t kStartStopTimeout = 10;
constexpr uint32_t kBlockWriteTimeout = 30;

}  // namespace

CommandResult CFlashDevice::Inquiry()
{
    // A drive that answers short or not at all must not show the texts of
    // the device asked before it.
    if (uint8_t* data = GetDataBuffer())
        std::memset(data + kInquiryIdentityOffset, 0, kInquiryRevisionEnd - kInquiryIdentityOffset);
    BuildCommand(kInquiryTransferLength, kDataIn, kInquiryTimeout);
    m_pCdb[0] = kOpInquiry;
    m_pCdb[4] = kInquiryAllocationLength;
    return ExecCommand();
}

CommandResult CFlashDevice::StartStopUnit(uint8_t value)
{
    BuildCommand(kStartStopTransferLength, kDataIn, kStartStopTimeout);
    m_pCdb[0] = kOpStartStopUnit;
    m_pCdb[4] = value;
    return ExecCommand();
}

CommandResult CFlashDevice::WriteBlock(uint8_t final, uint16_t checksum, uint8_t marker)
{
    BuildCommand(kBlockLength, kDataOut, kBlockWriteTimeout);
    m_pCdb[0] = kOpBlockWrite;
    m_pCdb[3] = final;
    m_pCdb[5] = marker;
    m_pCdb[6] = static_cast<uint8_t>(checksum >> 8);
    m_pCdb[7] = static_cast<uint8_t>(checksum);
    return ExecCommand();
}
