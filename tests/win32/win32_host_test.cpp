// The real Win32 host under the test system's own drives.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "device/drive_nodes.h"
#include "device/flash_device.h"
#include "device/host.h"

namespace {

std::vector<std::string> Roots(IScsiHost& host)
{
    char buffer[1024] = {};
    const uint32_t length = host.GetLogicalDriveRoots(sizeof(buffer), buffer);
    std::vector<std::string> roots;
    for (uint32_t pos = 0; pos < length && buffer[pos] != '\0';
         pos += static_cast<uint32_t>(std::string(buffer + pos).size()) + 1)
        roots.emplace_back(buffer + pos);
    return roots;
}

}  // namespace

TEST(Win32Host, ReportsTheNtFamilyAndACounter)
{
    std::unique_ptr<IScsiHost> host = CreatePlatformHost();
    uint32_t platformId = 0;
    ASSERT_TRUE(host->GetVersionPlatformId(platformId));
    EXPECT_EQ(platformId, 2u);  // VER_PLATFORM_WIN32_NT
    EXPECT_GT(host->QueryCounterFrequency(), 0);
    const int64_t first = host->QueryCounter();
    EXPECT_GE(host->QueryCounter(), first);
}

TEST(Win32Host, DriveListFollowsTheSystemContract)
{
    std::unique_ptr<IScsiHost> host = CreatePlatformHost();
    const std::vector<std::string> roots = Roots(*host);
    ASSERT_FALSE(roots.empty());
    for (const std::string& root : roots) {
        EXPECT_EQ(root.size(), 3u) << root;
        EXPECT_EQ(root.substr(1), ":\\") << root;
    }
    // Too short a buffer: the length needed comes back, and nothing is written.
    char small[2] = {'x', 'y'};
    const uint32_t needed = host->GetLogicalDriveRoots(sizeof(small), small);
    EXPECT_EQ(needed, roots.size() * 4 + 1);
    EXPECT_EQ(small[0], 'x');
    EXPECT_EQ(host->GetDriveKind("C:\\"), static_cast<uint32_t>(DRIVE_FIXED));
    EXPECT_EQ(host->GetDriveKind("C:"), static_cast<uint32_t>(DRIVE_FIXED));
}

TEST(Win32Host, HandlesAndEvents)
{
    std::unique_ptr<IScsiHost> host = CreatePlatformHost();
    EXPECT_EQ(host->OpenDevice("\\\\.\\KT3916-NO-SUCH-DEVICE"), kInvalidHandle);
    // Why a drive could not be opened reaches the console build this way.
    ASSERT_NE(host->DriveNodes(), nullptr);
    EXPECT_EQ(host->DriveNodes()->LetterForNode("\\\\.\\D:"), 0);

    PassThroughRequest request{};
    EXPECT_FALSE(host->SendPassThrough(kInvalidHandle, request));
    // The system's reason, kept although later calls change the last error.
    SetLastError(ERROR_SUCCESS);
    char text[200];
    host->DescribeLastFailure(text, sizeof text);
    EXPECT_EQ(std::string(text).rfind("DeviceIoControl: ", 0), 0u) << text;
    EXPECT_EQ(std::string(text).find("(error 0)"), std::string::npos) << text;

    const HostHandle event = host->Aspi()->CreateCompletionEvent();
    ASSERT_NE(event, 0u);
    EXPECT_FALSE(host->Aspi()->WaitCompletionEvent(event, 0));
    SetEvent(reinterpret_cast<HANDLE>(event));
    EXPECT_TRUE(host->Aspi()->WaitCompletionEvent(event, 0));
    // Manual reset: it stays signalled.
    EXPECT_TRUE(host->Aspi()->WaitCompletionEvent(event, 0));
    host->Aspi()->CloseCompletionEvent(event);

    EXPECT_EQ(host->Aspi()->LoadAspiLibrary("KT3916-NO-SUCH-LIBRARY"), 0u);
}

TEST(Win32Host, ExclusiveAccessIsNotOfferedWhereNoCdromDriverGivesIt)
{
    std::unique_ptr<IScsiHost> host = CreatePlatformHost();
    ExclusiveAccess access = ExclusiveAccess::Held;
    EXPECT_EQ(host->OpenDeviceExclusive("\\\\.\\KT3916-NO-SUCH-DEVICE", access), kInvalidHandle);
    EXPECT_EQ(access, ExclusiveAccess::NotOffered) << "a drive that is not there is no busy one";
    // A fixed disk's driver has no such lock: the handle is open all the same.
    const HostHandle disk = host->OpenDeviceExclusive("\\\\.\\C:", access);
    ASSERT_NE(disk, kInvalidHandle) << GetLastError();
    EXPECT_EQ(access, ExclusiveAccess::NotOffered);
    host->CloseDevice(disk);
}

TEST(Win32Host, DiscoveryOnTheSystemDrives)
{
    std::unique_ptr<IScsiHost> host = CreatePlatformHost();
    int cdromRoots = 0;
    for (const std::string& root : Roots(*host))
        cdromRoots += host->GetDriveKind(root.c_str()) == kDriveTypeCdrom;

    CFlashDevice device(*host);
    EXPECT_FALSE(device.IsWin9x());
    EXPECT_LE(device.GetDeviceCount(), cdromRoots);
    if (cdromRoots == 0) {
        EXPECT_EQ(device.GetDeviceCount(), 0);
        // No device: the command fails without reaching anything.
        EXPECT_NE(device.Inquiry(), CommandResult::Good);
    }
    EXPECT_FALSE(device.OpenDrive("C:"));  // a fixed disk
    EXPECT_EQ(device.GetDeviceCount(), 0);
    device.EnumerateDevices();
    EXPECT_LE(device.GetDeviceCount(), cdromRoots);
}
