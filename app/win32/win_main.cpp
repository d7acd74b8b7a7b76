#include "app/win32/shell_app.h"

int WINAPI WinMain(HINSTANCE hInstance, HINSTANCE, LPSTR, int)
{
    // The show command handed to the process is not used: the frame is
    // always shown plainly.
    return CShellApp::GetApp()->Run(hInstance);
}
