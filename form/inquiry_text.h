#pragma once
#include <cstdint>
#include <string>

// The text fields of standard INQUIRY data, each ended early by a zero byte.
enum class InquiryField {
    Identity,  // 24 bytes from byte 8: vendor and product, as the form lists them
    Vendor,    // 8 bytes from byte 8
    Product,   // 16 bytes from byte 16
    Revision,  // 4 bytes from byte 32
};

// A field's text; trailing blanks stay unless bTrimBlanks. Empty for a null
// buffer.
std::string InquiryText(const uint8_t* data, InquiryField field, bool bTrimBlanks = false);

inline std::string InquiryIdentityText(const uint8_t* data)
{
    return InquiryText(data, InquiryField::Identity);
}
inline std::string InquiryRevisionText(const uint8_t* data)
{
    return InquiryText(data, InquiryField::Revision);
}

// Vendor, one blank and product, as 'list' shows a device and
// --expect-identity names it; the vendor alone when there is no product.
std::string VendorProductText(const std::string& vendor, const std::string& product);
