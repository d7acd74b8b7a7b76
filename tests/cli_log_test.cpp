#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "cli/interrupt.h"
#include "device/emulated/emulated_host.h"
#include "device/emulated/scenario.h"
#include "run/exit_codes.h"
#include "tests/cli_test_support.h"
#include "tests/emulated_host_probe.h"
#include "tests/temp_image.h"

using cli_test::Events;
using cli_test::JsonReader;
using cli_test::Lines;
using cli_test::RunTool;
using cli_test::Scenario;

namespace {

using Fields = std::map<std::string, std::string>;

Fields ResultEvent(const std::string& out)
{
    for (const std::string& line : Lines(out)) {
        Fields fields;
        if (JsonReader::ParseObject(line, fields) && fields["event"] == "result")
            return fields;
    }
    return {};
}

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

TEST(CliLog, AFailedFlashNamesTheCommandAndWhy)
{
    TempImage image(PatternImage(524288, 5));
    const struct {
        const char* scenario;
        const char* note;
        const char* sense;  // of the result event, "" when absent
        const char* senseText;
        const char* hostError;
    } cases[] = {
        {"fail_block=0,sense=05/20/00",
         "the device refused block 1 of 9: CHECK CONDITION, sense 05/20/00 ILLEGAL REQUEST, "
         "INVALID COMMAND OPERATION CODE",
         "05/20/00", "ILLEGAL REQUEST, INVALID COMMAND OPERATION CODE", ""},
        {"fail_block=3",
         "the device refused block 4 of 9: CHECK CONDITION, sense 05/24/00 ILLEGAL REQUEST, "
         "INVALID FIELD IN CDB",
         "05/24/00", "ILLEGAL REQUEST, INVALID FIELD IN CDB", ""},
        {"fail_block=8,sense=02/3a/00",
         "the device refused block 9 of 9: CHECK CONDITION, sense 02/3A/00 NOT READY, "
         "MEDIUM NOT PRESENT",
         "02/3A/00", "NOT READY, MEDIUM NOT PRESENT", ""},
        {"drop_block=2", "the pass-through call failed on block 3 of 9: emulated host: the device did not answer", "",
         "", "emulated host: the device did not answer"},
        {"replug_ms=14500,replug_elsewhere=1",
         "the pass-through call failed on the last INQUIRY: emulated host: the device left the bus and came back at "
         "another drive",
         "", "",
         "emulated host: the device left the bus and came back at another drive, where this handle does not follow "
         "it"},
    };
    for (const auto& c : cases) {
        ManualClock clock;
        RecordedHost host(Scenario(c.scenario), clock);
        const auto json = RunTool({"flash", image.Path(), "--json"}, &host, &clock);
        EXPECT_EQ(json.exit, std::string(c.scenario).find("replug") == 0 ? kExitNoReturn : kExitSendFailure)
            << c.scenario;
        const Fields result = ResultEvent(json.out);
        ASSERT_FALSE(result.empty()) << c.scenario << json.out;
        EXPECT_NE(result.at("notes").find(c.note), std::string::npos) << c.scenario << ": " << result.at("notes");
        const auto field = [&](const char* name) { return result.count(name) ? result.at(name) : std::string(); };
        EXPECT_EQ(field("sense"), c.sense) << c.scenario;
        EXPECT_EQ(field("sense_text"), c.senseText) << c.scenario;
        EXPECT_EQ(field("host_error"), c.hostError) << c.scenario;

        RecordedHost again(Scenario(c.scenario), clock);
        const auto plain = RunTool({"flash", image.Path()}, &again, &clock);
        EXPECT_NE(plain.err.find(std::string("D: ") + c.note), std::string::npos) << c.scenario << plain.err;
    }

    ManualClock clock;
    RecordedHost host(Scenario("reboot_ms=0"), clock);
    const Fields result = ResultEvent(RunTool({"flash", image.Path(), "--json"}, &host, &clock).out);
    EXPECT_EQ(result.count("sense") + result.count("host_error"), 0u) << "a success has nothing to explain";
}

TEST(CliLog, EveryCommandTheDevicesReceiveIsALineAppended)
{
    TempImage image(PatternImage(524288, 6));
    const std::string log = image.Path() + ".log.jsonl";
    {
        std::ofstream(log, std::ios::binary) << "{\"earlier\":true}\n";
    }
    ManualClock clock;
    RecordedHost host(Scenario("devices=2,reboot_ms=0,fail_block=4"), clock);
    const auto list = RunTool({"list", "--log", log}, &host, &clock);
    EXPECT_EQ(list.exit, kExitSuccess) << list.err;
    const auto flash = RunTool({"--log", log, "flash", image.Path(), "--all"}, &host, &clock);
    EXPECT_EQ(flash.exit, kExitSomeFailed) << flash.err;

    const std::vector<std::string> lines = Lines(ReadFile(log));
    const auto records = host.Records();
    EXPECT_EQ(lines[0], "{\"earlier\":true}");
    // Each device's commands in its own order; the devices' lines interleave.
    // Each run starts with its record, and every line says which run it is.
    std::map<std::string, std::vector<std::string>> logged;
    std::map<std::string, std::vector<std::string>> received;
    std::map<std::string, int> kinds;
    std::vector<std::string> results;
    std::string run;
    for (std::size_t i = 1; i < lines.size(); ++i) {
        Fields fields;
        ASSERT_TRUE(JsonReader::ParseObject(lines[i], fields)) << lines[i];
        if (fields.count("record")) {
            ++kinds[fields.at("record")];
            if (fields.at("record") == "run-start")
                run = fields.at("run");
            if (fields.at("record") == "unit-end")
                results.push_back(fields.at("result"));
            if (fields.at("record") != "run-start") {  // each emulated drive's first unit
                EXPECT_EQ(fields["serial"], "EMU-" + fields.at("device").substr(0, 1) + "1") << lines[i];
            }
            EXPECT_EQ(fields.at("run"), run) << lines[i];
            continue;
        }
        EXPECT_EQ(fields.at("run"), run) << lines[i];
        EXPECT_EQ(fields.at("node"), "emulated");
        logged[fields.at("drive")].push_back(fields.at("cdb") + " " + fields.at("result"));
    }
    EXPECT_EQ(lines.size(), records.size() + 1 + 2 + 2 + 2);
    EXPECT_EQ(kinds, (std::map<std::string, int>{{"run-start", 2}, {"unit-end", 2}, {"unit-start", 2}}));
    EXPECT_EQ(results, (std::vector<std::string>{"failed", "failed"})) << "fail_block=4 fails both";
    for (const TranscriptRecord& record : records) {
        Fields fields;
        ASSERT_TRUE(JsonReader::ParseObject(TranscriptLineText(record), fields));
        received[fields.at("drive")].push_back(fields.at("cdb") + " " + fields.at("result"));
    }
    EXPECT_EQ(logged, received);
    std::remove(log.c_str());
}

TEST(CliLog, ALogThatCannotBeOpenedStopsTheRunBeforeAnyCommand)
{
    TempImage image(PatternImage(524288, 7));
    ManualClock clock;
    RecordedHost host(Scenario("reboot_ms=0"), clock);
    const std::string log = image.Path() + ".missing/log.jsonl";
    const auto run = RunTool({"flash", image.Path(), "--log", log}, &host, &clock);
    EXPECT_EQ(run.exit, kExitError);
    EXPECT_NE(run.err.find("cannot open the log file " + log), std::string::npos) << run.err;
    EXPECT_TRUE(host.Records().empty());
}

// A run whose start cannot be recorded sends nothing, whatever it is, and
// says so in its one result event and its exit code.
TEST(CliLog, NoDeviceIsFlashedWithoutARecord)
{
    TempImage image(PatternImage(524288, 8));
    const std::vector<std::string> station = {"station", "--expect-identity", "KTDEV KT3916 FLASHER", "--units", "2"};
    for (const std::vector<std::string>& command : {std::vector<std::string>{"flash"}, {"flash", "--all"}, station}) {
        ManualClock clock;
        RecordedHost host(Scenario("devices=2,reboot_ms=0,plug=D+0/E+30000"), clock);
        std::vector<std::string> args = command;
        args.insert(args.begin() + 1, image.Path());
        args.insert(args.end(), {"--json", "--log", "/dev/full"});
        const auto run = RunTool(args, &host, &clock);
        EXPECT_EQ(run.exit, kExitError) << args[1] << "\n" << run.err;
        EXPECT_NE(run.err.find("the run's start could not be recorded in /dev/full: No space left on device"),
                  std::string::npos)
            << run.err;
        EXPECT_TRUE(host.Records().empty()) << args[1] << ": a command was sent";
        const auto events = Events(run.out, "result");
        ASSERT_EQ(events.size(), 1u) << run.out;
        EXPECT_EQ(events[0].at("exit_code"), std::to_string(kExitError)) << run.out;
    }

    // One file for the log and the transcript would mix two formats.
    const std::string both = image.Path() + ".both.jsonl";
    const auto run = RunTool({"--emulate", "flash", image.Path(), "--transcript", both, "--log", both});
    EXPECT_EQ(run.exit, kExitUsage) << run.err;
    EXPECT_NE(run.err.find("the log and the transcript are one file: " + both), std::string::npos) << run.err;
    EXPECT_EQ(ReadFile(both), "");
    std::remove(both.c_str());
}

// A unit a crash left half-flashed is told by the next station on that log,
// once: the log then records that it was told.
TEST(CliLog, AUnitACrashLeftUnderWayIsToldOnce)
{
    TempImage image(PatternImage(524288, 11));
    const std::string log = image.Path() + ".crash.jsonl";
    {
        std::ofstream out(log, std::ios::binary);
        out << "{\"record\":\"unit-start\",\"unit\":\"r1-u1\",\"run\":\"r1\",\"time\":\"T1\",\"device\":\"E:\","
               "\"node\":\"/dev/sg3\",\"identity\":\"KTDEV KT3916 FLASHER\"}\n";
        for (const char* result : {"good", "good", "check", "good"})
            out << "{\"run\":\"r1\",\"drive\":\"E\",\"cdb\":\"fa00\",\"result\":\"" << result << "\"}\n";
        out << "{\"run\":\"r2\",\"drive\":\"E\",\"cdb\":\"fa00\",\"result\":\"good\"}\n";
        out << "{\"record\":\"unit-start\",\"unit\":\"r1-u2\",\"run\":\"r1\",\"device\":\"D:\"}\n";
        out << "{\"record\":\"unit-end\",\"unit\":\"r1-u2\",\"run\":\"r1\"}\n";
    }
    for (size_t told : {1u, 0u}) {
        ManualClock clock;
        CInterruptFlag interrupt;
        interrupt.Raise();
        RecordedHost host(Scenario("devices=0"), clock);
        const auto run =
            RunTool({"station", image.Path(), "--json", "--log", log, "--expect-identity", "KTDEV KT3916 FLASHER"},
                    &host, &clock, &interrupt);
        const auto events = Events(run.out, "unfinished-unit");
        ASSERT_EQ(events.size(), told) << run.out;
        if (told) {
            EXPECT_EQ(events[0].at("unit"), "r1-u1");
            EXPECT_EQ(events[0].at("blocks_sent"), "3") << "the refused block and another run's are not its";
            EXPECT_NE(
                run.err.find("E: /dev/sg3 KTDEV KT3916 FLASHER: its flash started at T1 (run r1) and never ended"),
                std::string::npos)
                << run.err;
        }
    }
    std::remove(log.c_str());
}

// What becomes of a station's log mid-shift, between its two units: a
// rotation by rename is followed and loses no line; a log deleted, or
// replaced with the station's file unlinked, stops it taking units.
TEST(CliLog, AStationFollowsARenamedLogAndStopsOnAGoneOne)
{
#ifdef _WIN32
    GTEST_SKIP() << "a file open for writing cannot be deleted or renamed there";
#endif
    const struct {
        const char* name;
        void (*act)(const std::string& log);
        bool followed;
        bool oldDeletedLater = false;  // a moment later, while the station waits
    } rows[] = {
        {"deleted", [](const std::string& log) { std::remove(log.c_str()); }, false},
        {"replaced by another file",
         [](const std::string& log) {
             std::ofstream(log + ".other") << "{\"other\":1}\n";
             std::rename((log + ".other").c_str(), log.c_str());
         },
         false},
        {"renamed away, nothing at the path",
         [](const std::string& log) { std::rename(log.c_str(), (log + ".1").c_str()); }, true},
        {"renamed away, a file at the path without its last newline",
         [](const std::string& log) {
             std::rename(log.c_str(), (log + ".1").c_str());
             std::ofstream(log) << "{\"cut\":tr";
         },
         true},
        {"renamed away, the renamed file deleted a moment later",
         [](const std::string& log) { std::rename(log.c_str(), (log + ".1").c_str()); }, true, true},
    };
    TempImage image(PatternImage(524288, 12));
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const std::string log = image.Path() + ".rotated.jsonl";
        cli_test::CMarkClock clock({{30000, [&log, &row]() { row.act(log); }}, {40000, [&log, &row]() {
                                                                                    if (row.oldDeletedLater)
                                                                                        std::remove(
                                                                                            (log + ".1").c_str());
                                                                                }}});
        RecordedHost host(Scenario("devices=2,reboot_ms=0,plug=D+0/E+60000"), clock);
        const auto run = RunTool({"station", image.Path(), "--json", "--log", log, "--expect-identity",
                                  "KTDEV KT3916 FLASHER", "--units", "2"},
                                 &host, &clock);
        size_t ejects = 0;
        for (const TranscriptRecord& r : host.Records())
            ejects += r.cdb[0] == 0x1B;
        const bool toldGone = run.err.find("the log file was deleted or replaced while the tool wrote to it: " + log) !=
                              std::string::npos;
        const bool toldRenamed = run.err.find(log + " was renamed away (rotated)") != std::string::npos;
        EXPECT_EQ(toldGone, !row.followed) << run.err;
        EXPECT_EQ(toldRenamed, row.followed) << run.err;
        EXPECT_EQ(run.exit, row.followed ? kExitSuccess : kExitError) << run.err;
        EXPECT_EQ(Events(run.out, "error").size(), row.followed ? 0u : 1u) << run.out;
        EXPECT_EQ(ejects, row.followed ? 2u : 1u);
        if (row.followed) {
            // Each unit's records whole in one file: the first before the
            // rename, the second after; every line a record of its own.
            for (const auto& [path, unit] : {std::pair{log + ".1", "u1"}, std::pair{log, "u2"}}) {
                if (row.oldDeletedLater && unit == std::string("u1"))
                    continue;
                size_t ends = 0;
                for (const std::string& line : Lines(ReadFile(path))) {
                    Fields fields;
                    ASSERT_TRUE(JsonReader::ParseObject(line, fields) || line == "{\"cut\":tr") << path << ": " << line;
                    if (fields["record"] == "unit-end") {
                        ++ends;
                        EXPECT_NE(fields["unit"].find(unit), std::string::npos) << path << ": " << line;
                    }
                }
                EXPECT_EQ(ends, 1u) << path;
            }
        }
        for (const char* suffix : {"", ".1"})
            std::remove((log + suffix).c_str());
    }
}

