// Finding the CD-ROM-class devices on both platform families.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "device/scsi_device.h"
#include "fake_host.h"

namespace {

std::string Letters(const CScsiDevice& device)
{
    std::string letters;
    for (int16_t i = 0; i < device.GetDeviceCount(); ++i)
        letters += device.GetDeviceEntry(i)->chDrive;
    return letters;
}

size_t IndexOf(const std::vector<std::string>& log, const std::string& line)
{
    return static_cast<size_t>(std::find(log.begin(), log.end(), line) - log.begin());
}

std::vector<std::string> ManyRoots(int count)
{
    std::vector<std::string> roots;
    for (int i = 0; i < count; ++i)
        roots.push_back(std::string(1, static_cast<char>('A' + i)) + ":\\");
    return roots;
}

FakeScsiHost Win9xHost()
{
    FakeScsiHost host;
    host.platformId = kPlatformWin32Windows;
    return host;
}

}  // namespace

TEST(DriveLetterScan, FindsTheCdromDrivesInListOrder)
{
    struct Case {
        const char* name;
        std::vector<std::string> roots;
        std::string cdroms;
        std::vector<std::string> unopenable;
        std::string expected;
    };
    const Case cases[] = {
        {"only D of A, C, D", {"A:\\", "C:\\", "D:\\"}, "D", {}, "D"},
        {"a single CD-ROM drive", {"D:\\"}, "D", {}, "D"},
        {"D and E", {"C:\\", "D:\\", "E:\\"}, "DE", {}, "DE"},
        {"list order, not letter order", {"E:\\", "D:\\"}, "DE", {}, "ED"},
        {"an unopenable drive is skipped", {"D:\\", "E:\\", "F:\\"}, "DEF", {"\\\\.\\E:"}, "DF"},
        {"no CD-ROM drive", {"A:\\", "C:\\"}, "", {}, ""},
        {"no drives at all", {}, "", {}, ""},
    };
    for (const Case& c : cases) {
        FakeScsiHost host;
        host.SetDrives(c.roots, c.cdroms);
        host.unopenablePaths.insert(c.unopenable.begin(), c.unopenable.end());
        CScsiDevice device(host);
        EXPECT_EQ(Letters(device), c.expected) << c.name;
        EXPECT_EQ(host.driveListBufferLengths.front(), 80u) << c.name;
        // Only CD-ROM drives are opened, by their device path.
        for (const std::string& path : host.openedPaths) {
            ASSERT_EQ(path.size(), 6u) << c.name;
            EXPECT_EQ(path.substr(0, 4), "\\\\.\\") << c.name;
            EXPECT_NE(c.cdroms.find(path[4]), std::string::npos) << c.name;
            EXPECT_EQ(path[5], ':') << c.name;
        }
        for (int16_t i = 0; i < device.GetDeviceCount(); ++i) {
            const DeviceEntry& entry = *device.GetDeviceEntry(i);
            EXPECT_NE(entry.hDevice, kInvalidHandle);
            EXPECT_EQ(host.openHandles.count(entry.hDevice), 1u);
            EXPECT_EQ(entry.nAdapter, 0xFF);
            EXPECT_EQ(entry.nTarget, 0xFF);
        }
        EXPECT_TRUE(host.errors.empty()) << c.name;
    }
}

TEST(DriveLetterScan, SecondScanClosesTheFirstHandlesBeforeOpening)
{
    FakeScsiHost host;
    host.SetDrives({"D:\\", "E:\\"}, "DE");
    CScsiDevice device(host);
    const HostHandle first = device.GetDeviceEntry(0)->hDevice;
    const HostHandle second = device.GetDeviceEntry(1)->hDevice;
    const size_t mark = host.log.size();
    device.SelectDevice(1);
    device.EnumerateDevices();
    const std::vector<std::string> rescan(host.log.begin() + static_cast<long>(mark), host.log.end());
    ASSERT_GE(rescan.size(), 5u);
    EXPECT_EQ(rescan[0], "close " + std::to_string(first));
    EXPECT_EQ(rescan[1], "close " + std::to_string(second));
    EXPECT_EQ(rescan[2], "drives");
    EXPECT_EQ(device.GetDeviceCount(), 2);
    EXPECT_EQ(host.openHandles.size(), 2u);
    // The current index is left as it was.
    EXPECT_EQ(device.GetCurrentDevice(), 1);
    EXPECT_TRUE(host.errors.empty());
}

