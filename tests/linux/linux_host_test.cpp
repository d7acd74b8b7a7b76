#include <fcntl.h>
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "device/linux/linux_host.h"
#include "device/linux/sg_translate.h"
#include "run/device_list.h"
#include "tests/linux/fake_kernel.h"
#include "tests/linux/fake_sysfs.h"

namespace {

std::vector<std::string> Summary(const std::vector<LinuxDrive>& drives)
{
    std::vector<std::string> out;
    for (const LinuxDrive& d : drives) {
        out.push_back(std::string(d.chLetter ? 1 : 0, d.chLetter) + "|" + d.strHctl + "|" + d.strBlockNode + "|" +
                      d.strGenericNode);
    }
    return out;
}

class LinuxHostTest : public ::testing::Test {
protected:
    CLinuxHost MakeHost() { return CLinuxHost(LinuxHostConfig{tree.Sys(), tree.Dev(), &kernel}); }

    void AddTwoDrivesAndADisk()
    {
        tree.Add({.hctl = "0:0:0:0", .type = 0, .block = "sda", .generic = "sg0"});
        tree.Add({.hctl = "2:0:0:0", .type = 5, .block = "sr1", .generic = "sg2"});
        tree.Add({.hctl = "1:0:0:0", .type = 5, .block = "sr0", .generic = "sg1"});
    }

    CFakeSysfs tree;
    CFakeKernel kernel;
};

}  // namespace

TEST_F(LinuxHostTest, ScanKeepsCdromsOnlyInBlockNodeOrder)
{
    struct Case {
        const char* name;
        std::vector<CFakeSysfs::Device> devices;
        bool withoutClassFolder;
        std::vector<std::string> expected;  // letters are assigned by the host, not the scan
    };
    const std::vector<Case> cases = {
        {"disk, tape and enclosure are skipped",
         {{.hctl = "0:0:0:0", .type = 0, .block = "sda", .generic = "sg0"},
          {.hctl = "0:0:1:0", .type = 1, .block = "", .generic = "sg1"},
          {.hctl = "0:0:2:0", .type = 13, .block = "", .generic = "sg2"},
          {.hctl = "0:0:3:0", .type = 5, .block = "sr0", .generic = "sg3"}},
         false,
         {"|0:0:3:0|sr0|sg3"}},
        {"block node order, not bus order; sr10 after sr9",
         {{.hctl = "0:0:0:0", .type = 5, .block = "sr10", .generic = "sg0"},
          {.hctl = "3:0:0:0", .type = 5, .block = "sr0", .generic = "sg9"},
          {.hctl = "1:0:0:0", .type = 5, .block = "sr9", .generic = "sg4"}},
         false,
         {"|3:0:0:0|sr0|sg9", "|1:0:0:0|sr9|sg4", "|0:0:0:0|sr10|sg0"}},
        {"no block node: after the others, in bus order",
         {{.hctl = "10:0:0:0", .type = 5, .block = "", .generic = "sg7"},
          {.hctl = "9:0:0:0", .type = 5, .block = "", .generic = "sg6"},
          {.hctl = "4:0:0:0", .type = 5, .block = "sr0", .generic = "sg5"}},
         false,
         {"|4:0:0:0|sr0|sg5", "|9:0:0:0||sg6", "|10:0:0:0||sg7"}},
        {"old kernels' block:srN links",
         {{.hctl = "1:0:0:0", .type = 5, .block = "sr0", .generic = "sg1", .oldStyleLinks = true}},
         false,
         {"|1:0:0:0|sr0|sg1"}},
        {"without class/scsi_device, the bus folder",
         {{.hctl = "1:0:0:0", .type = 5, .block = "sr1", .generic = "sg1"},
          {.hctl = "2:0:0:0", .type = 5, .block = "sr0", .generic = "sg2"}},
         true,
         {"|2:0:0:0|sr0|sg2", "|1:0:0:0|sr1|sg1"}},
    };
    for (const Case& c : cases) {
        CFakeSysfs fresh;
        for (const auto& d : c.devices)
            fresh.Add(d);
        if (c.withoutClassFolder)
            fresh.RemoveClassFolder();
        EXPECT_EQ(Summary(ScanSysfsCdroms(fresh.Sys())), c.expected) << c.name;
    }
}

