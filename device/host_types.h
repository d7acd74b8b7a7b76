#pragma once
#include <cstdint>

// A handle as the operating system gives it: a HANDLE on Windows, a file
// descriptor on Linux, a token of the emulated host. Pointer-sized, so it is
// 32 bits in the Windows build.
using HostHandle = std::uintptr_t;
constexpr HostHandle kInvalidHandle = ~HostHandle{0};  // INVALID_HANDLE_VALUE

// An entry point looked up in a loaded library (FARPROC on Windows).
using AspiEntryPoint = void*;

constexpr uint32_t kPlatformWin32Windows = 1;  // VER_PLATFORM_WIN32_WINDOWS (9x)
constexpr uint32_t kDriveTypeCdrom = 5;        // DRIVE_CDROM
constexpr uint32_t kDriveTypeFixed = 3;        // DRIVE_FIXED

// What OpenDeviceExclusive got.
enum class ExclusiveAccess {
    Held,        // no other handle can send the drive commands
    Busy,        // another handle holds the drive: it was not opened
    NotOffered,  // the system cannot lock the drive: opened without the lock
};
