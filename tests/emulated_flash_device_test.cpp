#include <gtest/gtest.h>

#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "base/sha256.h"
#include "device/emulated/emulated_host.h"
#include "device/flash_device.h"
#include "emulated_support.h"
#include "tests/emulated_host_probe.h"

using namespace emu_test;

namespace {

// The device object, unmodified, over the emulated host: once on the NT
// pass-through path and once behind the emulated ASPI layer.
class FlashOverEmulator : public ::testing::TestWithParam<const char*> {
protected:
    void Start(const std::string& extra, std::ostream* transcript = nullptr)
    {
        std::string text = GetParam();
        if (!extra.empty())
            text += (text.empty() ? "" : ",") + extra;
        EmulatorScenario scenario;
        std::string error;
        ASSERT_TRUE(ParseScenario(text, scenario, error)) << error;
        m_device.reset();  // it still uses the old host
        m_lines = transcript ? std::make_unique<CTranscriptLines>(*transcript) : nullptr;
        m_host = std::make_unique<RecordedHost>(scenario, m_clock, m_lines.get());
        m_device = std::make_unique<CFlashDevice>(*m_host);
    }

    bool Win9x() const { return std::string(GetParam()) == "win9x=1"; }

    // The download form's sequence, block by block through the data buffer.
    std::vector<bool> Download(const std::vector<uint8_t>& image, uint16_t checksum)
    {
        std::vector<bool> results;
        m_device->StartStopUnit(2);
        const int blocks = image.size() == k512K ? 9 : 18;
        uint8_t* buffer = m_device->GetDataBuffer();
        std::size_t offset = 0;
        for (int i = 0; i < blocks; ++i) {
            const bool last = i == blocks - 1;
            const std::size_t take = std::min<std::size_t>(kBlock, image.size() - offset);
            std::memcpy(buffer, image.data() + offset, take);
            offset += take;
            const uint8_t marker = last ? (blocks == 9 ? 0x20 : 0x04) : (i == 0 ? 0x00 : 0xFF);
            const CommandResult result =
                last ? m_device->WriteBlock(1, checksum, marker) : m_device->WriteBlock(0, 0, marker);
            results.push_back(result == CommandResult::Good);
            if (!results.back())
                break;
        }
        return results;
    }

    std::string Revision() const
    {
        return std::string(reinterpret_cast<const char*>(m_device->GetDataBuffer()) + 32, 4);
    }

    ManualClock m_clock;
    std::unique_ptr<CTranscriptLines> m_lines;
    std::unique_ptr<RecordedHost> m_host;
    std::unique_ptr<CFlashDevice> m_device;
};

INSTANTIATE_TEST_SUITE_P(Paths, FlashOverEmulator, ::testing::Values("", "win9x=1"),
                         [](const auto& info) { return std::string(info.param).empty() ? "PassThrough" : "Aspi"; });

TEST_P(FlashOverEmulator, DiscoversEveryEmulatedDrive)
{
    Start("devices=3");
    EXPECT_EQ(m_device->IsWin9x(), Win9x());
    ASSERT_EQ(m_device->GetDeviceCount(), 3);
    for (int16_t i = 0; i < 3; ++i) {
        const DeviceEntry* entry = m_device->GetDeviceEntry(i);
        ASSERT_NE(entry, nullptr);
        if (Win9x()) {
            EXPECT_EQ(entry->nAdapter, 0);
            EXPECT_EQ(entry->nTarget, i + 1) << "target 0 is the fixed disk and is skipped";
            EXPECT_EQ(entry->hDevice, kInvalidHandle);
        } else {
            EXPECT_EQ(entry->chDrive, 'D' + i);
            EXPECT_NE(entry->hDevice, kInvalidHandle);
        }
    }
    EXPECT_EQ(Inspect(*m_host).OpenHandleCount(), Win9x() ? 0 : 3);

    m_device->EnumerateDevices();
    EXPECT_EQ(m_device->GetDeviceCount(), 3);
    EXPECT_EQ(Inspect(*m_host).OpenHandleCount(), Win9x() ? 0 : 3) << "a second scan closes the first scan's handles";

    ASSERT_TRUE(m_device->OpenDrive("e:"));
    ASSERT_EQ(m_device->GetDeviceCount(), 1);
    if (Win9x())
        EXPECT_EQ(m_device->GetDeviceEntry(0)->nTarget, 2);
    else
        EXPECT_EQ(m_device->GetDeviceEntry(0)->chDrive, 'e');
    EXPECT_FALSE(m_device->OpenDrive("C:"));
    EXPECT_FALSE(m_device->OpenDrive("G:"));
    EXPECT_EQ(m_device->GetDeviceCount(), 0);

    m_device.reset();
    EXPECT_EQ(Inspect(*m_host).OpenHandleCount(), 0);
    EXPECT_EQ(Inspect(*m_host).OpenEventCount(), 0);
    EXPECT_EQ(m_host->AspiLoadCount(), m_host->AspiFreeCount());
    EXPECT_EQ(m_host->AspiLoadCount(), Win9x() ? 1 : 0);
    EXPECT_EQ(m_host->BadCloseCount(), 0);
}

TEST_P(FlashOverEmulator, NoDevicesMeansAnEmptyList)
{
    Start("devices=0");
    EXPECT_EQ(m_device->GetDeviceCount(), 0);
    EXPECT_NE(m_device->Inquiry(), CommandResult::Good);
    EXPECT_FALSE(m_device->OpenDrive("D:"));
}

TEST_P(FlashOverEmulator, InquiryReadsIdentityAndRevision)
{
    Start("devices=2,vendor=KTDEV,product=KT3916 FLASHER,revision=0.99");
    std::memset(m_device->GetDataBuffer(), 0xAA, 64);
    m_device->SelectDevice(1);
    ASSERT_EQ(m_device->Inquiry(), CommandResult::Good);
    const uint8_t* data = m_device->GetDataBuffer();
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(data) + 8, 24), "KTDEV   KT3916 FLASHER  ");
    EXPECT_EQ(Revision(), "0.99");
    EXPECT_EQ(data[36], 0xAA) << "only the 36 bytes asked for arrive";
    EXPECT_EQ(m_host->Records().back().drive, 'E');
}