TEST_F(LinuxHostTest, ScanReadsIdentityTrimmedAndToleratesNoSysfs)
{
    tree.Add({.hctl = "1:0:0:0", .block = "sr0", .generic = "sg1", .vendor = "KTDEV   ", .rev = "1.00"});
    const auto drives = ScanSysfsCdroms(tree.Sys());
    ASSERT_EQ(drives.size(), 1u);
    EXPECT_EQ(drives[0].strVendor, "KTDEV");
    EXPECT_EQ(drives[0].strModel, "KT3916 FLASHER");
    EXPECT_EQ(drives[0].strRevision, "1.00");
    EXPECT_TRUE(ScanSysfsCdroms(tree.Sys() + "/does-not-exist").empty());
}

// The serial a unit's records carry: the VPD page's text, else the USB
// serial, never a control character.
TEST(LinuxSerial, ThePageTextElseTheUsbSerialPrintableAndTrimmed)
{
    using namespace std::string_literals;
    const struct {
        std::string read;  // as the scan keeps it: page, '|', USB serial
        const char* serial;
    } rows[] = {
        {"\x00\x80\x00\x08  SN1234|USB9"s, "SN1234"},
        {"|USB9", "USB9"},
        {"\x00\x80\x00\x04    |USB9"s, "USB9"},
        {"\x00\x83\x00\x04"
         "ABCD|"s,
         ""},
        {"\x00\x80\x00\x04"
         "A\x01\x7f"
         "B|"s,
         "A  B"},
        {"", ""},
    };
    for (const auto& row : rows) {
        LinuxDrive drive;
        drive.strSerial = row.read;
        EXPECT_EQ(SerialText(drive), row.serial) << row.read;
    }
}

TEST_F(LinuxHostTest, DriveRootsFollowWin32BufferRules)
{
    AddTwoDrivesAndADisk();
    CLinuxHost host = MakeHost();

    char buffer[16];
    std::memset(buffer, '#', sizeof buffer);
    EXPECT_EQ(host.GetLogicalDriveRoots(8, buffer), 9u) << "too small: the length needed with the final zero";
    EXPECT_EQ(buffer[0], '#') << "nothing written when it does not fit";

    EXPECT_EQ(host.GetLogicalDriveRoots(9, buffer), 8u);
    EXPECT_EQ(std::string(buffer, 9), std::string("D:\\\0E:\\\0\0", 9));

    const auto drives = host.Drives();
    ASSERT_EQ(drives.size(), 2u);
    EXPECT_EQ(drives[0].chLetter, 'D');
    EXPECT_EQ(drives[0].strBlockNode, "sr0");
    EXPECT_EQ(drives[1].chLetter, 'E');
    EXPECT_EQ(drives[1].strGenericNode, "sg2");
}

