#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <map>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "base/sha256.h"
#include "cli/interrupt.h"
#include "device/emulated/emulated_host.h"
#include "device/emulated/scenario.h"
#include "device/forwarding_host.h"
#include "form/image_digest.h"
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

constexpr char kKt3916[] = "KTDEV KT3916 FLASHER";

// Per drive, how many commands with this opcode it received.
std::map<char, int> Count(const RecordedHost& host, uint8_t opcode)
{
    std::map<char, int> counts;
    for (const TranscriptRecord& r : host.Records()) {
        if (r.cdb[0] == opcode)
            ++counts[r.drive];
    }
    return counts;
}

// Raises Ctrl-C once the emulated time has passed a mark: the station's idle
// scans move the clock, so the station stops after its plug timeline.
class CInterruptAt {
public:
    CInterruptAt(IClock& clock, CInterruptFlag& flag, uint64_t atMs)
        : m_thread([this, &clock, &flag, atMs]() {
              while (!m_bStop && clock.NowMs() < atMs)
                  std::this_thread::yield();
              flag.Raise();
          })
    {
    }
    ~CInterruptAt()
    {
        m_bStop = true;
        m_thread.join();
    }

private:
    std::atomic<bool> m_bStop{false};
    std::thread m_thread;
};

// Raises the interrupt on the unit's own thread as its Nth block write goes
// out: in the middle of the transfer whatever the emulated clock says, which
// other threads move on too.
class CInterruptOnBlock final : public CForwardingHost {
public:
    CInterruptOnBlock(IScsiHost& inner, CInterruptFlag& flag, int block)
        : CForwardingHost(inner), m_flag(flag), m_nBlock(block)
    {
    }
    bool SendPassThrough(HostHandle device, PassThroughRequest& request) override
    {
        if (request.sptd.Cdb[0] == 0xFA && ++m_nSent == m_nBlock)
            m_flag.Raise();
        return CForwardingHost::SendPassThrough(device, request);
    }

private:
    CInterruptFlag& m_flag;
    int m_nBlock;
    std::atomic<int> m_nSent{0};
};

// Emulated time, except that the thread whose wait first crosses gateMs is
// held there until the station has listed the drives twice more: a swap in
// the middle of a flash is then seen by the station's scans, as at a bench.
class CScanGateClock final : public IClock {
public:
    CScanGateClock(uint64_t gateMs, const std::atomic<int>& listings) : m_gateMs(gateMs), m_listings(listings) {}
    uint64_t NowMs() override { return m_nowMs; }
    void SleepMs(uint32_t milliseconds) override
    {
        const uint64_t before = m_nowMs.fetch_add(milliseconds);
        if (before >= m_gateMs || before + milliseconds < m_gateMs)
            return;
        const int wanted = m_listings + 2;
        const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (m_listings < wanted && std::chrono::steady_clock::now() < giveUp)
            std::this_thread::yield();
    }

private:
    std::atomic<uint64_t> m_nowMs{0};
    uint64_t m_gateMs;
    const std::atomic<int>& m_listings;
};

// Counts the drive listings (the size query and the filled list each count).
class CListingCounter final : public cli_test::CForwardingHost {
public:
    CListingCounter(IScsiHost& inner, std::atomic<int>& listings) : CForwardingHost(inner), m_listings(listings) {}
    uint32_t GetLogicalDriveRoots(uint32_t n, char* b) override
    {
        ++m_listings;
        return m_inner.GetLogicalDriveRoots(n, b);
    }

private:
    std::atomic<int>& m_listings;
};

// Raises Ctrl-C as the Nth INQUIRY goes out: 1 is the unit's identifying
// one, 2 the form's survey, before the start delay.
class CInterruptOnInquiry final : public cli_test::CForwardingHost {
public:
    CInterruptOnInquiry(IScsiHost& inner, CInterruptFlag& flag, int nth)
        : CForwardingHost(inner), m_flag(flag), m_nth(nth)
    {
    }
    bool SendPassThrough(HostHandle device, PassThroughRequest& request) override
    {
        if (request.sptd.Cdb[0] == 0x12 && ++m_inquiries == m_nth)
            m_flag.Raise();
        return m_inner.SendPassThrough(device, request);
    }

private:
    CInterruptFlag& m_flag;
    int m_nth;
    std::atomic<int> m_inquiries{0};
};

}  // namespace

