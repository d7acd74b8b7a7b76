#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#ifndef _WIN32
#include <openssl/types.h>
#endif

// SHA-256 (FIPS 180-4), for the data digests of the transcript and the image
// checks. On Linux the system's libcrypto computes it (with the CPU's SHA
// instructions where it has them); on Windows, which has no libcrypto in this
// build, the portable code.
class CSha256 {
public:
    CSha256();
    ~CSha256();
    CSha256(const CSha256&) = delete;
    CSha256& operator=(const CSha256&) = delete;
    void Update(const uint8_t* data, std::size_t length);
    // Once, after the last Update.
    void Final(uint8_t (&digest)[32]);

private:
#ifdef _WIN32
    uint32_t m_state[8];
    uint8_t m_block[64];
    std::size_t m_nBlockUsed = 0;
    uint64_t m_nTotalBytes = 0;
#else
    EVP_MD_CTX* m_pContext;
#endif
};

// The digest of data as 64 lower-case hex digits.
std::string Sha256Hex(const uint8_t* data, std::size_t length);
// The same into a caller's buffer, with the closing zero.
void Sha256Hex(const uint8_t* data, std::size_t length, char (&hex)[65]);
