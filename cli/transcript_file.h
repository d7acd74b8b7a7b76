#pragma once
#include <atomic>
#include <cstdio>
#include <ostream>
#include <streambuf>
#include <string>

#include "device/host_stack.h"

// An output file (--transcript, --log), opened for appending. It remembers
// the first write that failed and why, so the tool can stop before a flash
// when the file takes nothing, and say so at the end when it failed during a
// run: the transfer itself never waits on it. Opening never blocks: a FIFO
// is taken only when it has a reader.
class CTranscriptFile final : public IOutputFile {
public:
    CTranscriptFile() : m_stream(&m_buffer) {}
    ~CTranscriptFile() override;
    CTranscriptFile(const CTranscriptFile&) = delete;
    CTranscriptFile& operator=(const CTranscriptFile&) = delete;

    // False with the reason in ErrorText() when the file cannot be opened.
    // Programs the tool starts do not inherit it.
    bool Open(const std::string& path) override;
    // The failed Open named a FIFO that nobody reads: the command line's
    // fault, not the system's.
    bool FifoWithoutReader() const override { return m_bNoReader; }
    std::ostream& Stream() override { return m_stream; }
    const std::string& Path() const { return m_strPath; }

    // Puts what was written on the disk (a power cut after it keeps it); a
    // failure counts like one of a write. A file that cannot be put on a
    // disk (a pipe, /dev/null) is no failure. Any thread may call it.
    void SyncToDisk();
    // Flushes, puts on the disk and closes; a failure then counts like one
    // of a write.
    void Close();
    bool Failed() const { return m_buffer.nErrno != 0; }
    // The system's reason for the first failure.
    std::string ErrorText() const override;

private:
    // Passes every write straight to the C stream; a failed write or flush
    // keeps its errno and makes the ostream go bad.
    struct CBuffer final : std::streambuf {
        std::FILE* pFile = nullptr;
        std::atomic<int> nErrno{0};  // SyncToDisk may fail on another thread
        int overflow(int ch) override;
        std::streamsize xsputn(const char* data, std::streamsize count) override;
        int sync() override;
        void Fail();
    };

    CBuffer m_buffer;
    std::ostream m_stream;
    std::string m_strPath;
    bool m_bNoReader = false;
};
