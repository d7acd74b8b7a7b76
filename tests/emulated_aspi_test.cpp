#include <gtest/gtest.h>

#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "device/emulated/emulated_host.h"
#include "emulated_support.h"
#include "tests/emulated_host_probe.h"

using namespace emu_test;

namespace {

constexpr uint8_t kSsInvalidHa = 0x81;
constexpr uint8_t kSsInvalidSrb = 0xE0;

EmulatorScenario Scenario(const char* text)
{
    EmulatorScenario scenario;
    std::string error;
    EXPECT_TRUE(ParseScenario(text, scenario, error)) << error;
    return scenario;
}

// The ASPI layer as a loaded library: module and both entry points.
struct Aspi {
    explicit Aspi(RecordedHost& h) : host(h)
    {
        module = host.Aspi()->LoadAspiLibrary("WNASPI32");
        support = host.Aspi()->FindAspiEntryPoint(module, "GetASPI32SupportInfo");
        send = host.Aspi()->FindAspiEntryPoint(module, "SendASPI32Command");
    }

    SRB_GDEVBlock DevType(uint8_t adapter, uint8_t target, uint8_t lun = 0)
    {
        SRB_GDEVBlock srb{};
        srb.SRB_Cmd = SC_GET_DEV_TYPE;
        srb.SRB_HaId = adapter;
        srb.SRB_Target = target;
        srb.SRB_Lun = lun;
        srb.SRB_DeviceType = 0xEE;
        EXPECT_EQ(host.Aspi()->CallSendASPI32Command(send, &srb), srb.SRB_Status);
        return srb;
    }

    SRB_GetDiskInfo DiskInfo(uint8_t adapter, uint8_t target)
    {
        SRB_GetDiskInfo srb{};
        srb.SRB_Cmd = SC_GET_DISK_INFO;
        srb.SRB_HaId = adapter;
        srb.SRB_Target = target;
        srb.SRB_Int13HDriveInfo = 0xEE;
        EXPECT_EQ(host.Aspi()->CallSendASPI32Command(send, &srb), srb.SRB_Status);
        return srb;
    }

    // An execute request as the transport builds it.
    static SRB_ExecSCSICmd Exec(uint8_t target, const Cdb& cdb, uint8_t flags, uint8_t* buffer, uint32_t length,
                                HostHandle event)
    {
        SRB_ExecSCSICmd srb{};
        srb.SRB_Cmd = SC_EXEC_SCSI_CMD;
        srb.SRB_HaId = 0;
        srb.SRB_Flags = flags;
        srb.SRB_Target = target;
        srb.SRB_BufLen = length;
        srb.SRB_BufPointer = buffer;
        srb.SRB_SenseLen = kAspiSenseLength;
        srb.SRB_CDBLen = 12;
        srb.SRB_PostProc = event;
        std::memcpy(srb.CDBByte, cdb.bytes, 12);
        std::memset(srb.SenseArea, 0xEE, sizeof(srb.SenseArea));
        return srb;
    }

