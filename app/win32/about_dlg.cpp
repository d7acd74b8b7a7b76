#include "app/win32/about_dlg.h"

#include "app/win32/shell_app.h"
#include "res/resource.h"

namespace {
// The template places the box at 0,0; it is shown centred over its owner.
void CenterOverOwner(HWND hWnd)
{
    HWND hOwner = GetWindow(hWnd, GW_OWNER);
    RECT rcOwner = {};
    if (hOwner == nullptr || !IsWindowVisible(hOwner))
        SystemParametersInfoW(SPI_GETWORKAREA, 0, &rcOwner, 0);
    else
        GetWindowRect(hOwner, &rcOwner);
    RECT rc = {};
    GetWindowRect(hWnd, &rc);
    int x = rcOwner.left + ((rcOwner.right - rcOwner.left) - (rc.right - rc.left)) / 2;
    int y = rcOwner.top + ((rcOwner.bottom - rcOwner.top) - (rc.bottom - rc.top)) / 2;
    SetWindowPos(hWnd, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

INT_PTR CALLBACK DialogProc(HWND hWnd, UINT nMessage, WPARAM wParam, LPARAM)
{
    switch (nMessage) {
    case WM_INITDIALOG:
        CenterOverOwner(hWnd);
        return TRUE;
    case WM_COMMAND:
        if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) {
            EndDialog(hWnd, LOWORD(wParam));
            return TRUE;
        }
        return FALSE;
    default:
        return FALSE;
    }
}
}  // namespace

INT_PTR ShowAboutBox(HWND hOwner)
{
    return DialogBoxParamW(CShellApp::GetApp()->GetInstance(), MAKEINTRESOURCEW(IDD_ABOUTBOX), hOwner, DialogProc, 0);
}
