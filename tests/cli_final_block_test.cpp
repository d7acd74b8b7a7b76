// What a flash job runs once the device took the final block: the moment
// the transcript goes to the disk, before the device restarts.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "cli/flash_session.h"
#include "device/emulated/emulated_host.h"
#include "tests/cli_test_support.h"
#include "tests/temp_image.h"

namespace {

// Writes the run down as "block N/M", "tick", "result" and "sync" in order.
class CSequenceObserver final : public IFlashObserver {
public:
    std::vector<std::string> steps;
    void OnFlashEvent(const FlashEvent& event) override {
        if (event.kind == FlashEventKind::Block)
            steps.push_back("block " + std::to_string(event.nIndex) + "/" + std::to_string(event.nTotal));
        else if (event.kind == FlashEventKind::Tick && steps.back() != "tick")
            steps.push_back("tick");
        else if (event.kind == FlashEventKind::Result)
            steps.push_back("result");
    }
};

}  // namespace

TEST(FlashJobFinalBlock, RunsOnceBetweenTheFinalBlockAndTheRestartOnly) {
    struct Case {
        const char* scenario;
        uint32_t imageBytes;
        std::vector<std::string> expected;  // from the last block event on
    };
    const Case cases[] = {
        {"", 524288, {"block 9/9", "sync", "tick", "result"}},
        {"", 1048576, {"block 18/18", "sync", "tick", "result"}},
        // A refused final block starts no restart: nothing to keep from it.
        {"fail_block=8", 524288, {"block 8/9", "result"}},
        {"fail_block=2", 524288, {"block 2/9", "result"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.scenario) + " " + std::to_string(c.imageBytes));
        TempImage image(PatternImage(c.imageBytes, 7));
        ManualClock clock;
        EmulatedHost host(cli_test::Scenario(c.scenario), clock);
        CSequenceObserver observer;
        FlashJob job;
        job.strImage = image.Path();
        job.chDrive = 'D';
        job.nBlocks = c.imageBytes / 61440 + 1;
        job.pHost = &host;
        job.pClock = &clock;
        job.pObserver = &observer;
        job.afterFinalBlock = [&observer] { observer.steps.push_back("sync"); };
        RunFlashJob(job);
        ASSERT_GE(observer.steps.size(), c.expected.size());
        const std::vector<std::string> tail(observer.steps.end() - static_cast<long>(c.expected.size()),
                                            observer.steps.end());
        EXPECT_EQ(tail, c.expected);
        EXPECT_EQ(std::count(observer.steps.begin(), observer.steps.end(), "sync"), c.expected.size() == 4 ? 1 : 0);
    }
}
