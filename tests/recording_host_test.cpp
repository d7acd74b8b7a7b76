#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "device/emulated/emulated_host.h"
#include "device/emulated/scenario.h"
#include "device/transcript.h"
#include "device/flash_device.h"
#include "device/recording_host.h"
#include "tests/cli_test_support.h"
#include "tests/fake_host.h"
#include "tests/emulated_host_probe.h"

namespace {

using Fields = std::map<std::string, std::string>;

// 2025-01-31T12:34:56.789Z
std::chrono::system_clock::time_point FixedTime()
{
    return std::chrono::system_clock::time_point(std::chrono::milliseconds(1738326896789));
}

std::vector<Fields> LogLines(const std::string& text)
{
    std::vector<Fields> lines;
    for (const std::string& line : cli_test::Lines(text)) {
        Fields fields;
        EXPECT_TRUE(cli_test::JsonReader::ParseObject(line, fields)) << "not one JSON object: " << line;
        lines.push_back(fields);
    }
    return lines;
}

EmulatorScenario Scenario(const std::string& text)
{
    EmulatorScenario scenario;
    std::string error;
    EXPECT_TRUE(ParseScenario(text, scenario, error)) << error;
    return scenario;
}

class CFailingFakeHost final : public FakeScsiHost {
public:
    void DescribeLastFailure(char* text, std::size_t size) override { std::snprintf(text, size, "SG_IO: \"gone\""); }
};

void SetSense(PassThroughRequest& request, std::vector<uint8_t> sense)
{
    std::memcpy(request.senseArea, sense.data(), sense.size());
}

TEST(RecordingHost, EachWayACommandEndsHasItsLine)
{
    const struct {
        const char* what;
        std::function<bool(HostHandle, PassThroughRequest&)> answer;
        Fields expected;  // besides the fields every line has
        CommandResult result;
        const char* absent;  // a field this line must not have
    } cases[] = {
        {"good",
         [](HostHandle, PassThroughRequest&) { return true; },
         {{"result", "good"}, {"sense", "000000"}},
         CommandResult::Good,
         "sense_key"},
        {"refused, fixed-format sense",
         [](HostHandle, PassThroughRequest& r) {
             r.sptd.ScsiStatus = kScsiStatusCheckCondition;
             SetSense(r, {0x70, 0, 0x05, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x20, 0x00});
             return true;
         },
         {{"result", "check"},
          {"sense", "052000"},
          {"sense_key", "ILLEGAL REQUEST"},
          {"sense_asc", "INVALID COMMAND OPERATION CODE"}},
         CommandResult::Check,
         "error"},
        {"refused, descriptor-format sense",
         [](HostHandle, PassThroughRequest& r) {
             r.sptd.ScsiStatus = kScsiStatusCheckCondition;
             SetSense(r, {0x72, 0x06, 0x29, 0x00, 0, 0, 0, 0});
             return true;
         },
         {{"result", "check"},
          {"sense", "062900"},
          {"sense_key", "UNIT ATTENTION"},
          {"sense_asc", "POWER ON, RESET, OR BUS DEVICE RESET OCCURRED"}},
         CommandResult::Check,
         "status"},
        {"busy",
         [](HostHandle, PassThroughRequest& r) {
             r.sptd.ScsiStatus = 0x08;
             return true;
         },
         {{"result", "status"}, {"status", "08"}, {"status_name", "BUSY"}, {"sense", "000000"}},
         CommandResult::Status,
         "sense_key"},
        {"the call failed",
         [](HostHandle, PassThroughRequest&) { return false; },
         {{"result", "fail"}, {"sense", "000000"}, {"error", "SG_IO: \"gone\""}},
         CommandResult::Lost,
         "sense_key"},
    };
    for (const auto& c : cases) {
        CFailingFakeHost fake;
        fake.onPassThrough = c.answer;
        std::ostringstream log;
        RecordingOptions options;
        options.pLog = &log;
        options.wallClock = FixedTime;
        CRecordingHost recorder(fake, options);
        const HostHandle handle = recorder.OpenDevice("\\\\.\\e:");
        PassThroughRequest request{};
        request.sptd.DataIn = kDataOut;
        request.sptd.DataTransferLength = 61440;
        const uint8_t cdb[12] = {0xFA, 0, 0, 1, 0, 0x12, 0x34, 0x3C};
        std::memcpy(request.sptd.Cdb, cdb, sizeof cdb);
        EXPECT_EQ(recorder.SendPassThrough(handle, request), c.result != CommandResult::Lost) << c.what;

        const std::vector<Fields> lines = LogLines(log.str());
        ASSERT_EQ(lines.size(), 1u) << c.what;
        Fields expected = c.expected;
        // The fake's counter runs at 1 kHz and moves 10 ticks per reading.
        expected.insert({{"t_ms", "10"},
                         {"time", "2025-01-31T12:34:56.789Z"},
                         {"drive", "E"},
                         {"node", "\\\\.\\e:"},
                         {"cdb", "fa00000100123"
                                 "43c00000000"},
                         {"dir", "out"},
                         {"len", "61440"},
                         {"duration_us", "10000"}});
        for (const auto& [name, value] : expected) {
            ASSERT_TRUE(lines[0].count(name)) << c.what << ": no " << name << "\n" << log.str();
            EXPECT_EQ(lines[0].at(name), value) << c.what << ": " << name;
        }
        EXPECT_EQ(lines[0].count(c.absent), 0u) << c.what << ": " << c.absent;

        RecordedCommand last;
        ASSERT_TRUE(recorder.LastCommand('e', last)) << c.what;
        EXPECT_EQ(last.result, c.result) << c.what;
        EXPECT_EQ(last.cdb[0], 0xFA);
        EXPECT_FALSE(recorder.LastCommand('D', last)) << "no command went to D:";
        EXPECT_FALSE(recorder.LogFailed());
        recorder.CloseDevice(handle);
    }
}

// Real devices are logged exactly like emulated ones: what the emulated
// device's own transcript says of each command, the log says too.
TEST(RecordingHost, LogCarriesTheEmulatedTranscriptOfEachCommand)
{
    ManualClock clock;
    std::ostringstream transcript;
    CTranscriptLines transcriptLines(transcript);
    RecordedHost emulated(Scenario("fail_block=1,sense=05/20/00,reboot_ms=1000"), clock, &transcriptLines);
    std::ostringstream log;
    RecordingOptions options;
    options.pLog = &log;
    options.bDataDigest = true;
    options.nodeName = [](char drive) { return std::string("/dev/sg-") + drive; };
    CRecordingHost recorder(emulated, options);
    {
        CFlashDevice device(recorder);
        ASSERT_TRUE(device.OpenDrive("D:"));
        device.Inquiry();
        device.StartStopUnit(2);
        device.WriteBlock(0, 0, 0x00);
        device.WriteBlock(0, 0, 0xFF);  // refused
        device.StartStopUnit(2);
        device.WriteBlock(0, 0, 0x00);
        device.WriteBlock(1, 0x1234, 0x3C);  // a bad image: refused
    }
    const std::vector<Fields> expected = LogLines(transcript.str());
    std::vector<Fields> lines = LogLines(log.str());
    ASSERT_EQ(lines.size(), expected.size());
    ASSERT_EQ(lines.size(), 7u);
    for (std::size_t i = 0; i < lines.size(); ++i) {
        EXPECT_EQ(lines[i].at("node"), "/dev/sg-D");
        for (const char* added : {"time", "node", "duration_us", "sense_key", "sense_asc"})
            lines[i].erase(added);
        EXPECT_EQ(lines[i], expected[i]) << "line " << i;
    }
}

TEST(RecordingHost, AspiCommandsAreRecordedWhenTheirWaitEnds)
{
    ManualClock clock;
    RecordedHost emulated(Scenario("win9x=1,latency_ms=5,fail_block=0"), clock);
    std::ostringstream log;
    RecordingOptions options;
    options.pLog = &log;
    CRecordingHost recorder(emulated, options);
    {
        CFlashDevice device(recorder);
        // Choosing the drive asks the layer for each target's letter.
        ASSERT_TRUE(device.OpenDrive("D:"));
        EXPECT_EQ(device.Inquiry(), CommandResult::Good);
        device.StartStopUnit(2);
        EXPECT_NE(device.WriteBlock(0, 0, 0x00), CommandResult::Good);
    }
    const std::vector<Fields> lines = LogLines(log.str());
    ASSERT_EQ(lines.size(), 3u);
    for (const Fields& line : lines) {
        EXPECT_EQ(line.at("drive"), "D");
        EXPECT_EQ(line.at("node"), "aspi 0:1");
        EXPECT_EQ(line.at("duration_us"), "5000");
    }
    EXPECT_EQ(lines[0].at("result"), "good");
    EXPECT_EQ(lines[2].at("cdb").substr(0, 2), "fa");
    EXPECT_EQ(lines[2].at("result"), "check");
    EXPECT_EQ(lines[2].at("sense"), "052400");
    EXPECT_EQ(lines[2].at("sense_asc"), "INVALID FIELD IN CDB");
    RecordedCommand last;
    ASSERT_TRUE(recorder.LastCommand('D', last));
    EXPECT_EQ(last.result, CommandResult::Check);
}

TEST(RecordingHost, ALogThatCannotBeWrittenIsReportedAndCommandsGoOn)
{
    ManualClock clock;
    RecordedHost emulated(EmulatorScenario{}, clock);
    std::ostream broken(nullptr);
    RecordingOptions options;
    options.pLog = &broken;
    CRecordingHost recorder(emulated, options);
    CFlashDevice device(recorder);
    EXPECT_EQ(device.Inquiry(), CommandResult::Good);
    EXPECT_TRUE(recorder.LogFailed());
    EXPECT_EQ(emulated.Records().size(), 1u);
}

TEST(RecordingHost, AnOverlongLineIsCutAtAFieldAndStaysOneObject)
{
    TranscriptRecord record;
    record.result = "fail";
    record.node = "/dev/sg1";
    const std::string error(3 * kTranscriptLineMax, '"');
    record.error = error;
    char line[kTranscriptLineMax];
    const std::size_t length = FormatTranscriptLine(record, line);
    const std::string text(line, length);
    Fields fields;
    ASSERT_TRUE(cli_test::JsonReader::ParseObject(text, fields)) << text;
    EXPECT_LT(length, kTranscriptLineMax);
    EXPECT_EQ(fields.at("node"), "/dev/sg1");
    EXPECT_EQ(fields.count("error"), 0u);
}

}  // namespace
