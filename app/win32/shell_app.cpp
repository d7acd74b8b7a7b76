#include "app/win32/shell_app.h"

#include "app/options.h"
#include "app/win32/about_dlg.h"
#include "app/win32/app_message.h"
#include "app/win32/main_frame.h"
#include "res/app_name.h"
#include "res/resource.h"

namespace {
CShellApp theApp;

// Messages after which the idle work (status-bar indicators) need not run
// again: they change nothing the idle work looks at and come often.
bool IsIdleMessage(const MSG& msg)
{
    return msg.message != WM_PAINT && msg.message != WM_TIMER && msg.message != 0x0118 /* WM_SYSTIMER */;
}
}  // namespace

CShellApp* CShellApp::GetApp()
{
    return &theApp;
}

bool CShellApp::InitInstance()
{
    // The common-controls manifest gives the controls their 3-D look.
    INITCOMMONCONTROLSEX icc = {sizeof icc, ICC_BAR_CLASSES | ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&icc);

    // The name the caption and the message boxes use, from the string table.
    ParseFlashOptions(GetProcessCommandLine(), GetAppName());

    std::string strError;
    if (!ChooseHost(m_hostChoice, strError)) {
        ShowAppMessage(nullptr, strError);
        return false;
    }

    m_pMainWnd = std::make_unique<CMainFrame>(m_hostChoice.stack.Host(), m_hostChoice.stack.IsEmulated());
    // A frame that could not be created would leave a process with no window
    // running a message loop forever; end instead.
    if (!m_pMainWnd->LoadFrame(IDR_MAINFRAME, kFrameStyle)) {
        m_pMainWnd.reset();
        return false;
    }
    // SW_SHOW, not the show command the process was started with.
    ShowWindow(m_pMainWnd->GetSafeHwnd(), SW_SHOW);
    UpdateWindow(m_pMainWnd->GetSafeHwnd());
    return true;
}

bool CShellApp::OnCmdMsg(UINT nID, int nCode)
{
    if (nID != ID_APP_ABOUT || nCode != 0)
        return false;
    ShowAboutBox(m_pMainWnd ? m_pMainWnd->GetSafeHwnd() : nullptr);
    return true;
}

int CShellApp::Run(HINSTANCE hInstance)
{
    m_hInstance = hInstance;
    char szTitle[256] = {};
    if (LoadStringA(hInstance, AFX_IDS_APP_TITLE, szTitle, sizeof szTitle) > 0)
        m_strAppName = szTitle;
    else
        m_strAppName = KT_APP_NAME;

    if (!InitInstance())
        return 1;

    MSG msg = {};
    bool bIdle = true;
    int nExitCode = 1;
    for (;;) {
        if (bIdle && !PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE)) {
            if (m_pMainWnd)
                m_pMainWnd->OnIdle();
            bIdle = false;
        }
        BOOL bResult = GetMessageW(&msg, nullptr, 0, 0);
        if (bResult == 0) {
            nExitCode = static_cast<int>(msg.wParam);
            break;
        }
        if (bResult == -1)
            break;
        if (!m_pMainWnd || !m_pMainWnd->PreTranslateMessage(msg)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        if (IsIdleMessage(msg))
            bIdle = true;
    }
    // The frame and its form go while the host they use still exists.
    m_pMainWnd.reset();
    return nExitCode;
}
