#pragma once
#include <cstdint>
#include <string>

// The identity (24 bytes from byte 8: vendor and product) and the revision
// (4 bytes from byte 32) of standard INQUIRY data, each ended early by a zero
// byte; trailing spaces stay. Empty for a null buffer.
std::string InquiryIdentityText(const uint8_t* data);
std::string InquiryRevisionText(const uint8_t* data);
