#pragma once
#include <scsi/sg.h>

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "device/drive_nodes.h"
#include "device/host.h"
#include "device/linux/sysfs_scan.h"
#include "device/linux/system_kernel.h"

constexpr uint32_t kPlatformWin32Nt = 2;  // VER_PLATFORM_WIN32_NT
constexpr uint32_t kDriveTypeNoRootDir = 1;

struct LinuxHostConfig {
    std::string strSysRoot = "/sys";
    std::string strDevRoot = "/dev";
    ILinuxKernel* pKernel = nullptr;  // null: the real kernel
};

// The host on Linux: sysfs discovery presented as drive letters D:, E:, ...,
// commands by write() and read() on the SCSI generic node of each. The ASPI
// layer does not exist here.
class CLinuxHost final : public IScsiHost, public IDriveNodes {
public:
    explicit CLinuxHost(const LinuxHostConfig& config = {});
    ~CLinuxHost() override;

    bool GetVersionPlatformId(uint32_t& platformId) override;
    int64_t QueryCounterFrequency() override;
    int64_t QueryCounter() override;
    uint32_t GetLogicalDriveRoots(uint32_t bufferLength, char* buffer) override;
    uint32_t GetDriveKind(const char* rootPath) override;
    HostHandle OpenDevice(const char* path) override;
    // O_EXCL: fails with EBUSY while any other open of the node exists, and
    // every later open fails while it is held. The drive's block node is held
    // with O_EXCL as well (no mounts, no other exclusive openers) until
    // CloseDevice.
    HostHandle OpenDeviceExclusive(const char* path, ExclusiveAccess& access) override;
    void CloseDevice(HostHandle device) override;
    bool SendPassThrough(HostHandle device, PassThroughRequest& request) override;
    void DescribeLastFailure(char* text, std::size_t size) override;
    IDriveNodes* DriveNodes() override { return this; }
    // The generic node, or the block node when the sg driver has none.
    std::string DriveNodeText(char drive) override;
    std::string DriveSerial(char drive) override;

    // IDriveNodes. LetterForNode follows symbolic links. OpenProblem's Busy:
    // another program has the node open exclusively (or, for an exclusive
    // open, at all).
    char LetterForNode(const std::string& path) override;
    std::vector<char> ScannedLetters() override;
    OpenFailure OpenProblem(char drive) override;
    std::string HoldNote(char drive) override;
    // CloseDevice of a handle whose command never answered waits for the
    // driver to give it back (bounded), the drive held meanwhile.
    std::string PendingCommandText(HostHandle device) override;

    // The drives of the last scan (of the discovery's GetLogicalDriveRoots),
    // the ones its letters and opens refer to; a scan first when there was
    // none. Letters go in block node order at first; later a drive keeps its
    // letter while attached and a new one takes the lowest free letter.
    // Naming a node never rescans: every open would otherwise read all of
    // sysfs again while the discovery holds the drives it opened so far.
    // A handle whose device left the bus follows the same unit when it comes
    // back under new nodes at the same place (FollowDevice); drive letters
    // are not changed by it.
    std::vector<LinuxDrive> Drives();
    // Why the last OpenDevice or SendPassThrough of the calling thread failed.
    static std::string LastErrorText();

private:
    std::vector<LinuxDrive> Rescan();
    const LinuxDrive* FindDrive(char letter) const;  // m_mutex held
    // A node of a drive under the dev root, empty when the drive has none.
    std::string NodePath(const std::string& node) const;
    template <typename T>
    T OfLetter(const T (&values)[26], char letter) const;
    HostHandle OpenNode(const char* path, bool bExclusive, ExclusiveAccess& access);
    bool CheckNodeAddress(int fd, bool bBlock, const LinuxDrive& drive, const std::string& node, std::string& error);
    bool ForcePackId(int fd, const std::string& node, std::string& error);
    bool HoldBlockNode(int genericFd, const LinuxDrive& drive, std::string& error, bool& bBusy, std::string& note);
    void DrainLostCommand(int fd, int packId);
    bool NoCommandLeftInDriver(const LinuxDrive& drive, const std::string& node, std::string& error);
    OpenFailure OpenFailureOf(const LinuxDrive& drive, const std::string& node, int error, bool bExclusive);
    // The key a drive's letter is kept under while it stays attached.
    static std::string LetterKey(const LinuxDrive& drive);
    // The descriptor commands on the handle go through now.
    int CommandFd(HostHandle device);
    // The handle's device left the bus and the same unit (vendor and product)
    // is back at the same place under new nodes: they are opened (and held,
    // for an exclusive handle) in place of the old ones, and fd names the new
    // generic node. False, with the reason in error, while it is not back, or
    // when the handle's device never left.
    bool FollowDevice(HostHandle device, int& fd, std::string& error);

    struct OpenedDrive {
        LinuxDrive drive;  // as it is attached now
        bool bExclusive = false;
        int nFd = -1;  // the generic node's descriptor, once followed; the handle's own until then
    };

    LinuxHostConfig m_config;
    std::unique_ptr<ILinuxKernel> m_pOwnKernel;
    ILinuxKernel* m_pKernel = nullptr;
    mutable std::mutex m_mutex;
    bool m_bScanned = false;
    std::vector<LinuxDrive> m_drives;
    std::map<std::string, char> m_letters;  // attached drive -> its letter
    OpenFailure m_openFailures[26];
    std::string m_holdNotes[26];
    std::map<HostHandle, int> m_blockHolds;   // exclusive handle -> its drive's block node held with O_EXCL
    std::map<HostHandle, int> m_lostHandles;  // a command on them never answered -> its pack id
    // Open handles. A followed handle keeps its first descriptor open, so
    // that its number is not given to another handle.
    std::map<HostHandle, OpenedDrive> m_opened;
    int m_nNextPackId = 1;
};
