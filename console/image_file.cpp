#include "console/image_file.h"

#include <sys/stat.h>
#include <sys/types.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

CImageFile::~CImageFile()
{
    Close();
}

namespace {

#ifdef _WIN32
// Opening a pipe or a device does not block on Windows; reading would.
std::FILE* OpenRegularFile(const std::string& path, ImageOpenFailure& failure)
{
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        failure = ImageOpenFailure::System;
        return nullptr;
    }
    struct stat info {};
    const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
    if (GetFileType(handle) != FILE_TYPE_DISK || fstat(_fileno(file), &info) != 0 || !S_ISREG(info.st_mode)) {
        std::fclose(file);
        failure = ImageOpenFailure::NotRegular;
        return nullptr;
    }
    return file;
}
#else
// O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer.
std::FILE* OpenRegularFile(const std::string& path, ImageOpenFailure& failure)
{
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        failure = ImageOpenFailure::System;
        return nullptr;
    }
    struct stat info {};
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        close(fd);
        failure = ImageOpenFailure::NotRegular;
        return nullptr;
    }
    const int flags = fcntl(fd, F_GETFL);
    if (flags != -1)
        fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    std::FILE* file = fdopen(fd, "rb");
    if (file == nullptr) {
        close(fd);
        failure = ImageOpenFailure::System;
    }
    return file;
}
#endif

}  // namespace

bool CImageFile::Open(const std::string& path)
{
    Close();
    m_nDataEnd = 0;
    m_openFailure = ImageOpenFailure::None;
    errno = 0;
    m_pFile = OpenRegularFile(path, m_openFailure);
    m_nOpenErrno = m_openFailure == ImageOpenFailure::System ? errno : 0;
    return m_pFile != nullptr;
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

int64_t CImageFile::SkipHole()
{
#ifdef _WIN32
    return 0;
#else
    if (m_pFile == nullptr)
        return 0;
    const int64_t position = KT_FTELL(m_pFile);
    if (position < 0 || position < m_nDataEnd)
        return 0;
    const int fd = fileno(m_pFile);
    struct stat info {};
    if (fstat(fd, &info) != 0)
        return 0;
    // No data past the position: the rest of the file is one hole.
    off_t data = lseek(fd, position, SEEK_DATA);
    if (data < 0 && errno == ENXIO)
        data = std::max<off_t>(position, info.st_size);
    const off_t hole = data >= 0 && data < info.st_size ? lseek(fd, data, SEEK_HOLE) : data;
    // The system moved the descriptor: the stream goes to where reading goes on.
    const int64_t next = data >= 0 && hole >= 0 ? data : position;
    m_nDataEnd = data >= 0 && hole >= 0 ? hole : INT64_MAX;
    if (KT_FSEEK(m_pFile, next, SEEK_SET) != 0)
        return 0;
    return next - position;
#endif
}

bool CImageFile::Rewind()
{
    if (m_pFile == nullptr)
        return false;
    m_nDataEnd = 0;
    std::clearerr(m_pFile);
    return KT_FSEEK(m_pFile, 0, SEEK_SET) == 0;
}

bool CImageFile::HasReadError() const
{
    return m_pFile != nullptr && std::ferror(m_pFile) != 0;
}
