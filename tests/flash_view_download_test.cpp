#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "base/sha256.h"
#include "flash_bench.h"
#include "temp_image.h"
#include "tests/emulated_host_probe.h"

namespace {

struct Plan {
    uint32_t imageLength;
    uint32_t blockCount;
    uint32_t finalBytes;
    uint8_t finalMarker;
};

constexpr Plan kPlan512K{524288, 9, 32768, 0x20};
constexpr Plan kPlan1M{1048576, 18, 4096, 0x04};

uint16_t ByteSum(const std::vector<uint8_t>& bytes)
{
    uint32_t sum = 0;
    for (uint8_t b : bytes)
        sum += b;
    return static_cast<uint16_t>(sum);
}

// What one block command must carry: its slice of the image, and for the
// final block, after the image's last bytes, what the previous block left in
// the buffer at the same positions.
std::vector<uint8_t> ExpectedBlockData(const std::vector<uint8_t>& image, const Plan& plan, uint32_t block)
{
    const size_t start = static_cast<size_t>(block) * kBlockLength;
    std::vector<uint8_t> data(kBlockLength);
    if (block + 1 < plan.blockCount) {
        std::copy_n(image.begin() + start, kBlockLength, data.begin());
    } else {
        std::copy_n(image.begin() + start, plan.finalBytes, data.begin());
        std::copy(image.begin() + (start - kBlockLength + plan.finalBytes), image.begin() + start,
                  data.begin() + plan.finalBytes);
    }
    return data;
}

std::string Hex4(uint16_t value)
{
    char text[8];
    std::snprintf(text, sizeof text, "%04X", static_cast<unsigned>(value));
    return text;
}

std::string ExpectedBlockCdb(const Plan& plan, uint32_t block, uint16_t checksum)
{
    char text[32];
    const bool final = block + 1 == plan.blockCount;
    const unsigned marker = final ? plan.finalMarker : (block == 0 ? 0x00 : 0xFF);
    std::snprintf(text, sizeof text, "fa0000%02x00%02x%02x%02x00000000", final ? 1u : 0u, marker,
                  final ? checksum >> 8 : 0u, final ? checksum & 0xFFu : 0u);
    return text;
}

class DownloadTest : public FlashBench {
protected:
    // Survey with one image and press Flash; the start tick is left to the test.
    void SurveyAndFlash(const std::string& path, const EmulatorScenario& scenario = EmulatorScenario{})
    {
        MakeBench(scenario);
        g_strImagePath = path;
        View().OnInitialUpdate();
        ASSERT_TRUE(View().IsSurveyComplete());
        m_nSurveyRecords = RecordCount();
        m_window.ClearRecord();
        View().OnFlash();
        ASSERT_EQ(View().GetState(), FlashState::Armed);
    }

    std::vector<TranscriptRecord> DownloadRecords() const { return RecordsSince(m_nSurveyRecords); }

