#include "cli/transcript_file.h"

#include <cerrno>
#include <system_error>

#ifdef _WIN32
#include <io.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

constexpr char kErrFifoWithoutReader[] = "a FIFO that nobody reads; start its reader first";

#ifdef _WIN32
std::FILE* OpenForAppending(const std::string& path, bool&)
{
    return std::fopen(path.c_str(), "ab");
}
#else
// A FIFO without a reader would block a plain open for good, out of reach
// of Ctrl-C; non-blocking, it fails with ENXIO instead. Writes then block
// again, so that a slow reader gets every line.
std::FILE* OpenForAppending(const std::string& path, bool& noReader)
{
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NONBLOCK | O_CLOEXEC, 0666);
    if (fd < 0) {
        struct stat info {};
        noReader = errno == ENXIO && stat(path.c_str(), &info) == 0 && S_ISFIFO(info.st_mode);
        return nullptr;
    }
    const int flags = fcntl(fd, F_GETFL);
    std::FILE* file = flags >= 0 && fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0 ? fdopen(fd, "ab") : nullptr;
    if (!file) {
        const int error = errno;
        close(fd);
        errno = error;
    }
    return file;
}
#endif

}  // namespace

CTranscriptFile::~CTranscriptFile()
{
    Close();
}

bool CTranscriptFile::Open(const std::string& path)
{
    Close();
    m_strPath = path;
    m_buffer.nErrno = 0;
    m_bNoReader = false;
    errno = 0;
    m_buffer.pFile = OpenForAppending(path, m_bNoReader);
    if (!m_buffer.pFile) {
        m_buffer.Fail();
        return false;
    }
    m_stream.clear();
    return true;
}

void CTranscriptFile::SyncToDisk()
{
    if (!m_buffer.pFile)
        return;
    // std::fflush locks the stream against the writers' threads.
    errno = 0;
    if (std::fflush(m_buffer.pFile) != 0) {
        m_buffer.Fail();
        return;
    }
#ifdef _WIN32
    const bool bSynced = _commit(_fileno(m_buffer.pFile)) == 0;
#else
    const bool bSynced = ::fdatasync(fileno(m_buffer.pFile)) == 0;
#endif
    if (!bSynced && errno != EINVAL && errno != EROFS)
        m_buffer.Fail();
}

void CTranscriptFile::Close()
{
    if (!m_buffer.pFile)
        return;
    m_stream.flush();
    SyncToDisk();
    errno = 0;
    if (std::fclose(m_buffer.pFile) != 0)
        m_buffer.Fail();
    m_buffer.pFile = nullptr;
}

std::string CTranscriptFile::ErrorText() const
{
    if (m_bNoReader)
        return kErrFifoWithoutReader;
    return std::error_code(m_buffer.nErrno, std::generic_category()).message();
}

void CTranscriptFile::CBuffer::Fail()
{
    // EIO when the C library left no reason: a failure is never lost.
    int none = 0;
    nErrno.compare_exchange_strong(none, errno != 0 ? errno : EIO);
}

int CTranscriptFile::CBuffer::overflow(int ch)
{
    if (ch == traits_type::eof())
        return traits_type::not_eof(ch);
    const char c = static_cast<char>(ch);
    return xsputn(&c, 1) == 1 ? ch : traits_type::eof();
}

std::streamsize CTranscriptFile::CBuffer::xsputn(const char* data, std::streamsize count)
{
    if (!pFile || nErrno != 0)
        return 0;
    errno = 0;
    const size_t written = std::fwrite(data, 1, static_cast<size_t>(count), pFile);
    if (written != static_cast<size_t>(count))
        Fail();
    return static_cast<std::streamsize>(written);
}

int CTranscriptFile::CBuffer::sync()
{
    if (!pFile || nErrno != 0)
        return -1;
    errno = 0;
    if (std::fflush(pFile) != 0) {
        Fail();
        return -1;
    }
    return 0;
}
