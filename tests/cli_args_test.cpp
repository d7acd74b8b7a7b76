#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cli/cli_args.h"
#include "run/exit_codes.h"
#include "tests/cli_test_support.h"

using cli_test::RunTool;

TEST(CliArguments, MalformedCommandLinesAreUsageErrorsThatSayWhy)
{
    const struct {
        std::vector<std::string> args;
        const char* message;
    } cases[] = {
        {{}, "missing command: list, info, flash, station, udev-rule or line"},
        {{"--json"}, "missing command: list, info, flash, station, udev-rule or line"},
        {{"erase"}, "unknown command 'erase'"},
        {{"flash"}, "'flash' needs an image file"},
        {{"info"}, "'info' needs an image file"},
        {{"flash", ""}, "the image path is empty"},
        {{"list", "extra"}, "unexpected argument 'extra'"},
        {{"flash", "a.bin", "b.bin"}, "unexpected argument 'b.bin'"},
        {{"flash", "a.bin", "--bogus"}, "unknown option '--bogus'"},
        {{"flash", "a.bin", "-x"}, "unknown option '-x'"},
        {{"flash", "a.bin", "--device"}, "option '--device' needs a value"},
        {{"flash", "a.bin", "--device="}, "option '--device' needs a value"},
        {{"flash", "a.bin", "-d", "D", "--device", "E"}, "option '--device' given twice"},
        {{"flash", "a.bin", "--device", "D", "--all"}, "--device and --all exclude each other"},
        {{"flash", "a.bin", "--all=yes"}, "option '--all' takes no value"},
        {{"flash", "a.bin", "--json=1"}, "option '--json' takes no value"},
        {{"list", "--all"}, "--all is for 'flash' only"},
        {{"info", "a.bin", "--device", "D"}, "--device is for 'flash' and 'udev-rule' only"},
        {{"udev-rule"}, "udev-rule needs --device: the drive whose vendor and product the rule names"},
        {{"udev-rule", "--all"}, "--all is for 'flash' only"},
        {{"udev-rule", "-d", "D", "--json"}, "--json is not for 'udev-rule': it prints a udev rule"},
        {{"udev-rule", "a.bin", "-d", "D"}, "unexpected argument 'a.bin'"},
        {{"list", "--transcript", "t.jsonl"},
         "--transcript records the emulated devices' commands: use it with "
         "--emulate"},
        {{"--emulate", "list", "--transcript"}, "option '--transcript' needs a value"},
        {{"--emulate", "--emulate=devices=2", "list"}, "option '--emulate' given twice"},
        {{"list", "--json", "--json"}, "option '--json' given twice"},
        {{"flash", "a.bin", "--all", "--all"}, "option '--all' given twice"},
        {{"--emulate", "--transcript", "a.jsonl", "list", "--transcript=b.jsonl"}, "option '--transcript' given twice"},
        {{"--emulate", "--transcript", "--json", "list"},
         "option '--transcript' needs a value, not the option '--json'"},
        {{"flash", "a.bin", "--device", "--all"}, "option '--device' needs a value, not the option '--all'"},
        {{"flash", "a.bin", "-d", "-x"}, "option '-d' needs a value, not the option '-x'"},
        {{"--emulate=devices=many", "list"}, "bad emulator scenario 'devices=many': "},
        {{"--emulate=colour=blue", "list"}, "bad emulator scenario 'colour=blue': "},
        {{"list", "--expect-identity", "KTDEV KT3916 FLASHER"}, "--expect-identity is for 'flash' and 'station' only"},
        {{"info", "a.bin", "--poll-window", "13..30"}, "--poll-window is for 'flash' and 'station' only"},
        {{"flash", "a.bin", "--expect-identity", "--all"},
         "option '--expect-identity' needs a value, not the option '--all'"},
        {{"flash", "a.bin", "--expect-identity", "   "}, "option '--expect-identity' needs a value"},
        {{"flash", "a.bin", "--expect-identity", "KTDEV KT3916 FLASHER WITH MORE"},
         "--expect-identity 'KTDEV KT3916 FLASHER WITH MORE' is longer than an INQUIRY vendor (8)"},
        {{"flash", "a.bin", "--new-revision", "1.10", "--new-revision=1.10"}, "option '--new-revision' given twice"},
        {{"flash", "a.bin", "--expect-revision", "1.100"},
         "--expect-revision '1.100' is longer than an INQUIRY revision (4 characters)"},
        {{"flash", "a.bin", "--poll-window", "12..30"}, "--poll-window cannot start before tick 13"},
        {{"flash", "a.bin", "--poll-window", "0..21"}, "--poll-window cannot start before tick 13"},
        {{"flash", "a.bin", "--poll-window", "30..20"}, "--poll-window 30..20 ends before it starts"},
        {{"flash", "a.bin", "--poll-window", "13..601"}, "--poll-window ends at tick 600 (ten minutes) at the latest"},
        {{"flash", "a.bin", "--poll-window", "13..9999999"},
         "--poll-window ends at tick 600 (ten minutes) at the "
         "latest, not 9999999"},
        {{"flash", "a.bin", "--poll-window", "99999999999999999999..30"},
         "--poll-window 99999999999999999999..30 ends before it starts"},
        {{"--emulate", "--log", "-", "list"}, "--log takes a file, not '-': stdout carries the events"},
        {{"--emulate", "--transcript=-", "list"}, "--transcript takes a file, not '-'"},
        {{"flash", "a.bin", "--poll-window", "13-30"}, "--poll-window takes FIRST..LAST"},
        {{"flash", "a.bin", "--poll-window", "13.."}, "--poll-window takes FIRST..LAST"},
        {{"flash", "a.bin", "--poll-window", "..30"}, "--poll-window takes FIRST..LAST"},
        {{"flash", "a.bin", "--poll-window", "13..30..40"}, "--poll-window takes FIRST..LAST"},
        {{"flash", "a.bin", "--poll-window", "+13..30"}, "--poll-window takes FIRST..LAST"},
        {{"flash", "a.bin", "--poll-window=-13..30"}, "--poll-window takes FIRST..LAST"},
        {{"flash", "a.bin", "--poll-window", "-13..30"}, "option '--poll-window' needs a value, not the option"},
        {{"line"}, "'line' needs approve IMAGE, watch, collect, serve or report"},
        {{"line", "erase"}, "'line' needs approve IMAGE, watch, collect, serve or report"},
        {{"line", "approve"}, "'line approve' needs an image file"},
        {{"line", "watch", "extra"}, "unexpected argument 'extra'"},
        {{"line", "watch"}, "'line watch' needs --line mqtt[s]://HOST[:PORT]/LINE"},
        {{"line", "collect", "--line", "mqtt://h/L"}, "'line collect' needs --db FILE"},
        {{"line", "collect", "--db", "d", "--import", "l", "--line", "mqtt://h/L"},
         "'line collect --import' loads one log and ends: without --line"},
        {{"line", "approve", "a.bin", "--line", "mqtt://h/L", "--json"},
         "--json is for 'line watch' and 'line report' only"},
        {{"line", "watch", "--line", "mqtt://h/L", "--emulate"}, "'line watch' talks to the line's broker only"},
        {{"station", "a.bin", "--expect-identity", "KTDEV KT3916 FLASHER", "--line", "mqtt://h/L"},
         "station --line needs --log FILE"},
        {{"flash", "a.bin", "--line", "mqtt://h/L"}, "--line is for 'station' and 'line' only"},
        {{"station", "a.bin", "--expect-identity", "KTDEV KT3916 FLASHER", "--log", "l", "--line-ca", "ca.pem"},
         "--line-ca needs --line"},
        {{"station", "a.bin", "--expect-identity", "KTDEV KT3916 FLASHER", "--log", "l", "--station-name", "s1"},
         "--station-name is for 'station --line' and 'line collect --import' only"},
        {{"line", "watch", "--line", "mqtt://h/L", "--line-without-approval"},
         "--line-without-approval is for 'station' only"},
        {{"list", "--db", "d"}, "--db is for 'line collect' and 'line serve' and 'line report' only"},
        {{"line", "serve"}, "'line serve' needs --db FILE"},
        {{"line", "report", "--since", "2026-12-10"}, "'line report' needs --db FILE"},
        {{"line", "report", "--db", "d", "--line", "mqtt://h/L"}, "'line report' reads --db only: without --line"},
        {{"line", "report", "--db", "d", "--json", "--csv"}, "--json and --csv exclude each other"},
        {{"line", "serve", "--db", "d", "--csv"}, "--csv is for 'line report' only"},
        {{"line", "serve", "--db", "d", "--until", "2026-12-10"}, "--until is for 'line report' only"},
        {{"line", "report", "--db", "d", "--http", "127.0.0.1:1"}, "--http is for 'line serve' only"},
        {{"line", "watch", "--line", "mqtt://h/L", "--line", "mqtt://h/M"}, "option '--line' given twice"},
        // Each option's commands, one option of each kind of set.
        {{"list", "--units", "3"}, "--units is for 'station' only"},
        {{"udev-rule", "-d", "D", "--new-revision", "1.10"}, "--new-revision is for 'flash' and 'station' only"},
        {{"list", "--line-credentials", "c"}, "--line-credentials is for 'station' and 'line' only"},
        {{"line", "watch", "--line", "mqtt://h/L", "--import", "l"}, "--import is for 'line collect' only"},
        {{"station", "a.bin", "--expect-identity", "KTDEV KT3916 FLASHER", "--line-credentials", "c"},
         "--line-credentials needs --line"},
        // --help and --version take no value: with one they are no option.
        {{"list", "--help=1"}, "unknown option '--help'"},
    };
    for (const auto& c : cases) {
        const auto run = RunTool(c.args);
        std::string joined;
        for (const auto& a : c.args)
            joined += a + " ";
        EXPECT_EQ(run.exit, kExitUsage) << joined;
        EXPECT_NE(run.err.find(std::string("kt3916flash-cli: ") + c.message), std::string::npos) << joined << "\n"
                                                                                                 << run.err;
        EXPECT_NE(run.err.find("Try 'kt3916flash-cli --help'."), std::string::npos) << joined;
        EXPECT_EQ(run.out, "") << joined;
    }
}

