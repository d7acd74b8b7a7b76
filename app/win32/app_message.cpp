#include "app/win32/app_message.h"

#include "app/win32/shell_app.h"

void ShowAppMessage(HWND hOwner, const std::string& strText)
{
    CShellApp* pApp = CShellApp::GetApp();
    MessageBoxA(hOwner, strText.c_str(), pApp->GetAppName().c_str(), MB_OK | MB_ICONEXCLAMATION);
}
