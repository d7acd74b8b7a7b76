#include "window_read.h"

#include <commctrl.h>

#include "gui_check.h"

namespace {
constexpr UINT kSendTimeoutMs = 20000;

LRESULT Send(HWND hWnd, UINT nMessage, WPARAM wParam, LPARAM lParam)
{
    DWORD_PTR nResult = 0;
    if (!SendMessageTimeoutW(hWnd, nMessage, wParam, lParam, SMTO_NORMAL, kSendTimeoutMs, &nResult))
        Fail("window " + std::to_string(reinterpret_cast<UINT_PTR>(hWnd)) + " did not answer message " +
             std::to_string(nMessage));
    return static_cast<LRESULT>(nResult);
}

// A buffer in the address space of the process that owns a window.
class CRemoteBuffer {
public:
    CRemoteBuffer(HWND hWnd, size_t nSize) : m_nSize(nSize)
    {
        DWORD nProcessId = 0;
        GetWindowThreadProcessId(hWnd, &nProcessId);
        m_hProcess = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, nProcessId);
        Check(m_hProcess != nullptr, "cannot open the program's process for reading");
        m_pMemory = VirtualAllocEx(m_hProcess, nullptr, nSize, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
        Check(m_pMemory != nullptr, "cannot allocate memory in the program's process");
    }
    ~CRemoteBuffer()
    {
        VirtualFreeEx(m_hProcess, m_pMemory, 0, MEM_RELEASE);
        CloseHandle(m_hProcess);
    }
    CRemoteBuffer(const CRemoteBuffer&) = delete;
    CRemoteBuffer& operator=(const CRemoteBuffer&) = delete;

    LPARAM Address() const { return reinterpret_cast<LPARAM>(m_pMemory); }
    std::vector<char> Read() const
    {
        std::vector<char> bytes(m_nSize);
        SIZE_T nRead = 0;
        Check(ReadProcessMemory(m_hProcess, m_pMemory, bytes.data(), m_nSize, &nRead) && nRead == m_nSize,
              "cannot read the program's memory");
        return bytes;
    }

private:
    size_t m_nSize;
    HANDLE m_hProcess = nullptr;
    void* m_pMemory = nullptr;
};
}  // namespace

std::string WindowText(HWND hWnd)
{
    LRESULT nLength = Send(hWnd, WM_GETTEXTLENGTH, 0, 0);
    std::wstring strText(static_cast<size_t>(nLength) + 1, L'\0');
    LRESULT nCopied = Send(hWnd, WM_GETTEXT, strText.size(), reinterpret_cast<LPARAM>(strText.data()));
    strText.resize(static_cast<size_t>(nCopied));
    return Utf8(strText);
}

std::string ClassOf(HWND hWnd)
{
    wchar_t szClass[128] = {};
    GetClassNameW(hWnd, szClass, 128);
    return Utf8(szClass);
}

std::vector<HWND> ChildrenInOrder(HWND hParent)
{
    std::vector<HWND> children;
    for (HWND hChild = GetWindow(hParent, GW_CHILD); hChild != nullptr; hChild = GetWindow(hChild, GW_HWNDNEXT))
        children.push_back(hChild);
    return children;
}

std::vector<std::string> ComboItems(HWND hCombo)
{
    std::vector<std::string> items;
    LRESULT nCount = Send(hCombo, CB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < nCount; ++i) {
        LRESULT nLength = Send(hCombo, CB_GETLBTEXTLEN, i, 0);
        std::wstring strItem(static_cast<size_t>(nLength) + 1, L'\0');
        LRESULT nCopied = Send(hCombo, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(strItem.data()));
        strItem.resize(nCopied > 0 ? static_cast<size_t>(nCopied) : 0);
        items.push_back(Utf8(strItem));
    }
    return items;
}

int ComboSelection(HWND hCombo)
{
    return static_cast<int>(Send(hCombo, CB_GETCURSEL, 0, 0));
}

int ProgressPosition(HWND hProgress)
{
    return static_cast<int>(Send(hProgress, PBM_GETPOS, 0, 0));
}

int ProgressMaximum(HWND hProgress)
{
    return static_cast<int>(Send(hProgress, PBM_GETRANGE, FALSE, 0));
}

int StatusBarPaneCount(HWND hStatusBar)
{
    return static_cast<int>(Send(hStatusBar, SB_GETPARTS, 0, 0));
}

std::string StatusBarPaneText(HWND hStatusBar, int nPane)
{
    LRESULT nLength = LOWORD(Send(hStatusBar, SB_GETTEXTLENGTHW, static_cast<WPARAM>(nPane), 0));
    size_t nBytes = (static_cast<size_t>(nLength) + 1) * sizeof(wchar_t);
    CRemoteBuffer buffer(hStatusBar, nBytes);
    Send(hStatusBar, SB_GETTEXTW, static_cast<WPARAM>(nPane), buffer.Address());
    std::vector<char> bytes = buffer.Read();
    return Utf8(std::wstring(reinterpret_cast<const wchar_t*>(bytes.data()), static_cast<size_t>(nLength)));
}

RECT RectIn(HWND hWnd, HWND hReference)
{
    RECT rc = {};
    GetWindowRect(hWnd, &rc);
    MapWindowPoints(nullptr, hReference, reinterpret_cast<POINT*>(&rc), 2);
    return rc;
}

HWND FocusOfThread(HWND hWnd)
{
    GUITHREADINFO info = {};
    info.cbSize = sizeof info;
    if (!GetGUIThreadInfo(GetWindowThreadProcessId(hWnd, nullptr), &info))
        return nullptr;
    return info.hwndFocus;
}
