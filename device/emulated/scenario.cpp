#include "device/emulated/scenario.h"

#include <algorithm>
#include <charconv>
#include <set>

namespace {

constexpr int kMaxDevices = 23;  // drives D: to Z:
constexpr uint32_t kMaxLatencyMs = 600000;
constexpr uint32_t kMaxPlugMs = 86400000;  // a day

std::string_view Trim(std::string_view text)
{
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.remove_suffix(1);
    return text;
}

// Plain decimal digits only: no sign, no blanks, nothing after the number.
bool ParseUnsigned(std::string_view text, uint32_t maximum, uint32_t& value)
{
    uint64_t result = 0;
    const char* end = text.data() + text.size();
    if (text.empty() || text.size() > 10 || std::from_chars(text.data(), end, result).ptr != end || result > maximum)
        return false;
    value = static_cast<uint32_t>(result);
    return true;
}

bool ParseBool(std::string_view text, bool& value)
{
    if (text == "0" || text == "1") {
        value = text == "1";
        return true;
    }
    return false;
}

// INQUIRY fields are printable ASCII and blank-padded to a fixed width.
bool ParseText(std::string_view text, std::size_t maximum, std::string& value)
{
    if (text.size() > maximum)
        return false;
    for (char ch : text) {
        if (ch < 0x20 || ch > 0x7E)
            return false;
    }
    value.assign(text);
    return true;
}

// "KK/AA/QQ": three bytes of one or two hex digits each.
bool ParseSense(std::string_view text, uint8_t (&bytes)[3])
{
    for (int i = 0; i < 3; ++i) {
        std::size_t end = i < 2 ? text.find('/') : text.size();
        if (end == std::string_view::npos)
            return false;
        if (end == 0 || end > 2 ||
            std::from_chars(text.data(), text.data() + end, bytes[i], 16).ptr != text.data() + end)
            return false;
        text.remove_prefix(i < 2 ? end + 1 : end);
    }
    return true;
}

// "E+5000/E-60000": a drive letter, + (attach) or - (detach), the time in ms;
// "E-updated+500": a step 500 ms after the drive's unit answered with its new
// revision (an attach so timed needs a unit before it). Each drive's events
// alternate and move forward in time.
bool ParsePlugEvents(std::string_view text, std::vector<PlugEvent>& events, std::string& why)
{
    std::vector<PlugEvent> parsed;
    while (true) {
        const std::size_t slash = text.find('/');
        const std::string_view item = text.substr(0, slash);
        if (item.size() < 3 || item[0] < 'D' || item[0] > 'Z' || (item[1] != '+' && item[1] != '-')) {
            why = "each event is a drive letter D..Z, + or -, and a time in ms, e.g. E+5000, or after the unit's "
                  "update, e.g. E-updated+500";
            return false;
        }
        PlugEvent event;
        event.device = item[0] - 'D';
        event.attach = item[1] == '+';
        constexpr std::string_view kAfterUpdate = "updated+";
        std::string_view time = item.substr(2);
        if (time.starts_with(kAfterUpdate)) {
            event.afterUpdate = true;
            time.remove_prefix(kAfterUpdate.size());
        }
        if (!ParseUnsigned(time, kMaxPlugMs, event.atMs)) {
            why = "times are whole milliseconds up to " + std::to_string(kMaxPlugMs);
            return false;
        }
        const auto previous = std::find_if(parsed.rbegin(), parsed.rend(),
                                           [&event](const PlugEvent& e) { return e.device == event.device; });
        // Times on different clocks (the start, an update) are not compared.
        if (previous != parsed.rend() &&
            (previous->attach == event.attach ||
             (previous->afterUpdate == event.afterUpdate && previous->atMs >= event.atMs))) {
            why = std::string("drive ") + item[0] + ": must alternate between + and -, later each time";
            return false;
        }
        if (previous == parsed.rend() && event.afterUpdate && event.attach) {
            why = std::string("drive ") + item[0] + ": an attach after an update needs a unit before it";
            return false;
        }
        parsed.push_back(event);
        if (slash == std::string_view::npos)
            break;
        text.remove_prefix(slash + 1);
    }
    events = std::move(parsed);
    return true;
}

bool ApplyValue(std::string_view key, std::string_view value, EmulatorScenario& scenario, bool& known, std::string& why)
{
    known = true;
    uint32_t number = 0;
    if (key == "devices") {
        if (!ParseUnsigned(value, kMaxDevices, number))
            return false;
        scenario.devices = static_cast<int>(number);
        return true;
    }
    if (key == "vendor")
        return ParseText(value, 8, scenario.vendor);
    if (key == "product")
        return ParseText(value, 16, scenario.product);
    if (key == "revision")
        return ParseText(value, 4, scenario.revision);
    if (key == "new_revision")
        return ParseText(value, 4, scenario.newRevision);
    if (key == "reboot_ms")
        return ParseUnsigned(value, UINT32_MAX, scenario.rebootMs);
    if (key == "never_return")
        return ParseBool(value, scenario.neverReturn);
    if (key == "fail_block" || key == "drop_block") {
        if (!ParseUnsigned(value, UINT32_MAX, number))
            return false;
        // A block past every plan would never be reached: the run would pass
        // for a test of a failure that never happened.
        if (number > kScenarioLastBlock) {
            why = "blocks count from 0; the last block of a 1 MiB image is " + std::to_string(kScenarioLastBlock);
            return false;
        }
        (key == "fail_block" ? scenario.failBlock : scenario.dropBlock) = number;
        return true;
    }
    if (key == "sense") {
        uint8_t bytes[3];
        if (!ParseSense(value, bytes))
            return false;
        scenario.senseKey = bytes[0];
        scenario.senseAsc = bytes[1];
        scenario.senseAscq = bytes[2];
        return true;
    }
    if (key == "latency_ms")
        return ParseUnsigned(value, kMaxLatencyMs, scenario.latencyMs);
    if (key == "win9x")
        return ParseBool(value, scenario.win9x);
    if (key == "plug")
        return ParsePlugEvents(value, scenario.plugEvents, why);
    if (key == "replug_ms") {
        if (!ParseUnsigned(value, kMaxPlugMs, number))
            return false;
        scenario.replugMs = number;
        return true;
    }
    if (key == "replug_elsewhere")
        return ParseBool(value, scenario.replugElsewhere);
    if (key == "serial")
        return ParseText(value, 24, scenario.serial);
    known = false;
    return false;
}

}  // namespace

