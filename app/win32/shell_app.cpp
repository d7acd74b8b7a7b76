#include "app/win32/shell_app.h"

#include "app/win32/main_frame.h"
#include "res/app_name.h"
#include "res/resource.h"

namespace {
CShellApp* g_pApp = nullptr;

// Messages after which the idle work (status-bar indicators) need not run
// again: they change nothing the idle work looks at and come often.
bool IsIdleMessage(const MSG& msg)
{
    return msg.message != WM_PAINT && msg.message != WM_TIMER && msg.message != 0x0118 /* WM_SYSTIMER */;
}
}  // namespace

CShellApp::CShellApp()
{
    g_pApp = this;
}

CShellApp::~CShellApp()
{
    if (g_pApp == this)
        g_pApp = nullptr;
}

CShellApp* CShellApp::GetApp()
{
    return g_pApp;
}

bool CShellApp::OnCmdMsg(UINT, int)
{
    return false;
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
        return m_nExitCode;

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
