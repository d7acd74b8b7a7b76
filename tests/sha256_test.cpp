#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "base/sha256.h"

namespace {

std::vector<uint8_t> Pattern(std::size_t length)
{
    std::vector<uint8_t> data(length);
    for (std::size_t i = 0; i < length; ++i)
        data[i] = static_cast<uint8_t>((i * 31 + 7) % 251);
    return data;
}

std::vector<uint8_t> Text(const char* text)
{
    return std::vector<uint8_t>(text, text + std::strlen(text));
}

// The digest of data fed in pieces of piece bytes.
std::string PiecewiseHex(const std::vector<uint8_t>& data, std::size_t piece)
{
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
    return text;
}

// FIPS 180-4 examples, lengths around the padding edges (55 bytes leave room
// for the length, 56 need a second block, 64 fill one exactly) and large
// buffers (digests from sha256sum over the same bytes), each in one call and
// in pieces that straddle blocks at odd points.
TEST(Sha256, ReferenceDigestsWholeAndInPieces)
{
    struct Case {
        std::vector<uint8_t> data;
        const char* digest;
    };
    std::vector<uint8_t> ramp(61440);
    for (std::size_t i = 0; i < ramp.size(); ++i)
        ramp[i] = static_cast<uint8_t>(i);
    const Case cases[] = {
        {{}, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {Text("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {Text("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {Text("abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrs"
              "mnopqrstnopqrstu"),
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
        {ramp, "bbea17f92768ba8c2f4e1ff38b978c89e20392ef5e41754a0ea79e022d5a1378"},
        {Pattern(1048576), "1c59b8670027384143781a8a8bff2f3b44bd8818d0f53b13b064c2375a1afe38"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Sha256Hex(c.data.data(), c.data.size()), c.digest) << c.data.size() << " bytes in one call";
        for (std::size_t piece : {1u, 3u, 63u, 64u, 65u, 127u})
            EXPECT_EQ(PiecewiseHex(c.data, piece), c.digest) << c.data.size() << " bytes in pieces of " << piece;
    }
}

}  // namespace
