// A flash run's hold on its drive, and the machine kept awake while it
// writes, through the whole tool on the emulated host (whose drives lock as
// the CD-ROM class driver's do).
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "device/emulated/emulated_host.h"
#include "run/exit_codes.h"
#include "tests/cli_test_support.h"
#include "tests/emulated_host_probe.h"
#include "tests/probe_host.h"
#include "tests/temp_image.h"

using cli_test::Scenario;

namespace {

// What each thread asked of its sleep inhibitors: +1 awake, -1 sleep.
struct SleepBalance {
    std::mutex mutex;
    std::map<std::thread::id, int> byThread;
    int nKeepAwake = 0;

    class CInhibitor final : public ISleepInhibitor {
    public:
        explicit CInhibitor(SleepBalance& balance) : m_balance(balance) {}
        void KeepAwake() override { Add(+1); }
        void AllowSleep() override { Add(-1); }

    private:
        void Add(int step)
        {
            std::lock_guard<std::mutex> lock(m_balance.mutex);
            m_balance.byThread[std::this_thread::get_id()] += step;
            m_balance.nKeepAwake += step > 0;
        }
        SleepBalance& m_balance;
    };
};

}  // namespace

// The busy drive was not asked its identity: with --expect-identity too, its
// run says it is busy rather than skip it as another device.
TEST(CliExclusive, AllFlashesTheFreeDevicesAwakeOnTheirOwnThreadsAndLeavesTheBusyOneAlone)
{
    for (const std::vector<std::string>& extra :
         {std::vector<std::string>{}, {"--expect-identity", "KTDEV KT3916 FLASHER"}}) {
        SCOPED_TRACE(extra.empty() ? "--all" : "--all --expect-identity");
        TempImage image(PatternImage(524288, 32));
        ManualClock clock;
        RecordedHost host(Scenario("devices=3,reboot_ms=0"), clock);
        ExclusiveAccess access;
        host.OpenDeviceExclusive("\\\\.\\E:", access);
        SleepBalance sleep;
        std::vector<std::string> args = {"flash", image.Path(), "--all"};
        args.insert(args.end(), extra.begin(), extra.end());
        const auto run = cli_test::RunTool(args, &host, &clock, nullptr, false, {},
                                           [&sleep]() { return std::make_unique<SleepBalance::CInhibitor>(sleep); });
        EXPECT_EQ(run.exit, kExitSomeFailed) << run.err;
        EXPECT_NE(run.err.find("E: device busy: in use by another program (emulated)"), std::string::npos) << run.err;
        EXPECT_EQ(Inspect(host).Device(0).LastImage().size(), 524288u);
        EXPECT_EQ(Inspect(host).Device(2).LastImage().size(), 524288u);
        for (const TranscriptRecord& r : host.Records())
            EXPECT_NE(r.drive, 'E');
        EXPECT_EQ(sleep.nKeepAwake, 2) << "the busy drive's run writes nothing and keeps nothing awake";
        EXPECT_EQ(sleep.byThread.size(), 2u);
        for (const auto& [thread, balance] : sleep.byThread)
            EXPECT_EQ(balance, 0) << "the state is each thread's own";
    }
}

TEST(CliExclusive, ADriveHeldOnlyForAMomentIsWaitedFor)
{
    for (const auto& [heldMs, exit] : {std::pair{4500, kExitSuccess}, std::pair{5500, kExitDeviceBusy}}) {
        SCOPED_TRACE(heldMs);
        TempImage image(PatternImage(524288, 36));
        ManualClock deviceClock;
        RecordedHost host(Scenario("reboot_ms=0"), deviceClock);
        ExclusiveAccess access;
        const HostHandle other = host.OpenDeviceExclusive("\\\\.\\D:", access);
        cli_test::CMarkClock clock(heldMs, [&]() { host.CloseDevice(other); });
        const auto run = cli_test::RunTool({"flash", image.Path()}, &host, &clock);
        EXPECT_EQ(run.exit, exit) << run.err;
    }
}

TEST(CliExclusive, WhereNoDriveCanBeHeldTheToolSaysSoOnceAndFlashes)
{
    // The probe host has no exclusive access of its own; the ASPI layer none at all.
    for (const auto& [scenario, bProbe, drives] :
         {std::tuple{"devices=2,reboot_ms=0", true, "D:, E:\n"}, std::tuple{"win9x=1,reboot_ms=0", false, "D:\n"}}) {
        SCOPED_TRACE(scenario);
        TempImage image(PatternImage(524288, 33));
        ManualClock clock;
        RecordedHost emulated(Scenario(scenario), clock);
        ProbeHost probe(emulated);
        const auto run = cli_test::RunTool({"flash", image.Path(), "--all"},
                                           bProbe ? static_cast<IScsiHost*>(&probe) : &emulated, &clock);
        EXPECT_EQ(run.exit, kExitSuccess) << run.err;
        const std::string notice = "exclusive access is not available on this system; other programs may still "
                                   "send commands to ";
        EXPECT_NE(run.err.find(notice + drives), std::string::npos) << run.err;
        EXPECT_EQ(run.err.find(notice), run.err.rfind(notice)) << "once";
    }
}
