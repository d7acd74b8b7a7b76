#include "base/input_file.h"

#include <sys/stat.h>
#include <sys/types.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <fcntl.h>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace {

#ifdef _WIN32
// Opening a pipe or a device does not block on Windows; reading would.
int OpenForReading(const std::string& path)
{
    return _open(path.c_str(), _O_RDONLY | _O_BINARY | _O_NOINHERIT);
}
bool IsRegular(int fd)
{
    struct stat info {};
    return GetFileType(reinterpret_cast<HANDLE>(_get_osfhandle(fd))) == FILE_TYPE_DISK && fstat(fd, &info) == 0 &&
           S_ISREG(info.st_mode);
}
int ReadSome(int fd, void* buffer, uint32_t count)
{
    return _read(fd, buffer, count);
}
int64_t SeekTo(int fd, int64_t offset, int whence)
{
    return _lseeki64(fd, offset, whence);
}
int CloseFd(int fd)
{
    return _close(fd);
}
#else
// O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer.
// Reads block again once the file is known to be a regular one.
int OpenForReading(const std::string& path)
{
    return open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
}
bool IsRegular(int fd)
{
    struct stat info {};
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode))
        return false;
    const int flags = fcntl(fd, F_GETFL);
    if (flags != -1)
        fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    return true;
}
int ReadSome(int fd, void* buffer, uint32_t count)
{
    return static_cast<int>(read(fd, buffer, count));
}
int64_t SeekTo(int fd, int64_t offset, int whence)
{
    return lseek(fd, static_cast<off_t>(offset), whence);
}
int CloseFd(int fd)
{
    return close(fd);
}
#endif

}  // namespace

CInputFile::~CInputFile()
{
    Close();
}

bool CInputFile::Open(const std::string& path)
{
    Close();
    m_openFailure = InputOpenFailure::None;
    m_nOpenErrno = 0;
    m_bReadError = false;
    m_nDataEnd = 0;
    errno = 0;
    const int fd = OpenForReading(path);
    if (fd < 0) {
        m_openFailure = InputOpenFailure::System;
        m_nOpenErrno = errno;
        return false;
    }
    if (!IsRegular(fd)) {
        CloseFd(fd);
        m_openFailure = InputOpenFailure::NotRegular;
        return false;
    }
    m_fd = fd;
    return true;
}

void CInputFile::Close()
{
    if (m_fd >= 0) {
        CloseFd(m_fd);
        m_fd = -1;
    }
}

int64_t CInputFile::GetLength()
{
    if (m_fd < 0)
        return -1;
    const int64_t position = SeekTo(m_fd, 0, SEEK_CUR);
    const int64_t length = position < 0 ? -1 : SeekTo(m_fd, 0, SEEK_END);
    if (length < 0 || SeekTo(m_fd, position, SEEK_SET) < 0)
        return -1;
    return length;
}

uint32_t CInputFile::Read(void* buffer, uint32_t count)
{
    uint32_t got = 0;
    while (m_fd >= 0 && got < count) {
        const int n = ReadSome(m_fd, static_cast<char*>(buffer) + got, count - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            m_bReadError = m_bReadError || n < 0;
            break;
        }
        got += static_cast<uint32_t>(n);
    }
    return got;
}

bool CInputFile::Seek(int64_t offset)
{
    m_bReadError = false;
    m_nDataEnd = 0;
    return m_fd >= 0 && SeekTo(m_fd, offset, SEEK_SET) == offset;
}

int64_t CInputFile::SkipHole()
{
#ifdef _WIN32
    return 0;
#else
    if (m_fd < 0)
        return 0;
    const int64_t position = SeekTo(m_fd, 0, SEEK_CUR);
    if (position < 0 || position < m_nDataEnd)
        return 0;
    struct stat info {};
    if (fstat(m_fd, &info) != 0)
        return 0;
    // No data past the position: the rest of the file is one hole.
    off_t data = lseek(m_fd, position, SEEK_DATA);
    if (data < 0 && errno == ENXIO)
        data = std::max<off_t>(position, info.st_size);
    const off_t hole = data >= 0 && data < info.st_size ? lseek(m_fd, data, SEEK_HOLE) : data;
    // SEEK_DATA and SEEK_HOLE moved the position: back to where reading goes on.
    const int64_t next = data >= 0 && hole >= 0 ? data : position;
    m_nDataEnd = data >= 0 && hole >= 0 ? hole : INT64_MAX;
    if (SeekTo(m_fd, next, SEEK_SET) != next)
        return 0;
    return next - position;
#endif
}
