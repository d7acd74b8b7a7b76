#pragma once
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "base/input_file.h"
#include "base/sha256.h"

enum class ImageSumResult {
    Ok,
    OpenFailed,
    ReadFailed
};

// Small enough to stay in the CPU cache between the read that fills it and
// the sum that reads it: 256 KiB or 1 MiB chunks cost four times the system
// time on a 4 GiB sparse file.
constexpr uint32_t kImageSumChunk = 0x10000;

// No image longer than this is ever sent, so a longer one needs no SHA-256:
// telling it apart from another file gains nothing, and a huge file is
// summed at the speed of reading.
constexpr int64_t kImageDigestShaLimit = 1048576;

// What one pass over an image shows of it: the bytes read, their 16-bit sum
// (what the form shows and sends) and their SHA-256, which tells apart two
// images the sum cannot (all zero past kImageDigestShaLimit bytes).
struct ImageDigest {
    int64_t nLength = -1;
    uint16_t nChecksum = 0;
    std::array<uint8_t, 32> sha256{};

    bool operator==(const ImageDigest& other) const = default;
};

// The digest of image bytes as they are read, in any number of pieces.
class CImageDigester {
public:
    void Add(const uint8_t* data, uint32_t count);
    // count zero bytes, as Add would take them
    void AddZeros(int64_t count);
    ImageDigest Finish();

private:
    CSha256 m_sha256;
    bool m_bShaTaken = true;
    uint32_t m_nSum = 0;  // 32 bits wrap without touching the low 16 that are kept
    int64_t m_nLength = 0;
};

// Reads the open file from its position to its end in chunks of
// kImageSumChunk bytes, and counts a sparse file's holes without reading
// them; false after a read error. With bytes, the bytes read
// are kept there too while they are no more than kImageDigestShaLimit (no
// longer image is ever sent); a longer file leaves it empty.
bool DigestImage(CInputFile& file, ImageDigest& digest, std::vector<uint8_t>* bytes = nullptr);
// The same for the file at path, opened once.
ImageSumResult DigestImageFile(const std::string& path, ImageDigest& digest);
