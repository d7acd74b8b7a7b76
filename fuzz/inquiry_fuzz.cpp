// INQUIRY data as a device answers it, through the fields 'list' shows and
// its table and JSON line. The first 36 bytes of the input are the INQUIRY
// data (zero-filled when shorter), in a buffer of exactly that size.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "run/device_list.h"

namespace {

constexpr size_t kInquiryLength = 36;

void CheckField(const std::string& field, size_t longest)
{
    KT_FUZZ_CHECK(field.size() <= longest);
    KT_FUZZ_CHECK(field.find('\0') == std::string::npos);
    KT_FUZZ_CHECK(field.empty() || field.back() != ' ');
}

// The table is read by people and by scripts line by line: one line per
// device after the header, nothing that moves a terminal's cursor.
void CheckTable(const std::string& table, size_t rows)
{
    KT_FUZZ_CHECK(static_cast<size_t>(std::count(table.begin(), table.end(), '\n')) == rows + 1);
    KT_FUZZ_CHECK(!table.empty() && table.back() == '\n');
    for (char ch : table) {
        const unsigned char c = static_cast<unsigned char>(ch);
        KT_FUZZ_CHECK(c == '\n' || (c >= 0x20 && c != 0x7F));
    }
}

// One JSON line: printable ASCII or UTF-8, no raw control characters.
void CheckJson(const std::string& json)
{
    KT_FUZZ_CHECK(json.size() > 2 && json.front() == '{' && json.back() == '}');
    for (char ch : json) {
        const unsigned char c = static_cast<unsigned char>(ch);
        KT_FUZZ_CHECK(c >= 0x20 && c != 0x7F);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    auto inquiry = std::make_unique<uint8_t[]>(kInquiryLength);
    std::memcpy(inquiry.get(), data, std::min(size, kInquiryLength));

    ListedDevice device;
    device.nIndex = 0;
    device.chDrive = 'D';
    device.strNode = "/dev/sg1";
    device.bAnswered = true;
    ReadInquiryIdentity(inquiry.get(), device);
    CheckField(device.strVendor, 8);
    CheckField(device.strProduct, 16);
    CheckField(device.strRevision, 4);
    // Each field is a prefix of its bytes.
    KT_FUZZ_CHECK(std::memcmp(device.strVendor.data(), inquiry.get() + 8, device.strVendor.size()) == 0);
    KT_FUZZ_CHECK(std::memcmp(device.strProduct.data(), inquiry.get() + 16, device.strProduct.size()) == 0);
    KT_FUZZ_CHECK(std::memcmp(device.strRevision.data(), inquiry.get() + 32, device.strRevision.size()) == 0);

    ListedDevice silent = device;
    silent.nIndex = 1;
    silent.chDrive = 0;
    silent.strNode = "aspi 0:1";
    silent.bAnswered = false;
    const std::vector<ListedDevice> devices = {device, silent};
    CheckTable(FormatDeviceTable(devices), devices.size());
    for (const ListedDevice& d : devices)
        CheckJson(DeviceJson(d));
    return 0;
}
