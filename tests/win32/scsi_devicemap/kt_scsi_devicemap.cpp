// Test harness helper for the vm stage: enters one SCSI device of the kernel
// into the running Wine session's device map, where Wine's ASPI layer counts
// its adapters, then says what that layer answers.
//
//   kt_scsi_devicemap PORT BUS TARGET LUN UNIX_NODE
//
// The map's keys are volatile, as Windows makes them at boot: `reg add`
// cannot create them, RegCreateKeyExW with REG_OPTION_VOLATILE can. They
// last as long as the session's wineserver. Prints "support 0xXXXXXXXX"
// (GetASPI32SupportInfo) and, for the entered target, "dev_type return 0xRR
// status 0xSS type 0xTT" (SC_GET_DEV_TYPE: the call's answer and the block's).
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

HKEY CreateVolatile(HKEY hParent, const std::wstring& strName)
{
    HKEY hKey = nullptr;
    const LONG nError = RegCreateKeyExW(hParent, strName.c_str(), 0, nullptr, REG_OPTION_VOLATILE, KEY_ALL_ACCESS,
                                        nullptr, &hKey, nullptr);
    if (nError != ERROR_SUCCESS) {
        std::printf("cannot create the key %ls: error %ld\n", strName.c_str(), nError);
        std::exit(1);
    }
    return hKey;
}

std::wstring Widen(const char* psz)
{
    return std::wstring(psz, psz + std::strlen(psz));
}

// The ASPI block of SC_GET_DEV_TYPE, as the layer reads it.
#pragma pack(push, 1)
struct DevTypeBlock {
    BYTE SRB_Cmd, SRB_Status, SRB_HaId, SRB_Flags;
    DWORD SRB_Hdr_Rsvd;
    BYTE SRB_Target, SRB_Lun, SRB_DeviceType, SRB_Rsvd1;
};
#pragma pack(pop)

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 6) {
        std::printf("usage: kt_scsi_devicemap PORT BUS TARGET LUN UNIX_NODE\n");
        return 2;
    }
    const std::wstring names[] = {L"HARDWARE\\DEVICEMAP\\Scsi", L"Scsi Port " + Widen(argv[1]),
                                  L"Scsi Bus " + Widen(argv[2]), L"Target Id " + Widen(argv[3]),
                                  L"Logical Unit Id " + Widen(argv[4])};
    HKEY hKey = HKEY_LOCAL_MACHINE;
    for (const std::wstring& strName : names) {
        HKEY hChild = CreateVolatile(hKey, strName);
        if (hKey != HKEY_LOCAL_MACHINE)
            RegCloseKey(hKey);
        hKey = hChild;
    }
    const std::wstring strNode = Widen(argv[5]);
    RegSetValueExW(hKey, L"UnixDeviceName", 0, REG_SZ, reinterpret_cast<const BYTE*>(strNode.c_str()),
                   static_cast<DWORD>((strNode.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(hKey);

    HMODULE hAspi = LoadLibraryA("WNASPI32.DLL");
    if (hAspi == nullptr) {
        std::printf("no ASPI layer\n");
        return 1;
    }
    using SupportInfo = DWORD(__cdecl*)();
    using SendCommand = DWORD(__cdecl*)(void*);
    // Through the generic function type: the entry points are cdecl, not
    // the stdcall type GetProcAddress declares.
    using Generic = void (*)();
    auto pfnSupport =
        reinterpret_cast<SupportInfo>(reinterpret_cast<Generic>(GetProcAddress(hAspi, "GetASPI32SupportInfo")));
    auto pfnSend = reinterpret_cast<SendCommand>(reinterpret_cast<Generic>(GetProcAddress(hAspi, "SendASPI32Command")));
    if (pfnSupport == nullptr || pfnSend == nullptr) {
        std::printf("the ASPI layer lacks its entry points\n");
        return 1;
    }
    std::printf("support 0x%08lX\n", static_cast<unsigned long>(pfnSupport()));
    DevTypeBlock block = {};
    block.SRB_Cmd = 1;  // SC_GET_DEV_TYPE
    block.SRB_HaId = 0;
    block.SRB_Target = static_cast<BYTE>(std::atoi(argv[3]));
    block.SRB_Lun = static_cast<BYTE>(std::atoi(argv[4]));
    const DWORD nReturn = pfnSend(&block);
    std::printf("dev_type return 0x%02lX status 0x%02X type 0x%02X\n", static_cast<unsigned long>(nReturn),
                block.SRB_Status, block.SRB_DeviceType);
    return 0;
}