TEST_F(LinuxHostTest, ADriveKeepsItsLetterWhileOthersComeAndGo)
{
    AddTwoDrivesAndADisk();  // sr0 is D:, sr1 is E:
    CLinuxHost host = MakeHost();
    EXPECT_EQ(Summary(host.Drives()), (std::vector<std::string>{"D|1:0:0:0|sr0|sg1", "E|2:0:0:0|sr1|sg2"}));
    // The discovery's drive strings scan again; naming a drive does not.
    const auto rescanned = [&host] {
        char roots[64];
        host.GetLogicalDriveRoots(sizeof roots, roots);
        return Summary(host.Drives());
    };

    tree.Remove("1:0:0:0");
    EXPECT_EQ(Summary(host.Drives()), (std::vector<std::string>{"D|1:0:0:0|sr0|sg1", "E|2:0:0:0|sr1|sg2"}))
        << "the drives the last scan found, whose letters the opens refer to";
    EXPECT_EQ(rescanned(), (std::vector<std::string>{"E|2:0:0:0|sr1|sg2"})) << "E: does not slide to D: when D: goes";
    EXPECT_EQ(host.GetDriveKind("D:"), 1u);

    tree.Add({.hctl = "3:0:0:0", .type = 5, .block = "sr0", .generic = "sg3"});
    tree.Add({.hctl = "4:0:0:0", .type = 5, .block = "sr2", .generic = "sg4"});
    EXPECT_EQ(rescanned(), (std::vector<std::string>{"D|3:0:0:0|sr0|sg3", "E|2:0:0:0|sr1|sg2", "F|4:0:0:0|sr2|sg4"}))
        << "newcomers take the lowest free letters";

    char buffer[32];
    EXPECT_EQ(host.GetLogicalDriveRoots(sizeof buffer, buffer), 12u);
    EXPECT_EQ(std::string(buffer, 13), std::string("D:\\\0E:\\\0F:\\\0\0", 13));
    EXPECT_NE(host.OpenDevice("\\\\.\\E:"), kInvalidHandle);
    EXPECT_EQ(kernel.opened.back(), tree.Dev() + "/sg2");
}

TEST_F(LinuxHostTest, NoDrivesGivesAnEmptyList)
{
    CLinuxHost host = MakeHost();
    char buffer[4] = {'#', '#', '#', '#'};
    EXPECT_EQ(host.GetLogicalDriveRoots(sizeof buffer, buffer), 0u);
    EXPECT_EQ(buffer[0], '\0');
}

TEST_F(LinuxHostTest, DriveKindIsCdromOnlyForPresentRoots)
{
    AddTwoDrivesAndADisk();
    CLinuxHost host = MakeHost();
    const struct {
        const char* root;
        uint32_t kind;
    } cases[] = {
        {"D:\\", kDriveTypeCdrom},
        {"d:\\", kDriveTypeCdrom},
        {"E:", kDriveTypeCdrom},
        {"e:", kDriveTypeCdrom},
        {"F:\\", 1},
        {"C:\\", 1},
        {"D", 1},
        {"D:\\x", 1},
        {"", 1},
        {"\\\\.\\D:", 1},
    };
    for (const auto& c : cases)
        EXPECT_EQ(host.GetDriveKind(c.root), c.kind) << c.root;
    EXPECT_EQ(host.GetDriveKind(nullptr), 1u);
}

TEST_F(LinuxHostTest, OpensTheGenericNodeReadWriteNonBlocking)
{
    AddTwoDrivesAndADisk();
    CLinuxHost host = MakeHost();
    const HostHandle d = host.OpenDevice("\\\\.\\D:");
    const HostHandle e = host.OpenDevice("\\\\.\\e:");
    ASSERT_NE(d, kInvalidHandle);
    ASSERT_NE(e, kInvalidHandle);
    ASSERT_EQ(kernel.opened.size(), 2u);
    EXPECT_EQ(kernel.opened[0], tree.Dev() + "/sg1");
    EXPECT_EQ(kernel.opened[1], tree.Dev() + "/sg2");
    for (int flags : kernel.openFlags) {
        EXPECT_EQ(flags & O_ACCMODE, O_RDWR);
        EXPECT_TRUE(flags & O_NONBLOCK);
    }
    host.CloseDevice(e);
    host.CloseDevice(kInvalidHandle);
    EXPECT_EQ(kernel.closed, std::vector<int>{static_cast<int>(e)});
}

TEST_F(LinuxHostTest, RefusesWhatIsNotADrivePath)
{
    AddTwoDrivesAndADisk();
    CLinuxHost host = MakeHost();
    for (const char* path : {"\\\\.\\F:", "\\\\.\\C:", "/dev/sg1", "\\\\.\\D:\\", "D:", "\\\\.\\PhysicalDrive0"}) {
        EXPECT_EQ(host.OpenDevice(path), kInvalidHandle) << path;
        EXPECT_FALSE(CLinuxHost::LastErrorText().empty()) << path;
    }
    EXPECT_TRUE(kernel.opened.empty());
}

