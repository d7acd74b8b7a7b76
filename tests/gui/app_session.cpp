#include "app_session.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "gui_check.h"
#include "window_read.h"

namespace {
constexpr int kPaneFirstId = 0xE900;
constexpr int kStatusBarId = 0xE801;
constexpr char kAppTitle[] = "KT3916Flash";

bool StartsWithNoCase(const char* pszText, const char* pszPrefix)
{
    return _strnicmp(pszText, pszPrefix, strlen(pszPrefix)) == 0;
}

// Pixels of a square of the screen, as 0x00RRGGBB values.
std::vector<COLORREF> CapturePixels(HDC hSource, int x, int y, int nSize)
{
    HDC hMemory = CreateCompatibleDC(hSource);
    HBITMAP hBitmap = CreateCompatibleBitmap(hSource, nSize, nSize);
    HGDIOBJ hOld = SelectObject(hMemory, hBitmap);
    BitBlt(hMemory, 0, 0, nSize, nSize, hSource, x, y, SRCCOPY);
    std::vector<COLORREF> pixels;
    for (int row = 0; row < nSize; ++row) {
        for (int column = 0; column < nSize; ++column)
            pixels.push_back(GetPixel(hMemory, column, row));
    }
    SelectObject(hMemory, hOld);
    DeleteObject(hBitmap);
    DeleteDC(hMemory);
    return pixels;
}

long long Difference(const std::vector<COLORREF>& a, const std::vector<COLORREF>& b)
{
    long long nSum = 0;
    for (size_t i = 0; i < a.size() && i < b.size(); ++i) {
        nSum += std::abs(static_cast<int>(GetRValue(a[i])) - GetRValue(b[i])) +
                std::abs(static_cast<int>(GetGValue(a[i])) - GetGValue(b[i])) +
                std::abs(static_cast<int>(GetBValue(a[i])) - GetBValue(b[i]));
    }
    return nSum;
}

// Which of the four message-box icons the icon control shows, judged by its
// pixels on the screen against each icon drawn here on the same background.
const char* IconShown(HWND hIcon)
{
    const int nSize = GetSystemMetrics(SM_CXICON);
    RECT rc = {};
    GetWindowRect(hIcon, &rc);
    HDC hScreen = GetDC(nullptr);
    std::vector<COLORREF> shown = CapturePixels(hScreen, rc.left, rc.top, nSize);
    const std::pair<WORD, const char*> candidates[] = {
        {32515, "exclamation"}, {32513, "stop"}, {32516, "information"}, {32514, "question"}};  // IDI_*
    const char* pszBest = "none";
    long long nBest = -1;
    for (const auto& [nIcon, pszName] : candidates) {
        HDC hMemory = CreateCompatibleDC(hScreen);
        HBITMAP hBitmap = CreateCompatibleBitmap(hScreen, nSize, nSize);
        HGDIOBJ hOld = SelectObject(hMemory, hBitmap);
        HBRUSH hBackground = CreateSolidBrush(shown.empty() ? 0 : shown[0]);
        RECT rcFill = {0, 0, nSize, nSize};
        FillRect(hMemory, &rcFill, hBackground);
        DeleteObject(hBackground);
        DrawIconEx(hMemory, 0, 0, LoadIconW(nullptr, MAKEINTRESOURCEW(nIcon)), nSize, nSize, 0, nullptr, DI_NORMAL);
        SelectObject(hMemory, hOld);
        HDC hRead = CreateCompatibleDC(hScreen);
        HGDIOBJ hOldRead = SelectObject(hRead, hBitmap);
        std::vector<COLORREF> drawn = CapturePixels(hRead, 0, 0, nSize);
        SelectObject(hRead, hOldRead);
        DeleteDC(hRead);
        DeleteObject(hBitmap);
        DeleteDC(hMemory);
        long long nDifference = Difference(shown, drawn);
        if (nBest < 0 || nDifference < nBest) {
            nBest = nDifference;
            pszBest = pszName;
        }
    }
    ReleaseDC(nullptr, hScreen);
    return pszBest;
}

bool FileExists(const std::string& strPath)
{
    return GetFileAttributesA(strPath.c_str()) != INVALID_FILE_ATTRIBUTES;
}
}  // namespace

CAppSession::CAppSession(std::string strExe, std::string strOutDir)
    : m_strExe(std::move(strExe)), m_strOutDir(std::move(strOutDir))
{
}

CAppSession::~CAppSession()
{
    Terminate();
}

