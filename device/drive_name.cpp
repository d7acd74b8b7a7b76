#include "device/drive_name.h"

namespace {

constexpr std::string_view kDevicePathPrefix = "\\\\.\\";

char UpperLetter(char ch)
{
    const int index = DriveLetterIndex(ch);
    return index < 0 ? '\0' : static_cast<char>('A' + index);
}

}  // namespace

// Not isalpha/toupper: a locale must not make another byte a drive letter.
int DriveLetterIndex(char ch)
{
    if (ch >= 'a' && ch <= 'z')
        return ch - 'a';
    return ch >= 'A' && ch <= 'Z' ? ch - 'A' : -1;
}

char DriveRootLetter(std::string_view text)
{
    if (text.size() < 2 || text.size() > 3 || text[1] != ':' || (text.size() == 3 && text[2] != '\\'))
        return 0;
    return UpperLetter(text[0]);
}

char DevicePathLetter(std::string_view text)
{
    if (text.size() != kDevicePathPrefix.size() + 2 || !text.starts_with(kDevicePathPrefix) || text.back() != ':')
        return 0;
    return UpperLetter(text[kDevicePathPrefix.size()]);
}

void FormatDevicePath(const char* driveSpec, char (&path)[kDevicePathSize])
{
    // A one-character specification ends the path after its letter.
    const char chLetter = driveSpec[0];
    const char chSecond = chLetter != '\0' ? driveSpec[1] : '\0';
    const char text[kDevicePathSize] = {'\\', '\\', '.', '\\', chLetter, chSecond, '\0'};
    for (std::size_t i = 0; i < kDevicePathSize; ++i)
        path[i] = text[i];
}
