#pragma once
#include <memory>
#include <string>

#include "device/host_stack.h"

// The host the program's device object talks to, with what it needs to live.
// Members are destroyed in reverse order, so the stack goes before the
// transcript it writes to.
struct CHostChoice {
    std::unique_ptr<IOutputFile> pTranscript;
    CHostStack stack;
};

// The emulated bench when KT3916FLASH_EMULATE is set, even to an empty text
// (the scenario; empty for the defaults), the platform's own host otherwise;
// either way with every command appended to the file KT3916FLASH_TRANSCRIPT
// names (the platform's through the recording layer). A scenario that does
// not parse, a transcript that cannot be opened or that is the image file
// g_strImagePath names gives false and the reason in strError: a request for
// the emulator is never turned into real hardware access.
bool ChooseHost(CHostChoice& choice, std::string& strError);