TEST_P(FlashOverEmulator, WholeDownloadThenRebootThenNewRevision)
{
    for (uint32_t length : {k512K, k1M}) {
        std::ostringstream transcript;
        Start("reboot_ms=12500,new_revision=2.00", &transcript);
        const std::vector<uint8_t> image = MakeImage(length, length + 1);
        const std::vector<bool> results = Download(image, ImageChecksum(image));
        ASSERT_EQ(results.size(), length == k512K ? 9u : 18u);
        for (std::size_t i = 0; i < results.size(); ++i)
            EXPECT_TRUE(results[i]) << "block " << i;
        EXPECT_TRUE(Inspect(*m_host).Device(0).LastImage() == image);

        // The final block carries the image's tail, then what the block before left.
        const std::size_t tail = length == k512K ? 32768 : 4096;
        std::vector<uint8_t> finalBlock(image.end() - static_cast<std::ptrdiff_t>(tail), image.end());
        const std::size_t previous = image.size() - tail - kBlock;
        finalBlock.insert(finalBlock.end(), image.begin() + static_cast<std::ptrdiff_t>(previous + tail),
                          image.begin() + static_cast<std::ptrdiff_t>(previous + kBlock));
        const auto records = m_host->Records();
        ASSERT_EQ(records.size(), results.size() + 1);
        EXPECT_EQ(records.back().dataSha256, Sha256Hex(finalBlock.data(), finalBlock.size()));
        EXPECT_EQ(records.back().cdb[5], length == k512K ? 0x20 : 0x04);

        // The verification polls: silent during the reboot, then the new revision.
        for (int tick = 1; tick <= 12; ++tick)
            m_clock.Advance(1000);
        EXPECT_NE(m_device->Inquiry(), CommandResult::Good);
        m_clock.Advance(500);
        ASSERT_EQ(m_device->Inquiry(), CommandResult::Good);
        EXPECT_EQ(Revision(), "2.00");
        std::istringstream lines(transcript.str());
        std::size_t count = 0;
        for (std::string line; std::getline(lines, line);)
            ++count;
        EXPECT_EQ(count, results.size() + 3);
    }
}

