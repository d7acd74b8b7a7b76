#pragma once
#include <atomic>
#include <map>
#include <string>
#include <vector>

#include "cli/flash_events.h"
#include "cli/interrupt.h"
#include "console/flash_outcome.h"
#include "console/form_window.h"
#include "device/clock.h"

class CFlashView;

// The flash form's window in a terminal: the controls are plain values, the
// timers run in a small event loop on a clock, and a message box is reported
// and closed at once, never waiting for anyone. What the form reports it did
// fills the run's record and goes on to an observer as events.
class CTerminalFormWindow final : public IFormWindow, public IFlashViewObserver {
public:
    CTerminalFormWindow(IClock& clock, FlashRecord& record, IFlashObserver* observer, CInterruptFlag* interrupt);
    ~CTerminalFormWindow() override;
    CTerminalFormWindow(const CTerminalFormWindow&) = delete;
    CTerminalFormWindow& operator=(const CTerminalFormWindow&) = delete;

    void InsertDeviceItem(int index, const std::string& text) override;
    void SetDeviceSelection(int index) override;
    int GetDeviceSelection() override;
    void EnableDeviceList(bool enable) override;
    void SetStatusText(const std::string& text) override;
    void SetDeviceVersionText(const std::string& text) override;
    void SetFilePathText(const std::string& text) override;
    void SetChecksumText(const std::string& text) override;
    void EnableFlashButton(bool enable) override;
    void ProgressSetRange(uint16_t minimum, uint16_t maximum) override;
    void ProgressSetPos(int position) override;
    void ProgressSetStep(int step) override;
    void ProgressStepIt() override;
    void SetTimer(unsigned id, unsigned periodMs) override;
    void KillTimer(unsigned id) override;
    void MessageBox(const std::string& text) override;

    void OnTransferStarted(const BlockPlan& plan, uint16_t nChecksum) override;
    void OnDownloadModeSent() override;
    void OnBlockWritten(uint32_t nBlock, bool bAccepted) override;
    void OnVerifyTick(const VerifyTick& tick) override;
    void OnFinished(FlashOutcome outcome, const std::string& strRevision) override;

    enum class RunEnd {
        Idle,
        Interrupted
    };
    // Serves the timers until none is left (the form is done) or an
    // interrupt is seen outside the transfer, which is never cut.
    RunEnd Run(CFlashView& view);

    // Longest single wait, so an interrupt is seen promptly.
    static constexpr uint32_t kWaitSliceMs = 100;

    const std::vector<std::string>& DeviceItems() const { return m_deviceItems; }
    const std::string& StatusText() const { return m_strStatus; }
    const std::string& DeviceVersionText() const { return m_strVersion; }
    const std::string& FilePathText() const { return m_strFilePath; }
    const std::string& ChecksumText() const { return m_strChecksum; }
    bool IsFlashEnabled() const { return m_bFlashEnabled; }
    bool HasTimer(unsigned id) const { return m_timers.count(id) != 0; }

private:
    struct Timer {
        unsigned periodMs;
        uint64_t dueMs;
    };
    void Emit(FlashEvent event);
    bool Interrupted() const { return m_pInterrupt && m_pInterrupt->IsRaised(); }
    // Says once that the interrupt waits for the transfer; on any thread.
    void AnnounceHeld();

    IClock& m_clock;
    FlashRecord& m_record;
    IFlashObserver* m_pObserver;
    CInterruptFlag* m_pInterrupt;
    int m_nListener = 0;
    uint64_t m_startMs;

    std::vector<std::string> m_deviceItems;
    int m_nSelection = -1;
    std::string m_strStatus = "Static";
    std::string m_strVersion;
    std::string m_strFilePath;
    std::string m_strChecksum;
    bool m_bFlashEnabled = true;
    std::map<unsigned, Timer> m_timers;

    // Inside the start tick's handler; read by the interrupt's listener,
    // which may run on another thread while a block command is under way.
    std::atomic<bool> m_bInTransfer{false};
    std::atomic<bool> m_bHeldAnnounced{false};
};