TEST_F(LinuxHostTest, OpenFailureNamesTheNodeAndTheWayIn)
{
    AddTwoDrivesAndADisk();
    tree.Add({.hctl = "5:0:0:0", .block = "sr2", .generic = ""});  // no sg node
    tree.Add({.hctl = "6:0:0:0", .block = "sr3", .generic = "sg3", .vendor = "OTHERCO ", .model = "DVD-ROM-X       "});
    tree.Add({.hctl = "7:0:0:0", .block = "sr4", .generic = "sg4", .vendor = "KTDEV   ", .model = "KT3917 FLASHER  "});
    CLinuxHost host = MakeHost();
    host.Drives();
    const std::string sg1 = tree.Dev() + "/sg1";
    const std::string sg2 = tree.Dev() + "/sg2";
    const std::string sg3 = tree.Dev() + "/sg3";
    const std::string install = "; the kt3916flash package's udev rule (60-kt3916flash.rules) gives the 'plugdev' "
                                "group read-write access to KT3916 devices: install the package, or replug the "
                                "device if it is installed";
    using Kind = OpenFailure::Kind;
    struct Case {
        const char* path;
        int error;
        std::string group;
        Kind kind;
        std::string facts;   // the host's
        std::string advice;  // the tool's
        bool exclusive = false;
    };
    const std::string denied1 = "cannot open " + sg1 + " read-write: Permission denied";
    const std::vector<Case> cases = {
        {"\\\\.\\D:", EACCES, "cdrom", Kind::Denied, denied1,
         "; add your user to the 'cdrom' group (then log in again) or run as root" + install},
        {"\\\\.\\D:", EACCES, "plugdev", Kind::Denied, denied1,
         "; add your user to the 'plugdev' group (then log in again) or run as root; the kt3916flash package's udev "
         "rule (60-kt3916flash.rules) gives that group read-write access to KT3916 devices"},
        {"\\\\.\\D:", EPERM, "root", Kind::Denied, "cannot open " + sg1 + " read-write: Operation not permitted",
         "; run as root or give your user read-write access to " + sg1 + install},
        // The package's rule covers no other identity: the message offers a
        // rule for this drive's own instead.
        {"\\\\.\\G:", EACCES, "cdrom", Kind::Denied, "cannot open " + sg3 + " read-write: Permission denied",
         "; add your user to the 'cdrom' group (then log in again) or run as root; if this is a KT3916, "
         "'kt3916flash-cli udev-rule --device G:' (as root) prints a udev rule that gives the 'plugdev' group "
         "access to it"},
        {"\\\\.\\H:", EACCES, "cdrom", Kind::Denied, "cannot open " + tree.Dev() + "/sg4 read-write: Permission denied",
         "; add your user to the 'cdrom' group (then log in again) or run as root; if this is a KT3916, "
         "'kt3916flash-cli udev-rule --device H:' (as root) prints a udev rule that gives the 'plugdev' group "
         "access to it"},
        {"\\\\.\\E:", ENXIO, "", Kind::Missing, "cannot open " + sg2 + " read-write: No such device or address",
         "; check that the device is still attached and that the sg module is loaded (modprobe sg)"},
        {"\\\\.\\E:", EBUSY, "", Kind::Busy,
         "cannot open " + sg2 +
             " read-write for this program alone: Device or resource busy; another program has "
             "it open",
         "", true},
        {"\\\\.\\E:", ENOENT, "", Kind::Missing, "cannot open " + sg2 + " read-write: No such file or directory",
         "; check that the device is still attached and that the sg module is loaded (modprobe sg)"},
        {"\\\\.\\E:", EBUSY, "", Kind::Busy,
         "cannot open " + sg2 + " read-write: Device or resource busy; another program holds it open exclusively", ""},
        {"\\\\.\\F:", 0, "", Kind::NoGenericNode, "drive F: (5:0:0:0, " + tree.Dev() + "/sr2) has no SCSI generic node",
         "; load the sg module (modprobe sg)"},
    };
    for (const Case& c : cases) {
        kernel.openErrors.clear();
        if (c.error) {
            kernel.openErrors[sg1] = c.error;
            kernel.openErrors[sg2] = c.error;
            kernel.openErrors[sg3] = c.error;
            kernel.openErrors[tree.Dev() + "/sg4"] = c.error;
        }
        kernel.group = c.group;
        ExclusiveAccess access;
        EXPECT_EQ(c.exclusive ? host.OpenDeviceExclusive(c.path, access) : host.OpenDevice(c.path), kInvalidHandle)
            << c.path;
        const OpenFailure failure = host.OpenProblem(c.path[4]);
        EXPECT_EQ(failure.kind, c.kind) << c.facts;
        EXPECT_EQ(failure.strFacts, c.facts);
        EXPECT_EQ(CLinuxHost::LastErrorText(), c.facts);
        EXPECT_EQ(OpenFailureText(failure), c.facts + c.advice);
    }
    kernel.openErrors.clear();
    EXPECT_NE(host.OpenDevice("\\\\.\\D:"), kInvalidHandle);
    EXPECT_EQ(OpenFailureText(host.OpenProblem('D')), "") << "a later success clears the drive's error";
}