TEST(CliArguments, BadScenarioNamesTheKey)
{
    const auto run = RunTool({"--emulate=colour=blue", "list"});
    EXPECT_NE(run.err.find("colour"), std::string::npos) << run.err;
}

TEST(CliArguments, OptionsStandAnywhereAndTakeBothForms)
{
    const struct {
        std::vector<std::string> args;
        CliCommand command;
        std::string image;
        std::string device;
        bool all, emulate, json;
        std::string scenario;
    } cases[] = {
        {{"flash", "x.bin"}, CliCommand::Flash, "x.bin", "", false, false, false, ""},
        {{"--device", "E:", "flash", "x.bin"}, CliCommand::Flash, "x.bin", "E:", false, false, false, ""},
        {{"flash", "--device=/dev/sg1", "x.bin"}, CliCommand::Flash, "x.bin", "/dev/sg1", false, false, false, ""},
        {{"flash", "x.bin", "-d", "2", "--json"}, CliCommand::Flash, "x.bin", "2", false, false, true, ""},
        {{"--emulate", "flash", "x.bin", "--all"}, CliCommand::Flash, "x.bin", "", true, true, false, ""},
        {{"--emulate=devices=3,reboot_ms=0", "list"},
         CliCommand::List,
         "",
         "",
         false,
         true,
         false,
         "devices=3,reboot_ms=0"},
        {{"info", "--", "--odd-name.bin"}, CliCommand::Info, "--odd-name.bin", "", false, false, false, ""},
        {{"flash", "-"}, CliCommand::Flash, "-", "", false, false, false, ""},
        // '=' says the value is meant, even one that starts with a hyphen.
        {{"flash", "x.bin", "--device=-1"}, CliCommand::Flash, "x.bin", "-1", false, false, false, ""},
        {{"list", "--bogus", "--help"}, CliCommand::Help, "", "", false, false, false, ""},
        {{"erase", "-V"}, CliCommand::Version, "", "", false, false, false, ""},
    };
    for (const auto& c : cases) {
        CliOptions options;
        std::string error;
        ASSERT_TRUE(ParseCliArguments(c.args, options, error)) << error;
        EXPECT_EQ(options.command, c.command) << c.args[0];
        EXPECT_EQ(options.strImage, c.image);
        EXPECT_EQ(options.device.value_or(""), c.device);
        EXPECT_EQ(options.bAll, c.all);
        EXPECT_EQ(options.bEmulate, c.emulate);
        EXPECT_EQ(options.bJson, c.json);
        EXPECT_EQ(options.strScenario, c.scenario);
    }
}