    RecordedHost& host;
    HostHandle module = 0;
    AspiEntryPoint support = nullptr;
    AspiEntryPoint send = nullptr;
};

constexpr uint8_t kIn = SRB_EVENT_NOTIFY | SRB_DIR_IN;
constexpr uint8_t kOut = SRB_EVENT_NOTIFY | SRB_DIR_OUT;

TEST(EmulatedAspi, LibraryAndEntryPoints)
{
    ManualClock clock;
    RecordedHost nt(Scenario(""), clock);
    EXPECT_EQ(nt.Aspi()->LoadAspiLibrary("WNASPI32"), 0u) << "an NT bench has no ASPI layer";

    RecordedHost host(Scenario("win9x=1"), clock);
    for (const char* name : {"ASPI", "WNASPI", "WNASPI32X", "", "WNASPI32.DL"})
        EXPECT_EQ(host.Aspi()->LoadAspiLibrary(name), 0u) << name;
    EXPECT_EQ(host.Aspi()->LoadAspiLibrary(nullptr), 0u);
    EXPECT_EQ(host.AspiLoadCount(), 0);
    const HostHandle module = host.Aspi()->LoadAspiLibrary("WNASPI32");
    ASSERT_NE(module, 0u);
    EXPECT_EQ(host.Aspi()->LoadAspiLibrary("wnaspi32"), module);
    EXPECT_EQ(host.Aspi()->LoadAspiLibrary("WnAspi32.dll"), module);
    EXPECT_EQ(host.AspiLoadCount(), 3);

    const AspiEntryPoint support = host.Aspi()->FindAspiEntryPoint(module, "GetASPI32SupportInfo");
    const AspiEntryPoint send = host.Aspi()->FindAspiEntryPoint(module, "SendASPI32Command");
    EXPECT_NE(support, nullptr);
    EXPECT_NE(send, nullptr);
    EXPECT_NE(support, send);
    EXPECT_EQ(host.Aspi()->FindAspiEntryPoint(module, "getaspi32supportinfo"), nullptr);
    EXPECT_EQ(host.Aspi()->FindAspiEntryPoint(module, "SendASPI32CommandX"), nullptr);
    EXPECT_EQ(host.Aspi()->FindAspiEntryPoint(module + 1, "SendASPI32Command"), nullptr);
    EXPECT_EQ(host.Aspi()->FindAspiEntryPoint(module, nullptr), nullptr);

    host.Aspi()->FreeAspiLibrary(module);
    host.Aspi()->FreeAspiLibrary(module + 1);
    EXPECT_EQ(host.AspiFreeCount(), 1);
}

TEST(EmulatedAspi, SupportInfoReportsOneAdapterOrNone)
{
    ManualClock clock;
    struct Case {
        const char* scenario;
        uint32_t info;
    };
    const Case cases[] = {
        {"win9x=1", 0x0101},
        {"win9x=1,devices=5", 0x0101},
        {"win9x=1,devices=0", 0xE800},
    };
    for (const Case& c : cases) {
        RecordedHost host(Scenario(c.scenario), clock);
        Aspi aspi(host);
        EXPECT_EQ(host.Aspi()->CallGetASPI32SupportInfo(aspi.support), c.info) << c.scenario;
        EXPECT_EQ(host.Aspi()->CallGetASPI32SupportInfo(aspi.send), 0u) << "the wrong entry point";
    }
}

TEST(EmulatedAspi, DeviceTypesAndDiskInfo)
{
    ManualClock clock;
    RecordedHost host(Scenario("win9x=1,devices=2"), clock);
    Aspi aspi(host);
    struct Case {
        uint8_t adapter, target, lun;
        uint8_t status, type, drive;
    };
    const Case cases[] = {
        {0, 0, 0, SS_COMP, 0, 2},  // the fixed disk C:
        {0, 1, 0, SS_COMP, 5, 3},  // D:
        {0, 2, 0, SS_COMP, 5, 4},  // E:
        {0, 3, 0, SS_NO_DEVICE, 0xEE, 0xEE},
        {0, 15, 0, SS_NO_DEVICE, 0xEE, 0xEE},
        {0, 1, 1, SS_NO_DEVICE, 0xEE, 0xEE},
        {1, 1, 0, kSsInvalidHa, 0xEE, 0xEE},
    };
    for (const Case& c : cases) {
        const SRB_GDEVBlock dev = aspi.DevType(c.adapter, c.target, c.lun);
        EXPECT_EQ(dev.SRB_Status, c.status) << "adapter " << int(c.adapter) << " target " << int(c.target);
        EXPECT_EQ(dev.SRB_DeviceType, c.type) << "adapter " << int(c.adapter) << " target " << int(c.target);
        if (c.lun == 0) {
            const SRB_GetDiskInfo disk = aspi.DiskInfo(c.adapter, c.target);
            EXPECT_EQ(disk.SRB_Int13HDriveInfo, c.drive) << "target " << int(c.target);
        }
    }

    RecordedHost none(Scenario("win9x=1,devices=0"), clock);
    Aspi empty(none);
    EXPECT_EQ(empty.DevType(0, 1).SRB_Status, kSsInvalidHa);

    uint8_t unknown[80] = {0x7F};
    EXPECT_EQ(host.Aspi()->CallSendASPI32Command(aspi.send, unknown), kSsInvalidSrb);
    EXPECT_EQ(unknown[1], SS_PENDING) << "a refused block keeps the status it came with";
    EXPECT_EQ(host.Aspi()->CallSendASPI32Command(aspi.send, nullptr), kSsInvalidSrb);
    SRB_GDEVBlock dev{};
    dev.SRB_Cmd = SC_GET_DEV_TYPE;
    EXPECT_EQ(host.Aspi()->CallSendASPI32Command(aspi.support, &dev), kSsInvalidSrb) << "the wrong entry point";
}

TEST(EmulatedAspi, ImmediateCompletionWithoutLatency)
{
    ManualClock clock;
    RecordedHost host(Scenario("win9x=1,vendor=ASPIVEND"), clock);
    Aspi aspi(host);
    std::vector<uint8_t> buffer(0x20000, 0xAA);

    const HostHandle event = host.Aspi()->CreateCompletionEvent();
    ASSERT_NE(event, 0u);
    EXPECT_FALSE(host.Aspi()->WaitCompletionEvent(event, 0));
    SRB_ExecSCSICmd inquiry = Aspi::Exec(1, InquiryCdb(), kIn, buffer.data(), 60, event);
    EXPECT_EQ(host.Aspi()->CallSendASPI32Command(aspi.send, &inquiry), SS_COMP);
    EXPECT_EQ(inquiry.SRB_Status, SS_COMP);
    EXPECT_EQ(inquiry.SRB_TargStat, kScsiStatusGood);
    EXPECT_EQ(std::string(buffer.begin() + 8, buffer.begin() + 16), "ASPIVEND");
    EXPECT_TRUE(host.Aspi()->WaitCompletionEvent(event, 0));
    EXPECT_EQ(clock.NowMs(), 0u);

    // A block outside download mode: CHECK CONDITION with 14 bytes of sense.
    SRB_ExecSCSICmd block = Aspi::Exec(1, WriteBlockCdb(0, 0, 0), kOut, buffer.data(), kBlock, event);
    EXPECT_EQ(host.Aspi()->CallSendASPI32Command(aspi.send, &block), SS_ERR);
    EXPECT_EQ(block.SRB_Status, SS_ERR);
    EXPECT_EQ(block.SRB_TargStat, kScsiStatusCheckCondition);
    const uint8_t sense[16] = {0x70, 0, 0x05, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x2C, 0x00, 0xEE, 0xEE};
    EXPECT_EQ(std::memcmp(block.SenseArea, sense, sizeof(sense)), 0);

    const auto records = host.Records();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_TRUE(records[0].dataIn);
    EXPECT_FALSE(records[1].dataIn);
    EXPECT_EQ(records[1].result, "check");
    host.Aspi()->CloseCompletionEvent(event);
    EXPECT_EQ(Inspect(host).OpenEventCount(), 0);
}

TEST(EmulatedAspi, RequestErrorsNeverReachTheDevice)
{
    ManualClock clock;
    RecordedHost host(Scenario("win9x=1"), clock);
    Aspi aspi(host);
    std::vector<uint8_t> buffer(0x20000);
    const HostHandle event = host.Aspi()->CreateCompletionEvent();
    struct Case {
        const char* what;
        void (*spoil)(SRB_ExecSCSICmd&);
        uint8_t status;
    };
    const Case cases[] = {
        {"adapter 1", [](SRB_ExecSCSICmd& s) { s.SRB_HaId = 1; }, kSsInvalidHa},
        {"the fixed disk", [](SRB_ExecSCSICmd& s) { s.SRB_Target = 0; }, SS_NO_DEVICE},
        {"no such target", [](SRB_ExecSCSICmd& s) { s.SRB_Target = 2; }, SS_NO_DEVICE},
        {"LUN 1", [](SRB_ExecSCSICmd& s) { s.SRB_Lun = 1; }, SS_NO_DEVICE},
        {"CDB of 6", [](SRB_ExecSCSICmd& s) { s.SRB_CDBLen = 6; }, kSsInvalidSrb},
        {"both directions", [](SRB_ExecSCSICmd& s) { s.SRB_Flags |= SRB_DIR_OUT; }, kSsInvalidSrb},
        {"too long", [](SRB_ExecSCSICmd& s) { s.SRB_BufLen = 0x20001; }, kSsInvalidSrb},
        {"no buffer", [](SRB_ExecSCSICmd& s) { s.SRB_BufPointer = nullptr; }, kSsInvalidSrb},
        {"unknown event", [](SRB_ExecSCSICmd& s) { s.SRB_PostProc = 0x5; }, kSsInvalidSrb},
    };
    for (const Case& c : cases) {
        SRB_ExecSCSICmd srb = Aspi::Exec(1, InquiryCdb(), kIn, buffer.data(), 60, event);
        c.spoil(srb);
        EXPECT_EQ(host.Aspi()->CallSendASPI32Command(aspi.send, &srb), c.status) << c.what;
        EXPECT_EQ(srb.SRB_Status, c.status) << c.what;
    }
    EXPECT_TRUE(host.Records().empty());
    host.Aspi()->CloseCompletionEvent(event);
}

TEST(EmulatedAspi, DirectionFollowsFlagsOrTheCommand)
{
    ManualClock clock;
    RecordedHost host(Scenario("win9x=1"), clock);
    Aspi aspi(host);
    std::vector<uint8_t> buffer(0x20000);
    const HostHandle event = host.Aspi()->CreateCompletionEvent();
    SRB_ExecSCSICmd start = Aspi::Exec(1, StartStopCdb(2), kIn, buffer.data(), 512, event);
    ASSERT_EQ(host.Aspi()->CallSendASPI32Command(aspi.send, &start), SS_COMP);
    // Flags without direction bits: the layer takes the command's own.
    SRB_ExecSCSICmd block = Aspi::Exec(1, WriteBlockCdb(0, 0, 0), SRB_EVENT_NOTIFY, buffer.data(), kBlock, event);
    EXPECT_EQ(host.Aspi()->CallSendASPI32Command(aspi.send, &block), SS_COMP);
    SRB_ExecSCSICmd inquiry = Aspi::Exec(1, InquiryCdb(), SRB_EVENT_NOTIFY, buffer.data(), 60, event);
    EXPECT_EQ(host.Aspi()->CallSendASPI32Command(aspi.send, &inquiry), SS_COMP);
    // A block sent as data-in is refused by the device.
    SRB_ExecSCSICmd wrong = Aspi::Exec(1, WriteBlockCdb(0, 0, 0xFF), kIn, buffer.data(), kBlock, event);
    EXPECT_EQ(host.Aspi()->CallSendASPI32Command(aspi.send, &wrong), SS_ERR);
    EXPECT_EQ(wrong.SenseArea[12], 0x24);

    const auto records = host.Records();
    ASSERT_EQ(records.size(), 4u);
    EXPECT_FALSE(records[1].dataIn);
    EXPECT_TRUE(records[2].dataIn);
    EXPECT_TRUE(records[3].dataIn);
    host.Aspi()->CloseCompletionEvent(event);
}

TEST(EmulatedAspi, RebootingDeviceIsASelectionTimeOut)
{
    ManualClock clock;
    RecordedHost host(Scenario("win9x=1,reboot_ms=1000"), clock);
    Aspi aspi(host);
    std::vector<uint8_t> buffer(0x20000);
    const HostHandle event = host.Aspi()->CreateCompletionEvent();
    SRB_ExecSCSICmd start = Aspi::Exec(1, StartStopCdb(2), kIn, buffer.data(), 512, event);
    host.Aspi()->CallSendASPI32Command(aspi.send, &start);
    const std::vector<uint8_t> image = MakeImage(k512K, 21);
    const auto outcomes =
        SendImageLikeForm(image, ImageChecksum(image), [&](const Cdb& cdb, bool, uint8_t* data, uint32_t length) {
            SRB_ExecSCSICmd srb = Aspi::Exec(1, cdb, kOut, data, length, event);
            ScsiOutcome outcome;
            if (host.Aspi()->CallSendASPI32Command(aspi.send, &srb) != SS_COMP)
                outcome.result = CommandResult::Check;
            return outcome;
        });
    ASSERT_EQ(outcomes.size(), 9u);
    EXPECT_EQ(Describe(outcomes.back()), "good");

    SRB_ExecSCSICmd poll = Aspi::Exec(1, InquiryCdb(), kIn, buffer.data(), 60, event);
    EXPECT_EQ(host.Aspi()->CallSendASPI32Command(aspi.send, &poll), SS_ERR);
    EXPECT_EQ(poll.SRB_TargStat, kScsiStatusGood);
    EXPECT_EQ(poll.SRB_HaStat, 0x11);
    EXPECT_EQ(poll.SenseArea[0], 0xEE) << "no sense without CHECK CONDITION";
    EXPECT_TRUE(host.Aspi()->WaitCompletionEvent(event, 0));

    clock.Advance(1000);
    SRB_ExecSCSICmd back = Aspi::Exec(1, InquiryCdb(), kIn, buffer.data(), 60, event);
    EXPECT_EQ(host.Aspi()->CallSendASPI32Command(aspi.send, &back), SS_COMP);
    EXPECT_EQ(back.SRB_HaStat, 0);
    host.Aspi()->CloseCompletionEvent(event);
}

TEST(EmulatedAspi, PendingRequestCompletesWhileWaited)
{
    ManualClock clock;
    RecordedHost host(Scenario("win9x=1,latency_ms=50"), clock);
    Aspi aspi(host);
    std::vector<uint8_t> buffer(0x20000, 0xAA);
    const HostHandle event = host.Aspi()->CreateCompletionEvent();
    SRB_ExecSCSICmd srb = Aspi::Exec(1, InquiryCdb(), kIn, buffer.data(), 60, event);
    srb.SRB_Status = 0x7F;

    EXPECT_EQ(host.Aspi()->CallSendASPI32Command(aspi.send, &srb), SS_PENDING);
    EXPECT_EQ(srb.SRB_Status, SS_PENDING);
    EXPECT_EQ(buffer[0], 0xAA) << "no data before completion";
    EXPECT_TRUE(host.Records().empty());
    EXPECT_EQ(Inspect(host).PendingAspiCount(), 1);
    EXPECT_FALSE(host.Aspi()->WaitCompletionEvent(event, 0));
    EXPECT_EQ(srb.SRB_Status, SS_PENDING);

    EXPECT_TRUE(host.Aspi()->WaitCompletionEvent(event, 30000));
    EXPECT_EQ(clock.NowMs(), 50u) << "the wait lasts until the request is due, not the whole time-out";
    EXPECT_EQ(srb.SRB_Status, SS_COMP);
    EXPECT_EQ(buffer[0], 0x05);
    EXPECT_EQ(Inspect(host).PendingAspiCount(), 0);
    const auto records = host.Records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].tMs, 50u);
    host.Aspi()->CloseCompletionEvent(event);
}

