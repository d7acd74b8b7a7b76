#pragma once
#include <atomic>
#include <cstddef>
#include <mutex>
#include <ostream>
#include <string>

// A file the tool appends records to (a log, a transcript), behind one set of
// rules on every system: opened for appending and not inherited by programs
// the tool starts; a FIFO is taken only when it has a reader (a plain open
// would block for good, out of reach of Ctrl-C); a regular file whose last
// line was cut short (a disk that filled) gets a newline first, so this run's
// lines start on a line of their own. Writes block until the system took
// every byte: callers keep them off the device's path (COutputQueue).
class COutputFile {
public:
    COutputFile() = default;
    ~COutputFile();
    COutputFile(const COutputFile&) = delete;
    COutputFile& operator=(const COutputFile&) = delete;

    // False with the reason in ErrorText() when the file cannot be opened.
    bool Open(const std::string& path);
    // Writes to a descriptor the process already has (standard output), named
    // name in messages; Close leaves it open.
    void Adopt(int fd, const std::string& name);
    // Every byte, or false with the first failure kept.
    bool Write(const char* data, std::size_t size);
    // Hands what was written to the disk (fdatasync; Windows: _commit). A
    // file that has no disk behind it (a pipe, /dev/null) has nothing to
    // hand over: no failure.
    bool Sync();
    // Syncs and closes; a failure then counts like one of a write.
    bool Close();

    // The path still names the file this object writes: nobody deleted,
    // renamed or replaced it since it was opened. A file that is not a
    // regular one always counts as still there.
    // With FollowRenames, a file renamed away (still linked under another
    // name) counts as still there: FollowRename lets it go.
    bool StillAtPath() const;
    // A long-running writer (the station) follows a rotation: once the file
    // was renamed away, it is synced and the path opened anew (a new file,
    // or the one the rotation made) at FollowRename, which its owner calls
    // as often as it looks at its work.
    // A file deleted, or replaced with this one unlinked, is gone as before.
    // Not on Windows, where a file open for writing cannot be renamed.
    void FollowRenames() { m_bFollowRenames = true; }
    // Follows a rename now (any thread); a path that cannot be opened anew
    // fails the file as a write would.
    void FollowRename();
    // How often the path was opened anew.
    unsigned Reopened() const { return m_nReopened; }
    bool IsOpen() const { return m_fd >= 0; }
    bool IsRegular() const { return m_bRegular; }
    bool Failed() const { return m_nErrno != 0; }
    // The failed Open named a FIFO that nobody reads: the command line's
    // fault, not the system's.
    bool FifoWithoutReader() const { return m_bNoReader; }
    const std::string& Path() const { return m_strPath; }
    // The system's reason for the first failure.
    std::string ErrorText() const;

private:
    void Fail(int error);
    bool Following() const { return m_bFollowRenames && m_bRegular && m_bOwned; }
    bool AtPath() const;
    bool WriteAll(const char* data, std::size_t size);
    bool SyncLocked();

    int m_fd = -1;
    bool m_bOwned = true;
    std::string m_strPath;
    bool m_bRegular = false;
    bool m_bNoReader = false;
    std::atomic<int> m_nErrno{0};
    bool m_bUnsynced = false;  // written to since the last sync
    // What the path named at the opening: device and inode (Windows: the
    // file's own index is not kept; a file open there cannot be deleted).
    // Read by other threads (StillAtPath) while a rename is followed.
    std::atomic<unsigned long long> m_nDevice{0};
    std::atomic<unsigned long long> m_nInode{0};
    std::atomic<bool> m_bFollowRenames{false};
    std::mutex m_followMutex;  // a rename is followed between writes and syncs
    std::atomic<unsigned> m_nReopened{0};
};

// A file the stack appends its records to (the transcript, the log); each
// face opens it its own way.
class IOutputFile {
public:
    virtual ~IOutputFile() = default;
    // False when it cannot be opened; ErrorText() then says why.
    virtual bool Open(const std::string& path) = 0;
    virtual std::ostream& Stream() = 0;
    virtual std::string ErrorText() const = 0;
    // The failed Open named a FIFO that nobody reads.
    virtual bool FifoWithoutReader() const { return false; }
};
