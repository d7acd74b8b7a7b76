#include "cli/commands.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <memory>
#include <system_error>
#include <thread>

#include "cli/device_list.h"
#include "cli/drive_hold.h"
#include "cli/exit_codes.h"
#include "cli/flash_session.h"
#include "cli/identity_guard.h"
#include "cli/image_check.h"
#include "cli/progress_output.h"
#include "cli/run_records.h"
#include "cli/summary.h"
#include "console/inquiry_text.h"
#include "device/json_line.h"

int CommandInfo(const CliOptions& options, CliEnvironment& env)
{
    const ImageCheck check = CheckImage(options.strImage, true);
    if (options.bJson) {
        *env.pOut << ImageCheckJson(check) << '\n';
    } else if (check.exit != kExitImageUnreadable) {
        *env.pOut << FormatImageCheck(check);
    }
    if (check.exit == kExitImageUnreadable)
        PrintError(env, check.strError);
    return check.exit;
}

namespace {

constexpr char kErrFlashNotStarted[] = "; the flash was not started";
constexpr char kErrInterrupted[] = "interrupted";
constexpr char kErrInterruptedBeforeTransfer[] =
    "interrupted before the transfer started: nothing was written to the device";

bool Interrupted(const CliEnvironment& env)
{
    return env.pInterrupt && env.pInterrupt->IsRaised();
}

}  // namespace

int CommandList(const CliOptions& options, IScsiHost& host, CliEnvironment& env)
{
    const std::vector<ListedDevice> devices = ListDevices(host);
    if (Interrupted(env)) {
        PrintError(env, kErrInterrupted);
        return kExitInterrupted;
    }
    if (options.bJson) {
        for (const ListedDevice& d : devices)
            *env.pOut << DeviceJson(d) << '\n';
    } else if (!devices.empty()) {
        *env.pOut << FormatDeviceTable(devices);
    }
    for (const std::string& problem : OpenProblems(host))
        PrintError(env, problem);
    if (devices.empty()) {
        PrintError(env, "No device found");
        return kExitNoDevice;
    }
    return kExitSuccess;
}

FlashJob MakeFlashJob(const CliOptions& options, const ImageCheck& check, IScsiHost& host, IClock& clock,
                      IFlashObserver* observer, CliEnvironment& env, char drive, const std::string& node,
                      CRunRecords& records)
{
    FlashJob job;
    job.strImage = options.strImage;
    job.chDrive = drive;
    job.strNode = node;
    job.bEmulated = options.bEmulate;
    job.nBlocks = check.nBlocks;
    job.pHost = &host;
    job.pRecorder = &records.Recorder();
    job.pClock = &clock;
    job.pObserver = observer;
    job.pInterrupt = env.pInterrupt;
    job.explainNoDevice = [&host](char letter) { return OpenProblem(host, letter); };
    job.verifyWindow = options.pollWindow;
    job.newRevision = options.newRevision;
    job.makeSleepInhibitor = env.makeSleepInhibitor;
    job.afterFinalBlock = [&records] { records.Sync(); };
    const std::string sha256 = check.bHasChecksum ? Sha256Text(check.digest) : std::string();
    job.onTransferStart = [&records, sha256](const FlashRecord& record) {
        return records.UnitStart(record, IdentityText(record.strIdentity), sha256);
    };
    return job;
}

int EarlyEnd(const CliOptions& options, CliEnvironment& env, CliExit exit, const std::string& error, FlashRecord record)
{
    if (options.bJson) {
        record.strImage = options.strImage;
        record.exit = exit;
        record.messages.push_back(error);
        FlashEvent event;
        event.kind = FlashEventKind::Result;
        event.record = &record;
        *env.pOut << FlashEventJson(event) << '\n';
        env.pOut->flush();
    }
    return exit;
}

UnitEnd UnitEndOf(const FlashRecord& record, const std::string& identity)
{
    UnitEnd end;
    end.strUnit = record.strUnit;
    end.chDrive = record.chDrive;
    end.strNode = record.strNode;
    end.strIdentity = identity.empty() ? IdentityText(record.strIdentity) : identity;
    end.strOldRevision = record.strRevision;
    end.strNewRevision = record.strNewRevision;
    end.exit = record.exit;
    end.result = record.bSkipped ? "skipped" : record.exit == kExitSuccess ? "passed" : "failed";
    end.strMessage = record.ResultText();
    end.nBlocksSent = record.nBlocksSent;
    end.nBlocks = record.nBlocks;
    end.strChecksum = record.strChecksum;
    return end;
}

