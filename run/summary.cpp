#include "run/summary.h"

#include <algorithm>
#include <cstdio>

#include "base/json_line.h"
#include "device/drive_name.h"

namespace {

const char* ResultName(const FlashRecord& r)
{
    return r.bSkipped ? kResultSkipped : CliExitName(r.exit);
}

bool Succeeded(const FlashRecord& r)
{
    return !r.bSkipped && r.exit == kExitSuccess;
}

int Skipped(const std::vector<FlashRecord>& records)
{
    return static_cast<int>(
        std::count_if(records.begin(), records.end(), [](const FlashRecord& r) { return r.bSkipped; }));
}

}  // namespace

int RunExit(const RunTally& tally)
{
    if (tally.bInterrupted)
        return kExitInterrupted;
    if (tally.nFailed != 0)
        return kExitSomeFailed;
    if (tally.bImageProblem)
        return kExitImageUnreadable;
    if (tally.nPassed == 0 && tally.nSkippedWrong != 0)
        return kExitWrongDevice;
    return kExitSuccess;
}

int AllDevicesExit(const std::vector<FlashRecord>& records)
{
    // Never reached by a run (no device ends it before), and no success.
    if (records.empty())
        return kExitSomeFailed;
    RunTally tally;
    for (const FlashRecord& r : records) {
        if (r.bSkipped) {
            ++tally.nSkippedWrong;
        } else if (r.exit == kExitSuccess) {
            ++tally.nPassed;
        } else {
            ++tally.nFailed;
            tally.bInterrupted = tally.bInterrupted || r.exit == kExitInterrupted;
        }
    }
    return RunExit(tally);
}

std::string FormatSummaryTable(const std::vector<FlashRecord>& records)
{
    std::string table;
    char line[512];
    std::snprintf(line, sizeof line, "%-5s  %-16s  %6s  %5s  %4s  %-12s  %s\n", "drive", "result", "blocks", "ticks",
                  "exit", "revision", "message");
    table += line;
    for (const FlashRecord& r : records) {
        const std::string blocks = std::to_string(r.nBlocksSent) + "/" + std::to_string(r.nBlocks);
        std::snprintf(line, sizeof line, "%-5s  %-16s  %6s  %5d  %4d  %-12s  %s\n", DriveText(r.chDrive).c_str(),
                      ResultName(r), blocks.c_str(), r.nTicks, static_cast<int>(r.exit), r.RevisionText().c_str(),
                      r.ResultText().c_str());
        table += line;
    }
    const int skipped = Skipped(records);
    table += std::to_string(std::count_if(records.begin(), records.end(), Succeeded)) + " of " +
             std::to_string(records.size() - skipped) + " devices flashed";
    if (skipped)
        table += ", " + std::to_string(skipped) + " skipped (not the expected device)";
    return table + "\n";
}

std::string SummaryJson(const std::vector<FlashRecord>& records, int exit)
{
    std::string json;
    CJsonLine out(json);
    out.String("event", "summary").Number("devices", records.size());
    out.Number("succeeded", std::count_if(records.begin(), records.end(), Succeeded))
        .Number("skipped", Skipped(records))
        .String("result", CliExitName(exit))
        .Number("exit_code", exit);
    out.Array("results");
    for (const FlashRecord& r : records) {
        out.Object().String("device", DriveText(r.chDrive)).String("result", ResultName(r));
        if (r.bSkipped)
            out.String("reason", r.strCheckFailure);
        out.End();
    }
    out.Close();
    return json;
}
