#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <utility>
#include <sstream>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "cli/cli_app.h"
#include "device/emulated/emulated_host.h"
#include "device/emulated/scenario.h"
#include "form/flash_view.h"
#include "run/exit_codes.h"
#include "run/interrupt_flag.h"
#include "tests/cli_test_support.h"
#include "tests/emulated_host_probe.h"
#include "tests/temp_image.h"
#include "tests/virtual_terminal.h"

using cli_test::JsonReader;
using cli_test::Lines;
using cli_test::RunTool;
using cli_test::Scenario;

namespace {

using Fields = std::map<std::string, std::string>;

std::vector<Fields> JsonEvents(const std::string& out)
{
    std::vector<Fields> events;
    for (const std::string& line : Lines(out)) {
        Fields fields;
        EXPECT_TRUE(JsonReader::ParseObject(line, fields)) << "not one JSON object: " << line;
        events.push_back(fields);
    }
    return events;
}

int CountEvents(const std::vector<Fields>& events, const std::string& kind, const std::string& device = "")
{
    return static_cast<int>(std::count_if(events.begin(), events.end(), [&](const Fields& f) {
        return f.at("event") == kind && (device.empty() || f.at("device") == device);
    }));
}

const Fields* Find(const std::vector<Fields>& events, const std::string& kind, const std::string& device = "")
{
    for (const Fields& f : events) {
        if (f.at("event") == kind && (device.empty() || f.at("device") == device))
            return &f;
    }
    return nullptr;
}

int CountCommands(const RecordedHost& host, uint8_t opcode, char drive = 0)
{
    int n = 0;
    for (const TranscriptRecord& r : host.Records())
        n += r.cdb[0] == opcode && (!drive || r.drive == drive);
    return n;
}

std::string Hex4(const std::vector<uint8_t>& bytes)
{
    uint32_t sum = 0;
    for (uint8_t b : bytes)
        sum += b;
    char text[8];
    std::snprintf(text, sizeof text, "%04X", sum & 0xFFFFu);
    return text;
}

}  // namespace

// A loaded machine: every sleep ends some milliseconds late.
class CLateClock final : public IClock {
public:
    explicit CLateClock(uint32_t lateMs) : m_lateMs(lateMs) {}
    uint64_t NowMs() override { return m_nowMs; }
    void SleepMs(uint32_t milliseconds) override { m_nowMs += milliseconds + m_lateMs; }

private:
    uint32_t m_lateMs;
    uint64_t m_nowMs = 0;
};

// The verification ticks keep their one-second rhythm from the final block
// however late each wake-up comes: a restart of 15.5 s refuses ticks 13, 14
// and 15 and answers tick 16, as on an idle machine.
TEST(CliFlash, LateWakeUpsDoNotPushTheTicksBack)
{
    TempImage image(PatternImage(524288, 3));
    const struct {
        uint32_t lateMs;
        const char* scenario;
        int ticks;
    } cases[] = {
        {0, "reboot_ms=15500", 16},
        {40, "reboot_ms=15500", 16},
        {40, "reboot_ms=20500", 21},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.lateMs) + " ms late, " + c.scenario);
        CLateClock clock(c.lateMs);
        RecordedHost host(Scenario(c.scenario), clock);
        const auto run = RunTool({"flash", image.Path(), "--json"}, &host, &clock);
        EXPECT_EQ(run.exit, kExitSuccess) << run.err;
        const auto events = JsonEvents(run.out);
        EXPECT_EQ(CountEvents(events, "tick"), c.ticks);
        EXPECT_EQ(CountCommands(host, 0x12), 1 + c.ticks - 12) << "the survey, then ticks 13 on";
        const Fields* start = Find(events, "start");
        ASSERT_NE(start, nullptr);
        for (const Fields& tick : events) {
            if (tick.at("event") != "tick")
                continue;
            const int64_t since = std::stoll(tick.at("t_ms")) - std::stoll(start->at("t_ms"));
            const int64_t due = 1000 * std::stoll(tick.at("tick"));
            EXPECT_GE(since, due);
            EXPECT_LE(since, due + 100 + c.lateMs) << "tick " << tick.at("tick");
        }
    }
}

