#pragma once
#include "app/win32/host_choice.h"
#include "app/win32/shell_app.h"

// Settings would go under this registry key; the program stores none.
constexpr char kRegistryKeyName[] = "KT3916 FLASH TOOL";

// The application: start-up and the about command.
class CFlashApp final : public CShellApp {
public:
    CFlashApp() = default;

    bool OnCmdMsg(UINT nID, int nCode) override;
    void OnAppAbout();

protected:
    bool InitInstance() override;

private:
    const char* m_pszRegistryKey = nullptr;
    CHostChoice m_hostChoice;
};
