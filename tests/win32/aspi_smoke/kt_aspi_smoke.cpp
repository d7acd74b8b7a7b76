// The ASPI discovery path against the system's own ASPI layer. Run with the
// program's reported Windows version set to Windows 98, so that the device
// object takes the Windows 9x path.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "device/aspi_srb.h"
#include "device/flash_device.h"
#include "device/forwarding_host.h"

namespace {

// Passes every call to the real host and records the ASPI traffic.
class CAspiTraffic final : public CForwardingHost {
public:
    explicit CAspiTraffic(IScsiHost& inner) : CForwardingHost(inner) {}

    std::vector<std::string> libraries;
    std::vector<HostHandle> loaded;
    std::vector<HostHandle> freed;
    std::vector<std::string> entriesFound;
    std::vector<uint32_t> supportInfo;
    int commands = 0;
    int driveLists = 0;

    uint32_t GetLogicalDriveRoots(uint32_t length, char* buffer) override
    {
        ++driveLists;
        return m_inner.GetLogicalDriveRoots(length, buffer);
    }
    HostHandle LoadAspiLibrary(const char* name) override
    {
        libraries.emplace_back(name);
        const HostHandle library = InnerAspi().LoadAspiLibrary(name);
        if (library != 0)
            loaded.push_back(library);
        return library;
    }
    AspiEntryPoint FindAspiEntryPoint(HostHandle library, const char* name) override
    {
        AspiEntryPoint entry = InnerAspi().FindAspiEntryPoint(library, name);
        if (entry != nullptr)
            entriesFound.emplace_back(name);
        return entry;
    }
    void FreeAspiLibrary(HostHandle library) override
    {
        freed.push_back(library);
        InnerAspi().FreeAspiLibrary(library);
    }
    uint32_t CallGetASPI32SupportInfo(AspiEntryPoint entry) override
    {
        supportInfo.push_back(InnerAspi().CallGetASPI32SupportInfo(entry));
        return supportInfo.back();
    }
    uint32_t CallSendASPI32Command(AspiEntryPoint entry, void* srb) override
    {
        ++commands;
        return InnerAspi().CallSendASPI32Command(entry, srb);
    }
};

}  // namespace

TEST(AspiSmoke, SystemLayerWithoutAdapters)
{
    std::unique_ptr<IScsiHost> real = CreatePlatformHost();
    uint32_t platformId = 0;
    ASSERT_TRUE(real->GetVersionPlatformId(platformId));
    ASSERT_EQ(platformId, kPlatformWin32Windows) << "the program must be set to report Windows 98";

    CAspiTraffic host(*real);
    {
        CFlashDevice device(host);
        EXPECT_TRUE(device.IsWin9x());
        EXPECT_EQ(host.driveLists, 0);  // no drive-letter scan on this family

        ASSERT_EQ(host.libraries.size(), 1u);
        EXPECT_EQ(host.libraries[0], "WNASPI32");
        ASSERT_EQ(host.loaded.size(), 1u) << "WNASPI32 did not load";
        EXPECT_EQ(host.entriesFound, (std::vector<std::string>{"GetASPI32SupportInfo", "SendASPI32Command"}));
        ASSERT_EQ(host.supportInfo.size(), 1u);
        const uint32_t info = host.supportInfo[0];
        std::printf("GetASPI32SupportInfo: 0x%08x\n", static_cast<unsigned>(info));
        EXPECT_EQ((info >> 8) & 0xFF, SS_NO_ADAPTERS);
        EXPECT_EQ(info & 0xFF, 0u);
        EXPECT_EQ(host.commands, 0);  // no adapter to ask
        EXPECT_EQ(device.GetDeviceCount(), 0);

        EXPECT_FALSE(device.OpenDrive("D:"));
        EXPECT_EQ(device.GetDeviceCount(), 0);
        // The library stays loaded: the second scan looked up the entry
        // points and the status again without loading it anew.
        EXPECT_EQ(host.loaded.size(), 1u);
        EXPECT_EQ(host.supportInfo.size(), 2u);
        EXPECT_EQ(host.entriesFound.size(), 4u);
        EXPECT_TRUE(host.freed.empty());

        // With the layer loaded, a command takes the ASPI path and finds no
        // device at index 0.
        EXPECT_NE(device.Inquiry(), CommandResult::Good);
        EXPECT_EQ(host.commands, 0);
    }
    ASSERT_EQ(host.freed.size(), 1u);
    EXPECT_EQ(host.freed[0], host.loaded[0]);
}
