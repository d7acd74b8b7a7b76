#include "line/line_record.h"

#include <nlohmann/json.hpp>

namespace {

enum class Kind {
    Text,
    Integer,
    Truth
};

// The fields a collector stores in columns: those a record must have, and
// the type of each one it may have.
struct FieldRule {
    const char* name;
    Kind kind;
    bool bStart;  // required in a unit-start
    bool bEnd;    // required in a unit-end
};
constexpr FieldRule kFields[] = {
    {"id", Kind::Text, true, true},
    {"record", Kind::Text, true, true},
    {"run", Kind::Text, true, true},
    {"time", Kind::Text, true, true},
    {"unit", Kind::Text, true, false},  // a skipped unit never started
    {"device", Kind::Text, true, true},
    {"node", Kind::Text, false, false},
    {"identity", Kind::Text, false, false},
    {"station", Kind::Text, false, false},
    {"revision", Kind::Text, false, false},
    {"old_revision", Kind::Text, false, false},
    {"new_revision", Kind::Text, false, false},
    {"revision_changed", Kind::Truth, false, false},
    {"result", Kind::Text, false, true},
    {"exit_code", Kind::Integer, false, true},
    {"exit_name", Kind::Text, false, false},
    {"reason", Kind::Text, false, false},
    {"message", Kind::Text, false, false},
    {"duration_ms", Kind::Integer, false, false},
    {"checksum", Kind::Text, false, false},
    {"sha256", Kind::Text, false, false},
    {"blocks_sent", Kind::Integer, false, false},
    {"blocks", Kind::Integer, false, false},
};

constexpr size_t kIdMaxBytes = 128;

bool HasKind(const nlohmann::json& value, Kind kind)
{
    switch (kind) {
    case Kind::Text:
        return value.is_string();
    case Kind::Integer:
        return value.is_number_integer();
    case Kind::Truth:
        return value.is_boolean();
    }
    return false;
}

const char* KindName(Kind kind)
{
    return kind == Kind::Text ? "a string" : kind == Kind::Integer ? "an integer" : "true or false";
}

std::string TextField(const nlohmann::json& json, const char* name)
{
    const auto it = json.find(name);
    return it != json.end() && it->is_string() ? it->get<std::string>() : std::string();
}

}  // namespace

bool ParseUnitRecord(const std::string& line, UnitRecordKey& key)
{
    // Most log lines are commands: a cheap look before the parser.
    if (line.find("\"record\"") == std::string::npos)
        return false;
    const nlohmann::json json = nlohmann::json::parse(line, nullptr, false);
    if (!json.is_object())
        return false;
    key.strRecord = TextField(json, "record");
    key.strId = TextField(json, "id");
    key.strStation = TextField(json, "station");
    return !key.strId.empty() && (key.strRecord == "unit-start" || key.strRecord == "unit-end");
}

bool CheckUnitRecord(const std::string& payload, UnitRecordKey& key, std::string& why)
{
    if (payload.size() > kUnitRecordMaxBytes) {
        why = "larger than " + std::to_string(kUnitRecordMaxBytes) + " bytes (" + std::to_string(payload.size()) + ")";
        return false;
    }
    // The parser takes only valid UTF-8.
    const nlohmann::json json = nlohmann::json::parse(payload, nullptr, false);
    if (json.is_discarded()) {
        why = "not valid UTF-8 JSON";
        return false;
    }
    if (!json.is_object()) {
        why = "not a JSON object";
        return false;
    }
    key.strRecord = TextField(json, "record");
    if (key.strRecord != "unit-start" && key.strRecord != "unit-end") {
        why = "its record is not unit-start or unit-end";
        return false;
    }
    const bool start = key.strRecord == "unit-start";
    for (const FieldRule& rule : kFields) {
        const auto it = json.find(rule.name);
        if (it == json.end()) {
            if (start ? rule.bStart : rule.bEnd) {
                why = std::string("a ") + key.strRecord + " without '" + rule.name + "'";
                return false;
            }
        } else if (!HasKind(*it, rule.kind)) {
            why = std::string("'") + rule.name + "' is not " + KindName(rule.kind);
            return false;
        }
    }
    key.strId = TextField(json, "id");
    key.strStation = TextField(json, "station");
    if (key.strId.empty() || key.strId.size() > kIdMaxBytes) {
        why = "its id is not 1 to " + std::to_string(kIdMaxBytes) + " bytes";
        return false;
    }
    return true;
}
