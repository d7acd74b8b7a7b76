#include "line/record_spool.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "line/line_record.h"

CRecordSpool::CRecordSpool(std::string logPath) : m_strLog(std::move(logPath)) {}

CRecordSpool::~CRecordSpool()
{
    if (m_fd >= 0)
        close(m_fd);
}

bool CRecordSpool::Open(std::string& error)
{
    m_fd = open(m_strLog.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st {};
    if (m_fd < 0 || fstat(m_fd, &st) != 0) {
        error = "cannot read the log " + m_strLog + " for the line: " + std::strerror(errno);
        return false;
    }
    m_nInode = st.st_ino;
    // "OFFSET INODE": a mark of another file (the log was replaced) or past
    // its end (truncated) counts for nothing.
    std::ifstream mark(MarkPath(m_strLog));
    uint64_t offset = 0;
    uint64_t inode = 0;
    if (mark >> offset >> inode && inode == m_nInode && offset <= static_cast<uint64_t>(st.st_size))
        m_nMark = offset;
    m_nRead = m_nMark;
    m_nSavedMark = m_nMark;
    return true;
}

std::vector<SpoolRecord> CRecordSpool::ReadNew()
{
    std::vector<SpoolRecord> fresh;
    char buffer[65536];
    while (true) {
        const ssize_t n = pread(m_fd, buffer, sizeof buffer, static_cast<off_t>(m_nRead));
        if (n <= 0)
            break;
        m_nRead += static_cast<uint64_t>(n);
        m_strPartial.append(buffer, static_cast<size_t>(n));
    }
    uint64_t lineStart = m_nRead - m_strPartial.size();
    size_t begin = 0;
    for (size_t nl; (nl = m_strPartial.find('\n', begin)) != std::string::npos; begin = nl + 1) {
        const std::string line = m_strPartial.substr(begin, nl - begin);
        const uint64_t offset = lineStart + begin;
        UnitRecordKey key;
        if (ParseUnitRecord(line, key)) {
            SpoolRecord record{offset, lineStart + nl + 1, key.strId, line};
            m_pending.emplace(offset, record);
            fresh.push_back(std::move(record));
        }
    }
    m_strPartial.erase(0, begin);
    // Lines that are no records need no acknowledgement: the mark passes them.
    m_nMark = m_pending.empty() ? m_nRead - m_strPartial.size() : m_pending.begin()->first;
    return fresh;
}

std::vector<SpoolRecord> CRecordSpool::Unacked() const
{
    std::vector<SpoolRecord> records;
    for (const auto& entry : m_pending)
        records.push_back(entry.second);
    return records;
}

void CRecordSpool::Acked(uint64_t offset)
{
    const auto it = m_pending.find(offset);
    if (it == m_pending.end())
        return;
    m_pending.erase(it);
    // Up to the oldest record still waiting, or all that was read.
    m_nMark = m_pending.empty() ? m_nRead - m_strPartial.size() : m_pending.begin()->first;
}

bool CRecordSpool::SaveMark(std::string& error)
{
    if (m_nMark == m_nSavedMark)
        return true;
    const std::string path = MarkPath(m_strLog);
    const std::string temp = path + ".new";
    FILE* file = std::fopen(temp.c_str(), "w");
    bool ok = file && std::fprintf(file, "%llu %llu\n", static_cast<unsigned long long>(m_nMark),
                                   static_cast<unsigned long long>(m_nInode)) > 0;
    ok = file && std::fclose(file) == 0 && ok;
    if (!ok || std::rename(temp.c_str(), path.c_str()) != 0) {
        error = "cannot write the line's mark " + path + ": " + std::strerror(errno);
        std::remove(temp.c_str());
        return false;
    }
    m_nSavedMark = m_nMark;
    return true;
}
