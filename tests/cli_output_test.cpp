#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "cli/cli_app.h"
#include "device/emulated/emulated_host.h"
#include "device/emulated/scenario.h"
#include "run/exit_codes.h"
#include "run/image_check.h"
#include "run/progress_output.h"
#include "run/image_trust.h"
#include "run/summary.h"
#include "tests/cli_test_support.h"
#include "tests/temp_image.h"
#include "tests/virtual_terminal.h"

TEST(CliOutput, ProgressLineShowsEachPhase)
{
    using Phase = ProgressLine::Phase;
    const struct {
        ProgressLine line;
        std::string text;
    } cases[] = {
        {{'D', "", Phase::Waiting, 0, 0, 0, false, false, "", "", {}}, "D: starting"},
        {{'D', "KTDEV   KT3916 FLASHER  ", Phase::Sending, 0, 9, 0, false, false, "", "", {}},
         "D: KTDEV KT3916 FLASHER  [........................] block 0/9"},
        {{'E', "", Phase::Sending, 3, 9, 0, false, false, "", "", {}}, "E: [########................] block 3/9"},
        {{'E', "", Phase::Sending, 5, 18, 0, true, false, "", "", {}},
         "E: [######..................] block 5/18  Ctrl-C held"},
        {{'D', "", Phase::Verifying, 0, 9, 1, false, false, "", "", {}},
         "D: [#.......................] restarting, 12 s"},
        {{'D', "", Phase::Verifying, 0, 9, 12, false, false, "", "", {}},
         "D: [#############...........] restarting, 1 s"},
        {{'D', "", Phase::Verifying, 0, 9, 13, false, false, "", "", {}}, "D: [##############..........] asking 13/21"},
        {{'D', "", Phase::Verifying, 0, 9, 21, false, false, "", "", {}}, "D: [########################] asking 21/21"},
        {{'D', "", Phase::Done, 9, 9, 13, false, true, "Update success!!", "", {}},
         "D: [########################] Update success!!"},
        {{'D', "", Phase::Done, 4, 9, 0, false, false, "Send data to device failure!!", "", {}},
         "D: [##########..............] Send data to device failure!!"},
        {{0, "", Phase::Done, 0, 0, 0, false, false, "No device found", "", {}}, "- No device found"},
        {{'D', "", Phase::Done, 0, 0, 0, false, false, "", "", {}}, "D: stopped"},
        // A device that answered shows the revision it came back with.
        {{'D', "", Phase::Done, 9, 9, 13, false, true, "Update success!!", "1.00 -> 1.10", {}},
         "D: [########################] Update success!!, rev 1.00 -> 1.10"},
        // A longer poll window: the countdown and the bar run to its ends.
        {{'D', "", Phase::Verifying, 0, 9, 12, false, false, "", "", {20, 40}},
         "D: [#######.................] restarting, 8 s"},
        {{'D', "", Phase::Verifying, 0, 9, 30, false, false, "", "", {20, 40}},
         "D: [##################......] asking 30/40"},
        {{'D', "", Phase::Verifying, 0, 9, 600, false, false, "", "", {13, 600}},
         "D: [########################] asking 600/600"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(FormatProgressLine(c.line, 79), c.text);
}

// The drive and what it does stay; the identity gives way first, then the
// bar. Vendor and product never run together, even a vendor of 8 letters.
TEST(CliOutput, ProgressLineFitsTheWidthItIsGiven)
{
    using Phase = ProgressLine::Phase;
    const ProgressLine sending{'D', "ACMECORPWIDGET X        ", Phase::Sending, 3, 9, 0, false, false, "", "", {}};
    const struct {
        size_t width;
        std::string text;
    } cases[] = {
        {79, "D: ACMECORP WIDGET X  [########................] block 3/9"},
        {50, "D: ACMECORP  [########................] block 3/9"},
        {45, "D: [########................] block 3/9"},
        {30, "D: ACMECORP WIDGET  block 3/9"},
        {20, "D: block 3/9"},
        {8, "D: block"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(FormatProgressLine(sending, c.width), c.text) << c.width;

    const ProgressLine longLine{'D',   std::string(200, 'x'), Phase::Done, 0, 0, 0, false,
                                false, std::string(200, 'y'), "",          {}};
    for (size_t width = 1; width < 140; ++width) {
        EXPECT_LE(FormatProgressLine(longLine, width).size(), width) << width;
        EXPECT_LE(FormatProgressLine(sending, width).size(), width) << width;
    }
    EXPECT_EQ(IdentityText("KTDEV   KT3916 FLASHER  "), "KTDEV KT3916 FLASHER");
    EXPECT_EQ(IdentityText("ACMECORPWIDGET          "), "ACMECORP WIDGET");
    EXPECT_EQ(IdentityText("        WIDGET          "), "WIDGET");
    EXPECT_EQ(IdentityText(""), "");
}

// The live lines replayed on a terminal of each width: one progress line per
// device, drawn in place however narrow the terminal, and every message
// whole on its own line above it.
TEST(CliOutput, LiveLinesStayInPlaceOnAnyTerminalWidth)
{
    TempImage image(PatternImage(524288, 3));
    for (size_t columns : {24u, 40u, 60u, 79u, 80u, 132u}) {
        ManualClock clock;
        EmulatorScenario scenario;
        scenario.vendor = "ACMECORP";
        EmulatedHost host(scenario, clock);
        const auto run =
            cli_test::RunTool({"flash", image.Path()}, &host, &clock, nullptr, true, [columns]() { return columns; });
        ASSERT_EQ(run.exit, kExitSuccess);
        CVirtualTerminal terminal(columns);
        terminal.Write(run.err);
        const auto rows = terminal.Rows();
        std::string shown;
        for (const auto& row : rows)
            shown += "|" + row + "|\n";
        ASSERT_EQ(rows.size(), 2u) << columns << " columns:\n" << shown;
        EXPECT_EQ(rows[0], "D: Update success!!") << columns;
        EXPECT_EQ(rows[1].rfind("D: ", 0), 0u) << columns;
        EXPECT_LT(rows[1].size(), columns);
        EXPECT_EQ(terminal.Wraps(), 0) << columns;
    }
}

// The terminal shrinks between two draws of the live lines, as a SIGWINCH
// would: the next draw, made by the writer at the new width, leaves no line
// wrapped. The clock shrinks it 8 s into the run (the verification wait) and
// from then on lets each sleep wait a little for the writer's draw at the new
// width, so however the draws coalesce one of them follows the resize.
TEST(CliOutput, LiveLinesFollowAResize)
{
    class CShrinkingClock final : public IClock {
    public:
        uint64_t NowMs() override { return m_clock.NowMs(); }
        void SleepMs(uint32_t milliseconds) override
        {
            m_clock.SleepMs(milliseconds);
            std::unique_lock lock(mutex);
            bShrink = m_clock.NowMs() >= 8000;
            if (bShrink)
                drawn.wait_for(lock, std::chrono::milliseconds(50), [this] { return resizedAt != std::string::npos; });
        }
        std::mutex mutex;
        std::condition_variable drawn;
        bool bShrink = false;
        size_t resizedAt = std::string::npos;  // where in the output the first draw at 50 columns starts

    private:
        ManualClock m_clock;
    };
    TempImage image(PatternImage(524288, 4));
    CShrinkingClock clock;
    EmulatedHost host(EmulatorScenario{}, clock);
    std::ostringstream out, err;
    const std::thread::id runner = std::this_thread::get_id();
    CliEnvironment env;
    env.pOut = &out;
    env.pErr = &err;
    env.pClock = &clock;
    env.pHost = &host;
    env.bErrIsTerminal = true;
    env.terminalColumns = [&]() -> size_t {
        std::lock_guard lock(clock.mutex);
        // Only the writer, which alone writes err, draws at the new width
        // first: then err holds exactly what was drawn at the old one.
        if (clock.bShrink && clock.resizedAt == std::string::npos && std::this_thread::get_id() != runner) {
            clock.resizedAt = err.str().size();
            clock.drawn.notify_all();
        }
        return clock.resizedAt == std::string::npos ? 120 : 50;
    };
    ASSERT_EQ(RunCli({"flash", image.Path()}, env), kExitSuccess);
    ASSERT_NE(clock.resizedAt, std::string::npos);
    CVirtualTerminal terminal(120);
    terminal.Write(err.str().substr(0, clock.resizedAt));
    terminal.Resize(50);
    terminal.Write(err.str().substr(clock.resizedAt));
    const auto rows = terminal.Rows();
    ASSERT_EQ(rows.size(), 2u) << err.str();
    EXPECT_EQ(rows[0], "D: Update success!!");
    EXPECT_LT(rows[1].size(), 50u);
    EXPECT_EQ(terminal.Wraps(), 0);
}

// At any width the message box's text arrives whole: a long identity or a
// narrow terminal may shorten the live line, never the message.
TEST(CliOutput, MessagesArePrintedWhole)
{
    TempImage image(PatternImage(524288, 5));
    for (size_t columns : {30u, 80u}) {
        ManualClock clock;
        EmulatorScenario scenario;
        std::string error;
        ASSERT_TRUE(ParseScenario("fail_block=2,vendor=ACMECORP,product=SIXTEEN-LETTERS!", scenario, error));
        EmulatedHost host(scenario, clock);
        const auto run =
            cli_test::RunTool({"flash", image.Path()}, &host, &clock, nullptr, true, [columns]() { return columns; });
        CVirtualTerminal terminal(columns);
        terminal.Write(run.err);
        std::string joined;
        for (const std::string& row : terminal.Rows())
            joined += row;
        EXPECT_NE(joined.find("D: Send data to device failure!!"), std::string::npos) << columns << "\n" << run.err;
    }
}

TEST(CliOutput, AllDevicesSucceedOnlyTogether)
{
    auto records = [](std::vector<CliExit> exits) {
        std::vector<FlashRecord> out;
        for (CliExit e : exits) {
            FlashRecord r;
            r.exit = e;
            out.push_back(r);
        }
        return out;
    };
    EXPECT_EQ(AllDevicesExit(records({kExitSuccess, kExitSuccess})), kExitSuccess);
    EXPECT_EQ(AllDevicesExit(records({kExitSuccess, kExitSendFailure, kExitSuccess})), kExitSomeFailed);
    EXPECT_EQ(AllDevicesExit(records({kExitNoReturn})), kExitSomeFailed);
    EXPECT_EQ(AllDevicesExit(records({kExitSuccess, kExitInterrupted, kExitSendFailure})), kExitInterrupted);
    EXPECT_EQ(AllDevicesExit(records({})), kExitSomeFailed) << "no device is no success";

    // Devices the identity guard skipped count for nothing, unless no device was flashed.
    auto skipping = [&](std::vector<CliExit> exits, size_t skipped) {
        std::vector<FlashRecord> out = records(exits);
        for (size_t i = 0; i < skipped; ++i)
            out[i].bSkipped = true;
        return out;
    };
    EXPECT_EQ(AllDevicesExit(skipping({kExitWrongDevice, kExitSuccess}, 1)), kExitSuccess);
    EXPECT_EQ(AllDevicesExit(skipping({kExitWrongDevice, kExitNoReturn}, 1)), kExitSomeFailed);
    EXPECT_EQ(AllDevicesExit(skipping({kExitWrongDevice, kExitWrongDevice}, 2)), kExitWrongDevice);
}

// A run of several devices ends with the first of 130, 8, 4, 9 that applies.
TEST(CliOutput, ARunsExitRanksItsOutcomes)
{
    const struct {
        RunTally tally;
        int exit;
    } rows[] = {
        {{.nPassed = 2}, kExitSuccess},
        {{.nPassed = 1, .nSkippedWrong = 1}, kExitSuccess},
        {{.nSkippedWrong = 2}, kExitWrongDevice},
        {{.nSkippedWrong = 1, .bImageProblem = true}, kExitImageUnreadable},
        {{.nPassed = 1, .bImageProblem = true}, kExitImageUnreadable},
        {{.nPassed = 1, .nFailed = 1, .bImageProblem = true}, kExitSomeFailed},
        {{.nFailed = 1, .bInterrupted = true, .bImageProblem = true}, kExitInterrupted},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(RunExit(row.tally), row.exit)
            << row.tally.nPassed << " passed, " << row.tally.nFailed << " failed, " << row.tally.nSkippedWrong
            << " skipped, image problem " << row.tally.bImageProblem;
    }
}

TEST(CliInfo, SizePlanAndChecksum)
{
    const struct {
        std::vector<uint8_t> bytes;
        int exit;
        std::string text;  // after the image line
    } cases[] = {
        {std::vector<uint8_t>(524288, 0xFF), kExitSuccess,
         "size      524288 bytes\n"
         "plan      9 blocks: 8 x 61440 bytes, then 32768 bytes with final marker 0x20\n"
         "checksum  0000\n"},
        {std::vector<uint8_t>(1048576, 0x01), kExitSuccess,
         "size      1048576 bytes\n"
         "plan      18 blocks: 17 x 61440 bytes, then 4096 bytes with final marker 0x04\n"
         "checksum  0000\n"},
        {{0x61, 0x62, 0x63},
         kExitNotFlashable,
         "size      3 bytes\n"
         "plan      not flashable (the size must be 524288 or 1048576 bytes)\n"
         "checksum  0126\n"},
        {{},
         kExitNotFlashable,
         "size      0 bytes\n"
         "plan      not flashable (the size must be 524288 or 1048576 bytes)\n"
         "checksum  0000\n"},
    };
    for (const auto& c : cases) {
        TempImage image(c.bytes);
        const auto run = cli_test::RunTool({"info", image.Path()});
        EXPECT_EQ(run.exit, c.exit);
        EXPECT_EQ(run.out, "image     " + image.Path() + "\n" + c.text);
    }
    TempImage flashable(std::vector<uint8_t>(524288, 0x01));
    const auto json = cli_test::RunTool({"info", flashable.Path(), "--json"});
    std::string path = flashable.Path();  // a Windows path's backslashes are escaped in JSON
    for (size_t at = 0; (at = path.find('\\', at)) != std::string::npos; at += 2)
        path.insert(at, 1, '\\');
    EXPECT_EQ(json.out,
              "{\"event\":\"image\",\"image\":\"" + path +
                  "\",\"readable\":true,\"size\":524288,\"flashable\":true,\"blocks\":9,\"checksum\":\"0000\"}\n");
    const auto missing = cli_test::RunTool({"info", "/nonexistent/x.bin", "--json"});
    EXPECT_EQ(missing.exit, kExitImageUnreadable);
    EXPECT_EQ(missing.out,
              "{\"event\":\"image\",\"image\":\"/nonexistent/x.bin\",\"readable\":false,\"error\":\"cannot open the "
              "image /nonexistent/x.bin: No such file or directory\"}\n");
}

// A build that cannot check signatures never seems to: each option that asks
// for a check, or lets one off, is refused.
TEST(CliInfo, ABuildWithoutSignaturesRefusesTheirOptions)
{
#ifndef _WIN32
    GTEST_SKIP() << "this build checks signatures";
#endif
    TempImage image(std::vector<uint8_t>(524288, 0x01));
    const std::vector<std::vector<std::string>> rows = {
        {"--trusted-key", image.Path() + ".pub"},
        {"--signature", image.Path() + ".minisig"},
        {"--allow-unsigned"},
        {"--allow-older"},
    };
    for (const auto& options : rows) {
        std::vector<std::string> args = {"flash", image.Path(), "--emulate"};
        args.insert(args.end(), options.begin(), options.end());
        const auto run = cli_test::RunTool(args);
        EXPECT_EQ(run.exit, kExitUsage) << options[0];
        EXPECT_NE(run.err.find("this build cannot check image signatures"), std::string::npos) << run.err;
    }
}

// Only a check that passed has a word to say about the image's signature.
TEST(CliInfo, OnlyAPassedSignatureCheckIsTold)
{
    ImageTrust unchecked;
    ImageTrust refused;
    refused.bChecked = true;
    refused.exit = kExitUntrustedImage;
    ImageTrust unsignedAllowed;
    unsignedAllowed.bChecked = unsignedAllowed.bUnsigned = true;
    ImageTrust good;
    good.bChecked = true;
    good.strKeyId = "K1";
    EXPECT_EQ(ImageTrustText(unchecked), "");
    EXPECT_EQ(ImageTrustText(refused), "");
    EXPECT_EQ(ImageTrustText(unsignedAllowed),
              "the image is not signed: it is sent anyway because of --allow-unsigned");
    EXPECT_EQ(ImageTrustText(good).rfind("signature good: key K1 (", 0), 0u);
    // info --json says the same in its image line.
    const ImageCheck check;
    const std::pair<const ImageTrust*, std::string> lines[] = {
        {&unchecked, ""},
        {&refused, "\"signature\":\"refused\""},
        {&unsignedAllowed, "\"signature\":\"unsigned, sent because of --allow-unsigned\"}"},
        {&good, "\"signature\":\"good\",\"key_id\":\"K1\",\"trusted_comment\":\"\"}"},
    };
    for (const auto& [trust, fields] : lines) {
        const std::string json = ImageCheckJson(check, *trust);
        EXPECT_EQ(json.find(fields.empty() ? "signature" : fields) != std::string::npos, !fields.empty()) << json;
    }
}

TEST(CliInfo, SizesBeyond32BitsAreNotCutShort)
{
    // A sparse file one byte past 4 GiB: its low 32 bits would read as 1.
    TempImage image(std::vector<uint8_t>{});
    {
        std::error_code ec;
        std::filesystem::resize_file(image.Path(), (uint64_t{1} << 32) + 1, ec);
        if (ec)
            GTEST_SKIP() << "no sparse files here: " << ec.message();
    }
    const ImageCheck check = CheckImage(image.Path(), false);
    EXPECT_EQ(check.nSize, (int64_t{1} << 32) + 1);
    EXPECT_EQ(check.exit, kExitNotFlashable);
    EXPECT_EQ(check.nBlocks, 0u);
}
