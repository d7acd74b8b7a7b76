#pragma once
#include <memory>
#include <string>

#include "app/win32/flash_form_wnd.h"
#include "app/win32/status_bar.h"
#include "app/win32/win32_include.h"
#include "device/host.h"

// Style the frame is loaded with: WS_OVERLAPPEDWINDOW plus 0x8000, a flag
// asking for the title to be composed; the system ignores it on a top-level
// window.
constexpr DWORD kFrameStyle = 0xCF8000;
constexpr DWORD kStatusBarStyle = 0x50008200;  // WS_CHILD | WS_VISIBLE, docked at the bottom

// The main window: a fixed-size frame with the menu and accelerators of
// IDR_MAINFRAME, the flash form as its one pane and a status bar below it.
class CMainFrame {
public:
    // bEmulated: the host is the emulated bench, and the caption says so.
    CMainFrame(IScsiHost& host, bool bEmulated);
    ~CMainFrame();

    // Creates the window with the menu and accelerators of resource nIDResource
    // and, once it exists, gives the form its initial update; the window is
    // still hidden then. False when the window could not be created.
    bool LoadFrame(UINT nIDResource, DWORD dwStyle);

    HWND GetSafeHwnd() const { return m_hWnd; }

    // Accelerators first, then the form's dialog keys. True when the message
    // has been dealt with.
    bool PreTranslateMessage(MSG& msg);
    // Runs when the message queue has run dry.
    void OnIdle();

private:
    int OnCreate(const CREATESTRUCTW& cs);
    static LRESULT CALLBACK WindowProc(HWND hWnd, UINT nMessage, WPARAM wParam, LPARAM lParam);
    LRESULT HandleMessage(UINT nMessage, WPARAM wParam, LPARAM lParam);
    void RecalcLayout();

    CStatusBarWnd m_wndStatusBar;
    std::unique_ptr<CFlashFormWnd> m_pFlashView;  // the pane; its window is a child of the frame's
    IScsiHost& m_host;
    bool m_bEmulated;
    HWND m_hWnd = nullptr;
    HACCEL m_hAccelTable = nullptr;
};