TEST(DriveLetterScan, ExaminesOnlyTheListTheSystemReturned)
{
    struct Case {
        const char* name;
        std::vector<std::string> roots;
        std::string cdroms;
        bool fails;
        uint32_t reportedLength;  // 0: the honest length
        std::string expected;
        size_t expectedQueries;
    };
    const Case cases[] = {
        // 25 roots take 101 characters: more than the first 80.
        {"longer than 80 characters", ManyRoots(25), "XY", false, 0, "XY", 25},
        {"the call fails", {"D:\\"}, "D", true, 0, "", 0},
        // Wrote two roots but reports the length of one.
        {"shorter length than written", {"C:\\", "D:\\"}, "CD", false, 4, "C", 1},
    };
    for (const Case& c : cases) {
        FakeScsiHost host;
        host.SetDrives(c.roots, c.cdroms);
        host.driveListFails = c.fails;
        if (c.reportedLength != 0) {
            const uint32_t reported = c.reportedLength;
            host.onDriveList = [reported](uint32_t, char*) { return reported; };
        }
        CScsiDevice device(host);
        EXPECT_EQ(Letters(device), c.expected) << c.name;
        EXPECT_EQ(host.driveKindQueries.size(), c.expectedQueries) << c.name;
    }
}

TEST(DriveLetterScan, ListThatKeepsGrowingIsGivenUp)
{
    FakeScsiHost host;
    host.SetDrives({"D:\\"}, "D");
    // Always "too short", asking for more than was offered.
    host.onDriveList = [](uint32_t bufferLength, char*) { return bufferLength + 10; };
    CScsiDevice device(host);
    EXPECT_EQ(device.GetDeviceCount(), 0);
    EXPECT_TRUE(host.driveKindQueries.empty());
    EXPECT_GE(host.driveListBufferLengths.size(), 2u);
    EXPECT_LE(host.driveListBufferLengths.size(), 8u);
}

TEST(OpenDriveLetter, OpensTheNamedDriveAsGiven)
{
    struct Case {
        const char* spec;
        const char* path;
        char letter;
    };
    const Case cases[] = {{"d:", "\\\\.\\d:", 'd'}, {"D:", "\\\\.\\D:", 'D'}, {"E:", "\\\\.\\E:", 'E'}};
    for (const Case& c : cases) {
        FakeScsiHost host;
        host.SetDrives({"C:\\", "D:\\", "E:\\"}, "DE");
        CScsiDevice device(host);
        device.SelectDevice(7);
        host.driveKindQueries.clear();
        host.openedPaths.clear();
        EXPECT_TRUE(device.OpenDrive(c.spec)) << c.spec;
        ASSERT_EQ(host.driveKindQueries.size(), 1u);
        EXPECT_EQ(host.driveKindQueries[0], c.spec);
        ASSERT_EQ(host.openedPaths.size(), 1u);
        EXPECT_EQ(host.openedPaths[0], c.path);
        ASSERT_EQ(device.GetDeviceCount(), 1);
        EXPECT_EQ(device.GetDeviceEntry(0)->chDrive, c.letter);
        EXPECT_EQ(device.GetCurrentDevice(), 0);
        // Only the named drive stays open.
        EXPECT_EQ(host.openHandles.size(), 1u);
        EXPECT_TRUE(host.errors.empty());
    }
}

TEST(OpenDriveLetter, FailsAndLeavesTheListEmpty)
{
    struct Case {
        const char* name;
        const char* spec;
        bool unopenable;
    };
    const Case cases[] = {
        {"not a CD-ROM drive", "C:", false},
        {"no such drive", "Q:", false},
        {"cannot be opened", "D:", true},
        {"empty text", "", false},
    };
    for (const Case& c : cases) {
        FakeScsiHost host;
        host.SetDrives({"C:\\", "D:\\", "E:\\"}, "DE");
        if (c.unopenable)
            host.unopenablePaths.insert("\\\\.\\D:");
        CScsiDevice device(host);
        ASSERT_EQ(device.GetDeviceCount(), c.unopenable ? 1 : 2) << c.name;
        EXPECT_FALSE(device.OpenDrive(c.spec)) << c.name;
        EXPECT_EQ(device.GetDeviceCount(), 0) << c.name;
        EXPECT_TRUE(host.openHandles.empty()) << c.name;
        EXPECT_TRUE(host.errors.empty()) << c.name;
    }
}

