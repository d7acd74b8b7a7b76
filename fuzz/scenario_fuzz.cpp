// The emulator's scenario text (with plug=). An accepted scenario is one the
// emulated devices can play: its values are in range, and written out again
// as key=value text it parses to the same scenario.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "device/emulated/scenario.h"
#include "fuzz/fuzz_check.h"

namespace {

std::string ScenarioText(const EmulatorScenario& s)
{
    std::string text = "devices=" + std::to_string(s.devices) + ",vendor=" + s.vendor + ",product=" + s.product +
                       ",revision=" + s.revision + ",new_revision=" + s.newRevision +
                       ",reboot_ms=" + std::to_string(s.rebootMs) + ",never_return=" + (s.neverReturn ? "1" : "0") +
                       ",latency_ms=" + std::to_string(s.latencyMs) + ",win9x=" + (s.win9x ? "1" : "0") +
                       ",serial=" + s.serial;
    if (s.failBlock) {
        char sense[16];
        std::snprintf(sense, sizeof sense, "%X/%X/%X", s.senseKey, s.senseAsc, s.senseAscq);
        text += ",fail_block=" + std::to_string(*s.failBlock) + ",sense=" + sense;
    }
    if (s.dropBlock)
        text += ",drop_block=" + std::to_string(*s.dropBlock);
    if (s.replugMs)
        text += ",replug_ms=" + std::to_string(*s.replugMs) + ",replug_elsewhere=" + (s.replugElsewhere ? "1" : "0");
    for (size_t i = 0; i < s.plugEvents.size(); ++i) {
        const PlugEvent& e = s.plugEvents[i];
        text += (i == 0 ? ",plug=" : "/") + std::string(1, static_cast<char>('D' + e.device)) + (e.attach ? "+" : "-") +
                (e.afterUpdate ? "updated+" : "") + std::to_string(e.atMs);
    }
    return text;
}

bool SameScenario(const EmulatorScenario& a, const EmulatorScenario& b)
{
    if (a.plugEvents.size() != b.plugEvents.size())
        return false;
    for (size_t i = 0; i < a.plugEvents.size(); ++i) {
        const PlugEvent& x = a.plugEvents[i];
        const PlugEvent& y = b.plugEvents[i];
        if (x.device != y.device || x.attach != y.attach || x.afterUpdate != y.afterUpdate || x.atMs != y.atMs)
            return false;
    }
    return a.devices == b.devices && a.vendor == b.vendor && a.product == b.product && a.revision == b.revision &&
           a.newRevision == b.newRevision && a.rebootMs == b.rebootMs && a.neverReturn == b.neverReturn &&
           a.failBlock == b.failBlock && a.senseKey == b.senseKey && a.senseAsc == b.senseAsc &&
           a.senseAscq == b.senseAscq && a.dropBlock == b.dropBlock && a.latencyMs == b.latencyMs &&
           a.win9x == b.win9x && a.replugMs == b.replugMs && a.replugElsewhere == b.replugElsewhere &&
           a.serial == b.serial;
}

bool PrintableWithin(const std::string& text, size_t longest)
{
    if (text.size() > longest)
        return false;
    for (char ch : text) {
        if (ch < 0x20 || ch > 0x7E)
            return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    EmulatorScenario scenario;
    scenario.devices = 99;  // a failed parse leaves the caller's scenario alone
    std::string error;
    if (!ParseScenario(text, scenario, error)) {
        KT_FUZZ_CHECK(!error.empty());
        KT_FUZZ_CHECK(scenario.devices == 99);
        return 0;
    }
    KT_FUZZ_CHECK(error.empty());

    KT_FUZZ_CHECK(scenario.devices >= 0 && scenario.devices <= 23);
    KT_FUZZ_CHECK(PrintableWithin(scenario.vendor, 8) && PrintableWithin(scenario.product, 16));
    KT_FUZZ_CHECK(PrintableWithin(scenario.revision, 4) && PrintableWithin(scenario.newRevision, 4));
    KT_FUZZ_CHECK(!scenario.failBlock || *scenario.failBlock <= kScenarioLastBlock);
    KT_FUZZ_CHECK(!scenario.dropBlock || *scenario.dropBlock <= kScenarioLastBlock);
    KT_FUZZ_CHECK(scenario.plugEvents.empty() || !scenario.win9x);
    for (size_t i = 0; i < scenario.plugEvents.size(); ++i) {
        const PlugEvent& event = scenario.plugEvents[i];
        KT_FUZZ_CHECK(event.device >= 0 && event.device < scenario.devices);
        bool first = true;
        for (size_t k = i; k-- > 0;) {
            const PlugEvent& before = scenario.plugEvents[k];
            if (before.device != event.device)
                continue;
            // Times on different clocks (the start, an update) are not ordered.
            KT_FUZZ_CHECK(before.attach != event.attach &&
                          (before.afterUpdate != event.afterUpdate || before.atMs < event.atMs));
            first = false;
            break;
        }
        // An attach after an update needs a unit before it.
        KT_FUZZ_CHECK(!first || !event.afterUpdate || !event.attach);
    }

    const std::string printed = ScenarioText(scenario);
    EmulatorScenario reparsed;
    std::string reparseError;
    if (!ParseScenario(printed, reparsed, reparseError)) {
        std::fprintf(stderr, "'%s' does not parse again: %s\n", printed.c_str(), reparseError.c_str());
        KT_FUZZ_CHECK(false);
    }
    KT_FUZZ_CHECK(SameScenario(scenario, reparsed));
    return 0;
}