namespace {

// Where the drive lives, as the listing found it.
std::string NodeOf(IScsiHost& host, const std::vector<ListedDevice>& devices, char drive)
{
    for (const ListedDevice& d : devices) {
        if (d.chDrive == drive)
            return d.strNode;
    }
    return drive ? DeviceNodeText(host, drive) : std::string("aspi");
}

// Vendor and product as the records name them; empty when not asked.
std::string AnsweredIdentity(const ListedDevice& device)
{
    return device.bAnswered ? VendorProductText(device.strVendor, device.strProduct) : std::string();
}

// A drive the identity guard stopped: it got nothing but its INQUIRY.
FlashRecord WrongDeviceRecord(IScsiHost& host, const std::vector<ListedDevice>& devices, const ListedDevice& device,
                              const std::string& mismatch)
{
    FlashRecord record;
    record.chDrive = device.chDrive;
    record.strNode = NodeOf(host, devices, device.chDrive);
    record.strRevision = device.strRevision;
    record.exit = kExitWrongDevice;
    record.strCheckFailure = mismatch;
    return record;
}

void PrintNotes(CliEnvironment& env, const FlashRecord& record)
{
    for (const std::string& note : record.notes)
        *env.pErr << record.DriveText() << " " << note << '\n';
    env.pErr->flush();
}

}  // namespace