TEST_P(FlashOverEmulator, RefusedBlocksLeaveTheirSenseInTheDevice)
{
    struct Case {
        const char* scenario;
        bool wrongChecksum;
        std::size_t blocks;
        uint8_t key, asc, ascq;
    };
    const Case cases[] = {
        {"", true, 9, 0x0E, 0x1D, 0x00},
        {"fail_block=3", false, 4, 0x05, 0x24, 0x00},
        {"fail_block=8,sense=25/0C/02", false, 9, 0x25, 0x0C, 0x02},
    };
    for (const Case& c : cases) {
        Start(c.scenario);
        const std::vector<uint8_t> image = MakeImage(k512K, 99);
        const uint16_t checksum = ImageChecksum(image);
        const std::vector<bool> results = Download(image, c.wrongChecksum ? uint16_t(checksum + 1) : checksum);
        ASSERT_EQ(results.size(), c.blocks) << c.scenario;
        EXPECT_FALSE(results.back());
        EXPECT_EQ(m_device->GetSenseKey(), c.key) << c.scenario;
        EXPECT_EQ(m_device->GetAsc(), c.asc) << c.scenario;
        EXPECT_EQ(m_device->GetAscq(), c.ascq) << c.scenario;
        EXPECT_EQ(m_device->GetRequest().sptd.ScsiStatus, kScsiStatusCheckCondition);
        EXPECT_TRUE(Inspect(*m_host).Device(0).LastImage().empty());
    }
}

TEST_P(FlashOverEmulator, DroppedBlockFailsWithoutSense)
{
    Start("drop_block=1");
    m_device->SelectDevice(0);
    const std::vector<uint8_t> image = MakeImage(k1M, 5);
    const std::vector<bool> results = Download(image, ImageChecksum(image));
    ASSERT_EQ(results.size(), 2u);
    EXPECT_FALSE(results.back());
    EXPECT_EQ(m_device->GetSenseKey(), 0);
    EXPECT_EQ(m_host->Records().back().result, "fail");
}

TEST_P(FlashOverEmulator, LatencyIsTheCommandsElapsedTime)
{
    Start("latency_ms=40");
    ASSERT_EQ(m_device->Inquiry(), CommandResult::Good);
    EXPECT_DOUBLE_EQ(m_device->GetElapsedSeconds(), 0.04);
    EXPECT_EQ(m_clock.NowMs(), 40u);
    EXPECT_EQ(Inspect(*m_host).OpenEventCount(), 0);
}

TEST_P(FlashOverEmulator, DeviceThatNeverReturns)
{
    Start("never_return=1,reboot_ms=0");
    const std::vector<uint8_t> image = MakeImage(k512K, 8);
    ASSERT_TRUE(Download(image, ImageChecksum(image)).back());
    for (int tick = 13; tick <= 21; ++tick) {
        m_clock.Advance(1000);
        EXPECT_NE(m_device->Inquiry(), CommandResult::Good) << "tick " << tick;
    }
}

// A layer that finishes a command after the transport gave up writes the
// request block and the buffer that command pointed at, both still alive;
// it never writes the data of a command sent after it.
TEST(FlashOverEmulatedAspi, LateCompletionNeverLandsInALaterCommandsData)
{
    ManualClock clock;
    EmulatorScenario scenario;
    std::string error;
    ASSERT_TRUE(ParseScenario("win9x=1,latency_ms=31000,revision=3.21", scenario, error)) << error;
    RecordedHost host(scenario, clock);
    std::vector<uint8_t> block(kBlock);
    for (uint32_t i = 0; i < kBlock; ++i)
        block[i] = static_cast<uint8_t>(i * 7 + 1);
    {
        CFlashDevice device(host);
        ASSERT_EQ(device.GetDeviceCount(), 1);
        EXPECT_NE(device.Inquiry(), CommandResult::Good) << "the 30-second wait runs out first";
        EXPECT_EQ(clock.NowMs(), 30000u);
        EXPECT_EQ(Inspect(host).PendingAspiCount(), 1);

        // The next block is read into the buffer; the INQUIRY falls due and
        // completes while the block is being sent.
        std::memcpy(device.GetDataBuffer(), block.data(), kBlock);
        clock.Advance(1000);
        EXPECT_NE(device.WriteBlock(0, 0, 0), CommandResult::Good) << "its wait runs out too";
        ASSERT_EQ(host.Records().size(), 1u);
        EXPECT_EQ(host.Records()[0].result, "good");
        EXPECT_EQ(host.Records()[0].tMs, 31000u);
        EXPECT_EQ(std::memcmp(device.GetDataBuffer(), block.data(), kBlock), 0);
    }
    EXPECT_EQ(Inspect(host).OpenEventCount(), 1) << "only the request still running holds an event";
    // The device is gone with the block still pending; the layer sends it.
    clock.Advance(1000);
    host.QueryCounter();
    EXPECT_EQ(Inspect(host).PendingAspiCount(), 0);
    ASSERT_EQ(host.Records().size(), 2u);
    EXPECT_EQ(host.Records()[1].dataSha256, Sha256Hex(block.data(), block.size()));
}

}  // namespace
