#pragma once
#include <cerrno>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "device/linux/linux_host.h"

// A kernel whose nodes open as the test says and whose SG_IO runs a function
// of the test.
class CFakeKernel final : public ILinuxKernel {
public:
    int Open(const char* path, int flags) override {
        opened.push_back(path);
        openFlags.push_back(flags);
        auto it = openErrors.find(path);
        if (it != openErrors.end()) return -it->second;
        const int fd = nextFd++;
        fdPaths[fd] = path;
        return fd;
    }
    void Close(int fd) override { closed.push_back(fd); }
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
    std::function<int(int, sg_io_hdr_t&)> onSgIo;
    int ioctlError = 0;
    int sgIoCalls = 0;
    int lastFd = -1;
    int nextFd = 40;
    std::string group = "cdrom";
};