// A rotation that leaves no file at the path but a device: the station
// cannot follow it, says why, stops taking units, and keeps no descriptor of
// the attempt.
TEST(CliLog, AStationThatCannotFollowARenameStopsAndLeaksNothing)
{
#ifdef _WIN32
    GTEST_SKIP() << "a file open for writing cannot be renamed there";
#else
    TempImage image(PatternImage(524288, 12));
    const std::string log = image.Path() + ".dir.jsonl";
    cli_test::CMarkClock clock(30000, [&log]() {
        std::rename(log.c_str(), (log + ".1").c_str());
        std::filesystem::create_symlink("/dev/null", log);
    });
    RecordedHost host(Scenario("devices=2,reboot_ms=0,plug=D+0/E+60000"), clock);
    const auto descriptors = [] { return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}); };
    const auto before = descriptors();
    const auto run =
        RunTool({"station", image.Path(), "--log", log, "--expect-identity", "KTDEV KT3916 FLASHER", "--units", "2"},
                &host, &clock);
    EXPECT_EQ(descriptors(), before);
    EXPECT_EQ(run.exit, kExitError) << run.err;
    EXPECT_NE(run.err.find(log), std::string::npos) << run.err;
    std::filesystem::remove(log);
    std::filesystem::remove(log + ".1");
