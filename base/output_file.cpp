#include "base/output_file.h"

#include "base/input_file.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <mutex>
#include <system_error>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace {

constexpr char kErrFifoWithoutReader[] = "a FIFO that nobody reads; start its reader first";

#ifdef _WIN32
int OpenForAppending(const std::string& path, bool&)
{
    return _open(path.c_str(), _O_WRONLY | _O_CREAT | _O_APPEND | _O_BINARY | _O_NOINHERIT, _S_IREAD | _S_IWRITE);
}
int WriteSome(int fd, const char* data, std::size_t size)
{
    return _write(fd, data, static_cast<unsigned>(size));
}
int SyncFd(int fd)
{
    return _commit(fd);
}
int CloseFd(int fd)
{
    return _close(fd);
}
#else
// Non-blocking, a FIFO without a reader fails with ENXIO at once; the writes
// block again afterwards, so that a slow reader gets every line.
int OpenForAppending(const std::string& path, bool& noReader)
{
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NONBLOCK | O_CLOEXEC, 0666);
    if (fd < 0) {
        const int error = errno;
        struct stat info {};
        noReader = error == ENXIO && stat(path.c_str(), &info) == 0 && S_ISFIFO(info.st_mode);
        errno = error;
        return -1;
    }
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        const int error = errno;
        close(fd);
        errno = error;
        return -1;
    }
    return fd;
}
int WriteSome(int fd, const char* data, std::size_t size)
{
    return static_cast<int>(write(fd, data, size));
}
int SyncFd(int fd)
{
    return fdatasync(fd);
}
int CloseFd(int fd)
{
    return close(fd);
}
#endif

// The last byte of the open regular file is a newline, or it is empty.
bool EndsWithNewline(const std::string& path, long long size)
{
    CInputFile file;
    char last = '\n';
    return size <= 0 || !file.Open(path) || !file.Seek(size - 1) || file.Read(&last, 1) != 1 || last == '\n';
}

}  // namespace

COutputFile::~COutputFile()
{
    Close();
}

void COutputFile::Fail(int error)
{
    // EIO when the system left no reason: a failure is never lost.
    if (m_nErrno == 0)
        m_nErrno = error != 0 ? error : EIO;
}

bool COutputFile::Open(const std::string& path)
{
    Close();
    m_strPath = path;
    m_nErrno = 0;
    m_bNoReader = false;
    m_bOwned = true;
    m_bRegular = false;
    errno = 0;
    m_fd = OpenForAppending(path, m_bNoReader);
    if (m_fd < 0) {
        Fail(errno);
        return false;
    }
    struct stat info {};
    if (fstat(m_fd, &info) == 0) {
        m_bRegular = S_ISREG(info.st_mode);
        m_nDevice = static_cast<unsigned long long>(info.st_dev);
        m_nInode = static_cast<unsigned long long>(info.st_ino);
        if (m_bRegular && !EndsWithNewline(path, static_cast<long long>(info.st_size)))
            return Write("\n", 1);
    }
    return true;
}

void COutputFile::Adopt(int fd, const std::string& name)
{
    Close();
    m_fd = fd;
    m_bOwned = false;
    m_strPath = name;
    m_nErrno = 0;
    struct stat info {};
    m_bRegular = fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
}

bool COutputFile::Write(const char* data, std::size_t size)
{
    std::unique_lock lock(m_followMutex, std::defer_lock);
    if (Following())
        lock.lock();
    return WriteAll(data, size);
}

bool COutputFile::WriteAll(const char* data, std::size_t size)
{
    if (m_fd < 0 || m_nErrno != 0)
        return false;
    while (size != 0) {
        errno = 0;
        const int written = WriteSome(m_fd, data, size);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0) {
            Fail(errno);
            return false;
        }
        data += written;
        size -= static_cast<std::size_t>(written);
        m_bUnsynced = true;
    }
    return true;
}

bool COutputFile::Sync()
{
    std::unique_lock lock(m_followMutex, std::defer_lock);
    if (Following())
        lock.lock();
    return SyncLocked();
}

bool COutputFile::SyncLocked()
{
    if (m_fd < 0 || m_nErrno != 0)
        return false;
    if (!m_bRegular || !m_bUnsynced)
        return true;
    errno = 0;
    if (SyncFd(m_fd) != 0 && errno != EINVAL && errno != EROFS)
        Fail(errno);
    m_bUnsynced = false;
    return m_nErrno == 0;
}

bool COutputFile::Close()
{
    if (m_fd < 0)
        return m_nErrno == 0;
    Sync();
    errno = 0;
    if (m_bOwned && CloseFd(m_fd) != 0)
        Fail(errno);
    m_fd = -1;
    m_bOwned = true;
    return m_nErrno == 0;
}

bool COutputFile::AtPath() const
{
#ifdef _WIN32
    return true;
#else
    struct stat info {};
    return stat(m_strPath.c_str(), &info) == 0 && static_cast<unsigned long long>(info.st_dev) == m_nDevice &&
           static_cast<unsigned long long>(info.st_ino) == m_nInode;
#endif
}

bool COutputFile::StillAtPath() const
{
    if (!m_bRegular || !m_bOwned || AtPath())
        return true;
    struct stat info {};
    return m_bFollowRenames && fstat(m_fd, &info) == 0 && info.st_nlink > 0;
}

// Renamed away: what this file holds goes to its disk first, then the path's
// file takes its descriptor's place (dup2: other threads that look at the
// descriptor never see it closed). Deleted meanwhile: nothing is followed.
// A failure is kept, and told by the next write.
void COutputFile::FollowRename()
{
#ifndef _WIN32
    if (!Following())
        return;
    std::lock_guard lock(m_followMutex);
    struct stat info {};
    if (m_fd < 0 || m_nErrno != 0 || AtPath() || fstat(m_fd, &info) != 0 || info.st_nlink == 0 || !SyncLocked())
        return;
    bool noReader = false;
    errno = 0;
    const int fd = OpenForAppending(m_strPath, noReader);
    if (fd < 0 || fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || dup2(fd, m_fd) < 0) {
        Fail(fd < 0 || S_ISREG(info.st_mode) ? errno : EEXIST);
        if (fd >= 0)
            close(fd);
        return;
    }
    close(fd);
    m_nDevice = static_cast<unsigned long long>(info.st_dev);
    m_nInode = static_cast<unsigned long long>(info.st_ino);
    ++m_nReopened;
    if (!EndsWithNewline(m_strPath, static_cast<long long>(info.st_size)))
        WriteAll("\n", 1);
#endif
}

std::string COutputFile::ErrorText() const
{
    if (m_bNoReader)
        return kErrFifoWithoutReader;
    return std::error_code(m_nErrno, std::generic_category()).message();
}
