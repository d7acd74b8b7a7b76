// The three commands of the flash device.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <functional>

#include "device/flash_device.h"
#include "fake_host.h"

namespace {

struct FlashBench {
    FakeScsiHost host;
    FlashBench() { host.SetDrives({"C:\\", "D:\\"}, "D"); }
};

}  // namespace

TEST(FlashCommands, SendTheirBlocksLengthsDirectionsAndTimeOuts)
{
    struct Case {
        const char* name;
        std::function<CommandResult(CFlashDevice&)> send;
        std::array<uint8_t, 16> cdb;
        uint8_t dataIn;
        uint32_t length;
        uint32_t timeout;
    };
    const Case cases[] = {
        {"inquiry", [](CFlashDevice& d) { return d.Inquiry(); }, {0x12, 0, 0, 0, 0x24}, kDataIn, 60, 30},
        {"start stop unit 2", [](CFlashDevice& d) { return d.StartStopUnit(2); }, {0x1B, 0, 0, 0, 2}, kDataIn, 512, 10},
        {"start stop unit 0xFF",
         [](CFlashDevice& d) { return d.StartStopUnit(0xFF); },
         {0x1B, 0, 0, 0, 0xFF},
         kDataIn,
         512,
         10},
        {"final block",
         [](CFlashDevice& d) { return d.WriteBlock(1, 0x1234, 0x20); },
         {0xFA, 0, 0, 1, 0, 0x20, 0x12, 0x34},
         kDataOut,
         61440,
         30},
        {"first block", [](CFlashDevice& d) { return d.WriteBlock(0, 0, 0); }, {0xFA}, kDataOut, 61440, 30},
        {"middle block, checksum high byte first",
         [](CFlashDevice& d) { return d.WriteBlock(0, 0xFF01, 0xFF); },
         {0xFA, 0, 0, 0, 0, 0xFF, 0xFF, 0x01},
         kDataOut,
         61440,
         30},
    };
    for (const Case& c : cases) {
        FlashBench bench;
        CFlashDevice device(bench.host);
        device.SelectDevice(0);
        // A command before leaves bytes that the next one must not carry.
        device.WriteBlock(0xAA, 0xBBCC, 0xDD);
        EXPECT_EQ(c.send(device), CommandResult::Good) << c.name;
        ASSERT_EQ(bench.host.passThroughCalls.size(), 2u) << c.name;
        const PassThroughRequest& sent = bench.host.passThroughCalls[1].request;
        EXPECT_EQ(std::memcmp(sent.sptd.Cdb, c.cdb.data(), 16), 0) << c.name;
        EXPECT_EQ(sent.sptd.CdbLength, 12) << c.name;
        EXPECT_EQ(sent.sptd.DataIn, c.dataIn) << c.name;
        EXPECT_EQ(sent.sptd.DataTransferLength, c.length) << c.name;
        EXPECT_EQ(sent.sptd.TimeOutValue, c.timeout) << c.name;
        EXPECT_EQ(sent.sptd.DataBuffer, device.GetDataBuffer()) << c.name;
        EXPECT_EQ(bench.host.passThroughCalls[1].device, device.GetDeviceEntry(0)->hDevice) << c.name;
    }
}

TEST(FlashCommands, ReturnTheTransportResult)
{
    FlashBench bench;
    bench.host.onPassThrough = [](HostHandle, PassThroughRequest& request) {
        request.sptd.ScsiStatus = kScsiStatusCheckCondition;
        request.senseArea[2] = 0x05;
        request.senseArea[12] = 0x24;
        return true;
    };
    CFlashDevice device(bench.host);
    EXPECT_EQ(device.Inquiry(), CommandResult::Check);
    EXPECT_EQ(device.StartStopUnit(2), CommandResult::Check);
    EXPECT_EQ(device.WriteBlock(1, 0x1234, 0x20), CommandResult::Check);
    EXPECT_EQ(device.GetSenseKey(), 0x05);
    EXPECT_EQ(device.GetAsc(), 0x24);

    device.SelectDevice(1);  // no such device
    EXPECT_EQ(device.Inquiry(), CommandResult::NotSent);
    EXPECT_EQ(bench.host.passThroughCalls.size(), 3u);
}

TEST(FlashCommands, ShortBlockStillSendsTheWholeBlockLength)
{
    FlashBench bench;
    CFlashDevice device(bench.host);
    uint8_t* buffer = device.GetDataBuffer();
    std::memset(buffer, 0xEE, kBlockLength);
    std::memset(buffer, 0x42, 32768);
    EXPECT_EQ(device.WriteBlock(1, 0x0001, 0x20), CommandResult::Good);
    ASSERT_EQ(bench.host.passThroughCalls.size(), 1u);
    const std::vector<uint8_t>& sent = bench.host.passThroughCalls[0].dataOut;
    ASSERT_EQ(sent.size(), kBlockLength);
    EXPECT_EQ(sent[0], 0x42);
    EXPECT_EQ(sent[32767], 0x42);
    EXPECT_EQ(sent[32768], 0xEE);
    EXPECT_EQ(sent[kBlockLength - 1], 0xEE);
}

