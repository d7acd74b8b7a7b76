// A flash run's hold on its drive, and the machine kept awake while it
// writes, through the whole tool on the emulated host (whose drives lock as
// the CD-ROM class driver's do).
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "cli/exit_codes.h"
#include "device/emulated/emulated_host.h"
#include "device/emulated/scenario.h"
#include "tests/cli_test_support.h"
#include "tests/probe_host.h"
#include "tests/temp_image.h"

namespace {

EmulatorScenario Scenario(const char* text) {
    EmulatorScenario scenario;
    std::string error;
    EXPECT_TRUE(ParseScenario(text, scenario, error)) << error;
    return scenario;
}

int CommandsTo(const EmulatedHost& host, char drive) {
    int n = 0;
    for (const TranscriptRecord& r : host.Records()) n += r.drive == drive;
    return n;
}

size_t Occurrences(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

// Every call of every inhibitor the tool made, with the thread it came on.
class CSleepLog {
public:
    struct Call {
        int inhibitor;
        std::string what;
        std::thread::id thread;
    };

    std::function<std::unique_ptr<ISleepInhibitor>()> Factory() {
        return [this]() {
            std::lock_guard<std::mutex> lock(m_mutex);
            return std::make_unique<CLoggedInhibitor>(*this, m_nMade++);
        };
    }
    std::vector<Call> Calls() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_calls;
    }

private:
    class CLoggedInhibitor final : public ISleepInhibitor {
    public:
        CLoggedInhibitor(CSleepLog& log, int id) : m_log(log), m_id(id) {}
        void KeepAwake() override { m_log.Add(m_id, "awake"); }
        void AllowSleep() override { m_log.Add(m_id, "sleep"); }

    private:
        CSleepLog& m_log;
        int m_id;
    };
    void Add(int id, const char* what) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_calls.push_back({id, what, std::this_thread::get_id()});
    }

    std::mutex m_mutex;
    int m_nMade = 0;
    std::vector<Call> m_calls;
};

// A manual clock that lets another program's hold go when time first
// reaches a mark.
class CReleasingClock final : public IClock {
public:
    CReleasingClock(uint64_t markMs, std::function<void()> release) : m_markMs(markMs), m_release(release) {}
    uint64_t NowMs() override { return m_nowMs; }
    void SleepMs(uint32_t milliseconds) override {
        m_nowMs += milliseconds;
        if (m_release && m_nowMs >= m_markMs) std::exchange(m_release, nullptr)();
    }

private:
    std::atomic<uint64_t> m_nowMs{0};
    uint64_t m_markMs;
    std::function<void()> m_release;
};

cli_test::CliRun RunWithSleepLog(const std::vector<std::string>& args, IScsiHost& host, CSleepLog& sleep) {
    ManualClock clock;
    std::ostringstream out;
    std::ostringstream err;
    CliEnvironment env;
    env.pOut = &out;
    env.pErr = &err;
    env.pClock = &clock;
    env.pHost = &host;
    env.makeSleepInhibitor = sleep.Factory();
    cli_test::CliRun run;
    run.exit = RunCli(args, env);
    run.out = out.str();
    run.err = err.str();
    return run;
}

}  // namespace

TEST(CliExclusive, ADriveAnotherProgramHoldsIsBusyAndGetsNoCommand) {
    TempImage image(PatternImage(524288, 31));
    ManualClock clock;
    EmulatedHost host(Scenario(""), clock);
    ExclusiveAccess access;
    const HostHandle other = host.OpenDeviceExclusive("\\\\.\\D:", access);
    ASSERT_EQ(access, ExclusiveAccess::Held);

    const auto plain = cli_test::RunTool({"flash", image.Path()}, &host, &clock);
    EXPECT_EQ(plain.exit, kExitDeviceBusy) << plain.err;
    EXPECT_NE(plain.err.find("D: device busy: in use by another program (emulated)\nD: nothing was written"),
              std::string::npos)
        << plain.err;
    const auto json = cli_test::RunTool({"flash", image.Path(), "--json"}, &host, &clock);
    EXPECT_EQ(json.exit, kExitDeviceBusy);
    EXPECT_NE(json.out.find("\"result\":\"device-busy\",\"exit_code\":11"), std::string::npos) << json.out;
    EXPECT_NE(json.out.find("\"notes\":[\"device busy: in use by another program (emulated)\""), std::string::npos)
        << json.out;
    EXPECT_EQ(json.out.find("\"event\":\"start\""), std::string::npos) << json.out;
    EXPECT_TRUE(host.Records().empty()) << "not even an INQUIRY";

    host.CloseDevice(other);
    const auto again = cli_test::RunTool({"flash", image.Path()}, &host, &clock);
    EXPECT_NE(again.exit, kExitDeviceBusy) << "free again once the other program lets go";
}