TEST_F(LinuxHostTest, MapsNodePathsToLetters)
{
    AddTwoDrivesAndADisk();
    std::filesystem::create_symlink(tree.Dev() + "/sr1", tree.Dev() + "/cdrom");
    CLinuxHost host = MakeHost();
    EXPECT_EQ(host.LetterForNode(tree.Dev() + "/sr0"), 'D');
    EXPECT_EQ(host.LetterForNode(tree.Dev() + "/sg1"), 'D');
    EXPECT_EQ(host.LetterForNode(tree.Dev() + "/sg2"), 'E');
    EXPECT_EQ(host.LetterForNode(tree.Dev() + "/cdrom"), 'E');
    EXPECT_EQ(host.LetterForNode(tree.Dev() + "/sg0"), 0) << "the disk is no drive";
    EXPECT_EQ(host.LetterForNode(tree.Dev() + "/nothing"), 0);
}

TEST_F(LinuxHostTest, PlatformIsNtWithANanosecondCounterAndNoAspi)
{
    CLinuxHost host = MakeHost();
    uint32_t platform = 0;
    EXPECT_TRUE(host.GetVersionPlatformId(platform));
    EXPECT_EQ(platform, 2u);
    EXPECT_EQ(host.QueryCounterFrequency(), 1000000000);
    EXPECT_EQ(host.Aspi(), nullptr);
}

// The request as CScsiDevice's BuildCommand leaves it.
static PassThroughRequest MakeRequest(uint8_t dataIn, uint32_t length, uint32_t timeout, void* buffer)
{
    PassThroughRequest r{};
    r.sptd.Length = sizeof(ScsiPassThroughDirect);
    r.sptd.CdbLength = 12;
    r.sptd.SenseInfoLength = kSenseAreaLength;
    r.sptd.SenseInfoOffset = offsetof(PassThroughRequest, senseArea);
    r.sptd.DataIn = dataIn;
    r.sptd.DataTransferLength = length;
    r.sptd.TimeOutValue = timeout;
    r.sptd.DataBuffer = buffer;
    return r;
}

