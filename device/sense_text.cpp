#include "device/sense_text.h"

#include <cstdio>

namespace {

constexpr uint8_t kFixedCurrent = 0x70;
constexpr uint8_t kFixedDeferred = 0x71;
constexpr uint8_t kDescriptorCurrent = 0x72;
constexpr uint8_t kDescriptorDeferred = 0x73;

constexpr const char* kSenseKeyNames[16] = {
    "NO SENSE",       "RECOVERED ERROR", "NOT READY",   "MEDIUM ERROR",    "HARDWARE ERROR", "ILLEGAL REQUEST",
    "UNIT ATTENTION", "DATA PROTECT",    "BLANK CHECK", "VENDOR SPECIFIC", "COPY ABORTED",   "ABORTED COMMAND",
    "EQUAL",          "VOLUME OVERFLOW", "MISCOMPARE",  "COMPLETED",
};

struct AdditionalSense {
    uint8_t asc;
    uint8_t ascq;
    const char* text;
};

// What the KT3916 answers, what a CD-ROM drive without a disc and the kernel
// answer around it, and what a firmware download commonly meets.
constexpr AdditionalSense kAdditionalSense[] = {
    {0x00, 0x00, "NO ADDITIONAL SENSE INFORMATION"},
    {0x04, 0x00, "LOGICAL UNIT NOT READY, CAUSE NOT REPORTABLE"},
    {0x04, 0x01, "LOGICAL UNIT IS IN PROCESS OF BECOMING READY"},
    {0x04, 0x02, "LOGICAL UNIT NOT READY, INITIALIZING COMMAND REQUIRED"},
    {0x04, 0x03, "LOGICAL UNIT NOT READY, MANUAL INTERVENTION REQUIRED"},
    {0x04, 0x07, "LOGICAL UNIT NOT READY, OPERATION IN PROGRESS"},
    {0x08, 0x00, "LOGICAL UNIT COMMUNICATION FAILURE"},
    {0x08, 0x01, "LOGICAL UNIT COMMUNICATION TIME-OUT"},
    {0x0C, 0x00, "WRITE ERROR"},
    {0x11, 0x00, "UNRECOVERED READ ERROR"},
    {0x1A, 0x00, "PARAMETER LIST LENGTH ERROR"},
    {0x1D, 0x00, "MISCOMPARE DURING VERIFY OPERATION"},
    {0x20, 0x00, "INVALID COMMAND OPERATION CODE"},
    {0x21, 0x00, "LOGICAL BLOCK ADDRESS OUT OF RANGE"},
    {0x24, 0x00, "INVALID FIELD IN CDB"},
    {0x25, 0x00, "LOGICAL UNIT NOT SUPPORTED"},
    {0x26, 0x00, "INVALID FIELD IN PARAMETER LIST"},
    {0x28, 0x00, "NOT READY TO READY CHANGE, MEDIUM MAY HAVE CHANGED"},
    {0x29, 0x00, "POWER ON, RESET, OR BUS DEVICE RESET OCCURRED"},
    {0x29, 0x01, "POWER ON OCCURRED"},
    {0x29, 0x02, "SCSI BUS RESET OCCURRED"},
    {0x29, 0x03, "BUS DEVICE RESET FUNCTION OCCURRED"},
    {0x2A, 0x01, "MODE PARAMETERS CHANGED"},
    {0x2C, 0x00, "COMMAND SEQUENCE ERROR"},
    {0x30, 0x00, "INCOMPATIBLE MEDIUM INSTALLED"},
    {0x3A, 0x00, "MEDIUM NOT PRESENT"},
    {0x3A, 0x01, "MEDIUM NOT PRESENT - TRAY CLOSED"},
    {0x3A, 0x02, "MEDIUM NOT PRESENT - TRAY OPEN"},
    {0x3F, 0x00, "TARGET OPERATING CONDITIONS HAVE CHANGED"},
    {0x3F, 0x01, "MICROCODE HAS BEEN CHANGED"},
    {0x44, 0x00, "INTERNAL TARGET FAILURE"},
    {0x47, 0x00, "SCSI PARITY ERROR"},
    {0x4E, 0x00, "OVERLAPPED COMMANDS ATTEMPTED"},
    {0x53, 0x02, "MEDIUM REMOVAL PREVENTED"},
    {0x5A, 0x01, "OPERATOR MEDIUM REMOVAL REQUEST"},
};

struct StatusName {
    uint8_t status;
    const char* name;
};

constexpr StatusName kStatusNames[] = {
    {0x00, "GOOD"},       {0x02, "CHECK CONDITION"},      {0x04, "CONDITION MET"},
    {0x08, "BUSY"},       {0x18, "RESERVATION CONFLICT"}, {0x28, "TASK SET FULL"},
    {0x30, "ACA ACTIVE"}, {0x40, "TASK ABORTED"},
};

}  // namespace

SenseCode DecodeSenseData(const uint8_t* data, std::size_t length)
{
    SenseCode sense;
    if (data == nullptr || length == 0)
        return sense;
    const uint8_t responseCode = data[0] & 0x7F;
    if ((responseCode == kFixedCurrent || responseCode == kFixedDeferred) && length >= 14) {
        sense.key = data[2] & 0x0F;
        sense.asc = data[12];
        sense.ascq = data[13];
    } else if ((responseCode == kDescriptorCurrent || responseCode == kDescriptorDeferred) && length >= 4) {
        sense.key = data[1] & 0x0F;
        sense.asc = data[2];
        sense.ascq = data[3];
    }
    return sense;
}

const char* SenseKeyName(uint8_t key)
{
    return kSenseKeyNames[key & 0x0F];
}

const char* AdditionalSenseText(uint8_t asc, uint8_t ascq)
{
    for (const AdditionalSense& entry : kAdditionalSense) {
        if (entry.asc == asc && entry.ascq == ascq)
            return entry.text;
    }
    return nullptr;
}

const char* ScsiStatusName(uint8_t status)
{
    for (const StatusName& entry : kStatusNames) {
        if (entry.status == status)
            return entry.name;
    }
    return nullptr;
}

void FormatSenseHex(const SenseCode& sense, char (&text)[kSenseHexLength])
{
    std::snprintf(text, sizeof text, "%02X/%02X/%02X", sense.key & 0x0Fu, sense.asc, sense.ascq);
}

std::size_t FormatSenseWords(const SenseCode& sense, char (&text)[kSenseWordsMax])
{
    const char* additional = AdditionalSenseText(sense.asc, sense.ascq);
    const int n = additional != nullptr
                      ? std::snprintf(text, sizeof text, "%s, %s", SenseKeyName(sense.key), additional)
                      : std::snprintf(text, sizeof text, "%s, ASC/ASCQ %02X/%02X", SenseKeyName(sense.key), sense.asc,
                                      sense.ascq);
    return n < 0 ? 0 : static_cast<std::size_t>(n) < sizeof text ? static_cast<std::size_t>(n) : sizeof text - 1;
}
