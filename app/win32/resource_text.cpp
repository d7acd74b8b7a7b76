#include "app/win32/resource_text.h"

std::wstring LoadResourceString(HINSTANCE hInstance, UINT nID)
{
    // With a zero buffer length LoadStringW hands out a read-only pointer to
    // the resource text itself, which is not zero-terminated.
    const wchar_t* pszText = nullptr;
    int nLength = LoadStringW(hInstance, nID, reinterpret_cast<LPWSTR>(&pszText), 0);
    if (nLength <= 0 || pszText == nullptr)
        return std::wstring();
    return std::wstring(pszText, static_cast<size_t>(nLength));
}