TEST(Discovery, DestructionClosesEveryHandle)
{
    FakeScsiHost host;
    host.SetDrives({"D:\\", "E:\\"}, "DE");
    {
        CScsiDevice device(host);
        EXPECT_EQ(host.openHandles.size(), 2u);
    }
    EXPECT_TRUE(host.openHandles.empty());
    EXPECT_EQ(host.closedHandles.size(), 2u);
    EXPECT_EQ(host.libraryFrees, 0);
    EXPECT_TRUE(host.errors.empty());
}

TEST(AspiScan, FindsCdromTargetsAdapterMajor)
{
    struct Case {
        const char* name;
        uint8_t adapters;
        std::map<std::pair<int, int>, FakeScsiHost::AspiTarget> targets;
        std::vector<std::pair<int, int>> expected;
    };
    const Case cases[] = {
        {"adapter 0 target 3", 1, {{{0, 3}, {SS_COMP, 5, 0}}}, {{0, 3}}},
        {"adapter-major order",
         2,
         {{{1, 2}, {SS_COMP, 5, 0}}, {{0, 5}, {SS_COMP, 5, 0}}, {{0, 3}, {SS_COMP, 5, 0}}},
         {{0, 3}, {0, 5}, {1, 2}}},
        {"not CD-ROM or not answering",
         1,
         {{{0, 0}, {SS_COMP, 0, 0}}, {{0, 1}, {SS_ERR, 5, 0}}, {{0, 15}, {SS_COMP, 5, 0}}},
         {{0, 15}}},
        {"target on an adapter beyond the count", 1, {{{1, 0}, {SS_COMP, 5, 0}}}, {}},
    };
    for (const Case& c : cases) {
        FakeScsiHost host = Win9xHost();
        host.supportInfo = (uint32_t{SS_COMP} << 8) | c.adapters;
        host.aspiTargets = c.targets;
        CScsiDevice device(host);
        ASSERT_EQ(static_cast<size_t>(device.GetDeviceCount()), c.expected.size()) << c.name;
        for (size_t i = 0; i < c.expected.size(); ++i) {
            const DeviceEntry& entry = *device.GetDeviceEntry(static_cast<int16_t>(i));
            EXPECT_EQ(entry.nAdapter, c.expected[i].first) << c.name;
            EXPECT_EQ(entry.nTarget, c.expected[i].second) << c.name;
            EXPECT_EQ(entry.hDevice, kInvalidHandle) << c.name;
            EXPECT_EQ(static_cast<uint8_t>(entry.chDrive), 0xFF) << c.name;
        }
        // Every target 0..15 of every adapter, in order, LUN 0, flags 0.
        ASSERT_EQ(host.devTypeQueries.size(), 16u * c.adapters) << c.name;
        for (size_t i = 0; i < host.devTypeQueries.size(); ++i) {
            EXPECT_EQ(host.devTypeQueries[i], std::make_pair(static_cast<int>(i / 16), static_cast<int>(i % 16)));
            EXPECT_EQ(host.devTypeBlocks[i].SRB_Lun, 0);
            EXPECT_EQ(host.devTypeBlocks[i].SRB_Flags, 0);
            EXPECT_EQ(host.devTypeBlocks[i].SRB_Status, 0);
        }
        EXPECT_TRUE(host.openedPaths.empty()) << c.name;
        EXPECT_TRUE(host.errors.empty()) << c.name;
    }
}

