// The command request, its preparation and the pass-through path.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstring>

#include "device/scsi_device.h"
#include "fake_host.h"

namespace {

// A host with CD-ROM drives D: and E: on the NT family.
struct NtBench {
    FakeScsiHost host;
    NtBench() { host.SetDrives({"C:\\", "D:\\", "E:\\"}, "DE"); }
};

std::vector<uint8_t> Sense(uint8_t key, uint8_t asc, uint8_t ascq)
{
    std::vector<uint8_t> sense(kSenseAreaLength, 0);
    sense[0] = 0x70;
    sense[2] = key;
    sense[12] = asc;
    sense[13] = ascq;
    return sense;
}

}  // namespace

TEST(ScsiRequest, BuildCommandFillsTheRecord)
{
    NtBench bench;
    CScsiDevice device(bench.host);
    device.BuildCommand(61440, kDataOut, 30);
    const PassThroughRequest& request = device.GetRequest();
    EXPECT_EQ(request.sptd.Length, sizeof(ScsiPassThroughDirect));
    EXPECT_EQ(request.sptd.ScsiStatus, 0);
    EXPECT_EQ(request.sptd.PathId, 0);
    EXPECT_EQ(request.sptd.TargetId, 0);
    EXPECT_EQ(request.sptd.Lun, 0);
    EXPECT_EQ(request.sptd.CdbLength, 12);
    EXPECT_EQ(request.sptd.SenseInfoLength, 32);
    EXPECT_EQ(request.sptd.DataIn, kDataOut);
    EXPECT_EQ(request.sptd.DataTransferLength, 61440u);
    EXPECT_EQ(request.sptd.TimeOutValue, 30u);
    EXPECT_EQ(request.sptd.DataBuffer, device.GetDataBuffer());
    EXPECT_EQ(request.sptd.SenseInfoOffset, offsetof(PassThroughRequest, senseArea));
#if defined(_WIN32) && !defined(_WIN64)
    // The record the driver reads in the 32-bit build.
    EXPECT_EQ(request.sptd.Length, 44);
    EXPECT_EQ(request.sptd.SenseInfoOffset, 48u);
    const auto* bytes = reinterpret_cast<const uint8_t*>(&request);
    const uint8_t expectedHead[] = {44, 0, 0, 0, 0, 0, 12, 32, 0, 0, 0, 0, 0x00, 0xF0, 0, 0, 30, 0, 0, 0};
    EXPECT_EQ(std::memcmp(bytes, expectedHead, sizeof(expectedHead)), 0);
    uint32_t bufferField = 0;
    std::memcpy(&bufferField, bytes + 20, 4);
    EXPECT_EQ(bufferField, reinterpret_cast<uintptr_t>(device.GetDataBuffer()));
    EXPECT_EQ(bytes[24], 48);
#endif
    for (uint8_t byte : request.sptd.Cdb)
        EXPECT_EQ(byte, 0);
    for (uint8_t byte : request.reserved)
        EXPECT_EQ(byte, 0);
    for (uint8_t byte : request.senseArea)
        EXPECT_EQ(byte, 0);
}

TEST(ScsiRequest, DataBufferStartsZeroedOnAPageBoundary)
{
    NtBench bench;
    CScsiDevice device(bench.host);
    ASSERT_NE(device.GetDataBuffer(), nullptr);
    const uint8_t* buffer = device.GetDataBuffer();
    EXPECT_EQ(reinterpret_cast<uintptr_t>(buffer) % 4096, 0u);
    size_t nonZero = 0;
    for (uint32_t i = 0; i < kDataBufferSize; ++i)
        nonZero += buffer[i] != 0;
    EXPECT_EQ(nonZero, 0u);
}

TEST(ScsiRequest, SecondBuildClearsCdbAndSenseButNotTheBuffer)
{
    NtBench bench;
    bench.host.onPassThrough = [](HostHandle, PassThroughRequest& request) {
        request.sptd.ScsiStatus = kScsiStatusCheckCondition;
        std::memset(request.senseArea, 0x5A, sizeof(request.senseArea));
        return true;
    };
    CScsiDevice device(bench.host);
    std::memset(device.GetDataBuffer(), 0xA5, kDataBufferSize);
    device.SelectDevice(0);
    device.BuildCommand(60, kDataIn, 30);
    uint8_t* cdb = const_cast<uint8_t*>(device.GetRequest().sptd.Cdb);
    for (int i = 0; i < 16; ++i)
        cdb[i] = static_cast<uint8_t>(i + 1);
    EXPECT_NE(device.ExecCommand(), CommandResult::Good);
    ASSERT_EQ(device.GetRequest().sptd.ScsiStatus, kScsiStatusCheckCondition);

    device.BuildCommand(512, kDataIn, 10);
    const PassThroughRequest& request = device.GetRequest();
    EXPECT_EQ(request.sptd.ScsiStatus, 0);
    for (uint8_t byte : request.sptd.Cdb)
        EXPECT_EQ(byte, 0);
    for (uint8_t byte : request.senseArea)
        EXPECT_EQ(byte, 0);
    // The status bytes of the failure outlive the new request.
    EXPECT_EQ(device.GetSenseKey(), 0x5A);
    const uint8_t* buffer = device.GetDataBuffer();
    EXPECT_EQ(buffer[0], 0xA5);
    EXPECT_EQ(buffer[kDataBufferSize - 1], 0xA5);
}

