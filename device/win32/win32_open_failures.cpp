#include "device/win32/win32_open_failures.h"

#include <windows.h>

#include "device/drive_name.h"

void CWin32OpenFailures::Record(const char* path, uint32_t nError)
{
    const int index = DriveLetterIndex(DevicePathLetter(path));
    if (index < 0)
        return;
    std::lock_guard<std::mutex> lock(m_mutex);
    m_nErrors[index] = nError;
}

uint32_t CWin32OpenFailures::LastError(char drive) const
{
    const int index = DriveLetterIndex(drive);
    if (index < 0)
        return ERROR_SUCCESS;
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_nErrors[index];
}

OpenFailure CWin32OpenFailures::Problem(char drive) const
{
    OpenFailure failure;
    switch (LastError(drive)) {
    case ERROR_ACCESS_DENIED:
        failure.kind = OpenFailure::Kind::Denied;
        failure.strFacts = "access denied";
        break;
    case ERROR_SHARING_VIOLATION:
        failure.kind = OpenFailure::Kind::Busy;
        failure.strFacts = "in use by another program";
        break;
    default:
        break;
    }
    return failure;
}
