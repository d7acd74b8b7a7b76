// Sense data as any device or driver may hand it over, and the words and hex
// that logs and failure messages make of it. The input is exactly the buffer
// the decoder sees, so a read past its length is an ASan report.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "device/sense_text.h"
#include "fuzz/fuzz_check.h"

namespace {

// Where the key, ASC and ASCQ stand for each response code, from the
// standard's layout rather than from the decoder.
SenseCode ExpectedSense(const uint8_t* data, size_t size)
{
    SenseCode sense;
    if (size == 0)
        return sense;
    const uint8_t code = data[0] & 0x7F;
    if ((code == 0x70 || code == 0x71) && size >= 14)
        return SenseCode{static_cast<uint8_t>(data[2] & 0x0F), data[12], data[13]};
    if ((code == 0x72 || code == 0x73) && size >= 4)
        return SenseCode{static_cast<uint8_t>(data[1] & 0x0F), data[2], data[3]};
    return sense;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const SenseCode sense = DecodeSenseData(size == 0 ? nullptr : data, size);
    const SenseCode expected = ExpectedSense(data, size);
    KT_FUZZ_CHECK(sense.key == expected.key && sense.asc == expected.asc && sense.ascq == expected.ascq);
    KT_FUZZ_CHECK(sense.key <= 0x0F);

    char hex[kSenseHexLength];
    FormatSenseHex(sense, hex);
    KT_FUZZ_CHECK(std::strlen(hex) == kSenseHexLength - 1 && hex[2] == '/' && hex[5] == '/');

    char words[kSenseWordsMax];
    const size_t length = FormatSenseWords(sense, words);
    KT_FUZZ_CHECK(length == std::strlen(words) && length < kSenseWordsMax);
    const char* keyName = SenseKeyName(sense.key);
    KT_FUZZ_CHECK(keyName != nullptr && std::strncmp(words, keyName, std::strlen(keyName)) == 0);
    const char* additional = AdditionalSenseText(sense.asc, sense.ascq);
    // A known ASC/ASCQ is given in words, whole; an unknown one in hex.
    if (additional != nullptr)
        KT_FUZZ_CHECK(std::strstr(words, additional) != nullptr);
    else
        KT_FUZZ_CHECK(std::strstr(words, "ASC/ASCQ ") != nullptr);

    // Every status byte has a name or none, never garbage.
    for (size_t i = 0; i < size && i < 4; ++i) {
        const char* status = ScsiStatusName(data[i]);
        KT_FUZZ_CHECK(status == nullptr || std::strlen(status) > 0);
    }
    return 0;
}
