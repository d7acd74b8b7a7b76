#include "console/image_file.h"

#include <sys/stat.h>
#include <sys/types.h>

#include "console/image_digest.h"

CImageFile::~CImageFile()
{
    Close();
}

bool CImageFile::Open(const std::string& path)
{
    Close();
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr)
        return false;
    // Opening a directory succeeds on some systems; it is no image anywhere.
    struct stat info {};
    if (fstat(fileno(file), &info) == 0 && S_ISDIR(info.st_mode)) {
        std::fclose(file);
        return false;
    }
    m_pFile = file;
    return true;
}

void CImageFile::Close()
{
    if (m_pFile != nullptr) {
        std::fclose(m_pFile);
        m_pFile = nullptr;
    }
}

#ifdef _WIN32
#define KT_FSEEK _fseeki64
#define KT_FTELL _ftelli64
#else
#define KT_FSEEK fseeko
#define KT_FTELL ftello
#endif

int64_t CImageFile::GetLength()
{
    if (m_pFile == nullptr)
        return -1;
    const int64_t position = KT_FTELL(m_pFile);
    if (position < 0 || KT_FSEEK(m_pFile, 0, SEEK_END) != 0)
        return -1;
    const int64_t length = KT_FTELL(m_pFile);
    if (KT_FSEEK(m_pFile, position, SEEK_SET) != 0)
        return -1;
    return length;
}

uint32_t CImageFile::Read(void* buffer, uint32_t count)
{
    if (m_pFile == nullptr || count == 0)
        return 0;
    return static_cast<uint32_t>(std::fread(buffer, 1, count, m_pFile));
}

bool CImageFile::Rewind()
{
    if (m_pFile == nullptr)
        return false;
    std::clearerr(m_pFile);
    return KT_FSEEK(m_pFile, 0, SEEK_SET) == 0;
}

bool CImageFile::HasReadError() const
{
    return m_pFile != nullptr && std::ferror(m_pFile) != 0;
}

ImageSumResult SumImageFile(const std::string& path, uint32_t& checksum)
{
    ImageDigest digest;
    const ImageSumResult result = DigestImageFile(path, digest);
    if (result == ImageSumResult::Ok)
        checksum = digest.nChecksum;
    return result;
}
