#pragma once
#include <string>

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

// What a run of the form did, as it happens: one vocabulary from the form to
// every output of a run. The form tells its transfer, on its own thread;
// the face that runs it adds the message boxes, a held interrupt and the
// run's result.
enum class FlashEventKind {
    Start,          // the image is checked; the transfer follows, nTotal blocks
    Block,          // block write nIndex (from 1) of nTotal went out; bAnswered: the device took it
    Tick,           // verification tick nIndex of nTotal; the device is asked from nFirstInquiryTick
    Message,        // a message box, strText
    InterruptHeld,  // an interrupt came during the transfer: held until it ends; strText
    Result,         // the run is over
    DownloadMode,   // the command that puts the device in download mode went out
    // Just before the outcome's box; strText: the revision the device
    // answered with after the transfer, empty unless it answered.
    Finished,
};

struct FlashEvent {
    FlashEventKind kind = FlashEventKind::Start;
    int nIndex = 0;
    int nTotal = 0;
    int nFirstInquiryTick = 0;
    bool bInquiry = false;                         // tick: an INQUIRY went out
    bool bAnswered = false;                        // tick: the device answered it; block: the device took it
    FlashOutcome outcome = FlashOutcome::Updated;  // finished
    std::string strText{};
};

// Hears the form's events. A face decides from these what a run came to,
// never from the window's calls.
class IFlashViewObserver {
public:
    virtual ~IFlashViewObserver() = default;
    virtual void OnFlashEvent(const FlashEvent& event) = 0;
};