TEST(CliFlash, EachEndOfAFlashHasItsExitCode)
{
    TempImage image(PatternImage(524288, 3));
    const struct {
        const char* scenario;
        int exit;
        const char* message;  // the form's last message box
        int blocksSent;
        int ticks;
        int inquiriesAfterTransfer;
    } cases[] = {
        {"", kExitSuccess, "Update success!!", 9, 13, 1},
        {"reboot_ms=20500", kExitSuccess, "Update success!!", 9, 21, 9},
        {"reboot_ms=21500", kExitNoReturn, "Update failure!!", 9, 21, 9},
        {"never_return=1", kExitNoReturn, "Update failure!!", 9, 21, 9},
        // Off the bus from the final block on: the ticks before it is back reach nothing.
        {"replug_ms=14500", kExitSuccess, "Update success!!", 9, 15, 1},
        {"replug_ms=14500,replug_elsewhere=1", kExitNoReturn, "Update failure!!", 9, 21, 0},
        {"replug_ms=21500", kExitNoReturn, "Update failure!!", 9, 21, 0},
        {"fail_block=3", kExitSendFailure, "Send data to device failure!!", 3, 0, 0},
        {"fail_block=8", kExitSendFailure, "Send data to device failure!!", 8, 0, 0},
        {"drop_block=0", kExitSendFailure, "Send data to device failure!!", 0, 0, 0},
        {"devices=0", kExitNoDevice, "No device found", 0, 0, 0},
    };
    for (const auto& c : cases) {
        ManualClock clock;
        RecordedHost host(Scenario(c.scenario), clock);
        const auto run = RunTool({"flash", image.Path(), "--json"}, &host, &clock);
        EXPECT_EQ(run.exit, c.exit) << c.scenario << "\n" << run.err;
        const auto events = JsonEvents(run.out);
        const Fields* result = Find(events, "result");
        ASSERT_NE(result, nullptr) << c.scenario;
        EXPECT_EQ(result->at("exit_code"), std::to_string(c.exit)) << c.scenario;
        EXPECT_EQ(result->at("message"), c.message) << c.scenario;
        EXPECT_EQ(result->at("blocks_sent"), std::to_string(c.blocksSent)) << c.scenario;
        EXPECT_EQ(result->at("ticks"), std::to_string(c.ticks)) << c.scenario;
        EXPECT_EQ(CountEvents(events, "block"), c.blocksSent) << c.scenario;
        EXPECT_EQ(CountEvents(events, "tick"), c.ticks) << c.scenario;

        // The form's own sequence, seen from the device: the survey asks
        // once (choosing the drive asks nothing), the verification once per
        // tick from the 13th.
        const int writesReached = c.exit == kExitNoDevice ? 0 : std::min(c.blocksSent + 1, 9);
        EXPECT_EQ(CountCommands(host, 0xFA), writesReached) << c.scenario;
        if (c.exit != kExitNoDevice) {
            EXPECT_EQ(CountCommands(host, 0x1B), 1) << c.scenario;
            EXPECT_EQ(CountCommands(host, 0x12), 1 + c.inquiriesAfterTransfer) << c.scenario;
        }
    }
}

TEST(CliFlash, TheImageArrivesWholeAndTheDeviceComesBackWithItsNewRevision)
{
    const auto bytes = PatternImage(1048576, 11);
    TempImage image(bytes);
    ManualClock clock;
    RecordedHost host(Scenario("new_revision=2.05"), clock);
    const auto run = RunTool({"flash", image.Path()}, &host, &clock);
    ASSERT_EQ(run.exit, kExitSuccess) << run.err;
    EXPECT_EQ(Inspect(host).Device(0).LastImage(), bytes);
    EXPECT_EQ(std::string(Inspect(host).Device(0).Revision()), "2.05");
    EXPECT_EQ(CountCommands(host, 0xFA), 18);
    EXPECT_EQ(Inspect(host).OpenHandleCount(), 0) << "every device object closed its handles";

    const auto list = RunTool({"list"}, &host, &clock);
    EXPECT_NE(list.out.find("2.05"), std::string::npos) << list.out;
}

TEST(CliFlash, ImageProblemsStopBeforeAnyCommand)
{
    TempImage wrongSize(PatternImage(524289, 1));
    TempImage empty(std::vector<uint8_t>{});
    const std::string missing = wrongSize.Path() + ".missing";
    const std::string directory = std::filesystem::temp_directory_path().string();
    const struct {
        std::string path;
        int exit;
        std::string error;
    } cases[] = {
        {wrongSize.Path(), kExitNotFlashable, "is 524289 bytes long: only images of 524288 or 1048576 bytes"},
        {empty.Path(), kExitNotFlashable, "is 0 bytes long"},
        {missing, kExitImageUnreadable, "cannot open the image " + missing + ": No such file or directory"},
        {directory, kExitImageUnreadable, "it is a directory"},
    };
    for (const auto& c : cases) {
        ManualClock clock;
        RecordedHost host(Scenario(""), clock);
        const auto run = RunTool({"flash", c.path}, &host, &clock);
        EXPECT_EQ(run.exit, c.exit) << c.path;
        EXPECT_NE(run.err.find(c.error), std::string::npos) << run.err;
        EXPECT_NE(run.err.find("nothing was sent"), std::string::npos) << run.err;
        EXPECT_TRUE(host.Records().empty()) << c.path << ": no command at all";
    }
}

