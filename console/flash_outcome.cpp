#include "console/flash_outcome.h"

namespace {

struct OutcomeText {
    FlashOutcome outcome;
    const char* text;
};

// The texts are the desktop tool's own; operators and their scripts know them.
constexpr OutcomeText kOutcomeTexts[] = {
    {FlashOutcome::Updated, "Update success!!"},
    {FlashOutcome::NoDevice, "No device found"},
    {FlashOutcome::NoImageSet, "No file be set"},
    {FlashOutcome::ImageUnopenable, "File open failure!!"},
    {FlashOutcome::ImageReadFailure, "File read failure!!"},
    {FlashOutcome::ImageChanged, "Image file changed, check the new checksum and flash again!!"},
    {FlashOutcome::ImageNotChecked, "Image file not checked yet, check its checksum and flash again!!"},
    {FlashOutcome::SizeInvalid, "Image size must be 524288 or 1048576 bytes!!"},
    {FlashOutcome::SendFailed, "Send data to device failure!!"},
    {FlashOutcome::NoAnswer, "Update failure!!"},
};

}  // namespace

const char* FlashOutcomeText(FlashOutcome outcome)
{
    for (const OutcomeText& entry : kOutcomeTexts) {
        if (entry.outcome == outcome)
            return entry.text;
    }
    return "";
}
