#pragma once
#include <memory>
#include <string>

#include "app/win32/win32_include.h"
#include "form/flash_view.h"
#include "form/form_window.h"
#include "device/host.h"
#include "device/sleep_inhibitor.h"

// The window of the flash form: a child dialog made from the template
// IDD_FLASH_FORM, its controls bound by id, hosting the form's behaviour
// (CFlashView) and giving it the real controls, timers and message boxes.
class CFlashFormWnd final : public IFormWindow {
public:
    explicit CFlashFormWnd(IScsiHost& host);
    ~CFlashFormWnd() override;

    // Creates the dialog as child nID of hParent and binds its controls.
    // False when the template or one of its bound controls is missing.
    bool Create(HWND hParent, UINT nIDTemplate, UINT nID);
    // The start-up survey; once, before the main window is first shown.
    void OnInitialUpdate();
    // A menu or accelerator command routed from the frame. True when handled.
    bool OnCmdMsg(UINT nID, int nCode);
    // Dialog keyboard handling (tab, Enter on the default button).
    bool PreTranslateMessage(MSG& msg);
    HWND GetSafeHwnd() const { return m_hWnd; }

    // IFormWindow
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

private:
    static INT_PTR CALLBACK DialogProc(HWND hWnd, UINT nMessage, WPARAM wParam, LPARAM lParam);
    bool BindControls();

    IScsiHost& m_host;
    std::unique_ptr<ISleepInhibitor> m_pSleepInhibitor;  // outlives the view, which may still hold it
    HWND m_hWnd = nullptr;
    HWND m_cbDeviceList = nullptr;
    HWND m_stStatus = nullptr;
    HWND m_prgProgress = nullptr;
    HWND m_btnFlash = nullptr;
    HWND m_edChecksum = nullptr;
    HWND m_edFilePath = nullptr;
    HWND m_edDeviceVer = nullptr;
    HWND m_edSpare = nullptr;  // bound, never written or read
    std::unique_ptr<CFlashView> m_pView;
};