#endif
}

// Only a station follows a rotation: a one-shot flash whose log leaves its
// path, renamed or deleted, says so and ends with 1 after its unit.
TEST(CliLog, AOneShotFlashFollowsNoRenamedLog)
{
#ifdef _WIN32
    GTEST_SKIP() << "a file open for writing cannot be deleted or renamed there";
#endif
    TempImage image(PatternImage(524288, 12));
    const std::string log = image.Path() + ".once.jsonl";
    for (const bool renamed : {false, true}) {
        SCOPED_TRACE(renamed ? "renamed away" : "deleted");
        cli_test::CMarkClock clock(5000, [&log, renamed]() {
            renamed ? std::rename(log.c_str(), (log + ".1").c_str()) : std::remove(log.c_str());
        });
        RecordedHost host(Scenario(""), clock);
        const auto run = RunTool({"flash", image.Path(), "--log", log}, &host, &clock);
        EXPECT_EQ(run.exit, kExitError) << run.err;
        EXPECT_NE(run.err.find("the log file was deleted or replaced while the tool wrote to it: " + log),
                  std::string::npos)
            << run.err;
        for (const char* suffix : {"", ".1"})
            std::remove((log + suffix).c_str());
    }
}

// A line cut short by a full disk is not glued to the next run's first line.
TEST(CliLog, EachRunStartsOnAFreshLine)
{
    TempImage image(PatternImage(524288, 10));
    const std::string log = image.Path() + ".cut.jsonl";
    {
        std::ofstream(log, std::ios::binary) << "{\"cut\":tr";
    }
    ManualClock clock;
    RecordedHost host(Scenario(""), clock);
    EXPECT_EQ(RunTool({"list", "--log", log}, &host, &clock).exit, kExitSuccess);
    const std::vector<std::string> lines = Lines(ReadFile(log));
    ASSERT_GE(lines.size(), 2u) << ReadFile(log);
    EXPECT_EQ(lines[0], "{\"cut\":tr");
    Fields fields;
    EXPECT_TRUE(JsonReader::ParseObject(lines[1], fields)) << lines[1];
    std::remove(log.c_str());
}

}  // namespace
