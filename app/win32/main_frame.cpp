#include "app/win32/main_frame.h"

#include "app/win32/frame_geometry.h"
#include "app/win32/menu_prompt.h"
#include "app/win32/resource_text.h"
#include "app/win32/shell_app.h"
#include "res/app_name.h"
#include "res/resource.h"

namespace {
const wchar_t kFrameClassName[] = L"KT3916FlashFrame";
const char kCaptionEmulatedMark[] = " [emulated]";

const UINT kIndicators[] = {
    ID_SEPARATOR,
    ID_INDICATOR_CAPS,
    ID_INDICATOR_NUM,
    ID_INDICATOR_SCRL,
};
}  // namespace

CMainFrame::CMainFrame(IScsiHost& host, bool bEmulated) : m_host(host), m_bEmulated(bEmulated) {}

CMainFrame::~CMainFrame()
{
    if (m_hWnd != nullptr)
        DestroyWindow(m_hWnd);
}

bool CMainFrame::LoadFrame(UINT nIDResource, DWORD dwStyle)
{
    HINSTANCE hInstance = CShellApp::GetApp()->GetInstance();
    // A plain class: no class style, cursor, background brush or icon.
    WNDCLASSW wc = {};
    if (!GetClassInfoW(hInstance, kFrameClassName, &wc)) {
        wc.lpfnWndProc = WindowProc;
        wc.hInstance = hInstance;
        wc.lpszClassName = kFrameClassName;
        if (RegisterClassW(&wc) == 0)
            return false;
    }
    std::wstring strTitle = LoadResourceString(hInstance, nIDResource);
    HMENU hMenu = LoadMenuW(hInstance, MAKEINTRESOURCEW(nIDResource));
    m_hAccelTable = LoadAcceleratorsW(hInstance, MAKEINTRESOURCEW(nIDResource));

    // The frame has one fixed size: no sizing border, and no sunken client edge.
    HWND hWnd =
        CreateWindowExW(0, kFrameClassName, strTitle.c_str(), dwStyle & ~static_cast<DWORD>(WS_THICKFRAME),
                        CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, nullptr, hMenu, hInstance, this);
    if (hWnd == nullptr) {
        // A window that failed in OnCreate took its menu with it.
        if (hMenu != nullptr && IsMenu(hMenu))
            DestroyMenu(hMenu);
        return false;
    }
    // The survey runs here, before the window is first shown, so its message
    // boxes come up ahead of the window.
    if (m_pFlashView)
        m_pFlashView->OnInitialUpdate();
    return true;
}

int CMainFrame::OnCreate(const CREATESTRUCTW&)
{
    // "Update success!!" from the emulated bench must not pass for a
    // device's: the caption says which one the window talks to.
    std::string strCaption = CShellApp::GetApp()->GetAppName() + " V" + KT_APP_VERSION_TEXT;
    if (m_bEmulated)
        strCaption += kCaptionEmulatedMark;
    SetWindowTextA(m_hWnd, strCaption.c_str());

    // Without a form the frame still comes up; it just has nothing to show.
    auto pFlashView = std::make_unique<CFlashFormWnd>(m_host);
    if (pFlashView->Create(m_hWnd, IDD_FLASH_FORM, AFX_IDW_PANE_FIRST))
        m_pFlashView = std::move(pFlashView);
    RecalcLayout();

    if (!m_wndStatusBar.Create(m_hWnd, kStatusBarStyle, AFX_IDW_STATUS_BAR) ||
        !m_wndStatusBar.SetIndicators(kIndicators, sizeof kIndicators / sizeof kIndicators[0]))
        return -1;
    m_wndStatusBar.SetMessageText(AFX_IDS_IDLEMESSAGE);
    return 0;
}

void CMainFrame::RecalcLayout()
{
    m_wndStatusBar.RecalcLayout();
    if (!m_pFlashView)
        return;
    RECT rc = {};
    GetClientRect(m_hWnd, &rc);
    int nHeight = rc.bottom - m_wndStatusBar.GetHeight();
    MoveWindow(m_pFlashView->GetSafeHwnd(), 0, 0, rc.right, nHeight > 0 ? nHeight : 0, TRUE);
}

bool CMainFrame::PreTranslateMessage(MSG& msg)
{
    if (m_hWnd == nullptr)
        return false;
    if (m_hAccelTable != nullptr && msg.message >= WM_KEYFIRST && msg.message <= WM_KEYLAST &&
        (msg.hwnd == m_hWnd || IsChild(m_hWnd, msg.hwnd)) && TranslateAcceleratorW(m_hWnd, m_hAccelTable, &msg))
        return true;
    return m_pFlashView && m_pFlashView->PreTranslateMessage(msg);
}

void CMainFrame::OnIdle()
{
    m_wndStatusBar.UpdateIndicators();
}

LRESULT CALLBACK CMainFrame::WindowProc(HWND hWnd, UINT nMessage, WPARAM wParam, LPARAM lParam)
{
    if (nMessage == WM_NCCREATE) {
        auto* pCreate = reinterpret_cast<CREATESTRUCTW*>(lParam);
        auto* pThis = static_cast<CMainFrame*>(pCreate->lpCreateParams);
        pThis->m_hWnd = hWnd;
        SetWindowLongPtrW(hWnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(pThis));
    }
    auto* pThis = reinterpret_cast<CMainFrame*>(GetWindowLongPtrW(hWnd, GWLP_USERDATA));
    if (pThis == nullptr)
        return DefWindowProcW(hWnd, nMessage, wParam, lParam);
    return pThis->HandleMessage(nMessage, wParam, lParam);
}

LRESULT CMainFrame::HandleMessage(UINT nMessage, WPARAM wParam, LPARAM lParam)
{
    switch (nMessage) {
    case WM_CREATE:
        return OnCreate(*reinterpret_cast<CREATESTRUCTW*>(lParam));
    case WM_SETFOCUS:
        if (m_pFlashView)
            SetFocus(m_pFlashView->GetSafeHwnd());
        return 0;
    case WM_SIZE: {
        RecalcLayout();
        // Whatever the size type, maximized included, the frame goes back to
        // its one size and place.
        const FramePlacement placement =
            CenteredFramePlacement(GetSystemMetrics(SM_CXFULLSCREEN), GetSystemMetrics(SM_CYFULLSCREEN));
        MoveWindow(m_hWnd, placement.x, placement.y, placement.cx, placement.cy, TRUE);
        return 0;
    }
    case WM_COMMAND:
        // Menu items and accelerators; control notifications stay with the
        // form. The frame has no commands of its own; the application gets
        // what the form does not take.
        if (lParam == 0 && ((m_pFlashView && m_pFlashView->OnCmdMsg(LOWORD(wParam), 0)) ||
                            CShellApp::GetApp()->OnCmdMsg(LOWORD(wParam), 0)))
            return 0;
        break;
    case WM_MENUSELECT:
        m_wndStatusBar.SetMessageText(MenuPromptStringId(LOWORD(wParam), HIWORD(wParam), lParam == 0));
        return 0;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    case WM_NCDESTROY: {
        // The children, the form among them, are gone by now.
        m_pFlashView.reset();
        HWND hWnd = m_hWnd;
        m_hWnd = nullptr;
        SetWindowLongPtrW(hWnd, GWLP_USERDATA, 0);
        return DefWindowProcW(hWnd, nMessage, wParam, lParam);
    }
    default:
        break;
    }
    return DefWindowProcW(m_hWnd, nMessage, wParam, lParam);
}
