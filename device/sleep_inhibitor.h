#pragma once
#include <memory>

// Keeps the machine from going to sleep while a device is written and
// restarts. The form asks for it at the start of the transfer and gives it
// up when the verification wait ends (or the transfer fails, or the form
// goes away), on the same thread; calls alternate, KeepAwake first.
class ISleepInhibitor {
public:
    virtual ~ISleepInhibitor() = default;
    virtual void KeepAwake() = 0;
    virtual void AllowSleep() = 0;
};

// The platform's: SetThreadExecutionState for the calling thread on Windows;
// on Linux an inhibitor lock from logind, taken over the system bus in the
// name of program, and nothing where there is no system bus or no logind.
std::unique_ptr<ISleepInhibitor> CreatePlatformSleepInhibitor(const char* program);
