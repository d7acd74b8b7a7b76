// The ASPI path of the command transport.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <tuple>

#include "device/scsi_device.h"
#include "fake_host.h"

namespace {

constexpr uint32_t kBlockBytes = 61440;
constexpr uint8_t kSsInvalidSrb = 0xE0;

// Windows 9x with one adapter whose targets 1 and 3 are CD-ROM drives.
struct AspiBench {
    FakeScsiHost host;
    AspiBench()
    {
        host.platformId = kPlatformWin32Windows;
        host.supportInfo = (uint32_t{SS_COMP} << 8) | 1;
        host.aspiTargets[{0, 1}] = {SS_COMP, kPeripheralTypeCdrom, 3};
        host.aspiTargets[{0, 3}] = {SS_COMP, kPeripheralTypeCdrom, 4};
    }
};

void WriteCdb(CScsiDevice& device)
{
    uint8_t* cdb = const_cast<uint8_t*>(device.GetRequest().sptd.Cdb);
    for (int i = 0; i < 12; ++i)
        cdb[i] = static_cast<uint8_t>(0xC0 + i);
}

std::vector<uint8_t> SenseWithTail(uint8_t key, uint8_t asc, uint8_t ascq)
{
    std::vector<uint8_t> sense(16, 0xEE);  // bytes 14 and 15 must not be copied
    sense[0] = 0x70;
    sense[2] = key;
    sense[12] = asc;
    sense[13] = ascq;
    return sense;
}

}  // namespace

TEST(AspiCommand, BlockCarriesTheRequestAndTheDirectionFlags)
{
    struct Case {
        uint8_t dataIn;
        uint8_t flags;
    };
    const Case cases[] = {{kDataIn, 0x48}, {kDataOut, 0x50}, {2, 0x40}, {0xFF, 0x40}};
    for (const Case& c : cases) {
        AspiBench bench;
        CScsiDevice device(bench.host);
        ASSERT_EQ(device.GetDeviceCount(), 2);
        device.SelectDevice(1);
        device.BuildCommand(61440, c.dataIn, 30);
        WriteCdb(device);
        EXPECT_EQ(device.ExecCommand(), CommandResult::Good);
        ASSERT_EQ(bench.host.execBlocks.size(), 1u);
        const SRB_ExecSCSICmd& srb = bench.host.execBlocks[0];
        EXPECT_EQ(srb.SRB_Cmd, SC_EXEC_SCSI_CMD);
        EXPECT_EQ(srb.SRB_Status, SS_PENDING);
        EXPECT_EQ(srb.SRB_HaId, 0);
        EXPECT_EQ(srb.SRB_Flags, c.flags) << int(c.dataIn);
        EXPECT_EQ(srb.SRB_Target, 3);
        EXPECT_EQ(srb.SRB_Lun, 0);
        EXPECT_EQ(srb.SRB_BufLen, 61440u);
        EXPECT_EQ(srb.SRB_BufPointer, device.GetDataBuffer());
        EXPECT_EQ(srb.SRB_SenseLen, 14);
        EXPECT_EQ(srb.SRB_CDBLen, 12);
        EXPECT_EQ(srb.SRB_TargStat, 0);
        ASSERT_EQ(bench.host.createdEvents.size(), 1u);
        EXPECT_EQ(srb.SRB_PostProc, bench.host.createdEvents[0]);
        for (int i = 0; i < 16; ++i)
            EXPECT_EQ(srb.CDBByte[i], i < 12 ? 0xC0 + i : 0) << i;
        EXPECT_TRUE(bench.host.errors.empty());
    }
}

