#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "device/emulated/kt3916.h"
#include "device/sense_text.h"

namespace {

TEST(SenseText, HexAndWordsOfTheCodesDevicesAnswer)
{
    const struct {
        SenseCode sense;
        const char* hex;
        const char* words;
    } cases[] = {
        {{0x05, 0x20, 0x00}, "05/20/00", "ILLEGAL REQUEST, INVALID COMMAND OPERATION CODE"},
        {{0x05, 0x24, 0x00}, "05/24/00", "ILLEGAL REQUEST, INVALID FIELD IN CDB"},
        {{0x05, 0x2C, 0x00}, "05/2C/00", "ILLEGAL REQUEST, COMMAND SEQUENCE ERROR"},
        {{0x05, 0x1A, 0x00}, "05/1A/00", "ILLEGAL REQUEST, PARAMETER LIST LENGTH ERROR"},
        {{0x05, 0x21, 0x00}, "05/21/00", "ILLEGAL REQUEST, LOGICAL BLOCK ADDRESS OUT OF RANGE"},
        {{0x05, 0x26, 0x00}, "05/26/00", "ILLEGAL REQUEST, INVALID FIELD IN PARAMETER LIST"},
        {{0x0E, 0x1D, 0x00}, "0E/1D/00", "MISCOMPARE, MISCOMPARE DURING VERIFY OPERATION"},
        {{0x02, 0x3A, 0x00}, "02/3A/00", "NOT READY, MEDIUM NOT PRESENT"},
        {{0x02, 0x04, 0x01}, "02/04/01", "NOT READY, LOGICAL UNIT IS IN PROCESS OF BECOMING READY"},
        {{0x02, 0x08, 0x00}, "02/08/00", "NOT READY, LOGICAL UNIT COMMUNICATION FAILURE"},
        {{0x06, 0x29, 0x00}, "06/29/00", "UNIT ATTENTION, POWER ON, RESET, OR BUS DEVICE RESET OCCURRED"},
        {{0x06, 0x28, 0x00}, "06/28/00", "UNIT ATTENTION, NOT READY TO READY CHANGE, MEDIUM MAY HAVE CHANGED"},
        {{0x06, 0x3F, 0x01}, "06/3F/01", "UNIT ATTENTION, MICROCODE HAS BEEN CHANGED"},
        {{0x03, 0x0C, 0x00}, "03/0C/00", "MEDIUM ERROR, WRITE ERROR"},
        // A code the table does not know keeps its key and shows the rest in hex.
        {{0x05, 0x5D, 0x00}, "05/5D/00", "ILLEGAL REQUEST, ASC/ASCQ 5D/00"},
        {{0x09, 0x80, 0x0A}, "09/80/0A", "VENDOR SPECIFIC, ASC/ASCQ 80/0A"},
    };
    for (const auto& c : cases) {
        char hex[kSenseHexLength];
        char words[kSenseWordsMax];
        FormatSenseHex(c.sense, hex);
        const std::size_t length = FormatSenseWords(c.sense, words);
        EXPECT_STREQ(hex, c.hex);
        EXPECT_STREQ(words, c.words) << c.hex;
        EXPECT_EQ(length, std::string(c.words).size()) << c.hex;
    }
}

TEST(SenseText, EverySenseOfTheEmulatedDeviceHasWords)
{
    namespace s = kt3916_sense;
    for (const s::Code& code :
         {s::kInvalidOpcode, s::kInvalidFieldInCdb, s::kSequenceError, s::kBadTransferLength, s::kImageTooLong,
          s::kBadImageLength, s::kBadChecksum, s::kMediumNotPresent, s::kBecomingReady})
        EXPECT_NE(AdditionalSenseText(code.asc, code.ascq), nullptr) << int(code.asc) << "/" << int(code.ascq);
}

TEST(SenseText, DecodesFixedAndDescriptorSense)
{
    const struct {
        const char* what;
        std::vector<uint8_t> data;
        const char* hex;
    } cases[] = {
        {"fixed, current; bits above the key dropped",
         {0x70, 0, 0x25, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x24, 0x00},
         "05/24/00"},
        {"fixed, deferred, valid bit set", {0xF1, 0, 0x03, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x0C, 0x00}, "03/0C/00"},
        {"descriptor, current", {0x72, 0x06, 0x29, 0x00, 0, 0, 0, 0}, "06/29/00"},
        {"descriptor, deferred", {0x73, 0x02, 0x04, 0x01}, "02/04/01"},
        {"no sense written", std::vector<uint8_t>(32, 0), "00/00/00"},
        {"fixed but cut short before the ASC", {0x70, 0, 0x05, 0, 0, 0, 0, 10, 0, 0, 0, 0}, "00/00/00"},
        {"unknown format", {0x7F, 0x05, 0x20, 0x00, 0, 0, 0, 0, 0, 0, 0, 0, 0x20, 0}, "00/00/00"},
    };
    for (const auto& c : cases) {
        char hex[kSenseHexLength];
        FormatSenseHex(DecodeSenseData(c.data.data(), c.data.size()), hex);
        EXPECT_STREQ(hex, c.hex) << c.what;
    }
}

}  // namespace
