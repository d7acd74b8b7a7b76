#pragma once
#include <string>

// Which string of the string table the status bar's message pane shows while
// a menu is tracked (WM_MENUSELECT), without any Win32 dependency so that the
// rule can be checked on every platform.

constexpr unsigned kIdleMessageStringId = 0xE001;  // AFX_IDS_IDLEMESSAGE
constexpr unsigned kMenuClosedFlags = 0xFFFF;
constexpr unsigned kMenuFlagPopup = 0x0010;      // MF_POPUP
constexpr unsigned kMenuFlagSeparator = 0x0800;  // MF_SEPARATOR
constexpr unsigned kFirstSysCommand = 0xF000;    // SC_SIZE
constexpr unsigned kLastSysCommand = 0xF1EF;
constexpr unsigned kFirstSysCommandPrompt = 0xEF00;  // prompt of SC_SIZE

// The string id to show, or 0 when the pane is to be left empty. bMenuClosed
// is true when the notification carries no menu handle.
constexpr unsigned MenuPromptStringId(unsigned nItemId, unsigned nFlags, bool bMenuClosed)
{
    if (nFlags == kMenuClosedFlags && bMenuClosed)
        return kIdleMessageStringId;
    if (nItemId == 0 || (nFlags & (kMenuFlagPopup | kMenuFlagSeparator)) != 0)
        return 0;
    // System commands are spaced 16 apart; their prompts are consecutive.
    if (nItemId >= kFirstSysCommand && nItemId <= kLastSysCommand)
        return kFirstSysCommandPrompt + ((nItemId - kFirstSysCommand) >> 4);
    return nItemId;
}

// A prompt string holds the status-bar text, then a line feed and the short
// tip; the pane shows only the part before the line feed.
inline std::wstring StatusPromptText(const std::wstring& strPrompt)
{
    return strPrompt.substr(0, strPrompt.find(L'\n'));
}
