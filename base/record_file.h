#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "base/output_file.h"
#include "base/output_queue.h"

// A file of JSON lines (the log, a transcript), opened for appending by the
// one output-file service and written by a queue of its own: whoever writes a
// line never waits on the file, and a line the run cannot go on without is
// waited for on purpose (WaitWritten).
class CRecordFile final : public IOutputFile {
public:
    CRecordFile();
    ~CRecordFile() override;
    CRecordFile(const CRecordFile&) = delete;
    CRecordFile& operator=(const CRecordFile&) = delete;

    // False when the file cannot be opened (the reason in ErrorText()).
    bool Open(const std::string& path) override;
    // Lines written here are queued whole.
    std::ostream& Stream() override;
    std::string ErrorText() const override;
    bool FifoWithoutReader() const override;
    const std::string& Path() const { return m_strPath; }

    // Queues one line (without its newline); returns the mark to wait for.
    uint64_t WriteLine(const std::string& line);
    // Waits until the line up to mark is written, and on the disk when the
    // file has one; stop() gives up (see COutputQueue::WaitWritten). Also
    // on a FIFO, whose reader may take its time: only for a line the run
    // cannot go on without.
    bool WaitWritten(uint64_t mark, const std::function<bool()>& stop = {});
    // Everything written so far, as WaitWritten.
    bool Flush(const std::function<bool()>& stop = {});
    // Everything written so far is on the disk, where there is one; false
    // once a line was lost. Never waits on the reader of anything else.
    bool Sync(const std::function<bool()>& stop = {});
    // A regular file: the lines reach a disk, and waiting for them costs
    // only the disk's time. Anything else (a FIFO, a terminal) may wait on a
    // reader for good.
    bool IsRegular() const { return m_bRegular; }
    bool IsOpen() const { return m_pQueue != nullptr; }
    // A write or sync failed, or the file at the path is no longer this one
    // (deleted or replaced): lines written from now on go nowhere.
    bool Failed() const;
    bool Replaced() const;
    // Renamed away (a rotation), the path is opened anew at FollowRename; see COutputFile::FollowRenames.
    void FollowRenames();
    void FollowRename();
    unsigned Reopened() const;
    // Waits for every line (as Sync), then closes; false when not all lines
    // were written.
    bool Close(const std::function<bool()>& stop = {});

private:
    std::string m_strPath;
    bool m_bRegular = false;
    bool m_bNoReader = false;
    std::string m_strOpenError;
    COutputFile* m_pFile = nullptr;  // owned by the queue's sink
    std::unique_ptr<COutputQueue> m_pQueue;
    std::unique_ptr<COutputQueueStream> m_pStream;
};
