#include "cli/log_file.h"

#include <fcntl.h>

#include <cerrno>
#include <filesystem>
#include <fstream>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace {

// The last byte of a regular file is a newline, or the file is empty.
bool EndsWithNewline(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in.seekg(-1, std::ios::end)) return true;
    return in.get() == '\n';
}

int OpenForSync(const std::string& path) {
#ifdef _WIN32
    return _open(path.c_str(), _O_WRONLY | _O_APPEND | _O_BINARY);
#else
    return open(path.c_str(), O_WRONLY | O_APPEND | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
#endif
}

}  // namespace

CLogFile::~CLogFile() {
    if (m_nSyncFd < 0) return;
#ifdef _WIN32
    _close(m_nSyncFd);
#else
    close(m_nSyncFd);
#endif
}

bool CLogFile::Open(const std::string& path) {
    if (!m_file.Open(path)) return false;
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec)) return true;
    if (!EndsWithNewline(path)) Stream() << '\n' << std::flush;
    m_nSyncFd = OpenForSync(path);
    if (m_nSyncFd < 0) m_bSyncFailed = true;
    return true;
}

bool CLogFile::Sync() {
    if (m_nSyncFd >= 0 && !m_bSyncFailed) {
#ifdef _WIN32
        const bool synced = _commit(m_nSyncFd) == 0;
#else
        const bool synced = fdatasync(m_nSyncFd) == 0;
#endif
        if (!synced) m_bSyncFailed = true;
    }
    return !m_bSyncFailed;
}
