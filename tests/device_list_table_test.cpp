#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "cli/device_list.h"

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
