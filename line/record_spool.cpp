#include "line/record_spool.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <utility>

#include "base/sha256.h"
#include "line/line_record.h"

namespace {

constexpr size_t kTailBytes = 32;
constexpr size_t kPieceBytes = 64 * 1024;

// What the mark keeps of the bytes before its offset.
std::string Fingerprint(const std::string& bytes)
{
    return Sha256Hex(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

}  // namespace

CRecordSpool::CRecordSpool(std::string logPath, std::string station, size_t window)
    : m_strLog(std::move(logPath)), m_strStation(std::move(station)), m_nWindow(window)
{
}

CRecordSpool::~CRecordSpool()
{
    if (m_fd >= 0)
        close(m_fd);
}

std::string CRecordSpool::TailBefore(uint64_t offset) const
{
    const uint64_t from = offset > kTailBytes ? offset - kTailBytes : 0;
    std::string tail(offset - from, '\0');
    const ssize_t n = pread(m_fd, tail.data(), tail.size(), static_cast<off_t>(from));
    tail.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return tail;
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
    // "OFFSET INODE TAIL": the mark fits only the log it was written for,
    // as long as the log still holds what it held before the offset.
    const std::string path = MarkPath(m_strLog, m_strStation);
    std::ifstream mark(path);
    struct stat markStat {};
    const bool exists = stat(path.c_str(), &markStat) == 0;
    uint64_t offset = 0;
    uint64_t inode = 0;
    std::string tail;
    std::string misfit;
    if (!exists) {
        if (errno != ENOENT)
            misfit = std::strerror(errno);
    } else if (S_ISDIR(markStat.st_mode)) {
        misfit = "it is a directory";
    } else if (!mark) {
        misfit = std::strerror(errno);
    } else if (!(mark >> offset >> inode) || !(mark >> tail || offset == 0)) {
        misfit = "it holds no mark";
    } else if (inode != m_nInode) {
        misfit = "it was written for another file (the log was replaced)";
    } else if (offset > static_cast<uint64_t>(st.st_size)) {
        misfit = "it lies past the log's end (the log was cut short)";
    } else if (offset != 0 && Fingerprint(TailBefore(offset)) != tail) {
        misfit = "the log holds other lines before it (the log was rewritten)";
    }
    if (!misfit.empty()) {
        m_notices.push_back("the line's mark " + path + " does not fit the log: " + misfit +
                            "; the log's records are sent again from its start");
        offset = 0;
    }
    m_nRead = m_nConsumed = offset;
    m_strTail = TailBefore(offset);
    m_nSavedMark = misfit.empty() && exists ? offset : UINT64_MAX;
    m_nSavedInode = m_nInode;
    return true;
}

void CRecordSpool::StartOver()
{
    m_nRead = m_nConsumed = 0;
    m_strTail.clear();
    m_strPartial.clear();
    m_bSkipping = false;
    // What the old content still holds is sent, but the mark cannot point
    // into a file that no longer has it: it stays at the start until then.
    for (SpoolRecord& record : m_pending)
        record.nOffset = 0;
}

void CRecordSpool::CheckFile()
{
    struct stat st {};
    if (fstat(m_fd, &st) != 0)
        return;
    if (static_cast<uint64_t>(st.st_size) < m_nConsumed || TailBefore(m_nConsumed) != m_strTail) {
        m_notices.push_back("the log " + m_strLog + " was cut short under the station (from " +
                            std::to_string(m_nConsumed) + " to " + std::to_string(st.st_size) +
                            " bytes: a copytruncate rotation?); its records are read again from its start");
        StartOver();
        return;
    }
    // Renamed away with a new file at the path: the old one is read to its
    // end, then the new one from its start.
    // The old one's size is taken after the new one was seen: the station
    // writes its last line there before its first one in the new file.
    struct stat atPath {};
    if (stat(m_strLog.c_str(), &atPath) != 0 || atPath.st_ino == m_nInode || atPath.st_size == 0 ||
        fstat(m_fd, &st) != 0 || m_nRead < static_cast<uint64_t>(st.st_size) || !m_strPartial.empty())
        return;
    const int fd = open(m_strLog.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return;
    close(m_fd);
    m_fd = fd;
    m_nInode = atPath.st_ino;
    m_notices.push_back("the log " + m_strLog + " is a new file (rotated): the station reads it from its start");
    StartOver();
}

void CRecordSpool::Look()
{
    CheckFile();
    char piece[kPieceBytes];
    while (m_pending.size() < m_nWindow) {
        const size_t newline = m_strPartial.find('\n');
        if (newline != std::string::npos) {
            const uint64_t offset = m_nConsumed;
            if (m_bSkipping)
                m_bSkipping = false;
            else
                TakeLine(m_strPartial.substr(0, newline), offset);
            m_nConsumed += newline + 1;
            m_strPartial.erase(0, newline + 1);
            continue;
        }
        const ssize_t n = pread(m_fd, piece, sizeof piece, static_cast<off_t>(m_nRead));
        if (n <= 0)
            break;
        m_nRead += static_cast<uint64_t>(n);
        m_strPartial.append(piece, static_cast<size_t>(n));
        // A line longer than any record is passed over, never held whole.
        if (m_strPartial.find('\n') == std::string::npos && m_strPartial.size() > kUnitRecordMaxBytes) {
            m_nConsumed += m_strPartial.size();
            m_strPartial.clear();
            m_bSkipping = true;
        }
    }
    m_strTail = TailBefore(m_nConsumed);
}

void CRecordSpool::TakeLine(const std::string& line, uint64_t offset)
{
    UnitRecordKey key;
    if (ParseUnitRecord(line, key) && key.strStation == m_strStation)
        m_pending.push_back({offset, key.strId, line, false, {}});
}

std::vector<SpoolRecord*> CRecordSpool::Unsent()
{
    std::vector<SpoolRecord*> records;
    for (SpoolRecord& record : m_pending) {
        if (!record.bSent)
            records.push_back(&record);
    }
    return records;
}

void CRecordSpool::Stored(const std::string& id)
{
    const auto it =
        std::find_if(m_pending.begin(), m_pending.end(), [&id](const SpoolRecord& r) { return r.strId == id; });
    if (it != m_pending.end())
        m_pending.erase(it);
}

void CRecordSpool::SendAgain(std::chrono::steady_clock::time_point sentBefore)
{
    for (SpoolRecord& record : m_pending) {
        if (record.sentAt < sentBefore)
            record.bSent = false;
    }
}

std::vector<std::string> CRecordSpool::TakeNotices()
{
    return std::exchange(m_notices, {});
}

bool CRecordSpool::SaveMark(std::string& error)
{
    const uint64_t mark = Mark();
    if (mark == m_nSavedMark && m_nInode == m_nSavedInode)
        return true;
    const std::string path = MarkPath(m_strLog, m_strStation);
    const std::string temp = path + ".new";
    FILE* file = std::fopen(temp.c_str(), "w");
    bool ok =
        file && std::fprintf(file, "%llu %llu %s\n", static_cast<unsigned long long>(mark),
                             static_cast<unsigned long long>(m_nInode), Fingerprint(TailBefore(mark)).c_str()) > 0;
    ok = file && std::fclose(file) == 0 && ok;
    if (!ok || std::rename(temp.c_str(), path.c_str()) != 0) {
        error = "cannot write the line's mark " + path + ": " + std::strerror(errno);
        std::remove(temp.c_str());
        return false;
    }
    m_nSavedMark = mark;
    m_nSavedInode = m_nInode;
    return true;
}