TEST(AspiCommand, ImmediateCompletionIsNotWaitedFor)
{
    struct Case {
        const char* name;
        uint32_t returned;
        uint8_t status;
        uint8_t targStat;
        CommandResult result;
    };
    const Case cases[] = {
        {"done", SS_COMP, SS_COMP, 0, CommandResult::Good},
        {"busy", SS_ERR, SS_ERR, 0x08, CommandResult::Status},
        {"check condition", SS_ERR, SS_ERR, kScsiStatusCheckCondition, CommandResult::Check},
        // The result follows the block, not the return value.
        {"return value disagrees", SS_ERR, SS_COMP, 0, CommandResult::Good},
        {"no device", SS_NO_DEVICE, SS_NO_DEVICE, 0, CommandResult::Lost},
        // A layer that refuses every block in the call and writes nothing
        // into it, as Wine's does: the block still reads pending.
        {"refused, block untouched", kSsInvalidSrb, SS_PENDING, 0, CommandResult::Lost},
    };
    for (const Case& c : cases) {
        AspiBench bench;
        bench.host.onExec = [&](SRB_ExecSCSICmd& srb) {
            srb.SRB_Status = c.status;
            srb.SRB_TargStat = c.targStat;
            return c.returned;
        };
        CScsiDevice device(bench.host);
        device.BuildCommand(60, kDataIn, 30);
        EXPECT_EQ(device.ExecCommand(), c.result) << c.name;
        EXPECT_TRUE(bench.host.waits.empty()) << c.name;
        EXPECT_EQ(device.GetRequest().sptd.ScsiStatus, c.targStat) << c.name;
        // The request is over: its event is released.
        ASSERT_EQ(bench.host.createdEvents.size(), 1u);
        EXPECT_TRUE(bench.host.EventClosed(bench.host.createdEvents[0])) << c.name;
    }
}

TEST(AspiCommand, PendingRequestIsWaitedForTheTimeOut)
{
    AspiBench bench;
    bench.host.onExec = [](SRB_ExecSCSICmd&) { return uint32_t{SS_PENDING}; };
    bench.host.onWait = [&](HostHandle, uint32_t) {
        FakeScsiHost::CompleteLater(bench.host.execPointers.back(), SS_COMP, kScsiStatusGood);
        return true;
    };
    CScsiDevice device(bench.host);
    device.BuildCommand(512, kDataIn, 10);
    EXPECT_EQ(device.ExecCommand(), CommandResult::Good);
    ASSERT_EQ(bench.host.waits.size(), 1u);
    EXPECT_EQ(bench.host.waits[0].first, bench.host.createdEvents[0]);
    EXPECT_EQ(bench.host.waits[0].second, 10000u);
    EXPECT_TRUE(bench.host.EventClosed(bench.host.createdEvents[0]));
    EXPECT_TRUE(bench.host.errors.empty());
}

TEST(AspiCommand, CheckConditionCopiesFourteenSenseBytes)
{
    AspiBench bench;
    bench.host.onExec = [](SRB_ExecSCSICmd& srb) {
        const std::vector<uint8_t> sense = SenseWithTail(0x25, 0x24, 0x01);
        std::memcpy(srb.SenseArea, sense.data(), sense.size());
        srb.SRB_TargStat = kScsiStatusCheckCondition;
        srb.SRB_Status = SS_ERR;
        return uint32_t{SS_ERR};
    };
    CScsiDevice device(bench.host);
    device.BuildCommand(60, kDataIn, 30);
    EXPECT_EQ(device.ExecCommand(), CommandResult::Check);
    EXPECT_EQ(device.GetRequest().sptd.ScsiStatus, kScsiStatusCheckCondition);
    EXPECT_EQ(device.GetSenseKey(), 0x25);
    EXPECT_EQ(device.GetAsc(), 0x24);
    EXPECT_EQ(device.GetAscq(), 0x01);
    const uint8_t* sense = device.GetRequest().senseArea;
    EXPECT_EQ(sense[0], 0x70);
    EXPECT_EQ(sense[13], 0x01);
    for (size_t i = 14; i < kSenseAreaLength; ++i)
        EXPECT_EQ(sense[i], 0) << i;
}

TEST(AspiCommand, ErrorWithoutCheckConditionKeepsEarlierSenseButTimesTheCommand)
{
    AspiBench bench;
    int call = 0;
    bench.host.onExec = [&](SRB_ExecSCSICmd& srb) {
        if (call++ == 0) {
            const std::vector<uint8_t> sense = SenseWithTail(0x03, 0x11, 0x00);
            std::memcpy(srb.SenseArea, sense.data(), sense.size());
            srb.SRB_TargStat = kScsiStatusCheckCondition;
        } else {
            std::memset(srb.SenseArea, 0x77, sizeof(srb.SenseArea));
            srb.SRB_TargStat = 0x08;  // BUSY
        }
        srb.SRB_Status = SS_ERR;
        return uint32_t{SS_ERR};
    };
    bench.host.frequency = 100;
    CScsiDevice device(bench.host);
    device.BuildCommand(60, kDataIn, 30);
    EXPECT_NE(device.ExecCommand(), CommandResult::Good);
    bench.host.counterStep = 25;
    device.BuildCommand(60, kDataIn, 30);
    EXPECT_NE(device.ExecCommand(), CommandResult::Good);
    EXPECT_EQ(device.GetRequest().sptd.ScsiStatus, 0x08);
    EXPECT_EQ(device.GetSenseKey(), 0x03);
    EXPECT_EQ(device.GetAsc(), 0x11);
    for (uint8_t byte : device.GetRequest().senseArea)
        EXPECT_EQ(byte, 0);
    // Unlike the pass-through path, a failed ASPI command is timed.
    EXPECT_DOUBLE_EQ(device.GetElapsedSeconds(), 0.25);
}

