#pragma once
#include <string>

#include "app/win32/win32_include.h"

// The program's one kind of message box: modal, one OK button, the
// exclamation icon, the application title as caption.
void ShowAppMessage(HWND hOwner, const std::string& strText);
