#include "cli/log_file.h"

#include <filesystem>
#include <fstream>

namespace {

// The last byte of a regular file is a newline, or the file is empty.
bool EndsWithNewline(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in.seekg(-1, std::ios::end))
        return true;
    return in.get() == '\n';
}

}  // namespace

bool CLogFile::Open(const std::string& path)
{
    if (!m_file.Open(path))
        return false;
    std::error_code ec;
    m_bRegular = std::filesystem::is_regular_file(path, ec);
    if (m_bRegular && !EndsWithNewline(path))
        Stream() << '\n' << std::flush;
    return true;
}

bool CLogFile::Sync()
{
    if (m_bRegular && !m_bSyncFailed) {
        m_file.SyncToDisk();
        if (m_file.Failed())
            m_bSyncFailed = true;
    }
    return !m_bSyncFailed;
}
