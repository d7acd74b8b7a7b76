#pragma once
#include "app/win32/host_choice.h"
#include "app/win32/shell_app.h"

// The application: start-up and the about command.
class CFlashApp final : public CShellApp {
public:
    CFlashApp() = default;

    bool OnCmdMsg(UINT nID, int nCode) override;
    void OnAppAbout();

protected:
    bool InitInstance() override;

private:
    CHostChoice m_hostChoice;
};