TEST(SgTranslation, BuildsTheHeaderFromTheRequest)
{
    uint8_t data[64];
    uint8_t sense[32];
    struct Case {
        uint8_t dataIn;
        uint32_t length;
        uint32_t timeoutSeconds;
        int direction;
        unsigned timeoutMs;
    } cases[] = {
        {kDataIn, 36, 30, SG_DXFER_FROM_DEV, 30000},
        {kDataOut, 61440, 30, SG_DXFER_TO_DEV, 30000},
        {kDataIn, 0, 5, SG_DXFER_NONE, 5000},
        {kDataOut, 0, 0, SG_DXFER_NONE, 0},
        {kDataIn, 36, 4294967, SG_DXFER_FROM_DEV, 4294967000u},
        {kDataIn, 36, 4294968, SG_DXFER_FROM_DEV, UINT_MAX},
        {kDataIn, 36, UINT32_MAX, SG_DXFER_FROM_DEV, UINT_MAX},
    };
    for (const Case& c : cases) {
        PassThroughRequest r = MakeRequest(c.dataIn, c.length, c.timeoutSeconds, data);
        r.sptd.Cdb[0] = 0xFA;
        r.sptd.Cdb[11] = 0x5A;
        sg_io_hdr_t h;
        std::memset(&h, 0x77, sizeof h);
        std::string error;
        ASSERT_TRUE(BuildSgIoHeader(r, h, sense, sizeof sense, error)) << error;
        EXPECT_EQ(h.interface_id, 'S');
        EXPECT_EQ(h.dxfer_direction, c.direction) << c.length;
        EXPECT_EQ(h.dxfer_len, c.length);
        EXPECT_EQ(h.dxferp, c.length ? static_cast<void*>(data) : nullptr);
        EXPECT_EQ(h.cmd_len, 12);
        EXPECT_EQ(h.cmdp, r.sptd.Cdb);
        EXPECT_EQ(h.mx_sb_len, 32);
        EXPECT_EQ(h.sbp, sense);
        EXPECT_EQ(h.timeout, c.timeoutMs) << c.timeoutSeconds;
        EXPECT_EQ(h.flags, 0u);
        EXPECT_EQ(h.iovec_count, 0);
    }
}

TEST(SgTranslation, RefusesRequestsItCannotCarryFaithfully)
{
    uint8_t data[8];
    uint8_t sense[32];
    struct Case {
        uint8_t dataIn;
        uint8_t cdbLength;
        const char* error;
    } cases[] = {
        {2, 12, "transfer direction 2 is neither in nor out"},
        {0xFF, 12, "transfer direction 255 is neither in nor out"},
        {kDataIn, 0, "command length 0 is outside 1..16"},
        {kDataIn, 17, "command length 17 is outside 1..16"},
    };
    for (const Case& c : cases) {
        PassThroughRequest r = MakeRequest(c.dataIn, sizeof data, 30, data);
        r.sptd.CdbLength = c.cdbLength;
        sg_io_hdr_t h;
        std::string error;
        EXPECT_FALSE(BuildSgIoHeader(r, h, sense, sizeof sense, error));
        EXPECT_EQ(error, c.error);
    }
}

TEST(SgTranslation, StatusesDecideTheCallAndSenseComesBack)
{
    struct Case {
        const char* name;
        uint8_t status;
        uint16_t host;
        uint16_t driver;
        uint8_t senseWritten;
        bool callOk;
    } cases[] = {
        {"good", 0x00, 0, 0, 0, true},
        {"check condition with sense", 0x02, 0, kSgDriverSense, 18, true},
        {"good with a sense-only driver flag", 0x00, 0, kSgDriverSense, 18, true},
        {"busy target", 0x08, 0, 0, 0, true},
        {"adapter timed out", 0x00, 0x03, 0, 0, false},
        {"no connection", 0x00, 0x01, 0, 0, false},
        {"driver timeout", 0x00, 0, 0x06, 0, false},
        {"sense with a retry suggestion", 0x02, 0, 0x18, 18, false},
        {"driver error", 0x02, 0, 0x04, 0, false},
    };
    for (const Case& c : cases) {
        PassThroughRequest r = MakeRequest(kDataIn, 36, 30, nullptr);
        uint8_t sense[32] = {0x70, 0, 0x05, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x24, 0x01};
        sg_io_hdr_t h{};
        h.status = c.status;
        h.host_status = c.host;
        h.driver_status = c.driver;
        h.sb_len_wr = c.senseWritten;
        h.mx_sb_len = sizeof sense;
        EXPECT_EQ(CompleteSgIoRequest(h, sense, r), c.callOk) << c.name;
        EXPECT_EQ(r.sptd.ScsiStatus, c.status) << c.name;
        if (c.senseWritten) {
            EXPECT_EQ(0, std::memcmp(r.senseArea, sense, c.senseWritten)) << c.name;
            EXPECT_EQ(r.senseArea[c.senseWritten], 0) << c.name << ": only what the driver wrote";
        } else {
            EXPECT_EQ(r.senseArea[2], 0) << c.name;
        }
    }
}

