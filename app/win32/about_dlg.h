#pragma once
#include "app/win32/win32_include.h"
#include "res/resource.h"

// The about box on the dialog template IDD_ABOUTBOX. It closes with its OK
// button, Esc or its close box.
class CAboutDlg {
public:
    enum {
        IDD = IDD_ABOUTBOX
    };

    CAboutDlg() = default;
    // Runs the box modally over hOwner; returns the id that closed it.
    INT_PTR DoModal(HWND hOwner);

private:
    static INT_PTR CALLBACK DialogProc(HWND hWnd, UINT nMessage, WPARAM wParam, LPARAM lParam);
};
