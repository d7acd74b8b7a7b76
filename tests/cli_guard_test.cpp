#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "device/emulated/emulated_host.h"
#include "device/emulated/scenario.h"
#include "run/device_list.h"
#include "run/exit_codes.h"
#include "run/identity_guard.h"
#include "tests/cli_test_support.h"
#include "tests/emulated_host_probe.h"
#include "tests/temp_image.h"

using cli_test::Events;
using cli_test::RunTool;
using cli_test::Scenario;

namespace {

using Fields = std::map<std::string, std::string>;

// The opcodes one drive received from record first on.
std::multiset<int> Opcodes(const RecordedHost& host, char drive, size_t first = 0)
{
    std::multiset<int> opcodes;
    const std::vector<TranscriptRecord> records = host.Records();
    for (size_t i = first; i < records.size(); ++i) {
        if (records[i].drive == drive)
            opcodes.insert(records[i].cdb[0]);
    }
    return opcodes;
}

// One drive's INQUIRY never comes back: a drive that does not answer.
class CSilentDriveHost final : public cli_test::CForwardingHost {
public:
    CSilentDriveHost(IScsiHost& inner, char drive) : CForwardingHost(inner), m_drive(drive) {}
    HostHandle OpenDevice(const char* path) override { return Watch(m_inner.OpenDevice(path), path); }
    HostHandle OpenDeviceExclusive(const char* path, ExclusiveAccess& access) override
    {
        return Watch(m_inner.OpenDeviceExclusive(path, access), path);
    }
    bool SendPassThrough(HostHandle device, PassThroughRequest& request) override
    {
        if (m_silent.count(device) && request.sptd.Cdb[0] == 0x12)
            return false;
        return m_inner.SendPassThrough(device, request);
    }

private:
    HostHandle Watch(HostHandle handle, const char* path)
    {
        if (std::strlen(path) == 6 && path[4] == m_drive)
            m_silent.insert(handle);
        return handle;
    }

    char m_drive;
    std::set<HostHandle> m_silent;
};

constexpr int kInquiry = 0x12;
constexpr int kStartStop = 0x1B;

}  // namespace

TEST(CliGuard, OnlyTheExpectedDeviceGetsMoreThanItsInquiry)
{
    TempImage image(PatternImage(524288, 50));
    const struct {
        const char* scenario;
        std::vector<std::string> guard;
        bool silent;
        int exit;
        const char* error;
    } cases[] = {
        {"", {"--expect-identity", "KTDEV KT3916 FLASHER"}, false, kExitSuccess, ""},
        {"", {"--expect-identity=KTDEV KT3916 FLASHER  ", "--expect-revision", "1.00"}, false, kExitSuccess, ""},
        {"", {"--expect-revision", "1.00  "}, false, kExitSuccess, ""},
        // As the events print the device's padded fields.
        {"", {"--expect-identity", "KTDEV   KT3916 FLASHER  "}, false, kExitSuccess, ""},
        // The device pads its revision field; the comparison is exact but for
        // trailing blanks: no prefix, no other case.
        {"revision=1.0", {"--expect-revision", "1.0"}, false, kExitSuccess, ""},
        {"", {"--expect-revision", "1"}, false, kExitWrongDevice, "revision 1.00, expected revision 1; nothing"},
        {"revision=1.0A", {"--expect-revision", "1.0a"}, false, kExitWrongDevice, "expected revision 1.0a; nothing"},
        {"vendor=OTHERCO,product=DVD-ROM-X,revision=2.00",
         {"--expect-identity", "KTDEV KT3916 FLASHER"},
         false,
         kExitWrongDevice,
         "D: is \"OTHERCO DVD-ROM-X\" revision 2.00, expected \"KTDEV KT3916 FLASHER\"; nothing was sent"},
        // A sibling product, and the vendor alone: a prefix is no match.
        {"product=KT3916 FLASHER-B",
         {"--expect-identity", "KTDEV KT3916 FLASHER"},
         false,
         kExitWrongDevice,
         "D: is \"KTDEV KT3916 FLASHER-B\" revision 1.00, expected \"KTDEV KT3916 FLASHER\""},
        {"", {"--expect-identity", "KTDEV"}, false, kExitWrongDevice, "expected \"KTDEV\"; nothing was sent"},
        {"",
         {"--expect-identity", "ktdev kt3916 flasher"},
         false,
         kExitWrongDevice,
         "expected \"ktdev kt3916 flasher\""},
        {"",
         {"--expect-identity", "KTDEV KT3916 FLASHER", "--expect-revision", "1.10"},
         false,
         kExitWrongDevice,
         "D: is \"KTDEV KT3916 FLASHER\" revision 1.00, expected \"KTDEV KT3916 FLASHER\" revision 1.10; "},
        {"",
         {"--expect-revision", "1.00"},
         true,
         kExitWrongDevice,
         "D: did not answer INQUIRY, expected revision 1.00; nothing was sent"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.guard.front() + " " + c.scenario);
        ManualClock clock;
        RecordedHost emulated(Scenario(c.scenario), clock);
        CSilentDriveHost host(emulated, c.silent ? 'D' : '-');
        std::vector<std::string> args = {"flash", image.Path(), "--json"};
        args.insert(args.end(), c.guard.begin(), c.guard.end());
        const auto run = RunTool(args, &host, &clock);
        EXPECT_EQ(run.exit, c.exit) << run.err;
        const std::vector<Fields> results = Events(run.out, "result");
        ASSERT_EQ(results.size(), 1u);
        if (c.exit == kExitSuccess) {
            // The guard's INQUIRY is the one more command: the survey's and one poll follow.
            EXPECT_EQ(Opcodes(emulated, 'D').count(kInquiry), 3u);
            continue;
        }
        EXPECT_NE(run.err.find(c.error), std::string::npos) << run.err;
        EXPECT_NE(results[0].at("message").find(c.error), std::string::npos);
        EXPECT_EQ(results[0].at("result"), "wrong-device");
        EXPECT_EQ(Opcodes(emulated, 'D'), (c.silent ? std::multiset<int>{} : std::multiset<int>{kInquiry}));
    }
}