TEST(SgTranslation, SenseStaysInsideTheSenseArea)
{
    uint8_t sense[32];
    for (int i = 0; i < 32; ++i)
        sense[i] = static_cast<uint8_t>(0xA0 + i);
    struct Case {
        const char* name;
        uint8_t senseInfoLength;
        uint32_t offset;
        size_t expectedAt;  // where the copy lands, SIZE_MAX for nowhere
        size_t expectedCount;
    } cases[] = {
        {"the whole area", 32, offsetof(PassThroughRequest, senseArea), offsetof(PassThroughRequest, senseArea), 32},
        {"shorter sense length", 14, offsetof(PassThroughRequest, senseArea), offsetof(PassThroughRequest, senseArea),
         14},
        {"offset into the record", 32, 0, SIZE_MAX, 0},
        {"offset past the block", 32, sizeof(PassThroughRequest), SIZE_MAX, 0},
        {"offset near the end", 32, sizeof(PassThroughRequest) - 4, sizeof(PassThroughRequest) - 4, 4},
    };
    for (const Case& c : cases) {
        PassThroughRequest r = MakeRequest(kDataIn, 36, 30, nullptr);
        r.sptd.SenseInfoLength = c.senseInfoLength;
        r.sptd.SenseInfoOffset = c.offset;
        const PassThroughRequest before = r;
        sg_io_hdr_t h{};
        h.status = 0x02;
        h.driver_status = kSgDriverSense;
        h.sb_len_wr = 32;
        h.mx_sb_len = 32;
        CompleteSgIoRequest(h, sense, r);
        const auto* after = reinterpret_cast<const uint8_t*>(&r);
        const auto* old = reinterpret_cast<const uint8_t*>(&before);
        for (size_t i = 0; i < sizeof r; ++i) {
            if (i == offsetof(ScsiPassThroughDirect, ScsiStatus))
                continue;
            const bool inCopy = c.expectedAt != SIZE_MAX && i >= c.expectedAt && i < c.expectedAt + c.expectedCount;
            const uint8_t want = inCopy ? sense[i - c.expectedAt] : old[i];
            ASSERT_EQ(after[i], want) << c.name << " at byte " << i;
        }
    }
}

TEST(SgTranslation, ShortTransferShortensTheLength)
{
    PassThroughRequest r = MakeRequest(kDataIn, 96, 30, nullptr);
    sg_io_hdr_t h{};
    h.resid = 60;
    EXPECT_TRUE(CompleteSgIoRequest(h, nullptr, r));
    EXPECT_EQ(r.sptd.DataTransferLength, 36u);
    h.resid = 500;  // nonsense from a driver: ignored
    EXPECT_TRUE(CompleteSgIoRequest(h, nullptr, r));
    EXPECT_EQ(r.sptd.DataTransferLength, 36u);
}

