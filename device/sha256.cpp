#include "device/sha256.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include "device/sha256_compress.h"

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

namespace {

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

Sha256CompressFn FastestCompress()
{
    // Asked once: the answer cannot change while the program runs.
    static const Sha256CompressFn fastest = [] {
        // Nothing without the CPU's SHA instructions comes near them.
        if (const Sha256CompressFn cpu = Sha256CpuShaCompress())
            return cpu;
        // Without them the system library's vector code is about twice the
        // portable code's speed on real hardware and a third of it on an
        // emulated CPU (QEMU's TCG): which, only a clock can tell.
        const Sha256CompressFn system = Sha256LibcryptoCompress();
        return system != nullptr ? FasterSha256Compress(system, &Sha256CompressPortable) : &Sha256CompressPortable;
    }();
    return fastest;
}

}  // namespace

Sha256CompressFn FasterSha256Compress(Sha256CompressFn first, Sha256CompressFn second)
{
    // A few kilobytes, the best of three runs each: microseconds on real
    // hardware, about a millisecond on an emulated CPU.
    static const uint8_t kSample[64 * 64] = {};
    auto bestTime = [](Sha256CompressFn compress) {
        using Clock = std::chrono::steady_clock;
        Clock::duration best = Clock::duration::max();
        for (int run = 0; run < 3; ++run) {
            uint32_t state[8] = {};
            const Clock::time_point start = Clock::now();
            compress(state, kSample, sizeof kSample / 64);
            best = std::min(best, Clock::now() - start);
        }
        return best;
    };
    return bestTime(second) < bestTime(first) ? second : first;
}

#ifndef KT_SHA256_LIBCRYPTO
Sha256CompressFn Sha256LibcryptoCompress()
{
    return nullptr;
}
#endif

void Sha256CompressPortable(uint32_t (&state)[8], const uint8_t* blocks, std::size_t count)
{
    for (; count != 0; --count, blocks += 64)
        CompressOne(state, blocks);
}

bool Sha256CpuShaAvailable()
{
    return Sha256CpuShaCompress() != nullptr;
}

CSha256::CSha256(Sha256Engine engine)
    : m_state{0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19}
{
    const Sha256CompressFn cpu = engine == Sha256Engine::CpuSha ? Sha256CpuShaCompress() : nullptr;
    m_pCompress = engine == Sha256Engine::Fastest ? FastestCompress() : cpu != nullptr ? cpu : &Sha256CompressPortable;
}

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
        m_pCompress(m_state, m_block, 1);
        m_nBlockUsed = 0;
    }
    // Whole blocks straight from the caller's bytes, in one call.
    const std::size_t whole = length / 64;
    if (whole != 0)
        m_pCompress(m_state, data, whole);
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
    m_pCompress(m_state, tail, tailLength / 64);
    for (int i = 0; i < 8; ++i) {
        digest[4 * i] = static_cast<uint8_t>(m_state[i] >> 24);
        digest[4 * i + 1] = static_cast<uint8_t>(m_state[i] >> 16);
        digest[4 * i + 2] = static_cast<uint8_t>(m_state[i] >> 8);
        digest[4 * i + 3] = static_cast<uint8_t>(m_state[i]);
    }
}

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
