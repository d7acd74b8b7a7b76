#pragma once
#include <cstdint>
#include <string>

// The four option values of the command line. The desktop program has one
// thread; the command-line tool runs one form per thread, so each thread
// carries its own copy.
extern thread_local std::string g_strImagePath;
extern thread_local std::string g_strDriveSpec;
extern thread_local int32_t g_bAutoFlash;
extern thread_local std::string g_strOptionText;
