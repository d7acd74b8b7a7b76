#include "device/linux/linux_host.h"

#include <fcntl.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <system_error>

#include "device/drive_name.h"
#include "device/linux/sg_exchange.h"
#include "device/linux/sg_translate.h"

namespace {

thread_local std::string t_strLastError;

constexpr char kFirstLetter = 'D';
constexpr char kLastLetter = 'Z';

// A KT3916's INQUIRY vendor and product, as sysfs shows them.
constexpr char kKt3916Vendor[] = "KTDEV";
constexpr char kKt3916Product[] = "KT3916 FLASHER";

// How long after a command's own timeout the sg driver's answer is waited
// for: the SCSI error handler may abort and reset before it gives one.
constexpr int kSgAnswerGraceMs = 60000;

// How long an exclusive open waits for commands that are already in the
// device's driver to end before it reports the drive busy (and is asked
// again by whoever holds drives, for a while).
constexpr int kDriverDrainMs = 1000;
constexpr int kDriverDrainStepMs = 100;
// How long a node whose command never answered stays held after the run is
// done with it, waiting for the driver to give the command back.
constexpr int kLostDrainMs = 60000;
constexpr int kLostDrainStepMs = 1000;

std::string ErrorText(int error)
{
    return std::error_code(error, std::generic_category()).message();
}

}  // namespace

std::unique_ptr<IScsiHost> CreatePlatformHost()
{
    return std::make_unique<CLinuxHost>();
}

CLinuxHost::CLinuxHost(const LinuxHostConfig& config) : m_config(config)
{
    if (m_config.pKernel) {
        m_pKernel = m_config.pKernel;
    } else {
        m_pOwnKernel = CreateSystemKernel();
        m_pKernel = m_pOwnKernel.get();
    }
}

CLinuxHost::~CLinuxHost() = default;

bool CLinuxHost::GetVersionPlatformId(uint32_t& platformId)
{
    platformId = kPlatformWin32Nt;
    return true;
}

int64_t CLinuxHost::QueryCounterFrequency()
{
    return 1000000000;
}

int64_t CLinuxHost::QueryCounter()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

std::vector<LinuxDrive> CLinuxHost::Rescan()
{
    std::vector<LinuxDrive> drives = ScanSysfsCdroms(m_config.strSysRoot);
    std::lock_guard<std::mutex> lock(m_mutex);
    // A drive keeps its letter while it stays attached, as on Windows: a
    // device that comes or goes never moves another one to a new letter
    // between the choice of a drive and its opening.
    std::map<std::string, char> letters;
    bool used[26] = {};
    for (LinuxDrive& drive : drives) {
        const std::string key = LetterKey(drive);
        auto known = m_letters.find(key);
        if (known != m_letters.end()) {
            drive.chLetter = known->second;
            used[drive.chLetter - 'A'] = true;
            letters[key] = drive.chLetter;
        }
    }
    for (LinuxDrive& drive : drives) {
        if (drive.chLetter)
            continue;
        for (char letter = kFirstLetter; letter <= kLastLetter; ++letter) {
            if (!used[letter - 'A']) {
                drive.chLetter = letter;
                used[letter - 'A'] = true;
                letters[LetterKey(drive)] = letter;
                break;
            }
        }
    }
    drives.erase(std::remove_if(drives.begin(), drives.end(), [](const LinuxDrive& d) { return d.chLetter == 0; }),
                 drives.end());
    std::sort(drives.begin(), drives.end(),
              [](const LinuxDrive& a, const LinuxDrive& b) { return a.chLetter < b.chLetter; });
    m_letters = std::move(letters);
    m_drives = drives;
    m_bScanned = true;
    return drives;
}

std::string CLinuxHost::LetterKey(const LinuxDrive& drive)
{
    return drive.strHctl + "|" + drive.strGenericNode + "|" + drive.strBlockNode;
}

std::vector<LinuxDrive> CLinuxHost::Drives()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_bScanned)
            return m_drives;
    }
    return Rescan();
}

const LinuxDrive* CLinuxHost::FindDrive(char letter) const
{
    for (const LinuxDrive& drive : m_drives) {
        if (drive.chLetter == letter)
            return &drive;
    }
    return nullptr;
}

