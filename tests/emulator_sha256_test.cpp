#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "device/sha256.h"
#include "device/sha256_compress.h"

namespace {

std::vector<uint8_t> Pattern(std::size_t length)
{
    std::vector<uint8_t> data(length);
    for (std::size_t i = 0; i < length; ++i)
        data[i] = static_cast<uint8_t>((i * 31 + 7) % 251);
    return data;
}

std::string Hex(const uint8_t (&digest)[32])
{
    static const char kHex[] = "0123456789abcdef";
    std::string text;
    for (uint8_t byte : digest) {
        text.push_back(kHex[byte >> 4]);
        text.push_back(kHex[byte & 0x0F]);
    }
    return text;
}

// The digest of data through one engine, fed in pieces of piece bytes.
std::string EngineHex(Sha256Engine engine, const std::vector<uint8_t>& data, std::size_t piece)
{
    CSha256 hash(engine);
    for (std::size_t offset = 0; offset < data.size(); offset += piece)
        hash.Update(data.data() + offset, std::min(piece, data.size() - offset));
    uint8_t digest[32];
    hash.Final(digest);
    return Hex(digest);
}

std::vector<Sha256Engine> EnginesHere()
{
    // Fastest: the system's libcrypto on Linux.
    std::vector<Sha256Engine> engines{Sha256Engine::Portable, Sha256Engine::Fastest};
    if (Sha256CpuShaAvailable())
        engines.push_back(Sha256Engine::CpuSha);
    return engines;
}

TEST(Sha256, KnownVectors)
{
    struct Case {
        const char* text;
        const char* digest;
    };
    const Case cases[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        // 56 bytes: the padding needs a second block.
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Sha256Hex(reinterpret_cast<const uint8_t*>(c.text), std::strlen(c.text)), c.digest)
            << "input '" << c.text << "'";
    }
}

// Reference digests from sha256sum over the same bytes.
TEST(Sha256, LargeBuffersMatchSha256sum)
{
    std::vector<uint8_t> mebibyte = Pattern(1048576);
    EXPECT_EQ(Sha256Hex(mebibyte.data(), mebibyte.size()),
              "1c59b8670027384143781a8a8bff2f3b44bd8818d0f53b13b064c2375a1afe38");

    std::vector<uint8_t> block(61440);
    for (std::size_t i = 0; i < block.size(); ++i)
        block[i] = static_cast<uint8_t>(i);
    EXPECT_EQ(Sha256Hex(block.data(), block.size()),
              "bbea17f92768ba8c2f4e1ff38b978c89e20392ef5e41754a0ea79e022d5a1378");
}

// FIPS 180-4 examples and lengths around the padding edges (55 bytes leave
// room for the length, 56 need a second block, 64 fill one exactly), each
// through both engines, in one call and in odd pieces that straddle blocks.
TEST(Sha256, EnginesAgreeWithReferenceDigests)
{
    struct Case {
        std::vector<uint8_t> data;
        const char* digest;
    };
    const char* fips896 =
        "abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrs"
        "mnopqrstnopqrstu";
    const Case cases[] = {
        {{}, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {std::vector<uint8_t>(fips896, fips896 + 112),
         "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
        {std::vector<uint8_t>(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
        {Pattern(1), "ca358758f6d27e6cf45272937977a748fd88391db679ceda7dc7bf1f005ee879"},
        {Pattern(55), "e40272620990d5f772101e014a0fe168d9ab13215739a04bdcb4b9cadc303c75"},
        {Pattern(56), "5b3154594d65c2a11e797576e2b4ece47f48373d8acfc0ae2cc3b87ca7adaedc"},
        {Pattern(57), "bd73274967a968a1d4353b4096741c1c880d2356d44c63f0e7916c8efe59bccc"},
        {Pattern(63), "2caeed71c024d190f2f9633bdac2b8f283b1cb86dfe7709023ab70f11f747a1b"},
        {Pattern(64), "3483dc12a3fea6618642162f88124ea56e797597a97483d5ba597a42d98aaf6b"},
        {Pattern(65), "3a513663aae909c328f43e2d74265dc5ec35495c99dfde7b8f9dd37f297dfa40"},
        {Pattern(119), "c06b1fcfb8d206bb4fe8e8cde10de7af236f619ff29c720de0083f7377491fd9"},
        {Pattern(120), "f425d2567f5c636c99335e5e8bb04669475b3b8b6f7523bbabbd11115cef8550"},
        {Pattern(128), "43a42610c7b657d1ce21bf0255e86be7ea01aa9dddf0701f596e99a4c6f61001"},
        {Pattern(65536), "c2a19b29e9a734066ffb748d00176ca95e52545a0b0afe9e73f085740aeb97f8"},
    };
    for (Sha256Engine engine : EnginesHere()) {
        for (const Case& c : cases) {
            for (std::size_t piece : {std::size_t{1000000}, std::size_t{1}, std::size_t{63}, std::size_t{65}}) {
                EXPECT_EQ(EngineHex(engine, c.data, piece), c.digest)
                    << "engine " << static_cast<int>(engine) << ", " << c.data.size() << " bytes in pieces of "
                    << piece;
            }
        }
    }
}

// Portable code made many times slower, with the same result.
void SlowCompress(uint32_t (&state)[8], const uint8_t* blocks, std::size_t count)
{
    uint32_t start[8];
    std::copy(std::begin(state), std::end(state), std::begin(start));
    for (int run = 0; run < 200; ++run) {
        std::copy(std::begin(start), std::end(start), std::begin(state));
        Sha256CompressPortable(state, blocks, count);
    }
}

// Every block function this build and CPU have agrees with the portable one
// (the engine Fastest takes may be any of them), and the faster of two is
// the one timed faster, whichever is named first.
TEST(Sha256, BlockFunctionsAgreeAndTheFasterIsTaken)
{
    const std::vector<uint8_t> blocks = Pattern(64 * 5);
    auto compressed = [&blocks](Sha256CompressFn compress) {
        uint32_t state[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                             0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
        compress(state, blocks.data(), 5);
        return std::vector<uint32_t>(std::begin(state), std::end(state));
    };
    const std::vector<uint32_t> expected = compressed(&Sha256CompressPortable);
    for (Sha256CompressFn compress : {Sha256CpuShaCompress(), Sha256LibcryptoCompress(), &SlowCompress}) {
        if (compress != nullptr) {
            EXPECT_EQ(compressed(compress), expected);
        }
    }
    EXPECT_EQ(FasterSha256Compress(&SlowCompress, &Sha256CompressPortable), &Sha256CompressPortable);
    EXPECT_EQ(FasterSha256Compress(&Sha256CompressPortable, &SlowCompress), &Sha256CompressPortable);
}

TEST(Sha256, PiecewiseUpdatesMatchOneShot)
{
    std::vector<uint8_t> data = Pattern(1000);
    const std::string expected = Sha256Hex(data.data(), data.size());
    for (std::size_t piece : {1u, 3u, 63u, 64u, 65u, 127u, 999u}) {
        CSha256 hash;
        for (std::size_t offset = 0; offset < data.size(); offset += piece)
            hash.Update(data.data() + offset, std::min(piece, data.size() - offset));
        uint8_t digest[32];
        hash.Final(digest);
        std::string text;
        for (uint8_t byte : digest) {
            static const char kHex[] = "0123456789abcdef";
            text.push_back(kHex[byte >> 4]);
            text.push_back(kHex[byte & 0x0F]);
        }
        EXPECT_EQ(text, expected) << "pieces of " << piece;
    }
}

}  // namespace
