#pragma once
#include <string>
#include <vector>

#include "cli/flash_events.h"

// --all: success only when every flashed device succeeded; an interrupt says
// so; skipped devices do not count, and when every device was skipped none
// was the expected one.
int AllDevicesExit(const std::vector<FlashRecord>& records);
std::string FormatSummaryTable(const std::vector<FlashRecord>& records);
std::string SummaryJson(const std::vector<FlashRecord>& records, int exit);
