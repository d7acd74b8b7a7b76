#include "cli/commands.h"

#include <memory>
#include <thread>

#include "base/json_line.h"
#include "device/drive_name.h"
#include "device/drive_nodes.h"
#include "form/inquiry_text.h"
#include "run/device_list.h"
#include "run/exit_codes.h"
#include "run/flash_job.h"
#include "run/flash_plan.h"
#include "run/image_check.h"
#include "run/image_trust.h"
#include "run/progress_output.h"
#include "run/run_records.h"
#include "run/summary.h"

int CommandInfo(const CliOptions& options, CliEnvironment& env)
{
    const ImageCheck check = CheckImage(options.strImage, true);
    // Only an image that could be sent has a signature worth checking.
    const ImageTrust trust = check.exit == kExitSuccess ? CheckImageTrust(options) : ImageTrust{};
    if (options.bJson) {
        *env.pOut << ImageCheckJson(check, trust) << '\n';
    } else if (check.exit != kExitImageUnreadable) {
        *env.pOut << FormatImageCheck(check);
        if (trust.IsSigned()) {
            *env.pOut << "signature good, key " << trust.strKeyId << " (" << trust.strKeyFile << ")\n"
                      << "comment   " << trust.strTrustedComment << "\n";
        } else if (trust.exit == kExitSuccess && trust.bUnsigned) {
            *env.pOut << "signature none, allowed by --allow-unsigned\n";
        }
    }
    if (check.exit == kExitImageUnreadable)
        PrintError(env, check.strError);
    if (trust.exit != kExitSuccess)
        PrintError(env, trust.strError);
    return check.exit != kExitSuccess ? check.exit : trust.exit;
}

int CommandList(const CliOptions& options, IScsiHost& host, CliEnvironment& env)
{
    const std::vector<ListedDevice> devices = ListDevices(host);
    if (env.Interrupted()) {
        PrintError(env, "interrupted");
        return kExitInterrupted;
    }
    if (options.bJson) {
        for (const ListedDevice& d : devices)
            *env.pOut << DeviceJson(d) << '\n';
    } else if (!devices.empty()) {
        *env.pOut << FormatDeviceTable(devices);
    }
    PrintOpenProblems(env, host);
    if (devices.empty()) {
        PrintError(env, "No device found");
        return kExitNoDevice;
    }
    return kExitSuccess;
}

namespace {

// --json: the events on stdout; else the progress lines of the drives to
// flash on stderr (progress).
std::unique_ptr<IFlashObserver> MakeObserver(const CliOptions& options, CliEnvironment& env, const FlashPlan& plan,
                                             CProgressOutput*& progress)
{
    if (options.bJson)
        return std::make_unique<CJsonOutput>(*env.pOut);
    auto output =
        std::make_unique<CProgressOutput>(*env.pErr, env.bErrIsTerminal ? env.pErrQueue : nullptr, env.terminalColumns);
    std::vector<char> lines;
    for (size_t i : plan.flashed)
        lines.push_back(plan.drives[i]);
    output->Begin(lines);
    progress = output.get();
    return output;
}

}  // namespace

int CommandFlash(const CliOptions& options, IScsiHost& host, IClock& clock, CliEnvironment& env,
                 CRunRecords& runRecords)
{
    FlashPlan plan;
    if (!PlanFlash(options, host, clock, env, runRecords, plan))
        return EarlyEnd(options, env, plan.exit, plan.strError, plan.failure);

    CProgressOutput* progress = nullptr;
    const std::unique_ptr<IFlashObserver> observer = MakeObserver(options, env, plan, progress);
    // One device's form runs on this thread; with --all one form, one device
    // object and one set of option globals per thread, and a failure on one
    // device never stops the others.
    std::vector<std::thread> threads;
    std::vector<uint64_t> durations(plan.records.size(), 0);
    for (size_t i : plan.flashed) {
        FlashJob job = MakeFlashJob(options, plan.check, host, clock, env, runRecords);
        job.chDrive = plan.drives[i];
        job.strNode = NodeOf(host, plan.devices, plan.drives[i]);
        job.pHold = plan.holds[i].get();
        job.pObserver = observer.get();
        FlashRecord& record = plan.records[i];
        uint64_t& duration = durations[i];
        const auto run = [job, &record, &duration, &clock]() {
            const uint64_t start = clock.NowMs();
            record = RunFlashJob(job);
            duration = clock.NowMs() - start;
        };
        if (options.bAll)
            threads.emplace_back(run);
        else
            run();
    }
    for (std::thread& thread : threads)
        thread.join();
    if (progress)
        progress->Finish();

    // Vendor and product as the records name them; empty when not asked.
    for (size_t i = 0; i < plan.records.size(); ++i) {
        const ListedDevice& d = plan.identities[i];
        UnitEnd end =
            UnitEndOf(plan.records[i], d.bAnswered ? VendorProductText(d.strVendor, d.strProduct) : std::string());
        end.nDurationMs = durations[i];
        runRecords.RecordUnitEnd(end);
    }
    if (!options.bJson) {
        for (const FlashRecord& record : plan.records) {
            for (const std::string& note : record.notes)
                *env.pErr << DriveText(record.chDrive) << " " << note << '\n';
            env.pErr->flush();
        }
    }
    // The result event of a single device was the last word, its records
    // settled before it; the summary of --all is, settled here.
    if (!options.bAll)
        return runRecords.Settle(plan.records[0].exit);
    const int exit = runRecords.Settle(AllDevicesExit(plan.records));
    if (options.bJson) {
        static_cast<CJsonOutput*>(observer.get())->WriteLine(SummaryJson(plan.records, exit));
    } else {
        *env.pOut << FormatSummaryTable(plan.records);
    }
    return exit;
}
