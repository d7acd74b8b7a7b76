#include "app/win32/flash_form_wnd.h"

#include "app/win32/app_message.h"
#include "res/app_name.h"

// The form's timers run on this window's thread, so the execution state that
// keeps the machine awake is set and cleared there.
CFlashFormWnd::CFlashFormWnd(IScsiHost& host)
    : m_host(host), m_pSleepInhibitor(CreatePlatformSleepInhibitor(KT_APP_NAME))
{
}

CFlashFormWnd::~CFlashFormWnd()
{
    // The behaviour goes first: its device object may still hold handles.
    m_pView.reset();
    if (m_hWnd != nullptr) {
        SetWindowLongPtrW(m_hWnd, DWLP_USER, 0);
        DestroyWindow(m_hWnd);
    }
}

bool CFlashFormWnd::Create(HWND hParent, UINT nIDTemplate, UINT nID)
{
    HINSTANCE hInstance = reinterpret_cast<HINSTANCE>(GetWindowLongPtrW(hParent, GWLP_HINSTANCE));
    m_hWnd = CreateDialogParamW(hInstance, MAKEINTRESOURCEW(nIDTemplate), hParent, DialogProc,
                                reinterpret_cast<LPARAM>(this));
    if (m_hWnd == nullptr)
        return false;
    SetWindowLongPtrW(m_hWnd, GWLP_ID, static_cast<LONG_PTR>(nID));
    if (!BindControls())
        return false;
    m_pView = std::make_unique<CFlashView>(*this, m_host, m_pSleepInhibitor.get());
    ShowWindow(m_hWnd, SW_SHOW);
    return true;
}

bool CFlashFormWnd::BindControls()
{
    struct Binding {
        int nID;
        HWND* phWnd;
    };
    const Binding bindings[] = {
        {IDC_DEVICE_LIST, &m_cbDeviceList}, {IDC_STATUS, &m_stStatus},
        {IDC_PROGRESS, &m_prgProgress},     {IDOK, &m_btnFlash},
        {IDC_CHECKSUM, &m_edChecksum},      {IDC_FILE_PATH, &m_edFilePath},
        {IDC_DEVICE_VER, &m_edDeviceVer},   {IDC_SPARE_EDIT, &m_edSpare},
    };
    for (const Binding& binding : bindings) {
        *binding.phWnd = GetDlgItem(m_hWnd, binding.nID);
        if (*binding.phWnd == nullptr)
            return false;
    }
    return true;
}

void CFlashFormWnd::OnInitialUpdate()
{
    if (m_pView)
        m_pView->OnInitialUpdate();
}

bool CFlashFormWnd::OnCmdMsg(UINT nID, int nCode)
{
    if (!m_pView)
        return false;
    if (nID == IDOK && nCode == BN_CLICKED) {
        m_pView->OnFlash();
        return true;
    }
    if (nID == static_cast<UINT>(IDC_DEVICE_LIST) && nCode == CBN_SELCHANGE) {
        m_pView->OnSelchangeDeviceList();
        return true;
    }
    return false;
}

bool CFlashFormWnd::PreTranslateMessage(MSG& msg)
{
    if (m_hWnd == nullptr || msg.message < WM_KEYFIRST || msg.message > WM_KEYLAST)
        return false;
    if (msg.hwnd != m_hWnd && !IsChild(m_hWnd, msg.hwnd))
        return false;
    return IsDialogMessageW(m_hWnd, &msg) != FALSE;
}

INT_PTR CALLBACK CFlashFormWnd::DialogProc(HWND hWnd, UINT nMessage, WPARAM wParam, LPARAM lParam)
{
    if (nMessage == WM_INITDIALOG) {
        SetWindowLongPtrW(hWnd, DWLP_USER, lParam);
        return FALSE;  // a pane does not take the focus while it is created
    }
    auto* pThis = reinterpret_cast<CFlashFormWnd*>(GetWindowLongPtrW(hWnd, DWLP_USER));
    if (pThis == nullptr)
        return FALSE;
    switch (nMessage) {
    case WM_COMMAND:
        return pThis->OnCmdMsg(LOWORD(wParam), HIWORD(wParam)) ? TRUE : FALSE;
    case WM_TIMER:
        if (pThis->m_pView)
            pThis->m_pView->OnTimer(static_cast<unsigned>(wParam));
        return TRUE;
    case WM_NCDESTROY:
        pThis->m_hWnd = nullptr;
        return FALSE;
    default:
        return FALSE;
    }
}

void CFlashFormWnd::InsertDeviceItem(int index, const std::string& text)
{
    SendMessageA(m_cbDeviceList, CB_INSERTSTRING, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(text.c_str()));
}

void CFlashFormWnd::SetDeviceSelection(int index)
{
    SendMessageA(m_cbDeviceList, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
}

int CFlashFormWnd::GetDeviceSelection()
{
    return static_cast<int>(SendMessageA(m_cbDeviceList, CB_GETCURSEL, 0, 0));
}

void CFlashFormWnd::EnableDeviceList(bool enable)
{
    EnableWindow(m_cbDeviceList, enable ? TRUE : FALSE);
}

void CFlashFormWnd::SetStatusText(const std::string& text)
{
    SetWindowTextA(m_stStatus, text.c_str());
}

void CFlashFormWnd::SetDeviceVersionText(const std::string& text)
{
    SetWindowTextA(m_edDeviceVer, text.c_str());
}

void CFlashFormWnd::SetFilePathText(const std::string& text)
{
    SetWindowTextA(m_edFilePath, text.c_str());
}

void CFlashFormWnd::SetChecksumText(const std::string& text)
{
    SetWindowTextA(m_edChecksum, text.c_str());
}

void CFlashFormWnd::EnableFlashButton(bool enable)
{
    EnableWindow(m_btnFlash, enable ? TRUE : FALSE);
}

void CFlashFormWnd::ProgressSetRange(uint16_t minimum, uint16_t maximum)
{
    SendMessageA(m_prgProgress, PBM_SETRANGE, 0, MAKELPARAM(minimum, maximum));
}

void CFlashFormWnd::ProgressSetPos(int position)
{
    SendMessageA(m_prgProgress, PBM_SETPOS, static_cast<WPARAM>(position), 0);
}

void CFlashFormWnd::ProgressSetStep(int step)
{
    SendMessageA(m_prgProgress, PBM_SETSTEP, static_cast<WPARAM>(step), 0);
}

void CFlashFormWnd::ProgressStepIt()
{
    SendMessageA(m_prgProgress, PBM_STEPIT, 0, 0);
}

void CFlashFormWnd::SetTimer(unsigned id, unsigned periodMs)
{
    ::SetTimer(m_hWnd, id, periodMs, nullptr);
}

void CFlashFormWnd::KillTimer(unsigned id)
{
    ::KillTimer(m_hWnd, id);
}

void CFlashFormWnd::MessageBox(const std::string& text)
{
    ShowAppMessage(GetAncestor(m_hWnd, GA_ROOT), text);
}
