#include "console/block_digester.h"

#include <gtest/gtest.h>

#include <cstring>
#include <numeric>
#include <vector>

namespace {

// The background digest equals the one taken in place over the same bytes,
// although the caller's buffer is overwritten as soon as Add returns (the way
// the next block is read into the device's buffer while the last is hashed).
TEST(BlockDigester, MatchesTheInPlaceDigestOfTheBytesGiven)
{
    struct Case {
        const char* name;
        std::vector<uint32_t> pieces;
    };
    std::vector<uint32_t> image1M(17, 61440);
    image1M.push_back(4096);
    std::vector<uint32_t> image512K(8, 61440);
    image512K.push_back(32768);
    const Case cases[] = {
        {"1 MiB as sent", image1M},
        {"512 KiB as sent", image512K},
        {"nothing", {}},
        {"empty pieces between", {0, 100, 0, 64, 0}},
        {"past the SHA limit", {1048576, 1}},
    };
    for (const Case& c : cases) {
        const uint32_t total = std::accumulate(c.pieces.begin(), c.pieces.end(), 0u);
        std::vector<uint8_t> bytes(total);
        for (uint32_t i = 0; i < total; ++i)
            bytes[i] = static_cast<uint8_t>((i * 131 + i / 4096) % 253);
        CImageDigester inPlace;
        inPlace.Add(bytes.data(), total);
        const ImageDigest expected = inPlace.Finish();

        CBlockDigester background;
        std::vector<uint8_t> buffer(1048576);
        uint32_t offset = 0;
        for (uint32_t piece : c.pieces) {
            std::memcpy(buffer.data(), bytes.data() + offset, piece);
            background.Add(buffer.data(), piece);
            std::memset(buffer.data(), 0xA5, buffer.size());
            offset += piece;
        }
        const ImageDigest got = background.Finish();
        EXPECT_EQ(got.nLength, expected.nLength) << c.name;
        EXPECT_EQ(got.nChecksum, expected.nChecksum) << c.name;
        EXPECT_EQ(got.sha256, expected.sha256) << c.name;
    }
}

}  // namespace