TEST(AspiCommand, TimedOutRequestStaysValidUntilTheLayerCompletesIt)
{
    AspiBench bench;
    bench.host.onExec = [](SRB_ExecSCSICmd&) { return uint32_t{SS_PENDING}; };
    CScsiDevice device(bench.host);
    device.BuildCommand(60, kDataIn, 30);
    EXPECT_EQ(device.ExecCommand(), CommandResult::Lost);
    ASSERT_EQ(bench.host.waits.size(), 1u);
    EXPECT_EQ(bench.host.waits[0].second, 30000u);
    EXPECT_EQ(device.GetRequest().sptd.ScsiStatus, 0);
    SRB_ExecSCSICmd* late = bench.host.execPointers[0];
    const HostHandle lateEvent = bench.host.createdEvents[0];
    EXPECT_FALSE(bench.host.EventClosed(lateEvent));

    // Another command while the first is still pending: the first stays.
    bench.host.onExec = nullptr;
    device.BuildCommand(60, kDataIn, 30);
    EXPECT_EQ(device.ExecCommand(), CommandResult::Good);
    EXPECT_FALSE(bench.host.EventClosed(lateEvent));

    // The layer writes the block late; under AddressSanitizer a freed block
    // would show here.
    FakeScsiHost::CompleteLater(late, SS_COMP, kScsiStatusGood, SenseWithTail(0, 0, 0));
    // Status written but event not yet signalled: the layer is not done.
    device.BuildCommand(60, kDataIn, 30);
    EXPECT_EQ(device.ExecCommand(), CommandResult::Good);
    EXPECT_FALSE(bench.host.EventClosed(lateEvent));

    bench.host.signalledEvents.insert(lateEvent);
    device.BuildCommand(60, kDataIn, 30);
    EXPECT_EQ(device.ExecCommand(), CommandResult::Good);
    EXPECT_TRUE(bench.host.EventClosed(lateEvent));
    EXPECT_TRUE(bench.host.errors.empty());
}

TEST(AspiCommand, RequestCompletingJustAfterTheWaitIsKeptUntilSignalled)
{
    AspiBench bench;
    bench.host.onExec = [](SRB_ExecSCSICmd&) { return uint32_t{SS_PENDING}; };
    // The wait times out, but the status turns to done before it is read.
    bench.host.onWait = [&](HostHandle event, uint32_t milliseconds) {
        if (milliseconds == 0)
            return bench.host.signalledEvents.count(event) != 0;
        FakeScsiHost::CompleteLater(bench.host.execPointers.back(), SS_COMP, kScsiStatusGood);
        return false;
    };
    CScsiDevice device(bench.host);
    device.BuildCommand(60, kDataIn, 30);
    EXPECT_EQ(device.ExecCommand(), CommandResult::Good);
    EXPECT_FALSE(bench.host.EventClosed(bench.host.createdEvents[0]));
    bench.host.signalledEvents.insert(bench.host.createdEvents[0]);
    bench.host.onExec = nullptr;
    device.BuildCommand(60, kDataIn, 30);
    EXPECT_EQ(device.ExecCommand(), CommandResult::Good);
    EXPECT_TRUE(bench.host.EventClosed(bench.host.createdEvents[0]));
}

