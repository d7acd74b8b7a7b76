// The Win32 host: each call is the one system service it stands for.
#include <windows.h>
#include <winioctl.h>
#include <ntddscsi.h>

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "device/aspi_host.h"
#include "device/drive_name.h"
#include "device/drive_nodes.h"
#include "device/host.h"
#include "device/win32/win32_open_failures.h"
#include "res/app_name.h"

#define KT_SAME_FIELD(field)                                                                                           \
    static_assert(offsetof(ScsiPassThroughDirect, field) == offsetof(SCSI_PASS_THROUGH_DIRECT, field) &&               \
                  sizeof(ScsiPassThroughDirect::field) == sizeof(SCSI_PASS_THROUGH_DIRECT::field))
KT_SAME_FIELD(Length);
KT_SAME_FIELD(ScsiStatus);
KT_SAME_FIELD(PathId);
KT_SAME_FIELD(TargetId);
KT_SAME_FIELD(Lun);
KT_SAME_FIELD(CdbLength);
KT_SAME_FIELD(SenseInfoLength);
KT_SAME_FIELD(DataIn);
KT_SAME_FIELD(DataTransferLength);
KT_SAME_FIELD(TimeOutValue);
KT_SAME_FIELD(DataBuffer);
KT_SAME_FIELD(SenseInfoOffset);
KT_SAME_FIELD(Cdb);
#undef KT_SAME_FIELD
static_assert(sizeof(ScsiPassThroughDirect) == sizeof(SCSI_PASS_THROUGH_DIRECT));
// 80 bytes in the 32-bit build; the 64-bit system's record is 12 bytes
// longer (a pointer-sized buffer and its alignment), and the block is padded
// to its 8-byte alignment.
static_assert(sizeof(PassThroughRequest) == (sizeof(void*) == 4 ? 80 : 96));
static_assert(offsetof(PassThroughRequest, senseArea) == sizeof(SCSI_PASS_THROUGH_DIRECT) + 4);
static_assert(IOCTL_SCSI_PASS_THROUGH_DIRECT == 0x4D014);
static_assert(sizeof(OSVERSIONINFOA) == 148);
static_assert(sizeof(HANDLE) == sizeof(HostHandle));

namespace {

// The CD-ROM class driver's exclusive access (ntddcdrm.h), which mingw-w64's
// headers do not carry.
constexpr DWORD kIoctlCdromExclusiveAccess =
    CTL_CODE(FILE_DEVICE_CD_ROM, 0x0017, METHOD_BUFFERED, FILE_READ_ACCESS | FILE_WRITE_ACCESS);
static_assert(kIoctlCdromExclusiveAccess == 0x2C05C);
enum : ULONG {
    kExclusiveAccessLockDevice = 1,
    kExclusiveAccessUnlockDevice = 2
};
constexpr size_t kExclusiveCallerLength = 64;  // CDROM_EXCLUSIVE_CALLER_LENGTH

struct CdromExclusiveAccess {
    ULONG RequestType;
    ULONG Flags;  // 0: the lock is refused while a file system is mounted
};

struct CdromExclusiveLock {
    CdromExclusiveAccess Access;
    UCHAR CallerName[kExclusiveCallerLength];
};
static_assert(sizeof(CdromExclusiveLock) == 72);

// The error of the calling thread's last pass-through call, kept apart from
// GetLastError, which any later call may overwrite.
thread_local DWORD t_nLastPassThroughError = ERROR_SUCCESS;

using PfnGetASPI32SupportInfo = DWORD(__cdecl*)(void);
using PfnSendASPI32Command = DWORD(__cdecl*)(LPVOID);

HANDLE AsHandle(HostHandle handle)
{
    return reinterpret_cast<HANDLE>(handle);
}

HostHandle FromHandle(HANDLE handle)
{
    return reinterpret_cast<HostHandle>(handle);
}

HANDLE OpenDrivePath(const char* path)
{
    return CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                       FILE_FLAG_NO_BUFFERING, nullptr);
}

// Vendor, product and serial number as the storage stack reports them; empty
// when it cannot tell.
std::string DeviceIdentity(HANDLE device)
{
    STORAGE_PROPERTY_QUERY query{};
    query.PropertyId = StorageDeviceProperty;
    query.QueryType = PropertyStandardQuery;
    alignas(8) BYTE buffer[512] = {};
    DWORD returned = 0;
    if (!DeviceIoControl(device, IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof(query), buffer, sizeof(buffer), &returned,
                         nullptr) ||
        returned < sizeof(STORAGE_DEVICE_DESCRIPTOR))
        return {};
    const auto* descriptor = reinterpret_cast<const STORAGE_DEVICE_DESCRIPTOR*>(buffer);
    const auto field = [&](DWORD offset) {
        if (offset == 0 || offset >= returned)
            return std::string();
        const char* text = reinterpret_cast<const char*>(buffer + offset);
        return std::string(text, strnlen(text, returned - offset));
    };
    const std::string identity = field(descriptor->VendorIdOffset) + "|" + field(descriptor->ProductIdOffset) + "|" +
                                 field(descriptor->SerialNumberOffset);
    return identity == "||" ? std::string() : identity;
}