    size_t m_nSurveyRecords = 0;
};

TEST_F(DownloadTest, BothBlockPlansSendTheExactCommandsAndData)
{
    for (const Plan& plan : {kPlan512K, kPlan1M}) {
        SCOPED_TRACE(plan.imageLength);
        m_window = RecordingWindow();
        const std::vector<uint8_t> image = PatternImage(plan.imageLength, plan.blockCount);
        TempImage file(image);
        SurveyAndFlash(file.Path());
        const uint16_t checksum = ByteSum(image);
        ASSERT_EQ(View().GetChecksum(), checksum);

        FireStartTick();

        const std::vector<TranscriptRecord> records = DownloadRecords();
        ASSERT_EQ(records.size(), plan.blockCount + 1);
        EXPECT_EQ(CdbHex(records[0]), "1b0000000200000000000000");
        EXPECT_TRUE(records[0].dataIn);
        EXPECT_EQ(records[0].length, 512u);
        for (uint32_t block = 0; block < plan.blockCount; ++block) {
            SCOPED_TRACE(block);
            const TranscriptRecord& record = records[block + 1];
            EXPECT_EQ(CdbHex(record), ExpectedBlockCdb(plan, block, checksum));
            EXPECT_FALSE(record.dataIn);
            EXPECT_EQ(record.length, kBlockLength);
            EXPECT_EQ(record.result, "good");
            const std::vector<uint8_t> data = ExpectedBlockData(image, plan, block);
            EXPECT_EQ(record.dataSha256, Sha256Hex(data.data(), data.size()));
        }
        EXPECT_EQ(Inspect(Emulated()).Device(0).LastImage(), image);
        EXPECT_EQ(View().GetState(), FlashState::Verifying);
        EXPECT_TRUE(m_window.TimerArmed(IDT_VERIFY));
        EXPECT_FALSE(m_window.TimerArmed(IDT_START_DOWNLOAD));
    }
}

TEST_F(DownloadTest, SuccessfulDownloadMakesExactlyTheseWindowCalls)
{
    TempImage file(PatternImage(kPlan512K.imageLength));
    SurveyAndFlash(file.Path());
    FireStartTick();
    EXPECT_EQ(RunVerifyTicks(), 13);

    std::vector<std::string> expected = {"Enable 0",       "ListEnable 0", "SetPos 0", "SetTimer 1026 500",
                                         "KillTimer 1026", "SetRange 0 8", "SetStep 1"};
    for (int block = 0; block < 8; ++block) {
        expected.push_back("Status sending data....");
        expected.push_back("StepIt");
    }
    for (const char* call : {"Status sending data....", "StepIt", "Status Flashing wait.....", "SetTimer 1025 1000",
                             "SetRange 0 15", "SetStep 1", "SetPos 0", "StepIt"})
        expected.push_back(call);
    for (int tick = 1; tick <= 13; ++tick)
        expected.push_back("StepIt");
    // The box comes before the button and the status line.
    for (const char* call : {"KillTimer 1025", "SetPos 15", "MessageBox Update success!!", "Enable 1",
                             "Status Flashing OK", "ListEnable 1"})
        expected.push_back(call);
    EXPECT_EQ(m_window.m_calls, expected);
    EXPECT_EQ(View().GetState(), FlashState::Ready);
    EXPECT_TRUE(m_window.m_timers.empty());
}

TEST_F(DownloadTest, ProgressPositionsThroughTheWholeSequence)
{
    EmulatorScenario scenario;
    scenario.rebootMs = 20500;  // back in time for tick 21 only
    TempImage file(PatternImage(kPlan1M.imageLength));
    SurveyAndFlash(file.Path(), scenario);
    FireStartTick();
    EXPECT_EQ(RunVerifyTicks(), 21);

    std::vector<int> expected = {0, 0, 0};  // SetPos 0, SetRange 0..17, SetStep 1
    for (int position = 1; position <= 17; ++position)
        expected.push_back(position);  // the bar is full after the 17 non-final blocks
    expected.push_back(0);             // past the maximum: starts over
    for (int position : {0, 0, 0, 1})  // SetRange 0..15, SetStep 1, SetPos 0, StepIt
        expected.push_back(position);
    for (int tick = 1; tick <= 21; ++tick)
        expected.push_back(tick < 15 ? tick + 1 : tick - 15);  // past 15 on tick 15
    expected.push_back(15);                                    // success
    EXPECT_EQ(m_window.m_positions, expected);
    EXPECT_EQ(m_window.m_messages, std::vector<std::string>{FlashOutcomeText(FlashOutcome::Updated)});
}

TEST_F(DownloadTest, VerificationAsksFromTick13AndGivesUpAfterTick21)
{
    struct Case {
        const char* name;
        uint32_t rebootMs;
        bool neverReturn;
        int ticks;
        size_t inquiries;
        const char* message;
    };
    const Case cases[] = {
        {"back on tick 13", 12500, false, 13, 1, FlashOutcomeText(FlashOutcome::Updated)},
        {"back long before tick 13", 2000, false, 13, 1, FlashOutcomeText(FlashOutcome::Updated)},
        {"back on tick 21", 20500, false, 21, 9, FlashOutcomeText(FlashOutcome::Updated)},
        {"never back", 12500, true, 21, 9, FlashOutcomeText(FlashOutcome::NoAnswer)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        m_window = RecordingWindow();
        EmulatorScenario scenario;
        scenario.rebootMs = c.rebootMs;
        scenario.neverReturn = c.neverReturn;
        TempImage file(PatternImage(kPlan512K.imageLength));
        SurveyAndFlash(file.Path(), scenario);
        FireStartTick();
        const size_t afterTransfer = RecordCount();

        EXPECT_EQ(RunVerifyTicks(), c.ticks);

        const std::vector<TranscriptRecord> polls = RecordsSince(afterTransfer);
        EXPECT_EQ(polls.size(), c.inquiries);
        EXPECT_EQ(WithOpcode(polls, kOpInquiry).size(), c.inquiries);
        EXPECT_EQ(g_nVerifyTicks, c.ticks);
        EXPECT_EQ(m_window.m_messages, std::vector<std::string>{c.message});
        EXPECT_FALSE(m_window.TimerArmed(IDT_VERIFY));
        const bool success = std::string(c.message) == FlashOutcomeText(FlashOutcome::Updated);
        EXPECT_EQ(m_window.m_bFlashEnabled, success);
        EXPECT_EQ(m_window.m_strStatus, success ? kStatusFlashingOk : kStatusFlashingWait);
        EXPECT_EQ(View().GetState(), success ? FlashState::Ready : FlashState::Stopped);
        if (!polls.empty()) {
            // The first poll is one second after tick 12.
            EXPECT_EQ(polls.front().tMs - RecordsSince(afterTransfer - 1).front().tMs, 13000u);
        }
    }
}

// Writes the inhibitor's calls into the window's call list, so that their
// place among the form's other calls shows.
class WindowLoggedInhibitor final : public ISleepInhibitor {
public:
    explicit WindowLoggedInhibitor(RecordingWindow& window) : m_window(window) {}
    void KeepAwake() override { m_window.m_calls.push_back("KeepAwake"); }
    void AllowSleep() override { m_window.m_calls.push_back("AllowSleep"); }

private:
    RecordingWindow& m_window;
};

TEST_F(DownloadTest, MachineStaysAwakeFromTheFirstCommandOfTheTransferToTheEndOfTheWait)
{
    EmulatorScenario neverBack;
    neverBack.neverReturn = true;
    EmulatorScenario refusedBlock;
    refusedBlock.failBlock = 2;
    struct Case {
        EmulatorScenario scenario;
        int verifyTicks;  // fired before the form goes away (-1: all it asks for)
        const char* box;  // the download's last box, shown once the machine may sleep again
    };
    const Case cases[] = {{EmulatorScenario{}, -1, FlashOutcomeText(FlashOutcome::Updated)},
                          {neverBack, -1, FlashOutcomeText(FlashOutcome::NoAnswer)},
                          {refusedBlock, 0, FlashOutcomeText(FlashOutcome::SendFailed)},
                          {EmulatorScenario{}, 3, nullptr}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.box ? c.box : "window closed while waiting");
        m_window = RecordingWindow();
        WindowLoggedInhibitor inhibitor(m_window);
        m_pSleepInhibitor = &inhibitor;
        TempImage file(PatternImage(kPlan512K.imageLength));
        SurveyAndFlash(file.Path(), c.scenario);
        FireStartTick();
        for (int tick = 0; c.verifyTicks < 0 ? m_window.TimerArmed(IDT_VERIFY) : tick < c.verifyTicks; ++tick)
            FireVerifyTick();
        DestroyView();
        m_pSleepInhibitor = nullptr;

        const std::vector<std::string>& calls = m_window.m_calls;
        EXPECT_EQ(std::count(calls.begin(), calls.end(), "KeepAwake"), 1);
        EXPECT_EQ(std::count(calls.begin(), calls.end(), "AllowSleep"), 1);
        const auto awake = std::find(calls.begin(), calls.end(), "KeepAwake");
        const auto asleep = std::find(calls.begin(), calls.end(), "AllowSleep");
        // Before the first block's status: the eject that opens the transfer follows it.
        EXPECT_EQ(std::find(calls.begin(), awake, "Status sending data...."), awake);
        // And before the range that starts the transfer: asking the session
        // manager is preparation, not time between the start and the eject.
        const auto isRange = [](const std::string& call) { return call.rfind("SetRange ", 0) == 0; };
        EXPECT_EQ(std::find_if(calls.begin(), awake, isRange), awake);
        EXPECT_LT(awake, asleep);
        const auto last =
            c.box ? std::find(calls.begin(), calls.end(), std::string("MessageBox ") + c.box) : calls.end();
        EXPECT_LT(asleep, last);
    }
}

TEST_F(DownloadTest, StoppedFormAcceptsNoNewDownload)
{
    EmulatorScenario scenario;
    scenario.neverReturn = true;
    TempImage file(PatternImage(kPlan512K.imageLength));
    SurveyAndFlash(file.Path(), scenario);
    FireStartTick();
    RunVerifyTicks();
    ASSERT_EQ(View().GetState(), FlashState::Stopped);
    m_window.ClearRecord();

    View().OnFlash();

    EXPECT_TRUE(m_window.m_calls.empty());
    EXPECT_EQ(View().GetState(), FlashState::Stopped);
}

TEST_F(DownloadTest, SecondDownloadAfterSuccessCountsTicksAfresh)
{
    TempImage file(PatternImage(kPlan512K.imageLength));
    SurveyAndFlash(file.Path());
    FireStartTick();
    ASSERT_EQ(RunVerifyTicks(), 13);
    ASSERT_EQ(View().GetState(), FlashState::Ready);
    const size_t afterFirst = RecordCount();

    View().OnFlash();
    EXPECT_EQ(g_nVerifyTicks, 0);
    FireStartTick();
    EXPECT_EQ(RunVerifyTicks(), 13);

    EXPECT_EQ(WithOpcode(RecordsSince(afterFirst), kOpBlockWrite).size(), 9u);
    EXPECT_EQ(m_window.m_messages, (std::vector<std::string>{FlashOutcomeText(FlashOutcome::Updated),
                                                             FlashOutcomeText(FlashOutcome::Updated)}));
    EXPECT_EQ(View().GetState(), FlashState::Ready);
}

TEST_F(DownloadTest, FlashWithoutPathShowsOnlyItsMessage)
{
    MakeBench();
    View().OnInitialUpdate();  // stops at "No file be set"
    const size_t before = RecordCount();
    m_window.ClearRecord();

    View().OnFlash();

    EXPECT_EQ(m_window.m_calls, std::vector<std::string>{"MessageBox No file be set"});
    EXPECT_TRUE(m_window.m_bFlashEnabled);
    EXPECT_TRUE(m_window.m_timers.empty());
    EXPECT_EQ(View().GetState(), FlashState::Ready);
    EXPECT_EQ(RecordCount(), before);
}

TEST_F(DownloadTest, WithoutDeviceTheDownloadFailsAtBlockZero)
{
    EmulatorScenario scenario;
    scenario.devices = 0;
    MakeBench(scenario);
    const std::vector<uint8_t> image = PatternImage(kPlan512K.imageLength);
    TempImage file(image);
    g_strImagePath = file.Path();
    View().OnInitialUpdate();
    ASSERT_EQ(m_window.m_messages, std::vector<std::string>{FlashOutcomeText(FlashOutcome::NoDevice)});
    // The survey stopped before it summed the image: the first Flash shows
    // the checksum and sends nothing.
    View().OnFlash();
    FireStartTick();
    EXPECT_EQ(m_window.m_messages.back(), FlashOutcomeText(FlashOutcome::ImageNotChecked));
    EXPECT_EQ(m_window.m_strChecksum, Hex4(ByteSum(image)));
    ASSERT_EQ(View().GetState(), FlashState::Ready);
    View().OnFlash();
    m_window.ClearRecord();

    FireStartTick();

    EXPECT_EQ(m_window.m_calls,
              (std::vector<std::string>{"KillTimer 1026", "SetRange 0 8", "SetStep 1", "Status sending data....",
                                        "MessageBox Send data to device failure!!", "ListEnable 1"}));
    EXPECT_TRUE(Records().empty());
    EXPECT_EQ(m_window.m_progress.Position(), 0);
    EXPECT_FALSE(m_window.m_bFlashEnabled);
    EXPECT_TRUE(m_window.m_timers.empty());
    EXPECT_EQ(View().GetState(), FlashState::Stopped);
}

TEST_F(DownloadTest, FailedBlockStopsTheTransfer)
{
    EmulatorScenario scenario;
    scenario.failBlock = 3;
    TempImage file(PatternImage(kPlan1M.imageLength));
    SurveyAndFlash(file.Path(), scenario);

    FireStartTick();

    const std::vector<TranscriptRecord> blocks = WithOpcode(DownloadRecords(), kOpBlockWrite);
    ASSERT_EQ(blocks.size(), 4u);
    EXPECT_EQ(blocks.back().result, "check");
    EXPECT_EQ(m_window.m_messages, std::vector<std::string>{FlashOutcomeText(FlashOutcome::SendFailed)});
    EXPECT_EQ(m_window.m_progress.Position(), 3);  // the blocks that went through
    EXPECT_EQ(m_window.m_strStatus, kStatusSending);
    EXPECT_FALSE(m_window.m_bFlashEnabled);
    EXPECT_TRUE(m_window.m_timers.empty());
    EXPECT_EQ(View().GetState(), FlashState::Stopped);
}

TEST_F(DownloadTest, ImageGoneAtTheStartTickSendsNothing)
{
    auto file = std::make_unique<TempImage>(PatternImage(kPlan512K.imageLength));
    SurveyAndFlash(file->Path());
    file.reset();
    m_window.ClearRecord();

    FireStartTick();

    EXPECT_EQ(m_window.m_calls,
              (std::vector<std::string>{"KillTimer 1026", "MessageBox File open failure!!", "ListEnable 1"}));
    EXPECT_TRUE(DownloadRecords().empty());
    EXPECT_EQ(m_window.m_strStatus, "");
    EXPECT_EQ(m_window.m_progress.Position(), 0);
    EXPECT_FALSE(m_window.m_bFlashEnabled);
    EXPECT_EQ(View().GetState(), FlashState::Stopped);
}

// While a download runs the device list is locked and every poll goes to the
// device that was flashed: a drive that was not flashed never answers for one
// that did not come back.
TEST_F(DownloadTest, PollsGoToTheFlashedDeviceWhateverTheListShows)
{
    EmulatorScenario scenario;
    scenario.devices = 2;
    scenario.neverReturn = true;  // D: never comes back; E: was not flashed
    TempImage file(PatternImage(kPlan512K.imageLength));
    SurveyAndFlash(file.Path(), scenario);
    EXPECT_FALSE(m_window.m_bListEnabled);
    FireStartTick();
    const size_t afterTransfer = RecordCount();
    for (int tick = 1; tick <= 14; ++tick)
        FireVerifyTick();

    m_window.m_nSelection = 1;
    m_window.ClearRecord();
    View().OnSelchangeDeviceList();
    EXPECT_EQ(m_window.m_calls, std::vector<std::string>{"Select 0"});
    EXPECT_FALSE(m_window.m_bListEnabled);
    RunVerifyTicks();

    std::string drives;
    for (const TranscriptRecord& record : RecordsSince(afterTransfer)) {
        EXPECT_EQ(record.cdb[0], kOpInquiry);
        drives += record.drive;
    }
    EXPECT_EQ(drives, std::string(9, 'D'));  // ticks 13 to 21
    EXPECT_EQ(m_window.m_messages, std::vector<std::string>{FlashOutcomeText(FlashOutcome::NoAnswer)});
    EXPECT_EQ(View().GetState(), FlashState::Stopped);
    EXPECT_TRUE(m_window.m_bListEnabled) << "the download is over";
}

TEST_F(DownloadTest, OtherTimerIdsAreIgnored)
{
    TempImage file(PatternImage(kPlan512K.imageLength));
    SurveyAndFlash(file.Path());
    m_window.ClearRecord();
    View().OnTimer(1024);
    View().OnTimer(1027);
    View().OnTimer(0);
    EXPECT_TRUE(m_window.m_calls.empty());
    EXPECT_EQ(View().GetState(), FlashState::Armed);
}

// An image of any other length would only eject the device: it is refused
// before any command, and the form stays ready for a proper image.
TEST_F(DownloadTest, ImageOfAnotherLengthIsRefusedBeforeAnyCommand)
{
    for (uint32_t length : {0u, 1u, 524287u, 524289u, 1048575u, 1048577u, 2u * 1048576u}) {
        SCOPED_TRACE(length);
        m_window = RecordingWindow();
        TempImage file(PatternImage(length));
        SurveyAndFlash(file.Path());
        m_window.ClearRecord();

        FireStartTick();

        EXPECT_EQ(m_window.m_calls,
                  (std::vector<std::string>{"KillTimer 1026", "MessageBox Image size must be 524288 or 1048576 bytes!!",
                                            "Enable 1", "ListEnable 1"}));
        EXPECT_TRUE(DownloadRecords().empty());
        EXPECT_EQ(m_window.m_progress.Position(), 0);
        EXPECT_EQ(View().GetState(), FlashState::Ready);

        // Ready means ready: the next Flash arms again.
        View().OnFlash();
        EXPECT_TRUE(m_window.TimerArmed(IDT_START_DOWNLOAD));
    }
}

// The image that goes out is the one whose checksum the form shows. Changed
// after the survey (even to bytes with the same 16-bit sum), it is not sent:
// the form shows the new checksum and waits for the next Flash, which sends
// exactly that image.
TEST_F(DownloadTest, ImageChangedAfterTheSurveyIsShownBeforeItIsSent)
{
    std::vector<uint8_t> sameSum = PatternImage(kPlan512K.imageLength);
    std::swap(sameSum[1000], sameSum[400000]);
    struct Case {
        const char* name;
        std::vector<uint8_t> replacement;
        const char* message;        // at the first start tick, null for none
        const char* secondMessage;  // at the second, null when it sends
    };
    const Case cases[] = {
        {"other bytes, same sum", sameSum, FlashOutcomeText(FlashOutcome::ImageChanged), nullptr},
        {"1 MiB instead of 512 KiB", PatternImage(kPlan1M.imageLength, 5), FlashOutcomeText(FlashOutcome::ImageChanged),
         nullptr},
        {"cut to a length no plan has", PatternImage(600000), FlashOutcomeText(FlashOutcome::ImageChanged),
         FlashOutcomeText(FlashOutcome::SizeInvalid)},
        {"rewritten with the same bytes", PatternImage(kPlan512K.imageLength), nullptr, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        m_window = RecordingWindow();
        TempImage file(PatternImage(kPlan512K.imageLength));
        SurveyAndFlash(file.Path());
        file.Write(c.replacement);
        const uint16_t newSum = ByteSum(c.replacement);
        ASSERT_EQ(sameSum.size(), kPlan512K.imageLength);

        FireStartTick();

        if (c.message != nullptr) {
            EXPECT_EQ(m_window.m_messages, std::vector<std::string>{c.message});
            EXPECT_TRUE(DownloadRecords().empty()) << "not even START STOP UNIT";
            EXPECT_EQ(m_window.m_strChecksum, Hex4(newSum));
            EXPECT_EQ(g_strOptionText, Hex4(newSum));
            EXPECT_EQ(View().GetState(), FlashState::Ready);
            EXPECT_TRUE(m_window.m_bFlashEnabled);
            EXPECT_TRUE(m_window.m_bListEnabled);
            EXPECT_TRUE(m_window.m_timers.empty());
            View().OnFlash();
            FireStartTick();
        }
        if (c.secondMessage != nullptr) {
            EXPECT_EQ(m_window.m_messages.back(), c.secondMessage);
            EXPECT_TRUE(DownloadRecords().empty());
            continue;
        }
        const std::vector<TranscriptRecord> blocks = WithOpcode(DownloadRecords(), kOpBlockWrite);
        ASSERT_FALSE(blocks.empty());
        EXPECT_EQ(blocks.back().cdb[6] << 8 | blocks.back().cdb[7], newSum);
        EXPECT_EQ(Inspect(Emulated()).Device(0).LastImage(), c.replacement);
        EXPECT_EQ(View().GetState(), FlashState::Verifying);
    }
}

// The image changes on disk while its blocks go out: the block read with
// changed bytes is not the checked image's and is not sent, nor anything
// after it, so the final block, which makes the device take the image, never
// goes out.
TEST_F(DownloadTest, ImageChangedDuringTheTransferNeverGetsItsFinalBlock)
{
    struct Case {
        const char* name;
        Plan plan;
        uint32_t offset;  // far behind the read position: no read-ahead holds it yet
        std::vector<uint8_t> bytes;
        std::size_t blocksSent;
    };
    const Case cases[] = {
        {"other bytes, other sum", kPlan512K, 500000, {0x11}, 8},
        {"two bytes swapped, same sum", kPlan512K, 500000, {0x20, 0x10}, 8},
        {"a middle block", kPlan1M, 500000, {0x20, 0x10}, 8},
        {"grown past its plan", kPlan1M, kPlan1M.imageLength, std::vector<uint8_t>(100, 0x01), 17},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        m_window = RecordingWindow();
        std::vector<uint8_t> image = PatternImage(c.plan.imageLength, 7);
        image[500000] = 0x10;
        image[500001] = 0x20;
        TempImage file(image);
        const std::string path = file.Path();
        SurveyAndFlash(path);
        Probe().m_beforePassThrough = [&](PassThroughRequest& request) {
            if (request.sptd.Cdb[0] == kOpBlockWrite && WithOpcode(Records(), kOpBlockWrite).empty()) {
                std::fstream out(path, std::ios::in | std::ios::out | std::ios::binary);
                out.seekp(c.offset);
                out.write(reinterpret_cast<const char*>(c.bytes.data()), static_cast<std::streamsize>(c.bytes.size()));
            }
        };

        FireStartTick();

        EXPECT_EQ(WithOpcode(DownloadRecords(), kOpBlockWrite).size(), c.blocksSent);
        EXPECT_EQ(m_window.m_messages, std::vector<std::string>{FlashOutcomeText(FlashOutcome::ImageReadFailure)});
        EXPECT_EQ(View().GetState(), FlashState::Stopped);
    }
}

// The file shrinks while blocks are sent: the block that cannot be read
// whole is not sent with stale bytes from the buffer.
TEST_F(DownloadTest, ShortReadStopsBeforeTheBlock)
{
    struct Case {
        const char* name;
        Plan plan;
        uint32_t truncateAtBlock;  // truncated just before this block goes out
        uint32_t truncatedLength;
    };
    const Case cases[] = {
        {"middle block", kPlan1M, 2, 3 * kBlockLength + 100},
        {"final 4 KiB one byte short", kPlan1M, 16, 1048575},
        {"final 32 KiB one byte short", kPlan512K, 7, 524287},
        {"nothing left", kPlan512K, 0, kBlockLength},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        m_window = RecordingWindow();
        const std::vector<uint8_t> image = PatternImage(c.plan.imageLength);
        TempImage file(image);
        SurveyAndFlash(file.Path());
        uint32_t blocksSeen = 0;
        const std::string path = file.Path();
        Probe().m_beforePassThrough = [&](PassThroughRequest& request) {
            if (request.sptd.Cdb[0] == kOpBlockWrite && blocksSeen++ == c.truncateAtBlock)
                std::filesystem::resize_file(path, c.truncatedLength);
        };

        FireStartTick();

        const std::vector<TranscriptRecord> blocks = WithOpcode(DownloadRecords(), kOpBlockWrite);
        EXPECT_EQ(blocks.size(), c.truncateAtBlock + 1);
        for (uint32_t block = 0; block < blocks.size(); ++block) {
            const std::vector<uint8_t> data = ExpectedBlockData(image, c.plan, block);
            EXPECT_EQ(blocks[block].dataSha256, Sha256Hex(data.data(), data.size())) << block;
        }
        EXPECT_EQ(m_window.m_messages, std::vector<std::string>{FlashOutcomeText(FlashOutcome::ImageReadFailure)});
        EXPECT_EQ(m_window.m_progress.Position(), static_cast<int>(c.truncateAtBlock + 1));
        EXPECT_EQ(m_window.m_strStatus, kStatusSending);
        EXPECT_FALSE(m_window.m_bFlashEnabled);
        EXPECT_TRUE(m_window.m_timers.empty());
        EXPECT_EQ(View().GetState(), FlashState::Stopped);
    }
}

}  // namespace
