#include <fcntl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "device/linux/linux_host.h"
#include "tests/linux/fake_kernel.h"
#include "tests/linux/fake_sysfs.h"

namespace {

PassThroughRequest WriteRequest(uint8_t* data, uint32_t length)
{
    PassThroughRequest r{};
    r.sptd.Length = sizeof(ScsiPassThroughDirect);
    r.sptd.CdbLength = 12;
    r.sptd.SenseInfoLength = kSenseAreaLength;
    r.sptd.SenseInfoOffset = offsetof(PassThroughRequest, senseArea);
    r.sptd.DataIn = kDataOut;
    r.sptd.DataTransferLength = length;
    r.sptd.TimeOutValue = 30;
    r.sptd.DataBuffer = data;
    r.sptd.Cdb[0] = 0xFA;
    return r;
}

bool Contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

class SgHostTest : public ::testing::Test {
protected:
    SgHostTest()
    {
        tree.Add({.hctl = "1:0:0:0", .type = 5, .block = "sr0", .generic = "sg1"});
        tree.Add({.hctl = "2:0:0:0", .type = 5, .block = "", .generic = "sg2"});
        tree.Add({.hctl = "3:1:2:4", .type = 5, .block = "sr1", .generic = "sg3"});
    }
    CLinuxHost MakeHost() { return CLinuxHost(LinuxHostConfig{tree.Sys(), tree.Dev(), &kernel}); }

    CFakeSysfs tree;
    CFakeKernel kernel;
};

}  // namespace

// Whatever ends a wait, the command was queued once; what cannot be answered
// any more leaves the node unusable rather than open to a second command.
TEST_F(SgHostTest, ACommandIsQueuedOnceWhateverEndsTheWait)
{
    struct Case {
        const char* name;
        int submitError;
        std::vector<int> receiveErrors;
        bool ok;
        int submits;
        bool nodeLost;  // the next command is refused without reaching the kernel
        const char* error;
        std::vector<int> closeErrors;  // what the close meets while it waits for a lost command
        int closeReceives;             // the waits before the node is let go
    } cases[] = {
        {"answered", 0, {}, true, 1, false, "", {}, 0},
        {"stopped and continued twice", 0, {EINTR, EINTR}, true, 1, false, "", {}, 0},
        {"woken with nothing to read", 0, {EAGAIN, EINTR, EAGAIN}, true, 1, false, "", {}, 0},
        {"not queued", EIO, {}, false, 0, false, "sg: Input/output error", {}, 0},
        {"device gone while waiting", 0, {EINTR, ENODEV}, false, 1, true, "may still be running", {ENODEV}, 1},
        {"no answer past the timeout", 0, {ETIMEDOUT}, false, 1, true, "own timeout", {ETIMEDOUT, EINTR, ETIMEDOUT}, 4},
        {"never given back", 0, {ETIMEDOUT}, false, 1, true, "own timeout", std::vector<int>(60, ETIMEDOUT), 60},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CFakeKernel fresh;
        kernel = fresh;
        CLinuxHost host = MakeHost();
        const HostHandle d = host.OpenDevice("\\\\.\\D:");
        ASSERT_NE(d, kInvalidHandle) << CLinuxHost::LastErrorText();
        kernel.submitError = c.submitError;
        kernel.receiveErrors = c.receiveErrors;
        uint8_t data[64] = {};
        PassThroughRequest r = WriteRequest(data, sizeof data);
        EXPECT_EQ(host.SendPassThrough(d, r), c.ok) << CLinuxHost::LastErrorText();
        EXPECT_EQ(kernel.submits, c.submits);
        EXPECT_TRUE(Contains(CLinuxHost::LastErrorText(), c.error)) << CLinuxHost::LastErrorText();
        if (c.submits) {
            // The sg driver's own 30 s ends the command; the wait lasts a little longer.
            ASSERT_FALSE(kernel.receiveWaits.empty());
            EXPECT_GT(kernel.receiveWaits.front(), 30000);
            EXPECT_LE(kernel.receiveWaits.front(), 30000 + 60000);
        }

        kernel.submitError = 0;
        r = WriteRequest(data, sizeof data);
        EXPECT_EQ(host.SendPassThrough(d, r), !c.nodeLost);
        EXPECT_EQ(kernel.submits, c.submits + (c.nodeLost ? 0 : 1));
        // The sg driver does not cancel a queued command when its node closes.
        EXPECT_EQ(host.PendingCommandText(d).empty(), !c.nodeLost);
        kernel.receiveErrors = c.closeErrors;
        const int receivesBefore = kernel.receives;
        EXPECT_EQ(kernel.forcePackIdCalls, 1) << "set once for the open, not per command";
        EXPECT_EQ(kernel.unforcedSubmits, 0);
        host.CloseDevice(d);
        EXPECT_EQ(kernel.receives - receivesBefore, c.closeReceives);
        EXPECT_EQ(kernel.openCounts[tree.Dev() + "/sg1"], 0);
        EXPECT_EQ(host.PendingCommandText(d), "");

        // A new open of the node is a new start, under the same descriptor number.
        const HostHandle again = host.OpenDevice("\\\\.\\D:");
        EXPECT_EQ(again, d);
        r = WriteRequest(data, sizeof data);
        EXPECT_TRUE(host.SendPassThrough(again, r)) << CLinuxHost::LastErrorText();
        host.CloseDevice(again);
    }
}

