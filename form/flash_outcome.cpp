#include "form/flash_outcome.h"

#include <iterator>

const char* FlashOutcomeText(FlashOutcome outcome)
{
    // In the order of FlashOutcome. The texts are the desktop tool's own;
    // operators and their scripts know them.
    static constexpr const char* kTexts[] = {
        "Update success!!",
        "No device found",
        "No file be set",
        "File open failure!!",
        "File read failure!!",
        "Image file changed, check the new checksum and flash again!!",
        "Image file not checked yet, check its checksum and flash again!!",
        "Image size must be 524288 or 1048576 bytes!!",
        "Send data to device failure!!",
        "Update failure!!",
    };
    static_assert(std::size(kTexts) == static_cast<size_t>(FlashOutcome::NoAnswer) + 1);
    const auto index = static_cast<size_t>(outcome);
    return index < std::size(kTexts) ? kTexts[index] : "";
}
