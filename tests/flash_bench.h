#pragma once
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "app/options.h"
#include "base/clock.h"
#include "device/command_set.h"
#include "device/emulated/emulated_host.h"
#include "form/flash_view.h"
#include "probe_host.h"
#include "recording_window.h"
#include "tests/emulated_host_probe.h"

// One form on an emulated bench: the recording window, the emulated devices
// behind a probe, and a manual clock that moves only when a timer is fired.
class FlashBench : public ::testing::Test {
protected:
    void SetUp() override { ResetOptions(); }
    void TearDown() override { ResetOptions(); }

    static void ResetOptions()
    {
        g_strImagePath.clear();
        g_strDriveSpec.clear();
        g_bAutoFlash = 0;
        g_strOptionText.clear();
        g_nVerifyTicks = 0;
    }

    void MakeBench(const EmulatorScenario& scenario = EmulatorScenario{})
    {
        m_pView.reset();
        m_pProbe.reset();
        m_pEmulated = std::make_unique<RecordedHost>(scenario, m_clock);
        m_pProbe = std::make_unique<ProbeHost>(*m_pEmulated);
        m_pView = std::make_unique<CFlashView>(m_window, *m_pProbe, m_pSleepInhibitor, m_pObserver);
    }

    // The form goes away, as when its window is closed.
    void DestroyView() { m_pView.reset(); }

    CFlashView& View() { return *m_pView; }
    RecordedHost& Emulated() { return *m_pEmulated; }
    ProbeHost& Probe() { return *m_pProbe; }

    // Every command the emulated devices received so far.
    std::vector<TranscriptRecord> Records() const { return m_pEmulated->Records(); }
    size_t RecordCount() const { return m_pEmulated->Records().size(); }
    // The commands received from index first on.
    std::vector<TranscriptRecord> RecordsSince(size_t first) const
    {
        std::vector<TranscriptRecord> all = m_pEmulated->Records();
        if (first >= all.size())
            return {};
        return std::vector<TranscriptRecord>(all.begin() + static_cast<std::ptrdiff_t>(first), all.end());
    }

    void FireStartTick()
    {
        ASSERT_TRUE(m_window.TimerArmed(IDT_START_DOWNLOAD));
        EXPECT_EQ(m_window.m_timers[IDT_START_DOWNLOAD], kStartDownloadPeriodMs);
        m_clock.Advance(kStartDownloadPeriodMs);
        m_pView->OnTimer(IDT_START_DOWNLOAD);
    }

    void FireVerifyTick()
    {
        ASSERT_TRUE(m_window.TimerArmed(IDT_VERIFY));
        EXPECT_EQ(m_window.m_timers[IDT_VERIFY], kVerifyPeriodMs);
        m_clock.Advance(kVerifyPeriodMs);
        m_pView->OnTimer(IDT_VERIFY);
    }

    // Fires verification ticks until the form kills the timer (at most
    // limit); the number of ticks fired.
    int RunVerifyTicks(int limit = 100)
    {
        int fired = 0;
        while (m_window.TimerArmed(IDT_VERIFY) && fired < limit) {
            FireVerifyTick();
            ++fired;
        }
        return fired;
    }

    ManualClock m_clock;
    RecordingWindow m_window;
    ISleepInhibitor* m_pSleepInhibitor = nullptr;  // for the forms MakeBench makes
    IFlashViewObserver* m_pObserver = nullptr;     // likewise

private:
    std::unique_ptr<RecordedHost> m_pEmulated;
    std::unique_ptr<ProbeHost> m_pProbe;
    std::unique_ptr<CFlashView> m_pView;
};

inline std::string CdbHex(const TranscriptRecord& record)
{
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (uint8_t b : record.cdb) {
        text += digits[b >> 4];
        text += digits[b & 0xF];
    }
    return text;
}

inline std::vector<TranscriptRecord> WithOpcode(const std::vector<TranscriptRecord>& records, uint8_t opcode)
{
    std::vector<TranscriptRecord> matching;
    for (const TranscriptRecord& record : records) {
        if (record.cdb[0] == opcode)
            matching.push_back(record);
    }
    return matching;
}