uint32_t CLinuxHost::GetLogicalDriveRoots(uint32_t bufferLength, char* buffer)
{
    std::string roots;
    for (const LinuxDrive& drive : Rescan())
        roots += std::string{drive.chLetter, ':', '\\', '\0'};
    const uint32_t length = static_cast<uint32_t>(roots.size());
    if (length + 1 > bufferLength)
        return length + 1;
    std::memcpy(buffer, roots.c_str(), length + 1);
    return length;
}

uint32_t CLinuxHost::GetDriveKind(const char* rootPath)
{
    const char letter = DriveRootLetter(rootPath);
    Drives();
    std::lock_guard<std::mutex> lock(m_mutex);
    return letter && FindDrive(letter) ? kDriveTypeCdrom : kDriveTypeNoRootDir;
}

std::string CLinuxHost::NodePath(const std::string& node) const
{
    return node.empty() ? std::string() : (std::filesystem::path(m_config.strDevRoot) / node).string();
}

char CLinuxHost::LetterForNode(const std::string& path)
{
    const auto resolve = [](const std::string& node) {
        std::error_code ec;
        std::filesystem::path resolved = std::filesystem::weakly_canonical(node, ec);
        return ec ? std::filesystem::path(node) : resolved;
    };
    const std::filesystem::path resolved = resolve(path);
    for (const LinuxDrive& drive : Rescan()) {
        for (const std::string& node : {NodePath(drive.strBlockNode), NodePath(drive.strGenericNode)}) {
            if (!node.empty() && resolve(node) == resolved)
                return drive.chLetter;
        }
    }
    return 0;
}

OpenFailure CLinuxHost::OpenFailureOf(const LinuxDrive& drive, const std::string& node, int error, bool bExclusive)
{
    OpenFailure failure;
    failure.strFacts = "cannot open " + node + (bExclusive ? " read-write for this program alone: " : " read-write: ") +
                       ErrorText(error);
    failure.strNode = node;
    failure.chDrive = drive.chLetter;
    failure.bKt3916 = drive.strVendor == kKt3916Vendor && drive.strModel == kKt3916Product;
    if (error == EACCES || error == EPERM) {
        failure.kind = OpenFailure::Kind::Denied;
        failure.strGroup = m_pKernel->NodeGroup(node.c_str());
    } else if (error == ENOENT || error == ENXIO || error == ENODEV) {
        failure.kind = OpenFailure::Kind::Missing;
    } else if (error == EBUSY) {
        failure.kind = OpenFailure::Kind::Busy;
        failure.strFacts +=
            bExclusive ? "; another program has it open" : "; another program holds it open exclusively";
    }
    return failure;
}

HostHandle CLinuxHost::OpenDevice(const char* path)
{
    ExclusiveAccess shared;
    return OpenNode(path, false, shared);
}

HostHandle CLinuxHost::OpenDeviceExclusive(const char* path, ExclusiveAccess& access)
{
    return OpenNode(path, true, access);
}