int CommandFlash(const CliOptions& options, IScsiHost& host, IClock& clock, CliEnvironment& env,
                 CRunRecords& runRecords)
{
    // Nothing goes to a device for an image that cannot be sent whole.
    const ImageCheck check = CheckImage(options.strImage, false);
    if (check.exit != kExitSuccess) {
        PrintError(env, check.strError + "; nothing was sent");
        return EarlyEnd(options, env, check.exit, check.strError);
    }

    // Choosing a drive sends nothing: other drives may be busy with a flash
    // of their own, and an INQUIRY has no business there.
    const std::vector<ListedDevice> devices = ListDevices(host, false);
    if (Interrupted(env)) {
        PrintError(env, kErrInterruptedBeforeTransfer);
        return EarlyEnd(options, env, kExitInterrupted, kErrInterruptedBeforeTransfer);
    }

    const std::vector<char> busyDrives = BusyDrives(host);
    std::vector<char> drives;
    if (options.bAll) {
        for (const ListedDevice& d : devices) {
            if (d.chDrive)
                drives.push_back(d.chDrive);
        }
        // A drive another program has is one of all; its flash says so.
        drives.insert(drives.end(), busyDrives.begin(), busyDrives.end());
        std::sort(drives.begin(), drives.end());
        if (drives.empty()) {
            for (const std::string& problem : OpenProblems(host))
                PrintError(env, problem);
            PrintError(env, "No device found");
            return EarlyEnd(options, env, kExitNoDevice, "No device found");
        }
        if (drives.size() != devices.size() + busyDrives.size()) {
            const std::string error = "devices without a drive letter cannot be flashed with --all; use --device";
            PrintError(env, error);
            return EarlyEnd(options, env, kExitUsage, error);
        }
    } else {
        const DeviceChoice choice = ChooseDevice(host, options.device, devices, busyDrives);
        if (choice.exit != kExitSuccess) {
            for (const std::string& problem : OpenProblems(host))
                PrintError(env, problem);
            PrintError(env, choice.strError);
            if (choice.exit == kExitUsage && !devices.empty() && !options.device) {
                *env.pErr << FormatDeviceTable(ListDevices(host));
                *env.pErr << "Nothing was sent to any device.\n";
            }
            return EarlyEnd(options, env, choice.exit, choice.strError);
        }
        drives.push_back(choice.chDrive);
    }

    // Each drive is this run's alone from here to the end of its flash.
    std::vector<std::unique_ptr<CDriveHold>> holds;
    std::string unlockedDrives;
    for (char drive : drives) {
        holds.push_back(std::make_unique<CDriveHold>(host, drive, clock));
        if (holds.back()->GetState() != CDriveHold::State::NotOffered)
            continue;
        unlockedDrives += (unlockedDrives.empty() ? "" : ", ") + (drive ? std::string(1, drive) + ":" : "the device");
    }
    if (!unlockedDrives.empty())
        PrintError(env, kNoteNoExclusiveAccess + unlockedDrives);

    // One INQUIRY to each chosen drive, through its hold: the identity the
    // guard checks, and the transcript's first line, so a file that does not
    // take it stops the flash before anything else is sent.
    std::vector<ListedDevice> identities(drives.size());
    if (runRecords.HasTranscript() || options.expected.IsSet()) {
        for (size_t i = 0; i < drives.size(); ++i) {
            if (holds[i]->GetState() != CDriveHold::State::Busy)
                identities[i] = IdentifyDrive(*holds[i], drives[i]);
        }
    }
    if (!runRecords.TranscriptHolds()) {
        const std::string error = runRecords.TranscriptUnwritable();
        PrintError(env, error + kErrFlashNotStarted);
        return EarlyEnd(options, env, kExitError, error);
    }

    // A device that is not the expected one gets nothing more, and is given
    // back at once; --all skips it and flashes the others. A busy drive was
    // not asked: its run says it is busy.
    std::vector<FlashRecord> records(drives.size());
    std::vector<size_t> flashed;  // indexes into drives and records
    for (size_t i = 0; i < drives.size(); ++i) {
        const bool busy = holds[i]->GetState() == CDriveHold::State::Busy;
        const std::string mismatch =
            options.expected.IsSet() && !busy ? IdentityMismatch(options.expected, identities[i]) : std::string();
        if (mismatch.empty()) {
            flashed.push_back(i);
            continue;
        }
        holds[i]->Release();
        PrintError(env, mismatch);
        records[i] = WrongDeviceRecord(host, devices, identities[i], mismatch);
        if (!options.bAll)
            return EarlyEnd(options, env, kExitWrongDevice, mismatch, records[i]);
        records[i].bSkipped = true;
    }

    std::unique_ptr<IFlashObserver> observer;
    CProgressOutput* progress = nullptr;
    if (options.bJson) {
        observer = std::make_unique<CJsonOutput>(*env.pOut);
    } else {
        auto output = std::make_unique<CProgressOutput>(*env.pErr, env.bErrIsTerminal ? env.pErrQueue : nullptr,
                                                        env.terminalColumns);
        progress = output.get();
        std::vector<char> lines;
        for (size_t i : flashed)
            lines.push_back(drives[i]);
        progress->Begin(lines);
        observer = std::move(output);
    }

    if (drives.size() == 1 && !options.bAll) {
        const std::string node = NodeOf(host, devices, drives[0]);
        FlashJob job = MakeFlashJob(options, check, host, clock, observer.get(), env, drives[0], node, runRecords);
        job.pHold = holds[0].get();
        records[0] = RunFlashJob(job);
    } else {
        // One form, one device object and one set of option globals per
        // thread; a failure on one device never stops the others.
        std::vector<std::thread> threads;
        for (size_t i : flashed) {
            const std::string node = NodeOf(host, devices, drives[i]);
            FlashJob job = MakeFlashJob(options, check, host, clock, observer.get(), env, drives[i], node, runRecords);
            job.pHold = holds[i].get();
            threads.emplace_back([job, &records, i]() { records[i] = RunFlashJob(job); });
        }
        for (std::thread& thread : threads)
            thread.join();
    }
    if (progress)
        progress->Finish();

    for (size_t i = 0; i < records.size(); ++i)
        runRecords.RecordUnitEnd(UnitEndOf(records[i], AnsweredIdentity(identities[i])));
    if (!options.bJson) {
        for (const FlashRecord& record : records)
            PrintNotes(env, record);
    }
    // The result event of a single device was the last word, its records
    // settled before it; the summary of --all is, settled here.
    if (!options.bAll)
        return runRecords.Settle(records[0].exit);
    const int exit = runRecords.Settle(AllDevicesExit(records));
    if (options.bJson) {
        static_cast<CJsonOutput*>(observer.get())->WriteLine(SummaryJson(records, exit));
    } else {
        *env.pOut << FormatSummaryTable(records);
    }
    return exit;
}
