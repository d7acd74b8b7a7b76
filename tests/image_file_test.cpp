#include "base/input_file.h"
#include "form/image_digest.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <string>

#include "base/file_identity.h"
#include "base/sha256.h"

#include "temp_image.h"

namespace {

uint32_t ReferenceSum(const std::vector<uint8_t>& bytes)
{
    uint32_t sum = 0;
    for (uint8_t b : bytes)
        sum += b;
    return sum & 0xFFFF;
}

TEST(SumImageFile, KnownImages)
{
    struct Case {
        const char* name;
        std::vector<uint8_t> bytes;
        uint32_t expected;
    };
    const Case cases[] = {
        {"abc", {0x61, 0x62, 0x63}, 0x0126},
        {"empty", {}, 0x0000},
        {"512 KiB of 0xFF", std::vector<uint8_t>(524288, 0xFF), 0x0000},
        {"one byte", {0xFE}, 0x00FE},
        {"wraps past 16 bits", std::vector<uint8_t>(300, 0xFF), (300u * 255u) & 0xFFFF},
        {"1 MiB and 5 of 0xFF", std::vector<uint8_t>(1048581, 0xFF), (1048581u * 255u) & 0xFFFF},
    };
    for (const Case& c : cases) {
        TempImage image(c.bytes);
        uint32_t checksum = 0xDEAD;
        ASSERT_EQ(SumImageFile(image.Path(), checksum), ImageSumResult::Ok) << c.name;
        EXPECT_EQ(checksum, c.expected) << c.name;
    }
}

// Lengths around the chunk size catch a chunk summed twice or a tail dropped.
TEST(SumImageFile, ChunkBoundariesLoseAndRepeatNothing)
{
    const uint32_t lengths[] = {kImageSumChunk - 1, kImageSumChunk, kImageSumChunk + 1, 2 * kImageSumChunk,
                                1048576 + 4097};
    for (uint32_t length : lengths) {
        const std::vector<uint8_t> bytes = PatternImage(length, length);
        TempImage image(bytes);
        uint32_t checksum = 0;
        ASSERT_EQ(SumImageFile(image.Path(), checksum), ImageSumResult::Ok) << length;
        EXPECT_EQ(checksum, ReferenceSum(bytes)) << length;
    }
}

TEST(SumImageFile, MissingFileOrDirectoryCannotBeOpened)
{
    uint32_t checksum = 0x1234;
    const std::filesystem::path missing = std::filesystem::temp_directory_path() / "kt3916-no-such-image.bin";
    EXPECT_EQ(SumImageFile(missing.string(), checksum), ImageSumResult::OpenFailed);
    EXPECT_EQ(SumImageFile(std::filesystem::temp_directory_path().string(), checksum), ImageSumResult::OpenFailed);
    EXPECT_EQ(checksum, 0x1234u);
}

// One pass gives the length, the 16-bit sum and a SHA-256 that tells apart
// images with the same sum; past the longest image no SHA-256 is taken, and
// no bytes are kept.
TEST(DigestImageFile, LengthSumAndShaFromOnePass)
{
    const std::vector<std::vector<uint8_t>> images = {
        {},
        {0x61, 0x62, 0x63},
        {0x63, 0x62, 0x61},
        PatternImage(kImageSumChunk + 1, 3),
        PatternImage(1048576, 4),
        PatternImage(1048577, 4),
    };
    std::vector<ImageDigest> digests;
    for (const std::vector<uint8_t>& bytes : images) {
        SCOPED_TRACE(bytes.size());
        TempImage image(bytes);
        ImageDigest digest;
        ASSERT_EQ(DigestImageFile(image.Path(), digest), ImageSumResult::Ok);
        EXPECT_EQ(digest.nLength, static_cast<int64_t>(bytes.size()));
        EXPECT_EQ(digest.nChecksum, ReferenceSum(bytes));
        std::string hex;
        for (uint8_t b : digest.sha256) {
            char pair[3];
            std::snprintf(pair, sizeof pair, "%02x", b);
            hex += pair;
        }
        EXPECT_EQ(hex, bytes.size() <= 1048576 ? Sha256Hex(bytes.data(), bytes.size()) : std::string(64, '0'));
        digests.push_back(digest);

        CInputFile file;
        ASSERT_TRUE(file.Open(image.Path()));
        ImageDigest again;
        std::vector<uint8_t> kept(3, 0xEE);  // what a caller's vector held before is gone
        ASSERT_TRUE(DigestImage(file, again, &kept));
        EXPECT_EQ(again, digest);
        EXPECT_EQ(kept, bytes.size() <= 1048576 ? bytes : std::vector<uint8_t>{});
    }
    EXPECT_EQ(digests[1].nChecksum, digests[2].nChecksum);
    EXPECT_NE(digests[1], digests[2]) << "same sum, other bytes";
}

// A sparse file's holes read as zeros: counted without reading, they give
// the digest and the kept bytes of the same file written out whole, whether
// the hole starts it, sits between its data, ends it, or crosses the SHA-256
// limit.
TEST(DigestImageFile, HolesCountAsZeros)
{
    struct Piece {
        int64_t offset;
        uint32_t length;
    };
    const struct {
        const char* name;
        int64_t length;
        std::vector<Piece> data;
    } cases[] = {
        {"hole first", 524288, {{200000, 1000}}},
        {"hole between", 1048576, {{0, 70000}, {900000, 148576}}},
        {"hole last", 1048576, {{0, 61440}}},
        {"all hole", 524288, {}},
        {"hole across the limit", 3 * 1048576 + 5, {{0, 100}, {2 * 1048576, 4096}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> whole(static_cast<std::size_t>(c.length));
        TempImage image({});
        std::filesystem::resize_file(image.Path(), static_cast<uintmax_t>(c.length));
        std::fstream out(image.Path(), std::ios::in | std::ios::out | std::ios::binary);
        for (const Piece& piece : c.data) {
            const std::vector<uint8_t> bytes = PatternImage(piece.length, static_cast<uint32_t>(piece.offset));
            std::copy(bytes.begin(), bytes.end(), whole.begin() + piece.offset);
            out.seekp(piece.offset);
            out.write(reinterpret_cast<const char*>(bytes.data()), piece.length);
        }
        out.close();
        CImageDigester reference;
        reference.Add(whole.data(), static_cast<uint32_t>(whole.size()));

        CInputFile file;
        ASSERT_TRUE(file.Open(image.Path()));
        ImageDigest digest;
        std::vector<uint8_t> kept;
        ASSERT_TRUE(DigestImage(file, digest, &kept));
        EXPECT_EQ(digest, reference.Finish());
        EXPECT_EQ(kept, c.length <= 1048576 ? whole : std::vector<uint8_t>{});
    }
}

TEST(ImageFile, OnlyARegularFileOpens)
{
    TempImage image(PatternImage(16));
    const std::string missing = image.Path() + ".missing";
#ifdef _WIN32
    const char* device = "NUL";
#else
    const char* device = "/dev/null";
#endif
    const struct {
        std::string path;
        bool opens;
        InputOpenFailure failure;
    } cases[] = {
        {image.Path(), true, InputOpenFailure::None},
        {missing, false, InputOpenFailure::System},
        {device, false, InputOpenFailure::NotRegular},
    };
    for (const auto& c : cases) {
        CInputFile file;
        EXPECT_EQ(file.Open(c.path), c.opens) << c.path;
        EXPECT_EQ(file.GetOpenFailure(), c.failure) << c.path;
        EXPECT_EQ(file.IsOpen(), c.opens) << c.path;
    }
    CInputFile file;
    EXPECT_FALSE(file.Open(missing));
    EXPECT_EQ(file.GetOpenErrno(), ENOENT);
    EXPECT_FALSE(file.Open(std::filesystem::temp_directory_path().string())) << "a directory is no image";
}

TEST(IsSameFile, ComparesTheFileNotTheName)
{
    TempImage image(PatternImage(16));
    TempImage other(PatternImage(16));
    const std::filesystem::path path(image.Path());
    const std::string respelled = (path.parent_path() / "." / path.filename()).string();
    const struct {
        std::string a;
        std::string b;
        bool same;
    } cases[] = {
        {image.Path(), image.Path(), true},
        {image.Path(), respelled, true},
        {image.Path(), other.Path(), false},
        {image.Path(), image.Path() + ".missing", false},
        {image.Path() + ".missing", image.Path() + ".missing", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(IsSameFile(c.a, c.b), c.same) << c.a << " / " << c.b;
}

TEST(ImageFile, LengthAndReadsContinueWhereTheLastStopped)
{
    const std::vector<uint8_t> bytes = PatternImage(10000);
    TempImage image(bytes);
    CInputFile file;
    ASSERT_TRUE(file.Open(image.Path()));
    EXPECT_EQ(file.GetLength(), 10000);

    std::vector<uint8_t> buffer(8192, 0xAA);
    EXPECT_EQ(file.Read(buffer.data(), 8192), 8192u);
    EXPECT_EQ(file.GetLength(), 10000);  // taking the length keeps the position
    EXPECT_EQ(file.Read(buffer.data(), 8192), 1808u);
    EXPECT_TRUE(std::equal(buffer.begin(), buffer.begin() + 1808, bytes.begin() + 8192));
    EXPECT_EQ(buffer[1808], bytes[1808]);  // beyond the short read: untouched
    EXPECT_EQ(file.Read(buffer.data(), 8192), 0u);
    EXPECT_FALSE(file.HasReadError());

    file.Close();
    EXPECT_FALSE(file.IsOpen());
    EXPECT_EQ(file.GetLength(), -1);
    EXPECT_EQ(file.Read(buffer.data(), 1), 0u);
}

}  // namespace
