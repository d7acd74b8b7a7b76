#include "base/file_identity.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/stat.h>
#endif

#ifdef _WIN32

namespace {

// No access rights are asked for, so a file another program holds open is
// still examined; backup semantics lets a directory be opened too.
bool ReadFileIdentity(const std::string& path, BY_HANDLE_FILE_INFORMATION& info)
{
    const HANDLE handle = CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    const bool ok = GetFileInformationByHandle(handle, &info) != 0;
    CloseHandle(handle);
    return ok;
}

}  // namespace

bool IsSameFile(const std::string& pathA, const std::string& pathB)
{
    BY_HANDLE_FILE_INFORMATION a = {};
    BY_HANDLE_FILE_INFORMATION b = {};
    if (!ReadFileIdentity(pathA, a) || !ReadFileIdentity(pathB, b))
        return false;
    return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
           a.nFileIndexLow == b.nFileIndexLow;
}

#else

bool IsSameFile(const std::string& pathA, const std::string& pathB)
{
    struct stat a {};
    struct stat b {};
    if (stat(pathA.c_str(), &a) != 0 || stat(pathB.c_str(), &b) != 0)
        return false;
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

#endif