TEST(CliArguments, PollWindowAndExpectationsAreTaken)
{
    const struct {
        std::vector<std::string> args;
        VerifyWindow window;
        const char* identity;
        const char* revision;
    } cases[] = {
        {{"flash", "x.bin"}, {13, 21}, nullptr, nullptr},
        {{"flash", "x.bin", "--poll-window", "13..30"}, {13, 30}, nullptr, nullptr},
        {{"flash", "x.bin", "--poll-window=600..600"}, {600, 600}, nullptr, nullptr},
        {{"flash", "x.bin", "--expect-identity", "KTDEV KT3916 FLASHER  ", "--expect-revision=1.00 "},
         {13, 21},
         "KTDEV KT3916 FLASHER",
         "1.00"},
    };
    for (const auto& c : cases) {
        CliOptions options;
        std::string error;
        ASSERT_TRUE(ParseCliArguments(c.args, options, error)) << error;
        EXPECT_EQ(options.pollWindow.nFirstInquiryTick, c.window.nFirstInquiryTick);
        EXPECT_EQ(options.pollWindow.nLastTick, c.window.nLastTick);
        EXPECT_EQ(options.expected.identity.value_or("-"), c.identity ? c.identity : "-");
        EXPECT_EQ(options.expected.revision.value_or("-"), c.revision ? c.revision : "-");
    }
}

TEST(CliArguments, HelpListsEveryExitCodeAndVersionIs110)
{
    const auto help = RunTool({"--help"});
    EXPECT_EQ(help.exit, kExitSuccess);
    for (const CliExitDescription& d : kCliExitDescriptions) {
        char line[16];
        std::snprintf(line, sizeof line, "  %3d  ", static_cast<int>(d.code));
        EXPECT_NE(help.out.find(std::string(line) + d.text), std::string::npos) << d.code;
    }
    const auto version = RunTool({"--version"});
    EXPECT_EQ(version.exit, kExitSuccess);
    EXPECT_EQ(version.out, "kt3916flash-cli 1.10\n");
}

TEST(CliArguments, ExitCodesAreDistinct)
{
    for (const CliExitDescription& a : kCliExitDescriptions) {
        for (const CliExitDescription& b : kCliExitDescriptions) {
            if (&a != &b) {
                EXPECT_NE(a.code, b.code);
                EXPECT_STRNE(a.name, b.name);
            }
        }
    }
}