void CAppSession::Start(const std::string& strArgs, const std::vector<std::string>& env)
{
    std::string strBlock;
    LPCH pszEnvironment = GetEnvironmentStringsA();
    for (const char* p = pszEnvironment; *p != '\0'; p += strlen(p) + 1) {
        if (!StartsWithNoCase(p, "KT3916FLASH_"))
            strBlock.append(p).push_back('\0');
    }
    FreeEnvironmentStringsA(pszEnvironment);
    for (const std::string& strEntry : env)
        strBlock.append(strEntry).push_back('\0');
    strBlock.push_back('\0');

    std::string strCommandLine = "\"" + m_strExe + "\"";
    if (!strArgs.empty())
        strCommandLine += " " + strArgs;
    std::vector<char> commandLine(strCommandLine.begin(), strCommandLine.end());
    commandLine.push_back('\0');

    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    Note("starting: " + strCommandLine);
    if (!CreateProcessA(m_strExe.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, strBlock.data(),
                        m_strOutDir.c_str(), &startup, &m_processInfo))
        Fail("cannot start " + m_strExe + " (error " + std::to_string(GetLastError()) + ")");
    SetFailCleanup([this] { Terminate(); });
}

namespace {
struct WindowSearch {
    DWORD nProcessId;
    std::vector<HWND> windows;
};

BOOL CALLBACK CollectWindow(HWND hWnd, LPARAM lParam)
{
    auto* pSearch = reinterpret_cast<WindowSearch*>(lParam);
    DWORD nProcessId = 0;
    GetWindowThreadProcessId(hWnd, &nProcessId);
    if (nProcessId == pSearch->nProcessId)
        pSearch->windows.push_back(hWnd);
    return TRUE;
}
}  // namespace

std::vector<HWND> CAppSession::TopLevelWindows() const
{
    WindowSearch search{m_processInfo.dwProcessId, {}};
    EnumWindows(CollectWindow, reinterpret_cast<LPARAM>(&search));
    return search.windows;
}

HWND CAppSession::FindFrame() const
{
    for (HWND hWnd : TopLevelWindows()) {
        if (GetDlgItem(hWnd, kPaneFirstId) != nullptr || GetDlgItem(hWnd, kStatusBarId) != nullptr)
            return hWnd;
    }
    return nullptr;
}

HWND CAppSession::WaitForVisibleFrame(DWORD nTimeoutMs) const
{
    HWND hFrame = nullptr;
    if (!WaitUntil(
            [&] {
                hFrame = FindFrame();
                if (hFrame != nullptr && IsWindowVisible(hFrame))
                    return true;
                // The survey's message boxes come before the window: waiting
                // on would only hide what the program said.
                if (HWND hBox = FindDialog(kAppTitle))
                    Fail("the program said \"" + ReadMessageBox(hBox).strText + "\" before its window appeared");
                DWORD nExitCode = 0;
                if (HasExited() && GetExitCodeProcess(m_processInfo.hProcess, &nExitCode))
                    Fail("the program ended before its window appeared, exit code " + std::to_string(nExitCode));
                return false;
            },
            nTimeoutMs))
        Fail("the main window did not appear within " + std::to_string(nTimeoutMs) + " ms");
    return hFrame;
}

HWND CAppSession::Form() const
{
    HWND hFrame = FindFrame();
    Check(hFrame != nullptr, "no main window");
    HWND hForm = GetDlgItem(hFrame, kPaneFirstId);
    Check(hForm != nullptr, "the main window has no form pane (child id 0xE900)");
    return hForm;
}

HWND CAppSession::Control(int nID) const
{
    HWND hControl = GetDlgItem(Form(), nID);
    Check(hControl != nullptr, "the form has no control " + std::to_string(nID));
    return hControl;
}

HWND CAppSession::StatusBar() const
{
    HWND hStatusBar = GetDlgItem(FindFrame(), kStatusBarId);
    Check(hStatusBar != nullptr, "the main window has no status bar (child id 0xE801)");
    return hStatusBar;
}

HWND CAppSession::FindTopLevel(const std::string& strClass) const
{
    for (HWND hWnd : TopLevelWindows()) {
        if (IsWindowVisible(hWnd) && ClassOf(hWnd) == strClass)
            return hWnd;
    }
    return nullptr;
}

HWND CAppSession::FindDialog(const std::string& strCaption) const
{
    for (HWND hWnd : TopLevelWindows()) {
        if (IsWindowVisible(hWnd) && ClassOf(hWnd) == "#32770" && WindowText(hWnd) == strCaption)
            return hWnd;
    }
    return nullptr;
}

HWND CAppSession::WaitForDialog(const std::string& strCaption, DWORD nTimeoutMs) const
{
    HWND hDialog = nullptr;
    if (!WaitUntil(
            [&] {
                if (HasExited())
                    Fail("the program ended while a window \"" + strCaption + "\" was awaited");
                hDialog = FindDialog(strCaption);
                return hDialog != nullptr;
            },
            nTimeoutMs))
        Fail("no window \"" + strCaption + "\" within " + std::to_string(nTimeoutMs) + " ms");
    return hDialog;
}

