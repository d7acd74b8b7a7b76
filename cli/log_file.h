#pragma once
#include <atomic>
#include <string>

#include "cli/transcript_file.h"

// The --log file, opened for appending. Each line reaches the system as it
// is written (the recording layer flushes it); Sync hands what the system
// holds to the disk, so the line's record survives a power cut.
class CLogFile final : public IOutputFile {
public:
    CLogFile() = default;
    CLogFile(const CLogFile&) = delete;
    CLogFile& operator=(const CLogFile&) = delete;

    // False when the file cannot be opened (the reason in ErrorText()); it
    // opens as a transcript does, never blocking on a FIFO. A file whose last
    // line was cut short (a full disk) gets a newline first, so this run's
    // lines never run on from it.
    bool Open(const std::string& path) override;
    std::ostream& Stream() override { return m_file.Stream(); }
    const std::string& Path() const { return m_file.Path(); }
    std::string ErrorText() const override { return m_file.ErrorText(); }
    bool FifoWithoutReader() const override { return m_file.FifoWithoutReader(); }

    // fdatasync (Windows: _commit) of a regular file; anything else, a FIFO
    // or a device, has nothing to hand to a disk. Any thread; false once a
    // sync failed, and from then on.
    bool Sync();
    bool SyncFailed() const { return m_bSyncFailed; }

private:
    CTranscriptFile m_file;
    bool m_bRegular = false;
    std::atomic<bool> m_bSyncFailed{false};
};
