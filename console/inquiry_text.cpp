#include "console/inquiry_text.h"

namespace {

constexpr uint32_t kIdentityOffset = 8;
constexpr uint32_t kIdentityLength = 24;
constexpr uint32_t kRevisionOffset = 32;
constexpr uint32_t kRevisionLength = 4;

std::string TextFromBytes(const uint8_t* data, uint32_t length)
{
    const char* text = reinterpret_cast<const char*>(data);
    uint32_t used = 0;
    while (used < length && text[used] != '\0')
        ++used;
    return std::string(text, used);
}

}  // namespace

std::string InquiryIdentityText(const uint8_t* data)
{
    return data == nullptr ? std::string() : TextFromBytes(data + kIdentityOffset, kIdentityLength);
}

std::string InquiryRevisionText(const uint8_t* data)
{
    return data == nullptr ? std::string() : TextFromBytes(data + kRevisionOffset, kRevisionLength);
}
