#include "run/flash_job.h"

#include <cstring>

#include "form/flash_view.h"
#include "form/form_options.h"
#include "run/command_failure.h"
#include "run/device_list.h"
#include "run/identity_guard.h"
#include "run/progress_output.h"
#include "run/run_records.h"
#include "run/windowless_form.h"

CliExit ExitForOutcome(FlashOutcome outcome)
{
    struct Mapping {
        FlashOutcome outcome;
        CliExit exit;
    };
    static const Mapping kMappings[] = {
        {FlashOutcome::Updated, kExitSuccess},
        {FlashOutcome::NoDevice, kExitNoDevice},
        {FlashOutcome::NoImageSet, kExitImageUnreadable},
        {FlashOutcome::ImageUnopenable, kExitImageUnreadable},
        {FlashOutcome::ImageReadFailure, kExitImageUnreadable},
        {FlashOutcome::ImageChanged, kExitImageUnreadable},
        {FlashOutcome::ImageNotChecked, kExitImageUnreadable},
        {FlashOutcome::SizeInvalid, kExitNotFlashable},
        {FlashOutcome::SendFailed, kExitSendFailure},
        {FlashOutcome::NoAnswer, kExitNoReturn},
    };
    for (const Mapping& m : kMappings) {
        if (m.outcome == outcome)
            return m.exit;
    }
    return kExitError;
}

namespace {

// The device took every block of the image.
bool WholeImageTaken(const FlashRecord& record)
{
    return record.nBlocks != 0 && record.nBlocksSent == record.nBlocks;
}

// Each note follows from the commands that went out, not from the phase the
// form was in.
void AddTransferNotes(FlashRecord& record)
{
    if (record.bInterrupted)
        return;
    if (record.exit != kExitSuccess && record.exit != kExitNoReturn && !WholeImageTaken(record)) {
        if (record.nBlockWrites != 0) {
            record.notes.push_back("the transfer stopped after " + std::to_string(record.nBlocksSent) + " of " +
                                   std::to_string(record.nBlocks) +
                                   " blocks: the device holds no complete image and may stay in download mode; flash "
                                   "it again before using it");
        } else if (record.bDownloadModeSent) {
            record.notes.push_back(
                "the device was told to enter download mode, but no block was sent: it may stay in download mode; "
                "flash it again before using it");
        } else {
            record.notes.push_back("nothing was written to the device");
        }
    }
    if (record.bInterruptHeld)
        record.notes.push_back("the interrupt was held until the transfer ended");
}

// How the form's run ended: cut short by Ctrl-C or not, and its last state.
struct FormEnd {
    bool bInterrupted = false;
    FlashState state = FlashState::Ready;
};

// Runs the form on this thread until it ends, and gives the drive back.
FormEnd RunForm(const FlashJob& job, FlashRecord& record)
{
    CWindowlessForm window(*job.pClock, record, job.pObserver, job.pEnv->pInterrupt, job.hooks);
    IScsiHost& host = job.pHold ? static_cast<IScsiHost&>(*job.pHold) : *job.pHost;
    const std::unique_ptr<ISleepInhibitor> sleepInhibitor =
        job.pEnv->makeSleepInhibitor ? job.pEnv->makeSleepInhibitor() : nullptr;
    FormEnd end;
    {
        CFlashView view(window, host, sleepInhibitor.get(), &window);
        view.SetVerifyWindow(job.pOptions->pollWindow);
        if (job.heldImage)
            view.HoldImage(*job.heldImage);
        if (job.pEnv->Interrupted()) {
            end.bInterrupted = true;
        } else {
            view.OnInitialUpdate();
            end.bInterrupted = window.Run(view) == CWindowlessForm::RunEnd::Interrupted;
        }
        end.state = view.GetState();
    }
    // The device is left to others only once the form is done with it.
    if (job.pHold)
        job.pHold->Release();
    return end;
}

// The exit code and notes of a run Ctrl-C cut short.
void JudgeInterrupted(FlashRecord& record, FlashState state)
{
    record.bInterrupted = true;
    record.exit = kExitInterrupted;
    if (state == FlashState::Verifying) {
        record.notes.push_back(std::string(record.bInterruptHeld ? "the interrupt was held until the transfer "
                                                                   "ended: the whole image was sent; "
                                                                 : "") +
                               "interrupted while waiting for the device to restart: it may still be "
                               "updating; do not power it off or unplug it, and check it with "
                               "'kt3916flash-cli list' in a minute");
    } else if (record.nBlockWrites == 0 && !record.bDownloadModeSent) {
        record.notes.push_back("interrupted before the transfer started: nothing was written to the device");
    }
}

// The exit code of a form that ended on its own, from its outcome and the
// checks after it.
void JudgeOutcome(const FlashJob& job, FlashRecord& record, FlashState state)
{
    record.exit = record.outcome ? ExitForOutcome(*record.outcome) : kExitError;
    // Success is the form back in Ready after the device answered.
    if (record.exit == kExitSuccess && state != FlashState::Ready)
        record.exit = kExitError;
    if (!record.outcome)
        record.notes.push_back("the form stopped without a message (state " + std::string(FlashStateName(state)) + ")");
    // Once a block has gone out, the device's image is half-written whatever
    // stopped the transfer: a read error is as much a part-way failure as a
    // refused block, and the form's message says which it was.
    if (record.exit != kExitSuccess && record.nBlockWrites != 0 && !WholeImageTaken(record))
        record.exit = kExitSendFailure;
    // The form's success says the device answered; the revision it answered
    // with says whether it runs the new firmware.
    const std::optional<std::string>& expected = job.pOptions->newRevision;
    if (record.exit == kExitSuccess && expected && record.strNewRevision != *expected) {
        record.exit = kExitWrongRevision;
        // Quoted: a blank answer must read as one.
        record.strCheckFailure =
            "the device answered with revision \"" + record.strNewRevision + "\", expected \"" + *expected + "\"";
        record.notes.push_back(record.strCheckFailure);
    }
}

}  // namespace

