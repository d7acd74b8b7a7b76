#pragma once
#include "app/win32/host_choice.h"
#include "app/win32/shell_app.h"

// The application: start-up and the about command.
class CFlashApp final : public CShellApp {
public:
    bool OnCmdMsg(UINT nID, int nCode) override;

protected:
    bool InitInstance() override;

private:
    CHostChoice m_hostChoice;
};