TEST(CliExclusive, ADriveHeldOnlyForAMomentIsWaitedForAndFlashed) {
    struct Case {
        uint64_t heldMs;
        int exit;
    };
    for (const Case& c : {Case{1500, kExitSuccess}, Case{2500, kExitDeviceBusy}}) {
        SCOPED_TRACE(c.heldMs);
        TempImage image(PatternImage(524288, 36));
        ManualClock deviceClock;
        EmulatedHost host(Scenario("reboot_ms=0"), deviceClock);
        ExclusiveAccess access;
        const HostHandle other = host.OpenDeviceExclusive("\\\\.\\D:", access);
        CReleasingClock clock(c.heldMs, [&]() { host.CloseDevice(other); });
        std::ostringstream out;
        std::ostringstream err;
        CliEnvironment env;
        env.pOut = &out;
        env.pErr = &err;
        env.pClock = &clock;
        env.pHost = &host;
        EXPECT_EQ(RunCli({"flash", image.Path()}, env), c.exit) << err.str();
    }
}

TEST(CliExclusive, AllFlashesTheFreeDevicesAndNamesTheBusyOne) {
    TempImage image(PatternImage(524288, 32));
    ManualClock clock;
    EmulatedHost host(Scenario("devices=3,reboot_ms=0"), clock);
    ExclusiveAccess access;
    host.OpenDeviceExclusive("\\\\.\\E:", access);

    const auto run = cli_test::RunTool({"flash", image.Path(), "--all"}, &host, &clock);
    EXPECT_EQ(run.exit, kExitSomeFailed) << run.err;
    EXPECT_NE(run.out.find("E:     device-busy"), std::string::npos) << run.out;
    EXPECT_NE(run.err.find("E: device busy: in use by another program"), std::string::npos) << run.err;
    EXPECT_EQ(host.Device(0).LastImage().size(), 524288u);
    EXPECT_EQ(CommandsTo(host, 'E'), 0);
    EXPECT_EQ(host.Device(2).LastImage().size(), 524288u);
}

TEST(CliExclusive, WhereNoDriveCanBeHeldTheToolSaysSoOnceAndFlashes) {
    struct Case {
        const char* name;
        const char* scenario;
        bool bProbe;  // the probe host has no exclusive access of its own
        const char* notice;
    };
    const Case cases[] = {
        {"a system without the lock", "devices=2,reboot_ms=0", true, "to D:, E:\n"},
        {"the ASPI layer of Windows 9x", "win9x=1,reboot_ms=0", false, "to D:\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempImage image(PatternImage(524288, 33));
        ManualClock clock;
        EmulatedHost emulated(Scenario(c.scenario), clock);
        ProbeHost probe(emulated);
        IScsiHost& host = c.bProbe ? static_cast<IScsiHost&>(probe) : emulated;
        const auto run = cli_test::RunTool({"flash", image.Path(), "--all"}, &host, &clock);
        EXPECT_EQ(run.exit, kExitSuccess) << run.err;
        const std::string notice =
            "kt3916flash-cli: exclusive access is not available on this system; other programs may still send "
            "commands ";
        EXPECT_EQ(Occurrences(run.err, notice), 1u) << run.err;
        EXPECT_NE(run.err.find(notice + c.notice), std::string::npos) << run.err;
    }
}

TEST(CliExclusive, EachFormKeepsTheMachineAwakeOnItsOwnThreadFromTransferToVerification) {
    struct Case {
        const char* name;
        const char* scenario;
        std::vector<std::string> args;
        int forms;
        int exit;
    };
    const Case cases[] = {
        {"success", "reboot_ms=0", {}, 1, kExitSuccess},
        {"refused block", "fail_block=2", {}, 1, kExitSendFailure},
        {"no return", "never_return=1", {}, 1, kExitNoReturn},
        {"--all", "devices=2,reboot_ms=0", {"--all"}, 2, kExitSuccess},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempImage image(PatternImage(524288, 34));
        ManualClock clock;
        EmulatedHost host(Scenario(c.scenario), clock);
        CSleepLog sleep;
        std::vector<std::string> args = {"flash", image.Path()};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const auto run = RunWithSleepLog(args, host, sleep);
        EXPECT_EQ(run.exit, c.exit) << run.err;

        std::map<int, std::vector<CSleepLog::Call>> byForm;
        for (const CSleepLog::Call& call : sleep.Calls()) byForm[call.inhibitor].push_back(call);
        ASSERT_EQ(byForm.size(), static_cast<size_t>(c.forms));
        for (const auto& [form, calls] : byForm) {
            ASSERT_EQ(calls.size(), 2u) << form;
            EXPECT_EQ(calls[0].what, "awake");
            EXPECT_EQ(calls[1].what, "sleep");
            EXPECT_EQ(calls[0].thread, calls[1].thread) << "the execution state belongs to one thread";
        }
    }

    // Nothing to write, nothing to keep awake for.
    TempImage image(PatternImage(524288, 35));
    ManualClock clock;
    EmulatedHost host(Scenario(""), clock);
    ExclusiveAccess access;
    host.OpenDeviceExclusive("\\\\.\\D:", access);
    CSleepLog sleep;
    EXPECT_EQ(RunWithSleepLog({"flash", image.Path()}, host, sleep).exit, kExitDeviceBusy);
    EXPECT_TRUE(sleep.Calls().empty());
}
