#pragma once
#include <fcntl.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "device/linux/linux_host.h"

// A kernel whose nodes open as the test says and whose sg driver runs a
// function of the test on each submitted command; the answer waits for the
// receive of its pack_id. Opens follow the O_EXCL rule (with O_NONBLOCK): an
// exclusive open fails with EBUSY while the node is open at all, and any open
// fails so while an exclusive one lasts. A node tells the SCSI address its
// device has in the fake sysfs beside the dev folder, unless scsiIds says
// otherwise.
class CFakeKernel final : public ILinuxKernel {
public:
    int Open(const char* path, int flags) override
    {
        opened.push_back(path);
        openFlags.push_back(flags);
        auto it = openErrors.find(path);
        if (it != openErrors.end())
            return -it->second;
        auto refused = writeOpenErrors.find(path);
        if (refused != writeOpenErrors.end() && (flags & O_ACCMODE) != O_RDONLY)
            return -refused->second;
        if (exclusiveFds.count(path) != 0 || ((flags & O_EXCL) && openCounts[path] > 0))
            return -EBUSY;
        // The lowest free number, as the kernel gives them: a closed
        // descriptor's number comes back with the next open.
        int fd = firstFd;
        while (openFds.count(fd) != 0)
            ++fd;
        openFds.insert(fd);
        forcedPackId.erase(fd);
        fdPaths[fd] = path;
        ++openCounts[path];
        if (flags & O_EXCL)
            exclusiveFds[path] = fd;
        return fd;
    }
    void Close(int fd) override
    {
        closed.push_back(fd);
        receivesAtClose[fd] = receives;
        openFds.erase(fd);
        if (detachedFds.erase(fd) != 0)
            return;
        const std::string& path = fdPaths.at(fd);
        --openCounts[path];
        if (exclusiveFds.count(path) != 0 && exclusiveFds[path] == fd)
            exclusiveFds.erase(path);
    }
    int SgSubmit(int fd, sg_io_hdr_t& header) override
    {
        lastFd = fd;
        if (submitError)
            return -submitError;
        if (detachedFds.count(fd) != 0)
            return -ENODEV;
        ++submits;
        if (forcedPackId.count(fd) == 0)
            ++unforcedSubmits;
        interruptsLeft = interruptsPerCommand;
        const int rc = onSgIo ? onSgIo(fd, header) : 0;
        if (rc < 0)
            return rc;
        answers[fd] = header;
        return 0;
    }
    int SgReceive(int fd, sg_io_hdr_t& header, int waitMs) override
    {
        ++receives;
        receiveWaits.push_back(waitMs);
        if (!receiveErrors.empty()) {
            const int error = receiveErrors.front();
            receiveErrors.erase(receiveErrors.begin());
            return -error;
        }
        if (interruptsLeft > 0) {
            --interruptsLeft;
            return -EINTR;
        }
        auto it = answers.find(fd);
        if (it == answers.end() || it->second.pack_id != header.pack_id)
            return -EIO;
        header = it->second;
        answers.erase(it);
        return 0;
    }
    int BlockScsiId(int fd, sg_scsi_id& id) override
    {
        const int rc = SgScsiId(fd, id);
        id.channel &= 0xFF;
        id.scsi_id &= 0xFF;
        id.lun &= 0xFF;
        return rc;
    }
    void SleepMs(int ms) override
    {
        sleptMs += ms;
        if (onSleep)
            onSleep(sleptMs);
    }
    int SgForcePackId(int fd) override
    {
        ++forcePackIdCalls;
        forcedPackId.insert(fd);
        return 0;
    }
    int SgScsiId(int fd, sg_scsi_id& id) override
    {
        const std::string& path = fdPaths.at(fd);
        auto it = scsiIds.find(path);
        const std::string hctl = it != scsiIds.end() ? it->second : SysfsHctl(path);
        if (hctl.empty())
            return -ENOTTY;
        id = {};
        if (std::sscanf(hctl.c_str(), "%d:%d:%d:%d", &id.host_no, &id.channel, &id.scsi_id, &id.lun) != 4) {
            return -EINVAL;
        }
        return 0;
    }
    std::string NodeGroup(const char*) override { return group; }

    std::map<std::string, int> openErrors;       // path -> errno
    std::map<std::string, int> writeOpenErrors;  // path -> errno of an open that may write
    // The device behind the node left: its open descriptors stay, dead, and
    // a node of that name is another device's from now on.
    void Unplug(const std::string& path)
    {
        for (int fd : openFds) {
            if (fdPaths[fd] == path && detachedFds.insert(fd).second)
                --openCounts[path];
        }
        exclusiveFds.erase(path);
    }

    std::vector<std::string> opened;
    std::vector<int> openFlags;
    std::vector<int> closed;
    std::map<int, int> receivesAtClose;  // fd -> the receives made before its close
    std::map<int, std::string> fdPaths;
    std::map<std::string, int> openCounts;         // path -> descriptors open on it
    std::map<std::string, int> exclusiveFds;       // path -> the descriptor that has it alone
    std::function<int(int, sg_io_hdr_t&)> onSgIo;  // the device runs the command: 0, or -errno
    int submitError = 0;                           // errno of the write that queues a command
    std::vector<int> receiveErrors;                // errno of the next receives, in turn
    std::map<std::string, std::string> scsiIds;    // path -> "H:C:T:L" its device answers with
    std::map<int, sg_io_hdr_t> answers;            // fd -> the answer waiting to be read
    int interruptsPerCommand = 0;                  // each command's wait is interrupted so often
    int interruptsLeft = 0;
    std::vector<int> receiveWaits;
    int submits = 0;
    int receives = 0;
    int lastFd = -1;
    int firstFd = 40;
    std::set<int> openFds;
    std::set<int> detachedFds;   // open on a device that left
    std::set<int> forcedPackId;  // descriptors whose reads take the answer to their own pack_id
    int forcePackIdCalls = 0;
    int unforcedSubmits = 0;  // commands queued where a read could take another command's answer
    std::string group = "cdrom";
    int sleptMs = 0;
    std::function<void(int)> onSleep;  // after each sleep, with the time slept so far

private:
    // The H:C:T:L folder of the fake sysfs whose device has the node.
    static std::string SysfsHctl(const std::string& path)
    {
        namespace fs = std::filesystem;
        const fs::path node(path);
        const std::string name = node.filename().string();
        std::error_code ec;
        const fs::path devices = node.parent_path().parent_path() / "sys" / "bus" / "scsi" / "devices";
        for (fs::directory_iterator it(devices, ec), end; !ec && it != end; it.increment(ec)) {
            for (const char* kind : {"scsi_generic", "block"}) {
                if (fs::exists(it->path() / kind / name) || fs::exists(it->path() / (std::string(kind) + ":" + name))) {
                    return it->path().filename().string();
                }
            }
        }
        return {};
    }
};
