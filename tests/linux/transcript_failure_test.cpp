#include <signal.h>
#include <sys/resource.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>

#include "run/exit_codes.h"
#include "tests/cli_test_support.h"
#include "tests/temp_image.h"

namespace {

using Fields = std::map<std::string, std::string>;

std::vector<Fields> Events(const std::string& out)
{
    std::vector<Fields> events;
    for (const std::string& line : cli_test::Lines(out)) {
        Fields fields;
        EXPECT_TRUE(cli_test::JsonReader::ParseObject(line, fields)) << line;
        events.push_back(fields);
    }
    return events;
}

int Count(const std::vector<Fields>& events, const std::string& kind)
{
    int n = 0;
    for (const Fields& f : events)
        n += f.at("event") == kind;
    return n;
}

// Lowers the file size limit of this process for one scope, with SIGXFSZ
// ignored, so a write past it fails with EFBIG as on a full disk.
class CFileSizeLimit {
public:
    explicit CFileSizeLimit(rlim_t bytes)
    {
        getrlimit(RLIMIT_FSIZE, &m_previous);
        m_previousHandler = signal(SIGXFSZ, SIG_IGN);
        rlimit limit = m_previous;
        limit.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~CFileSizeLimit()
    {
        setrlimit(RLIMIT_FSIZE, &m_previous);
        signal(SIGXFSZ, m_previousHandler);
    }

private:
    rlimit m_previous{};
    sighandler_t m_previousHandler;
};

TEST(TranscriptFailure, FileThatTakesNothingStopsTheFlashBeforeItBegins)
{
    TempImage image(PatternImage(524288, 31));
    const auto run =
        cli_test::RunTool({"--emulate=reboot_ms=0", "--transcript", "/dev/full", "--json", "flash", image.Path()});
    EXPECT_EQ(run.exit, kExitError);
    EXPECT_NE(run.err.find("cannot write the transcript file /dev/full: No space left on device; the flash was "
                           "not started"),
              std::string::npos)
        << run.err;
    const auto events = Events(run.out);
    EXPECT_EQ(Count(events, "start"), 0);
    EXPECT_EQ(Count(events, "block"), 0);

    const auto list = cli_test::RunTool({"--emulate", "--transcript", "/dev/full", "list"});
    EXPECT_EQ(list.exit, kExitError);
    EXPECT_NE(list.err.find("the transcript file /dev/full could not be written to the end"), std::string::npos)
        << list.err;
}

// A station stops as flash does: the unit whose INQUIRY the file did not
// take is not flashed, and no unit after it.
TEST(TranscriptFailure, FileThatTakesNothingStopsTheStationBeforeItsFirstFlash)
{
    TempImage image(PatternImage(524288, 33));
    const auto run = cli_test::RunTool({"--emulate=devices=2,reboot_ms=0", "--transcript", "/dev/full", "--json",
                                        "station", image.Path(), "--expect-identity", "KTDEV KT3916 FLASHER"});
    EXPECT_EQ(run.exit, kExitError);
    EXPECT_NE(run.err.find("cannot write the transcript file /dev/full: No space left on device; D: was not flashed, "
                           "the station stops"),
              std::string::npos)
        << run.err;
    const auto events = Events(run.out);
    ASSERT_EQ(Count(events, "unit"), 1) << run.out;
    const Fields& unit = events.at(1);
    EXPECT_EQ(unit.at("result"), "skipped");
    EXPECT_EQ(unit.at("exit_name"), "error");
    EXPECT_EQ(unit.at("device"), "D:");
    EXPECT_EQ(Count(events, "summary"), 1);
}

// The file fills up while the blocks go out: the transfer runs to its end,
// the device's result is reported, and the exit code says the record is cut
// where the device's own failure does not say more.
TEST(TranscriptFailure, FailureDuringTheRunNeverStopsTheTransfer)
{
    const struct {
        const char* emulate;
        int blocks;
        const char* result;
        int exit;
    } rows[] = {
        {"--emulate=reboot_ms=0", 9, "success", kExitError},
        {"--emulate=reboot_ms=0,fail_block=8", 8, "send-failure", kExitSendFailure},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.emulate);
        TempImage image(PatternImage(524288, 32));
        const std::string transcript = image.Path() + ".jsonl";
        cli_test::CliRun run;
        {
            CFileSizeLimit limit(1500);  // a few lines: the listing and survey fit, the blocks do not
            run = cli_test::RunTool({row.emulate, "--transcript", transcript, "--json", "flash", image.Path()});
        }
        std::filesystem::remove(transcript);
        EXPECT_EQ(run.exit, row.exit);
        const auto events = Events(run.out);
        ASSERT_FALSE(events.empty());
        EXPECT_EQ(Count(events, "block"), row.blocks) << "every block still went out";
        for (const Fields& f : events) {
            if (f.at("event") == "result") {
                EXPECT_EQ(f.at("result"), row.result);
            }
        }
        EXPECT_EQ(events.back().at("event"), "error");
        EXPECT_NE(events.back().at("text").find("could not be written to the end: File too large"), std::string::npos);
        EXPECT_NE(run.err.find("could not be written to the end: File too large"), std::string::npos) << run.err;
    }
}

}  // namespace