TEST(EmulatedAspi, TimedOutRequestIsWrittenLater)
{
    ManualClock clock;
    std::ostringstream transcript;
    CTranscriptLines transcriptLines(transcript);
    RecordedHost host(Scenario("win9x=1,latency_ms=31000"), clock, &transcriptLines);
    Aspi aspi(host);
    std::vector<uint8_t> buffer(0x20000, 0xAA);
    const HostHandle event = host.Aspi()->CreateCompletionEvent();
    SRB_ExecSCSICmd srb = Aspi::Exec(1, InquiryCdb(), kIn, buffer.data(), 60, event);

    ASSERT_EQ(host.Aspi()->CallSendASPI32Command(aspi.send, &srb), SS_PENDING);
    EXPECT_FALSE(host.Aspi()->WaitCompletionEvent(event, 30000));
    EXPECT_EQ(clock.NowMs(), 30000u);
    EXPECT_EQ(srb.SRB_Status, SS_PENDING) << "the caller gave up; the request still runs";
    host.QueryCounter();
    EXPECT_EQ(srb.SRB_Status, SS_PENDING) << "not due yet";
    EXPECT_EQ(transcript.str(), "");

    clock.Advance(999);
    host.QueryCounter();
    EXPECT_EQ(srb.SRB_Status, SS_PENDING);
    clock.Advance(1);
    // Any host call after the due time lets the layer finish the request.
    host.GetDriveKind("C:\\");
    EXPECT_EQ(srb.SRB_Status, SS_COMP);
    EXPECT_EQ(srb.SRB_TargStat, kScsiStatusGood);
    EXPECT_EQ(buffer[0], 0x05);
    EXPECT_TRUE(host.Aspi()->WaitCompletionEvent(event, 0));
    EXPECT_EQ(transcript.str().rfind("{\"t_ms\":31000,\"drive\":\"D\",\"cdb\":\"120000002400000000000000\"", 0), 0u)
        << transcript.str();
    host.Aspi()->CloseCompletionEvent(event);
}