TEST(AspiScan, SupportStatusDecidesWhetherTheLayerIsUsed)
{
    struct Case {
        const char* name;
        uint32_t supportInfo;
        bool scans;
    };
    const Case cases[] = {
        {"done, two adapters", 0x0102, true},
        {"no adapters", 0xE800, false},
        {"no adapters with a stray count", 0xE801, true},
        {"error status", 0x0401, false},
        {"status in the wrong byte", 0x010000 | 0x01, false},
    };
    for (const Case& c : cases) {
        FakeScsiHost host = Win9xHost();
        host.supportInfo = c.supportInfo;
        host.aspiTargets[{0, 3}] = {SS_COMP, 5, 3};
        CScsiDevice device(host);
        EXPECT_EQ(device.GetDeviceCount(), c.scans ? 1 : 0) << c.name;
        EXPECT_EQ(host.devTypeQueries.empty(), !c.scans) << c.name;
        EXPECT_EQ(device.OpenDrive("D:"), c.scans) << c.name;
        EXPECT_EQ(host.libraryLoads, 1) << c.name;
    }
}

TEST(AspiScan, NoAdaptersIsUsableButFindsNothing)
{
    FakeScsiHost host = Win9xHost();
    host.supportInfo = uint32_t{SS_NO_ADAPTERS} << 8;
    host.aspiTargets[{0, 3}] = {SS_COMP, 5, 3};
    CScsiDevice device(host);
    EXPECT_EQ(device.GetDeviceCount(), 0);
    EXPECT_FALSE(device.OpenDrive("D:"));
    EXPECT_TRUE(host.devTypeQueries.empty());
    EXPECT_TRUE(host.diskInfoQueries.empty());
    EXPECT_EQ(host.supportInfoCalls, 2);
}

TEST(AspiScan, MissingLibraryOrEntryPointLeavesTheListEmpty)
{
    struct Case {
        const char* name;
        bool library, supportInfo, sendCommand;
        int loadsAfterTwoScans;
        int freesAtEnd;
    };
    const Case cases[] = {
        {"no library", false, true, true, 0, 0},
        {"no GetASPI32SupportInfo", true, false, true, 1, 1},
        {"no SendASPI32Command", true, true, false, 1, 1},
    };
    for (const Case& c : cases) {
        FakeScsiHost host = Win9xHost();
        host.aspiPresent = c.library;
        host.hasSupportInfo = c.supportInfo;
        host.hasSendCommand = c.sendCommand;
        host.aspiTargets[{0, 3}] = {SS_COMP, 5, 3};
        {
            CScsiDevice device(host);
            EXPECT_EQ(device.GetDeviceCount(), 0) << c.name;
            EXPECT_FALSE(device.OpenDrive("D:")) << c.name;
            EXPECT_EQ(device.GetDeviceCount(), 0) << c.name;
            EXPECT_EQ(host.libraryLoads, c.loadsAfterTwoScans) << c.name;
            EXPECT_EQ(host.supportInfoCalls, 0) << c.name;
            // Without a usable layer no command is sent anywhere.
            device.SelectDevice(0);
            device.BuildCommand(60, kDataIn, 30);
            EXPECT_EQ(device.ExecCommand(), CommandResult::NotSent) << c.name;
        }
        EXPECT_TRUE(host.devTypeQueries.empty()) << c.name;
        EXPECT_TRUE(host.execBlocks.empty()) << c.name;
        EXPECT_EQ(host.libraryFrees, c.freesAtEnd) << c.name;
        // A missing library is asked for again by the second scan.
        if (!c.library) {
            EXPECT_EQ(std::count(host.log.begin(), host.log.end(), "load WNASPI32"), 2) << c.name;
        }
        EXPECT_TRUE(host.errors.empty()) << c.name;
    }
}

TEST(AspiScan, LibraryIsLoadedOnceAndFreedOnceAfterTheHandlesAreClosed)
{
    FakeScsiHost host = Win9xHost();
    host.aspiTargets[{0, 3}] = {SS_COMP, 5, 4};
    {
        CScsiDevice device(host);
        device.EnumerateDevices();
        EXPECT_TRUE(device.OpenDrive("E:"));
        EXPECT_EQ(host.libraryLoads, 1);
        // The entry points and the support status are fetched on every scan.
        EXPECT_EQ(host.entryLookups.size(), 6u);
        EXPECT_EQ(host.supportInfoCalls, 3);
        EXPECT_EQ(host.libraryFrees, 0);
    }
    EXPECT_EQ(host.libraryFrees, 1);
    EXPECT_EQ(host.log.back(), "free library");
    EXPECT_TRUE(host.errors.empty());
}

