#pragma once
#include "app/win32/win32_include.h"

// Runs the about box (template IDD_ABOUTBOX) modally over hOwner; it closes
// with its OK button, Esc or its close box. Returns the id that closed it.
INT_PTR ShowAboutBox(HWND hOwner);
