#include "form/inquiry_text.h"

#include <algorithm>

namespace {

struct FieldPlace {
    uint32_t nOffset;
    uint32_t nLength;
};

constexpr FieldPlace kFieldPlaces[] = {{8, 24}, {8, 8}, {16, 16}, {32, 4}};

}  // namespace

std::string InquiryText(const uint8_t* data, InquiryField field, bool bTrimBlanks)
{
    if (data == nullptr)
        return std::string();
    const FieldPlace place = kFieldPlaces[static_cast<int>(field)];
    const char* text = reinterpret_cast<const char*>(data + place.nOffset);
    std::size_t used = std::find(text, text + place.nLength, '\0') - text;
    while (bTrimBlanks && used > 0 && text[used - 1] == ' ')
        --used;
    return std::string(text, used);
}

std::string VendorProductText(const std::string& vendor, const std::string& product)
{
    return product.empty() ? vendor : vendor + " " + product;
}