// The layer fills the buffer and reports the request done just after the wait
// gave up, before it signals the event: done, its data reaches the caller;
// failed, nothing the caller could take for data does.
TEST(AspiCommand, DataOfARequestDoneJustAfterTheWaitReachesTheCaller)
{
    for (const auto& [lateStatus, result, firstByte] :
         {std::tuple{SS_COMP, CommandResult::Good, 0x5A}, {SS_ERR, CommandResult::Lost, 0}}) {
        AspiBench bench;
        bench.host.onExec = [](SRB_ExecSCSICmd&) { return uint32_t{SS_PENDING}; };
        bench.host.onWait = [&](HostHandle event, uint32_t milliseconds) {
            SRB_ExecSCSICmd* srb = bench.host.execPointers.back();
            if (milliseconds == 0)
                return bench.host.signalledEvents.count(event) != 0;
            std::memset(srb->SRB_BufPointer, 0x5A, srb->SRB_BufLen);
            FakeScsiHost::CompleteLater(srb, lateStatus, kScsiStatusGood);
            return false;
        };
        CScsiDevice device(bench.host);
        std::memset(device.GetDataBuffer(), 0x3C, kDataBufferSize);
        device.BuildCommand(96, kDataIn, 30);
        EXPECT_EQ(device.ExecCommand(), result);
        const uint8_t* data = device.GetDataBuffer();
        EXPECT_EQ(data[0], firstByte);
        EXPECT_EQ(data[95], firstByte);
        EXPECT_EQ(data[96], 0x3C) << "beyond the transfer";
    }
}

// A request that timed out keeps the buffer it points at, which the layer
// may still write; the object goes on with a fresh buffer that carries over
// what the timed-out command could not touch.
TEST(AspiCommand, TimedOutRequestKeepsItsBufferAndLaterCommandsGetAFreshOne)
{
    struct Case {
        const char* name;
        uint8_t direction;
        uint32_t length;
        uint32_t clearedBytes;  // at the start of the fresh buffer
    };
    const Case cases[] = {
        {"data in", kDataIn, 60, 60},
        {"data out", kDataOut, 61440, 0},
        {"no direction", 2, 512, 512},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        AspiBench bench;
        bench.host.onExec = [](SRB_ExecSCSICmd&) { return uint32_t{SS_PENDING}; };
        CScsiDevice device(bench.host);
        uint8_t* const first = device.GetDataBuffer();
        std::memset(first, 0x3C, kDataBufferSize);
        device.BuildCommand(c.length, c.direction, 30);
        EXPECT_EQ(device.ExecCommand(), CommandResult::Lost);
        SRB_ExecSCSICmd* late = bench.host.execPointers[0];
        ASSERT_EQ(late->SRB_BufPointer, first);

        uint8_t* const fresh = device.GetDataBuffer();
        ASSERT_NE(fresh, first);
        for (uint32_t i : {0u, c.length - 1, c.length, kDataBufferSize - 1})
            EXPECT_EQ(fresh[i], i < c.clearedBytes ? 0 : 0x3C) << i;

        // The next block goes out from the fresh buffer while the layer
        // finishes the old request into the old one.
        bench.host.onExec = nullptr;
        std::memset(fresh, 0x42, kBlockBytes);
        device.BuildCommand(kBlockBytes, kDataOut, 30);
        std::memset(first, 0xEE, c.length);
        bench.host.CompleteLaterAndSignal(late, SS_COMP, kScsiStatusGood);
        EXPECT_EQ(device.ExecCommand(), CommandResult::Good);
        EXPECT_EQ(bench.host.execBlocks[1].SRB_BufPointer, fresh);
        EXPECT_EQ(fresh[0], 0x42);
        // Reclaimed with its request.
        EXPECT_EQ(bench.host.freedBuffers, std::vector<uint8_t*>{first});
        EXPECT_EQ(device.GetDataBuffer(), fresh);
        EXPECT_TRUE(bench.host.errors.empty());
    }
}

// When no fresh buffer can be had, the old one stays, and no command may use
// it until the layer has finished the request that timed out; held at the
// object's end, it is parked rather than freed.
TEST(AspiCommand, WithoutAFreshBufferCommandsFailUntilTheLayerIsDone)
{
    AspiBench bench;
    bench.host.dataBuffersLeft = 1;
    const auto pending = [](SRB_ExecSCSICmd&) { return uint32_t{SS_PENDING}; };
    bench.host.onExec = pending;
    auto device = std::make_unique<CScsiDevice>(bench.host);
    uint8_t* const buffer = device->GetDataBuffer();
    device->BuildCommand(60, kDataIn, 30);
    EXPECT_EQ(device->ExecCommand(), CommandResult::Lost);
    EXPECT_EQ(device->GetDataBuffer(), buffer);

    bench.host.onExec = nullptr;
    device->BuildCommand(kBlockBytes, kDataOut, 30);
    EXPECT_EQ(device->ExecCommand(), CommandResult::NotSent);
    EXPECT_EQ(bench.host.execBlocks.size(), 1u) << "nothing sent while the buffer is held";

    bench.host.CompleteLaterAndSignal(bench.host.execPointers[0], SS_COMP, kScsiStatusGood);
    device->BuildCommand(kBlockBytes, kDataOut, 30);
    EXPECT_EQ(device->ExecCommand(), CommandResult::Good);
    EXPECT_EQ(bench.host.execBlocks[1].SRB_BufPointer, buffer);

    bench.host.onExec = pending;
    device->BuildCommand(60, kDataIn, 30);
    EXPECT_EQ(device->ExecCommand(), CommandResult::Lost);
    device.reset();
    std::memset(buffer, 0x11, 60);  // a late write; AddressSanitizer sees a freed buffer
    bench.host.CompleteLaterAndSignal(bench.host.execPointers[2], SS_COMP, kScsiStatusGood);
    EXPECT_TRUE(bench.host.freedBuffers.empty());
    EXPECT_TRUE(bench.host.errors.empty());
}

