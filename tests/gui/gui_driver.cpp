// Drives KT3916Flash.exe through its real windows under Wine and checks what
// a person would see: texts, list, progress, button, status bar, message
// boxes, window placement. One scenario per run:
//
//   kt_gui_driver SCENARIO EXE OUTDIR
//
// Exit code 0 when every check held; otherwise the first mismatch is printed.

#include <windows.h>
#include <commctrl.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <map>
#include <vector>

#include "app/win32/frame_geometry.h"
#include "app_session.h"
#include "gui_check.h"
#include "resource_check.h"
#include "transcript_read.h"
#include "window_read.h"

namespace {
constexpr int IDC_PROGRESS = 1000;
constexpr int IDC_SPARE_EDIT = 1003;
constexpr int IDC_DEVICE_VER = 1004;
constexpr int IDC_CHECKSUM = 1005;
constexpr int IDC_FILE_PATH = 1006;
constexpr int IDC_STATUS = 1007;
constexpr int IDC_DEVICE_LIST = 1008;
constexpr UINT ID_APP_ABOUT = 0xE140;

constexpr DWORD kStartTimeoutMs = 30000;
constexpr char kIdentity[] = "KTDEV   KT3916 FLASHER  ";  // vendor (8) and product (16) of the scenarios
constexpr char kAboutCaption[] = "關於 KT3916Flash";
constexpr char kIdleText[] = "就緒";

struct Context {
    std::string strExe;
    std::string strOutDir;
    std::string strScenario;
};

std::string Path(const Context& ctx, const std::string& strName)
{
    return ctx.strOutDir + "\\" + strName;
}

std::string ExeDirectory(const std::string& strExe)
{
    return strExe.substr(0, strExe.find_last_of('\\') + 1);
}

std::string Hex4(unsigned nValue)
{
    char szText[8];
    snprintf(szText, sizeof szText, "%04X", nValue & 0xFFFF);
    return szText;
}

// Writes an image whose bytes vary, and returns its 16-bit byte sum.
unsigned WriteImage(const std::string& strPath, size_t nLength)
{
    std::vector<char> bytes(nLength);
    unsigned nSum = 0;
    for (size_t i = 0; i < nLength; ++i) {
        bytes[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
        nSum += static_cast<unsigned char>(bytes[i]);
    }
    std::ofstream file(strPath, std::ios::binary | std::ios::trunc);
    file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    Check(file.good(), "cannot write the image " + strPath);
    return nSum & 0xFFFF;
}

void CheckNoBlank(const std::string& strPath)
{
    // The program's command line has no quoting: a value never holds a blank.
    Check(strPath.find(' ') == std::string::npos, "the build path must not contain blanks: " + strPath);
}

std::string Transcript(const Context& ctx)
{
    std::string strPath = Path(ctx, ctx.strScenario + ".transcript.jsonl");
    DeleteFileA(strPath.c_str());
    return strPath;
}

constexpr char kCaption[] = "KT3916Flash V1.10";
// On the emulated bench the caption says so.
constexpr char kEmulatedCaption[] = "KT3916Flash V1.10 [emulated]";

void CheckFrame(const CAppSession& session)
{
    HWND hFrame = session.FindFrame();
    CheckEqual(WindowText(hFrame), kEmulatedCaption, "caption");
    FramePlacement expected =
        CenteredFramePlacement(GetSystemMetrics(SM_CXFULLSCREEN), GetSystemMetrics(SM_CYFULLSCREEN));
    RECT rc = {};
    GetWindowRect(hFrame, &rc);
    CheckEqual(rc.left, expected.x, "frame x");
    CheckEqual(rc.top, expected.y, "frame y");
    CheckEqual(rc.right - rc.left, 375, "frame width");
    CheckEqual(rc.bottom - rc.top, 285, "frame height");
    LONG nStyle = GetWindowLongW(hFrame, GWL_STYLE);
    Check((nStyle & WS_THICKFRAME) == 0, "the frame has a sizing border");
    Check((nStyle & (WS_MINIMIZEBOX | WS_MAXIMIZEBOX | WS_SYSMENU | WS_CAPTION)) ==
              (WS_MINIMIZEBOX | WS_MAXIMIZEBOX | WS_SYSMENU | WS_CAPTION),
          "the frame lacks caption, system menu, minimize or maximize box");
    Check((GetWindowLongW(hFrame, GWL_EXSTYLE) & WS_EX_CLIENTEDGE) == 0, "the frame has a sunken client edge");
    Check(GetMenu(hFrame) != nullptr, "the frame has no menu bar");
}

void CheckFramePlacementOnly(const CAppSession& session, const std::string& strWhen)
{
    FramePlacement expected =
        CenteredFramePlacement(GetSystemMetrics(SM_CXFULLSCREEN), GetSystemMetrics(SM_CYFULLSCREEN));
    RECT rc = {};
    bool bPlaced = WaitUntil(
        [&] {
            GetWindowRect(session.FindFrame(), &rc);
            return rc.left == expected.x && rc.top == expected.y && rc.right - rc.left == 375 &&
                   rc.bottom - rc.top == 285;
        },
        3000);
    Check(bPlaced, "frame " + strWhen + " stands at " + std::to_string(rc.left) + "," + std::to_string(rc.top) +
                       " size " + std::to_string(rc.right - rc.left) + "x" + std::to_string(rc.bottom - rc.top) +
                       ", not 375x285 centred");
}

struct FormState {
    std::vector<std::string> items;
    int nSelection;
    std::string strRevision;
    std::string strPath;
    std::string strChecksum;
    std::string strStatus;
    bool bFlashEnabled;
    int nProgress;
};

void CheckForm(const CAppSession& session, const FormState& expected, const std::string& strWhen)
{
    HWND hList = session.Control(IDC_DEVICE_LIST);
    std::vector<std::string> items = ComboItems(hList);
    CheckEqual(static_cast<long long>(items.size()), static_cast<long long>(expected.items.size()),
               strWhen + ": entries of the device list");
    for (size_t i = 0; i < items.size(); ++i)
        CheckEqual(items[i], expected.items[i], strWhen + ": device list entry " + std::to_string(i));
    CheckEqual(ComboSelection(hList), expected.nSelection, strWhen + ": device list selection");
    CheckEqual(WindowText(session.Control(IDC_DEVICE_VER)), expected.strRevision, strWhen + ": revision");
    CheckEqual(WindowText(session.Control(IDC_FILE_PATH)), expected.strPath, strWhen + ": file path");
    CheckEqual(WindowText(session.Control(IDC_CHECKSUM)), expected.strChecksum, strWhen + ": checksum");
    CheckEqual(WindowText(session.Control(IDC_STATUS)), expected.strStatus, strWhen + ": status line");
    CheckEqual(IsWindowEnabled(session.Control(IDOK)) != FALSE, expected.bFlashEnabled,
               strWhen + ": Flash button enabled");
    CheckEqual(ProgressPosition(session.Control(IDC_PROGRESS)), expected.nProgress, strWhen + ": progress");
}

INT_PTR CALLBACK QuietDialogProc(HWND, UINT, WPARAM, LPARAM)
{
    return FALSE;
}

// The form's controls are those of its template, in template order, at the
// template's places: compared with an instance of the same template made
// here from the exe's resources, which has the same dialog units.
void CheckFormLayout(const CAppSession& session)
{
    HMODULE hModule = LoadLibraryExA(session.Exe().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    Check(hModule != nullptr, "cannot load the exe's resources");
    HWND hParent = CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 600, 400, nullptr, nullptr, nullptr, nullptr);
    HWND hReference = CreateDialogParamW(hModule, MAKEINTRESOURCEW(130), hParent, QuietDialogProc, 0);
    Check(hReference != nullptr, "cannot make the form template here");

    std::vector<HWND> expected = ChildrenInOrder(hReference);
    std::vector<HWND> actual = ChildrenInOrder(session.Form());
    CheckEqual(static_cast<long long>(actual.size()), 12, "controls on the form");
    CheckEqual(static_cast<long long>(expected.size()), 12, "controls of the template");
    for (size_t i = 0; i < actual.size(); ++i) {
        std::string strWhere = "form control " + std::to_string(i + 1);
        CheckEqual(ClassOf(actual[i]), ClassOf(expected[i]), strWhere + " class");
        CheckEqual(GetDlgCtrlID(actual[i]), GetDlgCtrlID(expected[i]), strWhere + " id");
        CheckEqual(GetWindowLongW(actual[i], GWL_STYLE) & WS_VISIBLE,
                   GetWindowLongW(expected[i], GWL_STYLE) & WS_VISIBLE, strWhere + " visible");
        CheckEqual(IsWindowEnabled(actual[i]) != FALSE, IsWindowEnabled(expected[i]) != FALSE, strWhere + " enabled");
        RECT rcActual = RectIn(actual[i], session.Form());
        RECT rcExpected = RectIn(expected[i], hReference);
        CheckEqual(rcActual.left, rcExpected.left, strWhere + " left");
        CheckEqual(rcActual.top, rcExpected.top, strWhere + " top");
        CheckEqual(rcActual.right, rcExpected.right, strWhere + " right");
        CheckEqual(rcActual.bottom, rcExpected.bottom, strWhere + " bottom");
    }
    HWND hSpare = session.Control(IDC_SPARE_EDIT);
    Check(!IsWindowVisible(hSpare) && !IsWindowEnabled(hSpare), "the spare edit is visible or enabled");
    DestroyWindow(hParent);
    FreeLibrary(hModule);
}

void CheckStatusBar(const CAppSession& session, const std::string& strMessage)
{
    HWND hStatusBar = session.StatusBar();
    CheckEqual(ClassOf(hStatusBar), "msctls_statusbar32", "status bar class");
    CheckEqual(GetWindowLongW(hStatusBar, GWL_STYLE) & 0xFFFFFFFF, 0x50008200, "status bar style");
    CheckEqual(StatusBarPaneCount(hStatusBar), 4, "status bar panes");
    CheckEqual(StatusBarPaneText(hStatusBar, 0), strMessage, "status bar message pane");
    // The driver shares the keyboard state of the display with the program.
    const std::pair<int, const char*> indicators[] = {{VK_CAPITAL, "CAP"}, {VK_NUMLOCK, "NUM"}, {VK_SCROLL, "SCRL"}};
    for (int i = 0; i < 3; ++i) {
        bool bOn = (GetKeyState(indicators[i].first) & 1) != 0;
        CheckEqual(StatusBarPaneText(hStatusBar, i + 1), bOn ? indicators[i].second : "",
                   std::string("indicator pane ") + indicators[i].second);
    }
}

void PressKey(WORD nVirtualKey)
{
    INPUT inputs[2] = {};
    inputs[0].type = INPUT_KEYBOARD;
    inputs[0].ki.wVk = nVirtualKey;
    inputs[1] = inputs[0];
    inputs[1].ki.dwFlags = KEYEVENTF_KEYUP;
    SendInput(2, inputs, sizeof(INPUT));
}

// Caps Lock pressed on the keyboard turns the CAP indicator on, and off again.
void CheckCapsIndicator(const CAppSession& session)
{
    HWND hFrame = session.FindFrame();
    HWND hStatusBar = session.StatusBar();
    SetForegroundWindow(hFrame);
    Check(WaitUntil([&] { return GetForegroundWindow() == hFrame; }, 3000),
          "cannot bring the main window to the front");
    bool bWasOn = StatusBarPaneText(hStatusBar, 1) == "CAP";
    for (int i = 0; i < 2; ++i) {
        PressKey(VK_CAPITAL);
        bool bOn = bWasOn == (i == 1);
        std::string strExpected = bOn ? "CAP" : "";
        if (!WaitUntil([&] { return StatusBarPaneText(hStatusBar, 1) == strExpected; }, 3000))
            Fail("after Caps Lock the CAP pane reads \"" + StatusBarPaneText(hStatusBar, 1) + "\", not \"" +
                 strExpected + "\"");
    }
}

void CheckMenuPrompts(const CAppSession& session)
{
    HWND hFrame = session.FindFrame();
    HWND hStatusBar = session.StatusBar();
    LPARAM hAnyMenu = reinterpret_cast<LPARAM>(GetMenu(hFrame));
    struct Case {
        UINT nItem;
        UINT nFlags;
        LPARAM hMenu;
        const char* pszExpected;
    };
    const Case cases[] = {
        {ID_APP_ABOUT, MF_STRING | MF_HILITE, hAnyMenu, "顯示程式的資訊， 版本及版權"},
        {0, MF_POPUP | MF_HILITE, hAnyMenu, ""},
        {SC_RESTORE, MF_STRING | MF_SYSMENU, hAnyMenu, "還原視窗至原來大小"},
        {SC_CLOSE, MF_STRING | MF_SYSMENU, hAnyMenu, "關閉工作中視窗並提示儲存文件"},
        {0, 0xFFFF, 0, kIdleText},
    };
    for (const Case& c : cases) {
        DWORD_PTR nResult = 0;
        SendMessageTimeoutW(hFrame, WM_MENUSELECT, MAKEWPARAM(c.nItem, c.nFlags), c.hMenu, SMTO_NORMAL, 5000, &nResult);
        CheckEqual(StatusBarPaneText(hStatusBar, 0), c.pszExpected,
                   "message pane for menu item " + std::to_string(c.nItem));
    }
}

void ScenarioResources(const Context& ctx)
{
    CheckResources(ctx.strExe);
}

void ScenarioSurvey(const Context& ctx)
{
    std::string strImage = Path(ctx, "survey-512k.bin");
    unsigned nChecksum = WriteImage(strImage, 524288);
    std::string strTranscript = Transcript(ctx);
    CAppSession session(ctx.strExe, ctx.strOutDir);
    session.Start("/B " + strImage, {"KT3916FLASH_EMULATE=devices=2", "KT3916FLASH_TRANSCRIPT=" + strTranscript});
    HWND hFrame = session.WaitForVisibleFrame(kStartTimeoutMs);
    Check(session.FindDialog("KT3916Flash") == nullptr, "a message box came up during a good survey");

    CheckFrame(session);
    CheckForm(session, {{kIdentity, kIdentity}, 0, "1.00", strImage, Hex4(nChecksum), "", true, 0}, "after the survey");
    CheckFormLayout(session);
    CheckStatusBar(session, kIdleText);
    CheckMenuPrompts(session);
    CheckCapsIndicator(session);
    HWND hFocus = FocusOfThread(hFrame);
    Check(hFocus == session.Form() || IsChild(session.Form(), hFocus), "the keyboard focus is not on the form");

    ShowWindowAsync(hFrame, SW_MAXIMIZE);
    Sleep(500);
    CheckFramePlacementOnly(session, "after maximize");
    ShowWindowAsync(hFrame, SW_RESTORE);
    Sleep(500);
    CheckFramePlacementOnly(session, "after restore");
    session.Screenshot("survey", hFrame);

    // Choosing the second entry sends later commands to the second device.
    HWND hList = session.Control(IDC_DEVICE_LIST);
    SendMessageW(hList, CB_SETCURSEL, 1, 0);
    SendMessageW(session.Form(), WM_COMMAND, MAKEWPARAM(IDC_DEVICE_LIST, CBN_SELCHANGE),
                 reinterpret_cast<LPARAM>(hList));
    CheckForm(session, {{kIdentity, kIdentity}, 1, "1.00", strImage, Hex4(nChecksum), "", true, 0},
              "after choosing the second device");
    CheckEqual(session.Close(10000), 0, "exit code");

    std::string strInquiries;
    for (const TranscriptEntry& entry : ReadTranscript(strTranscript)) {
        if (entry.Opcode() == 0x12)
            strInquiries.push_back(entry.drive);
    }
    // Survey: D, E, then D again for the revision; the choice: E.
    Check(strInquiries.size() >= 4 && strInquiries.substr(strInquiries.size() - 4) == "DEDE",
          "INQUIRY drives were " + strInquiries + ", expected to end with DEDE");
}

void ScenarioFlash(const Context& ctx)
{
    std::string strImage = Path(ctx, "flash-512k.bin");
    unsigned nChecksum = WriteImage(strImage, 524288);
    std::string strTranscript = Transcript(ctx);
    CAppSession session(ctx.strExe, ctx.strOutDir);
    session.Start("/B " + strImage + " /F 1",
                  {"KT3916FLASH_EMULATE=reboot_ms=200", "KT3916FLASH_TRANSCRIPT=" + strTranscript});
    session.WaitForVisibleFrame(kStartTimeoutMs);
    HWND hStatus = session.Control(IDC_STATUS);
    HWND hProgress = session.Control(IDC_PROGRESS);

    if (!WaitUntil([&] { return WindowText(hStatus) == "Flashing wait....."; }, kStartTimeoutMs))
        Fail("the status never read \"Flashing wait.....\"; it reads \"" + WindowText(hStatus) + "\"");
    DWORD nVerifyStart = GetTickCount();
    Note("blocks sent; verifying");
    HWND hList = session.Control(IDC_DEVICE_LIST);
    CheckEqual(IsWindowEnabled(hList) != FALSE, false, "device list while verifying");
    int nLastPosition = 0;
    int nHighestPosition = 0;
    bool bBoxShown = WaitUntil(
        [&] {
            if (session.FindDialog("KT3916Flash") != nullptr)
                return true;
            int nPosition = ProgressPosition(hProgress);
            Check(nPosition >= nLastPosition, "the progress went back from " + std::to_string(nLastPosition) + " to " +
                                                  std::to_string(nPosition) + " while verifying");
            nLastPosition = nPosition;
            nHighestPosition = std::max(nHighestPosition, nPosition);
            return false;
        },
        25000);
    Check(bBoxShown, "no message box within 25 s of the transfer");
    DWORD nVerifyMs = GetTickCount() - nVerifyStart;
    Note("verification took " + std::to_string(nVerifyMs) + " ms");
    // INQUIRY is first sent on the 13th one-second tick, and this device answers it.
    CheckBetween(nVerifyMs, 12000, 15500, "milliseconds from the transfer to \"Update success!!\"");
    CheckBetween(nHighestPosition, 12, 15, "progress reached while verifying");

    HWND hBox = session.ExpectMessageBox("Update success!!", 1000);
    CheckEqual(IsWindowEnabled(session.Control(IDOK)) != FALSE, false, "Flash button while the box is open");
    CheckEqual(ProgressPosition(hProgress), 15, "progress while the box is open");
    CheckEqual(ProgressMaximum(hProgress), 15, "progress maximum while verifying");
    session.PressOk(hBox);
    if (!WaitUntil([&] { return WindowText(hStatus) == "Flashing OK"; }, 3000))
        Fail("the status reads \"" + WindowText(hStatus) + "\" after success, not \"Flashing OK\"");
    CheckForm(session, {{kIdentity}, 0, "1.00", strImage, Hex4(nChecksum), "Flashing OK", true, 15}, "after success");
    CheckEqual(IsWindowEnabled(hList) != FALSE, true, "device list after success");
    session.Screenshot("success", session.FindFrame());
    CheckEqual(session.Close(10000), 0, "exit code");

    std::vector<TranscriptEntry> entries = ReadTranscript(strTranscript);
    std::vector<const TranscriptEntry*> blocks;
    size_t nStartIndex = entries.size();
    for (size_t i = 0; i < entries.size(); ++i) {
        if (entries[i].Opcode() == 0xFA)
            blocks.push_back(&entries[i]);
        if (entries[i].Opcode() == 0x1B && nStartIndex == entries.size())
            nStartIndex = i;
    }
    CheckEqual(static_cast<long long>(blocks.size()), 9, "block writes of a 512 KiB image");
    Check(nStartIndex < entries.size() && entries[nStartIndex].CdbByte(4) == 2 &&
              &entries[nStartIndex] < blocks.front(),
          "no START STOP UNIT 2 before the first block");
    for (size_t i = 0; i < blocks.size(); ++i) {
        std::string strWhere = "block " + std::to_string(i);
        CheckEqual(blocks[i]->strResult, "good", strWhere + " result");
        CheckEqual(blocks[i]->CdbByte(3), i + 1 == blocks.size() ? 1 : 0, strWhere + " final flag");
    }
    CheckEqual(Hex4(static_cast<unsigned>(blocks.back()->CdbByte(6) << 8 | blocks.back()->CdbByte(7))), Hex4(nChecksum),
               "checksum in the final block");
    std::vector<const TranscriptEntry*> polls;
    for (const TranscriptEntry& entry : entries) {
        if (&entry > blocks.back() && entry.Opcode() == 0x12)
            polls.push_back(&entry);
    }
    CheckEqual(static_cast<long long>(polls.size()), 1, "INQUIRY polls after the final block");
    CheckEqual(polls[0]->strResult, "good", "result of the poll");
    CheckBetween(polls[0]->tMs - blocks.back()->tMs, 12900, 14500,
                 "milliseconds from the final block to the first poll (13 ticks)");
}

void ScenarioBlockFailure(const Context& ctx)
{
    // A relative image path is taken from the program's own directory.
    const std::string strName = "kt_gui_relative.bin";
    std::string strImage = ExeDirectory(ctx.strExe) + strName;
    unsigned nChecksum = WriteImage(strImage, 524288);
    std::string strTranscript = Transcript(ctx);
    CAppSession session(ctx.strExe, ctx.strOutDir);
    session.Start("/B " + strName + " /F 1",
                  {"KT3916FLASH_EMULATE=fail_block=3", "KT3916FLASH_TRANSCRIPT=" + strTranscript});
    session.WaitForVisibleFrame(kStartTimeoutMs);
    HWND hBox = session.ExpectMessageBox("Send data to device failure!!", kStartTimeoutMs);
    FormState stopped{{kIdentity}, 0, "1.00", strImage, Hex4(nChecksum), "sending data....", false, 3};
    CheckForm(session, stopped, "while the failure is shown");
    CheckEqual(ProgressMaximum(session.Control(IDC_PROGRESS)), 8, "progress maximum of the 9-block plan");
    session.PressOk(hBox);
    // No verification follows: nothing more comes up, the button stays disabled.
    Sleep(1500);
    Check(session.FindDialog("KT3916Flash") == nullptr, "another message box after the block failure");
    CheckForm(session, stopped, "after the block failure");
    CheckEqual(session.Close(10000), 0, "exit code");
    DeleteFileA(strImage.c_str());

    int nBlocks = 0;
    std::string strLastResult;
    for (const TranscriptEntry& entry : ReadTranscript(strTranscript)) {
        if (entry.Opcode() == 0xFA) {
            ++nBlocks;
            strLastResult = entry.strResult;
        }
    }
    CheckEqual(nBlocks, 4, "block writes up to the failing one");
    CheckEqual(strLastResult, "check", "result of the failing block");
}

// A survey that stops at a message: the box comes up before the window does.
void ExpectMessageBeforeWindow(CAppSession& session, const std::string& strText)
{
    HWND hBox = session.ExpectMessageBox(strText, kStartTimeoutMs);
    HWND hFrame = session.FindFrame();
    Check(hFrame != nullptr, "no main window exists while the survey's box is shown");
    Check(!IsWindowVisible(hFrame), "the main window is visible before the survey's box is closed");
    session.PressOk(hBox);
    session.WaitForVisibleFrame(10000);
}

void ScenarioNoDevice(const Context& ctx)
{
    std::string strImage = Path(ctx, "nodevice-512k.bin");
    WriteImage(strImage, 524288);
    CAppSession session(ctx.strExe, ctx.strOutDir);
    session.Start("/B " + strImage + " /F 1", {"KT3916FLASH_EMULATE=devices=0"});
    ExpectMessageBeforeWindow(session, "No device found");
    CheckForm(session, {{}, -1, "", "", "", "Static", true, 0}, "after \"No device found\"");
    // The automatic start does not follow a survey that stopped.
    Sleep(1500);
    Check(session.FindDialog("KT3916Flash") == nullptr, "a download started after \"No device found\"");
    CheckEqual(session.Close(10000), 0, "exit code");
}

void ScenarioRealHost(const Context& ctx)
{
    // Without KT3916FLASH_EMULATE the program looks at Wine's real drives,
    // none of which is a CD-ROM-class device.
    std::string strImage = Path(ctx, "realhost-512k.bin");
    WriteImage(strImage, 524288);
    CAppSession session(ctx.strExe, ctx.strOutDir);
    session.Start("/B " + strImage, {});
    ExpectMessageBeforeWindow(session, "No device found");
    CheckForm(session, {{}, -1, "", "", "", "Static", true, 0}, "after \"No device found\"");
    CheckEqual(WindowText(session.FindFrame()), kCaption, "caption without the emulator");
    CheckEqual(session.Close(10000), 0, "exit code");
}

void ScenarioNoFile(const Context& ctx)
{
    CAppSession session(ctx.strExe, ctx.strOutDir);
    // Set but empty: the emulator with its defaults.
    session.Start("", {"KT3916FLASH_EMULATE="});
    ExpectMessageBeforeWindow(session, "No file be set");
    FormState noFile{{kIdentity}, 0, "1.00", "", "", "Static", true, 0};
    CheckForm(session, noFile, "after \"No file be set\"");
    HWND hButton = session.Control(IDOK);
    PostMessageW(session.Form(), WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), reinterpret_cast<LPARAM>(hButton));
    session.AnswerMessageBox("No file be set", 10000);
    CheckForm(session, noFile, "after Flash without a file");
    CheckEqual(session.Close(10000), 0, "exit code");
}

void ScenarioAbout(const Context& ctx)
{
    std::string strImage = Path(ctx, "about-512k.bin");
    WriteImage(strImage, 524288);
    CAppSession session(ctx.strExe, ctx.strOutDir);
    session.Start("/B " + strImage, {"KT3916FLASH_EMULATE="});
    HWND hFrame = session.WaitForVisibleFrame(kStartTimeoutMs);
    HWND hStatusBar = session.StatusBar();

    // Through the menu, as Alt+H and then A would: the popup opens on its
    // first item, whose prompt shows in the status bar.
    PostMessageW(hFrame, WM_SYSCOMMAND, SC_KEYMENU, 'h');
    if (!WaitUntil([&] { return StatusBarPaneText(hStatusBar, 0) == "顯示程式的資訊， 版本及版權"; }, 5000))
        Fail("the about item's prompt did not show; the pane reads \"" + StatusBarPaneText(hStatusBar, 0) + "\"");
    // Wine paints the popup at no fixed moment after showing it, so it is
    // looked for but not photographed.
    Check(WaitUntil([&] { return session.FindTopLevel("#32768") != nullptr; }, 5000), "no popup menu is shown");
    PostMessageW(hFrame, WM_CHAR, 'a', 0);
    HWND hAbout = session.WaitForDialog(kAboutCaption, 10000);
    Check(!IsWindowEnabled(hFrame), "the main window takes input while the about box is open");
    std::vector<HWND> children = ChildrenInOrder(hAbout);
    CheckEqual(static_cast<long long>(children.size()), 4, "controls of the about box");
    CheckEqual(GetWindowLongW(children[0], GWL_STYLE) & SS_TYPEMASK, SS_ICON, "first control is the icon");
    Check(SendMessageW(children[0], STM_GETICON, 0, 0) != 0, "the about box's icon control shows no icon");
    CheckEqual(WindowText(children[1]), "KT3916Flash Version 1.1", "about box version line");
    Check(!WindowText(children[2]).empty(), "the about box's legal notice is empty");
    CheckEqual(WindowText(children[3]), "確定", "about box button");
    CheckEqual(GetDlgCtrlID(children[3]), IDOK, "about box button id");
    session.Screenshot("about", hAbout);
    CheckEqual(StatusBarPaneText(hStatusBar, 0), kIdleText, "message pane once the menu has closed");
    session.PressOk(hAbout);
    Check(IsWindowEnabled(hFrame), "the main window stays disabled after the about box");

    // The command reaches the application from the frame; Esc closes the box.
    PostMessageW(hFrame, WM_COMMAND, MAKEWPARAM(ID_APP_ABOUT, 0), 0);
    hAbout = session.WaitForDialog(kAboutCaption, 10000);
    PostMessageW(hAbout, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
    Check(WaitUntil([&] { return !IsWindow(hAbout); }, 5000), "the about box did not close on Esc");
    CheckEqual(session.Close(10000), 0, "exit code");
}

void ScenarioBadScenario(const Context& ctx)
{
    CAppSession session(ctx.strExe, ctx.strOutDir);
    session.Start("", {"KT3916FLASH_EMULATE=colour=blue"});
    HWND hBox = session.WaitForDialog("KT3916Flash", kStartTimeoutMs);
    MessageBoxContent content = CAppSession::ReadMessageBox(hBox);
    Check(content.strText.find("KT3916FLASH_EMULATE") != std::string::npos &&
              content.strText.find("colour") != std::string::npos,
          "the message \"" + content.strText + "\" does not name the variable and the bad key");
    CheckEqual(static_cast<long long>(content.buttonIds.size()), 1, "buttons of the message box");
    Check(session.FindFrame() == nullptr, "a main window exists despite the bad scenario");
    session.PressOk(hBox);
    CheckEqual(session.WaitForExit(10000), 1, "exit code after a bad scenario");
}

// Against a real drive: Wine's D: (and E:) are the CD-ROM nodes of KT3916s
// that kt3916flash-emulator serves through the kernel, and no emulator
// variable is set, so the program's own Win32 host surveys and flashes the
// first drive, or the one /S names. The transcript is the server's, checked
// by the script that started it. Wine under full software emulation starts
// slowly: the waits are generous.
void FlashServedDevice(const Context& ctx, const std::string& strExtraArgs, const std::string& strShot,
                       const std::vector<std::string>& items)
{
    constexpr DWORD kSlowStartMs = 300000;
    std::string strImage = Path(ctx, strShot + "-512k.bin");
    unsigned nChecksum = WriteImage(strImage, 524288);
    CAppSession session(ctx.strExe, ctx.strOutDir);
    session.Start("/B " + strImage + " /F 1" + strExtraArgs, {});
    session.WaitForVisibleFrame(kSlowStartMs);
    HWND hBox = session.ExpectMessageBox("Update success!!", kSlowStartMs);
    session.Screenshot(strShot, session.FindFrame());
    session.PressOk(hBox);
    CheckForm(session, {items, 0, "1.00", strImage, Hex4(nChecksum), "Flashing OK", true, 15},
              "after success on the served device");
    CheckEqual(session.Close(30000), 0, "exit code");
}

void ScenarioServedFlash(const Context& ctx)
{
    // D: to F: are served KT3916s, G: the plain drive. The kernel's test
    // drive ends its vendor field with a zero byte ("OTHERCO\0"), and the
    // form's entry is the identity bytes up to the first zero byte.
    FlashServedDevice(ctx, "", "served", {kIdentity, kIdentity, kIdentity, "OTHERCO"});
}

void ScenarioServedFlashDriveE(const Context& ctx)
{
    FlashServedDevice(ctx, " /S E:", "served-s", {kIdentity});
}

// A transcript that is the image, under another spelling of its name, would
// have JSON appended to the firmware: refused before anything is opened.
void ScenarioTranscriptIsImage(const Context& ctx)
{
    std::string strImage = Path(ctx, "transcript-image-512k.bin");
    WriteImage(strImage, 524288);
    std::string strOtherSpelling = Path(ctx, "TRANSCRIPT-IMAGE-512K.BIN");
    CAppSession session(ctx.strExe, ctx.strOutDir);
    session.Start("/B " + strImage, {"KT3916FLASH_EMULATE=", "KT3916FLASH_TRANSCRIPT=" + strOtherSpelling});
    HWND hBox = session.WaitForDialog("KT3916Flash", kStartTimeoutMs);
    MessageBoxContent content = CAppSession::ReadMessageBox(hBox);
    Check(content.strText.find("KT3916FLASH_TRANSCRIPT names the image file itself") != std::string::npos,
          "the message \"" + content.strText + "\" does not say the transcript is the image");
    Check(session.FindFrame() == nullptr, "a main window exists despite the transcript naming the image");
    session.PressOk(hBox);
    CheckEqual(session.WaitForExit(10000), 1, "exit code when the transcript is the image");
    WIN32_FILE_ATTRIBUTE_DATA attributes = {};
    Check(GetFileAttributesExA(strImage.c_str(), GetFileExInfoStandard, &attributes) != 0, "the image is gone");
    CheckEqual(static_cast<long long>(attributes.nFileSizeLow), 524288, "image size after the refusal");
}

const std::map<std::string, std::function<void(const Context&)>> kScenarios = {
    {"resources", ScenarioResources},
    {"survey", ScenarioSurvey},
    {"flash", ScenarioFlash},
    {"block_failure", ScenarioBlockFailure},
    {"no_device", ScenarioNoDevice},
    {"real_host", ScenarioRealHost},
    {"no_file", ScenarioNoFile},
    {"about", ScenarioAbout},
    {"bad_scenario", ScenarioBadScenario},
    {"served_flash", ScenarioServedFlash},
    {"served_flash_drive_e", ScenarioServedFlashDriveE},
    {"transcript_is_image", ScenarioTranscriptIsImage},
};
}  // namespace

int main(int argc, char** argv)
{
    if (argc != 4 || kScenarios.count(argv[1]) == 0) {
        std::printf("usage: kt_gui_driver SCENARIO EXE OUTDIR\nscenarios:");
        for (const auto& entry : kScenarios)
            std::printf(" %s", entry.first.c_str());
        std::printf("\n");
        return 2;
    }
    InitCommonControls();
    Context ctx{argv[2], argv[3], argv[1]};
    SetScenarioName(ctx.strScenario);
    CheckNoBlank(ctx.strExe);
    CheckNoBlank(ctx.strOutDir);
    CreateDirectoryA(ctx.strOutDir.c_str(), nullptr);
    DWORD nStart = GetTickCount();
    kScenarios.at(ctx.strScenario)(ctx);
    std::printf("PASS [%s] in %lu ms\n", ctx.strScenario.c_str(), static_cast<unsigned long>(GetTickCount() - nStart));
    return 0;
}