HostHandle CLinuxHost::OpenNode(const char* path, bool bExclusive, ExclusiveAccess& access)
{
    access = ExclusiveAccess::NotOffered;
    const char letter = DevicePathLetter(path);
    if (!letter) {
        t_strLastError = std::string("not a drive device path: ") + (path ? path : "(null)");
        return kInvalidHandle;
    }
    Drives();
    LinuxDrive drive;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const LinuxDrive* found = FindDrive(letter);
        if (!found) {
            t_strLastError = std::string("no CD-ROM-class device at drive ") + letter + ":";
            return kInvalidHandle;
        }
        drive = *found;
    }

    OpenFailure failure;
    std::string& error = failure.strFacts;
    std::string note;
    HostHandle handle = kInvalidHandle;
    bool bBusy = false;
    if (drive.strGenericNode.empty()) {
        const std::string block = NodePath(drive.strBlockNode);
        failure.kind = OpenFailure::Kind::NoGenericNode;
        error = std::string("drive ") + letter + ": (" + drive.strHctl + (block.empty() ? "" : ", " + block) +
                ") has no SCSI generic node";
    } else {
        const std::string node = NodePath(drive.strGenericNode);
        // O_NONBLOCK: a node held by someone else fails at once with EBUSY
        // instead of waiting for its release.
        const int fd = m_pKernel->Open(node.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC | (bExclusive ? O_EXCL : 0));
        if (fd < 0) {
            failure = OpenFailureOf(drive, node, -fd, bExclusive);
            bBusy = fd == -EBUSY;
        } else if (!CheckNodeAddress(fd, false, drive, node, error) || !ForcePackId(fd, node, error)) {
            m_pKernel->Close(fd);
        } else if (bExclusive && !NoCommandLeftInDriver(drive, node, error)) {
            // A command an earlier program queued may still reach the device:
            // nothing of ours goes after it, not even the block node's
            // open, which makes the kernel ask the drive for media events.
            m_pKernel->Close(fd);
            bBusy = true;
        } else if (bExclusive && !HoldBlockNode(fd, drive, error, bBusy, note)) {
            m_pKernel->Close(fd);
        } else {
            handle = static_cast<HostHandle>(fd);
            if (bExclusive)
                access = ExclusiveAccess::Held;
        }
    }
    t_strLastError = error;
    if (bBusy) {
        failure.kind = OpenFailure::Kind::Busy;
        access = ExclusiveAccess::Busy;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    if (handle != kInvalidHandle)
        m_opened[handle] = OpenedDrive{drive, bExclusive, static_cast<int>(handle)};
    m_openFailures[letter - 'A'] = failure;
    m_holdNotes[letter - 'A'] = handle == kInvalidHandle ? std::string() : note;
    return handle;
}

bool CLinuxHost::CheckNodeAddress(int fd, bool bBlock, const LinuxDrive& drive, const std::string& node,
                                  std::string& error)
{
    // sg and sr numbers are reused: a device unplugged and another plugged in
    // between the scan and the open can own the node the scan named.
    sg_scsi_id id{};
    const int rc = bBlock ? m_pKernel->BlockScsiId(fd, id) : m_pKernel->SgScsiId(fd, id);
    if (rc < 0) {
        error = "cannot ask " + node + " which device it is: " + ErrorText(-rc);
        return false;
    }
    int host = -1, channel = -1, target = -1, lun = -1;
    std::sscanf(drive.strHctl.c_str(), "%d:%d:%d:%d", &host, &channel, &target, &lun);
    // The block node's ioctl carries channel, target and lun in a byte each.
    const int mask = bBlock ? 0xFF : -1;
    if (id.host_no == host && id.channel == (channel & mask) && id.scsi_id == (target & mask) && id.lun == (lun & mask))
        return true;
    const std::string hctl = std::to_string(id.host_no) + ":" + std::to_string(id.channel) + ":" +
                             std::to_string(id.scsi_id) + ":" + std::to_string(id.lun);
    error = node + " now belongs to the SCSI device " + hctl + ", not to " + drive.strHctl + " that drive " +
            drive.chLetter + ": was listed as; the device was replugged: list the drives again";
    return false;
}

bool CLinuxHost::ForcePackId(int fd, const std::string& node, std::string& error)
{
    const int rc = m_pKernel->SgForcePackId(fd);
    if (rc < 0)
        error = "cannot make " + node + " answer each command by its own id: " + ErrorText(-rc);
    return rc == 0;
}

