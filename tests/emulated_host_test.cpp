#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "base/sha256.h"
#include "device/emulated/emulated_host.h"
#include "emulated_support.h"
#include "tests/emulated_host_probe.h"

using namespace emu_test;

namespace {

EmulatorScenario Scenario(const char* text)
{
    EmulatorScenario scenario;
    std::string error;
    EXPECT_TRUE(ParseScenario(text, scenario, error)) << error;
    return scenario;
}

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

// Sends through the pass-through path and maps the call's result back onto
// an outcome, so the form-style sender can drive the host.
SendFn PassThroughSender(RecordedHost& host, HostHandle handle)
{
    return [&host, handle](const Cdb& cdb, bool dataIn, uint8_t* buffer, uint32_t length) {
        PassThroughRequest request = Request(cdb, dataIn, buffer, length);
        ScsiOutcome outcome;
        if (!host.SendPassThrough(handle, request)) {
            outcome.result = CommandResult::Lost;
        } else if (request.sptd.ScsiStatus == kScsiStatusCheckCondition) {
            outcome.result = CommandResult::Check;
            outcome.senseKey = request.senseArea[2];
            outcome.asc = request.senseArea[12];
            outcome.ascq = request.senseArea[13];
        }
        return outcome;
    };
}

TEST(EmulatedHost, PlatformAndCounter)
{
    ManualClock clock;
    clock.Advance(500);
    for (const char* text : {"", "win9x=0", "win9x=1"}) {
        RecordedHost host(Scenario(text), clock);
        uint32_t platform = 0;
        ASSERT_TRUE(host.GetVersionPlatformId(platform));
        EXPECT_EQ(platform, std::string(text) == "win9x=1" ? 1u : 2u) << text;
        EXPECT_EQ(host.QueryCounterFrequency(), 1000000);
    }
    RecordedHost host(Scenario(""), clock);
    const int64_t before = host.QueryCounter();
    clock.Advance(1500);
    EXPECT_EQ(host.QueryCounter() - before, 1500000);
}

TEST(EmulatedHost, LogicalDriveRootsFollowTheWin32Contract)
{
    ManualClock clock;
    struct Case {
        const char* scenario;
        std::string roots;
    };
    const Case cases[] = {
        {"devices=0", std::string("C:\\\0\0", 5)},
        {"devices=1", std::string("C:\\\0D:\\\0\0", 9)},
        {"devices=2", std::string("C:\\\0D:\\\0E:\\\0\0", 13)},
    };
    for (const Case& c : cases) {
        RecordedHost host(Scenario(c.scenario), clock);
        const uint32_t needed = static_cast<uint32_t>(c.roots.size());
        EXPECT_EQ(host.GetLogicalDriveRoots(0, nullptr), needed) << c.scenario;

        std::vector<char> small(needed - 1, 'x');
        EXPECT_EQ(host.GetLogicalDriveRoots(needed - 1, small.data()), needed) << c.scenario;
        EXPECT_EQ(std::string(small.begin(), small.end()), std::string(needed - 1, 'x')) << "nothing written";

        std::vector<char> exact(needed + 3, 'x');
        EXPECT_EQ(host.GetLogicalDriveRoots(needed, exact.data()), needed - 1) << c.scenario;
        EXPECT_EQ(std::string(exact.begin(), exact.begin() + needed), c.roots);
        EXPECT_EQ(exact[needed], 'x') << "written past the list";
    }
    RecordedHost full(Scenario("devices=23"), clock);
    std::vector<char> roots(200);
    ASSERT_EQ(full.GetLogicalDriveRoots(200, roots.data()), 96u);
    EXPECT_EQ(std::string(roots.data() + 92, 3), "Z:\\");
}

TEST(EmulatedHost, DriveKinds)
{
    ManualClock clock;
    RecordedHost host(Scenario("devices=2"), clock);
    struct Case {
        const char* root;
        uint32_t kind;
    };
    const Case cases[] = {
        {"C:\\", 3}, {"C:", 3},   {"c:", 3},   {"D:\\", 5}, {"D:", 5},    {"d:", 5},
        {"e:\\", 5}, {"F:\\", 1}, {"A:\\", 1}, {"Z:", 1},   {"D", 1},     {"D:\\x", 1},
        {"D:/", 1},  {"", 1},     {"1:\\", 1}, {":\\", 1},  {nullptr, 1},
    };
    for (const Case& c : cases)
        EXPECT_EQ(host.GetDriveKind(c.root), c.kind) << (c.root ? c.root : "(null)");
}

TEST(EmulatedHost, OpenAndCloseDeviceHandles)
{
    ManualClock clock;
    RecordedHost host(Scenario("devices=2"), clock);
    for (const char* path : {"\\\\.\\C:", "\\\\.\\F:", "\\\\.\\D:\\", "D:", "\\\\?\\D:", "\\\\.\\DD", "", "\\\\.\\D"})
        EXPECT_EQ(host.OpenDevice(path), kInvalidHandle) << path;
    EXPECT_EQ(host.OpenDevice(nullptr), kInvalidHandle);
    EXPECT_EQ(Inspect(host).OpenHandleCount(), 0);

    const HostHandle d = host.OpenDevice("\\\\.\\D:");
    const HostHandle lowerD = host.OpenDevice("\\\\.\\d:");
    const HostHandle e = host.OpenDevice("\\\\.\\e:");
    for (HostHandle handle : {d, lowerD, e}) {
        EXPECT_NE(handle, kInvalidHandle);
        EXPECT_NE(handle, 0u);
    }
    EXPECT_NE(d, lowerD);
    EXPECT_EQ(Inspect(host).OpenHandleCount(), 3);

    host.CloseDevice(lowerD);
    EXPECT_EQ(Inspect(host).OpenHandleCount(), 2);
    host.CloseDevice(lowerD);
    host.CloseDevice(kInvalidHandle);
    EXPECT_EQ(host.BadCloseCount(), 2);
    EXPECT_EQ(Inspect(host).OpenHandleCount(), 2);

    // A closed handle reaches no device.
    std::vector<uint8_t> buffer(60);
    PassThroughRequest request = Request(InquiryCdb(), true, buffer.data(), 60);
    EXPECT_FALSE(host.SendPassThrough(lowerD, request));
    EXPECT_TRUE(host.SendPassThrough(e, request));
    host.CloseDevice(d);
    host.CloseDevice(e);
    EXPECT_EQ(Inspect(host).OpenHandleCount(), 0);
}

// The letters of the drive roots the host lists now, e.g. "CDE".
std::string DriveLetters(RecordedHost& host)
{
    char buffer[64] = {};
    const uint32_t length = host.GetLogicalDriveRoots(sizeof buffer, buffer);
    std::string letters;
    for (uint32_t i = 0; i < length; i += 4)
        letters += buffer[i];
    return letters;
}

// Drives come and go on their timeline; a handle dies with its attachment,
// and each attachment is a new unit.
TEST(EmulatedHost, PlugTimelineAttachesAndDetachesDrives)
{
    ManualClock clock;
    RecordedHost host(Scenario("devices=2,plug=E+5000/D-8000/E-9000/E+12000"), clock);
    auto roots = [&host]() { return DriveLetters(host); };
    std::vector<uint8_t> buffer(0x20000);
    auto inquiry = [&](HostHandle handle) {
        PassThroughRequest request = Request(InquiryCdb(), true, buffer.data(), 36);
        return host.SendPassThrough(handle, request) && request.sptd.ScsiStatus == kScsiStatusGood;
    };

    EXPECT_EQ(roots(), "CD");
    EXPECT_EQ(host.DriveSerial('D') + "," + host.DriveSerial('E'), "EMU-D1,");
    EXPECT_EQ(host.GetDriveKind("E:\\"), 1u);
    EXPECT_EQ(host.OpenDevice("\\\\.\\E:"), kInvalidHandle);

    clock.Advance(5000);
    EXPECT_EQ(roots(), "CDE");
    EXPECT_EQ(host.DriveSerial('e'), "EMU-E1");
    const HostHandle d = host.OpenDevice("\\\\.\\D:");
    const HostHandle e = host.OpenDevice("\\\\.\\E:");
    ASSERT_NE(e, kInvalidHandle);
    EXPECT_TRUE(inquiry(e));
    // The unit on E: takes an image and restarts until 17500.
    PassThroughRequest eject = Request(StartStopCdb(2), false, nullptr, 0);
    ASSERT_TRUE(host.SendPassThrough(e, eject));
    const std::vector<uint8_t> image = MakeImage(k512K, 7);
    const auto outcomes =
        SendImageLikeForm(image, ImageChecksum(image), [&](const Cdb& cdb, bool in, uint8_t* data, uint32_t length) {
            PassThroughRequest block = Request(cdb, in, data, length);
            ScsiOutcome outcome;
            outcome.result = host.SendPassThrough(e, block) && block.sptd.ScsiStatus == kScsiStatusGood
                                 ? CommandResult::Good
                                 : CommandResult::Lost;
            return outcome;
        });
    ASSERT_EQ(outcomes.size(), 9u);
    ASSERT_EQ(Describe(outcomes.back()), "good");
    EXPECT_FALSE(inquiry(e)) << "restarting";

    clock.Advance(3000);  // 8000: D: leaves
    EXPECT_EQ(roots(), "CE");
    EXPECT_EQ(host.DriveSerial('D'), "");
    EXPECT_FALSE(inquiry(d)) << "a handle opened before the detach reaches no device";
    char why[96];
    host.DescribeLastFailure(why, sizeof why);
    EXPECT_STREQ(why, "emulated host: the device was removed");

    clock.Advance(1000);  // 9000: E: leaves before its restart ends
    EXPECT_EQ(roots(), "C");
    EXPECT_FALSE(inquiry(e));
    clock.Advance(3000);  // 12000: another unit on E:
    EXPECT_EQ(roots(), "CE");
    EXPECT_EQ(host.DriveSerial('E') + "," + host.DriveSerial('F'), "EMU-E2,");
    EXPECT_FALSE(inquiry(e)) << "the old handle belongs to the unit that left";
    const HostHandle e2 = host.OpenDevice("\\\\.\\E:");
    EXPECT_TRUE(inquiry(e2)) << "a fresh unit answers at once, with no restart pending";
    EXPECT_EQ(std::string(buffer.begin() + 32, buffer.begin() + 36), "1.00");
    for (HostHandle handle : {d, e, e2})
        host.CloseDevice(handle);
    EXPECT_EQ(host.BadCloseCount(), 0);
}

// A unit that leaves after its update leaves however long its flash took,
// and only once a flasher could see the new revision; the drive's next unit
// follows it.
TEST(EmulatedHost, PlugStepsAfterAnUpdateWaitForTheNewRevisionToBeSeen)
{
    ManualClock clock;
    RecordedHost host(Scenario("devices=2,reboot_ms=1000,plug=D-updated+500/D+updated+1500/E-2000"), clock);
    auto roots = [&host]() { return DriveLetters(host); };
    std::vector<uint8_t> buffer(0x20000);
    auto revision = [&](HostHandle handle) {
        PassThroughRequest request = Request(InquiryCdb(), true, buffer.data(), 36);
        const bool answered = host.SendPassThrough(handle, request) && request.sptd.ScsiStatus == kScsiStatusGood;
        return answered ? std::string(buffer.begin() + 32, buffer.begin() + 36) : std::string("none");
    };
    const HostHandle d = host.OpenDevice("\\\\.\\D:");
    EXPECT_EQ(revision(d), "1.00");
    clock.Advance(60000);
    EXPECT_EQ(roots(), "CD") << "an answer with the old revision is no update; E:'s step holds nothing of D:";
    PassThroughRequest eject = Request(StartStopCdb(2), false, nullptr, 0);
    ASSERT_TRUE(host.SendPassThrough(d, eject));
    const std::vector<uint8_t> image = MakeImage(k512K, 3);
    SendImageLikeForm(image, ImageChecksum(image), [&](const Cdb& cdb, bool in, uint8_t* data, uint32_t length) {
        PassThroughRequest block = Request(cdb, in, data, length);
        host.SendPassThrough(d, block);
        return ScsiOutcome{};
    });
    clock.Advance(5000);
    EXPECT_EQ(roots(), "CD") << "restarted, but nobody has seen the new revision yet";
    EXPECT_EQ(revision(d), "1.10");
    clock.Advance(499);
    EXPECT_EQ(roots(), "CD");
    clock.Advance(1);
    EXPECT_EQ(roots(), "C");
    clock.Advance(999);
    EXPECT_EQ(roots(), "C") << "the next unit waits for its own time after the update";
    clock.Advance(1);
    EXPECT_EQ(roots(), "CD");
    const HostHandle next = host.OpenDevice("\\\\.\\D:");
    EXPECT_EQ(revision(next), "1.00") << "a new unit";
    for (HostHandle handle : {d, next})
        host.CloseDevice(handle);
}

TEST(EmulatedHost, AnExclusiveLockKeepsOtherHandlesOffTheDriveUntilReleasedOrClosed)
{
    ManualClock clock;
    RecordedHost host(Scenario(""), clock);
    std::vector<uint8_t> buffer(60);
    PassThroughRequest request = Request(InquiryCdb(), true, buffer.data(), 60);
    const HostHandle shared = host.OpenDevice("\\\\.\\D:");
    for (bool bRelease : {true, false}) {
        ExclusiveAccess access = ExclusiveAccess::NotOffered;
        const HostHandle owner = host.OpenDeviceExclusive("\\\\.\\d:", access);
        ASSERT_EQ(access, ExclusiveAccess::Held);
        EXPECT_EQ(host.OpenDeviceExclusive("\\\\.\\D:", access), kInvalidHandle);
        EXPECT_EQ(access, ExclusiveAccess::Busy);
        const size_t recorded = host.Records().size();
        EXPECT_FALSE(host.SendPassThrough(shared, request)) << "another handle's command never reaches the device";
        EXPECT_EQ(host.Records().size(), recorded);
        EXPECT_TRUE(host.SendPassThrough(owner, request));
        if (bRelease)
            host.ReleaseExclusiveAccess(owner);
        else
            host.CloseDevice(owner);
        EXPECT_TRUE(host.SendPassThrough(shared, request));
        if (bRelease)
            host.CloseDevice(owner);
    }
}

TEST(EmulatedHost, PassThroughGoodAndCheck)
{
    ManualClock clock;
    RecordedHost host(Scenario("vendor=VEND,product=PROD"), clock);
    const HostHandle handle = host.OpenDevice("\\\\.\\D:");
    std::vector<uint8_t> buffer(0x20000, 0xAA);

    PassThroughRequest inquiry = Request(InquiryCdb(), true, buffer.data(), 60);
    inquiry.sptd.ScsiStatus = 0x7E;
    ASSERT_TRUE(host.SendPassThrough(handle, inquiry));
    EXPECT_EQ(inquiry.sptd.ScsiStatus, kScsiStatusGood);
    EXPECT_EQ(std::string(buffer.begin() + 8, buffer.begin() + 24), "VEND    PROD    ");
    EXPECT_EQ(buffer[36], 0xAA);

    PassThroughRequest block = Request(WriteBlockCdb(0, 0, 0), false, buffer.data(), kBlock);
    ASSERT_TRUE(host.SendPassThrough(handle, block));
    EXPECT_EQ(block.sptd.ScsiStatus, kScsiStatusCheckCondition);
    const uint8_t expected[18] = {0x70, 0, 0x05, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x2C, 0x00, 0, 0, 0, 0};
    EXPECT_EQ(std::memcmp(block.senseArea, expected, sizeof(expected)), 0);

    // The sense goes where the request says, and no further than it allows.
    PassThroughRequest shortSense = Request(WriteBlockCdb(0, 0, 0), false, buffer.data(), kBlock);
    std::memset(shortSense.senseArea, 0xEE, sizeof(shortSense.senseArea));
    shortSense.sptd.SenseInfoLength = 8;
    ASSERT_TRUE(host.SendPassThrough(handle, shortSense));
    EXPECT_EQ(shortSense.senseArea[0], 0x70);
    EXPECT_EQ(shortSense.senseArea[2], 0x05);
    EXPECT_EQ(shortSense.senseArea[8], 0xEE);
    EXPECT_EQ(shortSense.senseArea[12], 0xEE);

    PassThroughRequest noSense = Request(WriteBlockCdb(0, 0, 0), false, buffer.data(), kBlock);
    std::memset(noSense.senseArea, 0xEE, sizeof(noSense.senseArea));
    noSense.sptd.SenseInfoLength = 0;
    ASSERT_TRUE(host.SendPassThrough(handle, noSense));
    EXPECT_EQ(noSense.sptd.ScsiStatus, kScsiStatusCheckCondition);
    EXPECT_EQ(noSense.senseArea[0], 0xEE);
    host.CloseDevice(handle);
}

TEST(EmulatedHost, MalformedRequestsFailTheCallAndReachNoDevice)
{
    ManualClock clock;
    RecordedHost host(Scenario(""), clock);
    const HostHandle handle = host.OpenDevice("\\\\.\\D:");
    std::vector<uint8_t> buffer(0x20000);
    struct Case {
        const char* what;
        void (*spoil)(PassThroughRequest&);
    };
    const Case cases[] = {
        {"Length 0", [](PassThroughRequest& r) { r.sptd.Length = 0; }},
        {"Length 80", [](PassThroughRequest& r) { r.sptd.Length = 80; }},
        {"CdbLength 6", [](PassThroughRequest& r) { r.sptd.CdbLength = 6; }},
        {"CdbLength 16", [](PassThroughRequest& r) { r.sptd.CdbLength = 16; }},
        {"DataIn 2", [](PassThroughRequest& r) { r.sptd.DataIn = 2; }},
        {"131073 bytes", [](PassThroughRequest& r) { r.sptd.DataTransferLength = 0x20001; }},
        {"no buffer", [](PassThroughRequest& r) { r.sptd.DataBuffer = nullptr; }},
        {"sense inside the record", [](PassThroughRequest& r) { r.sptd.SenseInfoOffset = 0; }},
        {"sense past the request", [](PassThroughRequest& r) { r.sptd.SenseInfoLength = kSenseAreaLength + 1; }},
        {"sense offset past the request",
         [](PassThroughRequest& r) { r.sptd.SenseInfoOffset = sizeof(PassThroughRequest); }},
    };
    for (const Case& c : cases) {
        PassThroughRequest request = Request(InquiryCdb(), true, buffer.data(), 60);
        c.spoil(request);
        EXPECT_FALSE(host.SendPassThrough(handle, request)) << c.what;
    }
    EXPECT_TRUE(host.Records().empty());

    PassThroughRequest largest = Request(InquiryCdb(), true, buffer.data(), 0x20000);
    EXPECT_TRUE(host.SendPassThrough(handle, largest)) << "the whole data buffer is a valid transfer";
    PassThroughRequest none = Request(StartStopCdb(0), true, nullptr, 0);
    EXPECT_TRUE(host.SendPassThrough(handle, none)) << "no data needs no buffer";
    host.CloseDevice(handle);
}

TEST(EmulatedHost, WholeDownloadOverPassThroughWithRebootAndLatency)
{
    ManualClock clock;
    RecordedHost host(Scenario("latency_ms=40,reboot_ms=12500,new_revision=2.00"), clock);
    const HostHandle handle = host.OpenDevice("\\\\.\\D:");
    const SendFn send = PassThroughSender(host, handle);
    std::vector<uint8_t> buffer(0x20000, 0);

    EXPECT_EQ(Describe(send(StartStopCdb(2), true, buffer.data(), 512)), "good");
    EXPECT_EQ(clock.NowMs(), 40u) << "each command waits latency_ms";
    const std::vector<uint8_t> image = MakeImage(k512K, 11);
    const auto outcomes = SendImageLikeForm(image, ImageChecksum(image), send);
    ASSERT_EQ(outcomes.size(), 9u);
    EXPECT_EQ(Describe(outcomes.back()), "good");
    EXPECT_EQ(clock.NowMs(), 400u);
    EXPECT_TRUE(Inspect(host).Device(0).LastImage() == image);

    // The reboot counts from the final block; a poll's own latency counts too.
    clock.Advance(12500 - 80);
    EXPECT_EQ(Describe(send(InquiryCdb(), true, buffer.data(), 60)), "fail");
    EXPECT_EQ(Describe(send(InquiryCdb(), true, buffer.data(), 60)), "good");
    EXPECT_EQ(std::string(buffer.begin() + 32, buffer.begin() + 36), "2.00");

    const auto records = host.Records();
    ASSERT_EQ(records.size(), 12u);
    EXPECT_EQ(records[10].result, "fail");
    EXPECT_EQ(records[10].tMs, 12860u);
    EXPECT_EQ(records[11].tMs, 12900u);
    host.CloseDevice(handle);
}

TEST(EmulatedHost, FailAndDropBlockOverPassThrough)
{
    ManualClock clock;
    const std::vector<uint8_t> image = MakeImage(k1M, 12);
    struct Case {
        const char* scenario;
        std::size_t blocks;
        const char* last;
    };
    const Case cases[] = {
        {"fail_block=4", 5, "check 05/24/00"},
        {"fail_block=17,sense=3/0C/80", 18, "check 03/0C/80"},
        {"drop_block=2", 3, "fail"},
    };
    for (const Case& c : cases) {
        RecordedHost host(Scenario(c.scenario), clock);
        const HostHandle handle = host.OpenDevice("\\\\.\\D:");
        std::vector<uint8_t> buffer(512);
        PassThroughRequest start = Request(StartStopCdb(2), true, buffer.data(), 512);
        ASSERT_TRUE(host.SendPassThrough(handle, start));
        const auto outcomes = SendImageLikeForm(image, ImageChecksum(image), PassThroughSender(host, handle));
        ASSERT_EQ(outcomes.size(), c.blocks) << c.scenario;
        EXPECT_EQ(Describe(outcomes.back()), c.last) << c.scenario;
        host.CloseDevice(handle);
    }
}

TEST(EmulatedHost, TranscriptLinesHaveTheExactFormat)
{
    ManualClock clock;
    clock.Advance(777);  // the transcript counts from the host's start
    std::ostringstream transcript;
    CTranscriptLines transcriptLines(transcript);
    RecordedHost host(Scenario("devices=2,vendor=V,product=P,revision=R"), clock, &transcriptLines);
    const HostHandle e = host.OpenDevice("\\\\.\\E:");
    std::vector<uint8_t> buffer(0x20000);
    for (std::size_t i = 0; i < kBlock; ++i)
        buffer[i] = static_cast<uint8_t>(i);

    clock.Advance(1234);
    PassThroughRequest start = Request(StartStopCdb(2), true, buffer.data() + kBlock, 512);
    ASSERT_TRUE(host.SendPassThrough(e, start));
    PassThroughRequest block = Request(WriteBlockCdb(0, 0x1234, 0x00), false, buffer.data(), kBlock);
    ASSERT_TRUE(host.SendPassThrough(e, block));
    clock.Advance(1);
    PassThroughRequest bad = Request(WriteBlockCdb(1, 0xBEEF, 0x20), false, buffer.data(), kBlock);
    ASSERT_TRUE(host.SendPassThrough(e, bad));

    const std::vector<std::string> lines = Lines(transcript.str());
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0],
              "{\"t_ms\":1234,\"drive\":\"E\",\"cdb\":\"1b0000000200000000000000\",\"dir\":\"in\",\"len\":512,"
              "\"result\":\"good\",\"sense\":\"000000\"}");
    EXPECT_EQ(lines[1],
              "{\"t_ms\":1234,\"drive\":\"E\",\"cdb\":\"fa0000000000123400000000\",\"dir\":\"out\",\"len\":61440,"
              "\"result\":\"good\",\"sense\":\"000000\","
              "\"data_sha256\":\"bbea17f92768ba8c2f4e1ff38b978c89e20392ef5e41754a0ea79e022d5a1378\"}");
    EXPECT_EQ(lines[2], "{\"t_ms\":1235,\"drive\":\"E\",\"cdb\":\"fa00000100"
                        "20beef00000000\",\"dir\":\"out\",\"len\":61440,"
                        "\"result\":\"check\",\"sense\":\"052600\","
                        "\"data_sha256\":\"bbea17f92768ba8c2f4e1ff38b978c89e20392ef5e41754a0ea79e022d5a1378\"}");
    EXPECT_EQ(transcript.str().back(), '\n');

    const auto records = host.Records();
    ASSERT_EQ(records.size(), 3u);
    for (std::size_t i = 0; i < records.size(); ++i)
        EXPECT_EQ(TranscriptLineText(records[i]), lines[i]);
    host.CloseDevice(e);
}

