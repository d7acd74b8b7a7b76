#pragma once
#include <string>
#include <vector>

#include "app/win32/win32_include.h"

constexpr UINT ID_SEPARATOR = 0;  // the message pane

// The frame's status bar: a common-controls status bar whose first pane is the
// message pane (idle text and menu prompts) and whose other panes are key
// indicators that show their text while the key's toggle is on.
class CStatusBarWnd {
public:
    CStatusBarWnd() = default;
    CStatusBarWnd(const CStatusBarWnd&) = delete;
    CStatusBarWnd& operator=(const CStatusBarWnd&) = delete;

    bool Create(HWND hParent, DWORD dwStyle, UINT nID);
    // One pane per id: ID_SEPARATOR for the message pane, ID_INDICATOR_CAPS,
    // _NUM or _SCRL for an indicator. False when an indicator has no text in
    // the string table or the bar refuses the panes.
    bool SetIndicators(const UINT* lpIDArray, int nIDCount);

    // Shows string nID of the string table up to its line feed; an empty pane
    // when nID is 0 or has no string.
    void SetMessageText(UINT nID);
    void UpdateIndicators();

    // Docks the bar to the bottom of the parent's client area and spreads the
    // panes over its width.
    void RecalcLayout();
    int GetHeight() const;

private:
    struct Pane {
        UINT nID;
        int nVirtualKey;  // 0 for the message pane
        std::wstring strText;
        int nWidth;
        std::wstring strShown;
    };
    void SetPaneText(size_t nIndex, const std::wstring& strText);

    HWND m_hWnd = nullptr;
    std::vector<Pane> m_panes;
};
