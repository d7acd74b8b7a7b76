#pragma once
#include <cstdint>
#include <string>

struct BlockPlan;

// How the form's survey or download ended; each ending is one message box.
enum class FlashOutcome {
    Updated,           // the device took the image and answered again
    NoDevice,          // the survey found no device
    NoImageSet,        // no image path was given
    ImageUnopenable,   // the image file cannot be opened
    ImageReadFailure,  // it opened, but did not read whole and unchanged
    ImageChanged,      // not the image whose checksum is shown: nothing sent
    ImageNotChecked,   // no checksum was shown yet: nothing sent
    SizeInvalid,       // no block plan for its length: nothing sent
    SendFailed,        // a command of the transfer failed
    NoAnswer,          // the image went out, the device never answered again
};

// The text of the box the window shows for an outcome.
const char* FlashOutcomeText(FlashOutcome outcome);

// One verification tick: the device is asked from nFirstInquiryTick on, and
// the update has failed after nLastTick without an answer.
struct VerifyTick {
    int32_t nTick = 0;
    int32_t nFirstInquiryTick = 0;
    int32_t nLastTick = 0;
    bool bAsked = false;     // an INQUIRY went out
    bool bAnswered = false;  // and the device answered it
};

// Hears what the form does, as it happens, on the form's thread. A face
// decides from these what a run came to, never from the window's calls.
class IFlashViewObserver {
public:
    virtual ~IFlashViewObserver() = default;
    // The image is checked; the first command of the transfer follows.
    virtual void OnTransferStarted(const BlockPlan& plan, uint16_t nChecksum) = 0;
    // The command that puts the device in download mode went out.
    virtual void OnDownloadModeSent() = 0;
    // Block nBlock (0-based) went out; bAccepted: the device took it.
    virtual void OnBlockWritten(uint32_t nBlock, bool bAccepted) = 0;
    virtual void OnVerifyTick(const VerifyTick& tick) = 0;
    // Just before the outcome's box; strRevision: the revision the device
    // answered with after the transfer, empty unless it answered.
    virtual void OnFinished(FlashOutcome outcome, const std::string& strRevision) = 0;
};
