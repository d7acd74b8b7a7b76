#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "run/device_list.h"
#include "tests/fake_host.h"

namespace {

// 36 bytes of standard INQUIRY data: each field blank-padded to its width.
std::vector<uint8_t> Inquiry(std::string vendor, std::string product, std::string revision)
{
    vendor.resize(8, ' ');
    product.resize(16, ' ');
    revision.resize(4, ' ');
    const std::string fields = vendor + product + revision;
    std::vector<uint8_t> data(8 + fields.size(), 0);
    data[0] = 0x05;
    for (size_t i = 0; i < fields.size(); ++i)
        data[8 + i] = static_cast<uint8_t>(fields[i]);
    return data;
}

// What a device answers, what 'list' keeps of it, and its row in the table:
// the fields keep the device's bytes (JSON escapes them, --expect-identity
// compares them), the table shows a control byte as '?' so each device stays
// one line and no answer can drive the terminal.
TEST(DeviceListTable, InquiryFieldsAndTheirRow)
{
    const std::string kHeader = "index  drive  node      vendor    product           revision\n";
    struct Case {
        const char* name;
        std::string vendorBytes, productBytes, revisionBytes;
        const char* vendor;
        const char* product;
        const char* revision;
        const char* row;
    } cases[] = {
        {"padded fields", "KTDEV", "KT3916 FLASHER", "1.00", "KTDEV", "KT3916 FLASHER", "1.00",
         "0      D:     /dev/sg1  KTDEV     KT3916 FLASHER    1.00\n"},
        {"a zero ends a field early", std::string("OTHER\0CO", 8), std::string("DVD\0ROM", 7), std::string("2.0\0", 4),
         "OTHER", "DVD", "2.0", "0      D:     /dev/sg1  OTHER     DVD               2.0\n"},
        {"all blank", "", "", "", "", "", "", "0      D:     /dev/sg1\n"},
        {"line breaks", "KT\nDEV", "KT3916\r\nFLASH", "1.0\n", "KT\nDEV", "KT3916\r\nFLASH", "1.0\n",
         "0      D:     /dev/sg1  KT?DEV    KT3916??FLASH     1.0?\n"},
        {"terminal escapes", "\x1b[2J", "\x1b]0;x\x07 \x7f", "\x08\x08\x08\x08", "\x1b[2J", "\x1b]0;x\x07 \x7f",
         "\x08\x08\x08\x08", "0      D:     /dev/sg1  ?[2J      ?]0;x? ?          ????\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::vector<uint8_t> data = Inquiry(c.vendorBytes, c.productBytes, c.revisionBytes);
        ListedDevice device;
        device.chDrive = 'D';
        device.strNode = "/dev/sg1";
        device.bAnswered = true;
        ReadInquiryIdentity(data.data(), device);
        EXPECT_EQ(device.strVendor, c.vendor);
        EXPECT_EQ(device.strProduct, c.product);
        EXPECT_EQ(device.strRevision, c.revision);
        EXPECT_EQ(FormatDeviceTable({device}), kHeader + c.row);
    }
}

}  // namespace

// Which drive a flash aims at, from --device or from what was found: an
// index names a listed device, a letter a drive that is there (busy, listed,
// or possibly one of the devices ASPI reaches without a letter).
TEST(DeviceListTable, DeviceChoice)
{
    const auto listed = [](std::vector<char> drives) {
        std::vector<ListedDevice> devices;
        for (char drive : drives) {
            ListedDevice d;
            d.nIndex = static_cast<int>(devices.size());
            d.chDrive = drive;
            devices.push_back(d);
        }
        return devices;
    };
    const struct {
        const char* spec;  // null: no --device
        std::vector<char> devices;
        std::vector<char> busy;
        CliExit exit;
        char drive;
        const char* error;
    } cases[] = {
        {nullptr, {}, {}, kExitNoDevice, 0, "No device found"},
        {nullptr, {'D'}, {}, kExitSuccess, 'D', ""},
        {nullptr, {}, {'E'}, kExitSuccess, 'E', ""},
        {nullptr,
         {'D'},
         {'E'},
         kExitUsage,
         0,
         "2 devices found: name the one to flash with --device, or flash them all with --all"},
        {"1", {'D', 'E'}, {}, kExitSuccess, 'E', ""},
        {"2", {'D', 'E'}, {}, kExitNoDevice, 0, "no device with index 2 (2 found)"},
        {"0", {0}, {}, kExitUsage, 0, "device 0 has no drive letter: name its drive letter with --device"},
        {"e:", {'D', 'E'}, {}, kExitSuccess, 'E', ""},
        {"E", {'D'}, {'E'}, kExitSuccess, 'E', ""},
        {"E", {'D'}, {}, kExitNoDevice, 0, "no device at drive E:"},
        {"E", {0}, {}, kExitSuccess, 'E', ""},
        {"D:\\", {'D'}, {}, kExitSuccess, 'D', ""},
        {"\\\\.\\D:", {'D'}, {}, kExitSuccess, 'D', ""},
        {"bogus", {'D'}, {}, kExitUsage, 0, "'bogus' is not a drive letter, device node or index"},
    };
    FakeScsiHost host;
    for (const auto& c : cases) {
        const std::optional<std::string> spec = c.spec ? std::optional<std::string>(c.spec) : std::nullopt;
        const DeviceChoice choice = ChooseDevice(host, spec, listed(c.devices), c.busy);
        const std::string name = c.spec ? c.spec : "(none)";
        EXPECT_EQ(choice.exit, c.exit) << name;
        EXPECT_EQ(choice.chDrive, c.drive) << name;
        EXPECT_EQ(choice.strError, c.error) << name;
    }
}
