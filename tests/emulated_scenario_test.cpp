#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "device/emulated/scenario.h"
#include "form/block_plan.h"

namespace {

TEST(EmulatorScenario, LastBlockIsTheFinalBlockOfTheLongerPlan)
{
    const BlockPlan* plan = FindBlockPlan(1048576);
    ASSERT_NE(plan, nullptr);
    EXPECT_EQ(kScenarioLastBlock, plan->blockCount - 1);
}

TEST(EmulatorScenario, EmptyTextGivesDefaults)
{
    for (const char* text : {"", "  "}) {
        EmulatorScenario scenario;
        scenario.devices = 7;
        std::string error = "stale";
        ASSERT_TRUE(ParseScenario(text, scenario, error)) << error;
        EXPECT_EQ(error, "");
        EXPECT_EQ(scenario.devices, 1);
        EXPECT_EQ(scenario.vendor, "KTDEV");
        EXPECT_EQ(scenario.product, "KT3916 FLASHER");
        EXPECT_EQ(scenario.revision, "1.00");
        EXPECT_EQ(scenario.newRevision, "1.10");
        EXPECT_EQ(scenario.rebootMs, 12500u);
        EXPECT_FALSE(scenario.neverReturn);
        EXPECT_FALSE(scenario.failBlock.has_value());
        EXPECT_FALSE(scenario.dropBlock.has_value());
        EXPECT_EQ(scenario.senseKey, 0x05);
        EXPECT_EQ(scenario.senseAsc, 0x24);
        EXPECT_EQ(scenario.senseAscq, 0x00);
        EXPECT_EQ(scenario.latencyMs, 0u);
        EXPECT_FALSE(scenario.win9x);
    }
}

TEST(EmulatorScenario, EveryKeyTakesItsValue)
{
    struct Case {
        const char* text;
        std::function<bool(const EmulatorScenario&)> holds;
    };
    const Case cases[] = {
        {"devices=0", [](const auto& s) { return s.devices == 0; }},
        {"devices=3", [](const auto& s) { return s.devices == 3; }},
        {"devices=23", [](const auto& s) { return s.devices == 23; }},
        {"vendor=ACME", [](const auto& s) { return s.vendor == "ACME"; }},
        {"vendor=", [](const auto& s) { return s.vendor.empty(); }},
        {"vendor=ABCDEFGH", [](const auto& s) { return s.vendor == "ABCDEFGH"; }},
        {"product=0123456789ABCDEF", [](const auto& s) { return s.product == "0123456789ABCDEF"; }},
        {"product=Flash Box 2", [](const auto& s) { return s.product == "Flash Box 2"; }},
        {"revision=0.9a", [](const auto& s) { return s.revision == "0.9a"; }},
        {"new_revision=2.00", [](const auto& s) { return s.newRevision == "2.00"; }},
        {"reboot_ms=0", [](const auto& s) { return s.rebootMs == 0; }},
        {"reboot_ms=4294967295", [](const auto& s) { return s.rebootMs == 4294967295u; }},
        {"never_return=1", [](const auto& s) { return s.neverReturn; }},
        {"never_return=0", [](const auto& s) { return !s.neverReturn; }},
        {"fail_block=0", [](const auto& s) { return s.failBlock == 0u; }},
        {"fail_block=8", [](const auto& s) { return s.failBlock == 8u; }},
        {"drop_block=17", [](const auto& s) { return s.dropBlock == 17u; }},
        {"fail_block=17", [](const auto& s) { return s.failBlock == 17u; }},
        {"fail_block=2,sense=3/11/0",
         [](const auto& s) { return s.senseKey == 0x03 && s.senseAsc == 0x11 && s.senseAscq == 0x00; }},
        {"fail_block=2,sense=25/Ab/ff",
         [](const auto& s) { return s.senseKey == 0x25 && s.senseAsc == 0xAB && s.senseAscq == 0xFF; }},
        {"latency_ms=250", [](const auto& s) { return s.latencyMs == 250; }},
        {"win9x=1", [](const auto& s) { return s.win9x; }},
        {"", [](const auto& s) { return s.serial == "EMU-"; }},
        {"serial=L3 bench-4/", [](const auto& s) { return s.serial == "L3 bench-4/"; }},
        {"win9x=0", [](const auto& s) { return !s.win9x; }},
        {"replug_ms=0", [](const auto& s) { return s.replugMs == 0u && !s.replugElsewhere; }},
        {"replug_ms=86400000,replug_elsewhere=1",
         [](const auto& s) { return s.replugMs == 86400000u && s.replugElsewhere; }},
        {"devices=2,plug=E+5/E-updated+9/E+updated+10/E-3",
         [](const auto& s) {
             const auto& e = s.plugEvents;
             return e.size() == 4 && !e[0].afterUpdate && e[1].afterUpdate && !e[1].attach && e[2].afterUpdate &&
                    e[2].attach && e[2].atMs == 10 && !e[3].afterUpdate && e[3].atMs == 3;
         }},
        {"devices=2, latency_ms=5, win9x=1",
         [](const auto& s) { return s.devices == 2 && s.latencyMs == 5 && s.win9x; }},
    };
    for (const Case& c : cases) {
        EmulatorScenario scenario;
        std::string error;
        ASSERT_TRUE(ParseScenario(c.text, scenario, error)) << c.text << ": " << error;
        EXPECT_TRUE(c.holds(scenario)) << c.text;
    }
}

TEST(EmulatorScenario, ErrorsNameTheKeyAndValue)
{
    struct Case {
        const char* text;
        const char* error;
    };
    const Case cases[] = {
        {"foo=1", "unknown scenario key 'foo'"},
        {"Devices=1", "unknown scenario key 'Devices'"},
        {"devices=x", "bad value 'x' for scenario key 'devices'"},
        {"devices=24", "bad value '24' for scenario key 'devices'"},
        {"devices=-1", "bad value '-1' for scenario key 'devices'"},
        {"devices=", "bad value '' for scenario key 'devices'"},
        {"devices=2x", "bad value '2x' for scenario key 'devices'"},
        {"reboot_ms=4294967296", "bad value '4294967296' for scenario key 'reboot_ms'"},
        {"reboot_ms=99999999999", "bad value '99999999999' for scenario key 'reboot_ms'"},
        {"latency_ms=600001", "bad value '600001' for scenario key 'latency_ms'"},
        {"latency_ms= 5", "bad value ' 5' for scenario key 'latency_ms'"},
        {"vendor=NINECHARS", "bad value 'NINECHARS' for scenario key 'vendor'"},
        {"product=SEVENTEEN-CHARS-X", "bad value 'SEVENTEEN-CHARS-X' for scenario key 'product'"},
        {"revision=1.000", "bad value '1.000' for scenario key 'revision'"},
        {"new_revision=12345", "bad value '12345' for scenario key 'new_revision'"},
        {"serial=0123456789abcdefghijklmno", "bad value '0123456789abcdefghijklmno' for scenario key 'serial'"},
        {"vendor=A\tB", "bad value 'A\tB' for scenario key 'vendor'"},
        {"never_return=yes", "bad value 'yes' for scenario key 'never_return'"},
        {"never_return=2", "bad value '2' for scenario key 'never_return'"},
        {"win9x=true", "bad value 'true' for scenario key 'win9x'"},
        {"fail_block=one", "bad value 'one' for scenario key 'fail_block'"},
        {"drop_block=", "bad value '' for scenario key 'drop_block'"},
        // Past the last block of a 1 MiB image nothing would ever fail.
        {"fail_block=18", "bad value '18' for scenario key 'fail_block': blocks count from 0; the last block of a "
                          "1 MiB image is 17"},
        {"drop_block=4294967295", "bad value '4294967295' for scenario key 'drop_block': blocks count from 0; the "
                                  "last block of a 1 MiB image is 17"},
        {"fail_block=1,sense=5/24", "bad value '5/24' for scenario key 'sense'"},
        {"fail_block=1,sense=5/24/0/0", "bad value '5/24/0/0' for scenario key 'sense'"},
        {"fail_block=1,sense=5/124/0", "bad value '5/124/0' for scenario key 'sense'"},
        {"fail_block=1,sense=5//0", "bad value '5//0' for scenario key 'sense'"},
        {"fail_block=1,sense=g/24/0", "bad value 'g/24/0' for scenario key 'sense'"},
        {"sense=5/24/0", "scenario key 'sense' needs 'fail_block'"},
        {"devices=1,devices=2", "duplicate scenario key 'devices'"},
        {"devices", "scenario entry 'devices' has no '='"},
        {"devices=1,,win9x=1", "empty scenario entry ''"},
        {"devices=1,", "empty scenario entry ''"},
        {"=5", "empty scenario entry '=5'"},
        {"plug=", "bad value '' for scenario key 'plug': each event is a drive letter D..Z, + or -, and a time in ms, "
                  "e.g. E+5000, or after the unit's update, e.g. E-updated+500"},
        {"devices=2,plug=E5000", "bad value 'E5000' for scenario key 'plug': each event is a drive letter D..Z, + or "
                                 "-, and a time in ms, e.g. E+5000, or after the unit's update, e.g. E-updated+500"},
        {"devices=2,plug=C+0", "bad value 'C+0' for scenario key 'plug': each event is a drive letter D..Z, + or -, "
                               "and a time in ms, e.g. E+5000, or after the unit's update, e.g. E-updated+500"},
        {"devices=2,plug=E+", "bad value 'E+' for scenario key 'plug': each event is a drive letter D..Z, + or -, and "
                              "a time in ms, e.g. E+5000, or after the unit's update, e.g. E-updated+500"},
        {"devices=2,plug=E+86400001", "bad value 'E+86400001' for scenario key 'plug': times are whole milliseconds up "
                                      "to 86400000"},
        {"devices=2,plug=E+5/E+9", "bad value 'E+5/E+9' for scenario key 'plug': drive E: must alternate between + "
                                   "and -, later each time"},
        {"devices=2,plug=E+5/D-1/E-5", "bad value 'E+5/D-1/E-5' for scenario key 'plug': drive E: must alternate "
                                       "between + and -, later each time"},
        {"devices=2,plug=E+5/", "bad value 'E+5/' for scenario key 'plug': each event is a drive letter D..Z, + or -, "
                                "and a time in ms, e.g. E+5000, or after the unit's update, e.g. E-updated+500"},
        {"devices=2,plug=E+updated+5", "bad value 'E+updated+5' for scenario key 'plug': drive E: an attach after "
                                       "an update needs a unit before it"},
        {"devices=2,plug=E+5/E-updated+9/E+updated+9", "bad value 'E+5/E-updated+9/E+updated+9' for scenario key "
                                                       "'plug': drive E: must alternate between + and -, later each "
                                                       "time"},
        {"plug=E+5000", "scenario key 'plug' names drive E: beyond the 1 device(s) of 'devices'"},
        {"devices=2,win9x=1,plug=E+5000", "scenario key 'plug' cannot be combined with 'win9x'"},
        {"win9x=1,replug_ms=100", "scenario key 'replug_ms' cannot be combined with 'win9x'"},
        {"replug_ms=86400001", "bad value '86400001' for scenario key 'replug_ms'"},
        {"replug_elsewhere=1", "scenario key 'replug_elsewhere' needs 'replug_ms'"},
        {"replug_ms=5,replug_elsewhere=2", "bad value '2' for scenario key 'replug_elsewhere'"},
    };
    for (const Case& c : cases) {
        EmulatorScenario scenario;
        scenario.devices = 5;
        std::string error;
        EXPECT_FALSE(ParseScenario(c.text, scenario, error)) << c.text;
        EXPECT_EQ(error, c.error) << c.text;
        EXPECT_EQ(scenario.devices, 5) << c.text << ": a failed parse must leave the scenario as it was";
    }
}

}  // namespace