TEST(AspiCommand, RequestPendingAtDestructionOutlivesTheObject)
{
    AspiBench bench;
    bench.host.onExec = [](SRB_ExecSCSICmd&) { return uint32_t{SS_PENDING}; };
    auto device = std::make_unique<CScsiDevice>(bench.host);
    device->BuildCommand(60, kDataIn, 30);
    EXPECT_EQ(device->ExecCommand(), CommandResult::Lost);
    SRB_ExecSCSICmd* late = bench.host.execPointers[0];
    auto* buffer = static_cast<uint8_t*>(late->SRB_BufPointer);
    device.reset();

    // The layer may still fill the data buffer and write the block.
    std::memset(buffer, 0x11, 60);
    bench.host.CompleteLaterAndSignal(late, SS_COMP, kScsiStatusGood);
    EXPECT_EQ(buffer[59], 0x11);
    EXPECT_FALSE(bench.host.EventClosed(bench.host.createdEvents[0]));
    // The library may still run code for it, so it stays loaded.
    EXPECT_EQ(bench.host.libraryFrees, 0);
}

TEST(AspiCommand, CompletedAbandonedRequestIsReleasedAtDestruction)
{
    AspiBench bench;
    bench.host.onExec = [](SRB_ExecSCSICmd&) { return uint32_t{SS_PENDING}; };
    {
        CScsiDevice device(bench.host);
        device.BuildCommand(60, kDataIn, 30);
        EXPECT_EQ(device.ExecCommand(), CommandResult::Lost);
        bench.host.CompleteLaterAndSignal(bench.host.execPointers[0], SS_ERR, 0);
    }
    EXPECT_TRUE(bench.host.EventClosed(bench.host.createdEvents[0]));
    EXPECT_EQ(bench.host.libraryFrees, 1);
    EXPECT_TRUE(bench.host.errors.empty());
}

TEST(AspiCommand, NoEventMeansNothingIsSent)
{
    AspiBench bench;
    bench.host.eventCreationFails = true;
    CScsiDevice device(bench.host);
    device.BuildCommand(60, kDataIn, 30);
    EXPECT_EQ(device.ExecCommand(), CommandResult::NotSent);
    EXPECT_TRUE(bench.host.execBlocks.empty());
}

TEST(AspiCommand, InvalidIndexContactsNothing)
{
    for (int16_t index : {int16_t{-1}, int16_t{2}}) {
        AspiBench bench;
        CScsiDevice device(bench.host);
        device.SelectDevice(index);
        device.BuildCommand(60, kDataIn, 30);
        EXPECT_EQ(device.ExecCommand(), CommandResult::NotSent) << index;
        EXPECT_TRUE(bench.host.execBlocks.empty()) << index;
        EXPECT_TRUE(bench.host.createdEvents.empty()) << index;
        EXPECT_EQ(device.GetElapsedSeconds(), 0.0) << index;
    }
}

TEST(AspiCommand, LoadedLibraryChoosesTheAspiPath)
{
    // No adapters: the library is usable, the list empty, and a command takes
    // the ASPI path (which then finds no device) rather than pass-through.
    AspiBench bench;
    bench.host.supportInfo = uint32_t{SS_NO_ADAPTERS} << 8;
    bench.host.SetDrives({"D:\\"}, "D");
    CScsiDevice device(bench.host);
    EXPECT_EQ(device.GetDeviceCount(), 0);
    device.BuildCommand(60, kDataIn, 30);
    EXPECT_EQ(device.ExecCommand(), CommandResult::NotSent);
    EXPECT_TRUE(bench.host.passThroughCalls.empty());
    EXPECT_TRUE(bench.host.openedPaths.empty());
}
