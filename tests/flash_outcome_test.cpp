#include <gtest/gtest.h>

#include <optional>
#include <utility>

#include "form/block_plan.h"
#include "run/flash_job.h"
#include "run/identity_guard.h"
#include "flash_bench.h"
#include "temp_image.h"

// Operators and their scripts know these texts and codes: a change to either
// is a change of what the line sees.
TEST(FlashOutcome, EachOutcomeHasItsBoxTextAndExitCode)
{
    const struct {
        FlashOutcome outcome;
        const char* text;
        CliExit exit;
    } cases[] = {
        {FlashOutcome::Updated, "Update success!!", kExitSuccess},
        {FlashOutcome::NoDevice, "No device found", kExitNoDevice},
        {FlashOutcome::NoImageSet, "No file be set", kExitImageUnreadable},
        {FlashOutcome::ImageUnopenable, "File open failure!!", kExitImageUnreadable},
        {FlashOutcome::ImageReadFailure, "File read failure!!", kExitImageUnreadable},
        {FlashOutcome::ImageChanged, "Image file changed, check the new checksum and flash again!!",
         kExitImageUnreadable},
        {FlashOutcome::ImageNotChecked, "Image file not checked yet, check its checksum and flash again!!",
         kExitImageUnreadable},
        {FlashOutcome::SizeInvalid, "Image size must be 524288 or 1048576 bytes!!", kExitNotFlashable},
        {FlashOutcome::SendFailed, "Send data to device failure!!", kExitSendFailure},
        {FlashOutcome::NoAnswer, "Update failure!!", kExitNoReturn},
    };
    for (const auto& c : cases) {
        EXPECT_STREQ(FlashOutcomeText(c.outcome), c.text);
        EXPECT_EQ(ExitForOutcome(c.outcome), c.exit) << c.text;
    }
}

// The CLI's record notes name the state a form stopped in.
TEST(FlashOutcome, EachFormStateHasItsName)
{
    const std::pair<FlashState, const char*> cases[] = {
        {FlashState::Ready, "Ready"},         {FlashState::Armed, "Armed"},     {FlashState::Sending, "Sending"},
        {FlashState::Verifying, "Verifying"}, {FlashState::Stopped, "Stopped"}, {static_cast<FlashState>(9), "?"},
    };
    for (const auto& [state, name] : cases)
        EXPECT_STREQ(FlashStateName(state), name);
    EXPECT_STREQ(FlashOutcomeText(static_cast<FlashOutcome>(99)), "");
}

namespace {

// What the form reported, summed up.
struct ReportedRun : IFlashViewObserver {
    uint32_t nPlanBlocks = 0;
    bool bDownloadMode = false;
    uint32_t nAccepted = 0;
    uint32_t nRefused = 0;
    FlashEvent lastTick;
    std::optional<FlashOutcome> outcome;
    std::string strRevision;

    void OnFlashEvent(const FlashEvent& event) override
    {
        switch (event.kind) {
        case FlashEventKind::Start:
            nPlanBlocks = static_cast<uint32_t>(event.nTotal);
            break;
        case FlashEventKind::DownloadMode:
            bDownloadMode = true;
            break;
        case FlashEventKind::Block:
            EXPECT_EQ(event.nIndex, static_cast<int>(nAccepted + nRefused) + 1);
            EXPECT_EQ(event.nTotal, static_cast<int>(nPlanBlocks));
            ++(event.bAnswered ? nAccepted : nRefused);
            break;
        case FlashEventKind::Tick:
            lastTick = event;
            break;
        case FlashEventKind::Finished:
            outcome = event.outcome;
            strRevision = event.strText;
            break;
        default:
            ADD_FAILURE() << "the form tells only its transfer";
        }
    }
};

}  // namespace

// The report is what went to the device and how the form ended, for every
// way a download ends.
TEST_F(FlashBench, TheFormReportsWhatItSentAndHowItEnded)
{
    EmulatorScenario refused, dropped, neverBack;
    refused.failBlock = 2;
    dropped.dropBlock = 1;
    neverBack.neverReturn = true;
    const struct {
        const char* name;
        EmulatorScenario scenario;
        uint32_t length;
        FlashOutcome outcome;
        uint32_t accepted, refused;
        int32_t lastTick;
        bool answered;
        const char* revision;
        bool bNoneChosen = false;  // the list's choice taken away: no command reaches a device
    } cases[] = {
        {"updated", EmulatorScenario{}, 524288, FlashOutcome::Updated, 9, 0, 13, true, "1.10"},
        {"refused block", refused, 524288, FlashOutcome::SendFailed, 2, 1, 0, false, ""},
        {"dropped block", dropped, 1048576, FlashOutcome::SendFailed, 1, 1, 0, false, ""},
        {"never back", neverBack, 524288, FlashOutcome::NoAnswer, 9, 0, 21, false, ""},
        {"no plan", EmulatorScenario{}, 600000, FlashOutcome::SizeInvalid, 0, 0, 0, false, ""},
        {"none chosen", EmulatorScenario{}, 524288, FlashOutcome::SendFailed, 0, 0, 0, false, "", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ReportedRun report;
        m_window = RecordingWindow();
        m_pObserver = &report;
        TempImage file(PatternImage(c.length));
        MakeBench(c.scenario);
        g_strImagePath = file.Path();
        g_nVerifyTicks = 0;
        View().OnInitialUpdate();
        if (c.bNoneChosen) {
            m_window.SetDeviceSelection(-1);
            View().OnSelchangeDeviceList();
        }
        View().OnFlash();
        FireStartTick();
        RunVerifyTicks();
        m_pObserver = nullptr;

        const std::vector<TranscriptRecord> records = Records();
        EXPECT_EQ(report.nAccepted + report.nRefused, WithOpcode(records, kOpBlockWrite).size());
        EXPECT_EQ(report.bDownloadMode, !WithOpcode(records, kOpStartStopUnit).empty());
        EXPECT_EQ(report.nPlanBlocks,
                  c.outcome == FlashOutcome::SizeInvalid ? 0u : FindBlockPlan(c.length)->blockCount);
        EXPECT_EQ(report.nAccepted, c.accepted);
        EXPECT_EQ(report.nRefused, c.refused);
        EXPECT_EQ(report.lastTick.nIndex, c.lastTick);
        EXPECT_EQ(report.lastTick.bInquiry, c.lastTick >= kFirstInquiryTick);
        EXPECT_EQ(report.lastTick.bAnswered, c.answered);
        EXPECT_EQ(report.outcome, c.outcome);
        EXPECT_EQ(WithoutTrailingBlanks(report.strRevision), c.revision);
        EXPECT_EQ(m_window.m_messages.back(), FlashOutcomeText(c.outcome));
    }
}
