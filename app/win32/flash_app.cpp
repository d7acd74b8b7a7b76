#include "app/win32/flash_app.h"

#include "app/options.h"
#include "app/win32/about_dlg.h"
#include "app/win32/app_message.h"
#include "app/win32/main_frame.h"
#include "res/resource.h"

CFlashApp theApp;

bool CFlashApp::InitInstance()
{
    // The common-controls manifest gives the controls their 3-D look.
    INITCOMMONCONTROLSEX icc = {sizeof icc, ICC_BAR_CLASSES | ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&icc);

    // The name the caption and the message boxes use, from the string table.
    ParseFlashOptions(GetAppName());

    std::string strError;
    if (!ChooseHost(m_hostChoice, strError)) {
        ShowAppMessage(nullptr, strError);
        m_nExitCode = 1;
        return false;
    }

    m_pMainWnd = std::make_unique<CMainFrame>(m_hostChoice.stack.Host(), m_hostChoice.stack.IsEmulated());
    // A frame that could not be created would leave a process with no window
    // running a message loop forever; end instead.
    if (!m_pMainWnd->LoadFrame(IDR_MAINFRAME, kFrameStyle)) {
        m_pMainWnd.reset();
        m_nExitCode = 1;
        return false;
    }
    // SW_SHOW, not the show command the process was started with.
    ShowWindow(m_pMainWnd->GetSafeHwnd(), SW_SHOW);
    UpdateWindow(m_pMainWnd->GetSafeHwnd());
    return true;
}

bool CFlashApp::OnCmdMsg(UINT nID, int nCode)
{
    if (nID == ID_APP_ABOUT && nCode == 0) {
        ShowAboutBox(m_pMainWnd ? m_pMainWnd->GetSafeHwnd() : nullptr);
        return true;
    }
    return CShellApp::OnCmdMsg(nID, nCode);
}
