#pragma once
#include <memory>
#include <string>

#include "app/win32/win32_include.h"

class CMainFrame;

// The process's one application object. WinMain hands control to Run, which
// calls InitInstance once and, when it succeeds, runs the message loop until
// the main window has been closed.
class CShellApp {
public:
    CShellApp();
    virtual ~CShellApp();
    CShellApp(const CShellApp&) = delete;
    CShellApp& operator=(const CShellApp&) = delete;

    static CShellApp* GetApp();

    // Returns the process exit code.
    int Run(HINSTANCE hInstance);

    // Last stop of a menu or accelerator command that neither the form nor
    // the frame handled. True when handled.
    virtual bool OnCmdMsg(UINT nID, int nCode);

    HINSTANCE GetInstance() const { return m_hInstance; }
    // The application title (string AFX_IDS_APP_TITLE): message-box captions
    // and the frame caption.
    const std::string& GetAppName() const { return m_strAppName; }

protected:
    virtual bool InitInstance() = 0;

    std::unique_ptr<CMainFrame> m_pMainWnd;
    int m_nExitCode = 0;  // returned when InitInstance fails

private:
    HINSTANCE m_hInstance = nullptr;
    std::string m_strAppName;
};
