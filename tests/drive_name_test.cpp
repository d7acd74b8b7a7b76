#include <gtest/gtest.h>

#include "device/drive_name.h"

TEST(DriveName, EachFormNamesItsLetterAndNothingElse)
{
    const struct {
        const char* text;
        char root;    // as a drive root
        char device;  // as a device path
    } cases[] = {
        {"D:", 'D', 0},     {"e:\\", 'E', 0},    {"\\\\.\\D:", 0, 'D'}, {"\\\\.\\z:", 0, 'Z'}, {"D", 0, 0},
        {"D:\\x", 0, 0},    {"D:/", 0, 0},       {"1:", 0, 0},          {"\xc4:", 0, 0},       {"\\\\.\\D:\\", 0, 0},
        {"\\\\.\\D", 0, 0}, {"\\\\?\\D:", 0, 0}, {"\\\\.\\DE:", 0, 0},  {"//./D:", 0, 0},      {"", 0, 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(DriveRootLetter(c.text), c.root) << c.text;
        EXPECT_EQ(DevicePathLetter(c.text), c.device) << c.text;
    }
    EXPECT_EQ(DriveRootLetter(static_cast<const char*>(nullptr)), 0);
    EXPECT_EQ(DevicePathLetter(static_cast<const char*>(nullptr)), 0);
    char path[kDevicePathSize];
    FormatDevicePath('F', path);
    EXPECT_STREQ(path, "\\\\.\\F:");
    // A root or a specification: its first two characters, case kept.
    for (const auto& [spec, device] :
         {std::pair{"D:\\", "\\\\.\\D:"}, {"d:", "\\\\.\\d:"}, {"D", "\\\\.\\D"}, {"", "\\\\.\\"}}) {
        FormatDevicePath(spec, path);
        EXPECT_STREQ(path, device) << spec;
    }
}
