#include "run/flash_plan.h"

#include <algorithm>

#include "run/device_list.h"
#include "run/exit_codes.h"
#include "run/identity_guard.h"
#include "run/run_environment.h"
#include "run/run_records.h"

namespace {

// Says the error on stderr, keeps it in the plan; false.
bool Refuse(CliEnvironment& env, FlashPlan& plan, CliExit exit, const std::string& error,
            const std::string& said = std::string())
{
    PrintError(env, said.empty() ? error : said);
    plan.exit = exit;
    plan.strError = error;
    return false;
}

// --all: every drive the listing found, and those another program has (their
// flash says so); the others: the one --device names, or the only one.
bool ChooseDrives(const CliOptions& options, IScsiHost& host, CliEnvironment& env, FlashPlan& plan)
{
    const std::vector<char> busyDrives = BusyDrives(host);
    if (!options.bAll) {
        const DeviceChoice choice = ChooseDevice(host, options.device, plan.devices, busyDrives);
        if (choice.exit == kExitSuccess) {
            plan.drives.push_back(choice.chDrive);
            return true;
        }
        PrintOpenProblems(env, host);
        Refuse(env, plan, choice.exit, choice.strError);
        if (choice.exit == kExitUsage && !plan.devices.empty() && !options.device) {
            *env.pErr << FormatDeviceTable(ListDevices(host));
            *env.pErr << "Nothing was sent to any device.\n";
        }
        return false;
    }
    for (const ListedDevice& d : plan.devices) {
        if (d.chDrive)
            plan.drives.push_back(d.chDrive);
    }
    plan.drives.insert(plan.drives.end(), busyDrives.begin(), busyDrives.end());
    std::sort(plan.drives.begin(), plan.drives.end());
    if (plan.drives.empty()) {
        PrintOpenProblems(env, host);
        return Refuse(env, plan, kExitNoDevice, "No device found");
    }
    if (plan.drives.size() != plan.devices.size() + busyDrives.size())
        return Refuse(env, plan, kExitUsage,
                      "devices without a drive letter cannot be flashed with --all; use --device");
    return true;
}

// Each drive is this run's alone from here to the end of its flash.
void HoldDrives(IScsiHost& host, IClock& clock, CliEnvironment& env, FlashPlan& plan)
{
    std::string unlockedDrives;
    for (char drive : plan.drives) {
        plan.holds.push_back(HoldDrive(host, drive, clock, env));
        if (plan.holds.back()->GetState() != CDriveHold::State::NotOffered)
            continue;
        unlockedDrives += (unlockedDrives.empty() ? "" : ", ") + (drive ? std::string(1, drive) + ":" : "the device");
    }
    if (!unlockedDrives.empty())
        PrintError(env, kNoteNoExclusiveAccess + unlockedDrives);
}

// A device that is not the expected one gets nothing more, and is given
// back at once; --all skips it and flashes the others. A busy drive was
// not asked: its run says it is busy.
bool PassExpectedDrives(const CliOptions& options, IScsiHost& host, CliEnvironment& env, FlashPlan& plan)
{
    plan.records.resize(plan.drives.size());
    for (size_t i = 0; i < plan.drives.size(); ++i) {
        const bool busy = plan.holds[i]->GetState() == CDriveHold::State::Busy;
        const std::string mismatch =
            options.expected.IsSet() && !busy ? IdentityMismatch(options.expected, plan.identities[i]) : std::string();
        if (mismatch.empty()) {
            plan.flashed.push_back(i);
            continue;
        }
        plan.holds[i]->Release();
        // It got nothing but its INQUIRY.
        FlashRecord& record = plan.records[i];
        record.chDrive = plan.identities[i].chDrive;
        record.strNode = NodeOf(host, plan.devices, record.chDrive);
        record.strRevision = plan.identities[i].strRevision;
        record.exit = kExitWrongDevice;
        record.strCheckFailure = mismatch;
        if (!options.bAll) {
            plan.failure = plan.records[i];
            return Refuse(env, plan, kExitWrongDevice, mismatch);
        }
        PrintError(env, mismatch);
        plan.records[i].bSkipped = true;
    }
    return true;
}

}  // namespace

std::unique_ptr<CDriveHold> HoldDrive(IScsiHost& host, char drive, IClock& clock, CliEnvironment& env)
{
    auto hold = std::make_unique<CDriveHold>(host, drive, clock);
    hold->TellWaits([&env](const std::string& text) { PrintError(env, text); });
    if (!hold->Note().empty())
        PrintError(env, hold->Note());
    return hold;
}

std::string NodeOf(IScsiHost& host, const std::vector<ListedDevice>& devices, char drive)
{
    for (const ListedDevice& d : devices) {
        if (d.chDrive == drive)
            return d.strNode;
    }
    return drive ? host.DriveNodeText(drive) : std::string("aspi");
}

bool PlanFlash(const CliOptions& options, IScsiHost& host, IClock& clock, CliEnvironment& env, CRunRecords& records,
               FlashPlan& plan)
{
    // Nothing goes to a device for an image that cannot be sent whole.
    plan.check = CheckImage(options.strImage, false);
    if (plan.check.exit != kExitSuccess)
        return Refuse(env, plan, plan.check.exit, plan.check.strError, plan.check.strError + "; nothing was sent");

    // Choosing a drive sends nothing: other drives may be busy with a flash
    // of their own, and an INQUIRY has no business there.
    plan.devices = ListDevices(host, false);
    if (env.Interrupted())
        return Refuse(env, plan, kExitInterrupted,
                      "interrupted before the transfer started: nothing was written to the device");
    if (!ChooseDrives(options, host, env, plan))
        return false;
    HoldDrives(host, clock, env, plan);

    // One INQUIRY to each chosen drive, through its hold: the identity the
    // guard checks, and the transcript's first line, so a file that does not
    // take it stops the flash before anything else is sent.
    plan.identities.resize(plan.drives.size());
    if (records.HasTranscript() || options.expected.IsSet()) {
        for (size_t i = 0; i < plan.drives.size(); ++i) {
            if (plan.holds[i]->GetState() != CDriveHold::State::Busy)
                plan.identities[i] = IdentifyDrive(*plan.holds[i], plan.drives[i]);
        }
    }
    if (!records.TranscriptHolds()) {
        const std::string error = records.TranscriptUnwritable();
        return Refuse(env, plan, kExitError, error, error + "; the flash was not started");
    }
    return PassExpectedDrives(options, host, env, plan);
}
