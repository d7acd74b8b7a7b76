#include "cli/summary.h"

#include <cstdio>

int AllDevicesExit(const std::vector<FlashRecord>& records) {
    bool allOk = !records.empty();
    for (const FlashRecord& r : records) {
        if (r.exit == kExitInterrupted) return kExitInterrupted;
        allOk = allOk && r.exit == kExitSuccess;
    }
    return allOk ? kExitSuccess : kExitSomeFailed;
}

std::string FormatSummaryTable(const std::vector<FlashRecord>& records) {
    std::string table;
    char line[256];
    std::snprintf(line, sizeof line, "%-5s  %-16s  %6s  %5s  %4s  %s\n", "drive", "result", "blocks", "ticks", "exit",
                  "message");
    table += line;
    int succeeded = 0;
    for (const FlashRecord& r : records) {
        const std::string blocks = std::to_string(r.nBlocksSent) + "/" + std::to_string(r.nBlocks);
        const std::string message = r.bInterrupted ? "interrupted" : r.messages.empty() ? "" : r.messages.back();
        std::snprintf(line, sizeof line, "%-5s  %-16s  %6s  %5d  %4d  %s\n", r.DriveText().c_str(),
                      CliExitName(r.exit), blocks.c_str(), r.nTicks, static_cast<int>(r.exit), message.c_str());
        table += line;
        if (r.exit == kExitSuccess) ++succeeded;
    }
    table += std::to_string(succeeded) + " of " + std::to_string(records.size()) + " devices flashed\n";
    return table;
}

std::string SummaryJson(const std::vector<FlashRecord>& records, int exit) {
    int succeeded = 0;
    for (const FlashRecord& r : records) succeeded += r.exit == kExitSuccess;
    return "{\"event\":\"summary\",\"devices\":" + std::to_string(records.size()) +
           ",\"succeeded\":" + std::to_string(succeeded) + ",\"result\":\"" + CliExitName(exit) +
           "\",\"exit_code\":" + std::to_string(exit) + "}";
}
