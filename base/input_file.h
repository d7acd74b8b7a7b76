#pragma once
#include <cstdint>
#include <string>

// Why CInputFile::Open failed.
enum class InputOpenFailure {
    None,
    System,      // the system refused; GetOpenErrno() says why
    NotRegular,  // a directory, FIFO, device or socket: nothing a file is read from
};

// A regular file read from start to end (an image, the tail of a log), the
// same on every system: binary, not inherited by programs the tool starts,
// and its type checked before any read on a handle whose open cannot block,
// so a FIFO or a device never holds the program. Never raises; the file is
// closed by Close or the destructor.
class CInputFile {
public:
    CInputFile() = default;
    ~CInputFile();
    CInputFile(const CInputFile&) = delete;
    CInputFile& operator=(const CInputFile&) = delete;

    // False when the file cannot be opened or is not a regular file.
    bool Open(const std::string& path);
    InputOpenFailure GetOpenFailure() const { return m_openFailure; }
    int GetOpenErrno() const { return m_nOpenErrno; }
    void Close();
    bool IsOpen() const { return m_fd >= 0; }

    // Length in bytes, -1 when it cannot be taken. Leaves the read position
    // where it was.
    int64_t GetLength();
    // Reads up to count bytes from the current position; the count that
    // arrived, short at end of file or after a read error.
    uint32_t Read(void* buffer, uint32_t count);
    // Moves the read position (0: back to the first byte, so one open serves
    // a check and then the transfer) and forgets an earlier read error.
    bool Seek(int64_t offset);
    // Moves the read position past a hole that starts at it (a sparse file's
    // range that reads as zeros and is stored nowhere) and gives its length;
    // 0 where none starts, or where the system does not tell.
    int64_t SkipHole();
    bool HasReadError() const { return m_bReadError; }

private:
    int m_fd = -1;
    InputOpenFailure m_openFailure = InputOpenFailure::None;
    int m_nOpenErrno = 0;
    bool m_bReadError = false;
    int64_t m_nDataEnd = 0;  // SkipHole: where the stored range it last found ends
};