TEST(EmulatedAspi, LateCompletionAfterTheEventWasClosedStillWritesTheBlock)
{
    ManualClock clock;
    RecordedHost host(Scenario("win9x=1,latency_ms=100"), clock);
    Aspi aspi(host);
    std::vector<uint8_t> buffer(0x20000, 0xAA);
    const HostHandle event = host.Aspi()->CreateCompletionEvent();
    SRB_ExecSCSICmd srb = Aspi::Exec(1, WriteBlockCdb(0, 0, 0), kOut, buffer.data(), kBlock, event);
    ASSERT_EQ(host.Aspi()->CallSendASPI32Command(aspi.send, &srb), SS_PENDING);
    EXPECT_FALSE(host.Aspi()->WaitCompletionEvent(event, 40));
    host.Aspi()->CloseCompletionEvent(event);
    EXPECT_EQ(Inspect(host).OpenEventCount(), 0);
    EXPECT_FALSE(host.Aspi()->WaitCompletionEvent(event, 0)) << "a closed event cannot be waited for";

    clock.Advance(60);
    host.QueryCounter();
    EXPECT_EQ(srb.SRB_Status, SS_ERR);
    EXPECT_EQ(srb.SRB_TargStat, kScsiStatusCheckCondition);
    EXPECT_EQ(srb.SenseArea[12], 0x2C);
    EXPECT_EQ(Inspect(host).PendingAspiCount(), 0);
    EXPECT_EQ(host.BadCloseCount(), 0);
}

