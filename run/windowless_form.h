#pragma once
#include <atomic>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "base/clock.h"
#include "form/flash_outcome.h"
#include "form/form_window.h"
#include "run/flash_events.h"
#include "run/interrupt_flag.h"

class CFlashView;

// What a run does at two moments of its transfer, on the form's thread.
struct TransferHooks {
    // When the transfer starts, before the first command of it and before
    // the start event is heard: the unit's start is on the record first.
    // Returns the unit's id.
    std::function<std::string(const FlashRecord&)> onStart;
    // Once the device took the final block, before it restarts: the moment
    // a record of what was sent must reach the disk.
    std::function<void()> afterFinalBlock;
};

// The flash form run without a window, for a face that has none: the controls are plain values, the
// timers run in a small event loop on a clock, and a message box is reported
// and closed at once, never waiting for anyone. The form's events fill the
// run's record and go on, as they are, to an observer: all but the download
// mode's and the finish, which only the record keeps, and a block the device
// refused.
class CWindowlessForm final : public IFormWindow, public IFlashViewObserver {
public:
    CWindowlessForm(IClock& clock, FlashRecord& record, IFlashObserver* observer, CInterruptFlag* interrupt,
                    TransferHooks hooks = {});
    ~CWindowlessForm() override;
    CWindowlessForm(const CWindowlessForm&) = delete;
    CWindowlessForm& operator=(const CWindowlessForm&) = delete;

    void InsertDeviceItem(int index, const std::string& text) override;
    void SetDeviceSelection(int index) override;
    int GetDeviceSelection() override { return m_nSelection; }
    // Nobody picks from the list, reads the status, the path or the button,
    // or watches the bar: the device is chosen before the form runs, and the
    // events say how far the form is.
    void EnableDeviceList(bool) override {}
    void SetStatusText(const std::string&) override {}
    void SetDeviceVersionText(const std::string& text) override;
    void SetFilePathText(const std::string&) override {}
    void SetChecksumText(const std::string& text) override { m_record.strChecksum = text; }
    void EnableFlashButton(bool) override {}
    void ProgressSetRange(uint16_t, uint16_t) override {}
    void ProgressSetPos(int) override {}
    void ProgressSetStep(int) override {}
    void ProgressStepIt() override {}
    void SetTimer(unsigned id, unsigned periodMs) override;
    void KillTimer(unsigned id) override;
    void MessageBox(const std::string& text) override;

    void OnFlashEvent(const FlashEvent& event) override;

    enum class RunEnd {
        Idle,
        Interrupted
    };
    // Serves the timers until none is left (the form is done) or an
    // interrupt is seen outside the transfer, which is never cut.
    RunEnd Run(CFlashView& view);

    // Longest single wait, so an interrupt is seen promptly.
    static constexpr uint32_t kWaitSliceMs = 100;

private:
    struct Timer {
        unsigned periodMs;
        uint64_t dueMs;
    };
    void Emit(const FlashEvent& event);
    bool Interrupted() const { return m_pInterrupt && m_pInterrupt->IsRaised(); }
    // Says once that the interrupt waits for the transfer; on any thread.
    void AnnounceHeld();

    IClock& m_clock;
    FlashRecord& m_record;
    IFlashObserver* m_pObserver;
    CInterruptFlag* m_pInterrupt;
    TransferHooks m_hooks;
    int m_nListener = 0;
    uint64_t m_startMs;

    std::vector<std::string> m_deviceItems;
    int m_nSelection = -1;
    std::map<unsigned, Timer> m_timers;

    // Inside the start tick's handler; read by the interrupt's listener,
    // which may run on another thread while a block command is under way.
    std::atomic<bool> m_bInTransfer{false};
    std::atomic<bool> m_bHeldAnnounced{false};
};
