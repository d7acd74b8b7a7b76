#include <gtest/gtest.h>

#include "flash_bench.h"

namespace {

class SurveyReadErrorTest : public FlashBench {};

// A file that opens but cannot be read must not be shown with the sum of
// whatever was read before the error.
TEST_F(SurveyReadErrorTest, ReadErrorIsReportedLikeAnUnreadableImage)
{
    MakeBench();
    g_strImagePath = "/proc/self/mem";
    g_bAutoFlash = 1;

    View().OnInitialUpdate();

    EXPECT_EQ(m_window.m_messages, std::vector<std::string>{FlashOutcomeText(FlashOutcome::ImageUnopenable)});
    EXPECT_TRUE(m_window.Calls("Checksum").empty());
    EXPECT_FALSE(View().IsSurveyComplete());
    EXPECT_TRUE(m_window.m_timers.empty());
}

}  // namespace
