#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "cli/image_check.h"
#include "cli/json_text.h"
#include "cli/progress_output.h"
#include "cli/summary.h"
#include "tests/cli_test_support.h"
#include "tests/temp_image.h"

TEST(CliOutput, JsonQuoteKeepsEveryLineParseable) {
    const struct {
        std::string in;
        std::string out;
    } cases[] = {
        {"plain", "\"plain\""},
        {"a\"b\\c", "\"a\\\"b\\\\c\""},
        {"tab\tnew\nline\r", "\"tab\\tnew\\nline\\r\""},
        {std::string("nul\0x", 5), "\"nul\\u0000x\""},
        {"\x1b[1A", "\"\\u001b[1A\""},
        {"\x7f", "\"\\u007f\""},
        {"caf\xc3\xa9", "\"caf\xc3\xa9\""},           // valid UTF-8 stays
        {"\xe2\x82\xac", "\"\xe2\x82\xac\""},         // so does a 3-byte sequence
        {"\xe9t\xe9", "\"\\u00e9t\\u00e9\""},         // a code-page byte from a device
        {"\xc3", "\"\\u00c3\""},                      // a sequence cut short
        {"\xc0\xaf", "\"\\u00c0\\u00af\""},           // an overlong form
        {"\xed\xa0\x80", "\"\\u00ed\\u00a0\\u0080\""},  // a surrogate
    };
    for (const auto& c : cases) {
        EXPECT_EQ(JsonQuote(c.in), c.out);
        std::map<std::string, std::string> fields;
        EXPECT_TRUE(cli_test::JsonReader::ParseObject("{\"k\":" + JsonQuote(c.in) + "}", fields)) << c.out;
    }
}

TEST(CliOutput, ProgressLineShowsEachPhase) {
    using Phase = ProgressLine::Phase;
    const struct {
        ProgressLine line;
        std::string text;
    } cases[] = {
        {{'D', "", Phase::Waiting, 0, 0, 0, false, false, ""}, "D: starting"},
        {{'D', "KTDEV   KT3916 FLASHER  ", Phase::Sending, 0, 9, 0, false, false, ""},
         "D: KTDEV KT3916 FLASHER  [........................] block 0/9"},
        {{'E', "", Phase::Sending, 3, 9, 0, false, false, ""}, "E: [########................] block 3/9"},
        {{'E', "", Phase::Sending, 5, 18, 0, true, false, ""},
         "E: [######..................] block 5/18  Ctrl-C held"},
        {{'D', "", Phase::Verifying, 0, 9, 1, false, false, ""}, "D: [#.......................] restarting, 12 s"},
        {{'D', "", Phase::Verifying, 0, 9, 12, false, false, ""},
         "D: [#############...........] restarting, 1 s"},
        {{'D', "", Phase::Verifying, 0, 9, 13, false, false, ""},
         "D: [##############..........] asking 13/21"},
        {{'D', "", Phase::Verifying, 0, 9, 21, false, false, ""},
         "D: [########################] asking 21/21"},
        {{'D', "", Phase::Done, 9, 9, 13, false, true, "Update success!!"},
         "D: [########################] Update success!!"},
        {{'D', "", Phase::Done, 4, 9, 0, false, false, "Send data to device failure!!"},
         "D: [##########..............] Send data to device failure!!"},
        {{0, "", Phase::Done, 0, 0, 0, false, false, "No device found"}, "- No device found"},
        {{'D', "", Phase::Done, 0, 0, 0, false, false, ""}, "D: stopped"},
    };
    for (const auto& c : cases) EXPECT_EQ(FormatProgressLine(c.line), c.text);

    ProgressLine longLine{'D', std::string(200, 'x'), Phase::Done, 0, 0, 0, false, false, std::string(200, 'y')};
    EXPECT_EQ(FormatProgressLine(longLine).size(), kProgressLineWidth) << "never wraps an 80-column terminal";
}

TEST(CliOutput, AllDevicesSucceedOnlyTogether) {
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
}

TEST(CliInfo, SizePlanAndChecksum) {
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
        {{0x61, 0x62, 0x63}, kExitNotFlashable,
         "size      3 bytes\n"
         "plan      not flashable (the size must be 524288 or 1048576 bytes)\n"
         "checksum  0126\n"},
        {{}, kExitNotFlashable,
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
    const auto missing = cli_test::RunTool({"info", "/nonexistent/x.bin", "--json"});
    EXPECT_EQ(missing.exit, kExitImageUnreadable);
    EXPECT_EQ(missing.out,
              "{\"event\":\"image\",\"image\":\"/nonexistent/x.bin\",\"readable\":false,\"error\":\"cannot open the "
              "image /nonexistent/x.bin: No such file or directory\"}\n");
}

TEST(CliInfo, SizesBeyond32BitsAreNotCutShort) {
    // A sparse file one byte past 4 GiB: its low 32 bits would read as 1.
    TempImage image(std::vector<uint8_t>{});
    {
        std::error_code ec;
        std::filesystem::resize_file(image.Path(), (uint64_t{1} << 32) + 1, ec);
        if (ec) GTEST_SKIP() << "no sparse files here: " << ec.message();
    }
    const ImageCheck check = CheckImage(image.Path(), false);
    EXPECT_EQ(check.nSize, (int64_t{1} << 32) + 1);
    EXPECT_EQ(check.exit, kExitNotFlashable);
    EXPECT_EQ(check.nBlocks, 0u);
}