// A block write that GOOD status calls done while its residual count shows
// bytes that never reached the device is a failure, not a block sent.
TEST(SgTranslation, ShortWriteFailsTheCall)
{
    struct Case {
        const char* name;
        uint8_t direction;
        int resid;
        bool callOk;
    } cases[] = {
        {"write, every byte moved", kDataOut, 0, true},    {"write, one byte short", kDataOut, 1, false},
        {"write, nothing moved", kDataOut, 61440, false},  {"write, nonsense residual", kDataOut, 70000, false},
        {"write, negative residual", kDataOut, -1, false}, {"read, short answer", kDataIn, 24, true},
    };
    for (const Case& c : cases) {
        PassThroughRequest r = MakeRequest(c.direction, 61440, 30, nullptr);
        sg_io_hdr_t h{};
        h.resid = c.resid;
        EXPECT_EQ(CompleteSgIoRequest(h, nullptr, r), c.callOk) << c.name;
        EXPECT_EQ(r.sptd.ScsiStatus, 0) << c.name;
    }
}

TEST_F(LinuxHostTest, SendPassThroughCarriesTheRequestOverSgIo)
{
    AddTwoDrivesAndADisk();
    CLinuxHost host = MakeHost();
    const HostHandle e = host.OpenDevice("\\\\.\\E:");
    ASSERT_NE(e, kInvalidHandle);

    uint8_t data[36] = {};
    PassThroughRequest r = MakeRequest(kDataIn, sizeof data, 30, data);
    r.sptd.Cdb[0] = 0x12;
    r.sptd.Cdb[4] = 36;
    kernel.onSgIo = [](int, sg_io_hdr_t& h) {
        if (h.cmdp[0] != 0x12 || h.dxfer_direction != SG_DXFER_FROM_DEV)
            return -EINVAL;
        static_cast<uint8_t*>(h.dxferp)[0] = 0x05;
        return 0;
    };
    EXPECT_TRUE(host.SendPassThrough(e, r));
    EXPECT_EQ(kernel.lastFd, static_cast<int>(e));
    EXPECT_EQ(data[0], 0x05);
    EXPECT_EQ(r.sptd.ScsiStatus, 0);

    kernel.onSgIo = [](int, sg_io_hdr_t& h) {
        h.status = 0x02;
        h.driver_status = kSgDriverSense;
        const uint8_t sense[18] = {0x70, 0, 0x05, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x24, 0x00};
        std::memcpy(h.sbp, sense, sizeof sense);
        h.sb_len_wr = sizeof sense;
        return 0;
    };
    r = MakeRequest(kDataOut, sizeof data, 30, data);
    EXPECT_TRUE(host.SendPassThrough(e, r)) << "the call went through; the status tells the failure";
    EXPECT_EQ(r.sptd.ScsiStatus, 2);
    EXPECT_EQ(r.senseArea[2], 0x05);
    EXPECT_EQ(r.senseArea[12], 0x24);
    EXPECT_EQ(CLinuxHost::LastErrorText(), "SCSI status 0x02, sense key 0x05, ASC 0x24, ASCQ 0x00");

    kernel.onSgIo = [](int, sg_io_hdr_t& h) {
        h.resid = 4;
        return 0;
    };
    r = MakeRequest(kDataOut, sizeof data, 30, data);
    EXPECT_FALSE(host.SendPassThrough(e, r));
    EXPECT_EQ(CLinuxHost::LastErrorText(), "sg: short write, 32 of 36 bytes reached the device");

    kernel.submitError = EIO;
    r = MakeRequest(kDataOut, sizeof data, 30, data);
    EXPECT_FALSE(host.SendPassThrough(e, r));
    EXPECT_EQ(CLinuxHost::LastErrorText(), "sg: Input/output error");
    // What the recording layer asks for, cut to the room it has.
    char text[12];
    host.DescribeLastFailure(text, sizeof text);
    EXPECT_STREQ(text, "sg: Input/o");

    const int calls = kernel.submits;
    EXPECT_FALSE(host.SendPassThrough(kInvalidHandle, r));
    r.sptd.DataIn = 7;
    EXPECT_FALSE(host.SendPassThrough(e, r));
    EXPECT_EQ(kernel.submits, calls) << "refused requests never reach the kernel";
}
