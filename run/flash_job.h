#pragma once
#include <optional>
#include <string>

#include "base/clock.h"
#include "device/host.h"
#include "form/flash_view.h"
#include "run/drive_hold.h"
#include "run/flash_events.h"
#include "run/image_check.h"
#include "run/interrupt_flag.h"
#include "run/run_environment.h"
#include "run/run_options.h"
#include "run/windowless_form.h"

class CRecordingHost;
class CRunRecords;

// One device's flash: the desktop tool's form, run to its end in a terminal
// window on the calling thread.
struct FlashJob {
    // The image, --emulate (for the record), --poll-window, --new-revision.
    const CliOptions* pOptions = nullptr;
    // The interrupt flag and what keeps the machine awake.
    const CliEnvironment* pEnv = nullptr;
    char chDrive = 0;  // 0: let the form take the only device it finds
    std::string strNode;
    uint32_t nBlocks = 0;  // of the image's plan
    // Also asked why a drive could not be opened.
    IScsiHost* pHost = nullptr;
    // The recording layer pHost goes through, which knows the command a
    // failed transfer stopped on; null: the failure is not named.
    const CRecordingHost* pRecorder = nullptr;
    // The drive taken for this run (over pHost): the form works through it,
    // and the run gives it back at its end. Null: the form opens the drive
    // itself.
    CDriveHold* pHold = nullptr;
    IClock* pClock = nullptr;
    IFlashObserver* pObserver = nullptr;
    // The image checked once for many runs: the form sends it and no other
    // (a file changed since is not sent). Empty: the form's own survey.
    std::optional<ImageDigest> heldImage;
    TransferHooks hooks;  // run on the job's thread
};

// Sets this thread's option globals (image, drive, automatic start), runs
// the form's initial update and its timers, and says how it ended; a drive
// that another program has is not touched. Emits a Result event last.
FlashRecord RunFlashJob(const FlashJob& job);

// The exit code for a form that ended with this outcome.
CliExit ExitForOutcome(FlashOutcome outcome);

// The part of a flash job that is the same for every device of the run:
// the caller adds the drive, its node and hold, and the observer. The unit's
// start is recorded before its transfer; once the device took the final
// block, the transcript and the log are put on the disk, so a power cut
// during the restart keeps the record of what was sent; its end hands them
// to the disk again.
FlashJob MakeFlashJob(const CliOptions& options, const ImageCheck& check, IScsiHost& host, IClock& clock,
                      CliEnvironment& env, CRunRecords& records);