// The station reads the image once; a file replaced or removed mid-shift is
// not sent to the next unit, which is skipped, not failed; the station stops
// and says why, and each unit's record carries the image it was held to.
TEST(CliStation, TheImageCheckedAtTheStartIsTheOnlyOneSent)
{
    const struct {
        const char* name;
        void (*act)(TempImage& image);
        const char* said;
        const char* reason;
    } rows[] = {
        {"replaced", [](TempImage& image) { image.Write(PatternImage(524288, 12)); },
         "changed since the station checked it", "image-changed"},
        {"removed", [](TempImage& image) { std::remove(image.Path().c_str()); }, "cannot be read", "image-unreadable"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        TempImage image(PatternImage(524288, 11));
        ImageDigest checked;
        ASSERT_EQ(DigestImageFile(image.Path(), checked), ImageSumResult::Ok);
        cli_test::CMarkClock clock(15000, [&]() { row.act(image); });
        RecordedHost host(Scenario("devices=2,plug=D+0/E+16000"), clock);
        const auto run =
            RunTool({"station", image.Path(), "--expect-identity", kKt3916, "--units", "2", "--json"}, &host, &clock);
        EXPECT_EQ(run.exit, kExitImageUnreadable) << run.err;
        EXPECT_NE(run.err.find(row.said), std::string::npos) << run.err;

        const auto units = Events(run.out, "unit");
        ASSERT_EQ(units.size(), 2u) << run.out;
        EXPECT_EQ(units[0].at("result"), "passed");
        char checksum[8];
        std::snprintf(checksum, sizeof checksum, "%04X", static_cast<unsigned>(checked.nChecksum));
        EXPECT_EQ(units[0].at("checksum"), checksum);
        EXPECT_EQ(units[0].at("sha256"), Sha256Hex(PatternImage(524288, 11).data(), 524288));
        EXPECT_EQ(units[1].at("result"), "skipped");
        EXPECT_EQ(units[1].at("reason"), row.reason);
        EXPECT_EQ(Count(host, 0xFA), (std::map<char, int>{{'D', 9}})) << "E: got nothing of the new file";
        EXPECT_EQ(Events(run.out, "summary").at(0).at("exit_code"), "4");
    }
}

// The unit pulled in its restart wait fails; the one plugged into its drive
// before that wait ends is a new unit once the first one's run is over.
TEST(CliStation, AUnitPluggedInDuringTheRestartWaitIsFlashed)
{
    TempImage image(PatternImage(524288, 13));
    std::atomic<int> listings{0};
    CScanGateClock clock(6000, listings);
    CInterruptFlag interrupt;
    RecordedHost emulated(Scenario("plug=D+0/D-5000/D+8000"), clock);
    CListingCounter host(emulated, listings);
    cli_test::CliRun run;
    {
        CInterruptAt stop(clock, interrupt, 120000);
        run = RunTool({"station", image.Path(), "--expect-identity", kKt3916, "--units", "2", "--json"}, &host, &clock,
                      &interrupt);
    }
    const auto units = Events(run.out, "unit");
    ASSERT_EQ(units.size(), 2u) << run.out << run.err;
    EXPECT_EQ(units[0].at("exit_name"), "no-return");
    EXPECT_EQ(units[1].at("result"), "passed");
    EXPECT_EQ(units[1].at("old_revision"), "1.00");
    EXPECT_EQ(run.exit, kExitSomeFailed);
}

// A unit that drops off the bus for its restart and comes back is followed:
// it passes, and is not taken for a new unit once it is back.
TEST(CliStation, AUnitThatReEnumeratesDuringItsRestartIsFlashedOnce)
{
    TempImage image(PatternImage(524288, 15));
    std::atomic<int> listings{0};
    CScanGateClock clock(8000, listings);  // a scan while the unit is off the bus
    CInterruptFlag interrupt;
    RecordedHost emulated(Scenario("replug_ms=14500"), clock);
    CListingCounter host(emulated, listings);
    cli_test::CliRun run;
    {
        CInterruptAt stop(clock, interrupt, 90000);
        run = RunTool({"station", image.Path(), "--expect-identity", kKt3916, "--units", "2", "--json"}, &host, &clock,
                      &interrupt);
    }
    const auto units = Events(run.out, "unit");
    ASSERT_EQ(units.size(), 1u) << run.out << run.err;
    EXPECT_EQ(units[0].at("result"), "passed");
    EXPECT_EQ(units[0].at("new_revision"), "1.10");
    EXPECT_EQ(Count(emulated, 0x1B), (std::map<char, int>{{'D', 1}}));
}

// How a station ends and what it says of units it did not flash.
TEST(CliStation, UnitsNotFlashedAndInterruptedShiftsHaveTheirOwnCodes)
{
    TempImage image(PatternImage(524288, 14));
    const struct {
        const char* why;
        const char* scenario;
        std::vector<std::string> extra;
        int interruptOnInquiry;  // 0: Ctrl-C only after the shift's units
        int exit;
        const char* unit;  // result, or result/reason of a skipped one
        const char* exitName;
        const char* revisionChanged;  // of a flashed unit
    } cases[] = {
        {"--units 2 ended short", "", {"--units", "2"}, 0, kExitInterrupted, "passed", "success", "true"},
        {"already updated",
         "revision=1.10",
         {"--new-revision", "1.10"},
         0,
         kExitSuccess,
         "skipped/already-updated",
         "success",
         ""},
        {"Ctrl-C at the unit's INQUIRY", "", {}, 1, kExitSuccess, "skipped/interrupted", "interrupted", ""},
        {"Ctrl-C in the start delay", "", {}, 2, kExitSuccess, "skipped/interrupted", "interrupted", ""},
        // The interrupt cut the one unit asked for: not a failed shift.
        {"--units 1, Ctrl-C in the restart wait",
         "never_return=1",
         {"--units", "1"},
         3,
         kExitInterrupted,
         "failed",
         "interrupted",
         "false"},
        // As flash --all judges the same devices.
        {"only wrong devices",
         "",
         {"--expect-revision", "0.90"},
         0,
         kExitWrongDevice,
         "skipped/wrong-device",
         "wrong-device",
         ""},
        {"back with its old revision", "new_revision=1.00", {}, 0, kExitSuccess, "passed", "success", "false"},
    };
    for (const auto& c : cases) {
        ManualClock clock;
        CInterruptFlag interrupt;
        RecordedHost emulated(Scenario(c.scenario), clock);
        CInterruptOnInquiry host(emulated, interrupt, c.interruptOnInquiry);
        std::vector<std::string> args = {"station", image.Path(), "--json", "--expect-identity", kKt3916};
        args.insert(args.end(), c.extra.begin(), c.extra.end());
        cli_test::CliRun run;
        {
            CInterruptAt stop(clock, interrupt, 60000);
            run = RunTool(args, &host, &clock, &interrupt);
        }
        EXPECT_EQ(run.exit, c.exit) << c.why << "\n" << run.err;
        const auto units = Events(run.out, "unit");
        ASSERT_EQ(units.size(), 1u) << c.why << "\n" << run.out;
        const std::string result =
            units[0].at("result") + (units[0].count("reason") ? "/" + units[0].at("reason") : std::string());
        EXPECT_EQ(result, c.unit) << c.why;
        EXPECT_EQ(units[0].at("exit_name"), c.exitName) << c.why;
        if (*c.revisionChanged) {
            EXPECT_EQ(units[0].at("revision_changed"), c.revisionChanged) << c.why;
        }
        EXPECT_EQ(Events(run.out, "summary").at(0).at("exit_code"), std::to_string(c.exit)) << c.why;
        if (result.rfind("skipped", 0) == 0) {
            EXPECT_EQ(Count(emulated, 0x1B).count('D'), 0u) << c.why << ": nothing was written";
        }
    }
}

// A unit is flashed once while it stays; one that leaves and comes back is
// a new unit; several units run side by side.
TEST(CliStation, EachAttachedUnitIsFlashedExactlyOnce)
{
    TempImage image(PatternImage(524288, 5));
    ManualClock clock;
    RecordedHost host(Scenario("devices=3,plug=D+1000/E+60000/D-100000/D+130000/F+130000"), clock);
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
TEST(CliStation, UnexpectedDevicesAreSkippedAndLeftAlone)
{
    TempImage image(PatternImage(524288, 6));
    const struct {
        const char* scenario;
        std::vector<std::string> guard;
        const char* why;
        int exit;  // a shift of wrong devices only is judged as flash --all judges them
    } cases[] = {
        {"devices=2", {"--expect-identity", "OTHERCO DVD-ROM-X"}, "expected \"OTHERCO DVD-ROM-X\"", kExitWrongDevice},
        {"devices=2", {"--expect-identity", kKt3916, "--expect-revision", "0.90"}, "revision 0.90", kExitWrongDevice},
        {"devices=2,revision=1.10", {"--expect-identity", kKt3916, "--new-revision", "1.10"}, "already", kExitSuccess},
    };
    for (const auto& c : cases) {
        ManualClock clock;
        CInterruptFlag interrupt;
        RecordedHost host(Scenario(c.scenario), clock);
        std::vector<std::string> args = {"station", image.Path(), "--json"};
        args.insert(args.end(), c.guard.begin(), c.guard.end());
        cli_test::CliRun run;
        {
            CInterruptAt stop(clock, interrupt, 30000);
            run = RunTool(args, &host, &clock, &interrupt);
        }
        EXPECT_EQ(run.exit, c.exit) << c.scenario << "\n" << run.err;
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

TEST(CliStation, AFailedUnitFailsTheStationAndSaysWhy)
{
    TempImage image(PatternImage(524288, 7));
    ManualClock clock;
    RecordedHost host(Scenario("fail_block=3"), clock);
    const auto run = RunTool({"station", image.Path(), "--expect-identity", kKt3916, "--units", "1"}, &host, &clock);
    EXPECT_EQ(run.exit, kExitSomeFailed) << run.err;
    const auto lines = Lines(run.out);
    ASSERT_EQ(lines.size(), 3u) << run.out;
    EXPECT_EQ(lines[0].rfind("station: run ", 0), 0u) << "stdout is tried before any unit: " << lines[0];
    EXPECT_NE(lines[1].find("D: emulated  KTDEV KT3916 FLASHER  1.00  failed (send-failure)"), std::string::npos)
        << lines[1];
    EXPECT_NE(lines[1].find("05/24/00"), std::string::npos) << lines[1];
    EXPECT_NE(lines[1].find("stopped after 3 of 9"), std::string::npos) << lines[1];
    EXPECT_EQ(lines[2], "station: 0 passed, 1 failed, 0 skipped");
}

// A unit's line for a person tells what its JSON event tells: the revisions,
// the result and why, and the image it was held to.
TEST(CliStation, AUnitLineTellsWhatItsEventTells)
{
    TempImage image(PatternImage(524288, 8));
    const struct {
        const char* scenario;
        std::vector<std::string> extra;
        const char* line;  // after the unit's time
    } cases[] = {
        {"new_revision=1.10", {}, "D: emulated  KTDEV KT3916 FLASHER  1.00 -> 1.10  passed  "},
        {"new_revision=1.00", {}, "D: emulated  KTDEV KT3916 FLASHER  1.00 -> 1.00 (revision unchanged)  passed  "},
        {"", {"--expect-revision", "0.90"}, "D: emulated  KTDEV KT3916 FLASHER  1.00  skipped (wrong-device): D: is "},
        {"revision=1.10",
         {"--new-revision", "1.10"},
         "D: emulated  KTDEV KT3916 FLASHER  1.10  skipped (already-updated): D: already runs revision 1.10; nothing "
         "was sent"},
    };
    for (const auto& c : cases) {
        std::map<bool, cli_test::CliRun> runs;
        for (bool json : {true, false}) {
            ManualClock clock;
            RecordedHost host(Scenario(c.scenario), clock);
            std::vector<std::string> args = {"station", image.Path(), "--expect-identity", kKt3916};
            args.insert(args.end(), c.extra.begin(), c.extra.end());
            if (json)
                args.push_back("--json");
            CInterruptFlag interrupt;
            CInterruptAt stop(clock, interrupt, 60000);
            runs[json] = RunTool(args, &host, &clock, &interrupt);
        }
        const Fields unit = Events(runs[true].out, "unit").at(0);
        const auto lines = Lines(runs[false].out);
        ASSERT_EQ(lines.size(), 3u) << runs[false].out;
        EXPECT_EQ(lines[1].find(std::string("  ") + c.line), lines[1].find("  ")) << "after the time: " << lines[1];
        const std::string held = "  image " + (unit.count("checksum") ? unit.at("checksum") : "") + " sha256 ";
        EXPECT_EQ(lines[1].find(held) != std::string::npos, unit.count("checksum") != 0) << lines[1];
        if (unit.count("checksum")) {
            EXPECT_NE(lines[1].find(held + unit.at("sha256")), std::string::npos) << lines[1];
            EXPECT_TRUE(std::regex_search(lines[1], std::regex("  [0-9]+\\.[0-9] s  image "))) << lines[1];
        }
        if (!unit.at("message").empty()) {
            EXPECT_EQ(lines[1].substr(lines[1].size() - unit.at("message").size()), unit.at("message"));
        }
    }
}

// A unit that another program holds is not written: it fails as busy, and
// the others go on.
TEST(CliStation, AUnitHeldByAnotherProgramFailsAsBusy)
{
    TempImage image(PatternImage(524288, 10));
    ManualClock clock;
    RecordedHost host(Scenario("devices=2"), clock);
    ExclusiveAccess access;
    const HostHandle other = host.OpenDeviceExclusive("\\\\.\\D:", access);
    ASSERT_EQ(access, ExclusiveAccess::Held);
    const auto run =
        RunTool({"station", image.Path(), "--expect-identity", kKt3916, "--units", "2", "--json"}, &host, &clock);
    host.CloseDevice(other);
    EXPECT_EQ(run.exit, kExitSomeFailed) << run.err;
    std::map<std::string, std::string> results;
    for (const Fields& unit : Events(run.out, "unit"))
        results[unit.at("device")] = unit.at("exit_name");
    EXPECT_EQ(results, (std::map<std::string, std::string>{{"D:", "device-busy"}, {"E:", "success"}})) << run.out;
    EXPECT_EQ(Count(host, 0x1B), (std::map<char, int>{{'E', 1}}));
}

// On a terminal the status line counts and names what the station waits
// for; unit lines pass above it.
TEST(CliStation, StatusLineCountsTheUnits)
{
    TempImage image(PatternImage(524288, 9));
    ManualClock clock;
    RecordedHost host(Scenario("devices=2,plug=E+20000"), clock);
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

TEST(CliStation, RefusesToRunUnguardedOrWithFlashOptions)
{
    TempImage image(PatternImage(524288, 8));
    const struct {
        std::vector<std::string> args;
        const char* error;
    } cases[] = {
        {{"station", image.Path()}, "station needs --expect-identity"},
        {{"station", image.Path(), "--expect-revision", "1.00"}, "station needs --expect-identity"},
        {{"station", image.Path(), "--expect-identity", kKt3916, "--all"}, "--all is for 'flash' only"},
        {{"station", image.Path(), "--expect-identity", kKt3916, "-d", "D"},
         "--device is for 'flash' and 'udev-rule' only"},
        {{"station", image.Path(), "--expect-identity", kKt3916, "--units", "0"}, "--units takes a whole number"},
        {{"station", image.Path(), "--expect-identity", kKt3916, "--units", "x"}, "--units takes a whole number"},
        {{"station", image.Path(), "--expect-identity", kKt3916, "--units", "100001"}, "--units takes a whole"},
        {{"flash", image.Path(), "--units", "2"}, "--units is for 'station' only"},
        {{"station"}, "'station' needs an image file"},
        {{"station", image.Path(), "--expect-identity", kKt3916, "--expect-revision", "1.10", "--new-revision", "1.10"},
         "are both 1.10"},
    };
    for (const auto& c : cases) {
        ManualClock clock;
        RecordedHost host(Scenario(""), clock);
        CInterruptFlag interrupt;
        interrupt.Raise();  // a station that does start ends at once, and fails the case
        const auto run = RunTool(c.args, &host, &clock, &interrupt);
        EXPECT_EQ(run.exit, kExitUsage) << c.error;
        EXPECT_NE(run.err.find(c.error), std::string::npos) << run.err;
        EXPECT_TRUE(host.Records().empty()) << c.error;
    }
}

// A unit the tool failed after the form's success says the verdict first,
// quoted, and keeps the form's message apart, in the line and the event.
TEST(CliStation, AWrongRevisionLineLeadsWithTheVerdict)
{
    TempImage image(PatternImage(524288, 11));
    const struct {
        const char* scenario;
        const char* expected;
        const char* verdict;
    } cases[] = {
        {"", "2.00", "the device answered with revision \"1.10\", expected \"2.00\""},
        {"new_revision=", "1.10", "the device answered with revision \"\", expected \"1.10\""},
    };
    for (const auto& c : cases) {
        for (const bool json : {false, true}) {
            ManualClock clock;
            RecordedHost host(Scenario(c.scenario), clock);
            std::vector<std::string> args = {"station", image.Path(), "--expect-identity", kKt3916,
                                             "--units", "1",          "--new-revision",    c.expected};
            if (json)
                args.push_back("--json");
            const auto run = RunTool(args, &host, &clock);
            EXPECT_EQ(run.exit, kExitSomeFailed) << run.err;
            if (json) {
                const auto units = Events(run.out, "unit");
                ASSERT_EQ(units.size(), 1u) << run.out;
                EXPECT_EQ(units[0].at("exit_name"), "wrong-revision");
                EXPECT_EQ(units[0].at("message").rfind(c.verdict, 0), 0u) << units[0].at("message");
                EXPECT_EQ(units[0].at("form_message"), "Update success!!");
            } else {
                const std::string line = Lines(run.out).at(1);
                EXPECT_NE(line.find(std::string("failed (wrong-revision)  ")), std::string::npos) << line;
                EXPECT_NE(line.find(std::string(": ") + c.verdict + "; the form said \"Update success!!\""),
                          std::string::npos)
                    << line;
                EXPECT_EQ(line.find(std::string(c.verdict) + ";", line.find(c.verdict) + 1), std::string::npos)
                    << "the verdict once: " << line;
            }
        }
    }
}

// Early ends of station and flash alike: --json gets one result event with
// the exit code, whatever stopped the run before its first unit.
TEST(CliStation, EarlyEndsPrintAResultEventAsFlashDoes)
{
    TempImage image(PatternImage(524288, 12));
    const struct {
        std::vector<std::string> args;
        CliExit exit;
    } cases[] = {
        {{"--emulate", image.Path() + ".missing"}, kExitImageUnreadable},
        {{"--emulate=devices=many", image.Path()}, kExitUsage},
        {{"--emulate", "--log", image.Path() + ".missing/log.jsonl", image.Path()}, kExitError},
    };
    for (const auto& c : cases) {
        for (const std::vector<std::string>& command :
             {std::vector<std::string>{"flash"}, std::vector<std::string>{"station", "--expect-identity", kKt3916}}) {
            std::vector<std::string> args = command;
            args.insert(args.begin() + 1, c.args.begin(), c.args.end());
            args.push_back("--json");
            const auto run = RunTool(args);
            EXPECT_EQ(run.exit, c.exit) << command[0] << " " << c.args[0] << "\n" << run.err;
            const auto results = Events(run.out, "result");
            ASSERT_EQ(results.size(), 1u) << command[0] << " " << c.args[0] << "\n" << run.out;
            EXPECT_EQ(results[0].at("exit_code"), std::to_string(c.exit));
            EXPECT_NE(Lines(run.out).back().find("\"event\":\"result\""), std::string::npos) << "the last word";
        }
    }
}

// Without exclusive access (Windows 9x) every drive is named once, not only
// the first the station found.
TEST(CliStation, NoExclusiveAccessNamesEveryDrive)
{
    TempImage image(PatternImage(524288, 13));
    ManualClock clock;
    RecordedHost host(Scenario("devices=2,win9x=1"), clock);
    const auto run = RunTool({"station", image.Path(), "--expect-identity", kKt3916, "--units", "2"}, &host, &clock);
    EXPECT_EQ(run.exit, kExitSuccess) << run.err;
    for (const char* drive : {"D:", "E:"}) {
        const std::string notice = std::string("other programs may still send commands to ") + drive + "\n";
        const size_t at = run.err.find(notice);
        EXPECT_NE(at, std::string::npos) << drive << "\n" << run.err;
        EXPECT_EQ(run.err.find(notice, at + 1), std::string::npos) << "once: " << run.err;
    }
}

// Ctrl-C during a unit's transfer is announced while the transfer runs, as
// flash announces it, and before the unit's own line.
TEST(CliStation, AHeldInterruptIsAnnouncedAtOnce)
{
    TempImage image(PatternImage(524288, 14));
    for (const bool json : {false, true}) {
        ManualClock clock;
        CInterruptFlag interrupt;
        RecordedHost host(Scenario("latency_ms=400"), clock);
        CInterruptOnBlock stop(host, interrupt, 3);
        std::vector<std::string> args = {"station", image.Path(), "--expect-identity", kKt3916};
        if (json)
            args.push_back("--json");
        const cli_test::CliRun run = RunTool(args, &stop, &clock, &interrupt);
        EXPECT_EQ(Count(host, 0xFA), (std::map<char, int>{{'D', 9}})) << "the transfer ran to its end";
        const std::string said = "interrupt received while sending the image: it is held until the transfer ends";
        if (json) {
            const auto held = Events(run.out, "interrupt");
            ASSERT_EQ(held.size(), 1u) << run.out;
            EXPECT_EQ(held[0].at("device"), "D:");
            EXPECT_NE(held[0].at("text").find(said), std::string::npos);
            EXPECT_LT(run.out.find("\"event\":\"interrupt\""), run.out.find("\"event\":\"unit\"")) << run.out;
        } else {
            EXPECT_NE(run.err.find(std::string("D: emulated ") + said), std::string::npos) << run.err;
        }
    }
}