FlashRecord RunFlashJob(const FlashJob& job)
{
    const uint64_t startMs = job.pClock->NowMs();
    FlashRecord record;
    record.chDrive = job.chDrive;
    record.strNode = job.strNode;
    record.bEmulated = job.pOptions->bEmulate;
    record.strImage = job.pOptions->strImage;
    record.nBlocks = job.nBlocks;

    // The form reads these; they belong to this thread alone.
    g_strImagePath = job.pOptions->strImage;
    g_strDriveSpec = job.chDrive ? std::string(1, job.chDrive) + ":" : std::string();
    g_bAutoFlash = 1;
    g_strOptionText.clear();

    if (job.pHold && job.pHold->GetState() == CDriveHold::State::Busy) {
        record.exit = kExitDeviceBusy;
        record.notes.push_back("device busy: in use by another program (" + job.strNode + ")");
    } else {
        const FormEnd end = RunForm(job, record);
        if (end.bInterrupted)
            JudgeInterrupted(record, end.state);
        else
            JudgeOutcome(job, record, end.state);
        if (job.pRecorder)
            AddCommandFailure(*job.pRecorder, record);
    }
    AddTransferNotes(record);
    if (record.exit == kExitNoDevice && job.chDrive) {
        const std::string why = OpenProblem(*job.pHost, job.chDrive);
        if (!why.empty())
            record.notes.push_back(why);
    }
    if (job.pObserver) {
        job.pObserver->OnFlashEvent({.kind = FlashEventKind::Result}, record, job.pClock->NowMs() - startMs);
    }
    return record;
}

FlashJob MakeFlashJob(const CliOptions& options, const ImageCheck& check, IScsiHost& host, IClock& clock,
                      CliEnvironment& env, CRunRecords& records)
{
    FlashJob job;
    job.pOptions = &options;
    job.pEnv = &env;
    job.nBlocks = check.nBlocks;
    job.pHost = &host;
    job.pRecorder = &records.Recorder();
    job.pClock = &clock;
    job.hooks.afterFinalBlock = [&records] { records.Sync(); };
    // The bytes whose signature was checked are the only ones sent.
    if (records.Trust().bChecked)
        job.heldImage = records.Trust().digest;
    const std::string sha256 = check.bHasChecksum ? Sha256Text(check.digest) : std::string();
    job.hooks.onStart = [&records, &host, sha256](const FlashRecord& record) {
        return records.UnitStart(record, IdentityText(record.strIdentity), sha256,
                                 record.chDrive ? host.DriveSerial(record.chDrive) : std::string());
    };
    return job;
}