// The pass-through call found no device behind the handle: it was removed
// (a unit on a USB bridge that restarts re-enumerates).
bool DeviceLeft(DWORD error)
{
    constexpr DWORD kErrorNoSuchDevice = 433;  // ERROR_NO_SUCH_DEVICE, which mingw-w64's headers lack
    return error == ERROR_DEVICE_REMOVED || error == kErrorNoSuchDevice || error == ERROR_DEV_NOT_EXIST ||
           error == ERROR_FILE_INVALID;
}

class CWin32Host final : public IScsiHost, public IAspiHost, public IDriveNodes {
public:
    bool GetVersionPlatformId(uint32_t& platformId) override
    {
        OSVERSIONINFOA info{};
        info.dwOSVersionInfoSize = sizeof(info);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
        if (!GetVersionExA(&info))
            return false;
#pragma GCC diagnostic pop
        platformId = info.dwPlatformId;
        return true;
    }

    int64_t QueryCounterFrequency() override
    {
        LARGE_INTEGER frequency{};
        QueryPerformanceFrequency(&frequency);
        return frequency.QuadPart;
    }

    int64_t QueryCounter() override
    {
        LARGE_INTEGER counter{};
        QueryPerformanceCounter(&counter);
        return counter.QuadPart;
    }

    uint32_t GetLogicalDriveRoots(uint32_t bufferLength, char* buffer) override
    {
        return GetLogicalDriveStringsA(bufferLength, buffer);
    }

    uint32_t GetDriveKind(const char* rootPath) override
    {
        return GetDriveTypeA(rootPath);
    }

    HostHandle OpenDevice(const char* path) override
    {
        const HANDLE device = OpenDrivePath(path);
        const DWORD nError = device == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS;
        m_openFailures.Record(path, nError);
        if (device != INVALID_HANDLE_VALUE) {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_opened[FromHandle(device)] = Opened{path, DeviceIdentity(device), false, device};
        }
        SetLastError(nError);
        return FromHandle(device);
    }

    HostHandle OpenDeviceExclusive(const char* path, ExclusiveAccess& access) override
    {
        access = ExclusiveAccess::NotOffered;
        const HostHandle device = OpenDevice(path);
        if (device == kInvalidHandle) {
            // Another program opened the drive without sharing it.
            if (m_openFailures.Problem(DevicePathLetter(path)).kind == OpenFailure::Kind::Busy)
                access = ExclusiveAccess::Busy;
            return device;
        }
        if (LockExclusive(AsHandle(device))) {
            access = ExclusiveAccess::Held;
            std::lock_guard<std::mutex> lock(m_mutex);
            m_opened[device].bExclusive = true;
            return device;
        }
        // Denied: another handle holds the lock. A bad command: a file system
        // is mounted on the drive, which is using it. Any other answer is a
        // driver (or a system) that has no such lock.
        const DWORD nError = GetLastError();
        if (nError == ERROR_ACCESS_DENIED || nError == ERROR_BAD_COMMAND) {
            CloseDevice(device);
            access = ExclusiveAccess::Busy;
            SetLastError(nError);
            return kInvalidHandle;
        }
        return device;
    }

    void ReleaseExclusiveAccess(HostHandle device) override
    {
        CdromExclusiveAccess unlock{kExclusiveAccessUnlockDevice, 0};
        DWORD returned = 0;
        DeviceIoControl(Current(device), kIoctlCdromExclusiveAccess, &unlock, sizeof(unlock), nullptr, 0, &returned,
                        nullptr);
    }

