#pragma once
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "form/image_digest.h"

// An image file in the temporary directory, removed again by the destructor.
class TempImage {
public:
    explicit TempImage(const std::vector<uint8_t>& bytes)
    {
        std::random_device random;
        m_path = std::filesystem::temp_directory_path() /
                 ("kt3916-image-" + std::to_string(random()) + "-" + std::to_string(random()) + ".bin");
        Write(bytes);
    }
    ~TempImage()
    {
        std::error_code ignored;
        std::filesystem::remove(m_path, ignored);
    }
    TempImage(const TempImage&) = delete;
    TempImage& operator=(const TempImage&) = delete;

    void Write(const std::vector<uint8_t>& bytes)
    {
        std::ofstream out(m_path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }
    std::string Path() const { return m_path.string(); }

private:
    std::filesystem::path m_path;
};

// Bytes that differ from block to block and within each block, so that a
// block sent from the wrong offset cannot pass for the right one.
inline std::vector<uint8_t> PatternImage(uint32_t length, uint32_t seed = 1)
{
    std::vector<uint8_t> bytes(length);
    uint32_t state = seed * 2654435761u + 12345u;
    for (uint32_t i = 0; i < length; ++i) {
        state = state * 1103515245u + 12345u;
        bytes[i] = static_cast<uint8_t>(state >> 16);
    }
    return bytes;
}

// The image's 16-bit sum as the form takes it, or why there is none.
inline ImageSumResult SumImageFile(const std::string& path, uint32_t& checksum)
{
    ImageDigest digest;
    const ImageSumResult result = DigestImageFile(path, digest);
    if (result == ImageSumResult::Ok)
        checksum = digest.nChecksum;
    return result;
}
