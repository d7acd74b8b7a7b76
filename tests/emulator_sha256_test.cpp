#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "device/emulated/sha256.h"

namespace {

std::vector<uint8_t> Pattern(std::size_t length)
{
    std::vector<uint8_t> data(length);
    for (std::size_t i = 0; i < length; ++i)
        data[i] = static_cast<uint8_t>((i * 31 + 7) % 251);
    return data;
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
