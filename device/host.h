#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "device/host_types.h"
#include "device/pass_through_request.h"

class IAspiHost;
class IDriveNodes;

// The operating-system services that discovery and the command transport use.
// CScsiDevice is written against this interface only; each platform (and the
// emulator) supplies one implementation that does nothing but translate a
// call into its own service. Methods carry the Win32 semantics of the service
// they stand for. A host may be shared by device objects on several threads,
// each using its own handles, so implementations must be thread-safe.
class IScsiHost {
public:
    virtual ~IScsiHost() = default;

    // GetVersionExA: false when the call fails; otherwise dwPlatformId.
    virtual bool GetVersionPlatformId(uint32_t& platformId) = 0;
    // QueryPerformanceFrequency / QueryPerformanceCounter.
    virtual int64_t QueryCounterFrequency() = 0;
    virtual int64_t QueryCounter() = 0;

    // GetLogicalDriveStringsA: writes "X:\<0>...<0>" into buffer when it fits
    // and returns the length written without the final zero; when it does not
    // fit, returns the length needed (including the final zero) and writes
    // nothing; 0 on failure.
    virtual uint32_t GetLogicalDriveRoots(uint32_t bufferLength, char* buffer) = 0;
    // GetDriveTypeA on a root or drive text.
    virtual uint32_t GetDriveKind(const char* rootPath) = 0;
    // CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ |
    // FILE_SHARE_WRITE, no security, OPEN_EXISTING, FILE_FLAG_NO_BUFFERING).
    virtual HostHandle OpenDevice(const char* path) = 0;  // kInvalidHandle on failure
    // OpenDevice, and the drive for this handle alone until
    // ReleaseExclusiveAccess or CloseDevice: the CD-ROM class driver's
    // exclusive lock (IOCTL_CDROM_EXCLUSIVE_ACCESS) on Windows, an O_EXCL open
    // on Linux. On failure kInvalidHandle, with Busy when another handle
    // holds the drive. NotOffered: the system cannot give a drive to one
    // handle; it is open as OpenDevice opens it. The default offers nothing.
    virtual HostHandle OpenDeviceExclusive(const char* path, ExclusiveAccess& access);
    // Gives the drive back to everyone; the handle stays open. Only for a
    // handle that OpenDeviceExclusive returned with Held.
    virtual void ReleaseExclusiveAccess(HostHandle device);
    virtual void CloseDevice(HostHandle device) = 0;
    // DeviceIoControl(IOCTL_SCSI_PASS_THROUGH_DIRECT) with the request as both
    // input and output buffer. True when the call itself succeeded.
    virtual bool SendPassThrough(HostHandle device, PassThroughRequest& request) = 0;
    // Why the calling thread's last SendPassThrough returned false, in the
    // system's words, into text (always terminated; empty when the host
    // cannot tell). Asked right after that call, before any other.
    virtual void DescribeLastFailure(char* text, std::size_t size);

    // What only some hosts have, null where this one has none: the Windows
    // 9x ASPI layer, and what the system knows of the nodes behind drives.
    virtual IAspiHost* Aspi();
    virtual IDriveNodes* DriveNodes();
    // Where a drive lives, for people: its node ("/dev/sg1"), "emulated",
    // or by default its device path "\\.\D:".
    virtual std::string DriveNodeText(char drive);
    // The serial number of the unit in a drive of the last scan, where the
    // system knows it without a command to the device; empty when not.
    virtual std::string DriveSerial(char drive);

    // Memory for a device object's data buffer, on a page boundary so that
    // the direct pass-through meets any adapter's alignment; null when there
    // is none to be had. The default takes it from the heap.
    virtual uint8_t* AllocateDataBuffer(uint32_t length);
    virtual void FreeDataBuffer(uint8_t* buffer);
};

// The host of the platform the program was built for: the Win32 API in the
// Windows build, sysfs and the sg driver on Linux.
std::unique_ptr<IScsiHost> CreatePlatformHost();
