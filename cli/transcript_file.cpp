#include "cli/transcript_file.h"

#include <cerrno>
#include <system_error>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

CTranscriptFile::~CTranscriptFile() { Close(); }

bool CTranscriptFile::Open(const std::string& path) {
    Close();
    m_strPath = path;
    m_buffer.nErrno = 0;
    errno = 0;
#ifdef _WIN32
    m_buffer.pFile = std::fopen(path.c_str(), "ab");
#else
    m_buffer.pFile = std::fopen(path.c_str(), "abe");
#endif
    if (!m_buffer.pFile) {
        m_buffer.Fail();
        return false;
    }
    m_stream.clear();
    return true;
}

void CTranscriptFile::SyncToDisk() {
    if (!m_buffer.pFile) return;
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
    if (!bSynced && errno != EINVAL && errno != EROFS) m_buffer.Fail();
}

void CTranscriptFile::Close() {
    if (!m_buffer.pFile) return;
    m_stream.flush();
    SyncToDisk();
    errno = 0;
    if (std::fclose(m_buffer.pFile) != 0) m_buffer.Fail();
    m_buffer.pFile = nullptr;
}

std::string CTranscriptFile::ErrorText() const {
    return std::error_code(m_buffer.nErrno, std::generic_category()).message();
}

void CTranscriptFile::CBuffer::Fail() {
    // EIO when the C library left no reason: a failure is never lost.
    int none = 0;
    nErrno.compare_exchange_strong(none, errno != 0 ? errno : EIO);
}

int CTranscriptFile::CBuffer::overflow(int ch) {
    if (ch == traits_type::eof()) return traits_type::not_eof(ch);
    const char c = static_cast<char>(ch);
    return xsputn(&c, 1) == 1 ? ch : traits_type::eof();
}

std::streamsize CTranscriptFile::CBuffer::xsputn(const char* data, std::streamsize count) {
    if (!pFile || nErrno != 0) return 0;
    errno = 0;
    const size_t written = std::fwrite(data, 1, static_cast<size_t>(count), pFile);
    if (written != static_cast<size_t>(count)) Fail();
    return static_cast<std::streamsize>(written);
}

int CTranscriptFile::CBuffer::sync() {
    if (!pFile || nErrno != 0) return -1;
    errno = 0;
    if (std::fflush(pFile) != 0) {
        Fail();
        return -1;
    }
    return 0;
}
