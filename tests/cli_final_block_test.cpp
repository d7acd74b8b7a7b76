// What a flash job runs once the device took the final block: the moment
// the transcript goes to the disk, before the device restarts.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "device/emulated/emulated_host.h"
#include "run/flash_job.h"
#include "tests/cli_test_support.h"
#include "tests/temp_image.h"

namespace {

// The run as "block N/M", "tick" (once) and "result", in order.
struct CSequenceObserver final : IFlashObserver {
    std::vector<std::string> steps;
    void OnFlashEvent(const FlashEvent& event, const FlashRecord&, uint64_t) override
    {
        if (event.kind == FlashEventKind::Block)
            steps.push_back("block " + std::to_string(event.nIndex) + "/" + std::to_string(event.nTotal));
        else if (event.kind == FlashEventKind::Tick && steps.back() != "tick")
            steps.push_back("tick");
        else if (event.kind == FlashEventKind::Result)
            steps.push_back("result");
    }
};

}  // namespace

TEST(FlashJobFinalBlock, RunsOnceBetweenTheFinalBlockAndTheRestartOnly)
{
    const struct {
        const char* scenario;
        uint32_t imageBytes;
        std::vector<std::string> steps;  // from the block before the end
    } cases[] = {
        {"", 1048576, {"block 17/18", "block 18/18", "sync", "tick", "result"}},
        // A refused final block starts no restart: nothing to keep from it.
        {"fail_block=8", 524288, {"block 7/9", "block 8/9", "result"}},
    };
    for (const auto& c : cases) {
        TempImage image(PatternImage(c.imageBytes, 7));
        ManualClock clock;
        EmulatedHost host(cli_test::Scenario(c.scenario), clock);
        CSequenceObserver observer;
        CliOptions options;
        options.strImage = image.Path();
        CliEnvironment env;
        FlashJob job;
        job.pOptions = &options;
        job.pEnv = &env;
        job.chDrive = 'D';
        job.pHost = &host;
        job.pClock = &clock;
        job.pObserver = &observer;
        job.hooks.afterFinalBlock = [&observer] { observer.steps.push_back("sync"); };
        RunFlashJob(job);
        ASSERT_GE(observer.steps.size(), c.steps.size());
        EXPECT_EQ(
            std::vector<std::string>(observer.steps.end() - static_cast<long>(c.steps.size()), observer.steps.end()),
            c.steps)
            << c.scenario;
    }
}