TEST(ScsiConstruction, AsksThePlatformThenDiscoversThenReadsTheFrequency)
{
    NtBench bench;
    CScsiDevice device(bench.host);
    ASSERT_GE(bench.host.log.size(), 3u);
    EXPECT_EQ(bench.host.log.front(), "version");
    EXPECT_EQ(bench.host.log[1], "drives");
    EXPECT_EQ(bench.host.log.back(), "frequency");
    EXPECT_EQ(device.GetDeviceCount(), 2);
    EXPECT_EQ(device.GetCurrentDevice(), 0);
    EXPECT_EQ(device.GetElapsedSeconds(), 0.0);
}

TEST(ScsiConstruction, PlatformIdChoosesTheFamily)
{
    struct Case {
        bool versionOk;
        uint32_t platformId;
        bool win9x;
    };
    const Case cases[] = {
        {true, 1, true},    // Windows 9x
        {true, 2, false},   // NT
        {true, 0, false},   // Win32s
        {false, 1, false},  // the call failed: the record stays zero
    };
    for (const Case& c : cases) {
        FakeScsiHost host;
        host.versionOk = c.versionOk;
        host.platformId = c.platformId;
        host.aspiPresent = false;
        CScsiDevice device(host);
        EXPECT_EQ(device.IsWin9x(), c.win9x) << c.platformId << " ok=" << c.versionOk;
        // The family decides the discovery that the constructor ran.
        const bool triedAspi = std::find(host.log.begin(), host.log.end(), "load WNASPI32") != host.log.end();
        EXPECT_EQ(triedAspi, c.win9x);
        EXPECT_EQ(host.driveListBufferLengths.empty(), c.win9x);
    }
}

TEST(PassThrough, SuccessGoesToTheCurrentHandleAndKeepsTiming)
{
    NtBench bench;
    bench.host.frequency = 4;
    bench.host.counterStep = 2;  // stop - start = 2 ticks
    CScsiDevice device(bench.host);
    device.SelectDevice(1);
    device.BuildCommand(60, kDataIn, 30);
    ASSERT_EQ(device.ExecCommand(), CommandResult::Good);
    ASSERT_EQ(bench.host.passThroughCalls.size(), 1u);
    EXPECT_EQ(bench.host.passThroughCalls[0].device, device.GetDeviceEntry(1)->hDevice);
    EXPECT_EQ(bench.host.passThroughCalls[0].request.sptd.DataTransferLength, 60u);
    EXPECT_DOUBLE_EQ(device.GetElapsedSeconds(), 0.5);
    EXPECT_TRUE(bench.host.errors.empty());
}