// The transcript's first line and the guard's identity are the same INQUIRY.
TEST(CliGuard, OneInquiryServesTheTranscriptAndTheGuard)
{
    TempImage image(PatternImage(524288, 51));
    const std::string transcript = image.Path() + ".jsonl";
    const auto run = RunTool({"--emulate=reboot_ms=0", "--transcript", transcript, "flash", image.Path(),
                              "--expect-identity", "KTDEV KT3916 FLASHER"});
    EXPECT_EQ(run.exit, kExitSuccess) << run.err;
    std::ifstream in(transcript);
    int inquiries = 0;
    for (std::string line; std::getline(in, line);)
        inquiries += line.find("\"cdb\":\"12") != std::string::npos;
    std::remove(transcript.c_str());
    EXPECT_EQ(inquiries, 3) << "the guard's, the survey's and one poll";
}

// E already runs 1.10 and F does not answer: with --all both are skipped,
// and the exit code follows the devices that were flashed.
TEST(CliGuard, AllSkipsWhatIsNotExpectedAndIsJudgedByWhatItFlashed)
{
    TempImage image(PatternImage(524288, 52));
    const struct {
        const char* revision;
        char faulty;  // a drive whose second block write fails
        int exit;
        const char* flashed;
    } cases[] = {
        {"1.00", '-', kExitSuccess, "D"},
        {"1.10", '-', kExitSuccess, "E"},
        {"1.00", 'D', kExitSomeFailed, "D"},
        {"2.00", '-', kExitWrongDevice, ""},
    };
    for (const auto& c : cases) {
        for (bool json : {false, true}) {
            SCOPED_TRACE(std::string(c.revision) + " " + c.faulty + (json ? " json" : ""));
            ManualClock clock;
            RecordedHost emulated(Scenario("devices=3,reboot_ms=0"), clock);
            ASSERT_EQ(RunTool({"flash", image.Path(), "--device", "E"}, &emulated, &clock).exit, kExitSuccess);
            const size_t before = emulated.Records().size();
            cli_test::CFaultOnOneDriveHost faulty(emulated, c.faulty, 1);
            CSilentDriveHost host(faulty, 'F');
            std::vector<std::string> args = {"flash", image.Path(), "--all", "--expect-revision", c.revision};
            if (json)
                args.push_back("--json");
            const auto run = RunTool(args, &host, &clock);
            EXPECT_EQ(run.exit, c.exit) << run.err;
            for (char drive : {'D', 'E'}) {
                const bool flashed = std::string(c.flashed).find(drive) != std::string::npos;
                const std::multiset<int> got = Opcodes(emulated, drive, before);
                EXPECT_EQ(got.count(kStartStop), flashed ? 1u : 0u) << drive;
                if (!flashed) {
                    EXPECT_EQ(got, std::multiset<int>{kInquiry}) << drive;
                }
            }
            EXPECT_TRUE(Opcodes(emulated, 'F', before).empty());
            if (!json) {
                EXPECT_NE(run.out.find("F:     skipped"), std::string::npos) << run.out;
                EXPECT_NE(run.out.find("F: did not answer INQUIRY, expected revision"), std::string::npos);
                continue;
            }
            const std::vector<Fields> summary = Events(run.out, "summary");
            ASSERT_EQ(summary.size(), 1u);
            EXPECT_EQ(summary[0].at("skipped"), std::to_string(3 - std::string(c.flashed).size()));
            EXPECT_EQ(summary[0].at("exit_code"), std::to_string(c.exit));
            EXPECT_NE(summary[0].at("results").find("{\"device\":\"F:\",\"result\":\"skipped\",\"reason\":\"F: did "
                                                    "not answer INQUIRY"),
                      std::string::npos)
                << summary[0].at("results");
        }
    }
}

