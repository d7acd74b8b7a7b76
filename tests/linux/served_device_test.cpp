#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "base/clock.h"
#include "base/output_file.h"
#include "device/emulated/emulated_host.h"
#include "device/emulated/scenario.h"
#include "emulator/served_device.h"
#include "emulator/tcmu_ring.h"
#include "emulated_support.h"
#include "linux/fake_tcmu_ring.h"

// What tests read of a served device beyond its ring.
struct ServedDeviceProbe {
    CServedDevice& device;

    // A dropped command waits for its release.
    bool Holding() const { return !device.m_vecHeld.empty(); }
    EmulatedKt3916& Model() const { return device.m_model; }
};

namespace {

constexpr uint64_t kReleaseMs = 8000;

EmulatorScenario Scenario(const char* text)
{
    EmulatorScenario scenario;
    std::string error;
    EXPECT_TRUE(ParseScenario(text, scenario, error)) << error;
    return scenario;
}

// The status the ring holds for a command id, or -1 when no entry answers it.
int AnswerFor(CFakeTcmuRing& fake, const std::vector<uint32_t>& entries, uint16_t id)
{
    for (uint32_t entry : entries) {
        if (fake.Entry(entry)->hdr.cmd_id == id)
            return fake.Entry(entry)->rsp.scsi_status;
    }
    return -1;
}

// The system's CD-ROM driver and udev keep asking while a block is dropped:
// their commands are answered, the dropped block is not, until the kernel's
// timer has ended it, and then as aborted.
TEST(ServedDevice, DroppedBlockIsNeverAnsweredGoodWhileOtherCommandsArrive)
{
    CFakeTcmuRing fake;
    ManualClock clock;
    CServedDevice device(Scenario("drop_block=0"), clock, 0, 'D', nullptr, kReleaseMs);
    CTcmuRing ring(fake.Base(), CFakeTcmuRing::kSize);
    std::vector<uint32_t> entries;
    entries.push_back(fake.Queue(1, {0xFA, 0, 0, 1, 0, 0x20, 0, 0, 0, 0}, {512}));
    EXPECT_FALSE(device.ServeQueued(ring));
    EXPECT_TRUE(ServedDeviceProbe{device}.Holding());

    for (uint16_t id = 2; id <= 4; ++id) {
        clock.Advance(2000);
        entries.push_back(fake.Queue(id, std::vector<uint8_t>(6, 0), {}));  // TEST UNIT READY
        EXPECT_TRUE(device.ServeQueued(ring));
        EXPECT_EQ(AnswerFor(fake, entries, id), 0x02) << "medium not present";
        EXPECT_EQ(AnswerFor(fake, entries, 1), -1) << "the dropped block was answered at " << clock.NowMs() << " ms";
    }
    EXPECT_TRUE(ServedDeviceProbe{device}.Holding());
    clock.Advance(kReleaseMs - 6000);
    EXPECT_TRUE(device.ServeQueued(ring));
    EXPECT_FALSE(ServedDeviceProbe{device}.Holding());
    EXPECT_EQ(fake.Tail(), fake.Head());
    ASSERT_EQ(AnswerFor(fake, entries, 1), 0x02);
    for (uint32_t entry : entries) {
        if (fake.Entry(entry)->hdr.cmd_id == 1) {
            EXPECT_EQ(fake.Entry(entry)->rsp.sense_buffer[2], 0x0B) << "ABORTED COMMAND";
        }
    }
}

TEST(ServedDevice, AKernelTakingAnswersInOrderGetsTheDroppedBlockAbortedNotGood)
{
    CFakeTcmuRing fake(tcmu::kCapReadLength);
    ManualClock clock;
    CServedDevice device(Scenario("drop_block=0"), clock, 0, 'D', nullptr, kReleaseMs);
    CTcmuRing ring(fake.Base(), CFakeTcmuRing::kSize);
    const uint32_t write = fake.Queue(1, {0xFA, 0, 0, 1, 0, 0x20, 0, 0, 0, 0}, {512});
    EXPECT_FALSE(device.ServeQueued(ring));
    clock.Advance(2000);
    const uint32_t unitReady = fake.Queue(2, std::vector<uint8_t>(6, 0), {});
    EXPECT_TRUE(device.ServeQueued(ring));
    EXPECT_EQ(fake.Entry(write)->hdr.cmd_id, 1);
    EXPECT_EQ(fake.Entry(write)->rsp.scsi_status, 0x02);
    EXPECT_EQ(fake.Entry(write)->rsp.sense_buffer[2], 0x0B) << "ABORTED COMMAND";
    EXPECT_EQ(fake.Entry(unitReady)->hdr.cmd_id, 2);
    EXPECT_FALSE(ServedDeviceProbe{device}.Holding());
}

// The latency is each command's own: one that comes while another waits is
// taken at once and answered its latency after it came. A command the
// kernel's timer has ended before its latency passed is never run on the
// model, recorded or answered good.
TEST(ServedDevice, LatencyDelaysEachAnswerAndAnExpiredCommandIsNeverRun)
{
    CFakeTcmuRing fake;
    ManualClock clock;
    std::ostringstream lines;
    CTranscriptLines transcript(lines);
    constexpr uint64_t kTimeoutMs = 6500;
    CServedDevice device(Scenario("latency_ms=1500"), clock, 0, 'D', &transcript, kReleaseMs, kTimeoutMs);
    CTcmuRing ring(fake.Base(), CFakeTcmuRing::kSize);
    const std::vector<uint8_t> unitReady(6, 0);
    // An answer is written at the tail: the tail standing at an entry means
    // that command and all behind it are unanswered.
    std::vector<uint32_t> entries{fake.Queue(1, unitReady, {})};
    EXPECT_FALSE(device.ServeQueued(ring));
    EXPECT_EQ(clock.NowMs(), 0u) << "the server does not sleep through the latency";
    EXPECT_EQ(device.WaitMs(), 1000) << "woken at least once a second";
    clock.Advance(500);
    entries.push_back(fake.Queue(2, unitReady, {}));
    EXPECT_FALSE(device.ServeQueued(ring));
    EXPECT_EQ(fake.Tail(), entries[0]);

    clock.Advance(1000);
    EXPECT_EQ(device.WaitMs(), 0);
    EXPECT_TRUE(device.ServeQueued(ring));
    EXPECT_EQ(fake.Tail(), entries[1]) << "the second was answered before its own latency passed";
    EXPECT_EQ(AnswerFor(fake, {entries[0]}, 1), 0x02) << "medium not present";
    EXPECT_EQ(device.WaitMs(), 500);
    clock.Advance(500);
    EXPECT_TRUE(device.ServeQueued(ring));
    EXPECT_EQ(AnswerFor(fake, {entries[1]}, 2), 0x02);
    EXPECT_EQ(device.WaitMs(), -1);

    // The server was kept from running past the kernel's timer.
    const std::size_t linesBefore = lines.str().size();
    entries.push_back(fake.Queue(3, {0xFA, 0, 0, 0, 0, 0, 0, 0, 0, 0}, {512}));
    EXPECT_FALSE(device.ServeQueued(ring));
    clock.Advance(kTimeoutMs);
    EXPECT_FALSE(device.ServeQueued(ring));
    EXPECT_EQ(fake.Tail(), entries[2]);
    EXPECT_EQ(lines.str().size(), linesBefore) << "an expired command is not recorded";
    clock.Advance(kReleaseMs);
    EXPECT_TRUE(device.ServeQueued(ring));
    EXPECT_EQ(fake.Tail(), fake.Head());
    EXPECT_EQ(AnswerFor(fake, {entries[2]}, 3), 0x02) << "given back, never good";
    EXPECT_EQ(fake.Entry(entries[2])->rsp.sense_buffer[2], 0x0B) << "ABORTED COMMAND";
    EXPECT_EQ(lines.str().size(), linesBefore);
}

// An expired command is given back releaseMs after it came, not as soon as
// it expired: the kernel's timer must have ended it by then.
TEST(ServedDevice, AnExpiredCommandIsGivenBackOnlyReleaseMsAfterItCame)
{
    CFakeTcmuRing fake;
    ManualClock clock;
    constexpr uint64_t kTimeoutMs = 6500;
    CServedDevice device(Scenario("latency_ms=7000"), clock, 0, 'D', nullptr, kReleaseMs, kTimeoutMs);
    CTcmuRing ring(fake.Base(), CFakeTcmuRing::kSize);
    const uint32_t entry = fake.Queue(1, std::vector<uint8_t>(6, 0), {});
    EXPECT_FALSE(device.ServeQueued(ring));
    clock.Advance(7000);
    EXPECT_FALSE(device.ServeQueued(ring));
    EXPECT_TRUE(ServedDeviceProbe{device}.Holding());
    EXPECT_EQ(device.WaitMs(), 1000);
    clock.Advance(kReleaseMs - 7000 - 1);
    EXPECT_FALSE(device.ServeQueued(ring));
    EXPECT_EQ(device.WaitMs(), 1);
    clock.Advance(1);
    EXPECT_TRUE(device.ServeQueued(ring));
    EXPECT_EQ(AnswerFor(fake, {entry}, 1), 0x02) << "given back, never good";
    EXPECT_FALSE(ServedDeviceProbe{device}.Holding());
}

// Data-in the model fills only in part: the rest is zeros and a residual,
// never the bytes an earlier command left in the data area.
struct PartialDataInCase {
    const char* name;
    std::vector<uint8_t> cdb;
    uint32_t dataLength;
    uint32_t filled;
};

const PartialDataInCase kPartialDataIn[] = {
    {"START STOP UNIT with a 512-byte data-in", {0x1B, 0, 0, 0, 2, 0}, 512, 0},
    {"INQUIRY with a short allocation", {0x12, 0, 0, 0, 8, 0}, 96, 8},
    {"INQUIRY with more room than its data", {0x12, 0, 0, 0, 96, 0}, 96, 36},
};

TEST(ServedDevice, DataInTheModelDoesNotFillReadsAsZeros)
{
    for (const PartialDataInCase& c : kPartialDataIn) {
        SCOPED_TRACE(c.name);
        CFakeTcmuRing fake;
        ManualClock clock;
        CServedDevice device(Scenario(""), clock, 0, 'D', nullptr, kReleaseMs);
        CTcmuRing ring(fake.Base(), CFakeTcmuRing::kSize);
        const uint32_t data = fake.DataNext();
        const uint32_t entry = fake.Queue(1, c.cdb, {c.dataLength});
        EXPECT_TRUE(device.ServeQueued(ring));
        EXPECT_EQ(fake.Entry(entry)->rsp.scsi_status, 0x00);
        EXPECT_EQ(fake.Entry(entry)->rsp.read_len, c.filled);
        const std::vector<uint8_t> rest(fake.Data(data) + c.filled, fake.Data(data) + c.dataLength);
        EXPECT_EQ(rest, std::vector<uint8_t>(c.dataLength - c.filled, 0));
    }
}

// Behind the kernel's target a restarting unit stays attached: the ring
// answers NOT READY, becoming ready, never leaves a command unanswered.
TEST(ServedDevice, ARestartingUnitAnswersNotReadyBecomingReady)
{
    using namespace emu_test;
    CFakeTcmuRing fake;
    ManualClock clock;
    CServedDevice device(Scenario("reboot_ms=1000"), clock, 0, 'D', nullptr, kReleaseMs);
    CTcmuRing ring(fake.Base(), CFakeTcmuRing::kSize);
    std::vector<uint8_t> buffer(512);
    ServedDeviceProbe{device}.Model().Execute(StartStopCdb(2).bytes, true, buffer.data(), 0);
    const std::vector<uint8_t> image = MakeImage(k512K, 2);
    ASSERT_EQ(
        Describe(SendImageLikeForm(image, ImageChecksum(image), ModelSender(ServedDeviceProbe{device}.Model())).back()),
        "good");

    const uint32_t entry = fake.Queue(1, std::vector<uint8_t>(6, 0), {});
    EXPECT_TRUE(device.ServeQueued(ring));
    EXPECT_FALSE(ServedDeviceProbe{device}.Holding());
    EXPECT_EQ(fake.Entry(entry)->rsp.scsi_status, 0x02);
    const auto* sense = reinterpret_cast<const uint8_t*>(fake.Entry(entry)->rsp.sense_buffer);
    EXPECT_EQ(std::vector<uint8_t>({sense[0], sense[2], sense[12], sense[13]}),
              std::vector<uint8_t>({0x70, 0x02, 0x04, 0x01}));
}

// The same commands through the command ring and through the in-process
// host: the same status, the same sense bytes and the same transcript lines.
TEST(ServedDevice, BothFacesAnswerAndRecordTheSameCommandsAlike)
{
    using namespace emu_test;
    struct Step {
        const char* name;
        Cdb cdb;
        bool dataIn;
        uint32_t length;
    };
    Cdb otherPage;
    const uint8_t modeSense[] = {0x5A, 0, 0x01, 0, 0, 0, 0, 0, 0x40};
    std::copy(std::begin(modeSense), std::end(modeSense), otherPage.bytes);
    Cdb requestSense;
    requestSense.bytes[0] = 0x03;
    requestSense.bytes[4] = 18;
    const Step steps[] = {
        {"INQUIRY", InquiryCdb(), true, 36},
        {"TEST UNIT READY", Cdb{}, true, 0},
        {"MODE SENSE of another page", otherPage, true, 64},
        {"START STOP UNIT 2", StartStopCdb(2), true, 0},
        {"first block", WriteBlockCdb(0, 0, 0x00), false, kBlock},
        {"final block, image too short", WriteBlockCdb(1, 0x1234, 0x20), false, kBlock},
        {"REQUEST SENSE", requestSense, true, 18},
    };

    ManualClock servedClock;
    std::ostringstream servedLines;
    CTranscriptLines servedTranscript(servedLines);
    CFakeTcmuRing fake;
    CServedDevice served(Scenario(""), servedClock, 0, 'D', &servedTranscript, kReleaseMs);
    CTcmuRing ring(fake.Base(), CFakeTcmuRing::kSize);

    ManualClock hostClock;
    std::ostringstream hostLines;
    CTranscriptLines hostTranscript(hostLines);
    EmulatedHost host(Scenario(""), hostClock, &hostTranscript);
    const HostHandle handle = host.OpenDevice("\\\\.\\D:");

    std::vector<uint8_t> block(kBlock);
    for (std::size_t i = 0; i < block.size(); ++i)
        block[i] = static_cast<uint8_t>(i * 7);
    uint16_t id = 1;
    for (const Step& step : steps) {
        SCOPED_TRACE(step.name);
        servedClock.Advance(3);
        hostClock.Advance(3);
        const uint32_t data = fake.DataNext();
        if (!step.dataIn)
            std::copy(block.begin(), block.end(), fake.Data(data));
        const std::vector<uint8_t> cdb(step.cdb.bytes, step.cdb.bytes + 12);
        const uint32_t entry =
            fake.Queue(id++, cdb, step.length == 0 ? std::vector<uint32_t>{} : std::vector<uint32_t>{step.length});
        ASSERT_TRUE(served.ServeQueued(ring));

        std::vector<uint8_t> buffer = block;
        PassThroughRequest request = Request(step.cdb, step.dataIn, buffer.data(), step.length);
        ASSERT_TRUE(host.SendPassThrough(handle, request));

        const tcmu::CmdEntry* answer = fake.Entry(entry);
        EXPECT_EQ(answer->rsp.scsi_status, request.sptd.ScsiStatus);
        EXPECT_EQ(std::vector<uint8_t>(answer->rsp.sense_buffer, answer->rsp.sense_buffer + kFixedSenseLength),
                  std::vector<uint8_t>(request.senseArea, request.senseArea + kFixedSenseLength));
    }
    host.CloseDevice(handle);

    EXPECT_EQ(servedLines.str(), hostLines.str());
    EXPECT_NE(servedLines.str().find("\"sense\":\"052600\""), std::string::npos) << servedLines.str();
}

// The server's transcript file carries each record's line exactly as the
// in-process bench writes it, after what the file held (a line left cut short
// ended first); a file that takes nothing fails at its close, which the
// server reports.
TEST(ServedTranscript, AppendsEachLineWholeAndALostLineFailsTheClose)
{
    TranscriptRecord inquiry;
    inquiry.cdb[0] = 0x12;
    inquiry.length = 36;
    inquiry.result = "good";
    TranscriptRecord finalBlock;
    finalBlock.tMs = 5;
    finalBlock.cdb[0] = 0xFA;
    finalBlock.cdb[3] = 1;
    finalBlock.dataIn = false;
    finalBlock.length = emu_test::kBlock;
    finalBlock.result = "check";
    finalBlock.sense[0] = 0x0E;
    std::ostringstream expected;
    CTranscriptLines lines(expected);

    const std::string path =
        (std::filesystem::temp_directory_path() / ("kt3916-served-" + std::to_string(::getpid()) + ".jsonl")).string();
    std::ofstream(path) << "{\"cut";
    COutputFile file;
    ASSERT_TRUE(file.Open(path));
    CServedTranscript transcript(file);
    for (const TranscriptRecord& record : {inquiry, finalBlock, inquiry}) {
        transcript.Write(record);
        lines.Write(record);
    }
    EXPECT_TRUE(file.Close());
    std::ifstream written(path);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(written), {}), "{\"cut\n" + expected.str());
    std::filesystem::remove(path);

    COutputFile full;
    ASSERT_TRUE(full.Open("/dev/full"));
    CServedTranscript lost(full);
    lost.Write(inquiry);
    EXPECT_FALSE(full.Close());
}

}  // namespace
