#pragma once
#include <string>

#include "app/win32/win32_include.h"

// A string of the module's string table as UTF-16, so that Traditional
// Chinese texts show whatever the system's code page; empty when missing.
std::wstring LoadResourceString(HINSTANCE hInstance, UINT nID);
