#pragma once
#include <chrono>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

// The station's log is the spool of its line: the station's unit records in
// it that the line's collector has not stored are sent (again) until it has.
// Beside the log, LOG.line-acked.STATION holds the offset before which every
// unit record of that station was stored; it only ever lags (a lost or stale
// mark sends records again, which the collector drops by id), never runs
// ahead of the collector. Several stations may share one log: each sends
// only the records that name it, and keeps its own mark.
//
// At most a window of records is held (read, sent or waiting to be sent),
// and the log is read in pieces as the collector takes them: a backlog of
// any size costs the memory of one window.
struct SpoolRecord {
    uint64_t nOffset = 0;  // of the line in the log; 0 once the log it came from was rotated away
    std::string strId;
    std::string strLine;  // the record as the log holds it, no newline
    bool bSent = false;
    std::chrono::steady_clock::time_point sentAt;
};

class CRecordSpool {
public:
    CRecordSpool(std::string logPath, std::string station, size_t window);
    ~CRecordSpool();
    CRecordSpool(const CRecordSpool&) = delete;
    CRecordSpool& operator=(const CRecordSpool&) = delete;

    // Opens the log and takes the mark; a mark that does not fit the log is
    // said (TakeNotices) and the log is sent from its start.
    bool Open(std::string& error);
    // Notices a log cut short (copytruncate) or a new file at its path (a
    // rotation), then reads on while the window has room.
    void Look();
    // The records read and not yet sent, oldest first.
    std::vector<SpoolRecord*> Unsent();
    // The collector stored the record of this id.
    void Stored(const std::string& id);
    // The records sent before then are sent again.
    void SendAgain(std::chrono::steady_clock::time_point sentBefore);
    size_t Held() const { return m_pending.size(); }
    // What happened to the log or the mark, for stderr and the status.
    std::vector<std::string> TakeNotices();
    // Writes the mark when it moved; false when it could not be written.
    bool SaveMark(std::string& error);
    uint64_t Mark() const { return m_pending.empty() ? m_nConsumed : m_pending.front().nOffset; }
    static std::string MarkPath(const std::string& logPath, const std::string& station)
    {
        return logPath + ".line-acked." + station;
    }

private:
    // Up to 32 bytes before offset: a log rewritten under the reader, or a
    // mark of another log, has other bytes there (the mark keeps their
    // SHA-256).
    std::string TailBefore(uint64_t offset) const;
    void StartOver();
    void TakeLine(const std::string& line, uint64_t offset);
    void CheckFile();

    std::string m_strLog;
    std::string m_strStation;
    size_t m_nWindow;
    int m_fd = -1;
    uint64_t m_nInode = 0;
    uint64_t m_nRead = 0;      // how far the log was read
    uint64_t m_nConsumed = 0;  // past the last whole line taken
    std::string m_strTail;     // TailBefore(m_nConsumed) as it was read
    bool m_bSkipping = false;  // inside a line too long to be a record
    uint64_t m_nSavedMark = UINT64_MAX;
    uint64_t m_nSavedInode = 0;
    std::string m_strPartial;           // a line whose newline is not written yet
    std::deque<SpoolRecord> m_pending;  // oldest first
    std::vector<std::string> m_notices;
};
