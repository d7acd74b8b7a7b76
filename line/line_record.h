#pragma once
#include <string>

// What the line needs of one log line: unit-start and unit-end records are
// published and collected; every other line (commands, run-start) is not.
struct UnitRecordKey {
    std::string strId;
    std::string strRecord;  // "unit-start" or "unit-end"
};

// False for a line that is no unit record (or no JSON at all).
bool ParseUnitRecord(const std::string& line, UnitRecordKey& key);