bool CLinuxHost::HoldBlockNode(int genericFd, const LinuxDrive& drive, std::string& error, bool& bBusy,
                               std::string& note)
{
    const std::string block = NodePath(drive.strBlockNode);
    if (block.empty())
        return true;  // without the sr driver there is no block node to reach the device by
    // O_EXCL on a block device keeps out mounts and other exclusive openers;
    // O_NONBLOCK opens the drive without asking for a medium. Only an
    // exclusive claim that may write stops the kernel's media polling, whose
    // commands would otherwise reach the device between our blocks.
    int fd = m_pKernel->Open(block.c_str(), O_RDWR | O_NONBLOCK | O_EXCL | O_CLOEXEC);
    if (fd == -EACCES || fd == -EPERM || fd == -EROFS) {
        const int refused = -fd;
        fd = m_pKernel->Open(block.c_str(), O_RDONLY | O_NONBLOCK | O_EXCL | O_CLOEXEC);
        if (fd >= 0) {
            note = block + " is held read-only (read-write: " + ErrorText(refused) +
                   "): the kernel's media polling may still send drive " + drive.chLetter +
                   ": commands between the blocks; give your user write access to " + block + " to stop it";
        }
    }
    if (fd < 0) {
        bBusy = fd == -EBUSY;
        error = "cannot hold " + block + " for this program alone: " + ErrorText(-fd) +
                (bBusy ? "; it is mounted or another program has it open exclusively" : "");
        if (fd == -EACCES || fd == -EPERM)
            error += "; run as root or give your user access to " + block;
        return false;
    }
    if (!CheckNodeAddress(fd, true, drive, block, error)) {
        m_pKernel->Close(fd);
        return false;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    m_blockHolds[static_cast<HostHandle>(genericFd)] = fd;
    return true;
}

bool CLinuxHost::NoCommandLeftInDriver(const LinuxDrive& drive, const std::string& node, std::string& error)
{
    // The sg driver lets go of a node whose program ended with a command
    // still queued (killed while it waited): that command may still reach
    // the device. The device's count of commands in its driver shows it;
    // the few the kernel sends itself end within moments.
    const std::string busyPath = m_config.strSysRoot + "/bus/scsi/devices/" + drive.strHctl + "/device_busy";
    int waitedMs = 0;
    for (;;) {
        std::FILE* file = std::fopen(busyPath.c_str(), "re");
        int busy = 0;
        if (file == nullptr || std::fscanf(file, "%d", &busy) != 1)
            busy = 0;  // a kernel without the count: nothing more to learn
        if (file != nullptr)
            std::fclose(file);
        if (busy <= 0)
            return true;
        if (waitedMs >= kDriverDrainMs) {
            error = "device busy: " + std::to_string(busy) + " command" + (busy == 1 ? " is" : "s are") +
                    " still in the kernel's driver for " + node + " (sent before this program held it, " +
                    "perhaps by a program that was stopped); nothing is sent until " +
                    (busy == 1 ? "it ends" : "they end");
            return false;
        }
        m_pKernel->SleepMs(kDriverDrainStepMs);
        waitedMs += kDriverDrainStepMs;
    }
}

std::string CLinuxHost::PendingCommandText(HostHandle device)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_lostHandles.count(device) == 0)
        return {};
    const bool bBlockHeld = m_blockHolds.count(device) != 0;
    return "a command that never answered is still in the kernel's driver and may yet reach the device: the drive "
           "stays held" +
           std::string(bBlockHeld ? " (both nodes)" : "") + " until the driver gives it back or " +
           std::to_string(kLostDrainMs / 1000) + " s pass";
}

void CLinuxHost::CloseDevice(HostHandle device)
{
    if (device == kInvalidHandle || device > static_cast<HostHandle>(INT_MAX))
        return;
    int blockFd = -1;
    int lostPackId = 0;
    int followedFd = -1;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (auto lost = m_lostHandles.extract(device))
            lostPackId = lost.mapped();
        if (auto opened = m_opened.extract(device); opened && opened.mapped().nFd != static_cast<int>(device))
            followedFd = opened.mapped().nFd;
        if (auto held = m_blockHolds.extract(device))
            blockFd = held.mapped();
    }
    // The lost command waits in the driver behind the descriptor it went out on.
    if (lostPackId != 0)
        DrainLostCommand(followedFd >= 0 ? followedFd : static_cast<int>(device), lostPackId);
    m_pKernel->Close(static_cast<int>(device));
    if (followedFd >= 0)
        m_pKernel->Close(followedFd);
    if (blockFd >= 0)
        m_pKernel->Close(blockFd);
}

void CLinuxHost::DrainLostCommand(int fd, int packId)
{
    // The sg driver does not cancel a queued command when its node closes:
    // while it may still reach the device, no other program may have it.
    for (int waitedMs = 0; waitedMs < kLostDrainMs; waitedMs += kLostDrainStepMs) {
        sg_io_hdr_t header{};
        header.interface_id = 'S';
        header.pack_id = packId;
        const int rc = m_pKernel->SgReceive(fd, header, kLostDrainStepMs);
        if (rc != -ETIMEDOUT && rc != -EINTR && rc != -EAGAIN)
            return;  // given back, or the device is gone with it
    }
}