bool ParseScenario(std::string_view text, EmulatorScenario& scenario, std::string& error)
{
    EmulatorScenario result;
    std::set<std::string, std::less<>> seen;
    error.clear();
    if (Trim(text).empty()) {
        scenario = result;
        return true;
    }
    while (true) {
        std::size_t comma = text.find(',');
        std::string_view item = text.substr(0, comma);
        std::size_t equals = item.find('=');
        std::string_view key = Trim(item.substr(0, equals));
        if (key.empty()) {
            error = "empty scenario entry '" + std::string(item) + "'";
            return false;
        }
        if (equals == std::string_view::npos) {
            error = "scenario entry '" + std::string(item) + "' has no '='";
            return false;
        }
        std::string_view value = item.substr(equals + 1);
        bool known = false;
        std::string why;
        if (!ApplyValue(key, value, result, known, why)) {
            if (!known)
                error = "unknown scenario key '" + std::string(key) + "'";
            else
                error = "bad value '" + std::string(value) + "' for scenario key '" + std::string(key) + "'";
            if (!why.empty())
                error += ": " + why;
            return false;
        }
        if (!seen.insert(std::string(key)).second) {
            error = "duplicate scenario key '" + std::string(key) + "'";
            return false;
        }
        if (comma == std::string_view::npos)
            break;
        text.remove_prefix(comma + 1);
    }
    // A sense without a failing block would change nothing: say so instead.
    if (seen.count("sense") != 0 && !result.failBlock) {
        error = "scenario key 'sense' needs 'fail_block'";
        return false;
    }
    for (const PlugEvent& event : result.plugEvents) {
        if (event.device >= result.devices) {
            error = std::string("scenario key 'plug' names drive ") + static_cast<char>('D' + event.device) +
                    ": beyond the " + std::to_string(result.devices) + " device(s) of 'devices'";
            return false;
        }
    }
    if (result.replugElsewhere && !result.replugMs) {
        error = "scenario key 'replug_elsewhere' needs 'replug_ms'";
        return false;
    }
    // The ASPI layer's adapter list is fixed when it is loaded.
    for (const char* key : {"plug", "replug_ms"}) {
        if (seen.count(key) != 0 && result.win9x) {
            error = std::string("scenario key '") + key + "' cannot be combined with 'win9x'";
            return false;
        }
    }
    scenario = result;
    return true;
}