TEST(PassThrough, FailuresCaptureSenseAndKeepTiming)
{
    struct Case {
        const char* name;
        bool callOk;
        uint8_t scsiStatus;
        bool writeSense;
        uint8_t key, asc, ascq;
    };
    const Case cases[] = {
        {"check condition", true, kScsiStatusCheckCondition, true, 0x05, 0x24, 0x00},
        {"sense byte with ILI bit kept whole", true, kScsiStatusCheckCondition, true, 0x25, 0x20, 0x01},
        {"busy without sense", true, 0x08, false, 0, 0, 0},
        {"call failed", false, 0x00, false, 0, 0, 0},
        {"call failed after writing sense", false, kScsiStatusCheckCondition, true, 0x06, 0x29, 0x00},
    };
    for (const Case& c : cases) {
        NtBench bench;
        bench.host.counterStep = 5;
        bool fail = false;
        bench.host.onPassThrough = [&](HostHandle, PassThroughRequest& request) {
            if (!fail)
                return true;
            request.sptd.ScsiStatus = c.scsiStatus;
            if (c.writeSense) {
                const std::vector<uint8_t> sense = Sense(c.key, c.asc, c.ascq);
                std::memcpy(request.senseArea, sense.data(), sense.size());
            }
            return c.callOk;
        };
        CScsiDevice device(bench.host);
        device.BuildCommand(60, kDataIn, 30);
        ASSERT_EQ(device.ExecCommand(), CommandResult::Good) << c.name;
        const double elapsedBefore = device.GetElapsedSeconds();
        ASSERT_GT(elapsedBefore, 0.0);

        fail = true;
        bench.host.counterStep = 50;  // a different duration must not show
        device.BuildCommand(60, kDataIn, 30);
        EXPECT_NE(device.ExecCommand(), CommandResult::Good) << c.name;
        EXPECT_EQ(device.GetRequest().sptd.ScsiStatus, c.scsiStatus) << c.name;
        EXPECT_EQ(device.GetSenseKey(), c.key) << c.name;
        EXPECT_EQ(device.GetAsc(), c.asc) << c.name;
        EXPECT_EQ(device.GetAscq(), c.ascq) << c.name;
        EXPECT_EQ(device.GetElapsedSeconds(), elapsedBefore) << c.name;
    }
}

TEST(PassThrough, FailureWithoutSenseOverwritesEarlierStatusBytes)
{
    NtBench bench;
    int call = 0;
    bench.host.onPassThrough = [&](HostHandle, PassThroughRequest& request) {
        if (call++ == 0) {
            request.sptd.ScsiStatus = kScsiStatusCheckCondition;
            const std::vector<uint8_t> sense = Sense(0x03, 0x11, 0x02);
            std::memcpy(request.senseArea, sense.data(), sense.size());
            return true;
        }
        return false;
    };
    CScsiDevice device(bench.host);
    device.BuildCommand(60, kDataIn, 30);
    EXPECT_EQ(device.ExecCommand(), CommandResult::Check);
    EXPECT_EQ(device.GetSenseKey(), 0x03);
    device.BuildCommand(60, kDataIn, 30);
    EXPECT_EQ(device.ExecCommand(), CommandResult::Lost);
    EXPECT_EQ(device.GetSenseKey(), 0);
    EXPECT_EQ(device.GetAsc(), 0);
    EXPECT_EQ(device.GetAscq(), 0);
}

TEST(PassThrough, InvalidIndexContactsNothingAndChangesNothing)
{
    struct Case {
        const char* name;
        bool withDevices;
        int16_t index;
    };
    const Case cases[] = {
        {"minus one", true, -1},
        {"equal to the count", true, 2},
        {"far beyond", true, 0x7FFF},
        {"empty list", false, 0},
    };
    for (const Case& c : cases) {
        NtBench bench;
        if (!c.withDevices)
            bench.host.SetDrives({"C:\\"}, "");
        int call = 0;
        bench.host.onPassThrough = [&](HostHandle, PassThroughRequest& request) {
            if (call++ == 0)
                return true;
            request.sptd.ScsiStatus = kScsiStatusCheckCondition;
            const std::vector<uint8_t> sense = Sense(0x02, 0x3A, 0x00);
            std::memcpy(request.senseArea, sense.data(), sense.size());
            return true;
        };
        CScsiDevice device(bench.host);
        if (c.withDevices) {
            // One success and one failure give timing and status bytes to keep.
            device.BuildCommand(60, kDataIn, 30);
            ASSERT_EQ(device.ExecCommand(), CommandResult::Good);
            device.BuildCommand(60, kDataIn, 30);
            ASSERT_NE(device.ExecCommand(), CommandResult::Good);
        }
        const double elapsed = device.GetElapsedSeconds();
        const uint8_t key = device.GetSenseKey();
        const size_t callsBefore = bench.host.passThroughCalls.size();
        const int64_t counterBefore = bench.host.counter;

        device.SelectDevice(c.index);
        device.BuildCommand(60, kDataIn, 30);
        const PassThroughRequest before = device.GetRequest();
        EXPECT_EQ(device.ExecCommand(), CommandResult::NotSent) << c.name;
        EXPECT_EQ(bench.host.passThroughCalls.size(), callsBefore) << c.name;
        EXPECT_EQ(bench.host.counter, counterBefore) << c.name;
        EXPECT_EQ(device.GetElapsedSeconds(), elapsed) << c.name;
        EXPECT_EQ(device.GetSenseKey(), key) << c.name;
        EXPECT_EQ(std::memcmp(&before, &device.GetRequest(), sizeof(before)), 0) << c.name;
    }
}
