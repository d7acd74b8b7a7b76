#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "cli/exit_codes.h"
#include "cli/interrupt.h"
#include "device/emulated/emulated_host.h"
#include "device/emulated/scenario.h"
#include "tests/cli_test_support.h"
#include "tests/temp_image.h"

using cli_test::JsonReader;
using cli_test::Lines;
using cli_test::RunTool;
using cli_test::Scenario;
using cli_test::Events;

namespace {

using Fields = std::map<std::string, std::string>;

constexpr char kKt3916[] = "KTDEV KT3916 FLASHER";

// Per drive, how many commands with this opcode it received.
std::map<char, int> Count(const EmulatedHost& host, uint8_t opcode) {
    std::map<char, int> counts;
    for (const TranscriptRecord& r : host.Records()) {
        if (r.cdb[0] == opcode) ++counts[r.drive];
    }
    return counts;
}

// Raises Ctrl-C once the emulated time has passed a mark: the station's idle
// scans move the clock, so the station stops after its plug timeline.
class CInterruptAt {
public:
    CInterruptAt(ManualClock& clock, CInterruptFlag& flag, uint64_t atMs)
        : m_thread([this, &clock, &flag, atMs]() {
              while (!m_bStop && clock.NowMs() < atMs) std::this_thread::yield();
              flag.Raise();
          }) {}
    ~CInterruptAt() {
        m_bStop = true;
        m_thread.join();
    }

private:
    std::atomic<bool> m_bStop{false};
    std::thread m_thread;
};

}  // namespace

// A unit is flashed once while it stays; one that leaves and comes back is
// a new unit; several units run side by side.
TEST(CliStation, EachAttachedUnitIsFlashedExactlyOnce) {
    TempImage image(PatternImage(524288, 5));
    ManualClock clock;
    EmulatedHost host(Scenario("devices=3,plug=D+1000/E+60000/D-100000/D+130000/F+130000"), clock);
    const auto run = RunTool(
        {"station", image.Path(), "--expect-identity", kKt3916, "--new-revision", "1.10", "--units", "4", "--json"},
        &host, &clock);
    ASSERT_EQ(run.exit, kExitSuccess) << run.err;

    const auto units = Events(run.out, "unit");
    ASSERT_EQ(units.size(), 4u) << run.out;
    std::map<std::string, int> perDrive;
    for (const Fields& unit : units) {
        EXPECT_EQ(unit.at("result"), "passed") << run.out;
        EXPECT_EQ(unit.at("identity"), kKt3916);
        EXPECT_EQ(unit.at("old_revision"), "1.00") << "every unit comes fresh from the box";
        EXPECT_EQ(unit.at("new_revision"), "1.10");
        EXPECT_EQ(unit.at("node"), "emulated");
        ++perDrive[unit.at("device")];
    }
    EXPECT_EQ(perDrive, (std::map<std::string, int>{{"D:", 2}, {"E:", 1}, {"F:", 1}}));
    EXPECT_EQ(Count(host, 0x1B), (std::map<char, int>{{'D', 2}, {'E', 1}, {'F', 1}}));
    EXPECT_EQ(Count(host, 0xFA), (std::map<char, int>{{'D', 18}, {'E', 9}, {'F', 9}}));

    const auto summary = Events(run.out, "summary");
    ASSERT_EQ(summary.size(), 1u);
    EXPECT_EQ(summary[0].at("passed"), "4");
    EXPECT_EQ(summary[0].at("failed"), "0");
    EXPECT_EQ(summary[0].at("exit_code"), "0");
}

// Devices it was not told to expect hear one INQUIRY when they appear and
// nothing after it, however long the station waits.
TEST(CliStation, UnexpectedDevicesAreSkippedAndLeftAlone) {
    TempImage image(PatternImage(524288, 6));
    const struct {
        const char* scenario;
        std::vector<std::string> guard;
        const char* why;
    } cases[] = {
        {"devices=2", {"--expect-identity", "OTHERCO DVD-ROM-X"}, "expected \"OTHERCO DVD-ROM-X\""},
        {"devices=2", {"--expect-identity", kKt3916, "--expect-revision", "0.90"}, "revision 0.90"},
        {"devices=2,revision=1.10", {"--expect-identity", kKt3916, "--new-revision", "1.10"}, "already"},
    };
    for (const auto& c : cases) {
        ManualClock clock;
        CInterruptFlag interrupt;
        EmulatedHost host(Scenario(c.scenario), clock);
        std::vector<std::string> args = {"station", image.Path(), "--json"};
        args.insert(args.end(), c.guard.begin(), c.guard.end());
        cli_test::CliRun run;
        {
            CInterruptAt stop(clock, interrupt, 30000);
            run = RunTool(args, &host, &clock, &interrupt);
        }
        EXPECT_EQ(run.exit, kExitSuccess) << c.scenario << "\n" << run.err;
        const auto units = Events(run.out, "unit");
        ASSERT_EQ(units.size(), 2u) << c.scenario << "\n" << run.out;
        for (const Fields& unit : units) {
            EXPECT_EQ(unit.at("result"), "skipped") << c.scenario;
            EXPECT_NE(unit.at("message").find(c.why), std::string::npos) << unit.at("message");
        }
        EXPECT_EQ(Count(host, 0x12), (std::map<char, int>{{'D', 1}, {'E', 1}})) << c.scenario;
        EXPECT_EQ(host.Records().size(), 2u) << c.scenario << ": nothing but the two INQUIRYs";
        EXPECT_EQ(Events(run.out, "summary").at(0).at("skipped"), "2");
    }
}

