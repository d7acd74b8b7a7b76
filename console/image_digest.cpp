#include "console/image_digest.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <vector>

namespace {

// Eight bytes at a time in four 16-bit lanes. Only the total's low 16 bits
// count, and a lane gains under 2 * 255 per word: folded every 128 words, no
// lane ever carries into the next.
uint32_t SumBytes(const uint8_t* data, uint32_t count)
{
    constexpr uint64_t kLowBytes = 0x00FF00FF00FF00FFull;
    constexpr uint32_t kWordsPerFold = 128;
    uint32_t sum = 0;
    while (count >= 8) {
        const uint32_t words = std::min(count / 8, kWordsPerFold);
        uint64_t lanes = 0;
        for (uint32_t i = 0; i < words; ++i) {
            uint64_t word;
            std::memcpy(&word, data + 8 * i, sizeof word);
            lanes += (word & kLowBytes) + ((word >> 8) & kLowBytes);
        }
        sum += static_cast<uint32_t>((lanes & 0xFFFF) + ((lanes >> 16) & 0xFFFF) + ((lanes >> 32) & 0xFFFF) +
                                     (lanes >> 48));
        data += 8 * words;
        count -= 8 * words;
    }
    for (; count != 0; --count)
        sum += *data++;
    return sum;
}

}  // namespace

void CImageDigester::Add(const uint8_t* data, uint32_t count)
{
    m_nSum += SumBytes(data, count);
    m_nLength += count;
    m_bShaTaken = m_bShaTaken && m_nLength <= kImageDigestShaLimit;
    if (m_bShaTaken)
        m_sha256.Update(data, count);
}

void CImageDigester::AddZeros(int64_t count)
{
    // Zeros leave the sum as it is; the SHA-256 needs them only while it is taken.
    static const uint8_t kZeros[4096] = {};
    while (count > 0 && m_bShaTaken) {
        const uint32_t piece = static_cast<uint32_t>(std::min<int64_t>(count, sizeof kZeros));
        Add(kZeros, piece);
        count -= piece;
    }
    m_nLength += count;
    m_bShaTaken = m_bShaTaken && m_nLength <= kImageDigestShaLimit;
}

ImageDigest CImageDigester::Finish()
{
    ImageDigest digest;
    digest.nLength = m_nLength;
    digest.nChecksum = static_cast<uint16_t>(m_nSum);
    if (m_bShaTaken) {
        uint8_t sha256[32];
        m_sha256.Final(sha256);
        std::copy(std::begin(sha256), std::end(sha256), digest.sha256.begin());
    }
    return digest;
}

bool DigestImage(CImageFile& file, ImageDigest& digest, std::vector<uint8_t>* bytes)
{
    std::vector<uint8_t> chunk(kImageSumChunk);
    CImageDigester digester;
    bool keep = bytes != nullptr;
    if (keep)
        bytes->clear();
    // Bytes are kept only while the kept ones fit the limit.
    auto keepBytes = [&](const uint8_t* data, int64_t count) {
        if (keep && static_cast<int64_t>(bytes->size()) + count > kImageDigestShaLimit) {
            *bytes = {};
            keep = false;
        }
        if (keep && data != nullptr)
            bytes->insert(bytes->end(), data, data + count);
        else if (keep)
            bytes->resize(bytes->size() + static_cast<std::size_t>(count));
    };
    for (;;) {
        // A hole is counted, never read: reading one fills the page cache
        // with pages of zeros, several seconds for gigabytes of them.
        const int64_t zeros = file.SkipHole();
        digester.AddZeros(zeros);
        keepBytes(nullptr, zeros);
        const uint32_t got = file.Read(chunk.data(), kImageSumChunk);
        digester.Add(chunk.data(), got);
        keepBytes(chunk.data(), got);
        if (got < kImageSumChunk)
            break;
    }
    if (file.HasReadError())
        return false;
    digest = digester.Finish();
    return true;
}

ImageSumResult DigestImageFile(const std::string& path, ImageDigest& digest)
{
    CImageFile file;
    if (!file.Open(path))
        return ImageSumResult::OpenFailed;
    return DigestImage(file, digest) ? ImageSumResult::Ok : ImageSumResult::ReadFailed;
}
