#include <gtest/gtest.h>

#include "device/scsi_device.h"
#include "tests/fake_host.h"

namespace {

// The letter of an ASPI device is what the layer's disk information says,
// and only when that query completed: a failed one leaves a zero, which is
// no drive A:.
TEST(AspiDriveLetter, ComesFromACompletedDiskInfoQuery)
{
    const struct {
        const char* name;
        uint8_t status;
        uint8_t driveNumber;
        char letter;
    } cases[] = {
        {"D:", SS_COMP, 3, 'D'},        {"A: as reported", SS_COMP, 0, 'A'},
        {"query failed", SS_ERR, 0, 0}, {"no such drive number", SS_COMP, 0xFF, 0},
        {"past Z:", SS_COMP, 26, 0},
    };
    for (const auto& c : cases) {
        FakeScsiHost host;
        host.platformId = kPlatformWin32Windows;
        host.aspiTargets[{0, 2}] = {SS_COMP, kPeripheralTypeCdrom, c.driveNumber};
        host.diskInfoStatus = c.status;
        CScsiDevice device(host);
        ASSERT_EQ(device.GetDeviceCount(), 1) << c.name;
        EXPECT_EQ(device.QueryAspiDriveLetter(0), c.letter) << c.name;
        EXPECT_EQ(device.QueryAspiDriveLetter(1), 0) << c.name << ": no such entry";
        EXPECT_TRUE(host.errors.empty()) << c.name;
    }
}

TEST(AspiDriveLetter, PassThroughEntriesAreNotAsked)
{
    FakeScsiHost host;
    host.SetDrives({"C:\\", "D:\\"}, "D");
    CScsiDevice device(host);
    ASSERT_EQ(device.GetDeviceCount(), 1);
    EXPECT_EQ(device.QueryAspiDriveLetter(0), 0);
    EXPECT_TRUE(host.diskInfoQueries.empty());
}

}  // namespace
