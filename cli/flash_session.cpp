#include "cli/flash_session.h"

#include <cstring>

#include "app/options.h"
#include "cli/command_failure.h"
#include "cli/terminal_window.h"
#include "console/flash_view.h"

CliExit ClassifyFlashMessages(const FlashRecord& record) {
    if (record.messages.empty()) return kExitError;
    const std::string& last = record.messages.back();
    struct Mapping {
        const char* message;
        CliExit exit;
    };
    static const Mapping kMappings[] = {
        {kMsgUpdateSuccess, kExitSuccess},
        {kMsgNoDeviceFound, kExitNoDevice},
        {kMsgNoFileSet, kExitImageUnreadable},
        {kMsgFileOpenFailure, kExitImageUnreadable},
        {kMsgFileReadFailure, kExitImageUnreadable},
        {kMsgImageChanged, kExitImageUnreadable},
        {kMsgImageNotChecked, kExitImageUnreadable},
        {kMsgImageSizeInvalid, kExitNotFlashable},
        {kMsgSendFailure, kExitSendFailure},
        {kMsgUpdateFailure, kExitNoReturn},
    };
    for (const Mapping& m : kMappings) {
        if (last == m.message) return m.exit;
    }
    return kExitError;
}

namespace {

void AddTransferNotes(FlashRecord& record) {
    if (!record.bTransferStarted) return;
    const bool whole = record.nBlocks != 0 && record.nBlocksSent == record.nBlocks;
    if (record.exit == kExitSendFailure || record.exit == kExitImageUnreadable) {
        if (whole) return;
        record.notes.push_back("the transfer stopped after " + std::to_string(record.nBlocksSent) + " of " +
                               std::to_string(record.nBlocks) +
                               " blocks: the device holds no complete image and may stay in download mode; "
                               "flash it again before using it");
    }
    if (record.bInterruptHeld && record.exit != kExitInterrupted) {
        record.notes.push_back("the interrupt was held until the transfer ended");
    }
}

}  // namespace

FlashRecord RunFlashJob(const FlashJob& job) {
    const uint64_t startMs = job.pClock->NowMs();
    FlashRecord record;
    record.chDrive = job.chDrive;
    record.strNode = job.strNode;
    record.strImage = job.strImage;
    record.nBlocks = job.nBlocks;

    // The form reads these; they belong to this thread alone.
    g_strImagePath = job.strImage;
    g_strDriveSpec = job.chDrive ? std::string(1, job.chDrive) + ":" : std::string();
    g_bAutoFlash = 1;
    g_strOptionText.clear();

    CTerminalFormWindow window(*job.pClock, record, job.pObserver, job.pInterrupt);
    CTerminalFormWindow::RunEnd end = CTerminalFormWindow::RunEnd::Idle;
    FlashState finalState = FlashState::Ready;
    {
        CFlashView view(window, *job.pHost);
        if (job.pInterrupt && job.pInterrupt->load()) {
            end = CTerminalFormWindow::RunEnd::Interrupted;
        } else {
            view.OnInitialUpdate();
            end = window.Run(view);
        }
        finalState = view.GetState();
    }

    if (end == CTerminalFormWindow::RunEnd::Interrupted) {
        record.bInterrupted = true;
        record.exit = kExitInterrupted;
        if (finalState == FlashState::Verifying) {
            record.notes.push_back(std::string(record.bInterruptHeld ? "the interrupt was held until the transfer "
                                                                       "ended: the whole image was sent; "
                                                                     : "") +
                                   "interrupted while waiting for the device to restart: it may still be "
                                   "updating; do not power it off or unplug it, and check it with "
                                   "'kt3916flash-cli list' in a minute");
        } else {
            record.notes.push_back("interrupted before the transfer started: nothing was written to the device");
        }
    } else {
        record.exit = ClassifyFlashMessages(record);
        // Success is the form back in Ready after "Update success!!".
        if (record.exit == kExitSuccess && finalState != FlashState::Ready) record.exit = kExitError;
        if (record.exit == kExitError && record.messages.empty()) {
            record.notes.push_back("the form stopped without a message (state " +
                                   std::string(FlashStateName(finalState)) + ")");
        }
    }
    if (const auto* recorder = dynamic_cast<const CRecordingHost*>(job.pHost)) AddCommandFailure(*recorder, record);
    AddTransferNotes(record);
    if (record.exit == kExitNoDevice && job.chDrive && job.explainNoDevice) {
        const std::string why = job.explainNoDevice(job.chDrive);
        if (!why.empty()) record.notes.push_back(why);
    }

    if (job.pObserver) {
        FlashEvent result;
        result.kind = FlashEventKind::Result;
        result.record = &record;
        result.tMs = job.pClock->NowMs() - startMs;
        job.pObserver->OnFlashEvent(result);
    }
    return record;
}
