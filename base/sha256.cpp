#include "base/sha256.h"

void Sha256Hex(const uint8_t* data, std::size_t length, char (&hex)[65])
{
    CSha256 hash;
    hash.Update(data, length);
    uint8_t digest[32];
    hash.Final(digest);
    static const char kHex[] = "0123456789abcdef";
    for (int i = 0; i < 32; ++i) {
        hex[2 * i] = kHex[digest[i] >> 4];
        hex[2 * i + 1] = kHex[digest[i] & 0x0F];
    }
    hex[64] = '\0';
}

std::string Sha256Hex(const uint8_t* data, std::size_t length)
{
    char hex[65];
    Sha256Hex(data, length, hex);
    return hex;
}