MessageBoxContent CAppSession::ReadMessageBox(HWND hBox)
{
    MessageBoxContent content;
    content.strCaption = WindowText(hBox);
    for (HWND hChild : ChildrenInOrder(hBox)) {
        if (!IsWindowVisible(hChild))
            continue;
        std::string strClass = ClassOf(hChild);
        if (strClass == "Button") {
            content.buttonTexts.push_back(WindowText(hChild));
            content.buttonIds.push_back(GetDlgCtrlID(hChild));
        } else if (strClass == "Static") {
            if ((GetWindowLongW(hChild, GWL_STYLE) & SS_TYPEMASK) == SS_ICON)
                content.hIcon = hChild;
            else if (content.strText.empty())
                content.strText = WindowText(hChild);
        }
    }
    return content;
}

HWND CAppSession::ExpectMessageBox(const std::string& strText, DWORD nTimeoutMs) const
{
    HWND hBox = WaitForDialog(kAppTitle, nTimeoutMs);
    MessageBoxContent content = ReadMessageBox(hBox);
    CheckEqual(content.strText, strText, "message box text");
    CheckEqual(static_cast<long long>(content.buttonIds.size()), 1, "buttons of the message box \"" + strText + "\"");
    CheckEqual(content.buttonIds[0], IDOK, "id of the message box's one button");
    CheckEqual(content.buttonTexts[0], "OK", "text of the message box's one button");
    Check(content.hIcon != nullptr, "the message box \"" + strText + "\" shows no icon");
    // Give the box time to paint before its icon is looked at.
    Sleep(200);
    CheckEqual(IconShown(content.hIcon), "exclamation", "icon of the message box \"" + strText + "\"");
    return hBox;
}

void CAppSession::PressOk(HWND hBox) const
{
    PostMessageW(hBox, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(hBox, IDOK)));
    if (!WaitUntil([&] { return !IsWindow(hBox) || !IsWindowVisible(hBox); }, 10000))
        Fail("the box did not close on OK");
}

void CAppSession::AnswerMessageBox(const std::string& strText, DWORD nTimeoutMs) const
{
    PressOk(ExpectMessageBox(strText, nTimeoutMs));
}

DWORD CAppSession::Close(DWORD nTimeoutMs)
{
    HWND hFrame = FindFrame();
    Check(hFrame != nullptr, "no main window to close");
    PostMessageW(hFrame, WM_CLOSE, 0, 0);
    return WaitForExit(nTimeoutMs);
}

DWORD CAppSession::WaitForExit(DWORD nTimeoutMs)
{
    if (WaitForSingleObject(m_processInfo.hProcess, nTimeoutMs) != WAIT_OBJECT_0)
        Fail("the program did not end within " + std::to_string(nTimeoutMs) + " ms");
    DWORD nExitCode = 0;
    GetExitCodeProcess(m_processInfo.hProcess, &nExitCode);
    CloseHandle(m_processInfo.hProcess);
    CloseHandle(m_processInfo.hThread);
    m_processInfo = PROCESS_INFORMATION{};
    SetFailCleanup(nullptr);
    return nExitCode;
}

bool CAppSession::HasExited() const
{
    return m_processInfo.hProcess == nullptr || WaitForSingleObject(m_processInfo.hProcess, 0) == WAIT_OBJECT_0;
}

void CAppSession::Terminate()
{
    if (m_processInfo.hProcess == nullptr)
        return;
    TerminateProcess(m_processInfo.hProcess, 99);
    WaitForSingleObject(m_processInfo.hProcess, 5000);
    CloseHandle(m_processInfo.hProcess);
    CloseHandle(m_processInfo.hThread);
    m_processInfo = PROCESS_INFORMATION{};
}

void CAppSession::Screenshot(const std::string& strName, HWND hWnd) const
{
    // Let pending paints reach the screen first.
    Sleep(300);
    RECT rc = {};
    GetWindowRect(hWnd, &rc);
    std::string strRequest = m_strOutDir + "\\" + strName + ".shot-request";
    std::string strPicture = m_strOutDir + "\\" + strName + ".png";
    DeleteFileA(strPicture.c_str());
    {
        std::ofstream request(strRequest, std::ios::binary);
        request << (rc.right - rc.left) << "x" << (rc.bottom - rc.top) << "+" << rc.left << "+" << rc.top;
    }
    if (!WaitUntil([&] { return !FileExists(strRequest); }, 20000))
        Fail("the runner took no screenshot (is the driver running under gui_run.sh?)");
    Check(FileExists(strPicture), "the screenshot " + strPicture + " was not written");
    Note("screenshot " + strPicture);
}
