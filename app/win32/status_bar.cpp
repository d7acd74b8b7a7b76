#include "app/win32/status_bar.h"

#include "app/win32/menu_prompt.h"
#include "app/win32/resource_text.h"
#include "res/resource.h"

#include <utility>

namespace {
int VirtualKeyOfIndicator(UINT nID)
{
    const std::pair<UINT, int> kKeys[] = {
        {ID_INDICATOR_CAPS, VK_CAPITAL}, {ID_INDICATOR_NUM, VK_NUMLOCK}, {ID_INDICATOR_SCRL, VK_SCROLL}};
    for (const auto& [nIndicator, nKey] : kKeys) {
        if (nIndicator == nID)
            return nKey;
    }
    return 0;
}
}  // namespace

bool CStatusBarWnd::Create(HWND hParent, DWORD dwStyle, UINT nID)
{
    m_hWnd = CreateWindowExW(0, STATUSCLASSNAMEW, nullptr, dwStyle, 0, 0, 0, 0, hParent,
                             reinterpret_cast<HMENU>(static_cast<UINT_PTR>(nID)),
                             reinterpret_cast<HINSTANCE>(GetWindowLongPtrW(hParent, GWLP_HINSTANCE)), nullptr);
    return m_hWnd != nullptr;
}

bool CStatusBarWnd::SetIndicators(const UINT* lpIDArray, int nIDCount)
{
    if (m_hWnd == nullptr || nIDCount <= 0)
        return false;
    HINSTANCE hInstance = reinterpret_cast<HINSTANCE>(GetWindowLongPtrW(m_hWnd, GWLP_HINSTANCE));
    HDC hDC = GetDC(m_hWnd);
    HGDIOBJ hOldFont = SelectObject(hDC, reinterpret_cast<HGDIOBJ>(SendMessageW(m_hWnd, WM_GETFONT, 0, 0)));
    int nMargin = 2 * GetSystemMetrics(SM_CXEDGE) + 6;

    bool bOk = true;
    m_panes.clear();
    for (int i = 0; i < nIDCount; ++i) {
        Pane pane{lpIDArray[i], VirtualKeyOfIndicator(lpIDArray[i]), std::wstring(), 0, std::wstring()};
        if (pane.nID != ID_SEPARATOR) {
            pane.strText = LoadResourceString(hInstance, pane.nID);
            if (pane.strText.empty())
                bOk = false;
            SIZE size = {};
            GetTextExtentPoint32W(hDC, pane.strText.c_str(), static_cast<int>(pane.strText.size()), &size);
            pane.nWidth = size.cx + nMargin;
        }
        m_panes.push_back(pane);
    }
    SelectObject(hDC, hOldFont);
    ReleaseDC(m_hWnd, hDC);
    if (!bOk)
        return false;
    RecalcLayout();
    // A freshly set indicator pane is empty until its key is found on.
    UpdateIndicators();
    return true;
}

void CStatusBarWnd::RecalcLayout()
{
    if (m_hWnd == nullptr)
        return;
    // The bar places itself along the bottom of its parent on WM_SIZE.
    SendMessageW(m_hWnd, WM_SIZE, 0, 0);
    if (m_panes.empty())
        return;
    RECT rcClient = {};
    GetClientRect(m_hWnd, &rcClient);
    std::vector<int> rightEdges(m_panes.size());
    int nRight = rcClient.right;
    for (size_t i = m_panes.size(); i-- > 0;) {
        rightEdges[i] = nRight;
        nRight -= m_panes[i].nWidth;
    }
    // The message pane takes whatever the indicators leave.
    if (m_panes[0].nID == ID_SEPARATOR && rightEdges.size() > 1 && rightEdges[0] < 0)
        rightEdges[0] = 0;
    rightEdges.back() = -1;
    // Panes that exist already keep their texts.
    SendMessageW(m_hWnd, SB_SETPARTS, rightEdges.size(), reinterpret_cast<LPARAM>(rightEdges.data()));
}

int CStatusBarWnd::GetHeight() const
{
    if (m_hWnd == nullptr || !IsWindowVisible(m_hWnd))
        return 0;
    RECT rc = {};
    GetWindowRect(m_hWnd, &rc);
    return rc.bottom - rc.top;
}

void CStatusBarWnd::SetMessageText(UINT nID)
{
    std::wstring strText;
    if (nID != 0 && m_hWnd != nullptr) {
        HINSTANCE hInstance = reinterpret_cast<HINSTANCE>(GetWindowLongPtrW(m_hWnd, GWLP_HINSTANCE));
        strText = StatusPromptText(LoadResourceString(hInstance, nID));
    }
    for (size_t i = 0; i < m_panes.size(); ++i) {
        if (m_panes[i].nID == ID_SEPARATOR) {
            SetPaneText(i, strText);
            return;
        }
    }
}

void CStatusBarWnd::UpdateIndicators()
{
    for (size_t i = 0; i < m_panes.size(); ++i) {
        const Pane& pane = m_panes[i];
        if (pane.nVirtualKey == 0)
            continue;
        bool bOn = (GetKeyState(pane.nVirtualKey) & 1) != 0;
        SetPaneText(i, bOn ? pane.strText : std::wstring());
    }
}

void CStatusBarWnd::SetPaneText(size_t nIndex, const std::wstring& strText)
{
    Pane& pane = m_panes[nIndex];
    if (pane.strShown == strText)
        return;
    pane.strShown = strText;
    // The message pane has no border of its own; indicators are sunken.
    WPARAM wParam = nIndex | (pane.nID == ID_SEPARATOR ? SBT_NOBORDERS : 0);
    SendMessageW(m_hWnd, SB_SETTEXTW, wParam, reinterpret_cast<LPARAM>(strText.c_str()));
}
