// The real kernel behind ILinuxKernel.
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <scsi/scsi.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

#include "device/linux/system_kernel.h"

namespace {

class CSystemKernel final : public ILinuxKernel {
public:
    int Open(const char* path, int flags) override
    {
        const int fd = ::open(path, flags);
        return fd < 0 ? -errno : fd;
    }
    void Close(int fd) override { ::close(fd); }
    int SgSubmit(int fd, sg_io_hdr_t& header) override
    {
        const ssize_t n = ::write(fd, &header, sizeof header);
        if (n < 0)
            return -errno;
        return n == static_cast<ssize_t>(sizeof header) ? 0 : -EIO;
    }
    int SgReceive(int fd, sg_io_hdr_t& header, int waitMs) override
    {
        pollfd pfd{fd, POLLIN, 0};
        const int ready = ::poll(&pfd, 1, waitMs);
        if (ready < 0)
            return -errno;
        if (ready == 0)
            return -ETIMEDOUT;
        // The node is non-blocking: a read with nothing done fails with
        // EAGAIN instead of waiting. The read fills in the header it is given
        // (pack_id selects the answer).
        const ssize_t n = ::read(fd, &header, sizeof header);
        if (n < 0) {
            // A hang-up with nothing to read is a device that went away.
            if (errno == EAGAIN && (pfd.revents & (POLLHUP | POLLERR)) && !(pfd.revents & POLLIN))
                return -ENODEV;
            return -errno;
        }
        return n == static_cast<ssize_t>(sizeof header) ? 0 : -EIO;
    }
    int SgForcePackId(int fd) override
    {
        int force = 1;
        return ::ioctl(fd, SG_SET_FORCE_PACK_ID, &force) < 0 ? -errno : 0;
    }
    int SgScsiId(int fd, sg_scsi_id& id) override { return ::ioctl(fd, SG_GET_SCSI_ID, &id) < 0 ? -errno : 0; }
    int BlockScsiId(int fd, sg_scsi_id& id) override
    {
        // dev_id packs target, lun, channel and the host's low byte; the bus
        // number is the whole host number.
        struct {
            int devId;
            int hostUniqueId;
        } idlun{};
        int host = 0;
        if (::ioctl(fd, SCSI_IOCTL_GET_IDLUN, &idlun) < 0 || ::ioctl(fd, SCSI_IOCTL_GET_BUS_NUMBER, &host) < 0)
            return -errno;
        id = {};
        id.host_no = host;
        id.scsi_id = idlun.devId & 0xFF;
        id.lun = (idlun.devId >> 8) & 0xFF;
        id.channel = (idlun.devId >> 16) & 0xFF;
        return 0;
    }
    void SleepMs(int ms) override
    {
        timespec ts{ms / 1000, (ms % 1000) * 1000000L};
        while (::nanosleep(&ts, &ts) != 0 && errno == EINTR) {
        }
    }
    std::string NodeGroup(const char* path) override
    {
        struct stat st {};
        if (::stat(path, &st) != 0)
            return {};
        struct group grp {};
        struct group* result = nullptr;
        char buffer[1024];
        if (::getgrgid_r(st.st_gid, &grp, buffer, sizeof buffer, &result) != 0 || !result)
            return {};
        return result->gr_name;
    }
};

}  // namespace

std::unique_ptr<ILinuxKernel> CreateSystemKernel()
{
    return std::make_unique<CSystemKernel>();
}
