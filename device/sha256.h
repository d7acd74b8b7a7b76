#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

// Which code compresses the blocks: Fastest takes the CPU's SHA instructions
// when this CPU has them and otherwise the faster on this machine of the
// system's library (where the build has one) and the portable code (asked
// once, at run time); the other two exist so that each can be checked on one
// machine.
enum class Sha256Engine {
    Fastest,
    Portable,
    CpuSha
};

// True when this CPU runs the SHA instructions (and the SSE4.1 they need).
bool Sha256CpuShaAvailable();

// SHA-256 (FIPS 180-4), for the data digests of the transcript and the image
// checks. Asking for CpuSha on a CPU without it gives the portable code.
class CSha256 {
public:
    explicit CSha256(Sha256Engine engine = Sha256Engine::Fastest);
    void Update(const uint8_t* data, std::size_t length);
    void Final(uint8_t (&digest)[32]);

private:
    void (*m_pCompress)(uint32_t (&state)[8], const uint8_t* blocks, std::size_t count);
    uint32_t m_state[8];
    uint8_t m_block[64];
    std::size_t m_nBlockUsed = 0;
    uint64_t m_nTotalBytes = 0;
};

// The digest of data as 64 lower-case hex digits.
std::string Sha256Hex(const uint8_t* data, std::size_t length);
// The same into a caller's buffer, with the closing zero.
void Sha256Hex(const uint8_t* data, std::size_t length, char (&hex)[65]);
