#pragma once
// windows.h for the shell. Its MessageBox macro would rename the form
// window's MessageBox member in this program only, so it goes; the shell
// calls MessageBoxA by name.
#include <windows.h>
#include <commctrl.h>
#undef MessageBox
