#pragma once
#include <windows.h>

#include <string>
#include <vector>

// Reading the windows of another process. Standard messages (WM_GETTEXT,
// CB_GETLBTEXT) are carried across processes by the system; the status bar's
// messages are not, so those go through a buffer in the other process.

std::string WindowText(HWND hWnd);  // UTF-8
std::string ClassOf(HWND hWnd);
std::vector<HWND> ChildrenInOrder(HWND hParent);  // direct children, creation order
std::vector<std::string> ComboItems(HWND hCombo);
int ComboSelection(HWND hCombo);
int ProgressPosition(HWND hProgress);
int ProgressMaximum(HWND hProgress);
int StatusBarPaneCount(HWND hStatusBar);
std::string StatusBarPaneText(HWND hStatusBar, int nPane);
// Rectangle of hWnd in the client coordinates of hReference.
RECT RectIn(HWND hWnd, HWND hReference);
// The window that has the keyboard focus in hWnd's thread.
HWND FocusOfThread(HWND hWnd);