TEST(EmulatedAspi, EventsAreResetBySendAndCounted)
{
    ManualClock clock;
    RecordedHost host(Scenario("win9x=1,latency_ms=10"), clock);
    Aspi aspi(host);
    std::vector<uint8_t> buffer(0x20000);
    const HostHandle first = host.Aspi()->CreateCompletionEvent();
    const HostHandle second = host.Aspi()->CreateCompletionEvent();
    EXPECT_NE(first, second);
    EXPECT_EQ(Inspect(host).OpenEventCount(), 2);

    SRB_ExecSCSICmd a = Aspi::Exec(1, InquiryCdb(), kIn, buffer.data(), 60, first);
    ASSERT_EQ(host.Aspi()->CallSendASPI32Command(aspi.send, &a), SS_PENDING);
    EXPECT_FALSE(host.Aspi()->WaitCompletionEvent(second, 5)) << "another request's event stays unsignalled";
    EXPECT_TRUE(host.Aspi()->WaitCompletionEvent(first, 1000));
    EXPECT_EQ(clock.NowMs(), 10u);

    // Reusing a signalled event for a new request starts it unsignalled.
    SRB_ExecSCSICmd b = Aspi::Exec(1, InquiryCdb(), kIn, buffer.data(), 60, first);
    ASSERT_EQ(host.Aspi()->CallSendASPI32Command(aspi.send, &b), SS_PENDING);
    EXPECT_FALSE(host.Aspi()->WaitCompletionEvent(first, 0));
    EXPECT_TRUE(host.Aspi()->WaitCompletionEvent(first, 1000));

    host.Aspi()->CloseCompletionEvent(first);
    host.Aspi()->CloseCompletionEvent(second);
    host.Aspi()->CloseCompletionEvent(second);
    EXPECT_EQ(Inspect(host).OpenEventCount(), 0);
    EXPECT_EQ(host.BadCloseCount(), 1);
}

}  // namespace