TEST(CliGuard, TheRevisionThatAnsweredIsShownAndJudged)
{
    TempImage image(PatternImage(524288, 53));
    const struct {
        const char* scenario;
        const char* expected;  // --new-revision, or none
        int exit;
        const char* surveyed;
        const char* answered;
    } cases[] = {
        {"", nullptr, kExitSuccess, "1.00", "1.10"},
        {"", "1.10", kExitSuccess, "1.00", "1.10"},
        {"revision=1.0,new_revision=1.1", "1.1", kExitSuccess, "1.0", "1.1"},
        {"", "2.00", kExitWrongRevision, "1.00", "1.10"},
        {"never_return=1", "1.10", kExitNoReturn, "1.00", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.scenario) + " " + (c.expected ? c.expected : "-"));
        ManualClock clock;
        RecordedHost host(Scenario(c.scenario), clock);
        std::vector<std::string> args = {"flash", image.Path(), "--json"};
        if (c.expected)
            args.insert(args.end(), {"--new-revision", c.expected});
        const auto run = RunTool(args, &host, &clock);
        EXPECT_EQ(run.exit, c.exit) << run.err;
        const std::vector<Fields> results = Events(run.out, "result");
        ASSERT_EQ(results.size(), 1u);
        EXPECT_EQ(results[0].at("revision"), c.surveyed);
        EXPECT_EQ(results[0].at("new_revision"), c.answered);
        const bool wrong = c.exit == kExitWrongRevision;
        EXPECT_EQ(results[0].at("notes").find(R"(the device answered with revision \"1.10\", expected \"2.00\")") !=
                      std::string::npos,
                  wrong);
    }
    ManualClock clock;
    RecordedHost host(Scenario(""), clock);
    const auto run = RunTool({"flash", image.Path(), "--new-revision", "2.00"}, &host, &clock);
    EXPECT_NE(run.err.find("D: result: wrong-revision (exit 10), revision 1.00 -> 1.10\n"
                           "D: the device answered with revision \"1.10\", expected \"2.00\"\n"),
              std::string::npos)
        << run.err;
}

TEST(CliGuard, PollWindowWaitsForASlowDevice)
{
    TempImage image(PatternImage(524288, 54));
    const struct {
        const char* scenario;
        const char* window;  // --poll-window, or none
        int exit;
        int ticks;
        int polls;
    } cases[] = {
        {"reboot_ms=25000", nullptr, kExitNoReturn, 21, 9},
        {"reboot_ms=25000", "13..30", kExitSuccess, 25, 13},
        {"", "20..30", kExitSuccess, 20, 1},
        {"never_return=1", "13..13", kExitNoReturn, 13, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.scenario) + " " + (c.window ? c.window : "-"));
        ManualClock clock;
        RecordedHost host(Scenario(c.scenario), clock);
        std::vector<std::string> args = {"flash", image.Path(), "--json"};
        if (c.window)
            args.insert(args.end(), {"--poll-window", c.window});
        const auto run = RunTool(args, &host, &clock);
        EXPECT_EQ(run.exit, c.exit) << run.err;
        const std::vector<Fields> ticks = Events(run.out, "tick");
        ASSERT_EQ(ticks.size(), static_cast<size_t>(c.ticks));
        EXPECT_EQ(ticks.back().at("ticks"), c.window ? std::string(c.window).substr(4) : "21");
        EXPECT_EQ(static_cast<int>(Opcodes(host, 'D').count(kInquiry)), 1 + c.polls) << "the survey's, then the polls";
    }
}

// A signed image's revision=X.YZ keeps a device that runs a newer revision,
// or one that cannot be compared, from being taken back to it.
TEST(CliGuard, NoDeviceIsTakenBackToAnOlderSignedRevision)
{
    const struct {
        const char* device;  // its revision; null: it did not answer
        const char* newest;
        const char* mismatch;  // a part of the text; null: none
    } rows[] = {
        {"1.00", "1.10", nullptr},
        {"1.10", "1.10", nullptr},
        {"2.00", "10.00", nullptr},
        {"1.11", "1.10", "D: runs revision 1.11, newer than the signed image's revision 1.10; nothing was sent"},
        {"10.00", "9.99", "runs revision 10.00"},
        {"1.1", "1.10", "D: reports revision \"1.1\", which cannot be compared"},
        {"", "1.10", "reports revision \"\""},
        {nullptr, "1.10", "D: did not answer INQUIRY; nothing was sent"},
    };
    for (const auto& row : rows) {
        ListedDevice device;
        device.chDrive = 'D';
        device.bAnswered = row.device != nullptr;
        device.strRevision = row.device ? row.device : "";
        IdentityExpectation expected;
        expected.newestRevision = row.newest;
        const std::string text = IdentityMismatch(expected, device);
        if (row.mismatch)
            EXPECT_NE(text.find(row.mismatch), std::string::npos) << text;
        else
            EXPECT_EQ(text, "") << row.device;
    }
    for (const char* good : {"1.10", "0.00", "123456.99"})
        EXPECT_TRUE(IsRevisionNumber(good)) << good;
    for (const char* bad : {"", "1.1", "1.100", ".10", "1234567.00", "1.1a", "a.10", "1..0", "1,10", "1.10 "})
        EXPECT_FALSE(IsRevisionNumber(bad)) << bad;
}
