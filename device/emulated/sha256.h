#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

// SHA-256 (FIPS 180-4), for the data digests of the transcript.
class CSha256 {
public:
    CSha256();
    void Update(const uint8_t* data, std::size_t length);
    void Final(uint8_t (&digest)[32]);

private:
    void Compress(const uint8_t* block);

    uint32_t m_state[8];
    uint8_t m_block[64];
    std::size_t m_nBlockUsed = 0;
    uint64_t m_nTotalBytes = 0;
};

// The digest of data as 64 lower-case hex digits.
std::string Sha256Hex(const uint8_t* data, std::size_t length);
// The same into a caller's buffer, with the closing zero.
void Sha256Hex(const uint8_t* data, std::size_t length, char (&hex)[65]);