TEST(EmulatedHost, TranscriptRecordsFailedCalls)
{
    ManualClock clock;
    std::ostringstream transcript;
    CTranscriptLines transcriptLines(transcript);
    EmulatedHost host(Scenario("drop_block=0"), clock, &transcriptLines);
    const HostHandle d = host.OpenDevice("\\\\.\\d:");
    std::vector<uint8_t> buffer(kBlock, 0);
    PassThroughRequest block = Request(WriteBlockCdb(0, 0, 0x00), false, buffer.data(), kBlock);
    EXPECT_FALSE(host.SendPassThrough(d, block));
    const std::string digest = Sha256Hex(buffer.data(), buffer.size());
    EXPECT_EQ(transcript.str(), "{\"t_ms\":0,\"drive\":\"D\",\"cdb\":\"fa0000000000000000000000\",\"dir\":\"out\","
                                "\"len\":61440,\"result\":\"fail\",\"sense\":\"000000\",\"data_sha256\":\"" +
                                    digest + "\"}\n");
    host.CloseDevice(d);
}

// The command-line tool drives several devices from several threads over one
// host: every line must stay whole and every device keep its own order.
TEST(EmulatedHost, ConcurrentDevicesKeepLinesWhole)
{
    ManualClock clock;
    std::ostringstream transcript;
    CTranscriptLines transcriptLines(transcript);
    EmulatedHost host(Scenario("devices=3,latency_ms=2"), clock, &transcriptLines);
    constexpr int kCommands = 200;
    std::vector<std::thread> threads;
    for (char letter : {'D', 'E', 'F'}) {
        threads.emplace_back([&host, letter] {
            const std::string path = std::string("\\\\.\\") + letter + ":";
            const HostHandle handle = host.OpenDevice(path.c_str());
            std::vector<uint8_t> buffer(kBlock, static_cast<uint8_t>(letter));
            for (int i = 0; i < kCommands; ++i) {
                PassThroughRequest request =
                    i % 2 == 0 ? Request(InquiryCdb(static_cast<uint8_t>(i % 37)), true, buffer.data(), 60)
                               : Request(WriteBlockCdb(0, 0, 0x00), false, buffer.data(), kBlock);
                host.SendPassThrough(handle, request);
            }
            host.CloseDevice(handle);
        });
    }
    for (std::thread& thread : threads)
        thread.join();

    const std::vector<std::string> written = Lines(transcript.str());
    ASSERT_EQ(written.size(), 3u * kCommands);
    int perDrive[3] = {};
    for (std::size_t i = 0; i < written.size(); ++i) {
        const std::string& line = written[i];
        const std::size_t drive = line.find("\"drive\":\"");
        const std::size_t cdb = line.find("\"cdb\":\"");
        ASSERT_TRUE(drive != std::string::npos && cdb != std::string::npos) << line;
        ASSERT_EQ(line.front(), '{') << line;
        ASSERT_EQ(line.back(), '}') << line;
        const int index = line[drive + 9] - 'D';
        ASSERT_TRUE(index >= 0 && index < 3) << line;
        const int nth = perDrive[index]++;
        EXPECT_EQ(line.substr(cdb + 7, 2), nth % 2 == 0 ? "12" : "fa") << "drive order broken at line " << i;
    }
    EXPECT_EQ(clock.NowMs(), 3u * kCommands * 2);
    EXPECT_EQ(Inspect(host).OpenHandleCount(), 0);
}

}  // namespace
