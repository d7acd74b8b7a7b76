#pragma once
#include <cstddef>
#include <cstdint>

// Sense data in the words of the SCSI standards, for people reading a log or
// a failure message. Nothing here allocates: a log line is built from these
// on every command.

// Sense key, additional sense code and qualifier of one answer.
struct SenseCode {
    uint8_t key = 0;  // low four bits only
    uint8_t asc = 0;
    uint8_t ascq = 0;

    bool IsEmpty() const { return key == 0 && asc == 0 && ascq == 0; }
};

// The key, ASC and ASCQ of sense data in fixed (0x70/0x71) or descriptor
// (0x72/0x73) format; all zero for data of neither format, or too short.
SenseCode DecodeSenseData(const uint8_t* data, std::size_t length);

// "ILLEGAL REQUEST"; every key 0..15 has a name.
const char* SenseKeyName(uint8_t key);
// "INVALID COMMAND OPERATION CODE"; null for a code this table does not know.
const char* AdditionalSenseText(uint8_t asc, uint8_t ascq);
// "CHECK CONDITION", "BUSY", ...; null for a status this table does not know.
const char* ScsiStatusName(uint8_t status);

// "05/20/00": key, ASC and ASCQ as upper-case hex.
constexpr std::size_t kSenseHexLength = 9;
void FormatSenseHex(const SenseCode& sense, char (&text)[kSenseHexLength]);

// "ILLEGAL REQUEST, INVALID COMMAND OPERATION CODE"; an ASC/ASCQ the table
// does not know is given in hex ("ILLEGAL REQUEST, ASC/ASCQ 5D/00"). Always
// terminated; returns the length written.
constexpr std::size_t kSenseWordsMax = 112;
std::size_t FormatSenseWords(const SenseCode& sense, char (&text)[kSenseWordsMax]);
