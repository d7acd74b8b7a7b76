#include "device/host.h"

#include "device/drive_name.h"

#include <new>

namespace {

constexpr std::align_val_t kDataBufferAlignment{4096};

}  // namespace

uint8_t* IScsiHost::AllocateDataBuffer(uint32_t length)
{
    return static_cast<uint8_t*>(::operator new[](length, kDataBufferAlignment, std::nothrow));
}

void IScsiHost::FreeDataBuffer(uint8_t* buffer)
{
    ::operator delete[](buffer, kDataBufferAlignment);
}

void IScsiHost::DescribeLastFailure(char* text, std::size_t size)
{
    if (text != nullptr && size != 0)
        text[0] = '\0';
}

HostHandle IScsiHost::OpenDeviceExclusive(const char* path, ExclusiveAccess& access)
{
    access = ExclusiveAccess::NotOffered;
    return OpenDevice(path);
}

void IScsiHost::ReleaseExclusiveAccess(HostHandle) {}

IAspiHost* IScsiHost::Aspi()
{
    return nullptr;
}

IDriveNodes* IScsiHost::DriveNodes()
{
    return nullptr;
}

std::string IScsiHost::DriveSerial(char)
{
    return {};
}

std::string IScsiHost::DriveNodeText(char drive)
{
    char path[kDevicePathSize];
    FormatDevicePath(drive, path);
    return path;
}
