#pragma once
#include <windows.h>

#include <string>
#include <vector>

// What a message box of the program shows.
struct MessageBoxContent {
    std::string strCaption;
    std::string strText;
    std::vector<std::string> buttonTexts;  // visible buttons only
    std::vector<int> buttonIds;
    HWND hIcon = nullptr;  // the icon control, null when none is shown
};

// One run of KT3916Flash.exe: started with arguments and environment,
// watched through its windows, ended by its frame's close or, on a failure
// of the driver, terminated.
class CAppSession {
public:
    CAppSession(std::string strExe, std::string strOutDir);
    ~CAppSession();
    CAppSession(const CAppSession&) = delete;
    CAppSession& operator=(const CAppSession&) = delete;

    // strArgs follows the quoted program path on the command line. Every
    // KT3916FLASH_* variable of the driver's own environment is dropped and
    // the NAME=VALUE entries of env are added.
    void Start(const std::string& strArgs, const std::vector<std::string>& env);

    // The frame (the top-level window with the form pane), hidden or not.
    HWND FindFrame() const;
    HWND WaitForVisibleFrame(DWORD nTimeoutMs) const;
    HWND Form() const;
    HWND Control(int nID) const;
    HWND StatusBar() const;

    // A visible top-level window of the program of this window class.
    HWND FindTopLevel(const std::string& strClass) const;
    // A visible dialog-class top-level window of the program with this caption.
    HWND FindDialog(const std::string& strCaption) const;
    HWND WaitForDialog(const std::string& strCaption, DWORD nTimeoutMs) const;
    static MessageBoxContent ReadMessageBox(HWND hBox);
    // Waits for a message box of the program, checks it is the program's one
    // kind (application title, one OK button, an icon) with this text, and
    // leaves it open.
    HWND ExpectMessageBox(const std::string& strText, DWORD nTimeoutMs) const;
    // Presses the OK button of a box and waits until it has gone.
    void PressOk(HWND hBox) const;
    // Both of the above.
    void AnswerMessageBox(const std::string& strText, DWORD nTimeoutMs) const;

    // Sends WM_CLOSE to the frame and returns the exit code.
    DWORD Close(DWORD nTimeoutMs);
    DWORD WaitForExit(DWORD nTimeoutMs);
    bool HasExited() const;
    void Terminate();

    // Asks the runner script for a screenshot of hWnd's rectangle, saved as
    // OUTDIR/NAME.png, and waits for it.
    void Screenshot(const std::string& strName, HWND hWnd) const;

    const std::string& OutDir() const { return m_strOutDir; }
    const std::string& Exe() const { return m_strExe; }
    DWORD ProcessId() const { return m_processInfo.dwProcessId; }

private:
    std::vector<HWND> TopLevelWindows() const;

    std::string m_strExe;
    std::string m_strOutDir;
    PROCESS_INFORMATION m_processInfo = {};
};

// Polls cond every 50 ms until it holds or the time is up; true when it held.
template <typename Cond>
bool WaitUntil(Cond cond, DWORD nTimeoutMs)
{
    DWORD nStart = GetTickCount();
    for (;;) {
        if (cond())
            return true;
        if (GetTickCount() - nStart >= nTimeoutMs)
            return false;
        Sleep(50);
    }
}
