#pragma once
#include <cstddef>
#include <string>
#include <string_view>

// The names a drive goes by, in either case: its root "D:" or "D:\" and the
// device path "\\.\D:" that opens it. Each parser gives the letter in upper
// case, or 0 when the text is not that name.
char DriveRootLetter(std::string_view text);
char DevicePathLetter(std::string_view text);
// A drive letter in either case counted from A: as 0; -1 for any other byte.
int DriveLetterIndex(char letter);
// The same for what a host was handed, which may be null.
inline char DriveRootLetter(const char* text)
{
    return text != nullptr ? DriveRootLetter(std::string_view(text)) : '\0';
}
inline char DevicePathLetter(const char* text)
{
    return text != nullptr ? DevicePathLetter(std::string_view(text)) : '\0';
}

// The device path of a drive: "\\.\" and the first two characters of its
// root or specification, as given ("\\.\D:" for "D:\", "\\.\d:" for "d:").
constexpr std::size_t kDevicePathSize = 7;
void FormatDevicePath(const char* driveSpec, char (&path)[kDevicePathSize]);
inline void FormatDevicePath(char drive, char (&path)[kDevicePathSize])
{
    const char spec[] = {drive, ':', '\0'};
    FormatDevicePath(spec, path);
}

// "D:" for a drive, "-" for a device reached without a letter.
inline std::string DriveText(char drive)
{
    return drive ? std::string(1, drive) + ":" : std::string("-");
}
