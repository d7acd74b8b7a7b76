#pragma once
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <ostream>
#include <streambuf>
#include <string>
#include <thread>

// Where a queue's writer puts the text: a file, a terminal, a pipe. Write
// blocks until the system took the text (a reader that does not read blocks
// it for as long as it likes); only the queue's writer thread calls it.
class IOutputSink {
public:
    virtual ~IOutputSink() = default;
    virtual bool Write(const std::string& text) = 0;
    // Hands what was written to the disk, where there is one.
    virtual bool Sync() { return true; }
    // Why the first write or sync failed.
    virtual std::string ErrorText() const { return {}; }
};

// One output drained by a writer thread of its own, so that whoever posts to
// it (the thread that talks to a device) never waits on its reader. Posted
// text is kept whole, in order, until it is written: records are never
// dropped. Live text (a redrawn progress display) is not queued but drawn by
// the writer when it is free, so however far a reader falls behind it gets
// the latest state once, not every state in between.
class COutputQueue {
public:
    explicit COutputQueue(std::unique_ptr<IOutputSink> sink);
    // Waits for what is queued to be written, as Close(nullptr) does.
    ~COutputQueue();
    COutputQueue(const COutputQueue&) = delete;
    COutputQueue& operator=(const COutputQueue&) = delete;

    // Never blocks. Dropped once the output failed (Failed() says so).
    void Post(std::string text);
    // The live text: render runs on the writer thread, after every posted
    // text before it, whenever Refresh was called since it last ran. Once
    // this returns, the render it replaces runs no more.
    void SetLive(std::function<std::string()> render);
    void Refresh();

    // How much has been posted so far: a mark WaitWritten can wait for.
    uint64_t Posted() const;
    // Waits until everything up to mark is written (and handed to the disk
    // when sync), the output failed, or stop() says to give up (asked every
    // few milliseconds; empty: never). True when it was written.
    bool WaitWritten(uint64_t mark, bool sync, const std::function<bool()>& stop = {});
    // Everything posted so far, written and synced; as WaitWritten.
    bool Flush(bool sync, const std::function<bool()>& stop = {}) { return WaitWritten(Posted(), sync, stop); }

    // Waits as Flush(true, stop), then ends the writer. When stop gave up,
    // the writer is left to finish on its own (the process may end while it
    // still waits on its reader); false then, and nothing more is written.
    bool Close(const std::function<bool()>& stop = {});

    bool Failed() const;
    std::string ErrorText() const;
    // Bytes posted and not yet written.
    uint64_t Pending() const;

private:
    struct State;
    static void Drain(const std::shared_ptr<State>& state);

    std::shared_ptr<State> m_pState;
    std::thread m_writer;
};

// An ostream whose text goes to a queue, a line at a time (and on flush):
// what callers write with << reaches the output without ever waiting on it.
// Several threads may write; each line stays whole when written in one go.
class COutputQueueStream final : public std::ostream {
public:
    explicit COutputQueueStream(COutputQueue& queue) : std::ostream(&m_buffer), m_buffer(queue) {}
    COutputQueue& Queue() { return m_buffer.queue; }

private:
    struct CBuffer final : std::streambuf {
        explicit CBuffer(COutputQueue& q) : queue(q) {}
        int overflow(int ch) override;
        std::streamsize xsputn(const char* data, std::streamsize count) override;
        int sync() override;

        COutputQueue& queue;
        std::mutex mutex;
        std::string partial;  // the start of a line not yet posted
    };
    CBuffer m_buffer;
};

// Writes to an ostream (a test's string stream, the process's own stream)
// and flushes it after every text.
class COstreamSink final : public IOutputSink {
public:
    explicit COstreamSink(std::ostream& out) : m_out(out) {}
    bool Write(const std::string& text) override;
    std::string ErrorText() const override;

private:
    std::ostream& m_out;
};

class COutputFile;

// Writes to an output file (see COutputFile), which it owns.
class CFileSink final : public IOutputSink {
public:
    explicit CFileSink(std::unique_ptr<COutputFile> file);
    ~CFileSink() override;
    bool Write(const std::string& text) override;
    bool Sync() override;
    std::string ErrorText() const override;

private:
    std::unique_ptr<COutputFile> m_pFile;
};
