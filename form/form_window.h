#pragma once
#include <cstdint>
#include <string>

// What the flash form needs from the window that hosts it: the controls of
// its template, its window timers and modal message boxes. The Win32 shell,
// the command-line tool and the tests each provide one.
class IFormWindow {
public:
    virtual ~IFormWindow() = default;

    // The device list (a combo box): insert at an explicit position, select,
    // read the selection (-1 when none).
    virtual void InsertDeviceItem(int index, const std::string& text) = 0;
    virtual void SetDeviceSelection(int index) = 0;
    virtual int GetDeviceSelection() = 0;
    // A disabled list takes no new choice from the user.
    virtual void EnableDeviceList(bool enable) = 0;

    virtual void SetStatusText(const std::string& text) = 0;
    virtual void SetDeviceVersionText(const std::string& text) = 0;
    virtual void SetFilePathText(const std::string& text) = 0;
    virtual void SetChecksumText(const std::string& text) = 0;
    virtual void EnableFlashButton(bool enable) = 0;

    // Progress bar messages: PBM_SETRANGE, PBM_SETPOS, PBM_SETSTEP, PBM_STEPIT.
    virtual void ProgressSetRange(uint16_t minimum, uint16_t maximum) = 0;
    virtual void ProgressSetPos(int position) = 0;
    virtual void ProgressSetStep(int step) = 0;
    virtual void ProgressStepIt() = 0;

    // Window timers: after SetTimer, OnTimer(id) reaches the form every
    // periodMs until KillTimer.
    virtual void SetTimer(unsigned id, unsigned periodMs) = 0;
    virtual void KillTimer(unsigned id) = 0;

    // A modal box with one OK button; returns when it is closed.
    virtual void MessageBox(const std::string& text) = 0;
};
