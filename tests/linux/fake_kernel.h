#pragma once
#include <fcntl.h>

#include <cerrno>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "device/linux/linux_host.h"

// A kernel whose nodes open as the test says and whose SG_IO runs a function
// of the test. Opens follow the sg driver's O_EXCL rule (with O_NONBLOCK): an
// exclusive open fails with EBUSY while the node is open at all, and any open
// fails so while an exclusive one lasts.
class CFakeKernel final : public ILinuxKernel {
public:
    int Open(const char* path, int flags) override {
        opened.push_back(path);
        openFlags.push_back(flags);
        auto it = openErrors.find(path);
        if (it != openErrors.end()) return -it->second;
        if (exclusiveFds.count(path) != 0 || ((flags & O_EXCL) && openCounts[path] > 0)) return -EBUSY;
        const int fd = nextFd++;
        fdPaths[fd] = path;
        ++openCounts[path];
        if (flags & O_EXCL) exclusiveFds[path] = fd;
        return fd;
    }
    void Close(int fd) override {
        closed.push_back(fd);
        const std::string& path = fdPaths.at(fd);
        --openCounts[path];
        if (exclusiveFds.count(path) != 0 && exclusiveFds[path] == fd) exclusiveFds.erase(path);
    }
    int SgIo(int fd, sg_io_hdr_t& header) override {
        ++sgIoCalls;
        lastFd = fd;
        if (ioctlError) return -ioctlError;
        return onSgIo ? onSgIo(fd, header) : 0;
    }
    std::string NodeGroup(const char*) override { return group; }

    std::map<std::string, int> openErrors;  // path -> errno
    std::vector<std::string> opened;
    std::vector<int> openFlags;
    std::vector<int> closed;
    std::map<int, std::string> fdPaths;
    std::map<std::string, int> openCounts;    // path -> descriptors open on it
    std::map<std::string, int> exclusiveFds;  // path -> the descriptor that has it alone
    std::function<int(int, sg_io_hdr_t&)> onSgIo;
    int ioctlError = 0;
    int sgIoCalls = 0;
    int lastFd = -1;
    int nextFd = 40;
    std::string group = "cdrom";
};
