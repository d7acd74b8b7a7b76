#include "console/image_digest.h"

#include <algorithm>
#include <iterator>
#include <vector>

void CImageDigester::Add(const uint8_t* data, uint32_t count)
{
    for (uint32_t i = 0; i < count; ++i)
        m_nSum += data[i];
    m_nLength += count;
    m_bShaTaken = m_bShaTaken && m_nLength <= kImageDigestShaLimit;
    if (m_bShaTaken)
        m_sha256.Update(data, count);
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

bool DigestImage(CImageFile& file, ImageDigest& digest)
{
    std::vector<uint8_t> chunk(kImageSumChunk);
    CImageDigester digester;
    for (;;) {
        const uint32_t got = file.Read(chunk.data(), kImageSumChunk);
        digester.Add(chunk.data(), got);
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
