#include "line/line_record.h"

#include <nlohmann/json.hpp>

bool ParseUnitRecord(const std::string& line, UnitRecordKey& key)
{
    // Most log lines are commands: a cheap look before the parser.
    if (line.find("\"record\"") == std::string::npos)
        return false;
    const nlohmann::json json = nlohmann::json::parse(line, nullptr, false);
    if (!json.is_object())
        return false;
    const auto record = json.find("record");
    const auto id = json.find("id");
    if (record == json.end() || id == json.end() || !record->is_string() || !id->is_string())
        return false;
    key.strRecord = record->get<std::string>();
    key.strId = id->get<std::string>();
    return !key.strId.empty() && (key.strRecord == "unit-start" || key.strRecord == "unit-end");
}