TEST(CliStation, AFailedUnitFailsTheStationAndSaysWhy) {
    TempImage image(PatternImage(524288, 7));
    ManualClock clock;
    EmulatedHost host(Scenario("fail_block=3"), clock);
    const auto run = RunTool({"station", image.Path(), "--expect-identity", kKt3916, "--units", "1"}, &host, &clock);
    EXPECT_EQ(run.exit, kExitSomeFailed) << run.err;
    const auto lines = Lines(run.out);
    ASSERT_EQ(lines.size(), 2u) << run.out;
    EXPECT_NE(lines[0].find("D: emulated  KTDEV KT3916 FLASHER  1.00  failed (send-failure)"), std::string::npos)
        << lines[0];
    EXPECT_NE(lines[0].find("05/24/00"), std::string::npos) << lines[0];
    EXPECT_NE(lines[0].find("stopped after 3 of 9"), std::string::npos) << lines[0];
    EXPECT_EQ(lines[1], "station: 0 passed, 1 failed, 0 skipped");
}

// A unit that another program holds is not written: it fails as busy, and
// the others go on.
TEST(CliStation, AUnitHeldByAnotherProgramFailsAsBusy) {
    TempImage image(PatternImage(524288, 10));
    ManualClock clock;
    EmulatedHost host(Scenario("devices=2"), clock);
    ExclusiveAccess access;
    const HostHandle other = host.OpenDeviceExclusive("\\\\.\\D:", access);
    ASSERT_EQ(access, ExclusiveAccess::Held);
    const auto run =
        RunTool({"station", image.Path(), "--expect-identity", kKt3916, "--units", "2", "--json"}, &host, &clock);
    host.CloseDevice(other);
    EXPECT_EQ(run.exit, kExitSomeFailed) << run.err;
    std::map<std::string, std::string> results;
    for (const Fields& unit : Events(run.out, "unit")) results[unit.at("device")] = unit.at("exit_name");
    EXPECT_EQ(results, (std::map<std::string, std::string>{{"D:", "device-busy"}, {"E:", "success"}})) << run.out;
    EXPECT_EQ(Count(host, 0x1B), (std::map<char, int>{{'E', 1}}));
}

// On a terminal the status line counts and names what the station waits
// for; unit lines pass above it.
TEST(CliStation, StatusLineCountsTheUnits) {
    TempImage image(PatternImage(524288, 9));
    ManualClock clock;
    EmulatedHost host(Scenario("devices=2,plug=E+20000"), clock);
    const auto run = RunTool({"station", image.Path(), "--expect-identity", kKt3916, "--units", "2"}, &host, &clock,
                             nullptr, true, []() { return size_t{200}; });
    ASSERT_EQ(run.exit, kExitSuccess) << run.err;
    const std::string waiting = "; waiting for \"KTDEV KT3916 FLASHER\" units (Ctrl-C stops)\x1b[K";
    for (const char* counts : {"station: 0 passed, 0 failed, 0 skipped, 1 in progress",
                               "station: 1 passed, 0 failed, 0 skipped, 0 in progress",
                               "station: 1 passed, 0 failed, 0 skipped, 1 in progress"}) {
        EXPECT_NE(run.err.find(std::string("\r") + counts + waiting), std::string::npos) << counts << "\n" << run.err;
    }
    EXPECT_EQ(run.err.find("station: 0 passed, 0 failed, 0 skipped, 2 in progress"), std::string::npos)
        << "E: comes 20 s later, after D: has ended";
    EXPECT_EQ(run.err.substr(run.err.size() - 4), "\r\x1b[K") << "the status line is gone at the end";
}

TEST(CliStation, RefusesToRunUnguardedOrWithFlashOptions) {
    TempImage image(PatternImage(524288, 8));
    const struct {
        std::vector<std::string> args;
        const char* error;
    } cases[] = {
        {{"station", image.Path()}, "station needs --expect-identity"},
        {{"station", image.Path(), "--expect-revision", "1.00"}, "station needs --expect-identity"},
        {{"station", image.Path(), "--expect-identity", kKt3916, "--all"}, "--all is for 'flash' only"},
        {{"station", image.Path(), "--expect-identity", kKt3916, "-d", "D"}, "--device is for 'flash' and 'udev-rule' only"},
        {{"station", image.Path(), "--expect-identity", kKt3916, "--units", "0"}, "--units takes a whole number"},
        {{"station", image.Path(), "--expect-identity", kKt3916, "--units", "x"}, "--units takes a whole number"},
        {{"station", image.Path(), "--expect-identity", kKt3916, "--units", "100001"}, "--units takes a whole"},
        {{"flash", image.Path(), "--units", "2"}, "--units is for 'station' only"},
        {{"station"}, "'station' needs an image file"},
    };
    for (const auto& c : cases) {
        ManualClock clock;
        EmulatedHost host(Scenario(""), clock);
        const auto run = RunTool(c.args, &host, &clock);
        EXPECT_EQ(run.exit, kExitUsage) << c.error;
        EXPECT_NE(run.err.find(c.error), std::string::npos) << run.err;
        EXPECT_TRUE(host.Records().empty()) << c.error;
    }
}
