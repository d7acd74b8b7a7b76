#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "device/emulated/kt3916.h"
#include "emulated_support.h"

using namespace emu_test;

namespace {

class Kt3916Test : public ::testing::Test {
protected:
    EmulatedKt3916& Make(const EmulatorScenario& scenario = {})
    {
        m_device = std::make_unique<EmulatedKt3916>(scenario, m_clock);
        return *m_device;
    }

    std::string Run(const Cdb& cdb, bool dataIn = true, uint8_t* buffer = nullptr, uint32_t length = 0)
    {
        return Describe(m_device->Execute(cdb.bytes, dataIn, buffer, length));
    }

    std::string Block(uint8_t final, uint16_t checksum, uint8_t marker, uint32_t length = kBlock)
    {
        return Run(WriteBlockCdb(final, checksum, marker), false, m_block.data(), length);
    }

    ManualClock m_clock;
    std::unique_ptr<EmulatedKt3916> m_device;
    std::vector<uint8_t> m_block = std::vector<uint8_t>(0x20000, 0x5A);
};

TEST_F(Kt3916Test, InquiryReturnsStandardData)
{
    EmulatorScenario scenario;
    scenario.vendor = "AB";
    scenario.product = "FLASHER";
    scenario.revision = "1.2";
    Make(scenario);
    std::vector<uint8_t> buffer(60, 0xAA);
    ASSERT_EQ(Run(InquiryCdb(36), true, buffer.data(), 60), "good");

    const uint8_t header[8] = {0x05, 0x80, 0x02, 0x02, 31, 0, 0, 0};
    EXPECT_EQ(std::vector<uint8_t>(buffer.begin(), buffer.begin() + 8), std::vector<uint8_t>(header, header + 8));
    EXPECT_EQ(std::string(buffer.begin() + 8, buffer.begin() + 16), "AB      ");
    EXPECT_EQ(std::string(buffer.begin() + 16, buffer.begin() + 32), "FLASHER         ");
    EXPECT_EQ(std::string(buffer.begin() + 32, buffer.begin() + 36), "1.2 ");
    for (std::size_t i = 36; i < buffer.size(); ++i)
        EXPECT_EQ(buffer[i], 0xAA) << "byte " << i << " lies past the 36 bytes asked for";
}

TEST_F(Kt3916Test, InquiryWritesAtMostAllocationAndTransferLength)
{
    Make();
    struct Case {
        uint8_t allocation;
        uint32_t transfer;
        uint32_t written;
    };
    const Case cases[] = {
        {36, 60, 36}, {255, 60, 36}, {5, 60, 5}, {0, 60, 0}, {36, 8, 8}, {36, 0, 0}, {20, 10, 10},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> buffer(64, 0xAA);
        ASSERT_EQ(Run(InquiryCdb(c.allocation), true, buffer.data(), c.transfer), "good");
        uint32_t changed = 0;
        for (std::size_t i = 0; i < buffer.size(); ++i) {
            if (buffer[i] != 0xAA)
                changed = static_cast<uint32_t>(i + 1);
        }
        EXPECT_EQ(changed, c.written) << "allocation " << int(c.allocation) << ", transfer " << c.transfer;
    }
}

TEST_F(Kt3916Test, RejectsWhatItDoesNotImplement)
{
    Make();
    std::vector<uint8_t> buffer(64);
    Cdb evpd = InquiryCdb();
    evpd.bytes[1] = 0x01;
    Cdb page = InquiryCdb();
    page.bytes[2] = 0x80;
    EXPECT_EQ(Run(evpd, true, buffer.data(), 60), "check 05/24/00");
    EXPECT_EQ(Run(page, true, buffer.data(), 60), "check 05/24/00");
    EXPECT_EQ(Run(InquiryCdb(), false, buffer.data(), 60), "check 05/24/00");
    for (uint8_t opcode : {0x2A, 0x3B, 0xFB, 0xFF}) {
        Cdb cdb;
        cdb.bytes[0] = opcode;
        EXPECT_EQ(Run(cdb, true, buffer.data(), 60), "check 05/20/00") << "opcode " << int(opcode);
    }
}

// What an operating system sends a CD-ROM drive on attach and while polling
// gets the answers of a drive with no disc, so the kernel binds its CD-ROM
// driver and leaves the device alone.
TEST_F(Kt3916Test, AnswersTheOperatingSystemAsADriveWithoutDisc)
{
    struct Case {
        std::vector<uint8_t> cdb;
        std::string outcome;
        uint32_t returned;  // bytes of data-in
        uint8_t firstByte;
    };
    const Case cases[] = {
        {{0x00}, "check 02/3A/00", 0, 0},                                // TEST UNIT READY
        {{0x25}, "check 02/3A/00", 0, 0},                                // READ CAPACITY
        {{0x28, 0, 0, 0, 0, 0, 0, 0, 1}, "check 02/3A/00", 0, 0},        // READ(10)
        {{0x43, 0, 0, 0, 0, 0, 0, 0, 12}, "check 02/3A/00", 0, 0},       // READ TOC
        {{0x1E, 0, 0, 0, 1}, "good", 0, 0},                              // PREVENT MEDIUM REMOVAL
        {{0x03, 0, 0, 0, 18}, "good", 18, 0x70},                         // REQUEST SENSE
        {{0x4A, 1, 0, 0, 0x10, 0, 0, 0, 8}, "good", 8, 0x00},            // events, polled media class
        {{0x4A, 0, 0, 0, 0x10, 0, 0, 0, 8}, "check 05/24/00", 0, 0},     // asynchronous: not supported
        {{0x5A, 0, 0x2A, 0, 0, 0, 0, 0, 0x80}, "good", 28, 0x00},        // MODE SENSE(10), capabilities
        {{0x5A, 0, 0x2A, 0, 0, 0, 0, 0, 0x10}, "good", 16, 0x00},        // ... cut to the allocation length
        {{0x5A, 0, 0x01, 0, 0, 0, 0, 0, 0x80}, "check 05/24/00", 0, 0},  // another page
        {{0x1A, 0, 0x2A, 0, 0x80}, "good", 24, 23},                      // MODE SENSE(6): 4-byte header
        {{0x46, 0, 0, 0, 0, 0, 0, 0, 0x20}, "good", 8, 0x00},            // GET CONFIGURATION
    };
    for (const Case& c : cases) {
        Make();
        Cdb cdb;
        std::copy(c.cdb.begin(), c.cdb.end(), cdb.bytes);
        std::vector<uint8_t> buffer(64, 0xAA);
        const ScsiOutcome outcome = m_device->Execute(cdb.bytes, true, buffer.data(), 64);
        EXPECT_EQ(Describe(outcome), c.outcome) << "opcode " << int(c.cdb[0]);
        EXPECT_EQ(outcome.dataInLength, c.returned) << "opcode " << int(c.cdb[0]);
        if (c.returned != 0) {
            EXPECT_EQ(buffer[0], c.firstByte) << "opcode " << int(c.cdb[0]);
        }
        EXPECT_FALSE(Probe(*m_device).InDownloadMode());
    }
    Make();
    std::vector<uint8_t> capabilities(64);
    Cdb modeSense;
    const uint8_t bytes[] = {0x5A, 0, 0x2A, 0, 0, 0, 0, 0, 0x80};
    std::copy(std::begin(bytes), std::end(bytes), modeSense.bytes);
    m_device->Execute(modeSense.bytes, true, capabilities.data(), 64);
    EXPECT_EQ(capabilities[8], 0x2A);    // the page follows the 8-byte header
    EXPECT_EQ(capabilities[1] + 2, 28);  // the mode data length counts what follows it
}

TEST_F(Kt3916Test, StartStopUnitTwoEntersDownloadModeOtherValuesKeepTheMode)
{
    auto& device = Make();
    EXPECT_FALSE(Probe(device).InDownloadMode());
    for (uint8_t value : {0, 1, 3}) {
        EXPECT_EQ(Run(StartStopCdb(value), true, m_block.data(), 512), "good");
        EXPECT_FALSE(Probe(device).InDownloadMode()) << "value " << int(value);
    }
    EXPECT_EQ(Run(StartStopCdb(2), true, m_block.data(), 512), "good");
    EXPECT_TRUE(Probe(device).InDownloadMode());
    EXPECT_EQ(m_block[0], 0x5A) << "START STOP UNIT moves no data";
    for (uint8_t value : {0, 1, 3}) {
        EXPECT_EQ(Run(StartStopCdb(value), true, m_block.data(), 512), "good");
        EXPECT_TRUE(Probe(device).InDownloadMode()) << "value " << int(value);
    }
}

TEST_F(Kt3916Test, BlockWritesOutsideDownloadModeAreRefused)
{
    auto& device = Make();
    EXPECT_EQ(Block(0, 0, 0x00), "check 05/2C/00");
    EXPECT_EQ(Block(1, 0, 0x20), "check 05/2C/00");
    EXPECT_EQ(Probe(device).BlockWrites(), 2u);
    EXPECT_TRUE(Probe(device).LastImage().empty());
}

TEST_F(Kt3916Test, WholeImagesSentLikeTheFormAreAccepted)
{
    for (uint32_t length : {k512K, k1M}) {
        auto& device = Make();
        const std::vector<uint8_t> image = MakeImage(length, length);
        ASSERT_EQ(Run(StartStopCdb(2), true, m_block.data(), 512), "good");
        const auto outcomes = SendImageLikeForm(image, ImageChecksum(image), ModelSender(device));
        ASSERT_EQ(outcomes.size(), length == k512K ? 9u : 18u);
        for (std::size_t i = 0; i < outcomes.size(); ++i)
            EXPECT_EQ(Describe(outcomes[i]), "good") << "block " << i << " of " << length;
        EXPECT_TRUE(Probe(device).LastImage() == image) << "image of " << length << " stored differently";
        EXPECT_TRUE(Probe(device).IsRebooting());
        EXPECT_FALSE(Probe(device).InDownloadMode());
    }
}

TEST_F(Kt3916Test, WrongChecksumIsRefusedOnTheFinalBlockAndARetryCanSucceed)
{
    auto& device = Make();
    const std::vector<uint8_t> image = MakeImage(k512K, 7);
    const uint16_t checksum = ImageChecksum(image);
    Run(StartStopCdb(2), true, m_block.data(), 512);
    for (uint16_t wrong : {uint16_t(checksum + 1), uint16_t(checksum ^ 0x0100), uint16_t(0)}) {
        const auto outcomes = SendImageLikeForm(image, wrong, ModelSender(device));
        ASSERT_EQ(outcomes.size(), 9u);
        EXPECT_EQ(Describe(outcomes.back()), "check 0E/1D/00") << "checksum " << wrong;
        EXPECT_TRUE(Probe(device).LastImage().empty());
        EXPECT_FALSE(Probe(device).IsRebooting());
        EXPECT_TRUE(Probe(device).InDownloadMode());
    }
    const auto retry = SendImageLikeForm(image, checksum, ModelSender(device));
    EXPECT_EQ(Describe(retry.back()), "good");
    EXPECT_TRUE(Probe(device).LastImage() == image);
}

TEST_F(Kt3916Test, ChecksumBytesAreHighByteFirst)
{
    auto& device = Make();
    std::vector<uint8_t> image(k512K, 0);
    image[0] = 0x34;
    image[1] = 0x12;
    image[2] = 0xEE;  // 0x34 + 0x12 + 0xEE = 0x0134
    ASSERT_EQ(ImageChecksum(image), 0x0134);
    Run(StartStopCdb(2), true, m_block.data(), 512);
    EXPECT_EQ(Describe(SendImageLikeForm(image, 0x3401, ModelSender(device)).back()), "check 0E/1D/00");
    EXPECT_EQ(Describe(SendImageLikeForm(image, 0x0134, ModelSender(device)).back()), "good");
}

TEST_F(Kt3916Test, WrongTotalLengthIsRefused)
{
    struct Case {
        int middleBlocks;  // 0xFF blocks after the 0x00 block
        uint8_t finalMarker;
        const char* finalOutcome;
    };
    const Case cases[] = {
        {7, 0x04, "check 05/26/00"},   // 495616 bytes
        {6, 0x20, "check 05/26/00"},   // 462848
        {7, 0x3C, "check 05/26/00"},   // 552960
        {15, 0x04, "check 05/26/00"},  // 987136
        {16, 0x20, "check 05/21/00"},  // would pass 1 MiB
        {7, 0x00, "check 05/24/00"},   // a final block with no data
        {7, 0x3D, "check 05/24/00"},   // 61 KiB does not fit a block
    };
    for (const Case& c : cases) {
        Make();
        Run(StartStopCdb(2), true, m_block.data(), 512);
        ASSERT_EQ(Block(0, 0, 0x00), "good");
        for (int i = 0; i < c.middleBlocks; ++i)
            ASSERT_EQ(Block(0, 0, 0xFF), "good");
        EXPECT_EQ(Block(1, 0, c.finalMarker), c.finalOutcome)
            << c.middleBlocks << " middle blocks, final marker " << int(c.finalMarker);
        EXPECT_TRUE(Probe(*m_device).LastImage().empty());
    }
}

TEST_F(Kt3916Test, ImageMayNotGrowPastOneMebibyte)
{
    Make();
    Run(StartStopCdb(2), true, m_block.data(), 512);
    ASSERT_EQ(Block(0, 0, 0x00), "good");
    for (int i = 0; i < 16; ++i)
        ASSERT_EQ(Block(0, 0, 0xFF), "good");
    EXPECT_EQ(Block(0, 0, 0xFF), "check 05/21/00") << "an 18th full block passes 1 MiB";
}

TEST_F(Kt3916Test, BlockProtocolErrors)
{
    struct Step {
        uint8_t final;
        uint8_t marker;
        uint32_t length;
        const char* outcome;
    };
    const std::vector<std::vector<Step>> cases = {
        {{0, 0xFF, kBlock, "check 05/2C/00"}},      // continue before start
        {{1, 0x20, kBlock, "check 05/2C/00"}},      // final before start
        {{0, 0x00, 512, "check 05/1A/00"}},         // short transfer
        {{0, 0x00, kBlock + 1, "check 05/1A/00"}},  // long transfer
        {{0, 0x7F, kBlock, "check 05/24/00"}},      // unknown marker
        {{2, 0x20, kBlock, "check 05/24/00"}},      // final flag 2
        {{0, 0x00, kBlock, "good"}, {0, 0xFF, 512, "check 05/1A/00"}, {0, 0xFF, kBlock, "check 05/2C/00"}},
        {{0, 0x00, kBlock, "good"}, {0, 0x00, kBlock, "good"}, {0, 0xFF, kBlock, "good"}},  // restart
    };
    for (std::size_t c = 0; c < cases.size(); ++c) {
        Make();
        Run(StartStopCdb(2), true, m_block.data(), 512);
        for (std::size_t s = 0; s < cases[c].size(); ++s) {
            const Step& step = cases[c][s];
            EXPECT_EQ(Block(step.final, 0, step.marker, step.length), step.outcome) << "case " << c << " step " << s;
        }
    }
    Make();
    Run(StartStopCdb(2), true, m_block.data(), 512);
    EXPECT_EQ(Run(WriteBlockCdb(0, 0, 0x00), true, m_block.data(), kBlock), "check 05/24/00") << "data-in block";
}

TEST_F(Kt3916Test, StartStopUnitTwoDropsAHalfSentImage)
{
    Make();
    Run(StartStopCdb(2), true, m_block.data(), 512);
    ASSERT_EQ(Block(0, 0, 0x00), "good");
    Run(StartStopCdb(2), true, m_block.data(), 512);
    EXPECT_EQ(Block(0, 0, 0xFF), "check 05/2C/00");
}

TEST_F(Kt3916Test, RebootWindowThenNewRevision)
{
    EmulatorScenario scenario;
    scenario.rebootMs = 12500;
    scenario.revision = "1.00";
    scenario.newRevision = "2.01";
    auto& device = Make(scenario);
    const std::vector<uint8_t> image = MakeImage(k1M, 3);
    Run(StartStopCdb(2), true, m_block.data(), 512);
    ASSERT_EQ(Describe(SendImageLikeForm(image, ImageChecksum(image), ModelSender(device)).back()), "good");
    EXPECT_STREQ(Probe(device).Revision(), "1.00");

    std::vector<uint8_t> buffer(60, 0);
    m_clock.Advance(12499);
    EXPECT_TRUE(Probe(device).IsRebooting());
    EXPECT_EQ(Run(InquiryCdb(), true, buffer.data(), 60), "fail");
    EXPECT_EQ(Run(StartStopCdb(2), true, buffer.data(), 512), "fail");
    const uint32_t blocks = Probe(device).BlockWrites();
    EXPECT_EQ(Block(0, 0, 0x00), "fail");
    EXPECT_EQ(Probe(device).BlockWrites(), blocks) << "a device that does not answer receives nothing";

    m_clock.Advance(1);
    EXPECT_FALSE(Probe(device).IsRebooting());
    EXPECT_STREQ(Probe(device).Revision(), "2.01");
    ASSERT_EQ(Run(InquiryCdb(), true, buffer.data(), 60), "good");
    EXPECT_EQ(std::string(buffer.begin() + 32, buffer.begin() + 36), "2.01");
    EXPECT_FALSE(Probe(device).InDownloadMode());
    EXPECT_EQ(Block(0, 0, 0x00), "check 05/2C/00") << "download mode ends with the reboot";
}

TEST_F(Kt3916Test, ZeroRebootTimeAnswersAtOnce)
{
    EmulatorScenario scenario;
    scenario.rebootMs = 0;
    auto& device = Make(scenario);
    const std::vector<uint8_t> image = MakeImage(k512K, 4);
    Run(StartStopCdb(2), true, m_block.data(), 512);
    ASSERT_EQ(Describe(SendImageLikeForm(image, ImageChecksum(image), ModelSender(device)).back()), "good");
    std::vector<uint8_t> buffer(60, 0);
    EXPECT_EQ(Run(InquiryCdb(), true, buffer.data(), 60), "good");
    EXPECT_EQ(std::string(buffer.begin() + 32, buffer.begin() + 36), "1.10");
}

TEST_F(Kt3916Test, NeverReturnStaysSilent)
{
    EmulatorScenario scenario;
    scenario.neverReturn = true;
    auto& device = Make(scenario);
    const std::vector<uint8_t> image = MakeImage(k512K, 5);
    Run(StartStopCdb(2), true, m_block.data(), 512);
    ASSERT_EQ(Describe(SendImageLikeForm(image, ImageChecksum(image), ModelSender(device)).back()), "good");
    std::vector<uint8_t> buffer(60, 0);
    for (uint64_t step : {0ull, 12500ull, 3600000ull, 86400000ull}) {
        m_clock.Advance(step);
        EXPECT_EQ(Run(InquiryCdb(), true, buffer.data(), 60), "fail") << "after " << step << " ms more";
        EXPECT_TRUE(Probe(device).IsRebooting());
    }
    EXPECT_TRUE(Probe(device).LastImage() == image) << "the image was accepted before the device went silent";
}

TEST_F(Kt3916Test, FailBlockAndDropBlockHitTheKthBlockWrite)
{
    struct Case {
        std::optional<uint32_t> failBlock;
        std::optional<uint32_t> dropBlock;
        uint8_t sense[3];
        std::size_t stopsAt;
        const char* outcome;
    };
    const Case cases[] = {
        {0u, std::nullopt, {0x05, 0x24, 0x00}, 0, "check 05/24/00"},
        {3u, std::nullopt, {0x05, 0x24, 0x00}, 3, "check 05/24/00"},
        {8u, std::nullopt, {0x03, 0x11, 0x00}, 8, "check 03/11/00"},
        {5u, std::nullopt, {0x25, 0x0C, 0x02}, 5, "check 25/0C/02"},
        {std::nullopt, 0u, {}, 0, "fail"},
        {std::nullopt, 6u, {}, 6, "fail"},
    };
    for (const Case& c : cases) {
        EmulatorScenario scenario;
        scenario.failBlock = c.failBlock;
        scenario.dropBlock = c.dropBlock;
        if (c.failBlock) {
            scenario.senseKey = c.sense[0];
            scenario.senseAsc = c.sense[1];
            scenario.senseAscq = c.sense[2];
        }
        auto& device = Make(scenario);
        const std::vector<uint8_t> image = MakeImage(k512K, 6);
        Run(StartStopCdb(2), true, m_block.data(), 512);
        const auto outcomes = SendImageLikeForm(image, ImageChecksum(image), ModelSender(device));
        ASSERT_EQ(outcomes.size(), c.stopsAt + 1) << c.outcome;
        EXPECT_EQ(Describe(outcomes.back()), c.outcome);
        EXPECT_TRUE(Probe(device).LastImage().empty());
        EXPECT_FALSE(Probe(device).IsRebooting());
    }
}

}  // namespace
