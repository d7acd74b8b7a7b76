#pragma once
#include <cstddef>
#include <string>

// What the line needs of one log line: unit-start and unit-end records are
// published and collected; every other line (commands, run-start) is not.
struct UnitRecordKey {
    std::string strId;
    std::string strRecord;   // "unit-start" or "unit-end"
    std::string strStation;  // the station that wrote it; empty: no station's
};

// False for a line that is no unit record (or no JSON at all).
bool ParseUnitRecord(const std::string& line, UnitRecordKey& key);

// A unit record is a few hundred bytes; anything far larger is no record of
// ours, and is neither read into memory whole nor parsed.
inline constexpr size_t kUnitRecordMaxBytes = 64 * 1024;

// What a collector takes: valid UTF-8 JSON, at most kUnitRecordMaxBytes,
// with the fields of a unit record in their types. False with the reason.
bool CheckUnitRecord(const std::string& payload, UnitRecordKey& key, std::string& why);
