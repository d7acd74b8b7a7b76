#pragma once
#include <string>
#include <vector>

#include "run/flash_events.h"

// A unit's result in the records, the line and the summaries.
constexpr char kResultPassed[] = "passed";
constexpr char kResultFailed[] = "failed";
constexpr char kResultSkipped[] = "skipped";

// What a run of several devices came to: flash --all and a station count
// their devices alike.
struct RunTally {
    int nPassed = 0;
    int nFailed = 0;
    int nSkippedWrong = 0;       // not the expected device: nothing was sent
    bool bInterrupted = false;   // Ctrl-C cut a device's run, or a station's --units short
    bool bImageProblem = false;  // the image changed or vanished: no more devices were taken
};

// The one order of the exit codes of such a run, first match wins:
//   130 interrupted, 8 a device failed, 4 the image changed or vanished,
//   9 every device was skipped as not the expected one, 0 otherwise.
// A record that could not be written turns the 0 into 1 (CRunRecords::Exit).
int RunExit(const RunTally& tally);
// --all: the tally of the devices' records.
int AllDevicesExit(const std::vector<FlashRecord>& records);
std::string FormatSummaryTable(const std::vector<FlashRecord>& records);
std::string SummaryJson(const std::vector<FlashRecord>& records, int exit);