// Each INQUIRY starts from cleared identity and revision bytes, so a drive
// that answers short or not at all never shows an earlier device's texts;
// the rest of the buffer keeps what it held.
TEST(FlashCommands, InquiryClearsIdentityAndRevisionFirst)
{
    FlashBench bench;
    int call = 0;
    bench.host.onPassThrough = [&](HostHandle, PassThroughRequest& request) {
        auto* data = static_cast<uint8_t*>(request.sptd.DataBuffer);
        switch (call++) {
        case 0:  // full standard data
            std::memcpy(data + 8, "KTDEV   KT3916 FLASHER  1.00", 28);
            return true;
        case 1:  // a short answer: vendor only
            std::memcpy(data + 8, "OTHER   ", 8);
            return true;
        default:  // failure that moved no data
            request.sptd.ScsiStatus = kScsiStatusCheckCondition;
            return true;
        }
    };
    CFlashDevice device(bench.host);
    uint8_t* buffer = device.GetDataBuffer();
    const auto identity = [&] { return std::string(reinterpret_cast<char*>(buffer) + 8, 28); };
    std::memset(buffer, 0x77, 8);
    std::memset(buffer + 36, 0x77, 24);

    EXPECT_EQ(identity(), std::string(28, '\0'));
    EXPECT_EQ(device.Inquiry(), CommandResult::Good);
    EXPECT_EQ(identity(), "KTDEV   KT3916 FLASHER  1.00");
    EXPECT_EQ(device.Inquiry(), CommandResult::Good);
    EXPECT_EQ(identity(), "OTHER   " + std::string(20, '\0'));
    EXPECT_NE(device.Inquiry(), CommandResult::Good);
    EXPECT_EQ(identity(), std::string(28, '\0'));
    device.SelectDevice(-1);  // fails without reaching a device: cleared too
    std::memcpy(buffer + 8, "STALE", 5);
    EXPECT_EQ(device.Inquiry(), CommandResult::NotSent);
    EXPECT_EQ(identity(), std::string(28, '\0'));
    EXPECT_EQ(buffer[7], 0x77);
    EXPECT_EQ(buffer[36], 0x77);
    EXPECT_EQ(buffer[59], 0x77);
}

// A device object that got no data buffer fails every command on either
// path without reaching a device, and frees nothing it never had.
TEST(FlashCommands, WithoutADataBufferEveryCommandFails)
{
    for (uint32_t platform : {uint32_t{2}, kPlatformWin32Windows}) {
        SCOPED_TRACE(platform);
        FakeScsiHost host;
        host.SetDrives({"C:\\", "D:\\"}, "D");
        host.platformId = platform;
        host.aspiTargets[{0, 3}] = {SS_COMP, 5, 3};
        host.dataBuffersLeft = 0;
        {
            CFlashDevice device(host);
            ASSERT_EQ(device.GetDeviceCount(), 1);
            EXPECT_EQ(device.GetDataBuffer(), nullptr);
            device.SelectDevice(0);
            EXPECT_EQ(device.Inquiry(), CommandResult::NotSent);
            EXPECT_EQ(device.StartStopUnit(2), CommandResult::NotSent);
            EXPECT_EQ(device.WriteBlock(1, 0x1234, 0x20), CommandResult::NotSent);
        }
        EXPECT_TRUE(host.passThroughCalls.empty());
        EXPECT_TRUE(host.execBlocks.empty());
        EXPECT_TRUE(host.freedBuffers.empty());
        EXPECT_TRUE(host.errors.empty());
    }
}

TEST(FlashCommands, WorkOverTheAspiPathToo)
{
    FakeScsiHost host;
    host.platformId = kPlatformWin32Windows;
    host.aspiTargets[{0, 3}] = {SS_COMP, 5, 3};
    CFlashDevice device(host);
    ASSERT_EQ(device.GetDeviceCount(), 1);
    device.SelectDevice(0);
    EXPECT_EQ(device.WriteBlock(1, 0x1234, 0x20), CommandResult::Good);
    EXPECT_EQ(device.Inquiry(), CommandResult::Good);
    ASSERT_EQ(host.execBlocks.size(), 2u);
    const uint8_t expected[12] = {0xFA, 0, 0, 1, 0, 0x20, 0x12, 0x34, 0, 0, 0, 0};
    EXPECT_EQ(std::memcmp(host.execBlocks[0].CDBByte, expected, 12), 0);
    EXPECT_EQ(host.execBlocks[0].SRB_Flags, 0x50);
    EXPECT_EQ(host.execBlocks[0].SRB_BufLen, kBlockLength);
    EXPECT_EQ(host.execBlocks[1].SRB_Flags, 0x48);
    EXPECT_EQ(host.execBlocks[1].SRB_BufLen, 60u);
    EXPECT_EQ(host.execBlocks[1].CDBByte[0], 0x12);
    EXPECT_EQ(host.execBlocks[1].CDBByte[4], 0x24);
    EXPECT_TRUE(host.passThroughCalls.empty());
}
