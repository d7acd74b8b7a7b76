#include "form/image_digest.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <vector>

#include "device/byte_sum.h"

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

bool DigestImage(CInputFile& file, ImageDigest& digest, std::vector<uint8_t>* bytes)
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
    CInputFile file;
    if (!file.Open(path))
        return ImageSumResult::OpenFailed;
    return DigestImage(file, digest) ? ImageSumResult::Ok : ImageSumResult::ReadFailed;
}
