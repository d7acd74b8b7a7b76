// SHA-256 in portable code: the Windows build has no libcrypto.
#include <cstring>

#include "base/sha256.h"

namespace {

const uint32_t kSha256Round[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

constexpr uint32_t Rotr(uint32_t x, int n)
{
    return (x >> n) | (x << (32 - n));
}

void CompressOne(uint32_t (&state)[8], const uint8_t* block)
{
    uint32_t w[64];
    for (int i = 0; i < 16; ++i) {
        w[i] = (uint32_t{block[4 * i]} << 24) | (uint32_t{block[4 * i + 1]} << 16) | (uint32_t{block[4 * i + 2]} << 8) |
               uint32_t{block[4 * i + 3]};
    }
    for (int i = 16; i < 64; ++i) {
        uint32_t s0 = Rotr(w[i - 15], 7) ^ Rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
        uint32_t s1 = Rotr(w[i - 2], 17) ^ Rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
        w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
    for (int i = 0; i < 64; ++i) {
        uint32_t t1 = h + (Rotr(e, 6) ^ Rotr(e, 11) ^ Rotr(e, 25)) + ((e & f) ^ (~e & g)) + kSha256Round[i] + w[i];
        uint32_t t2 = (Rotr(a, 2) ^ Rotr(a, 13) ^ Rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
        h = g;
        g = f;
        f = e;
        e = d + t1;
        d = c;
        c = b;
        b = a;
        a = t1 + t2;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    state[4] += e;
    state[5] += f;
    state[6] += g;
    state[7] += h;
}

// Whole 64-byte blocks into state.
void Compress(uint32_t (&state)[8], const uint8_t* blocks, std::size_t count)
{
    for (; count != 0; --count, blocks += 64)
        CompressOne(state, blocks);
}

}  // namespace

CSha256::CSha256()
    : m_state{0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19}
{
}

CSha256::~CSha256() = default;

void CSha256::Update(const uint8_t* data, std::size_t length)
{
    if (length == 0)
        return;  // data may be null then
    m_nTotalBytes += length;
    if (m_nBlockUsed != 0) {
        const std::size_t take = 64 - m_nBlockUsed < length ? 64 - m_nBlockUsed : length;
        std::memcpy(m_block + m_nBlockUsed, data, take);
        m_nBlockUsed += take;
        data += take;
        length -= take;
        if (m_nBlockUsed < 64)
            return;
        Compress(m_state, m_block, 1);
        m_nBlockUsed = 0;
    }
    // Whole blocks straight from the caller's bytes, in one call.
    const std::size_t whole = length / 64;
    if (whole != 0)
        Compress(m_state, data, whole);
    data += whole * 64;
    length -= whole * 64;
    std::memcpy(m_block, data, length);
    m_nBlockUsed = length;
}

void CSha256::Final(uint8_t (&digest)[32])
{
    const uint64_t bits = m_nTotalBytes * 8;
    // The 0x80, zeros up to 8 bytes before a block's end, and the bit count:
    // one block more, or two when fewer than 9 bytes are left in this one.
    uint8_t tail[128] = {};
    const std::size_t used = m_nBlockUsed;
    std::memcpy(tail, m_block, used);
    tail[used] = 0x80;
    const std::size_t tailLength = used < 56 ? 64 : 128;
    for (int i = 0; i < 8; ++i)
        tail[tailLength - 8 + i] = static_cast<uint8_t>(bits >> (56 - 8 * i));
    Compress(m_state, tail, tailLength / 64);
    for (int i = 0; i < 8; ++i) {
        digest[4 * i] = static_cast<uint8_t>(m_state[i] >> 24);
        digest[4 * i + 1] = static_cast<uint8_t>(m_state[i] >> 16);
        digest[4 * i + 2] = static_cast<uint8_t>(m_state[i] >> 8);
        digest[4 * i + 3] = static_cast<uint8_t>(m_state[i]);
    }
}