// The block node's hold is what keeps a mount (and the kernel's media polls)
// away while a lost command may still reach the device: it goes last.
TEST_F(SgHostTest, TheBlockNodeIsHeldUntilALostCommandDrained)
{
    CLinuxHost host = MakeHost();
    ExclusiveAccess access = ExclusiveAccess::NotOffered;
    const HostHandle d = host.OpenDeviceExclusive("\\\\.\\D:", access);
    ASSERT_EQ(access, ExclusiveAccess::Held) << host.OpenProblem('D').strFacts;
    kernel.receiveErrors = {ETIMEDOUT};
    uint8_t data[64] = {};
    PassThroughRequest r = WriteRequest(data, sizeof data);
    EXPECT_FALSE(host.SendPassThrough(d, r));
    kernel.receiveErrors = {ETIMEDOUT, ETIMEDOUT, ENODEV};
    host.CloseDevice(d);
    ASSERT_EQ(kernel.closed.size(), 2u);
    EXPECT_EQ(kernel.fdPaths.at(kernel.closed.back()), tree.Dev() + "/sr0");
    EXPECT_EQ(kernel.receivesAtClose.at(kernel.closed.back()), kernel.receives) << "let go before the drain ended";
}

// An sg or sr number freed by an unplug can go to the next device plugged in.
TEST_F(SgHostTest, ANodeNowOfAnotherDeviceIsRefused)
{
    struct Case {
        const char* name;
        char drive;
        bool exclusive;
        std::string sgAnswer;  // the address the node answers with; empty: the ioctl fails; "-": the sysfs one
        std::string srAnswer;
        const char* error;  // empty: opened
    } cases[] = {
        {"other device, shared open", 'D', false, "3:0:0:0", "-",
         "now belongs to the SCSI device 3:0:0:0, not to 1:0:0:0"},
        {"other device, exclusive open", 'D', true, "1:0:1:0", "-", "the device was replugged: list the drives again"},
        {"no answer", 'D', true, "", "-", "cannot ask"},
        {"own device at a full address", 'E', true, "-", "-", ""},
        {"lun and target swapped", 'E', false, "3:1:4:2", "-", "not to 3:1:2:4"},
        {"block node of another device", 'D', true, "-", "5:0:0:0", "sr0 now belongs to the SCSI device 5:0:0:0"},
        {"block node of a device on the next channel", 'E', true, "-", "3:2:2:4", "the device was replugged"},
        {"block node does not answer", 'D', true, "-", "", "cannot ask"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CFakeKernel fresh;
        kernel = fresh;
        const std::string sg = tree.Dev() + (c.drive == 'D' ? "/sg1" : "/sg3");
        const std::string sr = tree.Dev() + (c.drive == 'D' ? "/sr0" : "/sr1");
        if (c.sgAnswer != "-")
            kernel.scsiIds[sg] = c.sgAnswer;
        if (c.srAnswer != "-")
            kernel.scsiIds[sr] = c.srAnswer;
        CLinuxHost host = MakeHost();
        ExclusiveAccess access = ExclusiveAccess::Held;
        const std::string path = std::string("\\\\.\\") + c.drive + ":";
        const HostHandle d =
            c.exclusive ? host.OpenDeviceExclusive(path.c_str(), access) : host.OpenDevice(path.c_str());
        EXPECT_EQ(kernel.submits, 0);
        if (!*c.error) {
            EXPECT_NE(d, kInvalidHandle) << host.OpenProblem(c.drive).strFacts;
            EXPECT_EQ(access, ExclusiveAccess::Held);
            continue;
        }
        EXPECT_EQ(d, kInvalidHandle);
        EXPECT_NE(access, ExclusiveAccess::Busy);
        EXPECT_TRUE(Contains(host.OpenProblem(c.drive).strFacts, c.error)) << host.OpenProblem(c.drive).strFacts;
        const std::vector<std::string> reached =
            c.sgAnswer != "-" ? std::vector<std::string>{sg} : std::vector<std::string>{sg, sr};
        EXPECT_EQ(kernel.opened, reached) << "a refused generic node leaves the block node untouched";
        EXPECT_EQ(kernel.closed.size(), kernel.opened.size()) << "every node is closed again";
    }
}

TEST_F(SgHostTest, AnExclusiveOpenHoldsTheBlockNodeToo)
{
    CLinuxHost host = MakeHost();
    const std::string sr0 = tree.Dev() + "/sr0";
    ExclusiveAccess access = ExclusiveAccess::NotOffered;
    const HostHandle d = host.OpenDeviceExclusive("\\\\.\\D:", access);
    ASSERT_NE(d, kInvalidHandle) << host.OpenProblem('D').strFacts;
    EXPECT_EQ(access, ExclusiveAccess::Held);
    ASSERT_EQ(kernel.opened, (std::vector<std::string>{tree.Dev() + "/sg1", sr0}));
    // Only a claim that may write keeps the kernel's media polling away from the device.
    EXPECT_EQ(kernel.openFlags[1] & (O_ACCMODE | O_EXCL | O_NONBLOCK), O_RDWR | O_EXCL | O_NONBLOCK);
    EXPECT_EQ(host.HoldNote('D'), "");
    EXPECT_EQ(kernel.Open(sr0.c_str(), O_RDONLY | O_EXCL), -EBUSY) << "no mount while the flash runs";
    host.CloseDevice(d);
    EXPECT_EQ(kernel.closed.size(), 2u);
    EXPECT_EQ(kernel.openCounts[sr0], 0);

    // A drive without a block node has nothing more to hold; a shared open never holds one.
    const HostHandle e = host.OpenDeviceExclusive("\\\\.\\F:", access);
    EXPECT_NE(e, kInvalidHandle);
    EXPECT_EQ(access, ExclusiveAccess::Held);
    const HostHandle shared = host.OpenDevice("\\\\.\\D:");
    EXPECT_NE(shared, kInvalidHandle);
    EXPECT_EQ(std::vector<std::string>(kernel.opened.end() - 2, kernel.opened.end()),
              (std::vector<std::string>{tree.Dev() + "/sg2", tree.Dev() + "/sg1"}));
}

TEST_F(SgHostTest, ABlockNodeInUseRefusesTheFlash)
{
    struct Case {
        const char* name;
        int srError;       // 0: another exclusive opener (a mount) has it
        int srWriteError;  // refused to an open that may write
        ExclusiveAccess access;
        const char* text;  // the error, or the note of a hold that is not whole
    } cases[] = {
        {"mounted", 0, 0, ExclusiveAccess::Busy, "it is mounted or another program has it open exclusively"},
        {"no permission", EACCES, 0, ExclusiveAccess::NotOffered, "give your user access to"},
        {"read access only", -1, EACCES, ExclusiveAccess::Held,
         "sr0 is held read-only (read-write: Permission denied)"},
        {"read-only device", -1, EROFS, ExclusiveAccess::Held, "media polling may still send drive D: commands"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CFakeKernel fresh;
        kernel = fresh;
        const std::string sr0 = tree.Dev() + "/sr0";
        if (c.srError > 0) {
            kernel.openErrors[sr0] = c.srError;
        } else if (c.srError == 0) {
            kernel.Open(sr0.c_str(), O_RDONLY | O_EXCL);
        }
        if (c.srWriteError)
            kernel.writeOpenErrors[sr0] = c.srWriteError;
        CLinuxHost host = MakeHost();
        ExclusiveAccess access = ExclusiveAccess::Held;
        const HostHandle d = host.OpenDeviceExclusive("\\\\.\\D:", access);
        EXPECT_EQ(access, c.access);
        if (c.access == ExclusiveAccess::Held) {
            ASSERT_NE(d, kInvalidHandle) << host.OpenProblem('D').strFacts;
            EXPECT_EQ(kernel.openFlags.back() & (O_ACCMODE | O_EXCL), O_RDONLY | O_EXCL);
            EXPECT_TRUE(Contains(host.HoldNote('D'), c.text)) << host.HoldNote('D');
            EXPECT_EQ(kernel.Open(sr0.c_str(), O_RDONLY | O_EXCL), -EBUSY) << "held all the same";
            host.CloseDevice(d);
            continue;
        }
        EXPECT_EQ(d, kInvalidHandle);
        EXPECT_EQ(host.OpenProblem('D').kind == OpenFailure::Kind::Busy, c.access == ExclusiveAccess::Busy);
        EXPECT_TRUE(Contains(host.OpenProblem('D').strFacts, c.text)) << host.OpenProblem('D').strFacts;
        EXPECT_EQ(host.HoldNote('D'), "");
        EXPECT_EQ(kernel.openCounts[tree.Dev() + "/sg1"], 0) << "the generic node is let go again";
    }
}

// A program killed while it waited leaves its command queued in the driver,
// and the sg driver lets the next program have the node at once.
TEST_F(SgHostTest, ACommandLeftInTheDriverKeepsTheDriveBusyUntilItEnds)
{
    struct Case {
        const char* name;
        const char* busy;   // device_busy; null: the kernel has no such file
        int clearsAfterMs;  // -1: never
        ExclusiveAccess access;
    } cases[] = {
        {"kernel without the count", nullptr, 0, ExclusiveAccess::Held},
        {"nothing in the driver", "0\n", 0, ExclusiveAccess::Held},
        {"the kernel's own poll ends at once", "1\n", 200, ExclusiveAccess::Held},
        {"a dead program's block write", "1\n", -1, ExclusiveAccess::Busy},
    };
    const std::string busyFile = tree.Sys() + "/bus/scsi/devices/1:0:0:0/device_busy";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CFakeKernel fresh;
        kernel = fresh;
        std::filesystem::remove(busyFile);
        if (c.busy)
            CFakeSysfs::Write(busyFile, c.busy);
        kernel.onSleep = [&](int sleptMs) {
            if (c.clearsAfterMs >= 0 && sleptMs >= c.clearsAfterMs)
                CFakeSysfs::Write(busyFile, "0\n");
        };
        CLinuxHost host = MakeHost();
        ExclusiveAccess access = ExclusiveAccess::NotOffered;
        const HostHandle d = host.OpenDeviceExclusive("\\\\.\\D:", access);
        EXPECT_EQ(access, c.access);
        EXPECT_EQ(d == kInvalidHandle, c.access == ExclusiveAccess::Busy);
        EXPECT_EQ(kernel.submits, 0);
        if (c.access == ExclusiveAccess::Busy) {
            EXPECT_EQ(host.OpenProblem('D').kind, OpenFailure::Kind::Busy);
            EXPECT_TRUE(Contains(host.OpenProblem('D').strFacts, "1 command is still in the kernel's driver for"))
                << host.OpenProblem('D').strFacts;
            EXPECT_EQ(kernel.opened, std::vector<std::string>{tree.Dev() + "/sg1"})
                << "the block node, whose open the kernel checks for media with commands, is not touched";
            EXPECT_EQ(kernel.openCounts[tree.Dev() + "/sg1"], 0);
        } else {
            EXPECT_GE(kernel.sleptMs, std::max(c.clearsAfterMs, 0));
            host.CloseDevice(d);
        }
        // A shared open sends nothing of its own and does not wait.
        CFakeSysfs::Write(busyFile, "1\n");
        kernel.sleptMs = 0;
        const HostHandle shared = host.OpenDevice("\\\\.\\D:");
        EXPECT_NE(shared, kInvalidHandle);
        EXPECT_EQ(kernel.sleptMs, 0);
        host.CloseDevice(shared);
    }
}

// A unit on a USB bridge can drop off the bus during its restart and come
// back under new nodes. Its handle goes on through them only when it is back
// at the same place with the same identity, and then alone.
TEST_F(SgHostTest, ADeviceThatLeftIsFollowedToItsOwnPlaceOnly)
{
    const std::string port = "pci0000:00/usb1/1-1/1-1:1.0";
    struct Case {
        const char* name;
        bool exclusive;
        bool leaves;
        std::vector<CFakeSysfs::Device> arrive;
        bool ok;
        const char* node;  // where the command went
        const char* error;
    } cases[] = {
        {"back under a new LUN",
         true,
         true,
         {{.hctl = "7:0:0:1", .block = "sr1", .generic = "sg3", .place = port}},
         true,
         "sg3",
         ""},
        {"re-enumerated with its old numbers",
         true,
         true,
         {{.hctl = "8:0:0:0", .block = "sr0", .generic = "sg1", .place = port}},
         true,
         "sg1",
         ""},
        {"shared handle",
         false,
         true,
         {{.hctl = "7:0:0:1", .block = "sr1", .generic = "sg3", .place = port}},
         true,
         "sg3",
         ""},
        {"not back yet", true, true, {}, false, nullptr, "and is not back at its place"},
        {"back at another port",
         true,
         true,
         {{.hctl = "8:0:0:0", .block = "sr1", .generic = "sg3", .place = "pci0000:00/usb1/1-2/1-2:1.0"}},
         false,
         nullptr,
         "came back elsewhere, which is not followed"},
        {"another product at its place",
         true,
         true,
         {{.hctl = "8:0:0:0", .block = "sr1", .generic = "sg3", .model = "OTHER DRIVE", .place = port}},
         false,
         nullptr,
         "is not back at its place"},
        {"another unit of its kind at its place",
         true,
         true,
         {{.hctl = "8:0:0:0", .block = "sr1", .generic = "sg3", .place = port, .serial = "other"}},
         false,
         nullptr,
         "is not back at its place"},
        {"two at its place",
         true,
         true,
         {{.hctl = "8:0:0:0", .block = "sr1", .generic = "sg3", .place = port},
          {.hctl = "8:0:0:1", .block = "sr2", .generic = "sg4", .place = port}},
         false,
         nullptr,
         "2 devices of its kind are at its place now"},
        {"never left",
         true,
         false,
         {{.hctl = "8:0:0:0", .block = "sr1", .generic = "sg3", .place = port}},
         false,
         nullptr,
         "sg: No such device"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CFakeSysfs usb;
        usb.Add({.hctl = "6:0:0:0", .block = "sr0", .generic = "sg1", .place = port});
        CFakeKernel fresh;
        kernel = fresh;
        CLinuxHost host(LinuxHostConfig{usb.Sys(), usb.Dev(), &kernel});
        ExclusiveAccess access = ExclusiveAccess::NotOffered;
        const HostHandle d = c.exclusive ? host.OpenDeviceExclusive("\\\\.\\D:", access) : host.OpenDevice("\\\\.\\D:");
        ASSERT_NE(d, kInvalidHandle) << host.OpenProblem('D').strFacts;
        uint8_t data[64] = {};
        PassThroughRequest r = WriteRequest(data, sizeof data);
        ASSERT_TRUE(host.SendPassThrough(d, r));

        kernel.Unplug(usb.Dev() + "/sg1");
        kernel.Unplug(usb.Dev() + "/sr0");
        if (c.leaves)
            usb.Remove("6:0:0:0");
        for (const CFakeSysfs::Device& device : c.arrive)
            usb.Add(device);
        r = WriteRequest(data, sizeof data);
        EXPECT_EQ(host.SendPassThrough(d, r), c.ok) << CLinuxHost::LastErrorText();
        EXPECT_TRUE(Contains(CLinuxHost::LastErrorText(), c.error)) << CLinuxHost::LastErrorText();
        EXPECT_EQ(kernel.unforcedSubmits, 0);
        if (c.ok) {
            EXPECT_EQ(kernel.submits, 2) << "the command reached the unit once, through its new node";
            EXPECT_EQ(kernel.fdPaths[kernel.lastFd], usb.Dev() + "/" + c.node);
            if (c.exclusive) {
                EXPECT_EQ(kernel.Open((usb.Dev() + "/" + c.arrive.front().block).c_str(), O_RDONLY | O_EXCL), -EBUSY)
                    << "its new block node is held";
            }
            r = WriteRequest(data, sizeof data);
            EXPECT_TRUE(host.SendPassThrough(d, r));
            EXPECT_EQ(kernel.fdPaths[kernel.lastFd], usb.Dev() + "/" + c.node) << "later commands go there too";
            char roots[16];
            host.GetLogicalDriveRoots(sizeof roots, roots);
            EXPECT_EQ(host.DriveNodeText('D'), usb.Dev() + "/" + c.node) << "the unit keeps its letter";
        } else {
            EXPECT_EQ(kernel.submits, 1);
        }
        host.CloseDevice(d);
        EXPECT_TRUE(kernel.openFds.empty()) << "every descriptor of the handle is closed";
    }
}
