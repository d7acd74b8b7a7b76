#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <vector>

// The station's log is the spool of its line: the unit records in it that
// the broker has not acknowledged are sent (again) until it has. Beside the
// log, LOG.line-acked holds the offset before which every unit record was
// acknowledged; it only ever lags (a lost or stale mark sends records again,
// which a consumer drops by id), never runs ahead of an acknowledgement.
struct SpoolRecord {
    uint64_t nOffset = 0;  // of the line in the log
    uint64_t nEnd = 0;     // past its newline
    std::string strId;
    std::string strLine;  // the record as the log holds it, no newline
};

class CRecordSpool {
public:
    explicit CRecordSpool(std::string logPath);
    ~CRecordSpool();

    // The mark is read here; records before it are never sent again.
    bool Open(std::string& error);
    // The unit records the log gained since the last call (whole lines only).
    std::vector<SpoolRecord> ReadNew();
    // Every record not yet acknowledged, oldest first.
    std::vector<SpoolRecord> Unacked() const;
    void Acked(uint64_t offset);
    size_t UnackedCount() const { return m_pending.size(); }
    // Writes the mark when it moved; false when it could not be written.
    bool SaveMark(std::string& error);
    static std::string MarkPath(const std::string& logPath) { return logPath + ".line-acked"; }

private:
    std::string m_strLog;
    int m_fd = -1;
    uint64_t m_nInode = 0;
    uint64_t m_nRead = 0;  // how far the log was read
    uint64_t m_nMark = 0;
    uint64_t m_nSavedMark = UINT64_MAX;
    std::string m_strPartial;  // a line whose newline is not written yet
    std::map<uint64_t, SpoolRecord> m_pending;
};