bool CLinuxHost::SendPassThrough(HostHandle device, PassThroughRequest& request)
{
    if (device == kInvalidHandle || device > static_cast<HostHandle>(INT_MAX)) {
        t_strLastError = "sg: not an open device";
        return false;
    }
    sg_io_hdr_t header;
    uint8_t sense[kSenseAreaLength] = {};
    std::string error;
    if (!BuildSgIoHeader(request, header, sense, sizeof sense, error)) {
        t_strLastError = "sg: " + error;
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_lostHandles.count(device) != 0) {
            t_strLastError = "sg: an earlier command on this node never answered and may still be running on "
                             "the device; nothing more is sent through it";
            return false;
        }
        header.pack_id = m_nNextPackId;
        m_nNextPackId = m_nNextPackId == INT_MAX ? 1 : m_nNextPackId + 1;
    }
    std::string exchangeError;
    int fd = CommandFd(device);
    SgExchange exchange = ExchangeSg(*m_pKernel, fd, header, kSgAnswerGraceMs, exchangeError);
    // Not queued: it reaches the unit once, through its new node, when the
    // unit left the bus and is back.
    if (exchange == SgExchange::NotSent && FollowDevice(device, fd, exchangeError))
        exchange = ExchangeSg(*m_pKernel, fd, header, kSgAnswerGraceMs, exchangeError);
    if (exchange != SgExchange::Answered) {
        if (exchange == SgExchange::Lost) {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_lostHandles[device] = header.pack_id;
        }
        t_strLastError = exchangeError;
        return false;
    }
    const bool bCallOk = CompleteSgIoRequest(header, sense, request);
    char text[96] = "";
    if (!bCallOk && IsShortWrite(header, request.sptd)) {
        if (header.resid > 0 && static_cast<unsigned>(header.resid) <= header.dxfer_len) {
            std::snprintf(text, sizeof text, "sg: short write, %u of %u bytes reached the device",
                          header.dxfer_len - static_cast<unsigned>(header.resid), header.dxfer_len);
        } else {
            std::snprintf(text, sizeof text, "sg: short write, residual %d of %u bytes", header.resid,
                          header.dxfer_len);
        }
    } else if (!bCallOk) {
        std::snprintf(text, sizeof text, "sg: host status 0x%02x, driver status 0x%02x", header.host_status,
                      header.driver_status);
    } else if (request.sptd.ScsiStatus != kScsiStatusGood) {
        std::snprintf(text, sizeof text, "SCSI status 0x%02x, sense key 0x%02x, ASC 0x%02x, ASCQ 0x%02x",
                      request.sptd.ScsiStatus, sense[2] & 0x0F, sense[12], sense[13]);
    }
    t_strLastError = text;
    return bCallOk;
}

void CLinuxHost::DescribeLastFailure(char* text, std::size_t size)
{
    if (!text || size == 0)
        return;
    std::snprintf(text, size, "%s", t_strLastError.c_str());
}

std::string CLinuxHost::DriveNodeText(char drive)
{
    for (const LinuxDrive& d : Drives()) {
        if (d.chLetter == drive)
            return NodePath(d.strGenericNode.empty() ? d.strBlockNode : d.strGenericNode);
    }
    return IScsiHost::DriveNodeText(drive);
}

std::string CLinuxHost::DriveSerial(char drive)
{
    for (const LinuxDrive& d : Drives()) {
        if (d.chLetter == drive)
            return SerialText(d);
    }
    return {};
}

std::vector<char> CLinuxHost::ScannedLetters()
{
    std::vector<char> letters;
    for (const LinuxDrive& d : Drives())
        letters.push_back(d.chLetter);
    return letters;
}

std::string CLinuxHost::LastErrorText()
{
    return t_strLastError;
}

template <typename T>
T CLinuxHost::OfLetter(const T (&values)[26], char letter) const
{
    const int index = DriveLetterIndex(letter);
    if (index < 0)
        return T{};
    std::lock_guard<std::mutex> lock(m_mutex);
    return values[index];
}

std::string CLinuxHost::HoldNote(char drive)
{
    return OfLetter(m_holdNotes, drive);
}

OpenFailure CLinuxHost::OpenProblem(char drive)
{
    return OfLetter(m_openFailures, drive);
}
