#pragma once
#include <memory>
#include <string>

#include "app/win32/host_choice.h"
#include "app/win32/win32_include.h"

class CMainFrame;

// The process's one application object. WinMain hands control to Run, which
// starts the program once and, when that succeeds, runs the message loop
// until the main window has been closed.
class CShellApp {
public:
    CShellApp() = default;
    CShellApp(const CShellApp&) = delete;
    CShellApp& operator=(const CShellApp&) = delete;

    static CShellApp* GetApp();

    // Returns the process exit code.
    int Run(HINSTANCE hInstance);

    // Last stop of a menu or accelerator command that neither the form nor
    // the frame handled: the about command. True when handled.
    bool OnCmdMsg(UINT nID, int nCode);

    HINSTANCE GetInstance() const { return m_hInstance; }
    // The application title (string AFX_IDS_APP_TITLE): message-box captions
    // and the frame caption.
    const std::string& GetAppName() const { return m_strAppName; }

private:
    // The options, the host and the main window; false when the program
    // cannot start (the reason has been shown).
    bool InitInstance();

    // Declared before the frame, so the frame goes first.
    CHostChoice m_hostChoice;
    std::unique_ptr<CMainFrame> m_pMainWnd;
    HINSTANCE m_hInstance = nullptr;
    std::string m_strAppName;
};