TEST(CliFlash, SeveralDevicesAndNoChoiceRefusesAndChangesNothing)
{
    TempImage image(PatternImage(524288, 5));
    ManualClock clock;
    RecordedHost host(Scenario("devices=2"), clock);
    const auto run = RunTool({"flash", image.Path()}, &host, &clock);
    EXPECT_EQ(run.exit, kExitUsage);
    EXPECT_NE(run.err.find("2 devices found: name the one to flash with --device, or flash them all with --all"),
              std::string::npos)
        << run.err;
    EXPECT_NE(run.err.find("0      D:"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("1      E:"), std::string::npos) << run.err;
    EXPECT_EQ(CountCommands(host, 0xFA), 0);
    EXPECT_EQ(CountCommands(host, 0x1B), 0);
    for (int i = 0; i < 2; ++i)
        EXPECT_FALSE(Inspect(host).Device(i).InDownloadMode());
}

// The same choices reach the same drive on the pass-through path and behind
// the ASPI layer.
TEST(CliFlash, DeviceChoiceReachesOnlyTheNamedDrive)
{
    TempImage image(PatternImage(524288, 6));
    const struct {
        std::vector<std::string> choice;
        int exit;
        const char* flashed;  // the drives that took the image
    } cases[] = {
        {{"--device", "E"}, kExitSuccess, "E"},    {{"--device", "e:"}, kExitSuccess, "E"},
        {{"--device", "F:\\"}, kExitSuccess, "F"}, {{"--device", "\\\\.\\D:"}, kExitSuccess, "D"},
        {{"--device", "1"}, kExitSuccess, "E"},    {{"--device", "3"}, kExitNoDevice, ""},
        {{"--device", "G"}, kExitNoDevice, ""},    {{"--device", "C:"}, kExitNoDevice, ""},
        {{"--device", "printer"}, kExitUsage, ""}, {{"--all"}, kExitSuccess, "DEF"},
    };
    for (const char* path : {"", "win9x=1,"}) {
        for (const auto& c : cases) {
            ManualClock clock;
            RecordedHost host(Scenario(std::string(path) + "devices=3,reboot_ms=0"), clock);
            std::vector<std::string> args = {"flash", image.Path()};
            args.insert(args.end(), c.choice.begin(), c.choice.end());
            const auto run = RunTool(args, &host, &clock);
            const std::string name = std::string(path) + " " + c.choice.back();
            EXPECT_EQ(run.exit, c.exit) << name << "\n" << run.err;
            for (char drive : {'D', 'E', 'F'}) {
                const bool flashed = std::string(c.flashed).find(drive) != std::string::npos;
                EXPECT_EQ(CountCommands(host, 0xFA, drive), flashed ? 9 : 0) << name << " " << drive;
                // Another drive may be in the middle of a flash of its own:
                // not even an INQUIRY goes there.
                if (!flashed) {
                    EXPECT_EQ(CountCommands(host, 0x12, drive), 0) << name << " " << drive;
                }
            }
        }
    }
}

TEST(CliFlash, AllFlashesEveryDeviceAndOneFailureStopsNoOther)
{
    TempImage image(PatternImage(524288, 7));
    ManualClock clock;
    RecordedHost emulated(Scenario("devices=3"), clock);
    cli_test::CFaultOnOneDriveHost host(emulated, 'E', 4);
    const auto run = RunTool({"flash", image.Path(), "--all", "--json"}, &host, &clock);
    EXPECT_EQ(run.exit, kExitSomeFailed) << run.err;

    const auto events = JsonEvents(run.out);
    const std::map<std::string, std::pair<std::string, int>> expected = {
        {"D:", {"success", 9}}, {"E:", {"send-failure", 4}}, {"F:", {"success", 9}}};
    for (const auto& [drive, want] : expected) {
        const Fields* result = Find(events, "result", drive);
        ASSERT_NE(result, nullptr) << drive;
        EXPECT_EQ(result->at("result"), want.first) << drive;
        EXPECT_EQ(CountEvents(events, "block", drive), want.second) << drive;
        EXPECT_EQ(CountEvents(events, "start", drive), 1) << drive;
    }
    EXPECT_EQ(CountEvents(events, "tick", "E:"), 0);
    EXPECT_EQ(CountEvents(events, "tick", "D:"), 13);
    const Fields* summary = Find(events, "summary");
    ASSERT_NE(summary, nullptr);
    EXPECT_EQ(summary->at("devices"), "3");
    EXPECT_EQ(summary->at("succeeded"), "2");
    EXPECT_EQ(summary->at("exit_code"), std::to_string(kExitSomeFailed));
    EXPECT_EQ(events.back().at("event"), "summary");

    EXPECT_EQ(Inspect(emulated).Device(0).LastImage().size(), 524288u);
    EXPECT_TRUE(Inspect(emulated).Device(1).LastImage().empty());
    EXPECT_EQ(Inspect(emulated).Device(2).LastImage().size(), 524288u);
}

TEST(CliFlash, AllSucceedingGivesSuccessAndASummaryTable)
{
    TempImage image(PatternImage(524288, 8));
    ManualClock clock;
    RecordedHost host(Scenario("devices=3,reboot_ms=0"), clock);
    const auto run = RunTool({"flash", image.Path(), "--all"}, &host, &clock);
    EXPECT_EQ(run.exit, kExitSuccess) << run.err;
    EXPECT_NE(run.out.find("3 of 3 devices flashed"), std::string::npos) << run.out;
    for (const char* drive : {"D:", "E:", "F:"}) {
        EXPECT_NE(run.out.find(std::string(drive) + "     success"), std::string::npos) << run.out;
    }
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(Inspect(host).Device(i).LastImage().size(), 524288u);
}

TEST(CliFlash, JsonEventsAreCompleteAndInOrder)
{
    TempImage image(PatternImage(524288, 9));
    ManualClock clock;
    RecordedHost host(Scenario(""), clock);
    const auto run = RunTool({"flash", image.Path(), "--json"}, &host, &clock);
    ASSERT_EQ(run.exit, kExitSuccess);
    auto events = JsonEvents(run.out);
    // The run comes first: which run, on which machine, as its log says.
    ASSERT_FALSE(events.empty());
    const Fields runEvent = events.front();
    EXPECT_EQ(runEvent.at("event"), "run");
    EXPECT_EQ(runEvent.at("run").find_first_not_of("0123456789abcdef"), std::string::npos);
    EXPECT_EQ(runEvent.at("run").size(), 16u);
    EXPECT_EQ(runEvent.at("command"), "flash");
    EXPECT_FALSE(runEvent.at("host").empty());
    EXPECT_NE(runEvent.at("pid"), "0");
    events.erase(events.begin());
    std::vector<std::string> kinds;
    for (const Fields& f : events) {
        kinds.push_back(f.at("event"));
        EXPECT_EQ(f.at("device"), "D:");
        EXPECT_TRUE(f.count("t_ms"));
    }
    EXPECT_EQ(events[0].at("unit"), runEvent.at("run") + "-u1") << "the start names its unit's record";
    std::vector<std::string> want = {"start"};
    want.insert(want.end(), 9, "block");
    want.insert(want.end(), 13, "tick");
    want.push_back("message");
    want.push_back("result");
    EXPECT_EQ(kinds, want);

    const Fields& start = events[0];
    EXPECT_EQ(start.at("t_ms"), "500") << "the start timer's 500 ms";
    EXPECT_EQ(start.at("identity"), "KTDEV   KT3916 FLASHER  ");
    EXPECT_EQ(start.at("revision"), "1.00");
    EXPECT_EQ(start.at("blocks"), "9");
    EXPECT_EQ(start.at("node"), "emulated");
    // The sum that goes out in the final block.
    EXPECT_EQ(start.at("checksum"), Hex4(PatternImage(524288, 9)));
    std::vector<TranscriptRecord> writes;
    for (const TranscriptRecord& r : host.Records()) {
        if (r.cdb[0] == 0xFA)
            writes.push_back(r);
    }
    ASSERT_EQ(writes.size(), 9u);
    char sent[8];
    std::snprintf(sent, sizeof sent, "%02X%02X", writes.back().cdb[6], writes.back().cdb[7]);
    EXPECT_EQ(start.at("checksum"), sent);
    for (int i = 0; i < 9; ++i)
        EXPECT_EQ(events[1 + i].at("block"), std::to_string(i + 1));
    for (int t = 1; t <= 13; ++t) {
        const Fields& tick = events[9 + t];
        EXPECT_EQ(tick.at("tick"), std::to_string(t));
        EXPECT_EQ(tick.at("inquiry"), t >= 13 ? "true" : "false");
        EXPECT_EQ(tick.at("answered"), t == 13 ? "true" : "false");
        EXPECT_EQ(tick.at("t_ms"), std::to_string(500 + 1000 * t)) << "ticks 1000 ms apart";
    }
    EXPECT_EQ(events[23].at("text"), "Update success!!");
    EXPECT_EQ(events[24].at("result"), "success");
}

// The image is replaced while the form waits for its start tick: nothing is
// sent, no start event claims a transfer, and the run says why.
TEST(CliFlash, ImageChangedBeforeTheStartTickIsNotSent)
{
    const std::vector<uint8_t> original = PatternImage(524288, 21);
    std::vector<uint8_t> sameSum = original;
    std::swap(sameSum[10], sameSum[300000]);
    ASSERT_NE(sameSum, original);
    const struct {
        const char* name;
        std::vector<uint8_t> replacement;
    } cases[] = {
        {"1 MiB instead of 512 KiB", PatternImage(1048576, 22)},
        {"other bytes, same sum", sameSum},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempImage image(original);
        cli_test::CMarkClock clock(250, [&] { image.Write(c.replacement); });
        RecordedHost host(Scenario(""), clock);
        std::ostringstream out, err;
        CliEnvironment env;
        env.pOut = &out;
        env.pErr = &err;
        env.pClock = &clock;
        env.pHost = &host;
        const int exit = RunCli({"flash", image.Path(), "--json"}, env);

        EXPECT_EQ(exit, kExitImageUnreadable) << err.str();
        const auto events = JsonEvents(out.str());
        EXPECT_EQ(CountEvents(events, "start"), 0);
        EXPECT_EQ(CountEvents(events, "block"), 0);
        const Fields* message = Find(events, "message");
        ASSERT_NE(message, nullptr);
        EXPECT_EQ(message->at("text"), FlashOutcomeText(FlashOutcome::ImageChanged));
        EXPECT_EQ(CountCommands(host, 0xFA), 0);
        EXPECT_EQ(CountCommands(host, 0x1B), 0);
        EXPECT_EQ(Find(events, "result")->at("notes"), "[\"nothing was written to the device\"]")
            << "nothing was sent, and the note says no more";
    }
}

TEST(CliFlash, TranscriptIsAppendedOneJsonObjectPerCommand)
{
    TempImage image(PatternImage(524288, 10));
    const std::string transcript = image.Path() + ".jsonl";
    {
        std::ofstream(transcript) << "{\"earlier\":true}\n";
    }
    const auto run = RunTool({"--emulate=reboot_ms=0", "--transcript", transcript, "flash", image.Path()});
    EXPECT_EQ(run.exit, kExitSuccess) << run.err;
    std::ifstream in(transcript);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    std::remove(transcript.c_str());
    ASSERT_GE(lines.size(), 13u);
    EXPECT_EQ(lines[0], "{\"earlier\":true}") << "appended, not replaced";
    int writes = 0;
    for (size_t i = 1; i < lines.size(); ++i) {
        Fields f;
        ASSERT_TRUE(JsonReader::ParseObject(lines[i], f)) << lines[i];
        writes += f.at("cdb").rfind("fa", 0) == 0;
    }
    EXPECT_EQ(writes, 9);
}

// The emulated bench says so wherever a result is read: on stderr for
// people, in the start event for scripts.
TEST(CliFlash, EmulationIsSaidOnTheOutput)
{
    TempImage image(PatternImage(524288, 16));
    const std::string notice = "kt3916flash-cli: emulated devices (--emulate): no real device is used\n";
    const auto list = RunTool({"--emulate", "list"});
    EXPECT_EQ(list.exit, kExitSuccess);
    EXPECT_EQ(list.err, notice);

    const auto flash = RunTool({"--emulate=reboot_ms=0", "--json", "flash", image.Path()});
    EXPECT_EQ(flash.exit, kExitSuccess);
    EXPECT_EQ(flash.err.rfind(notice, 0), 0u) << flash.err;
    const auto events = JsonEvents(flash.out);
    const Fields* start = Find(events, "start");
    ASSERT_NE(start, nullptr);
    EXPECT_EQ(start->at("emulated"), "true");

    // A host the tool did not choose as the emulator is taken for a real one.
    ManualClock clock;
    RecordedHost host(Scenario("reboot_ms=0"), clock);
    const auto plain = RunTool({"--json", "flash", image.Path()}, &host, &clock);
    EXPECT_EQ(plain.err.find("emulated devices"), std::string::npos);
    const auto plainEvents = JsonEvents(plain.out);
    const Fields* plainStart = Find(plainEvents, "start");
    ASSERT_NE(plainStart, nullptr);
    EXPECT_EQ(plainStart->at("emulated"), "false");
}

TEST(CliFlash, PlainProgressLinesWhenStderrIsNoTerminal)
{
    TempImage image(PatternImage(524288, 12));
    ManualClock clock;
    RecordedHost host(Scenario("fail_block=2"), clock);
    const auto run = RunTool({"flash", image.Path()}, &host, &clock);
    EXPECT_EQ(run.exit, kExitSendFailure);
    EXPECT_EQ(run.err.find('\x1b'), std::string::npos) << "no cursor controls";
    const auto lines = Lines(run.err);
    ASSERT_GE(lines.size(), 5u);
    EXPECT_NE(lines[0].find("D: KTDEV KT3916 FLASHER rev 1.00: sending"), std::string::npos) << lines[0];
    EXPECT_EQ(lines[1], "D: block 1/9 sent");
    EXPECT_EQ(lines[2], "D: block 2/9 sent");
    EXPECT_EQ(lines[3], "D: Send data to device failure!!");
    EXPECT_EQ(lines[4], "D: result: send-failure (exit 6)");
    EXPECT_NE(run.err.find("D: the transfer stopped after 2 of 9 blocks: the device holds no complete image"),
              std::string::npos)
        << run.err;
}

TEST(CliFlash, LiveProgressRedrawsOneLineInPlace)
{
    TempImage image(PatternImage(524288, 13));
    ManualClock clock;
    RecordedHost host(Scenario(""), clock);
    const auto run = RunTool({"flash", image.Path()}, &host, &clock, nullptr, true);
    EXPECT_EQ(run.exit, kExitSuccess);
    // The states in between may be drawn or not (redraws coalesce when the
    // terminal is slower than the devices); however many draws there were,
    // the line is drawn over itself and the screen ends with it, under the
    // message.
    CVirtualTerminal terminal(120);
    terminal.Write(run.err);
    const auto rows = terminal.Rows();
    ASSERT_EQ(rows.size(), 2u) << run.err;
    EXPECT_EQ(rows[0], "D: Update success!!");
    EXPECT_NE(rows[1].find("[########################] Update success!!"), std::string::npos) << rows[1];
    EXPECT_EQ(terminal.Wraps(), 0);
}

// A listener hears each raise until it is removed, and never after.
TEST(CliFlash, AnInterruptListenerIsHeardUntilRemoved)
{
    CInterruptFlag flag;
    int heard = 0;
    const int id = flag.AddListener([&heard] { ++heard; });
    flag.Raise();
    flag.RemoveListener(id);
    flag.Raise();
    EXPECT_EQ(heard, 1);
    EXPECT_EQ(flag.RaiseCount(), 2u);
}

TEST(CliFlash, CtrlCNeverCutsTheTransfer)
{
    TempImage image(PatternImage(524288, 14));
    const struct {
        const char* name;
        uint64_t interruptAtMs;  // clock time at which the flag goes up
        int exit;
        int writes;
        const char* note;
    } cases[] = {
        {"before the start tick", 200, kExitInterrupted, 0, "nothing was written to the device"},
        {"during the verify wait", 5600, kExitInterrupted, 9, "it may still be updating"},
    };
    for (const auto& c : cases) {
        ManualClock clock;
        RecordedHost emulated(Scenario(""), clock);
        CInterruptFlag interrupt;
        // The flag goes up once the clock passes the chosen time.
        class CTrippingClock final : public IClock {
        public:
            CTrippingClock(ManualClock& inner, CInterruptFlag& flag, uint64_t at)
                : m_inner(inner), m_flag(flag), m_at(at)
            {
            }
            uint64_t NowMs() override { return m_inner.NowMs(); }
            void SleepMs(uint32_t ms) override
            {
                m_inner.SleepMs(ms);
                if (m_inner.NowMs() >= m_at && !m_flag.IsRaised())
                    m_flag.Raise();
            }

        private:
            ManualClock& m_inner;
            CInterruptFlag& m_flag;
            uint64_t m_at;
        } tripping(clock, interrupt, c.interruptAtMs);
        std::ostringstream out, err;
        CliEnvironment env;
        env.pOut = &out;
        env.pErr = &err;
        env.pClock = &tripping;
        env.pHost = &emulated;
        env.pInterrupt = &interrupt;
        const int exit = RunCli({"flash", image.Path()}, env);
        EXPECT_EQ(exit, c.exit) << c.name;
        EXPECT_EQ(CountCommands(emulated, 0xFA), c.writes) << c.name;
        EXPECT_NE(err.str().find(c.note), std::string::npos) << c.name << "\n" << err.str();
    }
}

// Ctrl-C "arrives" inside the N-th command of one opcode, while it runs.
class CInterruptingHost final : public cli_test::CForwardingHost {
public:
    CInterruptingHost(IScsiHost& inner, CInterruptFlag& flag, uint8_t opcode, int nth, cli_test::CSharedStream& out)
        : CForwardingHost(inner), m_flag(flag), m_opcode(opcode), m_nth(nth), m_out(out)
    {
    }
    bool SendPassThrough(HostHandle d, PassThroughRequest& r) override
    {
        if (r.sptd.Cdb[0] == m_opcode && ++m_seen == m_nth) {
            m_flag.Raise();
            // What the operator has been told while the command is still under
            // way: the output's writer has a moment to write it.
            const std::string told = "\"event\":\"interrupt\"";
            m_toldAtOnce = m_out.TextWith(told, 2).find(told) != std::string::npos;
        }
        return m_inner.SendPassThrough(d, r);
    }
    bool ToldAtOnce() const { return m_toldAtOnce; }

private:
    CInterruptFlag& m_flag;
    uint8_t m_opcode;
    int m_nth;
    cli_test::CSharedStream& m_out;
    int m_seen = 0;
    bool m_toldAtOnce = false;
};

TEST(CliFlash, CtrlCDuringACommandIsAnsweredByWhereTheRunStands)
{
    TempImage image(PatternImage(524288, 15));
    const struct {
        const char* name;
        uint8_t opcode;
        int nth;
        int writes;
        bool toldAtOnce;
        const char* note;
    } cases[] = {
        {"the survey's INQUIRY", 0x12, 1, 0, false, "nothing was written to the device"},
        {"the third block write", 0xFA, 3, 9, true, "the whole image was sent"},
    };
    for (const auto& c : cases) {
        ManualClock clock;
        RecordedHost emulated(Scenario(""), clock);
        CInterruptFlag interrupt;
        cli_test::CSharedStream out;
        std::ostringstream err;
        CInterruptingHost host(emulated, interrupt, c.opcode, c.nth, out);
        size_t commandsWhenArmed = 99;
        CliEnvironment env;
        env.pOut = &out;
        env.pErr = &err;
        env.pClock = &clock;
        env.pHost = &host;
        env.pInterrupt = &interrupt;
        env.armInterrupt = [&]() { commandsWhenArmed = emulated.Records().size(); };
        const int exit = RunCli({"flash", image.Path(), "--json"}, env);

        EXPECT_EQ(exit, kExitInterrupted) << c.name;
        EXPECT_EQ(commandsWhenArmed, 0u) << c.name << ": the handlers come before the first command";
        EXPECT_EQ(host.ToldAtOnce(), c.toldAtOnce) << c.name;
        EXPECT_EQ(CountCommands(emulated, 0xFA), c.writes) << c.name;
        EXPECT_EQ(CountCommands(emulated, 0x1B), c.writes ? 1 : 0) << c.name;
        const auto events = JsonEvents(out.Text());
        EXPECT_EQ(CountEvents(events, "tick"), 0) << c.name << ": stopped at the first chance";
        EXPECT_EQ(CountEvents(events, "interrupt"), c.toldAtOnce ? 1 : 0) << c.name;
        const Fields* result = Find(events, "result");
        ASSERT_NE(result, nullptr) << c.name;
        EXPECT_EQ(result->at("result"), "interrupted") << c.name;
        const std::string said = result->at("notes") + result->at("message");
        EXPECT_NE(said.find(c.note), std::string::npos) << c.name << "\n" << out.Text();
        if (c.writes) {
            EXPECT_EQ(Inspect(emulated).Device(0).LastImage().size(), 524288u);
            EXPECT_NE(result->at("notes").find("may still be updating"), std::string::npos);
        }
    }
}

// Removes the image file (truncateTo -1) or cuts it short.
void Sabotage(const std::string& path, int64_t truncateTo)
{
    std::error_code ec;
    if (truncateTo < 0) {
        std::filesystem::remove(path, ec);
    } else {
        std::filesystem::resize_file(path, static_cast<uintmax_t>(truncateTo), ec);
    }
    EXPECT_FALSE(ec) << ec.message();
}

// Changes the image file on disk when the N-th command of one opcode goes
// out (opcode 0: once the clock passes nth milliseconds, while the form
// waits): the image vanishing or shrinking under a running flash.
class CImageSabotageHost final : public cli_test::CForwardingHost, public IClock {
public:
    CImageSabotageHost(IScsiHost& inner, ManualClock& clock, std::string path, uint8_t opcode, int nth,
                       int64_t truncateTo)
        : CForwardingHost(inner), m_clock(clock), m_path(std::move(path)), m_opcode(opcode), m_nth(nth),
          m_truncateTo(truncateTo)
    {
    }
    bool SendPassThrough(HostHandle d, PassThroughRequest& r) override
    {
        if (m_opcode != 0 && r.sptd.Cdb[0] == m_opcode && ++m_seen == m_nth)
            Sabotage(m_path, m_truncateTo);
        return m_inner.SendPassThrough(d, r);
    }
    uint64_t NowMs() override { return m_clock.NowMs(); }
    void SleepMs(uint32_t ms) override
    {
        m_clock.SleepMs(ms);
        if (m_opcode == 0 && !m_done && m_clock.NowMs() >= static_cast<uint64_t>(m_nth)) {
            m_done = true;
            Sabotage(m_path, m_truncateTo);
        }
    }

private:
    ManualClock& m_clock;
    std::string m_path;
    uint8_t m_opcode;
    int m_nth;
    int64_t m_truncateTo;  // -1: remove the file
    int m_seen = 0;
    bool m_done = false;
};

TEST(CliFlash, NotesAndExitFollowFromWhatWasSent)
{
    const struct {
        const char* name;
        uint8_t opcode;
        int nth;
        int64_t truncateTo;
        int exit;
        const char* message;
        int startStops;
        int writes;
        const char* note;
    } cases[] = {
        // After the survey, before the start tick: nothing but INQUIRY went out.
        {"image removed in the start delay", 0, 200, -1, kExitImageUnreadable, "File open failure!!", 0, 0,
         "nothing was written to the device"},
        // Download mode was asked for, then block 0 could not be read.
        {"image cut at START STOP UNIT", 0x1B, 1, 1000, kExitImageUnreadable, "File read failure!!", 1, 0,
         "told to enter download mode, but no block was sent"},
        // Three blocks are in the device: a read failure now is part-way.
        {"image cut at the third block", 0xFA, 3, 3 * 61440, kExitSendFailure, "File read failure!!", 1, 3,
         "the transfer stopped after 3 of 9 blocks"},
    };
    for (const auto& c : cases) {
        TempImage image(PatternImage(524288, 40));
        ManualClock clock;
        RecordedHost emulated(Scenario(""), clock);
        CImageSabotageHost host(emulated, clock, image.Path(), c.opcode, c.nth, c.truncateTo);
        std::ostringstream out, err;
        CliEnvironment env;
        env.pOut = &out;
        env.pErr = &err;
        env.pClock = &host;
        env.pHost = &host;
        cli_test::CliRun run;
        run.exit = RunCli({"flash", image.Path(), "--json"}, env);
        run.out = out.str();
        EXPECT_EQ(run.exit, c.exit) << c.name;
        EXPECT_EQ(CountCommands(emulated, 0x1B), c.startStops) << c.name;
        EXPECT_EQ(CountCommands(emulated, 0xFA), c.writes) << c.name;
        const auto events = JsonEvents(run.out);
        const Fields* result = Find(events, "result");
        ASSERT_NE(result, nullptr) << c.name;
        EXPECT_EQ(result->at("message"), c.message) << c.name;
        EXPECT_NE(result->at("notes").find(c.note), std::string::npos) << c.name << ": " << result->at("notes");
        if (c.writes == 0) {
            EXPECT_EQ(result->at("notes").find("stopped after"), std::string::npos) << c.name;
        }
    }
}

TEST(CliList, ListsEveryDeviceOrSaysThereIsNone)
{
    ManualClock clock;
    RecordedHost host(Scenario("devices=2,vendor=ACME,product=WIDGET,revision=0.9a"), clock);
    const auto run = RunTool({"list"}, &host, &clock);
    EXPECT_EQ(run.exit, kExitSuccess);
    EXPECT_EQ(run.out, "index  drive  node      vendor    product           revision\n"
                       "0      D:     emulated  ACME      WIDGET            0.9a\n"
                       "1      E:     emulated  ACME      WIDGET            0.9a\n");
    EXPECT_EQ(Inspect(host).OpenHandleCount(), 0);

    // Behind the ASPI layer a device has the letter the layer reports.
    RecordedHost aspi(Scenario("win9x=1,devices=2"), clock);
    const auto listed = RunTool({"list"}, &aspi, &clock);
    EXPECT_EQ(listed.exit, kExitSuccess);
    EXPECT_EQ(listed.out, "index  drive  node      vendor    product           revision\n"
                          "0      D:     aspi 0:1  KTDEV     KT3916 FLASHER    1.00\n"
                          "1      E:     aspi 0:2  KTDEV     KT3916 FLASHER    1.00\n");

    RecordedHost none(Scenario("devices=0"), clock);
    const auto empty = RunTool({"list"}, &none, &clock);
    EXPECT_EQ(empty.exit, kExitNoDevice);
    EXPECT_EQ(empty.err, "kt3916flash-cli: No device found\n");
}
