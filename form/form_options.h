#pragma once
#include <cstdint>
#include <string>

// What the flash form is told to do: the image, the drive, whether to flash
// at once, and the checksum text it shows. The desktop program's option
// parser fills them at start-up, the command-line tool before each form. The
// desktop program has one thread; the command-line tool runs one form per
// thread, so each thread carries its own copy.
extern thread_local std::string g_strImagePath;
extern thread_local std::string g_strDriveSpec;
extern thread_local int32_t g_bAutoFlash;
extern thread_local std::string g_strOptionText;
