#pragma once
#include <string>
#include <vector>

#include "cli/flash_events.h"

// --all: success only when every device succeeded; an interrupt says so.
int AllDevicesExit(const std::vector<FlashRecord>& records);
std::string FormatSummaryTable(const std::vector<FlashRecord>& records);
std::string SummaryJson(const std::vector<FlashRecord>& records, int exit);
