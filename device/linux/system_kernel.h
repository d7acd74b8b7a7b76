#pragma once
#include <scsi/sg.h>

#include <memory>
#include <string>

// The kernel services the Linux host uses beyond sysfs: opening a node and
// the sg driver's asynchronous interface. Tests put a fake device behind it.
// Commands go out by write() and come back by read(), never by the SG_IO
// ioctl: the kernel restarts an SG_IO whose wait a stop signal or a tracer
// interrupted, and the restart submits the same command a second time.
class ILinuxKernel {
public:
    virtual ~ILinuxKernel() = default;
    virtual int Open(const char* path, int flags) = 0;  // a descriptor, or -errno
    virtual void Close(int fd) = 0;
    // Queues the command (write() of the header, header.pack_id naming it):
    // 0, or -errno when it was not queued.
    virtual int SgSubmit(int fd, sg_io_hdr_t& header) = 0;
    // Waits up to waitMs for the answer to header.pack_id and reads it into
    // header: 0; -EINTR or -EAGAIN when it should be asked again; -ETIMEDOUT
    // when waitMs passed; any other -errno when the answer cannot come.
    virtual int SgReceive(int fd, sg_io_hdr_t& header, int waitMs) = 0;
    // SG_SET_FORCE_PACK_ID on an open node: a read then takes the answer to
    // its own pack_id, not whichever command finished first. 0, or -errno.
    virtual int SgForcePackId(int fd) = 0;
    // SG_GET_SCSI_ID: the host, channel, target and lun of the node's device.
    virtual int SgScsiId(int fd, sg_scsi_id& id) = 0;  // 0, or -errno
    // The same for a block node (SCSI_IOCTL_GET_IDLUN and
    // SCSI_IOCTL_GET_BUS_NUMBER): channel, target and lun come back in 8 bits.
    virtual int BlockScsiId(int fd, sg_scsi_id& id) = 0;  // 0, or -errno
    virtual void SleepMs(int ms) = 0;
    // The name of the group that owns the node, empty when unknown.
    virtual std::string NodeGroup(const char* path) = 0;
};

// The real kernel.
std::unique_ptr<ILinuxKernel> CreateSystemKernel();