TEST(AspiFindDrive, MatchesTheDriveNumberInEitherCase)
{
    struct Case {
        const char* spec;
        bool found;
        int target;
    };
    const Case cases[] = {
        {"e:", true, 4},  {"E:", true, 4}, {"E", true, 4},   {"d:", true, 1},
        {"F:", false, 0}, {"", false, 0},  {"5:", false, 0},
    };
    for (const Case& c : cases) {
        FakeScsiHost host = Win9xHost();
        host.supportInfo = (uint32_t{SS_COMP} << 8) | 1;
        host.aspiTargets[{0, 1}] = {SS_COMP, 5, 3};  // D
        host.aspiTargets[{0, 2}] = {SS_COMP, 0, 5};  // a disk carrying F: is not a candidate
        host.aspiTargets[{0, 4}] = {SS_COMP, 5, 4};  // E
        CScsiDevice device(host);
        ASSERT_EQ(device.GetDeviceCount(), 2);
        device.SelectDevice(1);
        host.diskInfoQueries.clear();
        EXPECT_EQ(device.OpenDrive(c.spec), c.found) << c.spec;
        if (c.found) {
            ASSERT_EQ(device.GetDeviceCount(), 1) << c.spec;
            const DeviceEntry& entry = *device.GetDeviceEntry(0);
            EXPECT_EQ(entry.nAdapter, 0) << c.spec;
            EXPECT_EQ(entry.nTarget, c.target) << c.spec;
            EXPECT_EQ(static_cast<uint8_t>(entry.chDrive), 0xFF) << c.spec;
            EXPECT_EQ(entry.hDevice, kInvalidHandle) << c.spec;
            EXPECT_EQ(device.GetCurrentDevice(), 0) << c.spec;
        } else {
            EXPECT_EQ(device.GetDeviceCount(), 0) << c.spec;
            EXPECT_EQ(device.GetCurrentDevice(), 1) << c.spec;
        }
        // Disk information is asked of CD-ROM targets only, up to the match.
        for (const auto& query : host.diskInfoQueries)
            EXPECT_TRUE(query.second == 1 || query.second == 4) << c.spec;
        EXPECT_TRUE(host.errors.empty());
    }
}

// A disk-information query that did not complete leaves its drive number
// unset, and an unset number must not read as drive A:.
TEST(AspiFindDrive, DriveNumberCountsOnlyWhenTheQueryCompleted)
{
    struct Case {
        const char* name;
        uint8_t status;
        const char* spec;
        bool found;
    };
    const Case cases[] = {
        {"completed, drive A", SS_COMP, "A:", true},
        {"failed, number left zero", SS_ERR, "A:", false},
        {"never answered", SS_PENDING, "A:", false},
        {"no device there", SS_NO_DEVICE, "a:", false},
    };
    for (const Case& c : cases) {
        FakeScsiHost host = Win9xHost();
        host.aspiTargets[{0, 2}] = {SS_COMP, 5, 0};
        host.diskInfoStatus = c.status;
        CScsiDevice device(host);
        EXPECT_EQ(device.OpenDrive(c.spec), c.found) << c.name;
        EXPECT_EQ(device.GetDeviceCount(), c.found ? 1 : 0) << c.name;
        EXPECT_EQ(host.diskInfoQueries.size(), 1u) << c.name;
    }
}

TEST(Discovery, NotCdromAfterAnEnumerationEmptiesTheList)
{
    FakeScsiHost host;
    host.SetDrives({"C:\\", "D:\\"}, "D");
    CScsiDevice device(host);
    ASSERT_EQ(device.GetDeviceCount(), 1);
    EXPECT_FALSE(device.OpenDrive("C:"));
    EXPECT_EQ(device.GetDeviceCount(), 0);
    EXPECT_EQ(host.closedHandles.size(), 1u);
    EXPECT_LT(IndexOf(host.log, "close " + std::to_string(host.closedHandles[0])), host.log.size());
}
