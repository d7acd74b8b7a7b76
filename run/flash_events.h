#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "form/flash_outcome.h"
#include "run/exit_codes.h"
#include "run/identity_guard.h"

// What one device's run of the form came to, filled in as it goes.
struct FlashRecord {
    char chDrive = 0;        // 0 when the form chose the only device itself
    std::string strNode;     // where the drive lives: /dev/sg1, \\.\D:, emulated
    bool bEmulated = false;  // the device is the emulated KT3916
    std::string strImage;
    std::string strIdentity;  // vendor and product, as the form lists them
    // Blanks trimmed: as the form read it at its survey, and from the INQUIRY
    // the device answered after the transfer.
    std::string strRevision;
    std::string strNewRevision;
    std::string strChecksum;         // four hex digits
    uint32_t nBlocks = 0;            // of the plan, known once the transfer starts
    uint32_t nBlocksSent = 0;        // block writes the device accepted
    uint32_t nBlockWrites = 0;       // block writes that went out, accepted or not
    bool bDownloadModeSent = false;  // START STOP UNIT went out
    int nTicks = 0;
    bool bInterruptHeld = false;          // Ctrl-C came during the transfer
    bool bInterrupted = false;            // the run stopped on Ctrl-C
    std::vector<std::string> messages;    // every message box, in order
    std::optional<FlashOutcome> outcome;  // how the form ended, once it did
    CliExit exit = kExitError;
    std::vector<std::string> notes;  // what the tool adds to the form's messages
    // The command the run stopped on: the sense the device answered with
    // ("05/20/00" and in words), or why the pass-through call failed.
    std::string strSense;
    std::string strSenseText;
    std::string strHostError;
    // Why the tool failed a run the form did not fail (another revision
    // came back) or never started it (not the expected device).
    std::string strCheckFailure;
    bool bSkipped = false;  // --all: not the expected device, so not flashed
    std::string strUnit;    // the unit's id in the records, once its transfer started

    // "1.00 -> 1.10" once the device answered after the transfer, else the
    // revision the survey read.
    std::string RevisionText() const
    {
        return strNewRevision.empty() ? strRevision : strRevision + " -> " + strNewRevision;
    }
    // How the run ended, in one line for people.
    std::string ResultText() const
    {
        if (!strCheckFailure.empty())
            return strCheckFailure;
        if (bInterrupted)
            return "interrupted";
        return messages.empty() ? std::string() : messages.back();
    }
};

// Hears the form's events of one or more runs, each with its run's record
// as it stands and the time since that run started; runs on several threads
// call it at once, so implementations serialise themselves.
class IFlashObserver {
public:
    virtual ~IFlashObserver() = default;
    virtual void OnFlashEvent(const FlashEvent& event, const FlashRecord& record, uint64_t tMs) = 0;
};