    void CloseDevice(HostHandle device) override
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        auto opened = m_opened.extract(device);
        lock.unlock();
        if (opened && opened.mapped().hCurrent != AsHandle(device))
            CloseHandle(opened.mapped().hCurrent);
        CloseHandle(AsHandle(device));
    }

    bool SendPassThrough(HostHandle device, PassThroughRequest& request) override
    {
        HANDLE current = Current(device);
        bool bOk = PassThrough(current, request);
        // Removed before the call reached it: the same unit back at its
        // letter takes the command, once, through a new handle.
        if (!bOk && DeviceLeft(t_nLastPassThroughError) && Reopen(device, current))
            bOk = PassThrough(current, request);
        return bOk;
    }

    void DescribeLastFailure(char* text, std::size_t size) override
    {
        if (text == nullptr || size == 0)
            return;
        const DWORD nError = t_nLastPassThroughError;
        char szSystem[160] = "";
        const DWORD nLength = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                             nError, 0, szSystem, sizeof(szSystem), nullptr);
        // The system's text ends with a line break.
        DWORD nEnd = nLength;
        while (nEnd > 0 && (szSystem[nEnd - 1] == '\r' || szSystem[nEnd - 1] == '\n' || szSystem[nEnd - 1] == ' '))
            --nEnd;
        szSystem[nEnd] = '\0';
        std::snprintf(text, size, "DeviceIoControl: %s (error %lu)", nEnd != 0 ? szSystem : "no system text",
                      static_cast<unsigned long>(nError));
    }

    IDriveNodes* DriveNodes() override
    {
        return this;
    }

    // Drives have no other names here.
    char LetterForNode(const std::string&) override
    {
        return 0;
    }

    // The CD-ROM drives the system has now: the ones a scan opens.
    std::vector<char> ScannedLetters() override
    {
        std::vector<char> letters;
        const DWORD nDrives = GetLogicalDrives();
        for (char letter = 'A'; letter <= 'Z'; ++letter) {
            const char root[] = {letter, ':', '\\', '\0'};
            if ((nDrives >> (letter - 'A') & 1) != 0 && GetDriveTypeA(root) == DRIVE_CDROM)
                letters.push_back(letter);
        }
        return letters;
    }

    OpenFailure OpenProblem(char drive) override
    {
        return m_openFailures.Problem(drive);
    }

    // Whether WNASPI32 is installed shows when it is loaded.
    IAspiHost* Aspi() override
    {
        return this;
    }

    HostHandle LoadAspiLibrary(const char* name) override
    {
        return FromHandle(LoadLibraryA(name));
    }

    AspiEntryPoint FindAspiEntryPoint(HostHandle library, const char* name) override
    {
        return reinterpret_cast<AspiEntryPoint>(GetProcAddress(reinterpret_cast<HMODULE>(library), name));
    }

    void FreeAspiLibrary(HostHandle library) override
    {
        FreeLibrary(reinterpret_cast<HMODULE>(library));
    }

    uint32_t CallGetASPI32SupportInfo(AspiEntryPoint entry) override
    {
        return reinterpret_cast<PfnGetASPI32SupportInfo>(entry)();
    }

    uint32_t CallSendASPI32Command(AspiEntryPoint entry, void* srb) override
    {
        return reinterpret_cast<PfnSendASPI32Command>(entry)(srb);
    }

    HostHandle CreateCompletionEvent() override
    {
        return FromHandle(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    }

    bool WaitCompletionEvent(HostHandle event, uint32_t milliseconds) override
    {
        return WaitForSingleObject(AsHandle(event), milliseconds) == WAIT_OBJECT_0;
    }

    void CloseCompletionEvent(HostHandle event) override
    {
        CloseHandle(AsHandle(event));
    }

private:
    // An open handle: what it was opened as, and the handle its calls go
    // through now. The first handle stays open while the handle lives, so its
    // value is not given to another one.
    struct Opened {
        std::string strPath;
        std::string strIdentity;
        bool bExclusive = false;
        HANDLE hCurrent = INVALID_HANDLE_VALUE;
    };

    static bool PassThrough(HANDLE device, PassThroughRequest& request)
    {
        DWORD returned = 0;
        const bool bOk = DeviceIoControl(device, IOCTL_SCSI_PASS_THROUGH_DIRECT, &request, sizeof(request), &request,
                                         sizeof(request), &returned, nullptr) != FALSE;
        t_nLastPassThroughError = bOk ? ERROR_SUCCESS : GetLastError();
        return bOk;
    }

    static bool LockExclusive(HANDLE device)
    {
        CdromExclusiveLock lock{{kExclusiveAccessLockDevice, 0}, {}};
        std::snprintf(reinterpret_cast<char*>(lock.CallerName), sizeof(lock.CallerName), "%s", KT_APP_NAME);
        DWORD returned = 0;
        return DeviceIoControl(device, kIoctlCdromExclusiveAccess, &lock, sizeof(lock), nullptr, 0, &returned,
                               nullptr) != FALSE;
    }

    HANDLE Current(HostHandle device)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto it = m_opened.find(device);
        return it == m_opened.end() ? AsHandle(device) : it->second.hCurrent;
    }

    // The drive letter again, when it opens and its device tells the identity
    // the handle was opened with; an exclusive handle takes the lock again.
    bool Reopen(HostHandle device, HANDLE& current)
    {
        Opened opened;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            auto it = m_opened.find(device);
            if (it == m_opened.end() || it->second.strIdentity.empty())
                return false;
            opened = it->second;
        }
        const HANDLE fresh = OpenDrivePath(opened.strPath.c_str());
        if (fresh == INVALID_HANDLE_VALUE)
            return false;
        if (DeviceIdentity(fresh) != opened.strIdentity || (opened.bExclusive && !LockExclusive(fresh))) {
            CloseHandle(fresh);
            return false;
        }
        HANDLE previous;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            Opened& entry = m_opened[device];
            previous = entry.hCurrent;
            entry.hCurrent = fresh;
        }
        if (previous != AsHandle(device))
            CloseHandle(previous);
        current = fresh;
        return true;
    }

    CWin32OpenFailures m_openFailures;
    std::mutex m_mutex;
    std::map<HostHandle, Opened> m_opened;
};

}  // namespace

std::unique_ptr<IScsiHost> CreatePlatformHost()
{
    return std::make_unique<CWin32Host>();
}
