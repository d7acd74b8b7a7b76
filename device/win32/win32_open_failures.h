#pragma once
#include <cstdint>
#include <mutex>
#include <string>

#include "device/drive_nodes.h"

// Why the Win32 host's last open of each drive (\\.\X:) failed, for the
// console build's listing: the system's error code per drive letter.
class CWin32OpenFailures {
public:
    // The open of path ended with error (0 when it succeeded). A path that
    // names no drive letter is not kept.
    void Record(const char* path, uint32_t nError);
    // What stands between the user and the drive; no facts when the last
    // open succeeded or failed for another reason.
    OpenFailure Problem(char drive) const;

private:
    uint32_t LastError(char drive) const;

    mutable std::mutex m_mutex;
    uint32_t m_nErrors[26] = {};
};
